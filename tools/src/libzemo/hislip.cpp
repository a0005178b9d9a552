// The HiSLIP transport: a session of two TCP connections to the same port, the synchronous
// channel for data and triggers and the asynchronous one for device clear, the maximum message
// size, the status byte, locks, remote/local control and service requests, worked in synchronized
// mode. Response data goes from the socket straight into the caller's buffer; bytes of a response
// beyond what a read asked for stay in the socket for the next read.
#include "zemonet/hislip.h"
#include "failure_latch.h"
#include "transport.h"
#include "zemonet/tcp.h"
#include "zemonet/text.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace zemo {

namespace {

using hislip::Header;
using hislip::Type;

// The largest Data payload we accept, announced to the server ...
constexpr std::uint64_t ourMaximumMessage = 1 << 20;
// ... and what a message may announce before it is taken as broken: the standard lets a sender
// overshoot the receiver's maximum a little.
constexpr std::uint64_t largestPayload = ourMaximumMessage + (1 << 20);
// The largest payload of any other message: a text or a number.
constexpr std::uint64_t largestControlPayload = 64 << 10;
// Data pieces are at most this large, whatever the server accepts.
constexpr std::uint64_t largestWritePiece = 1 << 20;
// The time allowed for the FatalError sent before closing a broken session, and for releasing a
// lock at close.
constexpr Milliseconds farewellTime{100};
// The time allowed for asking whether another client holds a lock, to say why a call timed out.
constexpr Milliseconds lockInfoTime{500};
// The answer to a lock request may come this much after the time the server may wait for it.
constexpr Milliseconds lockAnswerMargin{500};

// AsyncRemoteLocalControl control codes: enable remote and go to remote; go to local.
constexpr std::uint8_t enableRemoteGoToRemote = 3;
constexpr std::uint8_t goToLocal = 6;

// An Error message from the server: it reports a failure, and the session goes on.
class ServerError : public Error {
  public:
    using Error::Error;
};

// A message as it arrives on one channel; a read that times out in the middle keeps what came:
// part of a header, or the header of a control message and part of its payload.
struct Incoming {
    hislip::HeaderBytes bytes{};
    std::size_t received = 0;
    // Set while the payload of the control message HEADER is arriving.
    bool inPayload = false;
    Header header;
    std::vector<std::byte> payload;
    std::size_t payloadReceived = 0;
};

class HislipTransport final : public Transport {
  public:
    HislipTransport(const std::string& host, unsigned short port, const std::string& subAddress) {
        // One limit for the whole open, both connections and the three exchanges.
        const auto deadline = Clock::now() + connectTimeout();
        sync_ = connectTcp(host, port, deadline);
        hislip::sendText(sync_.get(), Type::initialize, 0,
                         std::uint32_t{hislip::protocolVersion} << 16 | hislip::vendorId,
                         subAddress, deadline);
        const Header initialized = expect(sync_, Type::initializeResponse, deadline, "Initialize");
        const auto session = static_cast<std::uint16_t>(initialized.parameter & 0xffff);
        async_ = connectTcp(host, port, deadline);
        hislip::sendMessage(async_.get(), {Type::asyncInitialize, 0, session, 0}, {}, deadline);
        expect(async_, Type::asyncInitializeResponse, deadline, "AsyncInitialize");
        const auto size = hislip::encodeSize(ourMaximumMessage);
        hislip::sendMessage(async_.get(), {Type::asyncMaximumMessageSize, 0, 0, 0}, size, deadline);
        expect(async_, Type::asyncMaximumMessageSizeResponse, deadline, "AsyncMaximumMessageSize");
        const std::vector<std::byte>& theirs = incoming(async_).payload;
        if (theirs.size() != 8)
            throw failure("AsyncMaximumMessageSizeResponse carries " +
                          std::to_string(theirs.size()) + " bytes instead of 8");
        writePiece_ = std::clamp<std::uint64_t>(hislip::decodeSize(std::span(theirs).first<8>()), 1,
                                                largestWritePiece);
        // A server that prefers overlapped mode is asked for synchronized mode, which a device
        // clear negotiates.
        if (initialized.control & hislip::overlappedMode)
            deviceClear(deadline);
    }

