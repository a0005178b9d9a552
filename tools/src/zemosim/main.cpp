// zemosim: serves simulated instruments over the VXI-11 core channel, raw sockets, HiSLIP and,
// when asked, pseudo-terminals, prints the interface name of each, and runs until it is stopped.
#include "server.h"
#include "zemonet/error.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace zemosim {

namespace {

struct Options : ServeOptions {
    bool labelNames = false;
    std::vector<std::string> files;
};

// The protocols zemosim serves, in the order of their names: a new protocol is one line here.
std::vector<std::unique_ptr<Protocol>> allProtocols() {
    std::vector<std::unique_ptr<Protocol>> protocols;
    for (auto* make : {vxi11Protocol, socketProtocol, serialProtocol, hislipProtocol})
        protocols.push_back(make());
    return protocols;
}

[[noreturn]] void usage(const char* program) {
    std::cerr << "Usage: " << program
              << " [-a address] [-v port] [-s port]... [-H port] [-r] [-p] [-l] "
                 "[instrument-file]...\n\n"
                 "       -a address  Address to listen on (default 127.0.0.1; ::1 for IPv6).\n"
                 "       -v port     Port of the VXI-11 core channel (default: any free port).\n"
                 "       -s port     Raw socket port of the next instrument (default: any free "
                 "port).\n"
                 "       -H port     Port of the HiSLIP server (default: any free port).\n"
                 "       -r          Register the VXI-11 core channel with the running rpcbind.\n"
                 "       -p          Serve each instrument on a pseudo-terminal too.\n"
                 "       -l          Print each name as 'INSTRUMENT PROTOCOL NAME'.\n"
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
    for (int option; (option = ::getopt(argc, argv, "a:v:s:H:rpl")) != -1;) {
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
        case 'l':
            options.labelNames = true;
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

// The interface names of INSTRUMENTS that PROTOCOLS serve, each line one name: for each
// instrument the names of the protocols in order, then the names that come last (HiSLIP's) of
// all instruments. When LABELLED, each line is 'INSTRUMENT PROTOCOL NAME'.
std::string nameLines(const std::vector<std::unique_ptr<Protocol>>& protocols,
                      const Instruments& instruments, bool labelled) {
    std::string lines;
    for (const bool last : {false, true})
        for (std::size_t i = 0; i < instruments.size(); ++i)
            for (const auto& protocol : protocols)
                if (protocol->namesLast() == last)
                    for (const auto& [kind, name] : protocol->names(i))
                        lines += (labelled ? instruments[i]->definition().name + ' ' + kind + ' '
                                           : std::string()) +
                                 name + '\n';
    return lines;
}

// Undoes what the protocols left behind them.
void stopAll(const std::vector<std::unique_ptr<Protocol>>& protocols) {
    for (const auto& protocol : protocols)
        protocol->stop();
}

int run(int argc, char** argv) {
    checkStandardStreams();
    const Options options = parseOptions(argc, argv);
    const Instruments instruments = loadInstruments(options.files);
    const auto protocols = allProtocols();
    try {
        for (const auto& protocol : protocols)
            protocol->open(options, instruments);
    } catch (const std::runtime_error&) {
        stopAll(protocols);
        throw;
    }
    const sigset_t stopSignals = blockStopSignals();
    try {
        // The ports listen already: a client that reads a name before the servers start waits
        // in the listening queue.
        writeNames(nameLines(protocols, instruments, options.labelNames));
    } catch (const std::runtime_error&) {
        stopAll(protocols);
        throw;
    }
    for (const auto& protocol : protocols)
        protocol->start(instruments);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    stopAll(protocols);
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
