// A simulated instrument: its definition, read from a small text file, and its state, shared
// by every connection that talks to it. Its answers go to the connections as Delivery
// (delivery.h) decides: each to the connection that asked, or, once that has left, to the next
// that reads.
#pragma once

#include "delivery.h"
#include "resource_limits.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <istream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace zemosim {

struct Definition {
    struct Property {
        std::string initial;
        std::string value;
    };
    struct DelayedQuery {
        Milliseconds delay;
        std::string response;
    };

    // The VXI-11 device name; empty until the definition or the server gives one.
    std::string name;
    // The HiSLIP sub-address; empty until the definition or the server gives one.
    std::string hislipName;
    std::string identity = "ZEMO,zemosim,0,1.0";
    // Keys are the command headers in upper case.
    std::map<std::string, std::string> queries;
    std::map<std::string, Property> properties;
    std::map<std::string, DelayedQuery> delayedQueries;
    std::set<std::string> drops;
    // Commands after which the connection closes, once the VXI-11 reply is sent.
    std::set<std::string> hangUps;
    std::map<std::string, int> faults;
    // Commands after which the VXI-11 reply is withheld this long.
    std::map<std::string, Milliseconds> stalls;
    std::optional<std::string> errorResponse;
    // What create_link reports as the most bytes one device_write may carry.
    std::uint32_t maxRecvSize = 1U << 20;
    // The most bytes one device_read reply carries.
    std::uint32_t readChunk = 1U << 20;
};

// Reads a definition; NAME (the file's name) prefixes every error. Throws std::runtime_error
// "NAME:LINE: reason" for a line it does not understand.
Definition parseDefinition(std::istream& input, const std::string& name);

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

class Instrument {
  public:
    explicit Instrument(Definition definition);

    const Definition& definition() const { return definition_; }

    // Registers a connection, the NUMBERth accepted (see nextConnectionNumber), which reads as
    // READING says; while it stays, the answers to its commands are its own. WAKE, for a
    // connection without read requests, is an eventfd that is written whenever what the
    // connection may take could have changed; -1 for none.
    ClientId join(std::uint64_t number, Reading reading, int wake = -1);
    // Forgets connection CLIENT; the last UNREAD bytes it was sent since its latest command
    // (allUnread: all that is remembered) and the answers it has not been sent become unclaimed.
    void leave(ClientId client, std::uint64_t unread = 0);

    // Executes one command (a line without its newline) from CLIENT and queues its response,
    // tagged TAG, behind CLIENT's earlier answers; it is ready at once, or after the delay of a
    // delayed query.
    Effect execute(std::string_view command, ClientId client = 0, std::uint32_t tag = 0);

    // Copies, without waiting, the next bytes of the answer CLIENT reads next into OUT, stopping
    // at the answer's end and, when TERMCHAR is given, after that character. When there is such
    // an answer but it is not ready yet, sets READYAT to when it will be.
    std::optional<Piece> takeFor(ClientId client, std::span<char> out, Clock::time_point& readyAt,
                                 std::optional<char> termChar = std::nullopt);

    // True when CLIENT would be given an answer now.
    bool readyFor(ClientId client);
    // True when an answer to one of CLIENT's own commands is queued and ready.
    bool answerWaitingFor(ClientId client);
    // True when an answer to one of CLIENT's own commands is queued, ready or not.
    bool outputPendingFor(ClientId client);

    // Device clear by CLIENT: empties its answers and the unclaimed ones.
    void clear(ClientId client);

  private:
    // One queued response: HEAD, then GENERATED bytes of the data pattern, then TAIL.
    struct Response {
        std::string head;
        std::uint64_t generated = 0;
        std::string tail;
        std::uint64_t sent = 0;
        Origin origin;
        std::uint64_t size() const { return head.size() + generated + tail.size(); }
        std::uint64_t textSize() const { return head.size() + tail.size(); }
    };

    void queueText(std::string text, Clock::time_point readyAt, Origin origin);
    void queueBlock(std::uint64_t count, Clock::time_point readyAt, Origin origin);
    // Copies the next bytes of the answer CLIENT reads next, if one is ready, into OUT; the
    // caller holds the lock.
    std::optional<Piece> takeNext(ClientId client, std::span<char> out,
                                  std::optional<char> termChar, Clock::time_point& readyAt);
    // Tells every joined connection that what it may take could have changed; the caller holds
    // the lock.
    void wakeClients();
    // Queues RESPONSE, or discards it when the queue is full.
    void enqueue(Response response, Clock::time_point readyAt);
    void reset(ClientId client);
    // Answers the query HEADER with ARGUMENT; false when the instrument knows no such query.
    bool answerQuery(const std::string& header, std::string_view argument, Clock::time_point at,
                     Origin origin);
    std::size_t copyFrom(Response& response, std::span<char> out, std::optional<char> termChar,
                         bool& termCharSeen);

    Definition definition_;
    std::mutex mutex_;
    Delivery<Response> delivery_;
    // The wake eventfds of the joined connections (-1 for none).
    std::map<ClientId, int> wakes_;
    ClientId lastClient_ = 0;
};

// Byte I of the data that "DATA? N" answers: the pattern 0, 1, ... 255 repeated.
inline char dataByte(std::uint64_t index) {
    return static_cast<char>(index & 0xff);
}

} // namespace zemosim
