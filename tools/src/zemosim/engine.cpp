#include "engine.h"
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace zemosim {

namespace {

// What the client's side of FD says now: data to read, its end, or a reset.
enum class Arrival { data, end, reset };

Arrival peek(int fd) {
    char byte = 0;
    const ssize_t received = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (received > 0 || (received < 0 && (errno == EAGAIN || errno == EINTR)))
        return Arrival::data;
    if (received == 0)
        return Arrival::end;
    return errno == ECONNRESET || errno == EPIPE ? Arrival::reset : Arrival::end;
}

// The error pending on socket FD, which reading it takes away; 0 for none.
int socketError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 ? error : 0;
}

} // namespace

WakeUp::WakeUp() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeUp::signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

void WakeUp::consume() const {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t received = ::read(fd_.get(), &count, sizeof count);
}

void OutputPump::start(std::span<const std::byte> header, std::span<const std::byte> payload) {
    headerSize_ = std::min(header.size(), sizeof header_);
    // A message without a header (a raw socket's) has no header bytes to copy.
    std::copy_n(header.data(), headerSize_, header_);
    payload_ = payload;
    sent_ = 0;
    left_ = headerSize_ + payload.size();
}

bool OutputPump::sendSome(int fd, int& error) {
    iovec pieces[2];
    int count = 0;
    if (sent_ < headerSize_)
        pieces[count++] = {header_ + sent_, headerSize_ - sent_};
    const std::size_t payloadSent = sent_ > headerSize_ ? sent_ - headerSize_ : 0;
    if (payloadSent < payload_.size())
        pieces[count++] = {const_cast<std::byte*>(payload_.data()) + payloadSent,
                           payload_.size() - payloadSent};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t sent = -1;
    if (socket_ && (sent = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 &&
        errno == ENOTSOCK)
        socket_ = false;
    if (!socket_)
        sent = ::writev(fd, pieces, count);
    if (sent < 0) {
        error = errno;
        return errno == EINTR || errno == EAGAIN;
    }
    sent_ += static_cast<std::size_t>(sent);
    left_ -= static_cast<std::size_t>(sent);
    return true;
}

bool OutputPump::finish(int fd, Clock::time_point deadline) {
    int error = 0;
    while (!empty())
        if (!zemo::waitReady(fd, POLLOUT, deadline) || !sendSome(fd, error))
            return false;
    return true;
}

Effect CommandInput::run(Instrument& instrument, ClientId client, std::uint32_t tag, bool end) {
    Effect total;
    std::size_t start = 0;
    while (start < text_.size()) {
        const auto stop = text_.find('\n', start);
        if (stop == std::string::npos && !end)
            break;
        const std::size_t length = (stop == std::string::npos ? text_.size() : stop) - start;
        const Effect effect =
            instrument.execute(std::string_view(text_).substr(start, length), client, tag);
        start = stop == std::string::npos ? text_.size() : stop + 1;
        total.stall += effect.stall;
        total.vxi11Error = total.vxi11Error != 0 ? total.vxi11Error : effect.vxi11Error;
        total.hangUpAfterReply = total.hangUpAfterReply || effect.hangUpAfterReply;
        if (effect.dropConnection || effect.hangUpAfterReply) {
            total.dropConnection = effect.dropConnection;
            break;
        }
    }
    text_.erase(0, start);
    if (text_.empty())
        text_.shrink_to_fit();
    return total;
}

Ending StreamConnection::run() {
    // The client has ended its sending side, or the connection is to end for reasons of its own.
    bool clientEnded = false;
    // What the last wait saw on the protocol's side descriptor.
    short sideEvents = 0;
    for (;;) {
        auto wakeAt = Clock::time_point::max();
        // The commands that are here go first, so that the answers sent after them are known to
        // have been sent after the client's latest command; then the output that is ready goes
        // out piece after piece while the connection has room, which it mostly has.
        for (;;) {
            if (!clientEnded) {
                const bool going = goOn();
                const Input input =
                    (going || readsAfterEnd()) && wantsInput() ? receiveWaiting() : Input::open;
                if (input == Input::reset)
                    return Ending::unread;
                // What was taken for the client still goes, as far as it takes it.
                if (input == Input::failed)
                    return pump_.finish(fd_, deadline()) ? Ending::read : Ending::unread;
                clientEnded = input == Input::ended || !going;
            }
            if (!pump_.empty())
                break;
            wakeAt = std::min(wakeAt, fillOutput(pump_));
            if (pump_.empty())
                break;
            if (!pumpOutput())
                return Ending::unread;
        }
        if (clientEnded && pump_.empty() && !outputPending())
            break;
        // While the protocol takes no input, only the client's end is watched for.
        const bool input = !clientEnded && wantsInput();
        const short watched = clientEnded ? 0 : input ? POLLIN : POLLRDHUP;
        const SideWatch side = tendSide(std::exchange(sideEvents, 0));
        pollfd entries[3] = {{fd_, watched, 0}, {wake_.fd(), POLLIN, 0}, {side.fd, side.events, 0}};
        if (!pump_.empty())
            entries[0].events |= POLLOUT;
        // The deadline as what the client sent made it, which may have brought it nearer (a
        // connection that stopped waiting for service requests).
        wakeAt = std::min({wakeAt, side.until, deadline()});
        if (::poll(entries, 3, pollWait(wakeAt)) < 0 && errno != EINTR)
            return Ending::unread;
        sideEvents = entries[2].revents;
        if ((entries[1].revents & POLLIN) != 0)
            wake_.consume();
        const short events = entries[0].revents;
        if ((events & POLLOUT) != 0 && !pumpOutput())
            return Ending::unread;
        if (clientEnded && (events & (POLLHUP | POLLERR)) != 0) {
            noteError(socketError(fd_));
            break;
        }
        if (!clientEnded && !input && (events & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            noteError(socketError(fd_));
            clientEnded = true;
        }
        if (Clock::now() >= deadline())
            return pump_.empty() ? Ending::read : Ending::unread;
    }
    if (!reset_ && pump_.empty() && tracksUnread())
        closeAndWatch();
    return reset_ || !pump_.empty() ? Ending::unread : Ending::read;
}

StreamConnection::Input StreamConnection::receiveWaiting() {
    for (;;) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 0) <= 0)
            return Input::open;
        switch (peek(fd_)) {
        case Arrival::reset:
            reset_ = true;
            return Input::reset;
        case Arrival::end:
            return Input::ended;
        case Arrival::data:
            if (!receive())
                return Input::failed;
            // A protocol that answers one message at a time takes the next once the answer to
            // this one has gone, however soon the client sent it.
            if (!wantsInput())
                return Input::open;
            break;
        }
    }
}

bool StreamConnection::pumpOutput() {
    int error = 0;
    if (!pump_.sendSome(fd_, error)) {
        noteError(error);
        return false;
    }
    sent();
    return true;
}

void StreamConnection::noteError(int error) {
    reset_ = reset_ || error == ECONNRESET || error == EPIPE;
}

void StreamConnection::closeAndWatch() {
    // A connection reset already is closed; a local stream connection has no TCP state, and its
    // end says nothing of what was read.
    tcp_info info{};
    socklen_t size = sizeof info;
    const auto until = Clock::now() + longestEndWatch;
    for (bool closing = ::shutdown(fd_, SHUT_WR) == 0;
         closing && ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
         info.tcpi_state != TCP_CLOSE && Clock::now() < until;
         size = sizeof info)
        std::this_thread::sleep_for(endCheckInterval);
    noteError(socketError(fd_));
}

} // namespace zemosim
