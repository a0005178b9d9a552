// The tests' own encoding of HiSLIP headers, for the servers they script by hand; it shares
// nothing with the library's, so that a fault there cannot hide in both.
#pragma once

#include <cstdint>
#include <string>

namespace zemotest {

// A HiSLIP header: TYPE, CONTROL, PARAMETER and payload LENGTH, big-endian after "HS".
inline std::string header(int type, int control, std::uint32_t parameter, std::uint64_t length) {
    std::string bytes = "HS";
    bytes += static_cast<char>(type);
    bytes += static_cast<char>(control);
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>(parameter >> shift & 0xff);
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes += static_cast<char>(length >> shift & 0xff);
    return bytes;
}

} // namespace zemotest
