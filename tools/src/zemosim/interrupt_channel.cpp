#include "interrupt_channel.h"
#include "resource_limits.h"
#include "zemonet/rpc.h"
#include "zemonet/rpc_message.h"
#include "zemonet/vxi11.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace zemosim {

namespace {

// The most bytes of the client's input discarded in one advance, so that a client that floods
// its end of the channel cannot keep the connection's thread reading.
constexpr std::size_t largestDiscard = 64 << 10;

} // namespace

void InterruptChannel::call(std::span<const char> handle, Clock::time_point now) {
    if (calls_.size() >= largestQueuedInterrupts)
        return;
    std::vector<char> bytes(handle.begin(), handle.end());
    Device_SrqParms arguments{};
    arguments.handle.handle_len = static_cast<u_int>(bytes.size());
    arguments.handle.handle_val = bytes.data();
    auto body =
        zemo::rpc::encodeCall(nextXid_++, {DEVICE_INTR, DEVICE_INTR_VERSION, device_intr_srq},
                              xdr_Device_SrqParms, arguments);
    if (body.empty())
        return;
    calls_.push_back({std::move(body), now + interruptCallTime});
    advance(0, now);
}

void InterruptChannel::advance(short events, Clock::time_point now) {
    if (socket_.valid() && !connecting_ && (events & (POLLIN | POLLHUP | POLLERR)) != 0 &&
        !discardInput())
        return fail();
    if (calls_.empty())
        return;
    if (calls_.front().deadline <= now)
        return fail();
    if (!socket_.valid())
        connect();
    if (connecting_ && !connected())
        return;
    if (socket_.valid() && !sendSome())
        fail();
}

short InterruptChannel::events() const {
    if (connecting_)
        return POLLOUT;
    return static_cast<short>(POLLIN | (calls_.empty() ? 0 : POLLOUT));
}

Clock::time_point InterruptChannel::deadline() const {
    return calls_.empty() ? Clock::time_point::max() : calls_.front().deadline;
}

void InterruptChannel::connect() {
    socket_ = FileDescriptor(zemo::aboveStandardStreams(
        ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP)));
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address_);
    where.sin_port = htons(port_);
    const int on = 1;
    // The calls are small: each goes at once rather than waiting for the one before to be
    // acknowledged.
    if (socket_.valid() &&
        ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
        (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 ||
         errno == EINPROGRESS)) {
        connecting_ = true;
        return;
    }
    fail();
}

bool InterruptChannel::connected() {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        fail();
        return false;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket_.get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return false;
    connecting_ = false;
    return true;
}

bool InterruptChannel::sendSome() {
    while (!calls_.empty()) {
        if (pump_.empty())
            pump_.start(zemo::recordMark(calls_.front().body.size()),
                        std::as_bytes(std::span(calls_.front().body)));
        int error = 0;
        if (!pump_.sendSome(socket_.get(), error))
            return false;
        if (!pump_.empty())
            return true;
        calls_.pop_front();
    }
    return true;
}

bool InterruptChannel::discardInput() {
    char buffer[4096];
    for (std::size_t discarded = 0; discarded < largestDiscard; discarded += sizeof buffer) {
        const ssize_t got = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0)
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    return true;
}

void InterruptChannel::fail() {
    socket_.reset();
    connecting_ = false;
    pump_.drop();
    calls_.clear();
}

} // namespace zemosim
