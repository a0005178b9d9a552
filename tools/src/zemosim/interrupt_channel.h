// The calling side of a VXI-11 interrupt channel: the device_intr_srq calls that the server makes
// to the client's own RPC server, at the IPv4 address and port the client announced with
// create_intr_chan. The calls are one-way: sent, never answered, on one TCP connection that is
// made when the first call is due and kept for the next ones.
//
// Nothing here waits. The VXI-11 connection's poll loop watches descriptor() for events() and
// calls advance() with what it saw, and at deadline() at the latest. A call not sent by its
// deadline (a client that does not connect or does not take it), or a connection that fails or
// that the client closes, drops the connection and every call waiting; the next call connects
// again. So a slow or dead client never
// holds up the instrument, the core channel, or any other client.
#pragma once

#include "engine.h"
#include "zemonet/io.h"

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace zemosim {

class InterruptChannel {
  public:
    // The channel to ADDRESS (an IPv4 address, in host order) at PORT.
    InterruptChannel(std::uint32_t address, std::uint16_t port) : address_(address), port_(port) {}

    // Queues a device_intr_srq call carrying HANDLE, to be sent by NOW + interruptCallTime, and
    // starts sending it; the call is dropped when largestQueuedInterrupts are waiting already.
    void call(std::span<const char> handle, Clock::time_point now);

    // Carries on at NOW, after poll saw EVENTS on descriptor() (0 for none): finishes
    // connecting, sends what the connection takes, discards what the client sends, and drops
    // the calls whose deadline has passed.
    void advance(short events, Clock::time_point now);

    // The descriptor to watch, -1 for none; the events to watch it for; when to advance at the
    // latest (Clock::time_point::max() while no call waits).
    int descriptor() const { return socket_.get(); }
    short events() const;
    Clock::time_point deadline() const;

    // The calls waiting to be sent, the one being sent included.
    std::size_t waiting() const { return calls_.size(); }

  private:
    // One encoded call and when it must have been sent.
    struct Call {
        std::vector<char> body;
        Clock::time_point deadline;
    };

    // Starts a non-blocking connect; on a failure at once drops the calls.
    void connect();
    // Whether the connect in progress has completed; on its failure drops the calls.
    bool connected();
    // Sends what the connection takes of the calls in order; false when the connection failed.
    bool sendSome();
    // Reads and discards what the client sent; false when it closed the connection or it failed.
    bool discardInput();
    // Closes the connection and drops every call waiting.
    void fail();

    std::uint32_t address_;
    std::uint16_t port_;
    FileDescriptor socket_;
    bool connecting_ = false;
    std::deque<Call> calls_;
    // The front call's record, as far as it was sent; empty between calls.
    OutputPump pump_;
    std::uint32_t nextXid_ = 1;
};

} // namespace zemosim
