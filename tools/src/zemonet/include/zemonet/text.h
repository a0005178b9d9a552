// Text as messages and the trace show it: control bytes as C escapes, so that a line stays one
// line and shows the bytes a terminal would hide.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zemo {

// Appends BYTE to TEXT as it would appear inside a C string literal.
void appendEscaped(std::string& text, unsigned char byte);

// TEXT with every control byte written as its C escape (\n, \r, \t, \xHH); all other bytes
// are kept.
std::string visible(std::string_view text);

// The unsigned decimal number that is all of TEXT; nothing when TEXT is empty, holds anything
// but digits, or exceeds 64 bits.
std::optional<std::uint64_t> wholeNumber(std::string_view text);

} // namespace zemo
