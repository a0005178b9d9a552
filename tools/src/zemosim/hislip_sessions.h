// The HiSLIP sessions open on one port: each ties together the two connections that make it up,
// its instrument, its lock and what its channels share. The synchronous and asynchronous
// channels (hislip_server.cpp) serve each session's connections.
#pragma once

#include "engine.h"
#include "server.h"
#include "zemonet/hislip.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace zemosim {

namespace hislip = zemo::hislip;

enum class Lock { none, exclusive, shared };

struct Session {
    std::uint16_t id = 0;
    Instrument* instrument = nullptr;
    // Written when the other channel or the session changes; the synchronous channel's also
    // when the instrument's queue does.
    WakeUp syncWake;
    WakeUp asyncWake;
    // Any message received or data sent on either channel.
    std::atomic<Clock::time_point> lastActivity{Clock::now()};
    // The fields below are guarded by the session table's mutex.
    bool asyncOpen = false;
    bool ended = false;
    std::uint64_t clientMaximum = defaultClientMaximum;
    Lock lock = Lock::none;
    std::string lockName;
    // The session's identity at its instrument, set by the synchronous channel.
    ClientId client = 0;
    // Set when response data went out, cleared when the client reports it delivered (the
    // RMT-delivered bit): until then the status byte shows a message available.
    bool responseUnread = false;

    void touch() { lastActivity = Clock::now(); }
    // When the session ends unless something happens: IDLELIMIT after its last activity or after
    // its instrument last stopped raising service requests, whichever is later; never while the
    // instrument may raise one, which every session is sent (its client may be waiting for it).
    Clock::time_point idleUntil(Milliseconds idleLimit) const {
        const auto since = std::max(lastActivity.load(), instrument->requestsEnabledUntil());
        return since == Clock::time_point::max() ? since : since + idleLimit;
    }
};

class HislipSessions {
  public:
    explicit HislipSessions(const Instruments& instruments) : instruments_(instruments) {}

    // Opens a session on the instrument at SUBADDRESS; nothing, and the FatalError code and
    // text that refuse it, when there is no such instrument or no room.
    std::shared_ptr<Session> open(const std::string& subAddress, std::uint8_t& code,
                                  std::string& reason) {
        Instrument* instrument = nullptr;
        for (const auto& candidate : instruments_)
            if (candidate->definition().hislipName == subAddress)
                instrument = candidate.get();
        const std::lock_guard lock(mutex_);
        if (instrument == nullptr) {
            code = hislip::fatalUnidentified;
            reason = "no instrument at sub-address '" + subAddress + "'";
            return nullptr;
        }
        if (sessions_.size() >= largestSessions) {
            code = hislip::fatalTooManyClients;
            reason = "maximum number of clients exceeded";
            return nullptr;
        }
        auto session = std::make_shared<Session>();
        if (!session->syncWake.valid() || !session->asyncWake.valid()) {
            code = hislip::fatalUnidentified;
            reason = "out of resources";
            return nullptr;
        }
        while (sessions_.contains(nextId_) || nextId_ == 0)
            ++nextId_;
        session->id = nextId_++;
        session->instrument = instrument;
        sessions_[session->id] = session;
        return session;
    }

    // Ends SESSION, releasing its lock, and wakes both its channels so that they close.
    void end(Session& session) {
        const std::lock_guard lock(mutex_);
        if (std::exchange(session.ended, true))
            return;
        sessions_.erase(session.id);
        if (std::exchange(session.lock, Lock::none) == Lock::exclusive)
            session.instrument->unlock(session.client);
        changed_.notify_all();
        session.syncWake.signal();
        session.asyncWake.signal();
    }

    bool ended(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.ended;
    }

    // Attaches the asynchronous channel to session ID; nothing when there is no such session
    // or it has one already.
    std::shared_ptr<Session> attachAsync(std::uint16_t id) {
        const std::lock_guard lock(mutex_);
        const auto found = sessions_.find(id);
        if (found == sessions_.end() || found->second->asyncOpen)
            return nullptr;
        found->second->asyncOpen = true;
        found->second->syncWake.signal();
        return found->second;
    }

