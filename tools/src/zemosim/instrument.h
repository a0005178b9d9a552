// A simulated instrument: its definition, read from a small text file (definition.h), and its
// state, shared by every connection that talks to it: settings, the status model
// (status_model.h) and the output queue. The output queue belongs to the instrument, so one
// client can send a query and another read the answer, as with real hardware.
#pragma once

#include "definition.h"
#include "status_model.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>

namespace zemosim {

// What a connection must do after a command besides queueing its response.
struct Effect {
    bool dropConnection = false;
    bool hangUpAfterReply = false;
    int vxi11Error = 0;
    // How long to withhold the VXI-11 reply.
    Milliseconds stall{0};

    // True when the command asks for nothing but queueing its answer.
    bool plain() const {
        return !dropConnection && !hangUpAfterReply && vxi11Error == 0 && stall.count() == 0;
    }
};

// A connection's identity at an instrument, known from the time it joins until it leaves; 0 is
// nobody.
using ClientId = std::uint64_t;

// Whom a queued response answers: the connection that sent the command, and the tag it gave with
// the command (a HiSLIP session's MessageID), handed back with every piece of the response.
struct Origin {
    ClientId client = 0;
    std::uint32_t tag = 0;
};

// A piece taken from the front of the output queue.
struct Piece {
    std::size_t size = 0;
    bool endOfMessage = false;
    bool termCharSeen = false;
    Origin origin;
};

// The output queue holds at most this many answers, and answers of this much text (a data block
// counts only its header), so that clients that query without reading cannot make the server's
// memory grow without bound; further answers are discarded, as a real instrument's queue
// overflows.
inline constexpr std::size_t largestOutputQueue = 65536;
inline constexpr std::size_t largestQueuedText = 64 << 20;

// What a raw socket connection (or a HiSLIP session, which has no read request either) has
// asked, which decides which queued output it is sent: the answers to its own commands; any
// answer once it has sent a command since its last answer; and, while it has asked nothing at
// all, the answers to clients that joined before it (or just after) and have left, over any
// protocol (such as a query sent by a client that closed at once, for the client that connects
// next, even when it connects before the query has run). A connection that was open before such a
// client came is never sent its answer unasked.
struct SocketAsking {
    ClientId self = 0;
    bool askedSinceAnswer = false;
    bool askedEver = false;
};

class Instrument {
  public:
    explicit Instrument(Definition definition);

    const Definition& definition() const { return definition_; }

    // Registers a connection; while it stays, the answers to its commands are its own. WAKE,
    // for a raw socket connection, is an eventfd that is written whenever what the connection
    // may take could have changed; -1 for a VXI-11 connection.
    ClientId join(int wake = -1);
    // Forgets connection CLIENT.
    void leave(ClientId client);

    // Executes one line (without its newline) from CLIENT: its program message units, separated
    // by ';' outside quoted strings, in order. The answers of its queries are joined by ';' into
    // one response, tagged TAG, which becomes readable HOLD after now (or later, when a delayed
    // query or *OPC? waits). A unit that asks the connection for more than its answer (see
    // Effect) ends the line there.
    Effect execute(std::string_view command, Milliseconds hold = Milliseconds{0},
                   ClientId client = 0, std::uint32_t tag = 0);

    // True when an answer to a command of CLIENT is queued and ready: the status byte's MAV for
    // that connection.
    bool answerWaitingFor(ClientId client);

    // The status byte, with MAV when MESSAGEAVAILABLE (which the protocol knows for its
    // connection).
    std::uint8_t statusByte(bool messageAvailable);

    // Counts a trigger, whether a protocol's trigger message or *TRG.
    void trigger();

    // Copies, without waiting, the next bytes of the front response into OUT when the raw socket
    // connection ASKING may be sent it (see SocketAsking). When it may, but the response is not
    // ready yet, sets READYAT to when it will be.
    std::optional<Piece> takeFor(const SocketAsking& asking, std::span<char> out,
                                 Clock::time_point& readyAt);

