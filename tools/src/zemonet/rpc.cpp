#include "zemonet/rpc.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <arpa/inet.h>
#include <sys/socket.h>

namespace zemo {

namespace {

constexpr std::uint32_t lastFragment = 0x80000000U;
// A record grows by at most this much per receive.
constexpr std::size_t receiveStep = 64 << 10;

// Reads exactly SIZE bytes into DATA; false at the end of the connection or on an error.
bool receiveExactly(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t received = ::recv(fd, data, size, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return false;
        data += received;
        size -= static_cast<std::size_t>(received);
    }
    return true;
}

// Sends all SIZE bytes of DATA; false when the connection fails.
bool sendExactly(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Reads LENGTH more bytes onto the end of RECORD, growing it a step at a time as they arrive,
// so that a header announcing a long fragment costs no memory before its bytes come.
bool receiveOnto(int fd, std::vector<char>& record, std::size_t length) {
    while (length > 0) {
        const std::size_t start = record.size();
        const std::size_t step = std::min(length, receiveStep);
        record.resize(start + step);
        if (!receiveExactly(fd, record.data() + start, step))
            return false;
        length -= step;
    }
    return true;
}

} // namespace

bool receiveRecord(int fd, std::vector<char>& record) {
    record.clear();
    for (;;) {
        std::uint32_t header = 0;
        if (!receiveExactly(fd, reinterpret_cast<char*>(&header), sizeof header))
            return false;
        header = ntohl(header);
        const std::size_t length = header & ~lastFragment;
        if (record.size() + length > largestRecord || !receiveOnto(fd, record, length))
            return false;
        if ((header & lastFragment) != 0)
            return true;
    }
}

bool sendRecord(int fd, const std::vector<char>& body) {
    const std::uint32_t header = htonl(lastFragment | static_cast<std::uint32_t>(body.size()));
    return sendExactly(fd, reinterpret_cast<const char*>(&header), sizeof header) &&
           sendExactly(fd, body.data(), body.size());
}

} // namespace zemo
