// zemosend: sends every line of standard input, newline included, to one instrument interface.
#include "interface_tool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <string>
#include <unistd.h>

// Writes the usage text naming the program as PROGRAM to standard error.
static void usage(const char* program) {
    std::fprintf(stderr, "Usage: %s [-t <timeout>] <interface>\n\n%s%s\n", program, timeoutUsage,
                 interfaceUsage);
    std::fflush(stderr);
}

// Standard input is read in blocks of this many bytes; complete lines are sent from the block.
constexpr std::size_t blockSize = 65536;

// Waits until standard input has bytes to read or has ended: whoever shares it may have left
// it non-blocking. Returns false, with errno set, when it cannot wait.
static bool awaitInput() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, -1) >= 0 || errno == EINTR;
}

// Reads up to SIZE bytes of standard input into BLOCK, retrying a read that a signal
// interrupted or that found non-blocking input empty. Returns the count, 0 at the end of input,
// or -1 with errno set.
static ssize_t readBlock(char* block, std::size_t size) {
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, block, size);
        if (got >= 0)
            return got;
        if (errno != EINTR && (errno != EAGAIN || !awaitInput()))
            return -1;
    }
}

// Sends the LENGTH bytes at LINE, its newline included, as one write to HANDLE.
static void sendLine(zemo_handle handle, const char* line, std::size_t length) {
    zemo_write(handle, line, static_cast<uint64_t>(length), ZEMO_END, nullptr);
}

// The first newline from NEXT up to END, or NULL when there is none.
static const char* findNewline(const char* next, const char* end) {
    return static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
}

// Sends every line that ends within the bytes from NEXT to END to HANDLE, each as one write
// with its newline, straight from those bytes; the first line completes the one begun in
// PENDING, if any, which is then emptied. Returns where the unfinished rest begins.
static const char* sendCompleteLines(zemo_handle handle, const char* next, const char* end,
                                     std::string& pending) {
    for (const char* newline; (newline = findNewline(next, end)) != nullptr; next = newline + 1) {
        if (pending.empty()) {
            sendLine(handle, next, static_cast<std::size_t>(newline + 1 - next));
        } else {
            pending.append(next, newline + 1);
            sendLine(handle, pending.data(), pending.size());
            pending.clear();
        }
    }
    return next;
}

// Sends each line of standard input to HANDLE as one write, newline included, as soon as its
// newline has been read; a line that spans blocks, or ends the input without a newline, is
// gathered in one growable buffer, and the last gets a newline appended. Every other byte is
// kept, CR and NUL included. Returns 0 at the end of input, or the errno of a failed read
// (ENOMEM when a line does not fit in memory); an unfinished line is not sent after a failure.
static int sendLines(zemo_handle handle) {
    static char block[blockSize];
    std::string pending; // the start of a line whose newline is still to come
    try {
        for (ssize_t got; (got = readBlock(block, blockSize)) != 0;) {
            if (got < 0)
                return errno;
            const char* const end = block + got;
            pending.append(sendCompleteLines(handle, block, end, pending), end);
        }
        if (!pending.empty()) {
            pending += '\n';
            sendLine(handle, pending.data(), pending.size());
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

// Opens the interface, sends each input line as one write, and closes it. Status 0 at the end
// of input, 1 for a usage error, 4 when standard input cannot be read; library failures end
// the process in the library's handler.
int main(int argc, char* argv[]) {
    const char* program = argv[0];
    int64_t timeout = -1;
    if (!readTimeoutOption(argc, argv, timeout)) {
        usage(program);
        return 1;
    }
    const char* interfaceName = argv[optind];

    zemo_handle handle = openInterface(interfaceName, timeout);

    int status = 0;
    if (const int error = sendLines(handle); error != 0) {
        std::fprintf(stderr, "%s: reading standard input: %s\n", program, std::strerror(error));
        status = 4;
    }
    zemo_close(handle);
    return status;
}
