// The connection engine that every protocol of zemosim is served by: the wake-up a connection's
// thread sleeps on, the pump that sends output a piece at a time, the splitter that feeds
// command lines to the instrument, and the wait loop of a stream connection with its idle limit,
// its half-close and its reset. A protocol only frames its own messages.
#pragma once

#include "instrument.h"
#include "zemonet/io.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zemosim {

using zemo::FileDescriptor;

// An eventfd that wakes the thread polling it.
class WakeUp {
  public:
    WakeUp();
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    // Makes the next poll return.
    void signal() const;
    // Resets the counter, so that the next poll sleeps until it is signalled again.
    void consume() const;

  private:
    FileDescriptor fd_;
};

// One message to the client, a framing HEADER and a PAYLOAD, sent a piece at a time as the
// descriptor takes it, so that the server goes on reading while a client that does not read
// holds up its output. The bytes stay where the caller keeps them until they are sent.
class OutputPump {
  public:
    bool empty() const { return left_ == 0; }
    // The bytes not sent yet.
    std::size_t left() const { return left_; }

    // Starts sending HEADER, then PAYLOAD; the header is copied, the payload is not.
    void start(std::span<const std::byte> header, std::span<const std::byte> payload);
    void start(std::span<const char> payload) { start({}, std::as_bytes(payload)); }
    // Forgets what was not sent.
    void drop() { left_ = 0; }

    // Sends what descriptor FD takes now without waiting; false when it failed, with the
    // error in ERROR. A socket gets no SIGPIPE. FD is the same descriptor at every call.
    bool sendSome(int fd, int& error);
    // Sends the rest to FD by DEADLINE; false when it could not.
    bool finish(int fd, Clock::time_point deadline);

  private:
    std::byte header_[32]{};
    std::size_t headerSize_ = 0;
    std::span<const std::byte> payload_;
    std::size_t sent_ = 0;
    std::size_t left_ = 0;
    // False once the descriptor turned out to be no socket (a pseudo-terminal), which is
    // written without sendmsg's flags (it is non-blocking itself).
    bool socket_ = true;
};

// The input of one connection: bytes received and not yet executed, fed to the instrument a
// command line at a time.
class CommandInput {
  public:
    std::size_t size() const { return text_.size(); }
    void append(std::string_view data) { text_.append(data); }
    void clear() { text_ = {}; }

    // Executes each complete line at INSTRUMENT for CLIENT (with TAG), and with END the rest
    // too, until a command drops the connection or hangs it up. The stalls of the commands add
    // up, and the first VXI-11 error is kept. The memory of an emptied input is given back.
    Effect run(Instrument& instrument, ClientId client, std::uint32_t tag = 0, bool end = false);

  private:
    std::string text_;
};

// What the wait of a stream connection watches besides the connection and its wake-up: a
// descriptor of the protocol's own (-1 for none), the events it waits for there, and when to
// look again whatever happens.
struct SideWatch {
    int fd = -1;
    short events = 0;
    Clock::time_point until = Clock::time_point::max();
};

// How a stream connection ended, for the answers it was sent: read, or (after a reset, or
// with output left unsent) not.
enum class Ending { read, unread };

// A TCP (or local stream) connection that the engine serves, over any protocol: one thread
// waits in poll for the client's input, the descriptor's room for output, the connection's
// wake-up or its deadline, and asks the protocol to receive and to fill the pump. When the
// client half-closes its sending side, its answers still go out; then the server closes its own
// side and watches for the reset that says the client did not read them. (The pseudo-terminal,
// whose clients come and go on one descriptor, has a loop of its own built of the same parts.)
class StreamConnection {
  public:
    StreamConnection(int fd, const WakeUp& wake) : fd_(fd), wake_(wake) {}
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;
    virtual ~StreamConnection() = default;

    // Serves the connection until it ends; returns how.
    Ending run();

  protected:
    // Receives and handles what the client sent (at least one byte is there); false ends the
    // connection.
    virtual bool receive() = 0;
    // Fills PUMP with the next output, if any is ready; returns when to look again for output
    // not ready yet (time_point::max() for none).
    virtual Clock::time_point fillOutput(OutputPump& pump) = 0;
    // True while output for the client is queued, ready or not.
    virtual bool outputPending() = 0;
    // When the connection ends unless something happens (its idle limit).
    virtual Clock::time_point deadline() = 0;
    // False once the connection is to end for reasons of its own (a HiSLIP session that
    // ended); it then only sends what it owes.
    virtual bool goOn() { return true; }
    // Called for every piece of output sent.
    virtual void sent() {}
    // False while the protocol takes no more input (a VXI-11 call waits for its reply to go).
    virtual bool wantsInput() { return true; }
    // True when the protocol carries out what the client sent before the connection came to its
    // end for reasons of its own (a HiSLIP session that ended).
    virtual bool readsAfterEnd() const { return false; }
    // Called before every wait with the events that the wait before it saw on the side
    // descriptor (0 for none or when it ended otherwise): carries on the protocol's work beside
    // the connection (VXI-11's calls to the client's interrupt channel) without waiting, and
    // says what the next wait watches for it.
    virtual SideWatch tendSide(short) { return {}; }
    // True when the client may leave answers unread without telling, so that its end must be
    // watched for a reset; false for a protocol with read requests.
    virtual bool tracksUnread() const { return true; }

    // True when all output taken has been sent.
    bool outputEmpty() const { return pump_.empty(); }

    // Sends the rest of the pump by DEADLINE before a message of the protocol's own; false
    // when it could not.
    bool finishOutput(Clock::time_point until) { return pump_.finish(fd_, until); }

  private:
    // Sends what the pump holds as far as the descriptor takes it; false when it failed.
    bool pumpOutput();
    // Notes a failed system call: a reset means the client did not read what it was sent.
    void noteError(int error);
    // What the client's input came to: nothing more for now, its end, a reset, or a message
    // that ends the connection.
    enum class Input { open, ended, reset, failed };
    // Receives and handles what the client has sent, as long as more is waiting and the protocol
    // wants it.
    Input receiveWaiting();
    // After the client's end: closes the server's sending side and waits, briefly, for the
    // client's acknowledgement or its reset.
    void closeAndWatch();

    int fd_;
    const WakeUp& wake_;
    OutputPump pump_;
    bool reset_ = false;
};

} // namespace zemosim