    void setTimeout(Milliseconds timeout) override { timeout_ = timeout; }

    // Sends DATA as Data messages of at most the server's maximum size, the last one DataEnd
    // when END is set, all within one timeout; an empty write without END sends nothing. A new
    // message ends the claim on the response to the previous one, so reads skip what is left of
    // it. A write cut short leaves a message half sent, so any failure breaks the session.
    void write(std::span<const std::byte> data, bool end) override {
        checkUsable();
        if (data.empty() && !end)
            return;
        const auto deadline = Clock::now() + timeout_;
        ours_ = false;
        guarded(true, [&] {
            do {
                const auto piece = data.first(std::min<std::size_t>(data.size(), writePiece_));
                const bool last = piece.size() == data.size();
                const Type type = last && end ? Type::dataEnd : Type::data;
                sendNumbered(type, piece, deadline);
                data = data.subspan(piece.size());
            } while (!data.empty());
        });
    }

    // Collects the payloads of the response to our latest message until its DataEnd or the
    // buffer is full; at the timeout, the bytes that have arrived are returned, and at the end
    // of the response even none. Where a read stops, in a header or a payload, the next one goes
    // on. A failure after some bytes, an Error or FatalError from the server or a broken
    // connection, returns those bytes and is reported by the next call.
    // The reason is END when the read took the response's DataEnd, with the count when the
    // buffer is full.
    ReadResult read(std::span<std::byte> buffer) override {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        std::size_t total = 0;
        try {
            collectResponse(buffer, total, deadline);
        } catch (const Error& error) {
            if (total == 0)
                throw;
            latch_.holdBack(error);
            return {total, 0};
        }
        const bool ended = left_ == 0 && ours_ && end_;
        if (ended) {
            ours_ = false;
            rmtDelivered_ = true;
        }
        if (total == 0 && !buffer.empty() && !ended)
            throw timeout("no data from the instrument within " + timeoutText() + lockedNote());
        return {total, (ended ? reasonEnd : 0) |
                           (total == buffer.size() && !buffer.empty() ? reasonCount : 0)};
    }

    void clear() override {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        guarded(true, [&] { deviceClear(deadline); });
    }

    // AsyncStatusQuery, telling whether a response has been delivered since our last message.
    std::uint8_t readStatusByte() override {
        const std::uint8_t control = rmtDelivered_ ? hislip::rmtDelivered : 0;
        return asyncExchange({Type::asyncStatusQuery, control, lastSentId_, 0},
                             Type::asyncStatusResponse, "AsyncStatusQuery", timeout_)
            .control;
    }

    // Trigger on the synchronous channel, numbered as a message.
    void trigger() override {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        ours_ = false;
        guarded(true, [&] { sendNumbered(Type::trigger, {}, deadline); });
    }

    // AsyncLock requesting an exclusive lock (no lock name) within WAIT.
    void lock(Milliseconds wait) override {
        const auto parameter =
            static_cast<std::uint32_t>(std::min<Milliseconds::rep>(wait.count(), 0xffffffff));
        const Header answer =
            asyncExchange({Type::asyncLock, 1, parameter, 0}, Type::asyncLockResponse, "AsyncLock",
                          wait + lockAnswerMargin);
        if (answer.control == hislip::lockFailed)
            throw timeout("AsyncLock: the instrument is locked by another client (not granted "
                          "within " +
                          millisecondsText(wait) + ")");
        if (answer.control != hislip::lockSuccess)
            throw failure("AsyncLock: the instrument refused the lock (AsyncLockResponse " +
                          std::to_string(answer.control) + ")");
        locked_ = true;
    }

