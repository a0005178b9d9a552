// zemorecv: copies bytes from one instrument interface to standard output, a given number of
// them or without end.
#include "interface_tool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Writes the usage text naming the program as PROGRAM to standard error.
static void usage(const char* program) {
    std::fprintf(stderr,
                 "Usage: %s [-c count] [-t <timeout>] <interface>\n\n"
                 "       <count>      Number of characters to read.\n"
                 "%s%s\n",
                 program, timeoutUsage, interfaceUsage);
    std::fflush(stderr);
}

// Reports that standard output lost data, closes the interface and ends with status 4.
[[noreturn]] static void failOutput(const char* program, zemo_handle handle) {
    std::fprintf(stderr, "%s: writing standard output: %s\n", program, std::strerror(errno));
    zemo_close(handle);
    std::exit(4);
}

// The bytes are copied in chunks of at most this many bytes.
constexpr uint64_t chunkSize = 1048576;

// Copies the bytes that HANDLE (the interface NAME, its -t value TIMEOUT) delivers to standard
// output: COUNT bytes in all, or without end when COUNT is negative, in reads of at most
// chunkSize. Each chunk leaves the stream's buffer before the next read: a read that fails ends
// the process in the library's handler, whose exit would lose buffered bytes unreported.
static void receiveBytes(const char* program, const char* name, zemo_handle handle, int64_t count,
                         int64_t timeout) {
    static char buffer[chunkSize];
    InterfaceReader reader(program, name, handle, timeout);
    for (int64_t remaining = count; remaining != 0;) {
        const uint64_t request = remaining > 0 && static_cast<uint64_t>(remaining) < chunkSize
                                     ? static_cast<uint64_t>(remaining)
                                     : chunkSize;
        const uint64_t transferred = reader.read(buffer, request);
        if (std::fwrite(buffer, 1, transferred, stdout) != transferred || std::fflush(stdout) != 0)
            failOutput(program, handle);
        if (remaining > 0)
            remaining -= static_cast<int64_t>(transferred);
    }
}

// Opens the interface, copies the bytes it delivers to standard output, and closes it. Status
// 0 once the count is reached, 1 for a usage error, 2 when the library claims more bytes than
// requested, 3 when no byte comes for the timeout, 4 when standard output fails; other library
// failures end the process in its handler.
int main(int argc, char* argv[]) {
    const char* program = argv[0];
    int64_t count = -1;
    int64_t timeout = -1;
    for (int option; (option = getopt(argc, argv, "c:t:")) != -1;) {
        if (option == 'c') {
            count = std::strtol(optarg, nullptr, 10);
        } else if (option == 't') {
            timeout = std::strtol(optarg, nullptr, 10);
        } else {
            usage(program);
            return 1;
        }
    }
    if (optind >= argc) {
        usage(program);
        return 1;
    }
    const char* interfaceName = argv[optind];

    zemo_handle handle = openInterface(interfaceName, timeout);

    receiveBytes(program, interfaceName, handle, count, timeout);
    zemo_close(handle);
    return 0;
}
