// Raw socket connections: lines in, the instrument's output queue out. The protocol has no read
// request, so the server sends whatever the queue holds to whichever connection is open. An
// answer to a connection's own query is held for a moment first, so that a client that sends a
// query and closes at once (as zemosend does) leaves the answer queued for the next client.
#include "server.h"

#include <cerrno>
#include <vector>

#include <poll.h>
#include <sys/socket.h>

namespace zemosim {

namespace {

// How often an idle connection looks for output queued through another connection.
constexpr Milliseconds idleCheck{20};
// A line longer than this is no command; the connection is dropped.
constexpr std::size_t longestLine = 1 << 20;
constexpr std::size_t outputPiece = 256 * 1024;

class SocketConnection {
  public:
    SocketConnection(FileDescriptor connection, Instrument& instrument)
        : connection_(std::move(connection)), instrument_(instrument), output_(outputPiece) {}

    // Runs until the client closes the connection or a command drops it.
    void serve() {
        for (;;) {
            if (pending_.empty())
                fillOutput();
            pollfd entry{connection_.get(), POLLIN, 0};
            if (!pending_.empty())
                entry.events |= POLLOUT;
            const int wait = pending_.empty() ? static_cast<int>(idleCheck.count()) : -1;
            if (::poll(&entry, 1, wait) < 0 && errno != EINTR)
                return;
            if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receiveCommands())
                return;
            if ((entry.revents & POLLOUT) != 0 && !sendOutput())
                return;
        }
    }

  private:
    // Takes the next ready bytes of the output queue, if any, without waiting.
    void fillOutput() {
        const auto piece = instrument_.take(output_, std::nullopt, Clock::now());
        if (piece)
            pending_ = std::span<const char>(output_.data(), piece->size);
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
        input_.append(data, static_cast<std::size_t>(received));
        std::size_t start = 0;
        for (auto end = input_.find('\n'); end != std::string::npos;
             end = input_.find('\n', start)) {
            const Effect effect = instrument_.execute(
                std::string_view(input_).substr(start, end - start), ownAnswerHold);
            if (effect.dropConnection || effect.hangUpAfterReply)
                return false;
            start = end + 1;
        }
        input_.erase(0, start);
        return input_.size() <= longestLine;
    }

    // Sends as much of the pending output as the connection takes; false when it failed.
    bool sendOutput() {
        const ssize_t sent = ::send(connection_.get(), pending_.data(), pending_.size(),
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EINTR || errno == EAGAIN;
        pending_ = pending_.subspan(static_cast<std::size_t>(sent));
        return true;
    }

    FileDescriptor connection_;
    Instrument& instrument_;
    std::string input_;
    std::vector<char> output_;
    std::span<const char> pending_;
};

} // namespace

void serveSocket(FileDescriptor connection, Instrument& instrument) {
    SocketConnection(std::move(connection), instrument).serve();
}

} // namespace zemosim