    // AsyncLock releasing our lock.
    void unlock() override {
        const Header answer = asyncExchange({Type::asyncLock, 0, lastSentId_, 0},
                                            Type::asyncLockResponse, "AsyncLock release", timeout_);
        locked_ = false;
        if (answer.control == hislip::lockError)
            throw failure("AsyncLock release: this client holds no lock (AsyncLockResponse 3)");
    }

    void remote() override { remoteLocal(enableRemoteGoToRemote); }
    void local() override { remoteLocal(goToLocal); }

    // Releases a lock still held, then closes both channels.
    void close() override {
        checkUsable();
        if (locked_) {
            try {
                asyncExchange({Type::asyncLock, 0, lastSentId_, 0}, Type::asyncLockResponse,
                              "AsyncLock release", farewellTime);
            } catch (const Error&) {
                // Closing the channels releases it all the same.
            }
        }
        sync_.reset();
        async_.reset();
    }

  protected:
    // The server sends AsyncServiceRequest unasked, to every session: there is nothing to ask
    // for.
    void enableServiceRequests(Clock::time_point) override {}

    // The request kept from an earlier read of the asynchronous channel, or the next
    // AsyncServiceRequest on it by DEADLINE. A request that arrives while nobody waits stays in
    // the socket until the next read of the channel, which keeps it.
    std::optional<std::uint8_t> awaitServiceRequest(Clock::time_point deadline) override {
        checkUsable();
        if (keptRequest_)
            return std::exchange(keptRequest_, std::nullopt);
        try {
            Header request;
            guarded(false, [&] {
                request = expect(async_, Type::asyncServiceRequest, deadline,
                                 "the wait for a service request");
            });
            return request.control;
        } catch (const Error& error) {
            if (!error.timedOut())
                throw;
            return std::nullopt;
        }
    }

    void forgetServiceRequest() override { keptRequest_.reset(); }

  private:
    // Sends a message of TYPE with PAYLOAD on the synchronous channel under the next MessageID,
    // telling whether a response has been delivered since the last one.
    void sendNumbered(Type type, std::span<const std::byte> payload, Clock::time_point deadline) {
        const std::uint8_t control = rmtDelivered_ ? hislip::rmtDelivered : 0;
        try {
            hislip::sendMessage(sync_.get(), {type, control, messageId_, 0}, payload, deadline);
        } catch (const Error& error) {
            if (error.timedOut())
                throw timeout("the instrument accepted no data within " + timeoutText());
            throw;
        }
        rmtDelivered_ = false;
        lastSentId_ = messageId_;
        messageId_ += 2;
    }

    // Sends REQUEST (named NAME in messages) on the asynchronous channel and returns the answer
    // of type WANTED, which must come within WAIT. A failure breaks the session, an Error
    // answer does not.
    Header asyncExchange(Header request, Type wanted, const std::string& name, Milliseconds wait) {
        checkUsable();
        const auto deadline = Clock::now() + wait;
        Header answer;
        guarded(true, [&] {
            hislip::sendMessage(async_.get(), request, {}, deadline);
            answer = expect(async_, wanted, deadline, name);
        });
        return answer;
    }

    // AsyncRemoteLocalControl with CONTROL.
    void remoteLocal(std::uint8_t control) {
        asyncExchange({Type::asyncRemoteLocalControl, control, lastSentId_, 0},
                      Type::asyncRemoteLocalResponse, "AsyncRemoteLocalControl", timeout_);
    }

    // For the message of a call that timed out: ": the instrument is locked by another client"
    // when AsyncLockInfo says that a client holds an exclusive lock and it is not us, since the
    // server then holds our data back; otherwise, or when the server does not say, nothing.
    std::string lockedNote() {
        if (locked_ || !async_.valid())
            return {};
        try {
            const auto deadline = Clock::now() + lockInfoTime;
            hislip::sendMessage(async_.get(), {Type::asyncLockInfo, 0, 0, 0}, {}, deadline);
            const Header info =
                expect(async_, Type::asyncLockInfoResponse, deadline, "AsyncLockInfo");
            if (info.control == 1)
                return ": the instrument is locked by another client";
        } catch (const Error&) {
            // The timeout is reported without the note.
        }
        return {};
    }

