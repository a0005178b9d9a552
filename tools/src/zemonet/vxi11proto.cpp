#include "zemonet/vxi11proto.h"

namespace zemo::vxi11 {

std::string errorMeaning(int code) {
    switch (code) {
    case 0:
        return "no error";
    case 1:
        return "syntax error";
    case 3:
        return "device not accessible";
    case 4:
        return "invalid link identifier";
    case 5:
        return "parameter error";
    case 6:
        return "channel not established";
    case 8:
        return "operation not supported";
    case 9:
        return "out of resources";
    case 11:
        return "device locked by another link";
    case 12:
        return "no lock held by this link";
    case 15:
        return "I/O timeout";
    case 17:
        return "I/O error";
    case 21:
        return "invalid address";
    case 23:
        return "abort";
    case 29:
        return "channel already established";
    default:
        return "unknown error";
    }
}

} // namespace zemo::vxi11
