// HiSLIP: each session is two connections to one port, the synchronous channel (data, trigger,
// the end of device clear) and the asynchronous one (device clear, locks, status, maximum
// message size, service requests). Each connection has its own thread; the session table
// (hislip_sessions.h) ties the two together.
// The server works in synchronized mode and sends the instrument's output queue as Data and
// DataEnd messages carrying the MessageID of the message whose command they answer (the
// session's latest message for an unclaimed answer it reads). A session reads as a raw socket
// connection does (see Reading::streamed), since the protocol has no read request either. Both
// channels are stream connections of the engine, woken when the session changes, and the
// synchronous one when an answer it may read is queued, the asynchronous one when the
// instrument raises a service request, which it tells its client with AsyncServiceRequest.
#include "engine.h"
#include "hislip_sessions.h"
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

// The largest Data payload INSTRUMENT accepts: its maxrecvsize, 1 MiB when that is unlimited,
// never above largestHislipPiece.
std::uint64_t largestInputMessage(const Instrument& instrument) {
    const std::uint32_t size = instrument.definition().maxRecvSize;
    if (size == 0 || size == UINT32_MAX)
        return defaultClientMaximum;
    return std::min<std::uint64_t>(size, largestHislipPiece);
}

// Sends FatalError CODE with TEXT; the caller then closes the connection.
void sendFatal(int fd, std::uint8_t code, const std::string& text) {
    try {
        hislip::sendText(fd, Type::fatalError, code, 0, text, Clock::now() + Milliseconds{1000});
    } catch (const zemo::Error&) {
        // The connection closes either way.
    }
}

void sendError(int fd, std::uint8_t code, const std::string& text) {
    hislip::sendText(fd, Type::error, code, 0, text, Clock::now() + hislipMessageTime);
}

// The remote state the instrument is in after AsyncRemoteLocalControl CONTROL: remote after
// "enable remote and go to remote" (3) and the same with local lockout (5), local after "disable
// remote" (0), "disable remote and go to local" (2) and "go to local" (6); the others leave it.
std::optional<bool> remoteAfter(std::uint8_t control) {
    switch (control) {
    case 3:
    case 5:
        return true;
    case 0:
    case 2:
    case 6:
        return false;
    default:
        return std::nullopt;
    }
}

// Sends a reply, with PAYLOAD if any.
void reply(int fd, Type type, std::uint8_t control, std::uint32_t parameter,
           std::span<const std::byte> payload = {}) {
    hislip::sendMessage(fd, {type, control, parameter, 0}, payload,
                        Clock::now() + hislipMessageTime);
}

// The Error that answers a message of type TYPE where it has no place.
void refuseType(int fd, Type type) {
    const bool vendor = static_cast<unsigned>(type) >= 128;
    sendError(fd, vendor ? hislip::errorUnrecognizedVendorMessage : hislip::errorUnrecognizedType,
              "unexpected " + hislip::typeName(type) + " message");
}

class SyncChannel : public StreamConnection {
  public:
    SyncChannel(int fd, HislipSessions& sessions, std::shared_ptr<Session> session,
                std::uint64_t number, Milliseconds idleLimit)
        : StreamConnection(fd, session->syncWake), fd_(fd), sessions_(sessions),
          session_(std::move(session)), instrument_(*session_->instrument), idleLimit_(idleLimit),
          asyncDeadline_(Clock::now() + hislipMessageTime) {
        self_ = instrument_.join(number, Reading::streamed, session_->syncWake.fd());
        sessions_.setClient(*session_, self_);
    }
    ~SyncChannel() override {
        instrument_.leave(self_, unread_);
        releaseInput(held_);
    }

    // Serves the session until the client leaves, breaks the protocol or the session ends; the
    // messages that arrived before the session ended (a client that closes the asynchronous
    // channel first) are still carried out, and the answers they ask for sent.
    void serve() {
        unread_ = run() == Ending::unread ? allUnread : 0;
        if (!sessions_.asyncOpen(*session_) && Clock::now() >= asyncDeadline_)
            sendFatal(fd_, hislip::fatalChannelsNotEstablished,
                      "the asynchronous channel was not opened in time");
    }

