// What every transport on a file descriptor needs: the descriptor that closes itself, waiting
// with a deadline, and writes that a closed peer cannot end the process with.
#pragma once

#include <chrono>
#include <csignal>
#include <utility>

namespace zemo {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Owns one file descriptor and closes it when destroyed.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership and returns the descriptor.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor now, if any.
    void reset();

  private:
    int fd_ = -1;
};

// Keeps SIGPIPE from ending the process while it lives: a write to a connection that the peer
// has closed fails with EPIPE instead. For writes by libraries that do not pass MSG_NOSIGNAL;
// a SIGPIPE raised meanwhile is discarded, one that was pending before is left alone.
class SigpipeBlocked {
  public:
    SigpipeBlocked();
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;
    ~SigpipeBlocked();

  private:
    sigset_t previousMask_;
    bool pendingBefore_;
};

// Milliseconds left until DEADLINE, never below 0.
Milliseconds remaining(Clock::time_point deadline);

// Waits until FD is ready for EVENTS (POLLIN or POLLOUT) or DEADLINE passes; returns false on
// the deadline. Throws Error when poll fails.
bool waitReady(int fd, short events, Clock::time_point deadline);

} // namespace zemo
