// The call trace: when ZEMO_TRACE names a file (or "-" for standard error), every C call writes
// one line there, "CALL(ARGUMENTS) = STATUS[, RESULTS][: REASON]", in the order made; with
// ZEMO_TRACE_TIME set (to anything but "" or "0"), each line starts with
// "HH:MM:SS.UUUUUU +SECONDS.UUUUUUs [PID] ": when the call began (local time), how long it took
// and which process made it.
#pragma once

#include "zemo.h"
#include "zemonet/text.h"

#include <chrono>
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

// Whether ZEMO_TRACE_TIME asks each trace line to start with the call's start time, its duration
// and the process id; read once, when the library is loaded.
extern const bool traceTimeRequested;

// When the calling thread's current call began, on the wall clock for the line and on the steady
// clock for the duration.
struct CallStart {
    std::chrono::system_clock::time_point wall;
    std::chrono::steady_clock::time_point steady;
};
extern thread_local CallStart callStart;

// Notes that a C call begins, when its trace line will show the time.
inline void noteCallStart() {
    if (traceRequested && traceTimeRequested) [[unlikely]]
        callStart = {std::chrono::system_clock::now(), std::chrono::steady_clock::now()};
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
