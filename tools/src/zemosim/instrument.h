// A simulated instrument: its definition, read from a small text file (definition.h), and its
// state, shared by every connection that talks to it: settings and the status model
// (status_model.h). Its answers go to the connections as Delivery (delivery.h) decides: each to
// the connection that asked, or, once that has left, to the next that reads. The service
// requests it raises are counted, and the connections that watch for them woken: each protocol
// tells its clients in its own way (a VXI-11 device_intr_srq call, a HiSLIP AsyncServiceRequest).
#pragma once

#include "definition.h"
#include "delivery.h"
#include "resource_limits.h"
#include "status_model.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
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

    // Executes one line (without its newline) from CLIENT: its program message units, separated
    // by ';' outside quoted strings, in order. The answers of its queries are joined by ';' into
    // one response, tagged TAG, queued behind CLIENT's earlier answers; it is ready at once, or
    // later, when a delayed query or *OPC? waits. A unit that asks the connection for more than
    // its answer (see Effect) ends the line there.
    Effect execute(std::string_view command, ClientId client = 0, std::uint32_t tag = 0);

    // The status byte as a serial poll reads it (device_readstb, AsyncStatusQuery): RQS in bit
    // 6, MAV when MESSAGEAVAILABLE (which the protocol knows for its connection). Clears RQS.
    std::uint8_t serialPoll(bool messageAvailable);

    // The service requests the instrument has raised, as a watcher sees them.
    struct ServiceRequests {
        // The number of the latest request, counting from 1 (0: none yet), and the status byte
        // that came with it.
        std::uint64_t latest = 0;
        std::uint8_t statusByte = 0;
        // When to look again without being woken: the status changes by itself then (a pending
        // *OPC completes), which may raise a request.
        Clock::time_point lookAgain = Clock::time_point::max();
    };
    // The requests raised up to now, the time that has passed taken into account: a request
    // that it raises is raised here, and the watchers woken.
    ServiceRequests serviceRequests();
    // Has eventfd WAKE written whenever the instrument raises a service request, until
    // unwatchRequests(WAKE); a descriptor watched twice is unwatched twice.
    void watchRequests(int wake);
    void unwatchRequests(int wake);
    // Clock::time_point::max() while SRE enables a bit that can raise a request; otherwise when
    // it last stopped doing so (Clock::time_point::min() if it never did). The watchers are
    // woken when it changes, so that one spared from its idle limit meanwhile looks again.
    Clock::time_point requestsEnabledUntil();

    // A protocol's trigger message from CLIENT (with TAG, as execute): counts a trigger, as
    // *TRG does, and runs the definition's trigger action.
    void trigger(ClientId client, std::uint32_t tag = 0);

    // The exclusive lock one connection at a time may hold on the instrument (a VXI-11 link's
    // device_lock). Gives it to CLIENT; false when another connection holds it.
    bool lock(ClientId client);
    // Releases CLIENT's lock and wakes the connections waiting for it; false when CLIENT holds
    // none. A connection that leaves releases its lock too.
    bool unlock(ClientId client);
    // True when a connection other than CLIENT holds the lock.
    bool lockedAgainst(ClientId client);

    // Puts the instrument in remote (true) or local (false) state, as a client's remote/local
    // control asks; SYSTem:REMote? answers 1 or 0.
    void setRemote(bool remote);

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

    // Counts a trigger and runs the trigger action for ORIGIN at AT, its answers added to REPLY;
    // an action's own *TRG counts without running it again. The caller holds the lock.
    void countTrigger(Clock::time_point at, Origin origin, Reply& reply);
    // Executes one program message unit; the caller holds the lock.
    Effect executeUnit(std::string_view unit, Clock::time_point at, Origin origin, Reply& reply);
    // Queues REPLY as one response of ORIGIN, ready when its last part is; the caller holds the
    // lock.
    void queueReply(Reply reply, Origin origin);
    // Whether an answer of CLIENT's own is queued and ready; the caller holds the lock.
    bool ownAnswerReady(ClientId client) const;
    // When every command of CLIENT so far will have completed, at AT or later.
    Clock::time_point completionOf(ClientId client, Clock::time_point at) const;
    // The next value of the changing reading READING, named HEADER.
    std::string nextReading(const std::string& header, const Definition::Reading& reading);
    // Copies the next bytes of the answer CLIENT reads next, if one is ready, into OUT; the
    // caller holds the lock.
    std::optional<Piece> takeNext(ClientId client, std::span<char> out,
                                  std::optional<char> termChar, Clock::time_point& readyAt);
    // Tells every joined connection that what it may take could have changed; the caller holds
    // the lock.
    void wakeClients();
    // Raises a service request when the status model has a new one at NOW, waking the
    // watchers, whom it wakes too when the status will change by itself sooner than they knew
    // and when requests are enabled or disabled; the caller holds the lock.
    void noticeStatus(Clock::time_point now);
    // Queues RESPONSE, ready at READYAT, or discards it when the queue is full.
    void enqueue(Response response, Clock::time_point readyAt);
    // *RST by CLIENT: empties its answers and the unclaimed ones, and resets the settings.
    void reset(ClientId client);
    // Sets the properties, readings and trigger count as they are at power-on.
    void resetSettings();
    // Answers the query HEADER with ARGUMENT into REPLY; false when the instrument knows no such
    // query.
    bool answerQuery(const std::string& header, std::string_view argument, Clock::time_point at,
                     Origin origin, Reply& reply);
    std::size_t copyFrom(Response& response, std::span<char> out, std::optional<char> termChar,
                         bool& termCharSeen);

    Definition definition_;
    std::mutex mutex_;
    Delivery<Response> delivery_;
    // The wake eventfds of the joined connections (-1 for none).
    std::map<ClientId, int> wakes_;
    ClientId lastClient_ = 0;
    StatusModel status_;
    ServiceRequests requests_;
    // The wake eventfds of the connections watching for service requests.
    std::multiset<int> requestWatchers_;
    // When the watchers were last told the status changes by itself.
    Clock::time_point watchedChange_ = Clock::time_point::max();
    // The status model's requestsEnabledUntil when the watchers were last told.
    Clock::time_point watchedEnabledUntil_ = Clock::time_point::min();
    // When the latest delayed command of each connection completes.
    std::map<ClientId, Clock::time_point> completions_;
    std::uint64_t triggers_ = 0;
    // Set while the trigger action runs.
    bool triggering_ = false;
    // The connection holding the lock; 0, which no connection is, for none.
    ClientId lockHolder_ = 0;
    bool remote_ = false;
    // The pseudo-random sequence of each changing reading.
    std::map<std::string, std::mt19937_64> readingSources_;
};

// Byte I of the data that "DATA? N" answers: the pattern 0, 1, ... 255 repeated.
inline char dataByte(std::uint64_t index) {
    return static_cast<char>(index & 0xff);
}

} // namespace zemosim
