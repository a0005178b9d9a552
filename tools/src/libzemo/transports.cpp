#include "transport.h"

#include <array>

namespace zemo {

namespace {

struct TransportEntry {
    std::string_view prefix;
    std::string_view form; // the whole name, as the messages show what is expected
    std::unique_ptr<Transport> (*open)(std::string_view address);
};

constexpr std::array transports{
    TransportEntry{"sim", "sim/INSTRUMENT[/PARAMETER=VALUE]...", openSim},
    TransportEntry{"vxi11", "vxi11/HOST[:PORT][/DEVICE]", openVxi11},
    TransportEntry{"socket", "socket/HOST[/PORT]", openSocket},
    TransportEntry{"usbtmc", "usbtmc/DEVICE", openUsbtmc},
    TransportEntry{"serial", "serial/DEVICE[/SETTING]...", openSerial},
    TransportEntry{"hislip", "hislip/HOST[:PORT][/SUBADDRESS]", openHislip},
};

// Every form, for the message about an unknown transport.
std::string allForms() {
    std::string text;
    for (std::size_t i = 0; i < transports.size(); ++i) {
        if (i > 0)
            text += i + 1 == transports.size() ? " or " : ", ";
        text += transports[i].form;
    }
    return text;
}

} // namespace

std::unique_ptr<Transport> openTransport(std::string_view name) {
    const auto slash = name.find('/');
    const std::string_view prefix = name.substr(0, slash);
    for (const auto& transport : transports) {
        if (transport.prefix == prefix) {
            if (slash == std::string_view::npos)
                throw failure("missing address after '" + std::string(prefix) + "'; expected " +
                              std::string(transport.form));
            return transport.open(name.substr(slash + 1));
        }
    }
    throw failure("unknown transport '" + std::string(prefix) + "'; expected " + allForms());
}

} // namespace zemo