  private:
    bool goOn() override { return !sessions_.ended(*session_); }
    bool readsAfterEnd() const override { return true; }

    Clock::time_point deadline() override {
        return sessions_.asyncOpen(*session_) ? session_->idleUntil(idleLimit_) : asyncDeadline_;
    }

    bool outputPending() override { return instrument_.outputPendingFor(self_); }

    // Takes the next piece of the answer the session reads next, if one is ready, as a Data or
    // DataEnd message; returns when to look again for an answer not ready yet.
    Clock::time_point fillOutput(OutputPump& pump) override {
        auto readyAt = Clock::time_point::max();
        if (!sessions_.asyncOpen(*session_))
            return readyAt;
        const std::size_t size =
            std::min({sessions_.clientMaximum(*session_),
                      std::uint64_t{instrument_.definition().readChunk}, largestHislipOutputPiece});
        if (outputSize_ != size) {
            output_ = std::make_unique_for_overwrite<std::byte[]>(size);
            outputSize_ = size;
        }
        const auto piece = instrument_.takeFor(
            self_, std::span(reinterpret_cast<char*>(output_.get()), size), readyAt);
        if (!piece)
            return readyAt;
        const std::uint32_t messageId =
            piece->origin.client == self_ ? piece->origin.tag : responseId_;
        Header header{piece->endOfMessage ? Type::dataEnd : Type::data, 0, messageId, 0};
        header.length = piece->size;
        pump.start(hislip::encode(header), std::span(output_.get(), piece->size));
        sessions_.setResponseUnread(*session_, true);
        return readyAt;
    }

    void sent() override { session_->touch(); }

    // Sends a reply of its own, after the rest of any Data message on its way.
    void send(Type type, std::uint8_t control, std::uint32_t parameter) {
        if (!finishOutput(Clock::now() + hislipMessageTime))
            throw zemo::failure("the client takes no data");
        reply(fd_, type, control, parameter);
    }
    void sendErrorText(std::uint8_t code, const std::string& text) {
        if (!finishOutput(Clock::now() + hislipMessageTime))
            throw zemo::failure("the client takes no data");
        sendError(fd_, code, text);
    }
    void sendFatalText(std::uint8_t code, const std::string& text) {
        finishOutput(Clock::now() + Milliseconds{1000});
        sendFatal(fd_, code, text);
    }

    // Receives and handles one message; false when the connection is to close.
    bool receive() override {
        try {
            const Header header =
                hislip::receiveHeader(fd_, largestHislipPiece, Clock::now() + hislipMessageTime);
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
            hislip::receivePayload(fd_, header, payload_, Clock::now() + hislipMessageTime);
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
        if (!hislip::dropPayload(fd_, left, Clock::now() + hislipMessageTime))
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
                instrument_.trigger(self_, header.parameter);
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
            if (!finishOutput(Clock::now() + hislipMessageTime))
                return false;
            refuseType(fd_, header.type);
            return true;
        }
    }

    // Takes a Data or DataEnd payload into the session's input and executes what is complete.
    bool takeData(const Header& header) {
        if (!sessions_.mayAccess(*session_) ||
            instrument_.lockedAgainst(sessions_.client(*session_))) {
            input_.clear();
            sendErrorText(hislip::errorUnidentified, "the instrument is locked by another session");
            return true;
        }
        if (input_.size() + payload_.size() > largestHislipInput) {
            input_.clear();
            sendErrorText(hislip::errorMessageTooLarge, "more than " +
                                                            std::to_string(largestHislipInput) +
                                                            " bytes without a newline");
            return true;
        }
        input_.append(
            std::string_view(reinterpret_cast<const char*>(payload_.data()), payload_.size()));
        const Effect effect =
            input_.run(instrument_, self_, header.parameter, header.type == Type::dataEnd);
        if (effect.dropConnection || effect.hangUpAfterReply)
            return false;
        std::this_thread::sleep_for(effect.stall);
        return true;
    }

