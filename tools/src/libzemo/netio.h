// Inside the library: what the network transports share. Host names, the file descriptor that
// closes itself, a TCP connect that gives up in time, and waiting with a deadline.
#pragma once

#include "transport.h"

#include <chrono>
#include <csignal>
#include <string>
#include <string_view>
#include <utility>

namespace zemo {

using Clock = std::chrono::steady_clock;

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

// FD moved above the standard streams (0, 1, 2) and made close-on-exec, so that a program
// started with one of them closed never has its own input or output land on a descriptor of
// ours. FD itself when it is already above 2; otherwise FD is closed and the copy returned, or
// -1 with errno set when no copy could be made. A negative FD is returned as it is.
int aboveStandardStreams(int fd);

// A host and what follows it in an interface address. HOST is a name, an IPv4 address, or an
// IPv6 address, bare or in brackets; PORT is empty when the address gave none.
struct HostPort {
    std::string host;
    std::string port;
};

// Splits "HOST" or "HOST:PORT" (IPv6 as "[ADDR]" or "[ADDR]:PORT"; a bare IPv6 address, which
// holds several colons, never carries a port). Throws Error naming EXPECTED when malformed.
HostPort splitHostPort(std::string_view text, const std::string& expected);

// Checks that TEXT is a decimal port from 1 to 65535 and returns it; throws Error naming
// EXPECTED otherwise.
unsigned short parsePort(std::string_view text, const std::string& expected);

// The time a connection may take, from ZEMO_CONNECT_TIMEOUT (milliseconds) or 5 seconds.
Milliseconds connectTimeout();

// Resolves HOST through the system resolver and connects a TCP socket to PORT on the first
// address that answers within connectTimeout(). Throws Error naming SERVICE (when given, e.g.
// "the portmapper"): ZEMO_TIMEOUT when no address answered in time, ZEMO_FAILURE when the name
// does not resolve or every address refused.
FileDescriptor connectTcp(const std::string& host, unsigned short port,
                          const std::string& service = {});

// The same, giving up at DEADLINE, for a connection that is one step of a longer open.
FileDescriptor connectTcp(const std::string& host, unsigned short port, Clock::time_point deadline,
                          const std::string& service = {});

// The text of the system error NUMBER, e.g. "Connection refused".
std::string systemError(int number);

// Milliseconds left until DEADLINE, never below 0.
Milliseconds remaining(Clock::time_point deadline);

// Waits until FD is ready for EVENTS (POLLIN or POLLOUT) or DEADLINE passes; returns false on
// the deadline. Throws Error when poll fails.
bool waitReady(int fd, short events, Clock::time_point deadline);

} // namespace zemo
