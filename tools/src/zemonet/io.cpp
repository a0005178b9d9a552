#include "zemonet/io.h"
#include "zemonet/error.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zemo {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void FileDescriptor::reset() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

Milliseconds remaining(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now());
    return left > Milliseconds{0} ? left : Milliseconds{0};
}

int millisecondsLeft(Clock::time_point deadline) {
    return static_cast<int>(
        std::min<Milliseconds::rep>(remaining(deadline).count(), std::numeric_limits<int>::max()));
}

namespace {

// Waits as waitReady does: 1 when FD is ready, 0 at the deadline, -1 with errno when poll fails.
int pollUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
        if (ready > 0)
            return 1;
        if (ready == 0 && Clock::now() >= deadline)
            return 0;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

// Moves SIZE bytes at DATA with MOVE (a non-blocking recv or send that returns its count),
// waiting for EVENTS on FD until DEADLINE whenever the socket is not ready.
template <typename Data, typename Move>
Transfer moveExactly(int fd, short events, Data* data, std::size_t size, Clock::time_point deadline,
                     Move move) {
    Transfer transfer;
    while (transfer.moved < size) {
        const ssize_t moved = move(fd, data + transfer.moved, size - transfer.moved);
        if (moved > 0) {
            transfer.moved += static_cast<std::size_t>(moved);
        } else if (moved == 0) {
            transfer.outcome = Transfer::closed;
            return transfer;
        } else if (errno == EAGAIN) {
            if (const int ready = pollUntil(fd, events, deadline); ready <= 0) {
                transfer.outcome = ready == 0 ? Transfer::late : Transfer::failed;
                transfer.error = ready == 0 ? 0 : errno;
                return transfer;
            }
        } else if (errno != EINTR) {
            transfer.outcome = Transfer::failed;
            transfer.error = errno;
            return transfer;
        }
    }
    return transfer;
}

} // namespace

bool waitReady(int fd, short events, Clock::time_point deadline) {
    const int ready = pollUntil(fd, events, deadline);
    if (ready < 0)
        throw failure("poll failed: " + systemError(errno));
    return ready > 0;
}

Transfer receiveExactly(int fd, char* data, std::size_t size, Clock::time_point deadline) {
    return moveExactly(fd, POLLIN, data, size, deadline,
                       [](int from, char* into, std::size_t count) {
                           return ::recv(from, into, count, MSG_DONTWAIT);
                       });
}

Transfer sendExactly(int fd, const char* data, std::size_t size, Clock::time_point deadline,
                     int flags) {
    return moveExactly(fd, POLLOUT, data, size, deadline,
                       [flags](int to, const char* from, std::size_t count) {
                           return ::send(to, from, count, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
                       });
}

} // namespace zemo
