// HiSLIP: each session is two connections to one port, the synchronous channel (data, trigger,
// the end of device clear) and the asynchronous one (device clear, locks, status, maximum
// message size). Each connection has its own thread; the session table ties the two together.
// The server works in synchronized mode and sends the instrument's output queue as Data and
// DataEnd messages carrying the MessageID of the message whose command they answer (the
// session's latest message for an answer to another client, which a session may take). A
// session takes queued output as a raw socket connection does (see SocketAsking in
// instrument.h), since the protocol has no read request either. A channel with nothing to do sleeps
// in poll until its client sends, its output can go on, the instrument's queue changes, or the
// session changes.
#include "server.h"
#include "zemonet/hislip.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace zemosim {

namespace hislip = zemo::hislip;
using hislip::Header;
using hislip::Type;

namespace {

// The most sessions open at once on the port; one more is refused with FatalError.
constexpr std::size_t largestSessions = 64;
// How long a client may take for its first message, for the rest of a message once its first
// byte came, and for opening the asynchronous channel after Initialize.
constexpr Milliseconds messageTime{10000};
// The largest payload the server accepts in a message other than Data and DataEnd.
constexpr std::uint64_t largestNonDataPayload = 4096;
// The input a session holds without a newline or END before it is refused.
constexpr std::size_t largestInput = 16 << 20;
// A Data payload, in either direction, is at most this large, whatever the instrument's
// maxrecvsize or the client accepts; one announced larger ends the connection.
constexpr std::uint64_t largestPiece = 16 << 20;
// The most bytes of the output queue taken into one Data message: small enough that the client
// drains one while the next is copied.
constexpr std::uint64_t largestOutputPiece = 256 << 10;
// What a client that announces no maximum message size is sent at most.
constexpr std::uint64_t defaultClientMaximum = 1 << 20;

// The largest Data payload INSTRUMENT accepts: its maxrecvsize, 1 MiB when that is unlimited,
// never above largestPiece.
std::uint64_t largestInputMessage(const Instrument& instrument) {
    const std::uint32_t size = instrument.definition().maxRecvSize;
    if (size == 0 || size == UINT32_MAX)
        return defaultClientMaximum;
    return std::min<std::uint64_t>(size, largestPiece);
}

// Tells the thread that polls eventfd WAKE to look again.
void wake(const FileDescriptor& wake) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake.get(), &one, sizeof one);
}

// Resets eventfd WAKE, so that the next poll sleeps until it is written again.
void consume(const FileDescriptor& wake) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t received = ::read(wake.get(), &count, sizeof count);
}

enum class Lock { none, exclusive, shared };

struct Session {
    std::uint16_t id = 0;
    Instrument* instrument = nullptr;
    // Written when the other channel or the session changes; the synchronous channel's also
    // when the instrument's queue does.
    FileDescriptor syncWake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    FileDescriptor asyncWake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    // Any message received or data sent on either channel.
    std::atomic<Clock::time_point> lastActivity{Clock::now()};
    // The fields below are guarded by the session table's mutex.
    bool asyncOpen = false;
    bool ended = false;
    std::uint64_t clientMaximum = defaultClientMaximum;
    Lock lock = Lock::none;
    std::string lockName;
    // What the session has asked, as the synchronous channel last told.
    SocketAsking asking;
    // Set when response data went out, cleared when the client reports it delivered (the
    // RMT-delivered bit): until then the status byte shows a message available.
    bool responseUnread = false;

