#include "zemonet/tcp.h"
#include "zemonet/error.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace zemo {

HostPort splitHostPort(std::string_view text, const std::string& expected) {
    if (text.empty())
        throw failure("missing host; expected " + expected);
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close == 1)
            throw failure("malformed IPv6 address '" + std::string(text) + "'; expected " +
                          expected);
        const std::string_view rest = text.substr(close + 1);
        if (rest == ":" || (!rest.empty() && rest.front() != ':'))
            throw failure("unexpected text after ']' in '" + std::string(text) + "'; expected " +
                          expected);
        return {std::string(text.substr(1, close - 1)),
                std::string(rest.empty() ? rest : rest.substr(1))};
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos)
        return {std::string(text), ""};
    if (colon == 0 || colon + 1 == text.size())
        throw failure("missing host or port around ':' in '" + std::string(text) + "'; expected " +
                      expected);
    return {std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
}

unsigned short parsePort(std::string_view text, const std::string& expected) {
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0 || value > 65535)
        throw failure("invalid port '" + std::string(text) + "'; expected " + expected +
                      " with a port from 1 to 65535");
    return static_cast<unsigned short>(value);
}

Milliseconds connectTimeout() {
    constexpr long longest = 2147483647;
    const char* text = std::getenv("ZEMO_CONNECT_TIMEOUT");
    if (text == nullptr || *text == '\0')
        return Milliseconds{5000};
    const std::string_view digits = text[0] == '-' ? text + 1 : text;
    long value = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    std::string reason;
    if (digits.empty() || stop != digits.data() + digits.size() ||
        (error != std::errc() && error != std::errc::result_out_of_range))
        reason = "not a decimal number";
    else if (text[0] == '-' || (error == std::errc() && value < 1))
        reason = "below 1";
    else if (error == std::errc::result_out_of_range || value > longest)
        reason = "above " + std::to_string(longest);
    else
        return Milliseconds{value};
    throw failure("ZEMO_CONNECT_TIMEOUT is '" + std::string(text) + "', " + reason +
                  "; expected a decimal number of milliseconds from 1 to " +
                  std::to_string(longest));
}

namespace {

struct AddressList {
    addrinfo* first = nullptr;
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (first != nullptr)
            ::freeaddrinfo(first);
    }
};

// Resolves HOST to its TCP addresses at PORT; throws Error with the resolver's reason.
void resolve(const std::string& host, unsigned short port, AddressList& list) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    const int status =
        ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list.first);
    if (status == EAI_SYSTEM)
        throw failure("cannot resolve host '" + host + "': " + systemError(errno));
    if (status != 0)
        throw failure("cannot resolve host '" + host + "': " + ::gai_strerror(status));
}

// How one connect attempt ended.
enum class ConnectAttempt { connected, refused, timedOut };

// Connects a new socket to ADDRESS within DEADLINE; on failure leaves the reason in ERROR.
ConnectAttempt connectOne(const addrinfo& address, Clock::time_point deadline,
                          FileDescriptor& socket, int& error) {
    socket = FileDescriptor(aboveStandardStreams(
        ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                 address.ai_protocol)));
    if (!socket.valid()) {
        error = errno;
        return ConnectAttempt::refused;
    }
    if (::connect(socket.get(), address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            error = errno;
            return ConnectAttempt::refused;
        }
        if (!waitReady(socket.get(), POLLOUT, deadline)) {
            error = ETIMEDOUT;
            return ConnectAttempt::timedOut;
        }
        socklen_t length = sizeof error;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0)
            return ConnectAttempt::refused;
    }
    const int flags = ::fcntl(socket.get(), F_GETFL);
    const int on = 1;
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        error = errno;
        return ConnectAttempt::refused;
    }
    return ConnectAttempt::connected;
}

} // namespace

FileDescriptor connectTcp(const std::string& host, unsigned short port,
                          const std::string& service) {
    return connectTcp(host, port, Clock::now() + connectTimeout(), service);
}

FileDescriptor connectTcp(const std::string& host, unsigned short port, Clock::time_point deadline,
                          const std::string& service) {
    AddressList addresses;
    resolve(host, port, addresses);
    const Milliseconds limit = connectTimeout();
    const std::string target =
        (service.empty() ? "" : service + " at ") + "'" + host + "' port " + std::to_string(port);
    int error = 0;
    bool timedOut = false;
    for (const addrinfo* address = addresses.first; address != nullptr;
         address = address->ai_next) {
        FileDescriptor socket;
        switch (connectOne(*address, deadline, socket, error)) {
        case ConnectAttempt::connected:
            return socket;
        case ConnectAttempt::timedOut:
            timedOut = true;
            break;
        case ConnectAttempt::refused:
            break;
        }
        if (Clock::now() >= deadline)
            break;
    }
    if (timedOut)
        throw timeout("cannot connect to " + target + ": no answer within " +
                      std::to_string(limit.count()) + " ms");
    throw failure("cannot connect to " + target + ": " + systemError(error));
}

} // namespace zemo
