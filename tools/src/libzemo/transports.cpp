#include "transport.h"
#include "zemonet/text.h"

#include <array>

namespace zemo {

namespace {

// Every transport, in the order the message about an unknown one lists them.
constexpr std::array transports{&simTransport,    &vxi11Transport,  &socketTransport,
                                &usbtmcTransport, &serialTransport, &hislipTransport};

// Every form, for the message about an unknown transport.
std::string allForms() {
    std::string text;
    for (std::size_t i = 0; i < transports.size(); ++i) {
        if (i > 0)
            text += i + 1 == transports.size() ? " or " : ", ";
        text += transports[i]->form;
    }
    return text;
}

// The longest answer to "*STB?" that the emulation reads: a number and its termination.
constexpr std::size_t largestStatusAnswer = 64;

// The status byte that ANSWER, the answer to "*STB?", gives: one integer from 0 to 255, with
// the newline (or carriage return and newline) that ends it.
std::uint8_t statusByteFrom(std::string_view answer) {
    std::string_view number = answer;
    while (!number.empty() && (number.back() == '\n' || number.back() == '\r'))
        number.remove_suffix(1);
    const auto value = wholeNumber(number);
    if (!value || *value > 255)
        throw failure("the answer to *STB? is '" + visible(answer) +
                      "', not a status byte from 0 to 255");
    return static_cast<std::uint8_t>(*value);
}

} // namespace

std::uint8_t Transport::readStatusByte() {
    static constexpr std::string_view query = "*STB?\n";
    write(std::as_bytes(std::span(query)), true);
    std::array<std::byte, largestStatusAnswer> answer{};
    std::size_t received = 0;
    for (;;) {
        const ReadResult piece = read(std::span(answer).subspan(received));
        received += piece.size;
        const auto last = received > 0 ? static_cast<char>(answer[received - 1]) : '\0';
        if (last == '\n' || (piece.reason & (reasonEnd | reasonTermChar)) != 0 ||
            received == answer.size())
            break;
    }
    return statusByteFrom({reinterpret_cast<const char*>(answer.data()), received});
}

void Transport::setTermChar(char) {}

void Transport::trigger() {
    static constexpr std::string_view command = "*TRG\n";
    write(std::as_bytes(std::span(command)), true);
}

void Transport::lock(Milliseconds) {
    throw failure("locks need VXI-11 or HiSLIP");
}

void Transport::unlock() {
    throw failure("locks need VXI-11 or HiSLIP");
}

void Transport::remote() {
    throw failure("remote/local needs VXI-11, HiSLIP or USBTMC");
}

void Transport::local() {
    throw failure("remote/local needs VXI-11, HiSLIP or USBTMC");
}

std::uint8_t Transport::waitServiceRequest(Milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    if (!firstStatusRead_) {
        enableServiceRequests(deadline);
        const std::uint8_t stb = readStatusByte();
        firstStatusRead_ = true;
        // The status byte tells of every request that came before it: with RQS it is the
        // request; without, the request was dealt with already.
        forgetServiceRequest();
        if ((stb & requestingService) != 0)
            return stb;
    }
    if (const auto stb = awaitServiceRequest(deadline))
        return *stb;
    throw timeout("no service request within " + millisecondsText(wait));
}

void Transport::enableServiceRequests(Clock::time_point) {
    throw failure("service requests need VXI-11, HiSLIP or USBTMC");
}

std::optional<std::uint8_t> Transport::awaitServiceRequest(Clock::time_point) {
    throw failure("service requests need VXI-11, HiSLIP or USBTMC");
}

std::unique_ptr<Transport> openTransport(std::string_view name) {
    const auto slash = name.find('/');
    const std::string_view prefix = name.substr(0, slash);
    for (const TransportEntry* transport : transports) {
        if (transport->prefix == prefix) {
            if (slash == std::string_view::npos)
                throw failure("missing address after '" + std::string(prefix) + "'; " +
                              transport->expected());
            return transport->open(name.substr(slash + 1));
        }
    }
    throw failure("unknown transport '" + std::string(prefix) + "'; expected " + allForms());
}

} // namespace zemo
