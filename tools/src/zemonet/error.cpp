#include "zemonet/error.h"

#include <cstring>

namespace zemo {

std::string systemError(int number) {
    char text[256];
    return strerror_r(number, text, sizeof text);
}

} // namespace zemo
