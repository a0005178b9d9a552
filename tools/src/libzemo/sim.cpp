#include "transport.h"

namespace zemo {

std::unique_ptr<Transport> openSim(std::string_view) {
    throw failure("the sim transport is not built yet");
}

} // namespace zemo
