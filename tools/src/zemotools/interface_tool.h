// What the interface tools do alike: the usage lines of their common arguments, the -t option,
// and opening the interface.
#pragma once

#include <zemo.h>

#include <cstdint>

// The usage lines that explain the timeout and the interface name.
inline constexpr char timeoutUsage[] = "       <timeout>    I/O timeout in milliseconds.\n";
inline constexpr char interfaceUsage[] = "       <interface>  Name of ZEMO interface, e.g. "
                                         "'vxi11/192.168.0.100/gpib0,9'.\n";

// Reads the options of a tool whose only option is -t into TIMEOUT (milliseconds, -1 when not
// given); false for any other option, or when no interface name follows the options.
bool readTimeoutOption(int argc, char* argv[], std::int64_t& timeout);

// Opens interface NAME with the library's handler that ends the process on a failure, and
// sets TIMEOUT (milliseconds) when it is above 0 (larger than the library takes: the largest it
// takes).
zemo_handle openInterface(const char* name, std::int64_t timeout = -1);
