// zemosend: sends every line of standard input, newline included, to one instrument interface.
#include <zemo.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Writes the usage text naming the program as PROGRAM to standard error.
static void usage(const char* program) {
    std::fprintf(stderr,
                 "Usage: %s [-t <timeout>] <interface>\n\n"
                 "       <timeout>    I/O timeout in milliseconds.\n"
                 "       <interface>  Name of ZEMO interface, e.g. "
                 "'vxi11/192.168.0.100/gpib0,9'.\n"
                 "\n",
                 program);
    std::fflush(stderr);
}

// The timeout as the 32-bit library call takes it: larger values become the largest one.
static int32_t clampTimeout(int64_t milliseconds) {
    return milliseconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(milliseconds);
}

// Opens the interface, sends each input line as one write, and closes it. Status 0 at the end
// of input, 1 for a usage error, 4 when standard input cannot be read; library failures end
// the process in the library's handler.
int main(int argc, char* argv[]) {
    const char* program = argv[0];
    int64_t timeout = -1;
    for (int option; (option = getopt(argc, argv, "t:")) != -1;) {
        if (option != 't') {
            usage(program);
            return 1;
        }
        timeout = std::strtol(optarg, nullptr, 10);
    }
    if (optind >= argc) {
        usage(program);
        return 1;
    }
    const char* interfaceName = argv[optind];

    zemo_set_error_handler(ZEMO_ERROR_EXIT);
    zemo_handle handle = zemo_open(interfaceName);
    if (timeout > 0)
        zemo_set_timeout(handle, clampTimeout(timeout));

    char* line = nullptr;
    size_t capacity = 0;
    int status = 0;
    for (ssize_t length; (length = getline(&line, &capacity, stdin)) != -1;) {
        // getline leaves room for a terminating NUL, so a missing newline always fits.
        if (line[length - 1] != '\n')
            line[length++] = '\n';
        zemo_write(handle, line, static_cast<uint64_t>(length), 1, nullptr);
    }
    // The loop also ends when getline cannot grow the buffer; only the end of input is normal.
    if (std::ferror(stdin) || !std::feof(stdin)) {
        std::fprintf(stderr, "%s: reading standard input: %s\n", program, std::strerror(errno));
        status = 4;
    }
    std::free(line);
    zemo_close(handle);
    return status;
}