    // Places the payloads of the response to our latest message into BUFFER from TOTAL on,
    // counting them in TOTAL, until its DataEnd, the end of BUFFER or DEADLINE.
    void collectResponse(std::span<std::byte> buffer, std::size_t& total,
                         Clock::time_point deadline) {
        guarded(false, [&] {
            while (total < buffer.size()) {
                // What is skipped may come as fast as it is read: it ends at the deadline too.
                if (!ours_ && Clock::now() >= deadline)
                    break;
                if (left_ > 0 && !ours_) {
                    if (!skipPayload(deadline))
                        break;
                } else if (left_ == 0) {
                    if ((ours_ && end_) || !nextDataHeader(deadline))
                        break;
                } else {
                    const std::size_t want = std::min<std::uint64_t>(left_, buffer.size() - total);
                    const std::size_t got =
                        hislip::receiveSome(sync_.get(), buffer.subspan(total, want), deadline);
                    if (got == 0)
                        break;
                    total += got;
                    left_ -= got;
                }
            }
        });
    }

    // The device-clear transaction: AsyncDeviceClear and its acknowledge, then
    // DeviceClearComplete asking for synchronized mode and DeviceClearAcknowledge granting it,
    // discarding all that came before it.
    void deviceClear(Clock::time_point deadline) {
        hislip::sendMessage(async_.get(), {Type::asyncDeviceClear, 0, 0, 0}, {}, deadline);
        expect(async_, Type::asyncDeviceClearAcknowledge, deadline, "AsyncDeviceClear");
        hislip::sendMessage(sync_.get(), {Type::deviceClearComplete, 0, 0, 0}, {}, deadline);
        if (!skipPayload(deadline))
            throw timeout("DeviceClearComplete: the instrument's data did not arrive within " +
                          timeoutText());
        const Header acknowledge =
            expect(sync_, Type::deviceClearAcknowledge, deadline, "DeviceClearComplete");
        if (acknowledge.control & hislip::overlappedMode)
            throw failure("DeviceClearComplete: the instrument keeps overlapped mode, and this "
                          "library works only in synchronized mode");
        messageId_ = hislip::firstMessageId;
        lastSentId_ = hislip::noMessageId;
        ours_ = false;
        rmtDelivered_ = false;
    }

    // Reads the next header on the synchronous channel, which must be Data or DataEnd, and
    // notes whether it belongs to the response to our latest message; false at DEADLINE.
    bool nextDataHeader(Clock::time_point deadline) {
        for (bool passedOver = false;; passedOver = true) {
            Header header;
            if ((passedOver && Clock::now() >= deadline) || !receiveHeader(sync_, header, deadline))
                return false;
            if (header.type == Type::data || header.type == Type::dataEnd) {
                checkDataLength(header);
                left_ = header.length;
                ours_ = header.parameter == lastSentId_;
                end_ = header.type == Type::dataEnd;
                return true;
            }
            if (!readControlPayload(sync_, header, deadline))
                return false;
            if (header.type == Type::interrupted)
                continue;
            reportServerError(sync_, header, "the response");
            refuse(hislip::fatalUnidentified, "unexpected " + hislip::typeName(header.type) +
                                                  " message on the synchronous channel");
        }
    }

    void checkDataLength(const Header& header) {
        if (header.length > largestPayload)
            refuse(hislip::fatalPoorlyFormedHeader,
                   hislip::typeName(header.type) + " announces a payload of " +
                       std::to_string(header.length) + " bytes, beyond the " +
                       std::to_string(largestPayload) + " accepted");
    }