    // The second half of device clear: what was on its way goes out whole, the input and the
    // output queue are emptied, and DeviceClearAcknowledge confirms synchronized mode.
    void finishDeviceClear() {
        if (!finishOutput(Clock::now() + hislipMessageTime))
            throw zemo::failure("the client takes no data");
        input_.clear();
        instrument_.clear(self_);
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
    ClientId self_ = 0;
    std::uint64_t unread_ = 0;
    std::vector<std::byte> payload_;
    CommandInput input_;
    // The bytes of payload_ and input_ counted against the input all connections may hold.
    std::size_t held_ = 0;
    // Output taken from the queue; allocated without being filled, so that only the pages that
    // output is copied into cost memory.
    std::unique_ptr<std::byte[]> output_;
    std::size_t outputSize_ = 0;
    // The MessageID of the client's latest message, which answers to other clients' commands
    // carry.
    std::uint32_t responseId_ = hislip::noMessageId;
};

class AsyncChannel : public StreamConnection {
  public:
    AsyncChannel(int fd, HislipSessions& sessions, std::shared_ptr<Session> session,
                 Milliseconds idleLimit)
        : StreamConnection(fd, session->asyncWake), fd_(fd), sessions_(sessions),
          session_(std::move(session)), instrument_(*session_->instrument), idleLimit_(idleLimit) {
        instrument_.watchRequests(session_->asyncWake.fd());
        told_ = instrument_.serviceRequests().latest;
    }
    ~AsyncChannel() override { instrument_.unwatchRequests(session_->asyncWake.fd()); }

    // Answers messages until the client leaves, breaks the protocol or the session ends.
    void serve() { run(); }

  private:
    bool goOn() override { return !sessions_.ended(*session_); }
    Clock::time_point deadline() override { return session_->idleUntil(idleLimit_); }
    bool outputPending() override { return false; }
    bool receive() override { return receive(payload_); }

    // The status byte of a service request that the instrument raised since the session was
    // last told, if any; sets LOOKAGAIN to when the instrument's status changes by itself.
    std::optional<std::uint8_t> untoldRequest(Clock::time_point& lookAgain) {
        const auto requests = instrument_.serviceRequests();
        lookAgain = requests.lookAgain;
        if (std::exchange(told_, requests.latest) == requests.latest)
            return std::nullopt;
        return requests.statusByte;
    }

    // Sends AsyncServiceRequest for a request the session has not been told of, as far as the
    // client takes it now; returns when to look again.
    Clock::time_point fillOutput(OutputPump& pump) override {
        auto lookAgain = Clock::time_point::max();
        if (const auto statusByte = untoldRequest(lookAgain))
            pump.start(hislip::encode({Type::asyncServiceRequest, *statusByte, 0, 0}), {});
        return lookAgain;
    }

    // Before an answer: the rest of an AsyncServiceRequest on its way, then one for a request
    // raised before the message was handled, so that the client learns of it first.
    void tellRequestsFirst() {
        if (!finishOutput(Clock::now() + hislipMessageTime))
            throw zemo::failure("the client takes no messages");
        auto lookAgain = Clock::time_point::max();
        if (const auto statusByte = untoldRequest(lookAgain))
            reply(fd_, Type::asyncServiceRequest, *statusByte, 0);
    }