    // True when the front response is ready and ASKING may be sent it.
    bool readyFor(const SocketAsking& asking);

    // Copies the next bytes of the front response into OUT, stopping at the response's end and,
    // when TERMCHAR is given, after that character. Waits until DEADLINE for a response that is
    // ready; returns nothing at the deadline.
    std::optional<Piece> take(std::span<char> out, std::optional<char> termChar,
                              Clock::time_point deadline);

    // Empties the output queue (device clear).
    void clear();

  private:
    // One queued response: HEAD, then GENERATED bytes of the data pattern, then TAIL.
    struct Response {
        std::string head;
        std::uint64_t generated = 0;
        std::string tail;
        std::uint64_t sent = 0;
        Clock::time_point readyAt;
        Origin origin;
        // Connections that joined from then on may be sent the response unasked once its owner
        // has left.
        Clock::time_point successorsFrom{};
        std::uint64_t size() const { return head.size() + generated + tail.size(); }
    };

    // The answers of one line's queries, joined by ';' into one response as they come.
    struct Reply {
        std::string head;
        std::uint64_t generated = 0;
        bool hasBlock = false;
        std::string tail;
        bool empty = true;
        Clock::time_point readyAt;

        void addText(std::string_view text, Clock::time_point ready);
        // Adds a block of COUNT bytes of the data pattern; false, adding nothing, for a second
        // block too large to be held as text.
        bool addBlock(std::uint64_t count, Clock::time_point ready);
        // The separator before the next answer, in the part it goes to.
        std::string& nextPart();
    };

    // Executes one program message unit; the caller holds the lock.
    Effect executeUnit(std::string_view unit, Clock::time_point at, Origin origin, Reply& reply);
    // Queues REPLY as one response; the caller holds the lock.
    void queueReply(Reply reply, Origin origin);
    // Whether an answer of CLIENT is queued and ready; the caller holds the lock.
    bool ownAnswerReady(ClientId client) const;
    // When every command of CLIENT so far will have completed, at AT or later.
    Clock::time_point completionOf(ClientId client, Clock::time_point at) const;
    // The next value of the changing reading READING, named HEADER.
    std::string nextReading(const std::string& header, const Definition::Reading& reading);
    // Whether ASKING may be sent the front response; the caller holds the lock and the queue is
    // not empty.
    bool mayTake(const SocketAsking& asking) const;
    // Copies the next bytes of the front response into OUT; the caller holds the lock.
    Piece takeFront(std::span<char> out, std::optional<char> termChar);
    // Tells every joined connection that what it may take could have changed; the caller holds
    // the lock.
    void wakeClients();
    // Appends RESPONSE to the output queue, or discards it when the queue is full.
    void enqueue(Response response);
    // Empties the output queue; the caller holds the lock.
    void emptyQueue();
    void reset();
    // Answers the query HEADER with ARGUMENT into REPLY; false when the instrument knows no such
    // query.
    bool answerQuery(const std::string& header, std::string_view argument, Clock::time_point at,
                     Origin origin, Reply& reply);
    std::size_t copyFrom(Response& response, std::span<char> out, std::optional<char> termChar,
                         bool& termCharSeen);

    Definition definition_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<Response> queue_;
    // The bytes of head and tail text held by the responses in queue_.
    std::size_t queuedText_ = 0;
    // A joined connection: its wake eventfd (-1 for none) and when it joined.
    struct Client {
        int wake = -1;
        Clock::time_point joined;
    };
    std::map<ClientId, Client> clients_;
    ClientId lastClient_ = 0;
    StatusModel status_;
    // When the latest delayed command of each connection completes.
    std::map<ClientId, Clock::time_point> completions_;
    std::uint64_t triggers_ = 0;
    // The pseudo-random sequence of each changing reading.
    std::map<std::string, std::mt19937_64> readingSources_;
};

// Byte I of the data that "DATA? N" answers: the pattern 0, 1, ... 255 repeated.
inline char dataByte(std::uint64_t index) {
    return static_cast<char>(index & 0xff);
}

} // namespace zemosim
