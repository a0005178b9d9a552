// zemoctl: runs control operations on one instrument interface, in the order given, over one
// open interface: the status byte, a trigger, a lock, remote and local, a device clear, a wait
// for a service request.
#include "interface_tool.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <optional>
#include <string_view>
#include <vector>

// Writes the usage text naming the program as PROGRAM to STREAM.
static void usage(const char* program, std::FILE* stream) {
    std::fprintf(stream,
                 "Usage: %s [-t <timeout>] <interface> <operation>...\n\n%s%s"
                 "       <operation>  One of, run in the order given:\n"
                 "                    stb       print the status byte in decimal\n"
                 "                    trigger   trigger the instrument\n"
                 "                    lock      take an exclusive lock for the operations that "
                 "follow,\n"
                 "                              waiting up to the timeout (lock=MS: up to MS "
                 "milliseconds)\n"
                 "                    unlock    release the lock\n"
                 "                    remote    put the instrument in remote\n"
                 "                    local     give the front panel back\n"
                 "                    clear     send a device clear\n"
                 "                    wait-srq  wait up to the timeout (wait-srq=MS: up to MS "
                 "milliseconds)\n"
                 "                              for a service request and print the status "
                 "byte\n"
                 "                              that came with it in decimal\n"
                 "\n",
                 program, timeoutUsage, interfaceUsage);
    std::fflush(stream);
}

enum class Kind { stb, trigger, lock, unlock, remote, local, clear, waitSrq };

// One operation of the command line; WAIT is the time a lock or a wait for a service request
// may wait, when it says.
struct Operation {
    Kind kind;
    std::optional<std::int32_t> wait;
};

// The milliseconds that all of TEXT gives, from 0 to the largest the library takes.
static std::optional<std::int32_t> parseWait(std::string_view text) {
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < 0)
        return std::nullopt;
    return value;
}

// The operation that WORD names; nothing when it names none.
static std::optional<Operation> parseOperation(std::string_view word) {
    static constexpr std::pair<std::string_view, Kind> names[] = {
        {"stb", Kind::stb},       {"trigger", Kind::trigger}, {"lock", Kind::lock},
        {"unlock", Kind::unlock}, {"remote", Kind::remote},   {"local", Kind::local},
        {"clear", Kind::clear},   {"wait-srq", Kind::waitSrq}};
    for (const auto& [name, kind] : names) {
        if (word == name)
            return Operation{kind, std::nullopt};
    }
    // The operations that wait, given the time as NAME=MS.
    static constexpr std::pair<std::string_view, Kind> timed[] = {{"lock=", Kind::lock},
                                                                  {"wait-srq=", Kind::waitSrq}};
    for (const auto& [prefix, kind] : timed) {
        if (word.starts_with(prefix)) {
            if (const auto wait = parseWait(word.substr(prefix.size())))
                return Operation{kind, wait};
        }
    }
    return std::nullopt;
}

// Writes the status byte STB on a line; a failure closes HANDLE and ends with status 4.
static void printStatusByte(const char* program, zemo_handle handle, std::uint8_t stb) {
    if (std::printf("%u\n", static_cast<unsigned>(stb)) >= 0 && std::fflush(stdout) == 0)
        return;
    std::fprintf(stderr, "%s: writing standard output: %s\n", program, std::strerror(errno));
    zemo_close(handle);
    std::exit(4);
}

// Runs OPERATION on HANDLE, whose interface has the -t value TIMEOUT; a failure ends the
// process in the library's handler.
static void run(const char* program, zemo_handle handle, const Operation& operation,
                std::int64_t timeout) {
    switch (operation.kind) {
    case Kind::stb: {
        std::uint8_t stb = 0;
        zemo_read_stb(handle, &stb);
        printStatusByte(program, handle, stb);
        return;
    }
    case Kind::trigger:
        zemo_trigger(handle);
        return;
    case Kind::lock:
        zemo_lock(handle, operation.wait.value_or(ioTimeout(timeout)));
        return;
    case Kind::unlock:
        zemo_unlock(handle);
        return;
    case Kind::remote:
        zemo_remote(handle);
        return;
    case Kind::local:
        zemo_local(handle);
        return;
    case Kind::clear:
        zemo_clear(handle);
        return;
    case Kind::waitSrq: {
        std::uint8_t stb = 0;
        zemo_wait_srq(handle, operation.wait.value_or(ioTimeout(timeout)), &stb);
        printStatusByte(program, handle, stb);
        return;
    }
    }
}

// Reads the options: -t, --help and --version. Returns the status to end with at once (0 after
// --help or --version, 1 for a usage error), or nothing to go on.
static std::optional<int> readOptions(int argc, char* argv[], std::int64_t& timeout) {
    static const option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, 'V'},
                                         {nullptr, 0, nullptr, 0}};
    for (int option; (option = getopt_long(argc, argv, "t:", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 't':
            timeout = std::strtol(optarg, nullptr, 10);
            break;
        case 'h':
            usage(argv[0], stdout);
            return 0;
        case 'V':
            std::printf("zemoctl %s\n", zemo_version());
            return std::fflush(stdout) == 0 ? 0 : 4;
        default:
            usage(argv[0], stderr);
            return 1;
        }
    }
    return std::nullopt;
}

// Checks the operations, opens the interface, runs them in order and closes it. Status 0 when
// every operation succeeded, 1 for a usage error (no interface, no operation or an unknown
// one), 4 when standard output fails; library failures end the process in the library's
// handler, 2 or 3 for a timeout.
int main(int argc, char* argv[]) {
    const char* program = argv[0];
    std::int64_t timeout = -1;
    if (const auto status = readOptions(argc, argv, timeout))
        return *status;
    if (argc - optind < 2) {
        usage(program, stderr);
        return 1;
    }
    const char* interfaceName = argv[optind];
    std::vector<Operation> operations;
    for (int word = optind + 1; word < argc; ++word) {
        const auto operation = parseOperation(argv[word]);
        if (!operation) {
            std::fprintf(stderr, "%s: unknown operation '%s'\n", program, argv[word]);
            usage(program, stderr);
            return 1;
        }
        operations.push_back(*operation);
    }
    zemo_handle handle = openInterface(interfaceName, timeout);
    for (const Operation& operation : operations)
        run(program, handle, operation, timeout);
    zemo_close(handle);
    return 0;
}
