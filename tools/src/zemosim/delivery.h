// Who reads which answer of an instrument, the rule zemosim(1) states: each connection owns the
// answers to its own commands, in the order of its commands, and no other connection receives
// them while it stays; the answers a connection leaves unread become unclaimed, and go, in the
// order their owners left, to the next connection that reads with no answer of its own pending
// and that was accepted after the owner. The class knows nothing of sockets, threads or clocks
// beyond the times it is given, so that the rule can be tested as sequences of events.
#pragma once

#include "resource_limits.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>

namespace zemosim {

using Clock = std::chrono::steady_clock;

// A connection's identity at an instrument, known from the time it joins until it leaves; 0 is
// nobody.
using ClientId = std::uint64_t;

// How a connection reads.
enum class Reading {
    // Each read is a request (a VXI-11 device_read): whenever it has no answer of its own
    // pending, the connection reads unclaimed answers.
    onRequest,
    // Without read requests (a raw socket, a HiSLIP session, a pseudo-terminal), answers are
    // sent as soon as they are ready: a connection that has sent no command yet can only be
    // waiting for unclaimed answers, and one that has can only be waiting for its own. Nothing
    // it does shows which of them it read, so what it was sent is remembered (its last answers,
    // within largestRememberedAnswers and largestRememberedBytes) in case it leaves them unread.
    streamed,
};

// Passed to leave(): all the connection was sent, as far as it is remembered, went unread.
inline constexpr std::uint64_t allUnread = UINT64_MAX;

// ANSWER has `std::uint64_t sent` (the bytes read so far), `size()` (all its bytes) and
// `textSize()` (the bytes it holds in memory).
template <typename Answer> class Delivery {
  public:
    // Registers connection CLIENT, the NUMBERth accepted, which reads as READING says.
    void join(ClientId client, std::uint64_t number, Reading reading) {
        Connection& connection = connections_[client];
        connection.number = number;
        connection.reading = reading;
    }

    // Notes a command from CLIENT: a streamed connection that has sent one reads only its own
    // answers from now on.
    void command(ClientId client) {
        if (const auto found = connections_.find(client); found != connections_.end())
            found->second.commanded = true;
    }

    // Queues ANSWER, ready at READYAT, behind the earlier answers of CLIENT. An answer of a
    // connection not joined (0, nobody) is unclaimed at once, and goes to any reader.
    void ask(ClientId client, Answer answer, Clock::time_point readyAt) {
        text_ += answer.textSize();
        ++answers_;
        Entry entry{std::move(answer), readyAt, 0, 0};
        const auto found = connections_.find(client);
        if (found == connections_.end())
            unclaimed_.push_back(std::move(entry));
        else
            found->second.own.push_back(std::move(entry));
    }

    // The answer CLIENT reads next at NOW: its own oldest once that is ready; with none of its
    // own pending, the first unclaimed answer, in the order the owners left, of a connection
    // accepted before it, which becomes its own. Nothing when there is none or it is not ready
    // yet; then READYAT is set to when it will be.
    Answer* next(ClientId client, Clock::time_point now, Clock::time_point& readyAt) {
        const auto found = connections_.find(client);
        if (found == connections_.end())
            return nullptr;
        Connection& connection = found->second;
        const auto unclaimed = claimable(connection);
        if (connection.own.empty() && unclaimed != unclaimed_.end() && unclaimed->readyAt <= now) {
            unclaimed->mark = unclaimed->answer.sent;
            connection.own.push_back(std::move(*unclaimed));
            unclaimed_.erase(unclaimed);
        }
        const Entry* front = connection.own.empty() ? nullptr : &connection.own.front();
        if (front == nullptr && unclaimed != unclaimed_.end())
            front = &*unclaimed;
        if (front == nullptr)
            return nullptr;
        if (front->readyAt > now) {
            readyAt = front->readyAt;
            return nullptr;
        }
        return &connection.own.front().answer;
    }

    // True when next() would give CLIENT an answer at NOW.
    bool readable(ClientId client, Clock::time_point now) const {
        const auto found = connections_.find(client);
        if (found == connections_.end())
            return false;
        const Connection& connection = found->second;
        if (!connection.own.empty())
            return connection.own.front().readyAt <= now;
        const auto unclaimed = claimable(connection);
        return unclaimed != unclaimed_.end() && unclaimed->readyAt <= now;
    }

    // True when an answer of CLIENT's own is queued and ready at NOW.
    bool ownReady(ClientId client, Clock::time_point now) const {
        const auto found = connections_.find(client);
        return found != connections_.end() && !found->second.own.empty() &&
               found->second.own.front().readyAt <= now;
    }

    // True when an answer of CLIENT's own is queued, ready or not.
    bool ownPending(ClientId client) const {
        const auto found = connections_.find(client);
        return found != connections_.end() && !found->second.own.empty();
    }

    // CLIENT has been sent all of the answer that next() gave it.
    void finished(ClientId client) {
        const auto found = connections_.find(client);
        if (found == connections_.end() || found->second.own.empty())
            return;
        Connection& connection = found->second;
        Entry entry = std::move(connection.own.front());
        connection.own.pop_front();
        --answers_;
        if (connection.reading == Reading::streamed)
            remember(connection, std::move(entry));
        else
            text_ -= entry.answer.textSize();
    }

    // Forgets CLIENT. The last UNREAD bytes it was sent (allUnread: all that is remembered) are
    // given back, and with its answers not yet sent they become unclaimed, after those of the
    // connections that left before it.
    void leave(ClientId client, std::uint64_t unread = 0) {
        auto node = connections_.extract(client);
        if (node.empty())
            return;
        Connection& connection = node.mapped();
        giveBack(connection, unread);
        drop(connection.delivered);
        for (Entry& entry : connection.own) {
            entry.ownerNumber = connection.number;
            unclaimed_.push_back(std::move(entry));
        }
    }

    // Device clear by CLIENT: its own answers and the unclaimed ones go; other connections'
    // stay.
    void clear(ClientId client) {
        if (const auto found = connections_.find(client); found != connections_.end()) {
            answers_ -= found->second.own.size();
            drop(found->second.own);
            drop(found->second.delivered);
        }
        answers_ -= unclaimed_.size();
        drop(unclaimed_);
    }

    // The answers queued, and the bytes of text they and the remembered ones hold in memory.
    std::size_t answers() const { return answers_; }
    std::uint64_t text() const { return text_; }

  private:
    struct Entry {
        Answer answer;
        Clock::time_point readyAt;
        // What answer.sent was when its reader took it: the bytes after it may go unread.
        std::uint64_t mark = 0;
        // The number of the connection that left it unread.
        std::uint64_t ownerNumber = 0;
    };
    struct Connection {
        std::uint64_t number = 0;
        Reading reading = Reading::onRequest;
        bool commanded = false;
        std::deque<Entry> own;
        // The last answers sent whole (streamed connections only), and their bytes.
        std::deque<Entry> delivered;
        std::uint64_t deliveredBytes = 0;
    };
    using Entries = std::deque<Entry>;

    // The first unclaimed answer CONNECTION may read when it has none of its own.
    typename Entries::iterator claimable(const Connection& connection) {
        if (connection.reading == Reading::streamed && connection.commanded)
            return unclaimed_.end();
        auto found = unclaimed_.begin();
        while (found != unclaimed_.end() && found->ownerNumber >= connection.number)
            ++found;
        return found;
    }
    typename Entries::const_iterator claimable(const Connection& connection) const {
        return const_cast<Delivery*>(this)->claimable(connection);
    }

    // Keeps ENTRY, sent whole to CONNECTION, among the answers it may turn out not to have read,
    // forgetting the oldest beyond the limits.
    void remember(Connection& connection, Entry entry) {
        connection.deliveredBytes += entry.answer.sent - entry.mark;
        connection.delivered.push_back(std::move(entry));
        while (connection.delivered.size() > largestRememberedAnswers ||
               connection.deliveredBytes > largestRememberedBytes) {
            const Entry& oldest = connection.delivered.front();
            connection.deliveredBytes -= oldest.answer.sent - oldest.mark;
            text_ -= oldest.answer.textSize();
            connection.delivered.pop_front();
        }
    }

    // Rewinds the last UNREAD bytes sent to CONNECTION, putting the answers they belong to back
    // in front of its own.
    void giveBack(Connection& connection, std::uint64_t unread) {
        if (unread == 0)
            return;
        if (!connection.own.empty())
            unread -= rewind(connection.own.front(), unread);
        while (unread > 0 && !connection.delivered.empty()) {
            Entry entry = std::move(connection.delivered.back());
            connection.delivered.pop_back();
            const std::uint64_t back = rewind(entry, unread);
            unread -= back;
            if (back == 0) {
                text_ -= entry.answer.textSize();
                break;
            }
            ++answers_;
            connection.own.push_front(std::move(entry));
        }
    }

    // Takes back at most UNREAD of the bytes ENTRY was sent after its mark; returns how many.
    static std::uint64_t rewind(Entry& entry, std::uint64_t unread) {
        const std::uint64_t back = std::min(unread, entry.answer.sent - entry.mark);
        entry.answer.sent -= back;
        return back;
    }

    // Empties ENTRIES, giving back the text they hold.
    void drop(Entries& entries) {
        for (const Entry& entry : entries)
            text_ -= entry.answer.textSize();
        entries.clear();
    }

    std::map<ClientId, Connection> connections_;
    Entries unclaimed_;
    std::size_t answers_ = 0;
    std::uint64_t text_ = 0;
};

} // namespace zemosim
