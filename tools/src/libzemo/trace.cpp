#include "trace.h"
#include "zemonet/error.h"
#include "zemonet/io.h"
#include "zemonet/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace zemo {

namespace {

// The trace's destination and its name for messages. Calls on different handles may trace
// from several threads at once: each line is written whole, under the lock.
struct TraceSink {
    std::FILE* file = nullptr;
    std::string name;
    std::mutex writing{};
    bool writeFailed = false;
};

// Opens the file NAME for appending, without waiting for a reader when it is a FIFO and on a
// descriptor above the standard streams; returns NULL with errno set when it cannot.
std::FILE* openForAppending(const char* name) {
    const int fd = aboveStandardStreams(
        ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd < 0)
        return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    std::FILE* file = nullptr;
    if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        file = ::fdopen(fd, "a");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

// Opens the destination that ZEMO_TRACE names; no file when it is unset or empty. A file is
// opened for appending, so one trace can follow a script through several programs. A file that
// cannot be opened is reported once on standard error, and the calls go untraced.
TraceSink openTraceSink() {
    const char* name = std::getenv("ZEMO_TRACE");
    if (name == nullptr || name[0] == '\0')
        return {};
    if (std::strcmp(name, "-") == 0)
        return {stderr, "standard error"};
    std::FILE* file = openForAppending(name);
    if (file == nullptr) {
        // A FIFO that no process reads refuses a writer that will not wait with ENXIO, whose
        // text ("No such device or address") would not say so.
        const std::string reason =
            errno == ENXIO ? "it is a FIFO that no process reads" : systemError(errno);
        std::fprintf(stderr, "zemo: ZEMO_TRACE: cannot open '%s': %s\n", name, reason.c_str());
    }
    return {file, std::string("'") + name + "'"};
}

TraceSink& traceSink() {
    static TraceSink sink = openTraceSink();
    return sink;
}

// Writes LINE to FILE and flushes it with SIGPIPE held back in this thread, so that a trace
// whose reader has gone (a FIFO or a pipe) fails with EPIPE instead of ending the program. The
// SIGPIPE that the write raised is taken back; one that was pending before stays pending.
bool writeWithoutSigpipe(std::FILE* file, const std::string& line) {
    sigset_t pipe;
    sigset_t previous;
    sigset_t pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    errno = 0;
    const bool written =
        std::fwrite(line.data(), 1, line.size(), file) == line.size() && std::fflush(file) == 0;
    const int error = errno;
    if (!written && error == EPIPE && !wasPending) {
        const timespec now{};
        sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

// Writes LINE to SINK; the first line that cannot be written is reported on standard error,
// once, and the run goes on (a trace on standard error has nowhere to report to).
void writeTraceLine(TraceSink& sink, const std::string& line) {
    const std::lock_guard lock(sink.writing);
    if (sink.file == stderr) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        return;
    }
    if (writeWithoutSigpipe(sink.file, line) || sink.writeFailed)
        return;
    sink.writeFailed = true;
    std::fprintf(stderr, "zemo: ZEMO_TRACE: cannot write to %s: %s; trace lines are lost\n",
                 sink.name.c_str(), systemError(errno).c_str());
}

const char* statusName(zemo_status status) {
    switch (status) {
    case ZEMO_OK:
        return "ZEMO_OK";
    case ZEMO_FAILURE:
        return "ZEMO_FAILURE";
    case ZEMO_TIMEOUT:
        return "ZEMO_TIMEOUT";
    }
    return "ZEMO_STATUS_UNKNOWN";
}

// "HH:MM:SS.UUUUUU +SECONDS.UUUUUUs [PID] " for the call that began at START and ends now.
std::string timePrefix(const CallStart& start) {
    using namespace std::chrono;
    const auto took = duration_cast<microseconds>(steady_clock::now() - start.steady).count();
    const auto sinceEpoch = duration_cast<microseconds>(start.wall.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(sinceEpoch / 1000000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06lld +%lld.%06llds [%ld] ", local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<long long>(sinceEpoch % 1000000),
                  static_cast<long long>(took / 1000000), static_cast<long long>(took % 1000000),
                  static_cast<long>(::getpid()));
    return text;
}

// The start of the line of a call: the time prefix when ZEMO_TRACE_TIME asks for it.
std::string linePrefix() {
    return traceTimeRequested ? timePrefix(callStart) : std::string();
}

} // namespace

extern const bool traceRequested = [] {
    const char* name = std::getenv("ZEMO_TRACE");
    return name != nullptr && name[0] != '\0';
}();

extern const bool traceTimeRequested = [] {
    const char* value = std::getenv("ZEMO_TRACE_TIME");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}();

thread_local CallStart callStart;

void traceCall(const char* call, const std::string& arguments, zemo_status status,
               const std::string& results, const std::string& reason) {
    std::string line = linePrefix() + call + "(" + arguments + ") = " + statusName(status);
    if (!results.empty())
        line += ", " + results;
    if (!reason.empty())
        line += ": " + visible(reason);
    line += '\n';
    TraceSink& sink = traceSink();
    if (sink.file != nullptr)
        writeTraceLine(sink, line);
}

void traceText(const char* call, const char* value) {
    TraceSink& sink = traceSink();
    if (sink.file != nullptr)
        writeTraceLine(sink,
                       linePrefix() + call + "() = " + quoted(value, std::strlen(value)) + "\n");
}

std::string quoted(const char* data, std::uint64_t size) {
    constexpr std::uint64_t shownBytes = 64;
    std::string text = "\"";
    for (std::uint64_t i = 0; i < size && i < shownBytes; ++i)
        appendEscaped(text, static_cast<unsigned char>(data[i]));
    text += '"';
    if (size > shownBytes)
        text += "...";
    return text;
}

} // namespace zemo
