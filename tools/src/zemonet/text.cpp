#include "zemonet/text.h"

#include <charconv>

namespace zemo {

namespace {

// Whether BYTE is a control byte, which a terminal would hide or act on.
bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

void appendEscaped(std::string& text, unsigned char byte) {
    switch (byte) {
    case '\n':
        text += "\\n";
        return;
    case '\r':
        text += "\\r";
        return;
    case '\t':
        text += "\\t";
        return;
    case '\\':
        text += "\\\\";
        return;
    case '"':
        text += "\\\"";
        return;
    default:
        break;
    }
    if (byte >= 0x20 && byte < 0x7f) {
        text += static_cast<char>(byte);
        return;
    }
    static constexpr char hexDigits[] = "0123456789abcdef";
    text += "\\x";
    text += hexDigits[byte >> 4];
    text += hexDigits[byte & 0xf];
}

std::string visible(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isControl(byte))
            appendEscaped(shown, byte);
        else
            shown += c;
    }
    return shown;
}

std::optional<std::uint64_t> wholeNumber(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

} // namespace zemo
