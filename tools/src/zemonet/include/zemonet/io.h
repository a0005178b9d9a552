// What every transport on a file descriptor needs: the descriptor that closes itself, kept off
// the standard streams, and waiting with a deadline.
#pragma once

#include <chrono>
#include <cstddef>
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

// FD moved above the standard streams (0, 1, 2) and made close-on-exec, so that a program
// started with one of them closed never has its own input or output land on a descriptor of
// ours. FD itself when it is already above 2; otherwise FD is closed and the copy returned, or
// -1 with errno set when no copy could be made. A negative FD is returned as it is.
int aboveStandardStreams(int fd);

// Milliseconds left until DEADLINE, never below 0.
Milliseconds remaining(Clock::time_point deadline);

// The milliseconds left until DEADLINE as poll and other system calls take them: from 0 to the
// largest int.
int millisecondsLeft(Clock::time_point deadline);

// Waits until FD is ready for EVENTS (POLLIN or POLLOUT) or DEADLINE passes; returns false on
// the deadline. Throws Error when poll fails.
bool waitReady(int fd, short events, Clock::time_point deadline);

// How moving bytes on a socket ended: all of them moved, the peer closed the connection first,
// the deadline passed, or a system call failed with `error`; `moved` counts the bytes that moved
// before it ended.
struct Transfer {
    enum Outcome { done, closed, late, failed } outcome = done;
    int error = 0;
    std::size_t moved = 0;

    explicit operator bool() const { return outcome == done; }
};

// Receives exactly SIZE bytes from socket FD into DATA by DEADLINE (Clock::time_point::max()
// for none), waiting with poll for the time left; signals interrupt no transfer.
Transfer receiveExactly(int fd, char* data, std::size_t size, Clock::time_point deadline);

// Sends all SIZE bytes of DATA on socket FD by DEADLINE, as receiveExactly receives, adding
// FLAGS (such as MSG_MORE) to each send; a peer that has gone raises no SIGPIPE.
Transfer sendExactly(int fd, const char* data, std::size_t size, Clock::time_point deadline,
                     int flags = 0);

} // namespace zemo
