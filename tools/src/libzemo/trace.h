// The call trace: when ZEMO_TRACE names a file (or "-" for standard error), every C call writes
// one line there, "CALL(ARGUMENTS) = STATUS[, RESULTS][: REASON]", in the order made.
#pragma once

#include "zemo.h"
#include "zemonet/text.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zemo {

// Whether ZEMO_TRACE asks for a trace; read once, when the library is loaded.
extern const bool traceRequested;

// Whether calls are traced: a flag test, so that untraced calls cost nothing more.
inline bool tracing() {
    return traceRequested;
}

// Writes and flushes one trace line; the destination is opened at the first line.
void traceCall(const char* call, const std::string& arguments, zemo_status status,
               const std::string& results, const std::string& reason);

// Writes the trace line of CALL, which takes no arguments and returns the text VALUE.
void traceText(const char* call, const char* value);

// DATA as a double-quoted C-style string literal; bytes beyond the first 64 are left out and
// marked by "..." after the closing quote.
std::string quoted(const char* data, std::uint64_t size);

} // namespace zemo
