#include "server.h"
#include "zemonet/error.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace zemosim {

std::string hostName(const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

Listener listenTcp(const std::string& address, unsigned short port) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else
        throw std::runtime_error("'" + address + "' is not an IPv4 or IPv6 address");
    const std::string where = address + " port " + std::to_string(port);
    FileDescriptor socket(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!socket.valid() ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(socket.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(socket.get(), SOMAXCONN) != 0 ||
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        throw std::runtime_error("cannot listen on " + where + ": " + zemo::systemError(errno));
    const auto bound = storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port;
    return {std::move(socket), ntohs(bound)};
}

namespace {

std::atomic<std::uint64_t> lastConnectionNumber{0};

} // namespace

std::uint64_t nextConnectionNumber() {
    return ++lastConnectionNumber;
}

void acceptForever(const Listener& listener, const Serve& serve) {
    std::atomic<std::size_t> open{0};
    bool refusalLogged = false;
    for (;;) {
        FileDescriptor connection(::accept4(listener.socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.valid()) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (open.load() >= largestConnections) {
            if (!std::exchange(refusalLogged, true))
                std::cerr << program_invocation_name << ": port " << listener.port << ": "
                          << largestConnections
                          << " connections open; closing every further one until some end\n";
            continue;
        }
        const int on = 1;
        ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        try {
            ++open;
            std::thread(
                [&serve, &open](FileDescriptor client, std::uint64_t number) {
                    serve(std::move(client), number);
                    --open;
                },
                std::move(connection), nextConnectionNumber())
                .detach();
        } catch (const std::system_error&) {
            // No thread to spare: the connection closes and the client sees why.
            --open;
        }
    }
}

namespace {

// The bytes of input that the connections hold now.
std::atomic<std::size_t> inputHeld{0};

} // namespace

bool holdInput(std::size_t size) {
    std::size_t held = inputHeld.load();
    do {
        if (held + size > largestHeldInput)
            return false;
    } while (!inputHeld.compare_exchange_weak(held, held + size));
    return true;
}

void releaseInput(std::size_t size) {
    inputHeld -= size;
}

int pollWait(Clock::time_point until) {
    if (until == Clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<Milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<Milliseconds::rep>(left, 0, 1 << 30));
}

} // namespace zemosim
