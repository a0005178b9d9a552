// Raw socket connections: lines in, the instrument's output queue out. The protocol has no read
// request, so the server sends queued output to a connection that asked for it (see
// SocketAsking in instrument.h). An answer to a connection's own query is held for a moment
// first, so that a client that sends a query and closes at once (as zemosend does) leaves the
// answer queued for the next client. An idle connection sleeps in poll until its client sends,
// its output can go on, or the instrument's queue changes.
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace zemosim {

namespace {

// A line longer than this is no command; the connection is dropped.
constexpr std::size_t longestLine = 1 << 20;
constexpr std::size_t outputPiece = 256 * 1024;

class SocketConnection {
  public:
    SocketConnection(FileDescriptor connection, Instrument& instrument, Milliseconds idleLimit)
        : connection_(std::move(connection)), instrument_(instrument),
          wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), idleLimit_(idleLimit) {
        asking_.self = instrument_.join(wake_.get());
    }
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;
    ~SocketConnection() { instrument_.leave(asking_.self); }

    // Runs until the client closes the connection, a command drops it, or it has been idle for
    // the idle limit.
    void serve() {
        if (!wake_.valid())
            return;
        lastActivity_ = Clock::now();
        for (;;) {
            auto wakeAt = lastActivity_ + idleLimit_;
            if (pending_.empty())
                wakeAt = std::min(wakeAt, fillOutput());
            pollfd entries[2] = {{connection_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            if (!pending_.empty())
                entries[0].events |= POLLOUT;
            if (::poll(entries, 2, pollWait(wakeAt)) < 0 && errno != EINTR)
                return;
            if ((entries[1].revents & POLLIN) != 0 && !consumeWake())
                return;
            if ((entries[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receiveCommands())
                return;
            if ((entries[0].revents & POLLOUT) != 0 && !sendOutput())
                return;
            if (Clock::now() >= lastActivity_ + idleLimit_)
                return;
        }
    }

  private:
    // Resets the wake counter, so that the next poll sleeps until the instrument writes it again;
    // false when it cannot be read.
    bool consumeWake() {
        std::uint64_t count = 0;
        return ::read(wake_.get(), &count, sizeof count) >= 0 || errno == EAGAIN;
    }

    // Takes the next bytes of the output queue that this connection may be sent, if any are
    // ready, without waiting; returns when to look again for an answer not ready yet.
    Clock::time_point fillOutput() {
        auto readyAt = Clock::time_point::max();
        if (!output_)
            output_ = std::make_unique_for_overwrite<char[]>(outputPiece);
        const auto piece =
            instrument_.takeFor(asking_, std::span<char>(output_.get(), outputPiece), readyAt);
        if (piece) {
            pending_ = std::span<const char>(output_.get(), piece->size);
            asking_.askedSinceAnswer = asking_.askedSinceAnswer && !piece->endOfMessage;
        }
        return readyAt;
    }

    // Reads what the client sent and executes each complete line; false when the connection
    // ends.
    bool receiveCommands() {
        char data[65536];
        const ssize_t received = ::recv(connection_.get(), data, sizeof data, MSG_DONTWAIT);
        if (received < 0)
            return errno == EINTR || errno == EAGAIN;
        if (received == 0)
            return false;
        lastActivity_ = Clock::now();
        input_.append(data, static_cast<std::size_t>(received));
        std::size_t start = 0;
        for (auto end = input_.find('\n'); end != std::string::npos;
             end = input_.find('\n', start)) {
            asking_.askedSinceAnswer = asking_.askedEver = true;
            const Effect effect = instrument_.execute(
                std::string_view(input_).substr(start, end - start), ownAnswerHold, asking_.self);
            if (effect.dropConnection || effect.hangUpAfterReply)
                return false;
            start = end + 1;
        }
        input_.erase(0, start);
        if (input_.empty())
            input_.shrink_to_fit();
        return input_.size() <= longestLine;
    }

    // Sends as much of the pending output as the connection takes; false when it failed.
    bool sendOutput() {
        const ssize_t sent = ::send(connection_.get(), pending_.data(), pending_.size(),
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EINTR || errno == EAGAIN;
        lastActivity_ = Clock::now();
        pending_ = pending_.subspan(static_cast<std::size_t>(sent));
        return true;
    }

    FileDescriptor connection_;
    Instrument& instrument_;
    // Written by the instrument whenever its queue or its clients change.
    FileDescriptor wake_;
    const Milliseconds idleLimit_;
    SocketAsking asking_;
    Clock::time_point lastActivity_;
    std::string input_;
    // Output taken from the queue; allocated without being filled, so that only the pages that
    // output is copied into cost memory.
    std::unique_ptr<char[]> output_;
    std::span<const char> pending_;
};

} // namespace

void serveSocket(FileDescriptor connection, Instrument& instrument, Milliseconds idleLimit) {
    SocketConnection(std::move(connection), instrument, idleLimit).serve();
}

} // namespace zemosim
