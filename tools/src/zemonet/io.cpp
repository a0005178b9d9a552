#include "zemonet/io.h"
#include "zemonet/error.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
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

bool waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const auto left = remaining(deadline).count();
        const int wait = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
        const int ready = ::poll(&entry, 1, wait);
        if (ready > 0)
            return true;
        if (ready == 0) {
            if (Clock::now() >= deadline)
                return false;
            continue;
        }
        if (errno != EINTR)
            throw failure("poll failed: " + systemError(errno));
    }
}

} // namespace zemo
