// zemosim: serves simulated instruments over the VXI-11 core channel, raw sockets, HiSLIP and,
// when asked, pseudo-terminals, prints the interface name of each, and runs until it is stopped.
#include "server.h"
#include "zemonet/error.h"
#include "zemonet/vxi11.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>
#include <unistd.h>

namespace zemosim {

namespace {

struct Options {
    std::string address = "127.0.0.1";
    unsigned short vxi11Port = 0;
    std::vector<unsigned short> socketPorts;
    unsigned short hislipPort = 0;
    bool registerWithRpcbind = false;
    bool pseudoTerminals = false;
    std::vector<std::string> files;
};

[[noreturn]] void usage(const char* program) {
    std::cerr << "Usage: " << program
              << " [-a address] [-v port] [-s port]... [-H port] [-r] [-p] [instrument-file]...\n\n"
                 "       -a address  Address to listen on (default 127.0.0.1; ::1 for IPv6).\n"
                 "       -v port     Port of the VXI-11 core channel (default: any free port).\n"
                 "       -s port     Raw socket port of the next instrument (default: any free "
                 "port).\n"
                 "       -H port     Port of the HiSLIP server (default: any free port).\n"
                 "       -r          Register the VXI-11 core channel with the running rpcbind.\n"
                 "       -p          Serve each instrument on a pseudo-terminal too.\n"
                 "       instrument-file  One simulated instrument per file; without any, one "
                 "instrument inst0.\n\n";
    std::exit(1);
}

// Reads a port option: 0 (any free port) to 65535; anything else is a usage error.
unsigned short portOption(const char* program, const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > 65535) {
        std::cerr << program << ": invalid port '" << text << "'\n";
        usage(program);
    }
    return static_cast<unsigned short>(value);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int option; (option = ::getopt(argc, argv, "a:v:s:H:rp")) != -1;) {
        switch (option) {
        case 'a':
            options.address = optarg;
            break;
        case 'v':
            options.vxi11Port = portOption(argv[0], optarg);
            break;
        case 's':
            options.socketPorts.push_back(portOption(argv[0], optarg));
            break;
        case 'H':
            options.hislipPort = portOption(argv[0], optarg);
            break;
        case 'r':
            options.registerWithRpcbind = true;
            break;
        case 'p':
            options.pseudoTerminals = true;
            break;
        default:
            usage(argv[0]);
        }
    }
    options.files.assign(argv + optind, argv + argc);
    return options;
}

// The whole content of FILE. Throws std::runtime_error naming the file and the reason when it
// cannot be read (a directory is one).
std::string readFile(const std::string& file) {
    const FileDescriptor input(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    std::string content;
    char buffer[65536];
    ssize_t received = 0;
    while (input.valid() && (received = ::read(input.get(), buffer, sizeof buffer)) != 0) {
        if (received < 0 && errno != EINTR)
            break;
        content.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(received, 0)));
    }
    if (!input.valid() || received < 0)
        throw std::runtime_error("cannot read '" + file + "': " + zemo::systemError(errno));
    return content;
}

// Loads one instrument per file (or the plain instrument without files), naming the unnamed
// ones instN and giving them the HiSLIP sub-address hislipN by position. Throws
// std::runtime_error for an unreadable file, a repeated name or a repeated sub-address.
Instruments loadInstruments(const std::vector<std::string>& files) {
    std::vector<Definition> definitions;
    for (const auto& file : files) {
        std::istringstream input(readFile(file));
        definitions.push_back(parseDefinition(input, file));
    }
    if (definitions.empty())
        definitions.emplace_back();
    Instruments instruments;
    std::set<std::string> names;
    std::set<std::string> subAddresses;
    for (auto& definition : definitions) {
        if (definition.name.empty())
            definition.name = "inst" + std::to_string(instruments.size());
        if (definition.hislipName.empty())
            definition.hislipName = "hislip" + std::to_string(instruments.size());
        if (!names.insert(definition.name).second)
            throw std::runtime_error("two instruments are named '" + definition.name + "'");
        if (!subAddresses.insert(definition.hislipName).second)
            throw std::runtime_error("two instruments have the HiSLIP sub-address '" +
                                     definition.hislipName + "'");
        instruments.push_back(std::make_unique<Instrument>(std::move(definition)));
    }
    return instruments;
}

// The host part of an interface name: IPv6 addresses in brackets.
std::string hostName(const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

// Blocks the stop signals in every thread, so that the main thread can wait for them.
sigset_t blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

// Opens /dev/null on standard input and standard error when they are closed, so that no socket
// takes their numbers. Throws std::runtime_error when standard output is closed: the interface
// names it prints are the only way to learn the ports.
void checkStandardStreams() {
    if (::fcntl(STDOUT_FILENO, F_GETFD) < 0)
        throw std::runtime_error("cannot write the interface names: standard output is closed");
    for (const int stream : {STDIN_FILENO, STDERR_FILENO})
        if (::fcntl(stream, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != stream)
            throw std::runtime_error("cannot open /dev/null: " + zemo::systemError(errno));
}

// Writes TEXT to standard output. Throws std::runtime_error with the reason when it cannot.
void writeNames(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw std::runtime_error("cannot write the interface names: " +
                                     zemo::systemError(errno));
        done += static_cast<std::size_t>(written);
    }
}

// The interface names of the instruments, each line one name: for each instrument its VXI-11,
// raw socket and serial names, then the HiSLIP names of all instruments, so that the names
// served before HiSLIP keep their places.
std::string interfaceNames(const Options& options, const Instruments& instruments,
                           const Listener& core, const std::vector<Listener>& sockets,
                           const std::vector<Terminal>& terminals, const Listener& hislip) {
    const std::string host = hostName(options.address);
    std::ostringstream names;
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        const std::string& name = instruments[i]->definition().name;
        names << "vxi11/" << host << ':' << core.port << '/' << name << '\n';
        if (options.registerWithRpcbind)
            names << "vxi11/" << host << '/' << name << '\n';
        names << "socket/" << host << '/' << sockets[i].port << '\n';
        if (i < terminals.size())
            names << "serial/" << terminals[i].slave << '\n';
    }
    for (const auto& instrument : instruments)
        names << "hislip/" << host << ':' << hislip.port << '/'
              << instrument->definition().hislipName << '\n';
    return names.str();
}

