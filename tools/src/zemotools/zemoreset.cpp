// zemoreset: sends a device clear to one instrument interface.
#include "interface_tool.h"

#include <cstdio>

// Writes the usage text naming the program as PROGRAM to standard error.
static void usage(const char* program) {
    std::fprintf(stderr, "Usage: %s <interface>\n\n%s\n", program, interfaceUsage);
    std::fflush(stderr);
}

// Opens the one interface named on the command line, clears it and closes it. Status 0 after
// the clear, 1 for a usage error; library failures end the process in the library's handler.
int main(int argc, char* argv[]) {
    if (argc != 2) {
        usage(argv[0]);
        return 1;
    }
    zemo_handle handle = openInterface(argv[1]);
    zemo_clear(handle);
    zemo_close(handle);
    return 0;
}