    // What is arriving on CHANNEL.
    Incoming& incoming(const FileDescriptor& channel) {
        return &channel == &sync_ ? syncIncoming_ : asyncIncoming_;
    }

    // Receives a header on CHANNEL, or returns again that of a control message whose payload
    // is still arriving; the header may arrive over several calls, so a partial one is kept.
    // False at DEADLINE.
    bool receiveHeader(FileDescriptor& channel, Header& header, Clock::time_point deadline) {
        Incoming& partial = incoming(channel);
        if (partial.inPayload) {
            header = partial.header;
            return true;
        }
        if (!hislip::receiveAll(channel.get(), partial.bytes, partial.received, deadline))
            return false;
        partial.received = 0;
        if (!hislip::decode(partial.bytes, header))
            refuse(hislip::fatalPoorlyFormedHeader,
                   "a message from the instrument does not start with 'HS'");
        return true;
    }

    // Reads the payload of a control message HEADER into the channel's Incoming; false at
    // DEADLINE, with the part that arrived kept for the next call.
    bool readControlPayload(FileDescriptor& channel, const Header& header,
                            Clock::time_point deadline) {
        Incoming& partial = incoming(channel);
        if (!partial.inPayload) {
            if (header.length > largestControlPayload)
                refuse(hislip::fatalPoorlyFormedHeader,
                       hislip::typeName(header.type) + " announces a payload of " +
                           std::to_string(header.length) + " bytes, beyond the " +
                           std::to_string(largestControlPayload) + " accepted");
            partial.inPayload = true;
            partial.header = header;
            partial.payload.resize(header.length);
            partial.payloadReceived = 0;
        }
        if (!hislip::receiveAll(channel.get(), partial.payload, partial.payloadReceived, deadline))
            return false;
        partial.inPayload = false;
        return true;
    }

    // Reads the next message on CHANNEL, which must be of type WANTED, the answer to REQUEST;
    // keeps the status byte of the latest service request that comes before it on the
    // asynchronous channel, and skips, on the synchronous one during a device clear, everything
    // before the acknowledge but a FatalError. Messages passed over end at DEADLINE too, however
    // fast they come.
    Header expect(FileDescriptor& channel, Type wanted, Clock::time_point deadline,
                  const std::string& request) {
        const bool clearing = wanted == Type::deviceClearAcknowledge;
        for (bool passedOver = false;; passedOver = true) {
            Header header;
            if ((passedOver && Clock::now() >= deadline) ||
                !receiveHeader(channel, header, deadline))
                throw timeout(request + ": no answer from the instrument within the time allowed");
            if (clearing && (header.type == Type::data || header.type == Type::dataEnd)) {
                checkDataLength(header);
                left_ = header.length;
                if (!skipPayload(deadline))
                    throw timeout(request + ": the instrument's data did not arrive in time");
                continue;
            }
            if (!readControlPayload(channel, header, deadline))
                throw timeout(request + ": the rest of the " + hislip::typeName(header.type) +
                              " message did not arrive within the time allowed");
            if (header.type == wanted)
                return header;
            if (header.type == Type::asyncServiceRequest) {
                keptRequest_ = header.control;
                continue;
            }
            if ((clearing && header.type != Type::fatalError) || header.type == Type::interrupted ||
                header.type == Type::asyncInterrupted)
                continue;
            reportServerError(channel, header, request);
            refuse(hislip::fatalUnidentified, request + ": the instrument answered with " +
                                                  hislip::typeName(header.type) + " instead of " +
                                                  hislip::typeName(wanted));
        }
    }

