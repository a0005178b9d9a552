#include "interface_tool.h"

#include <cstdlib>
#include <unistd.h>

bool readTimeoutOption(int argc, char* argv[], std::int64_t& timeout) {
    for (int option; (option = getopt(argc, argv, "t:")) != -1;) {
        if (option != 't')
            return false;
        timeout = std::strtol(optarg, nullptr, 10);
    }
    return optind < argc;
}

zemo_handle openInterface(const char* name, std::int64_t timeout) {
    zemo_set_error_handler(ZEMO_ERROR_EXIT);
    zemo_handle handle = zemo_open(name);
    if (timeout > 0)
        zemo_set_timeout(handle, timeout > INT32_MAX ? INT32_MAX : static_cast<int32_t>(timeout));
    return handle;
}
