#include "zemonet/hislip.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

namespace zemo::hislip {

namespace {

constexpr std::array<const char*, 26> typeNames{
    "Initialize",
    "InitializeResponse",
    "FatalError",
    "Error",
    "AsyncLock",
    "AsyncLockResponse",
    "Data",
    "DataEnd",
    "DeviceClearComplete",
    "DeviceClearAcknowledge",
    "AsyncRemoteLocalControl",
    "AsyncRemoteLocalResponse",
    "Trigger",
    "Interrupted",
    "AsyncInterrupted",
    "AsyncMaximumMessageSize",
    "AsyncMaximumMessageSizeResponse",
    "AsyncInitialize",
    "AsyncInitializeResponse",
    "AsyncDeviceClear",
    "AsyncServiceRequest",
    "AsyncStatusQuery",
    "AsyncStatusResponse",
    "AsyncDeviceClearAcknowledge",
    "AsyncLockInfo",
    "AsyncLockInfoResponse",
};

// A payload grows by at most this much per receive, and a dropped one is received this much at
// a time.
constexpr std::size_t receiveStep = 64 << 10;

void putBigEndian(std::byte* out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        out[i] = static_cast<std::byte>(value & 0xff);
}

std::uint64_t getBigEndian(const std::byte* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | std::to_integer<std::uint64_t>(in[i]);
    return value;
}

} // namespace

HeaderBytes encode(const Header& header) {
    HeaderBytes bytes{};
    bytes[0] = std::byte{'H'};
    bytes[1] = std::byte{'S'};
    bytes[2] = static_cast<std::byte>(header.type);
    bytes[3] = static_cast<std::byte>(header.control);
    putBigEndian(&bytes[4], header.parameter, 4);
    putBigEndian(&bytes[8], header.length, 8);
    return bytes;
}

bool decode(const HeaderBytes& bytes, Header& header) {
    if (bytes[0] != std::byte{'H'} || bytes[1] != std::byte{'S'})
        return false;
    header.type = static_cast<Type>(bytes[2]);
    header.control = std::to_integer<std::uint8_t>(bytes[3]);
    header.parameter = static_cast<std::uint32_t>(getBigEndian(&bytes[4], 4));
    header.length = getBigEndian(&bytes[8], 8);
    return true;
}

std::string typeName(Type type) {
    const auto index = static_cast<std::size_t>(type);
    if (index < typeNames.size())
        return typeNames[index];
    return "message type " + std::to_string(index);
}

std::string errorMeaning(std::uint8_t code) {
    switch (code) {
    case errorUnrecognizedType:
        return "unrecognized message type";
    case errorUnrecognizedControlCode:
        return "unrecognized control code";
    case errorUnrecognizedVendorMessage:
        return "unrecognized vendor defined message";
    case errorMessageTooLarge:
        return "message too large";
    default:
        return "unidentified error";
    }
}

std::string fatalErrorMeaning(std::uint8_t code) {
    switch (code) {
    case fatalPoorlyFormedHeader:
        return "poorly formed message header";
    case fatalChannelsNotEstablished:
        return "attempt to use connection without both channels established";
    case fatalInvalidInitialization:
        return "invalid initialization sequence";
    case fatalTooManyClients:
        return "server refused connection due to maximum number of clients exceeded";
    default:
        return "unidentified error";
    }
}

void sendMessage(int fd, Header header, std::span<const std::byte> payload,
                 Clock::time_point deadline) {
    header.length = payload.size();
    const HeaderBytes bytes = encode(header);
    auto sent = sendExactly(fd, reinterpret_cast<const char*>(bytes.data()), bytes.size(), deadline,
                            payload.empty() ? 0 : MSG_MORE);
    if (sent)
        sent = sendExactly(fd, reinterpret_cast<const char*>(payload.data()), payload.size(),
                           deadline);
    if (sent.outcome == Transfer::late)
        throw timeout("the peer accepted no data in time");
    if (!sent)
        throw failure("send failed: " + systemError(sent.error));
}

void sendText(int fd, Type type, std::uint8_t control, std::uint32_t parameter,
              std::string_view text, Clock::time_point deadline) {
    sendMessage(fd, {type, control, parameter, 0},
                std::as_bytes(std::span(text.data(), text.size())), deadline);
}

std::size_t receiveSome(int fd, std::span<std::byte> out, Clock::time_point deadline) {
    for (;;) {
        const ssize_t received = ::recv(fd, out.data(), out.size(), MSG_DONTWAIT);
        if (received > 0)
            return static_cast<std::size_t>(received);
        if (received == 0)
            throw failure("the peer closed the connection");
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            throw failure("receive failed: " + systemError(errno));
        if (!waitReady(fd, POLLIN, deadline))
            return 0;
    }
}

bool receiveAll(int fd, std::span<std::byte> out, std::size_t& received,
                Clock::time_point deadline) {
    const auto transfer = receiveExactly(fd, reinterpret_cast<char*>(out.data()) + received,
                                         out.size() - received, deadline);
    received += transfer.moved;
    if (transfer.outcome == Transfer::closed)
        throw failure("the peer closed the connection");
    if (transfer.outcome == Transfer::failed)
        throw failure("receive failed: " + systemError(transfer.error));
    return static_cast<bool>(transfer);
}

Header receiveHeader(int fd, std::uint64_t largest, Clock::time_point deadline) {
    HeaderBytes bytes{};
    std::size_t received = 0;
    if (!receiveAll(fd, bytes, received, deadline))
        throw timeout("no message within the time allowed");
    Header header;
    if (!decode(bytes, header))
        throw MalformedMessage(fatalPoorlyFormedHeader,
                               "a message header without the prologue 'HS'");
    if (header.length > largest)
        throw MalformedMessage(fatalPoorlyFormedHeader,
                               typeName(header.type) + " announces a payload of " +
                                   std::to_string(header.length) + " bytes, more than the " +
                                   std::to_string(largest) + " accepted");
    return header;
}

void receivePayload(int fd, const Header& header, std::vector<std::byte>& payload,
                    Clock::time_point deadline) {
    payload.clear();
    while (payload.size() < header.length) {
        const std::size_t start = payload.size();
        const std::size_t step = std::min<std::uint64_t>(header.length - start, receiveStep);
        payload.resize(start + step);
        std::size_t got = 0;
        if (!receiveAll(fd, std::span(payload).subspan(start), got, deadline))
            throw timeout("the rest of a " + typeName(header.type) +
                          " message did not arrive in time");
    }
}

void receiveMessage(int fd, Header& header, std::vector<std::byte>& payload, std::uint64_t largest,
                    Clock::time_point deadline) {
    header = receiveHeader(fd, largest, deadline);
    receivePayload(fd, header, payload, deadline);
}

std::array<std::byte, 8> encodeSize(std::uint64_t size) {
    std::array<std::byte, 8> bytes{};
    putBigEndian(bytes.data(), size, 8);
    return bytes;
}

std::uint64_t decodeSize(std::span<const std::byte, 8> bytes) {
    return getBigEndian(bytes.data(), 8);
}

bool dropPayload(int fd, std::uint64_t& left, Clock::time_point deadline) {
    std::array<std::byte, receiveStep> scrap;
    while (left > 0) {
        const std::size_t got = receiveSome(
            fd, std::span(scrap).first(std::min<std::uint64_t>(left, scrap.size())), deadline);
        if (got == 0)
            return false;
        left -= got;
    }
    return true;
}

std::string payloadText(std::span<const std::byte> payload) {
    return {reinterpret_cast<const char*>(payload.data()), payload.size()};
}

} // namespace zemo::hislip