    void touch() { lastActivity = Clock::now(); }
    Clock::time_point idleUntil(Milliseconds idleLimit) const {
        return lastActivity.load() + idleLimit;
    }
};

} // namespace

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
        session.lock = Lock::none;
        changed_.notify_all();
        wake(session.syncWake);
        wake(session.asyncWake);
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
        wake(found->second->syncWake);
        return found->second;
    }

    bool asyncOpen(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.asyncOpen;
    }

    void setAsking(Session& session, const SocketAsking& asking) {
        const std::lock_guard lock(mutex_);
        session.asking = asking;
    }

    SocketAsking asking(const Session& session) {
        const std::lock_guard lock(mutex_);
        return session.asking;
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
        session.clientMaximum = std::clamp<std::uint64_t>(size, 1, largestPiece);
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
    // ends meanwhile gets none.
    std::uint8_t request(Session& session, const std::string& name, Milliseconds wait) {
        std::unique_lock lock(mutex_);
        const Lock wanted = name.empty() ? Lock::exclusive : Lock::shared;
        const bool free = changed_.wait_for(
            lock, wait, [&] { return session.ended || !lockedByOthers(session, wanted, name); });
        if (!free || session.ended)
            return hislip::lockFailed;
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
        if (held == Lock::exclusive)
            return hislip::lockSuccess;
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

    const Instruments& instruments_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint16_t, std::shared_ptr<Session>> sessions_;
    std::uint16_t nextId_ = 1;
};

namespace {

// A message to the client sent a piece at a time as the connection takes it, so that the
// server goes on reading while a client that does not read holds up its output.
class Outgoing {
  public:
    bool empty() const { return left_ == 0; }

    void start(Header header, std::span<const std::byte> payload) {
        header.length = payload.size();
        header_ = hislip::encode(header);
        payload_ = payload;
        sent_ = 0;
        left_ = header_.size() + payload.size();
    }

    // Sends what the connection takes now; false when it failed.
    bool sendSome(int fd) {
        iovec pieces[2];
        int count = 0;
        if (sent_ < header_.size())
            pieces[count++] = {header_.data() + sent_, header_.size() - sent_};
        const std::size_t payloadSent = sent_ > header_.size() ? sent_ - header_.size() : 0;
        if (payloadSent < payload_.size())
            pieces[count++] = {const_cast<std::byte*>(payload_.data()) + payloadSent,
                               payload_.size() - payloadSent};
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EINTR || errno == EAGAIN;
        sent_ += static_cast<std::size_t>(sent);
        left_ -= static_cast<std::size_t>(sent);
        return true;
    }

    // Sends the rest by DEADLINE; false when it could not.
    bool finish(int fd, zemo::Clock::time_point deadline) {
        while (!empty())
            if (!zemo::waitReady(fd, POLLOUT, deadline) || !sendSome(fd))
                return false;
        return true;
    }

  private:
    hislip::HeaderBytes header_{};
    std::span<const std::byte> payload_;
    std::size_t sent_ = 0;
    std::size_t left_ = 0;
};

// Sends FatalError CODE with TEXT; the caller then closes the connection.
void sendFatal(int fd, std::uint8_t code, const std::string& text) {
    try {
        hislip::sendText(fd, Type::fatalError, code, 0, text, Clock::now() + Milliseconds{1000});
    } catch (const zemo::Error&) {
        // The connection closes either way.
    }
}

void sendError(int fd, std::uint8_t code, const std::string& text) {
    hislip::sendText(fd, Type::error, code, 0, text, Clock::now() + messageTime);
}

// Sends a reply, with PAYLOAD if any.
void reply(int fd, Type type, std::uint8_t control, std::uint32_t parameter,
           std::span<const std::byte> payload = {}) {
    hislip::sendMessage(fd, {type, control, parameter, 0}, payload, Clock::now() + messageTime);
}

// The Error that answers a message of type TYPE where it has no place.
void refuseType(int fd, Type type) {
    const bool vendor = static_cast<unsigned>(type) >= 128;
    sendError(fd, vendor ? hislip::errorUnrecognizedVendorMessage : hislip::errorUnrecognizedType,
              "unexpected " + hislip::typeName(type) + " message");
}

class SyncChannel {
  public:
    SyncChannel(int fd, HislipSessions& sessions, std::shared_ptr<Session> session,
                Milliseconds idleLimit)
        : fd_(fd), sessions_(sessions), session_(std::move(session)),
          instrument_(*session_->instrument), idleLimit_(idleLimit),
          asyncDeadline_(Clock::now() + messageTime) {
        asking_.self = instrument_.join(session_->syncWake.get());
        sessions_.setAsking(*session_, asking_);
    }
    SyncChannel(const SyncChannel&) = delete;
    SyncChannel& operator=(const SyncChannel&) = delete;
    ~SyncChannel() {
        instrument_.leave(asking_.self);
        releaseInput(held_);
    }

    // Serves the session until the client leaves, breaks the protocol or the session ends; the
    // messages that arrived before the session ended (a client that closes the asynchronous
    // channel first) are still carried out.
    void serve() {
        for (;;) {
            if (sessions_.ended(*session_)) {
                pollfd entry{fd_, POLLIN, 0};
                if (::poll(&entry, 1, 0) <= 0 || !receive())
                    return;
                continue;
            }
            const bool asyncOpen = sessions_.asyncOpen(*session_);
            if (!asyncOpen && Clock::now() >= asyncDeadline_)
                return sendFatal(fd_, hislip::fatalChannelsNotEstablished,
                                 "the asynchronous channel was not opened in time");
            auto wakeAt = asyncOpen ? session_->idleUntil(idleLimit_) : asyncDeadline_;
            if (asyncOpen && outgoing_.empty())
                wakeAt = std::min(wakeAt, fillOutput());
            pollfd entries[2] = {{fd_, POLLIN, 0}, {session_->syncWake.get(), POLLIN, 0}};
            if (!outgoing_.empty())
                entries[0].events |= POLLOUT;
            if (::poll(entries, 2, pollWait(wakeAt)) < 0 && errno != EINTR)
                return;
            if ((entries[1].revents & POLLIN) != 0)
                consume(session_->syncWake);
            if ((entries[0].revents & POLLOUT) != 0 && !sendOutput())
                return;
            if ((entries[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receive())
                return;
            if (Clock::now() >= session_->idleUntil(idleLimit_))
                return;
        }
    }

  private:
    // Takes the next piece of the output queue that the session may be sent, if one is ready,
    // as a Data or DataEnd message; returns when to look again for an answer not ready yet.
    Clock::time_point fillOutput() {
        auto readyAt = Clock::time_point::max();
        const std::size_t size =
            std::min({sessions_.clientMaximum(*session_),
                      std::uint64_t{instrument_.definition().readChunk}, largestOutputPiece});
        if (outputSize_ != size) {
            output_ = std::make_unique_for_overwrite<std::byte[]>(size);
            outputSize_ = size;
        }
        const auto piece = instrument_.takeFor(
            asking_, std::span(reinterpret_cast<char*>(output_.get()), size), readyAt);
        if (!piece)
            return readyAt;
        const std::uint32_t messageId =
            piece->origin.client == asking_.self ? piece->origin.tag : responseId_;
        outgoing_.start({piece->endOfMessage ? Type::dataEnd : Type::data, 0, messageId, 0},
                        std::span(output_.get(), piece->size));
        asking_.askedSinceAnswer = asking_.askedSinceAnswer && !piece->endOfMessage;
        sessions_.setAsking(*session_, asking_);
        sessions_.setResponseUnread(*session_, true);
        return readyAt;
    }

    bool sendOutput() {
        if (!outgoing_.sendSome(fd_))
            return false;
        session_->touch();
        return true;
    }

    // Sends a reply of its own, after the rest of any Data message on its way.
    void send(Type type, std::uint8_t control, std::uint32_t parameter) {
        if (!outgoing_.finish(fd_, Clock::now() + messageTime))
            throw zemo::failure("the client takes no data");
        reply(fd_, type, control, parameter);
    }
    void sendErrorText(std::uint8_t code, const std::string& text) {
        if (!outgoing_.finish(fd_, Clock::now() + messageTime))
            throw zemo::failure("the client takes no data");
        sendError(fd_, code, text);
    }
    void sendFatalText(std::uint8_t code, const std::string& text) {
        outgoing_.finish(fd_, Clock::now() + Milliseconds{1000});
        sendFatal(fd_, code, text);
    }

    // Receives and handles one message; false when the connection is to close.
    bool receive() {
        try {
            const Header header =
                hislip::receiveHeader(fd_, largestPiece, Clock::now() + messageTime);
            session_->touch();
            const bool data = header.type == Type::data || header.type == Type::dataEnd;
            if (!data && header.length > largestNonDataPayload)
                throw hislip::MalformedMessage(
                    hislip::fatalPoorlyFormedHeader,
                    hislip::typeName(header.type) + " announces a payload of " +
                        std::to_string(header.length) + " bytes, more than the " +
                        std::to_string(largestNonDataPayload) + " accepted");
            const std::uint64_t largestData = largestInputMessage(instrument_);
            if (data && header.length > largestData)
                return refuseData(header, hislip::errorMessageTooLarge,
                                  hislip::typeName(header.type) + " of " +
                                      std::to_string(header.length) +
                                      " bytes, more than the maximum message size of " +
                                      std::to_string(largestData));
            if (data && !holdInput(header.length))
                return refuseData(header, hislip::errorUnidentified,
                                  "out of resources: the server holds as much input as it may");
            held_ += data ? header.length : 0;
            hislip::receivePayload(fd_, header, payload_, Clock::now() + messageTime);
            const bool goOn = handle(header);
            keepOnlyInput();
            return goOn;
        } catch (const hislip::MalformedMessage& error) {
            sendFatalText(error.code(), error.what());
            return false;
        } catch (const zemo::Error&) {
            return false;
        }
    }

    // Gives back the memory and the share of held input beyond the commands waiting for their
    // end.
    void keepOnlyInput() {
        payload_ = {};
        releaseInput(held_ - input_.size());
        held_ = input_.size();
    }

    // Drops a Data message that the server does not take, with the session's input, and
    // answers Error CODE with TEXT.
    bool refuseData(const Header& header, std::uint8_t code, const std::string& text) {
        std::uint64_t left = header.length;
        if (!hislip::dropPayload(fd_, left, Clock::now() + messageTime))
            return false;
        input_.clear();
        keepOnlyInput();
        sendErrorText(code, text);
        return true;
    }

    bool handle(const Header& header) {
        const bool asyncOpen = sessions_.asyncOpen(*session_);
        switch (header.type) {
        case Type::data:
        case Type::dataEnd:
        case Type::trigger:
            if (!asyncOpen) {
                sendFatalText(hislip::fatalChannelsNotEstablished,
                              "attempt to use connection without both channels established");
                return false;
            }
            responseId_ = header.parameter;
            if ((header.control & hislip::rmtDelivered) != 0)
                sessions_.setResponseUnread(*session_, false);
            if (header.type == Type::trigger) {
                instrument_.trigger();
                return true;
            }
            return takeData(header);
        case Type::deviceClearComplete:
            finishDeviceClear();
            return true;
        case Type::initialize:
        case Type::asyncInitialize:
            sendFatalText(hislip::fatalInvalidInitialization, "invalid initialization sequence");
            return false;
        case Type::fatalError:
            return false;
        case Type::error:
            return true;
        default:
            if (!outgoing_.finish(fd_, Clock::now() + messageTime))
                return false;
            refuseType(fd_, header.type);
            return true;
        }
    }

    // Takes a Data or DataEnd payload into the session's input and executes what is complete.
    bool takeData(const Header& header) {
        if (!sessions_.mayAccess(*session_)) {
            input_.clear();
            sendErrorText(hislip::errorUnidentified, "the instrument is locked by another session");
            return true;
        }
        if (input_.size() + payload_.size() > largestInput) {
            input_.clear();
            sendErrorText(hislip::errorMessageTooLarge,
                          "more than " + std::to_string(largestInput) + " bytes without a newline");
            return true;
        }
        input_.append(reinterpret_cast<const char*>(payload_.data()), payload_.size());
        const bool end = header.type == Type::dataEnd;
        std::size_t start = 0;
        while (start < input_.size()) {
            const auto stop = input_.find('\n', start);
            if (stop == std::string::npos && !end)
                break;
            const std::size_t length = (stop == std::string::npos ? input_.size() : stop) - start;
            asking_.askedSinceAnswer = asking_.askedEver = true;
            sessions_.setAsking(*session_, asking_);
            const Effect effect =
                instrument_.execute(std::string_view(input_).substr(start, length), ownAnswerHold,
                                    asking_.self, header.parameter);
            if (effect.dropConnection || effect.hangUpAfterReply)
                return false;
            std::this_thread::sleep_for(effect.stall);
            start = stop == std::string::npos ? input_.size() : stop + 1;
        }
        input_.erase(0, start);
        if (input_.empty())
            input_.shrink_to_fit();
        return true;
    }

    // The second half of device clear: what was on its way goes out whole, the input and the
    // output queue are emptied, and DeviceClearAcknowledge confirms synchronized mode.
    void finishDeviceClear() {
        if (!outgoing_.finish(fd_, Clock::now() + messageTime))
            throw zemo::failure("the client takes no data");
        input_.clear();
        instrument_.clear();
        responseId_ = hislip::noMessageId;
        sessions_.setResponseUnread(*session_, false);
        send(Type::deviceClearAcknowledge, 0, 0);
    }

    int fd_;
    HislipSessions& sessions_;
    std::shared_ptr<Session> session_;
    Instrument& instrument_;
    const Milliseconds idleLimit_;
    Clock::time_point asyncDeadline_;
    SocketAsking asking_;
    std::vector<std::byte> payload_;
    std::string input_;
    // The bytes of payload_ and input_ counted against the input all connections may hold.
    std::size_t held_ = 0;
    // Output taken from the queue; allocated without being filled, so that only the pages that
    // output is copied into cost memory.
    std::unique_ptr<std::byte[]> output_;
    std::size_t outputSize_ = 0;
    Outgoing outgoing_;
    // The MessageID of the client's latest message, which answers to other clients' commands
    // carry.
    std::uint32_t responseId_ = hislip::noMessageId;
};

class AsyncChannel {
  public:
    AsyncChannel(int fd, HislipSessions& sessions, std::shared_ptr<Session> session,
                 Milliseconds idleLimit)
        : fd_(fd), sessions_(sessions), session_(std::move(session)), idleLimit_(idleLimit) {}

    // Answers messages until the client leaves, breaks the protocol or the session ends.
    void serve() {
        std::vector<std::byte> payload;
        for (;;) {
            if (sessions_.ended(*session_))
                return;
            pollfd entries[2] = {{fd_, POLLIN, 0}, {session_->asyncWake.get(), POLLIN, 0}};
            if (::poll(entries, 2, pollWait(session_->idleUntil(idleLimit_))) < 0 && errno != EINTR)
                return;
            if ((entries[1].revents & POLLIN) != 0)
                consume(session_->asyncWake);
            if ((entries[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receive(payload))
                return;
            if (Clock::now() >= session_->idleUntil(idleLimit_))
                return;
        }
    }

  private:
    // Receives and answers one message; false when the connection is to close.
    bool receive(std::vector<std::byte>& payload) {
        try {
            Header header;
            hislip::receiveMessage(fd_, header, payload, largestNonDataPayload,
                                   Clock::now() + messageTime);
            session_->touch();
            return handle(header, payload);
        } catch (const hislip::MalformedMessage& error) {
            sendFatal(fd_, error.code(), error.what());
            return false;
        } catch (const zemo::Error&) {
            return false;
        }
    }

    bool handle(const Header& header, std::span<const std::byte> payload) {
        Instrument& instrument = *session_->instrument;
        switch (header.type) {
        case Type::asyncMaximumMessageSize:
            if (payload.size() != 8) {
                sendError(fd_, hislip::errorUnidentified,
                          "AsyncMaximumMessageSize carries " + std::to_string(payload.size()) +
                              " bytes instead of 8");
                return true;
            }
            sessions_.setClientMaximum(*session_, hislip::decodeSize(payload.first<8>()));
            reply(fd_, Type::asyncMaximumMessageSizeResponse, 0, 0,
                  hislip::encodeSize(largestInputMessage(instrument)));
            return true;
        case Type::asyncLock:
            return lock(header, payload);
        case Type::asyncLockInfo: {
            const auto [exclusive, holders] = sessions_.lockInfo(*session_);
            reply(fd_, Type::asyncLockInfoResponse, exclusive ? 1 : 0, holders);
            return true;
        }
        case Type::asyncStatusQuery: {
            if ((header.control & hislip::rmtDelivered) != 0)
                sessions_.setResponseUnread(*session_, false);
            const bool available = instrument.readyFor(sessions_.asking(*session_)) ||
                                   sessions_.responseUnread(*session_);
            reply(fd_, Type::asyncStatusResponse, instrument.statusByte(available), 0);
            return true;
        }
        case Type::asyncRemoteLocalControl:
            if (header.control > 6) {
                sendError(fd_, hislip::errorUnrecognizedControlCode,
                          "AsyncRemoteLocalControl with control code " +
                              std::to_string(header.control));
                return true;
            }
            reply(fd_, Type::asyncRemoteLocalResponse, 0, 0);
            return true;
        case Type::asyncDeviceClear:
            instrument.clear();
            reply(fd_, Type::asyncDeviceClearAcknowledge, 0, 0);
            return true;
        case Type::initialize:
        case Type::asyncInitialize:
            sendFatal(fd_, hislip::fatalInvalidInitialization, "invalid initialization sequence");
            return false;
        case Type::fatalError:
            return false;
        case Type::error:
            return true;
        default:
            refuseType(fd_, header.type);
            return true;
        }
    }

    // AsyncLock: control code 1 requests a lock (exclusive without a payload, shared by the
    // payload's name) within the message parameter's milliseconds, 0 releases it.
    bool lock(const Header& header, std::span<const std::byte> payload) {
        std::uint8_t result = 0;
        if (header.control == 1)
            result = sessions_.request(*session_, hislip::payloadText(payload),
                                       Milliseconds{header.parameter});
        else if (header.control == 0)
            result = sessions_.release(*session_);
        else {
            sendError(fd_, hislip::errorUnrecognizedControlCode,
                      "AsyncLock with control code " + std::to_string(header.control));
            return true;
        }
        session_->touch();
        reply(fd_, Type::asyncLockResponse, result, 0);
        return true;
    }

    int fd_;
    HislipSessions& sessions_;
    std::shared_ptr<Session> session_;
    const Milliseconds idleLimit_;
};

// Opens the session that Initialize with sub-address PAYLOAD asks for and serves its
// synchronous channel; the session ends with it.
void serveSync(int fd, HislipSessions& sessions, std::span<const std::byte> payload,
               Milliseconds idleLimit) {
    std::uint8_t code = 0;
    std::string reason;
    const auto session = sessions.open(hislip::payloadText(payload), code, reason);
    if (!session)
        return sendFatal(fd, code, reason);
    try {
        reply(fd, Type::initializeResponse, 0,
              std::uint32_t{hislip::protocolVersion} << 16 | session->id);
        SyncChannel(fd, sessions, session, idleLimit).serve();
    } catch (const zemo::Error&) {
        // The client went away; the session ends.
    }
    sessions.end(*session);
}

// Attaches the asynchronous channel that AsyncInitialize HEADER asks for and serves it; the
// session ends with it.
void serveAsync(int fd, HislipSessions& sessions, const Header& header, Milliseconds idleLimit) {
    const auto session = sessions.attachAsync(static_cast<std::uint16_t>(header.parameter));
    if (!session)
        return sendFatal(fd, hislip::fatalInvalidInitialization, "invalid initialization sequence");
    try {
        reply(fd, Type::asyncInitializeResponse, 0, hislip::vendorId);
        AsyncChannel(fd, sessions, session, idleLimit).serve();
    } catch (const zemo::Error&) {
        // The client went away; the session ends.
    }
    sessions.end(*session);
}

} // namespace

std::shared_ptr<HislipSessions> makeHislipSessions(const Instruments& instruments) {
    return std::make_shared<HislipSessions>(instruments);
}

void serveHislip(FileDescriptor connection, HislipSessions& sessions, Milliseconds idleLimit) {
    const int fd = connection.get();
    Header header;
    std::vector<std::byte> payload;
    try {
        hislip::receiveMessage(fd, header, payload, largestNonDataPayload,
                               Clock::now() + messageTime);
    } catch (const hislip::MalformedMessage& error) {
        return sendFatal(fd, error.code(), error.what());
    } catch (const zemo::Error&) {
        return;
    }
    if (header.type == Type::initialize)
        serveSync(fd, sessions, payload, idleLimit);
    else if (header.type == Type::asyncInitialize)
        serveAsync(fd, sessions, header, idleLimit);
    else
        sendFatal(fd, hislip::fatalInvalidInitialization, "invalid initialization sequence");
}

} // namespace zemosim
