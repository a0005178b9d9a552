// The serving side of zemosim: listening sockets, the protocols it serves on them, and
// pseudo-terminals.
#pragma once

#include "instrument.h"
#include "zemonet/io.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zemosim {

using zemo::FileDescriptor;
using Instruments = std::vector<std::unique_ptr<Instrument>>;

// A bound, listening TCP socket and the port it got.
struct Listener {
    FileDescriptor socket;
    unsigned short port = 0;
};

// Listens on ADDRESS (an IPv4 or IPv6 address) at PORT, 0 letting the system choose. Throws
// std::runtime_error naming the address and the reason.
Listener listenTcp(const std::string& address, unsigned short port);

// Accepts connections on LISTENER for ever and serves each on a thread of its own with SERVE.
[[noreturn]] void acceptForever(const Listener& listener,
                                const std::function<void(FileDescriptor)>& serve);

// How long an answer to a connection's own query is held back before it can be read over a
// protocol without read requests: a client that sends a query and leaves at once (as zemosend
// does) leaves the answer queued for the next client.
inline constexpr Milliseconds ownAnswerHold{200};

// Serves raw socket connection CONNECTION to INSTRUMENT until the client leaves.
void serveSocket(FileDescriptor connection, Instrument& instrument);

// Serves the VXI-11 core channel on CONNECTION until the client leaves; create_link picks
// one of INSTRUMENTS by its name.
void serveVxi11(FileDescriptor connection, const Instruments& instruments);

// A pseudo-terminal: the master, which zemosim holds for its whole run, and the name of the
// slave, which clients open.
struct Terminal {
    FileDescriptor master;
    std::string slave;
};

// Opens a pseudo-terminal whose slave is in raw mode. Throws std::runtime_error with the reason.
Terminal openTerminal();

// Serves INSTRUMENT on TERMINAL for ever, to whichever client has the slave open.
[[noreturn]] void serveTerminal(const Terminal& terminal, Instrument& instrument);

} // namespace zemosim