    bool asyncOpen(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.asyncOpen;
    }

    void setClient(Session& session, ClientId client) {
        const std::lock_guard lock(mutex_);
        session.client = client;
    }

    ClientId client(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.client;
    }

    void setResponseUnread(Session& session, bool unread) {
        const std::lock_guard lock(mutex_);
        session.responseUnread = unread;
    }

    bool responseUnread(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.responseUnread;
    }

    void setClientMaximum(Session& session, std::uint64_t size) {
        const std::lock_guard lock(mutex_);
        session.clientMaximum = std::clamp<std::uint64_t>(size, 1, largestHislipPiece);
    }

    std::uint64_t clientMaximum(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.clientMaximum;
    }

    // Whether SESSION may send data: no other session on its instrument holds a lock, or it
    // holds the exclusive lock, or it shares the shared lock that is held.
    bool mayAccess(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.lock == Lock::exclusive ||
               !lockedByOthers(session, session.lock, session.lockName);
    }

    // Grants SESSION an exclusive lock (NAME empty) or a shared lock NAME, waiting at most WAIT
    // while others hold locks that conflict; the AsyncLockResponse control code. A session that
    // ends meanwhile gets none. The exclusive lock is the instrument's own lock, which a VXI-11
    // link may hold too: its release is not announced here, so the wait looks again every
    // lockPollInterval.
    std::uint8_t request(Session& session, const std::string& name, Milliseconds wait) {
        std::unique_lock lock(mutex_);
        const Lock wanted = name.empty() ? Lock::exclusive : Lock::shared;
        const auto granted = [&] {
            return !lockedByOthers(session, wanted, name) &&
                   (wanted == Lock::shared || session.instrument->lock(session.client));
        };
        const auto deadline = Clock::now() + wait;
        bool free = false;
        while (!session.ended && !(free = granted()) && Clock::now() < deadline)
            changed_.wait_until(lock, std::min(deadline, Clock::now() + lockPollInterval));
        if (!free || session.ended) {
            if (free && wanted == Lock::exclusive)
                session.instrument->unlock(session.client);
            return hislip::lockFailed;
        }
        session.lock = wanted;
        session.lockName = name;
        return hislip::lockSuccess;
    }

    // Releases SESSION's lock; the AsyncLockResponse control code.
    std::uint8_t release(Session& session) {
        const std::lock_guard lock(mutex_);
        const Lock held = std::exchange(session.lock, Lock::none);
        session.lockName.clear();
        changed_.notify_all();
        if (held == Lock::exclusive) {
            session.instrument->unlock(session.client);
            return hislip::lockSuccess;
        }
        return held == Lock::shared ? hislip::lockReleasedShared : hislip::lockError;
    }

    // For AsyncLockInfoResponse: whether an exclusive lock is held on SESSION's instrument,
    // and how many sessions hold locks on it.
    std::pair<bool, std::uint32_t> lockInfo(const Session& session) {
        const std::lock_guard lock(mutex_);
        bool exclusive = false;
        std::uint32_t holders = 0;
        for (const auto& [id, other] : sessions_) {
            if (other->instrument != session.instrument || other->lock == Lock::none)
                continue;
            ++holders;
            exclusive = exclusive || other->lock == Lock::exclusive;
        }
        return {exclusive, holders};
    }

  private:
    // True when another session on SESSION's instrument holds a lock that keeps SESSION out
    // when it holds or wants a lock of kind MINE named NAME: any lock keeps out an exclusive
    // one or none, and a shared lock is kept out by an exclusive one or a shared one of
    // another name.
    bool lockedByOthers(const Session& session, Lock mine, const std::string& name) const {
        for (const auto& [id, other] : sessions_) {
            if (other.get() == &session || other->instrument != session.instrument ||
                other->lock == Lock::none)
                continue;
            if (mine != Lock::shared || other->lock == Lock::exclusive || other->lockName != name)
                return true;
        }
        return false;
    }

    static constexpr Milliseconds lockPollInterval{20};

    const Instruments& instruments_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint16_t, std::shared_ptr<Session>> sessions_;
    std::uint16_t nextId_ = 1;
};

} // namespace zemosim
