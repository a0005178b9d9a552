#include "zemonet/io.h"
#include "zemonet/error.h"

#include <cerrno>

#include <poll.h>
#include <pthread.h>
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

namespace {

// The signal set holding SIGPIPE alone.
sigset_t onlySigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

// True when a SIGPIPE waits, blocked, for this thread or the process.
bool sigpipePending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

SigpipeBlocked::SigpipeBlocked() : pendingBefore_(sigpipePending()) {
    const sigset_t set = onlySigpipe();
    pthread_sigmask(SIG_BLOCK, &set, &previousMask_);
}

SigpipeBlocked::~SigpipeBlocked() {
    if (!pendingBefore_ && sigpipePending()) {
        const sigset_t set = onlySigpipe();
        const timespec now{};
        while (sigtimedwait(&set, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
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
