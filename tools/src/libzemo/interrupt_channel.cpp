#include "interrupt_channel.h"

#include "zemonet/error.h"
#include "zemonet/rpc.h"
#include "zemonet/rpc_message.h"
#include "zemonet/vxi11proto.h"

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

namespace zemo {

namespace {

// Connections the system completes while nobody waits, before it turns new ones away.
constexpr int backlog = 32;
// Connections kept open at once.
constexpr std::size_t mostConnections = 8;
// The most connections taken in one round: a full backlog, and as many again that came
// meanwhile.
constexpr int mostAcceptsPerRound = 2 * backlog;
// The longest call of device_intr_srq: the header's ten words, credentials and verifier of at
// most 400 bytes each, and the handle of at most 40 bytes after its length.
constexpr std::size_t largestCall = 40 + 2 * 400 + 44;
// A record that has begun to arrive must have come whole within this time (an instrument sends
// its call in one piece).
constexpr Milliseconds recordTime{100};
// The most records of one connection served in one round, so that a peer that sends without
// end cannot keep the others waiting.
constexpr int mostRecordsPerRound = 16;

// ADDRESS as the messages show it, "192.0.2.7".
std::string addressText(in_addr address) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// True when bytes (or the peer's end) wait on SOCKET now.
bool readableNow(int socket) {
    pollfd entry{socket, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

// True for the failures of accept that say the process or the system has no room for another
// descriptor, which the next attempt would meet again at once.
bool outOfRoom(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace

InterruptChannel::InterruptChannel(in_addr address) : address_(address) {
    listener_ = FileDescriptor(aboveStandardStreams(
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP)));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    socklen_t length = sizeof local;
    auto* generic = reinterpret_cast<sockaddr*>(&local);
    if (!listener_.valid() || ::bind(listener_.get(), generic, length) != 0 ||
        ::listen(listener_.get(), backlog) != 0 ||
        ::getsockname(listener_.get(), generic, &length) != 0)
        throw failure("cannot serve the interrupt channel at " + addressText(address) + ": " +
                      systemError(errno));
    port_ = ntohs(local.sin_port);
    std::random_device random;
    for (char& byte : handle_)
        byte = static_cast<char>(random() & 0xff);
}

bool InterruptChannel::awaitRequest(Clock::time_point deadline) {
    do {
        if (serveRound(deadline))
            return true;
    } while (Clock::now() < deadline);
    return false;
}

bool InterruptChannel::serveRound(Clock::time_point deadline) {
    std::vector<pollfd> entries{{listener_.get(), POLLIN, 0}};
    for (const Connection& connection : connections_)
        entries.push_back({connection.socket.get(), POLLIN, 0});
    if (::poll(entries.data(), entries.size(), millisecondsLeft(deadline)) < 0) {
        if (errno == EINTR)
            return false;
        throw failure("the interrupt channel: poll failed: " + systemError(errno));
    }
    bool requested = false;
    for (std::size_t i = 0; i < connections_.size(); ++i)
        if (entries[i + 1].revents != 0)
            requested = serveConnection(connections_[i], deadline) || requested;
    std::erase_if(connections_,
                  [](const Connection& connection) { return !connection.socket.valid(); });
    if (entries.front().revents != 0)
        requested = acceptPending(deadline) || requested;
    return requested;
}

bool InterruptChannel::serveConnection(Connection& connection, Clock::time_point deadline) {
    bool requested = false;
    for (int served = 0; served < mostRecordsPerRound; ++served) {
        if (served > 0 && !readableNow(connection.socket.get()))
            break;
        switch (receiveCall(connection.socket.get(), deadline)) {
        case Record::request:
            requested = connection.trusted = true;
            break;
        case Record::ignored:
            break;
        case Record::unacceptable:
            connection.socket.reset();
            return requested;
        }
    }
    return requested;
}

InterruptChannel::Record InterruptChannel::receiveCall(int socket,
                                                       Clock::time_point deadline) const {
    std::array<char, largestCall> record;
    std::size_t size = 0;
    // receiveRecord ends a record longer than largestCall at its header; the check here only
    // makes sure of it.
    const auto room = [&record, &size](std::size_t piece) -> char* {
        if (size + piece > record.size())
            return nullptr;
        size += piece;
        return record.data() + size - piece;
    };
    if (!receiveRecord(socket, largestCall, room, std::min(deadline, Clock::now() + recordTime)))
        return Record::unacceptable;
    const std::span<char> body(record.data(), size);
    const auto call = rpc::readCall(body, DEVICE_INTR, DEVICE_INTR_VERSION);
    if (call.outcome != rpc::CallReading::accepted)
        return Record::unacceptable;
    if (call.procedure != device_intr_srq)
        return Record::ignored;
    rpc::Decoded<Device_SrqParms> parameters(body.subspan(call.arguments), xdr_Device_SrqParms);
    const bool ours =
        parameters.ok() &&
        std::ranges::equal(std::span(parameters->handle.handle_val, parameters->handle.handle_len),
                           handle_);
    return ours ? Record::request : Record::ignored;
}

bool InterruptChannel::acceptPending(Clock::time_point deadline) {
    bool requested = false;
    for (int taken = 0; taken < mostAcceptsPerRound; ++taken) {
        const int socket =
            aboveStandardStreams(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (socket < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (socket < 0 && outOfRoom(errno))
            throw failure("the interrupt channel cannot take a connection: " + systemError(errno));
        if (socket < 0) // the failure of a connection that went before it was taken
            continue;
        // What came before the connection was taken is served before any connection is closed
        // to make room, so that a request made while nobody waited counts even in a crowd.
        Connection connection{FileDescriptor(socket)};
        if (readableNow(socket))
            requested = serveConnection(connection, deadline) || requested;
        if (connection.socket.valid())
            keep(std::move(connection));
    }
    return requested;
}

void InterruptChannel::keep(Connection connection) {
    connections_.push_back(std::move(connection));
    if (connections_.size() <= mostConnections)
        return;
    const auto untrusted = std::ranges::find(connections_, false, &Connection::trusted);
    connections_.erase(untrusted != connections_.end() ? untrusted : connections_.begin());
}

} // namespace zemo
