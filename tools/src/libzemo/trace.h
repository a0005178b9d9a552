// The call trace: when ZEMO_TRACE names a file (or "-" for standard error), every C call writes
// one line there, "CALL(ARGUMENTS) = STATUS[, RESULTS][: REASON]", in the order made.
#pragma once

#include "zemo.h"

#include <cstdint>
#include <string>

namespace zemo {

// Whether calls are traced; ZEMO_TRACE is read once, at the first call of the process.
bool tracing();

// Writes and flushes one trace line. Call only when tracing() is true.
void traceCall(const char* call, const std::string& arguments, zemo_status status,
               const std::string& results, const std::string& reason);

// DATA as a double-quoted C-style string literal; bytes beyond the first 64 are left out and
// marked by "..." after the closing quote.
std::string quoted(const char* data, std::uint64_t size);

} // namespace zemo
