#include "rpc_wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <unistd.h>

namespace zemotest {

// Receives exactly SIZE bytes; false when the client left.
bool receiveAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

void sendAll(int fd, const std::string& bytes) {
    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// The big-endian 32-bit word at INDEX of BODY, 0 beyond its end.
std::uint32_t wordAt(const std::string& body, std::size_t index) {
    std::uint32_t word = 0;
    if (body.size() >= 4 * (index + 1))
        std::memcpy(&word, body.data() + 4 * index, sizeof word);
    return ntohl(word);
}

// Reads one call record and returns its body, the transaction id first; nothing when the client
// left.
std::optional<std::string> receiveCallBody(int fd) {
    std::uint32_t header = 0;
    if (!receiveAll(fd, reinterpret_cast<char*>(&header), sizeof header))
        return std::nullopt;
    std::string body(ntohl(header) & 0x7fffffffU, '\0');
    if (body.size() < 4 || !receiveAll(fd, body.data(), body.size()))
        return std::nullopt;
    return body;
}

// Reads one call record and returns its transaction id; nothing when the client left.
std::optional<std::uint32_t> receiveCall(int fd) {
    const auto body = receiveCallBody(fd);
    return body ? std::optional(wordAt(*body, 0)) : std::nullopt;
}

// WORDS as one record of big-endian 32-bit words.
std::string record(const std::vector<std::uint32_t>& words) {
    std::string bytes;
    const auto put = [&bytes](std::uint32_t word) {
        const std::uint32_t wire = htonl(word);
        bytes.append(reinterpret_cast<const char*>(&wire), sizeof wire);
    };
    put(0x80000000U | static_cast<std::uint32_t>(4 * words.size()));
    for (const std::uint32_t word : words)
        put(word);
    return bytes;
}

// A successful create_link reply to call XID.
std::string linkReply(std::uint32_t xid) {
    return record({xid, 1, 0, 0, 0, 0, /* error */ 0, /* lid */ 1, /* abort port */ 0, 1024});
}

// A socket listening at WHERE; sets PORT to the port it listens on.
int listenAt(Endpoint where, unsigned short& port) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (where.family == AF_INET6) {
        sockaddr_in6 ipv6{};
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_addr = in6addr_loopback;
        ipv6.sin6_port = htons(where.port);
        length = sizeof ipv6;
        std::memcpy(&address, &ipv6, length);
    } else {
        sockaddr_in ipv4{};
        ipv4.sin_family = AF_INET;
        ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ipv4.sin_port = htons(where.port);
        length = sizeof ipv4;
        std::memcpy(&address, &ipv4, length);
    }
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    const int fd = ::socket(where.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, generic, length) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, generic, &length) != 0)
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
    port = ntohs(where.family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(generic)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(generic)->sin_port);
    return fd;
}

FullListener::FullListener() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    if (listener < 0 || ::bind(listener, generic, length) != 0 || ::listen(listener, 0) != 0 ||
        ::getsockname(listener, generic, &length) != 0)
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
    port = ntohs(address.sin_port);
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), generic, length);
    }
}

FullListener::~FullListener() {
    for (const int fd : fillers)
        ::close(fd);
    ::close(listener);
}

} // namespace zemotest
