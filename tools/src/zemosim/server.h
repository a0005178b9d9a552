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

// What the command line asks of the protocols.
struct ServeOptions {
    std::string address = "127.0.0.1";
    unsigned short vxi11Port = 0;
    std::vector<unsigned short> socketPorts;
    unsigned short hislipPort = 0;
    bool registerWithRpcbind = false;
    bool pseudoTerminals = false;
};

// An interface name that zemosim prints, and the protocol it names.
struct InterfaceName {
    std::string protocol;
    std::string name;
};

// One protocol zemosim serves. The program opens every protocol, prints their names, and
// starts them; each lives for the whole run.
class Protocol {
  public:
    virtual ~Protocol() = default;
    // Opens what the protocol serves INSTRUMENTS on as OPTIONS ask (listening sockets,
    // pseudo-terminals, a registration); throws std::runtime_error with the reason.
    virtual void open(const ServeOptions& options, const Instruments& instruments) = 0;
    // The interface names of instrument I.
    virtual std::vector<InterfaceName> names(std::size_t i) const = 0;
    // True when the protocol's names follow those of every other protocol for all instruments
    // (HiSLIP's, so that the names served before it kept their places).
    virtual bool namesLast() const { return false; }
    // Serves on threads of its own until the program ends.
    virtual void start(const Instruments& instruments) = 0;
    // Undoes what outlives the program (a registration); called when it stops.
    virtual void stop() {}
};

// The protocols, one line each; the order is the order of the names.
std::unique_ptr<Protocol> vxi11Protocol();
std::unique_ptr<Protocol> socketProtocol();
std::unique_ptr<Protocol> serialProtocol();
std::unique_ptr<Protocol> hislipProtocol();

// The host part of an interface name for ADDRESS: IPv6 addresses in brackets.
std::string hostName(const std::string& address);

// A bound, listening TCP socket and the port it got.
struct Listener {
    FileDescriptor socket;
    unsigned short port = 0;
};

// Listens on ADDRESS (an IPv4 or IPv6 address) at PORT, 0 letting the system choose. Throws
// std::runtime_error naming the address and the reason.
Listener listenTcp(const std::string& address, unsigned short port);

// The number of the next connection, over every port and protocol: connections are numbered
// in the order they are accepted (a pseudo-terminal's client when the server sees it open the
// line), which decides who may read the answers of one that has left.
std::uint64_t nextConnectionNumber();

// Serves one accepted connection, the NUMBERth, on a thread of its own.
using Serve = std::function<void(FileDescriptor connection, std::uint64_t number)>;

// Accepts connections on LISTENER for ever, numbers each on this thread, and serves it on a
// thread of its own with SERVE, at most largestConnections at a time; the first connection
// refused is logged on standard error.
[[noreturn]] void acceptForever(const Listener& listener, const Serve& serve);

// Counts SIZE more bytes against largestHeldInput; false, counting nothing, when the connections
// would hold more.
bool holdInput(std::size_t size);
// Gives SIZE bytes counted by holdInput back.
void releaseInput(std::size_t size);

// The milliseconds poll waits until UNTIL, rounded up; -1 for no limit.
int pollWait(Clock::time_point until);

// Serves raw socket connection CONNECTION, the NUMBERth accepted, to INSTRUMENT until the client
// leaves or has sent nothing for IDLELIMIT.
void serveSocket(FileDescriptor connection, Instrument& instrument, std::uint64_t number,
                 Milliseconds idleLimit = idleConnectionLimit);

// Serves the VXI-11 core channel on CONNECTION, the NUMBERth accepted, until the client leaves
// or takes IDLELIMIT to send a call while it waits for no service request; create_link picks
// one of INSTRUMENTS by its name.
void serveVxi11(FileDescriptor connection, const Instruments& instruments, std::uint64_t number,
                Milliseconds idleLimit = idleConnectionLimit);

// The HiSLIP sessions open on one port, shared by the connections that make them up.
class HislipSessions;

// Makes the session table for INSTRUMENTS, each served under its HiSLIP sub-address.
std::shared_ptr<HislipSessions> makeHislipSessions(const Instruments& instruments);

// Serves HiSLIP connection CONNECTION, the NUMBERth accepted, the synchronous or the
// asynchronous channel of a session in SESSIONS, until the client leaves, breaks the protocol,
// or the session has been idle for IDLELIMIT while its instrument could raise no service request.
void serveHislip(FileDescriptor connection, HislipSessions& sessions, std::uint64_t number,
                 Milliseconds idleLimit = idleConnectionLimit);

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