    // Receives and answers one message; false when the connection is to close.
    bool receive(std::vector<std::byte>& payload) {
        try {
            Header header;
            hislip::receiveMessage(fd_, header, payload, largestNonDataPayload,
                                   Clock::now() + hislipMessageTime);
            session_->touch();
            tellRequestsFirst();
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
            const bool available = instrument.readyFor(sessions_.client(*session_)) ||
                                   sessions_.responseUnread(*session_);
            reply(fd_, Type::asyncStatusResponse, instrument.serialPoll(available), 0);
            return true;
        }
        case Type::asyncRemoteLocalControl:
            if (header.control > 6) {
                sendError(fd_, hislip::errorUnrecognizedControlCode,
                          "AsyncRemoteLocalControl with control code " +
                              std::to_string(header.control));
                return true;
            }
            if (const auto remote = remoteAfter(header.control))
                instrument.setRemote(*remote);
            reply(fd_, Type::asyncRemoteLocalResponse, 0, 0);
            return true;
        case Type::asyncDeviceClear:
            instrument.clear(sessions_.client(*session_));
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
    Instrument& instrument_;
    const Milliseconds idleLimit_;
    std::vector<std::byte> payload_;
    // The number of the instrument's latest service request the session has been told of, or
    // that was raised before its asynchronous channel opened.
    std::uint64_t told_ = 0;
};

// Opens the session that Initialize with sub-address PAYLOAD asks for and serves its
// synchronous channel; the session ends with it.
void serveSync(int fd, HislipSessions& sessions, std::span<const std::byte> payload,
               std::uint64_t number, Milliseconds idleLimit) {
    std::uint8_t code = 0;
    std::string reason;
    const auto session = sessions.open(hislip::payloadText(payload), code, reason);
    if (!session)
        return sendFatal(fd, code, reason);
    try {
        reply(fd, Type::initializeResponse, 0,
              std::uint32_t{hislip::protocolVersion} << 16 | session->id);
        SyncChannel(fd, sessions, session, number, idleLimit).serve();
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
        // The channel watches for service requests before the client learns that it is open, so
        // that it is told of every request raised from then on.
        AsyncChannel channel(fd, sessions, session, idleLimit);
        reply(fd, Type::asyncInitializeResponse, 0, hislip::vendorId);
        channel.serve();
    } catch (const zemo::Error&) {
        // The client went away; the session ends.
    }
    sessions.end(*session);
}

} // namespace

std::shared_ptr<HislipSessions> makeHislipSessions(const Instruments& instruments) {
    return std::make_shared<HislipSessions>(instruments);
}

void serveHislip(FileDescriptor connection, HislipSessions& sessions, std::uint64_t number,
                 Milliseconds idleLimit) {
    const int fd = connection.get();
    Header header;
    std::vector<std::byte> payload;
    try {
        hislip::receiveMessage(fd, header, payload, largestNonDataPayload,
                               Clock::now() + hislipMessageTime);
    } catch (const hislip::MalformedMessage& error) {
        return sendFatal(fd, error.code(), error.what());
    } catch (const zemo::Error&) {
        return;
    }
    if (header.type == Type::initialize)
        serveSync(fd, sessions, payload, number, idleLimit);
    else if (header.type == Type::asyncInitialize)
        serveAsync(fd, sessions, header, idleLimit);
    else
        sendFatal(fd, hislip::fatalInvalidInitialization, "invalid initialization sequence");
}

namespace {

// HiSLIP: one port for all instruments, each under its sub-address; its names follow all
// others.
class HislipProtocol : public Protocol {
  public:
    void open(const ServeOptions& options, const Instruments& instruments) override {
        instruments_ = &instruments;
        host_ = hostName(options.address);
        listener_ = listenTcp(options.address, options.hislipPort);
    }

    std::vector<InterfaceName> names(std::size_t i) const override {
        return {{"hislip", "hislip/" + host_ + ':' + std::to_string(listener_.port) + '/' +
                               (*instruments_)[i]->definition().hislipName}};
    }

    bool namesLast() const override { return true; }

    void start(const Instruments& instruments) override {
        sessions_ = makeHislipSessions(instruments);
        std::thread([this] {
            acceptForever(listener_, [this](FileDescriptor c, std::uint64_t number) {
                serveHislip(std::move(c), *sessions_, number);
            });
        }).detach();
    }

  private:
    const Instruments* instruments_ = nullptr;
    std::string host_;
    Listener listener_;
    std::shared_ptr<HislipSessions> sessions_;
};

} // namespace

std::unique_ptr<Protocol> hislipProtocol() {
    return std::make_unique<HislipProtocol>();
}

} // namespace zemosim
