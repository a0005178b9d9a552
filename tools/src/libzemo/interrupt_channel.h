// Inside the library: the VXI-11 interrupt channel, the ONC RPC server on TCP through which an
// instrument reports service requests (program DEVICE_INTR version 1, procedure 30
// device_intr_srq, whose one argument is the handle the client gave with device_enable_srq).
//
// It runs no thread: the thread that waits for a request serves it, with poll. While nobody
// waits, the system completes connections into the listening socket's backlog and keeps the
// bytes that come on them, so that the next wait finds a request that arrived meanwhile at once;
// all requests found at once count as one. The channel is a server inside the caller's process,
// so it trusts nothing a peer sends: records longer than any call are dropped at their header,
// without room being made for them, together with their connection, as are records that are no
// call of the program and records that stop half-way; calls carrying another handle are
// ignored; a few connections are kept at once, the newest beyond them closing the oldest that
// has brought no request; device_intr_srq is one-way, so nothing is ever sent back, and a peer
// that reads nothing cannot hold up a wait. A wait ends at its deadline whatever arrives.
#pragma once

#include "zemonet/io.h"

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include <netinet/in.h>

namespace zemo {

class InterruptChannel {
  public:
    // Listens on a port the system chooses at ADDRESS, and there only. Throws Error when it
    // cannot.
    explicit InterruptChannel(in_addr address);

    // Where it listens: ADDRESS, and a port the system chose.
    in_addr address() const { return address_; }
    unsigned short port() const { return port_; }

    // The handle an instrument must pass back with each request: random bytes of this channel's
    // own.
    std::span<const char> handle() const { return handle_; }

    // Serves the channel until a request carrying the handle has come, true, or DEADLINE has
    // passed, false. Throws Error when poll fails, or when the process has no room for another
    // descriptor.
    bool awaitRequest(Clock::time_point deadline);

  private:
    // One peer's connection; TRUSTED once it has brought a request with the handle.
    struct Connection {
        FileDescriptor socket;
        bool trusted = false;
    };

    // Waits by DEADLINE for a connection or bytes to come and serves everything that did; true
    // when a request with the handle was among them.
    bool serveRound(Clock::time_point deadline);
    // Reads the records that have come on CONNECTION, a few at most; true when one of them was
    // a request with the handle. Closes CONNECTION when it brought something else than calls.
    bool serveConnection(Connection& connection, Clock::time_point deadline);
    // What one record turned out to be: a request with the handle, a call to be ignored (another
    // procedure, another handle), or something for which the connection is closed.
    enum class Record { request, ignored, unacceptable };
    // Receives one record on SOCKET, by DEADLINE and within a short time once it has begun.
    Record receiveCall(int socket, Clock::time_point deadline) const;
    // Takes the connections the system has completed and serves what came on them already;
    // true when that was a request with the handle.
    bool acceptPending(Clock::time_point deadline);
    // Keeps CONNECTION; beyond the few kept, closes the oldest that has brought no request with
    // the handle, or else the oldest.
    void keep(Connection connection);

    FileDescriptor listener_;
    in_addr address_;
    unsigned short port_ = 0;
    std::array<char, 16> handle_{};
    std::vector<Connection> connections_;
};

} // namespace zemo