// True when ADDRESS is an IPv6 address (listenTcp accepted it, so it is IPv4 otherwise).
bool isIpv6(const std::string& address) {
    return address.find(':') != std::string::npos;
}

// Withdraws the registration of the core channel for ADDRESS's kind of address, if any.
void unregisterCoreChannel(const std::string& address) {
    if (!isIpv6(address)) {
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
        return;
    }
    netconfig* tcp6 = getnetconfigent("tcp6");
    if (tcp6 != nullptr) {
        rpcb_unset(DEVICE_CORE, DEVICE_CORE_VERSION, tcp6);
        freenetconfigent(tcp6);
    }
}

// Registers the core channel listening at ADDRESS, PORT with rpcbind: a tcp6 entry at that
// address for IPv6, where a version 2 entry would send IPv4 clients to a port nobody listens
// on for them. Throws std::runtime_error when rpcbind refuses.
void registerCoreChannel(const std::string& address, unsigned short port) {
    unregisterCoreChannel(address);
    bool registered = false;
    if (!isIpv6(address))
        registered = pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, port) != 0;
    else if (netconfig* tcp6 = getnetconfigent("tcp6")) {
        sockaddr_in6 served{};
        served.sin6_family = AF_INET6;
        served.sin6_port = htons(port);
        ::inet_pton(AF_INET6, address.c_str(), &served.sin6_addr);
        const netbuf where{sizeof served, sizeof served, &served};
        registered = rpcb_set(DEVICE_CORE, DEVICE_CORE_VERSION, tcp6, &where) != 0;
        freenetconfigent(tcp6);
    }
    if (!registered)
        throw std::runtime_error("cannot register with rpcbind; is it running?");
}

int run(int argc, char** argv) {
    checkStandardStreams();
    const Options options = parseOptions(argc, argv);
    const Instruments instruments = loadInstruments(options.files);
    if (options.socketPorts.size() > instruments.size())
        throw std::runtime_error("more -s ports (" + std::to_string(options.socketPorts.size()) +
                                 ") than instruments (" + std::to_string(instruments.size()) + ")");
    const Listener core = listenTcp(options.address, options.vxi11Port);
    std::vector<Listener> sockets;
    for (std::size_t i = 0; i < instruments.size(); ++i)
        sockets.push_back(listenTcp(options.address,
                                    i < options.socketPorts.size() ? options.socketPorts[i] : 0));
    const Listener hislip = listenTcp(options.address, options.hislipPort);
    std::vector<Terminal> terminals;
    for (std::size_t i = 0; options.pseudoTerminals && i < instruments.size(); ++i)
        terminals.push_back(openTerminal());
    if (options.registerWithRpcbind)
        registerCoreChannel(options.address, core.port);
    const sigset_t stopSignals = blockStopSignals();
    try {
        // The ports listen already: a client that reads a name before the servers start waits
        // in the listening queue.
        writeNames(interfaceNames(options, instruments, core, sockets, terminals, hislip));
    } catch (const std::runtime_error&) {
        if (options.registerWithRpcbind)
            unregisterCoreChannel(options.address);
        throw;
    }
    std::thread([&] {
        acceptForever(core, [&](FileDescriptor c, std::uint64_t number) {
            serveVxi11(std::move(c), instruments, number);
        });
    }).detach();
    const auto hislipSessions = makeHislipSessions(instruments);
    std::thread([&] {
        acceptForever(hislip, [&](FileDescriptor c, std::uint64_t number) {
            serveHislip(std::move(c), *hislipSessions, number);
        });
    }).detach();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        Instrument& instrument = *instruments[i];
        std::thread([&listener = sockets[i], &instrument] {
            acceptForever(listener, [&](FileDescriptor c, std::uint64_t number) {
                serveSocket(std::move(c), instrument, number);
            });
        }).detach();
        if (options.pseudoTerminals) {
            std::thread([&terminal = terminals[i], &instrument] {
                serveTerminal(terminal, instrument);
            }).detach();
        }
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (options.registerWithRpcbind)
        unregisterCoreChannel(options.address);
    // The serving threads still run; end without unwinding what they use.
    std::_Exit(0);
}

} // namespace

} // namespace zemosim

int main(int argc, char** argv) {
    try {
        return zemosim::run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << argv[0] << ": " << error.what() << '\n';
        return 1;
    }
}