    // Throws the Error or FatalError that HEADER and its payload on CHANNEL carry; returns for
    // other messages.
    void reportServerError(const FileDescriptor& channel, const Header& header,
                           const std::string& request) {
        // The server's text as one line, its control bytes escaped.
        const std::string text = visible(hislip::payloadText(incoming(channel).payload));
        const std::string said = text.empty() ? "" : ": " + text;
        if (header.type == Type::error)
            throw ServerError(Error::Kind::failure,
                              request + ": the instrument reports an error: " +
                                  hislip::errorMeaning(header.control) + " (HiSLIP Error " +
                                  std::to_string(header.control) + ")" + said);
        if (header.type == Type::fatalError) {
            sync_.reset();
            async_.reset();
            throw failure(request + ": the instrument ended the session: " +
                          hislip::fatalErrorMeaning(header.control) + " (HiSLIP FatalError " +
                          std::to_string(header.control) + ")" + said);
        }
    }

    // Reads and drops the left_ bytes of the current payload; false at DEADLINE.
    bool skipPayload(Clock::time_point deadline) {
        return hislip::dropPayload(sync_.get(), left_, deadline);
    }

    // Ends the session over a message that breaks the protocol: FatalError CODE with REASON to
    // the server, then both channels close.
    [[noreturn]] void refuse(std::uint8_t code, const std::string& reason) {
        try {
            hislip::sendText(sync_.get(), Type::fatalError, code, 0, reason,
                             Clock::now() + farewellTime);
        } catch (const Error&) {
            // The session ends either way.
        }
        sync_.reset();
        async_.reset();
        throw failure(reason);
    }

    // Runs one exchange; a failure breaks the session for every later call, and so does a
    // timeout when TIMEOUTBREAKS. An Error message from the server, read whole, does not.
    template <typename Exchange> void guarded(bool timeoutBreaks, Exchange exchange) {
        try {
            exchange();
        } catch (const ServerError&) {
            throw;
        } catch (const Error& error) {
            if (timeoutBreaks || !error.timedOut() || !sync_.valid())
                latch_.breakLink(error);
            throw;
        }
    }

    void checkUsable() {
        latch_.check();
        if (!sync_.valid())
            throw failure("the session is closed");
    }

    std::string timeoutText() const { return millisecondsText(timeout_); }

    FileDescriptor sync_;
    FileDescriptor async_;
    Milliseconds timeout_ = defaultTimeout;
    std::uint64_t writePiece_ = largestWritePiece;
    std::uint32_t messageId_ = hislip::firstMessageId;
    // The MessageID whose response a read collects.
    std::uint32_t lastSentId_ = hislip::noMessageId;
    bool rmtDelivered_ = false;
    // Whether we hold a lock, released at close.
    bool locked_ = false;
    // The status byte of the latest service request that came while the asynchronous channel
    // was read for another answer, until a wait takes it.
    std::optional<std::uint8_t> keptRequest_;
    Incoming syncIncoming_;
    Incoming asyncIncoming_;
    // Bytes of the current Data or DataEnd payload still in the socket.
    std::uint64_t left_ = 0;
    // Whether that payload belongs to the response to our latest message, and ends it.
    bool ours_ = false;
    bool end_ = false;
    FailureLatch latch_{"session"};
};

std::unique_ptr<Transport> openHislip(std::string_view address) {
    const std::string form(hislipTransport.form);
    const auto slash = address.find('/');
    const HostPort host = splitHostPort(address.substr(0, slash), form);
    std::string subAddress(hislip::defaultSubAddress);
    if (slash != std::string_view::npos) {
        subAddress = std::string(address.substr(slash + 1));
        if (subAddress.empty() || subAddress.find('/') != std::string::npos)
            throw failure("invalid sub-address '" + subAddress + "'; " +
                          hislipTransport.expected());
    }
    const unsigned short port =
        host.port.empty() ? hislip::defaultPort : parsePort(host.port, form);
    return std::make_unique<HislipTransport>(host.host, port, subAddress);
}

} // namespace

const TransportEntry hislipTransport{"hislip", "hislip/HOST[:PORT][/SUBADDRESS]", openHislip};

} // namespace zemo
