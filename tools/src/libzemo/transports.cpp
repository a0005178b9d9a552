#include "transport.h"

#include <array>

namespace zemo {

namespace {

struct TransportEntry {
    std::string_view prefix;
    std::unique_ptr<Transport> (*open)(std::string_view address);
};

constexpr std::array transports{
    TransportEntry{"sim", openSim},
    TransportEntry{"vxi11", openVxi11},
    TransportEntry{"socket", openSocket},
    TransportEntry{"usbtmc", openUsbtmc},
};

} // namespace

std::unique_ptr<Transport> openTransport(std::string_view name) {
    const auto slash = name.find('/');
    const std::string_view prefix = name.substr(0, slash);
    for (const auto& transport : transports) {
        if (transport.prefix == prefix) {
            if (slash == std::string_view::npos)
                throw failure("missing address after '" + std::string(prefix) +
                              "'; expected " + std::string(prefix) + "/ADDRESS");
            return transport.open(name.substr(slash + 1));
        }
    }
    throw failure("unknown transport '" + std::string(prefix) +
                  "'; expected sim/..., vxi11/HOST[/DEVICE], socket/HOST[/PORT] or "
                  "usbtmc/DEVICE");
}

} // namespace zemo
