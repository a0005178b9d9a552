// The VXI-11 core channel: ONC RPC calls in record marking over TCP, decoded and answered with
// the XDR routines that rpcgen makes from vxi11.x. Each connection has its own thread and its
// own links; the instruments behind the links are shared. A connection may announce its
// client's interrupt channel, and each of its links enable service requests: the instrument's
// requests then go to that channel as device_intr_srq calls (interrupt_channel.h).
#include "engine.h"
#include "interrupt_channel.h"
#include "server.h"
#include "zemonet/rpc.h"
#include "zemonet/rpc_message.h"
#include "zemonet/vxi11.h"
#include "zemonet/vxi11proto.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <thread>

#include <arpa/inet.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>

namespace zemosim {

namespace vxi11 = zemo::vxi11;

namespace {

using zemo::largestRecord;

// A call record being received: its bytes, the part of them counted against the input all
// connections may hold, and whether some were dropped because that was full. The first step of
// a record is always kept, so that the call can be answered; the connections are few enough
// for these steps to cost little.
struct CallRecord {
    std::vector<char> bytes;
    std::size_t held = 0;
    bool cut = false;

    CallRecord() = default;
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;
    ~CallRecord() { release(); }

    // Empties the record, giving its memory back to the system and its share of the input back
    // to the other connections.
    void release() {
        releaseInput(held);
        bytes = {};
        held = 0;
        cut = false;
    }
};

// Receives one call record from CONNECTION into RECORD by DEADLINE, its first piece always
// kept so that the call can be answered, the later ones only while all connections together
// may hold them, the others dropped; false when the connection ends, fails or passes the
// deadline first, or for a record longer than largestRecord.
bool receiveCall(int connection, CallRecord& record, Clock::time_point deadline) {
    const auto room = [&record](std::size_t size) -> char* {
        const std::size_t start = record.bytes.size();
        const bool counted = start > 0;
        record.cut = record.cut || (counted && !holdInput(size));
        if (record.cut)
            return nullptr;
        record.bytes.resize(start + size);
        record.held += counted ? size : 0;
        return record.bytes.data() + start;
    };
    return static_cast<bool>(zemo::receiveRecord(connection, largestRecord, room, deadline));
}

// The reply of device_docmd, which the simulator does not carry out: the error code and one
// more (zero) word.
bool_t xdrDoCmdReply(XDR* xdr, int* error) {
    int zero = 0;
    return xdr_int(xdr, error) && xdr_int(xdr, &zero);
}

// The reply to call XID that refuses it with STATUS (e.g. GARBAGE_ARGS).
std::vector<char> errorReply(std::uint32_t xid, accept_stat status) {
    return zemo::rpc::errorReply(xid, status, DEVICE_CORE_VERSION);
}

// The size of the opaque data that RESULT carries: none but in a device_read reply.
template <typename Result> std::size_t payloadOf(const Result&) {
    return 0;
}
std::size_t payloadOf(const Device_ReadResp& result) {
    return result.data.data_len;
}

// The encoded reply to call XID carrying RESULT, encoded by PROCEDURE.
template <typename Result>
std::vector<char> successReply(std::uint32_t xid, bool_t (*procedure)(XDR*, Result*),
                               Result& result) {
    return zemo::rpc::successReply(xid, procedure, result, payloadOf(result));
}

// The link that the arguments of a procedure on a link name.
template <typename Arguments> int linkOf(const Arguments& arguments) {
    return arguments.lid;
}
int linkOf(const Device_Link& lid) {
    return lid;
}

std::atomic<int> nextLink{1};

// A VXI-11 connection as the engine serves it: one call at a time is received and answered;
// a device_read with no answer ready waits, without holding the thread, until one is ready, its
// I/O timeout passes or the client leaves. A call with waitlock on an instrument another link has
// locked waits the same way, its record kept, until the lock is released or its lock_timeout
// passes (error 11), and is then answered as if it had just come.
class Vxi11Connection : public StreamConnection {
  public:
    Vxi11Connection(FileDescriptor connection, const Instruments& instruments, std::uint64_t number,
                    Milliseconds idleLimit)
        : StreamConnection(connection.get(), wake_), connection_(std::move(connection)),
          instruments_(instruments), number_(number), idleLimit_(idleLimit) {}
    ~Vxi11Connection() override {
        for (auto& [lid, link] : links_)
            forget(link);
    }

    // Answers calls until the client leaves, sends a record that is no call, or a command
    // drops the connection. Each call must come whole, and its reply be taken, within the idle
    // limit; its record is released once answered.
    void serve() {
        if (!wake_.valid())
            return;
        lastActivity_ = Clock::now();
        run();
    }

  private:
    // A link is a connection of its own at its instrument: the answers to its commands are its
    // own until it is destroyed.
    struct Link {
        Instrument* instrument;
        ClientId client;
        CommandInput input{};
        // Set while the link has service requests enabled: the handle that device_enable_srq
        // gave, passed back with each request.
        std::optional<std::vector<char>> requestHandle{};
        // The number of the instrument's latest service request that the link has been told of,
        // or that was raised before it enabled them.
        std::uint64_t toldRequest = 0;
    };

    // A device_read waiting for an answer: its call and what it asks.
    struct ParkedRead {
        std::uint32_t xid = 0;
        int lid = 0;
        std::uint32_t requestSize = 0;
        std::optional<char> termChar;
        Clock::time_point deadline;
    };

    // A call that waits for another link's lock: its record (at most largestRecord, one per
    // connection, no longer counted against the input all connections may hold) and when its
    // wait ends.
    struct LockWait {
        std::vector<char> record;
        Clock::time_point deadline;
    };

    // Receives one call and answers it, or parks it when it is a device_read with no answer
    // ready or a call that waits for a lock; false when the connection is to end.
    bool receive() override {
        CallRecord record;
        if (!receiveCall(connection_.get(), record, Clock::now() + idleLimit_))
            return false;
        lastActivity_ = Clock::now();
        stall_ = {};
        auto reply = record.cut ? answerCut(record.bytes) : answer(record.bytes);
        if (lockWaitUntil_)
            lockWait_ = LockWait{std::move(record.bytes), *std::exchange(lockWaitUntil_, {})};
        record.release();
        if (parked_ || lockWait_)
            return true;
        if (!reply || reply->empty() || droppingConnection_)
            return false;
        queueReply(std::move(*reply), lastActivity_ + stall_);
        return true;
    }

    // Answers the call that waits for a lock again (the instrument woke the connection, or the
    // wait is over); false while it still waits. A command that drops the connection hangs it
    // up without a reply.
    bool retryLockedCall() {
        LockWait wait = std::move(*std::exchange(lockWait_, {}));
        retryDeadline_ = wait.deadline;
        auto reply = answer(wait.record);
        retryDeadline_.reset();
        if (lockWaitUntil_) {
            lockWait_ = LockWait{std::move(wait.record), *std::exchange(lockWaitUntil_, {})};
            return false;
        }
        if (parked_)
            return true;
        if (!reply || reply->empty() || droppingConnection_)
            hangingUp_ = true;
        else
            queueReply(std::move(*reply), Clock::now() + stall_);
        return true;
    }

    Clock::time_point fillOutput(OutputPump& pump) override {
        if (lockWait_ && !retryLockedCall())
            return lockWait_->deadline;
        if (parked_) {
            auto readyAt = Clock::time_point::max();
            auto reply = tryRead(*parked_, readyAt);
            if (!reply)
                return std::min(readyAt, parked_->deadline);
            parked_.reset();
            queueReply(std::move(*reply), Clock::now());
        }
        if (!replyQueued_)
            return Clock::time_point::max();
        if (Clock::now() < replyAt_)
            return replyAt_;
        replyQueued_ = false;
        pump.start(zemo::recordMark(reply_.size()), std::as_bytes(std::span(reply_)));
        return Clock::time_point::max();
    }

    bool outputPending() override { return replyQueued_; }

    Clock::time_point deadline() override {
        const auto idle =
            waitsForServiceRequests() ? Clock::time_point::max() : lastActivity_ + idleLimit_;
        if (lockWait_)
            return std::max(idle, lockWait_->deadline);
        return parked_ ? std::max(idle, parked_->deadline) : idle;
    }

    // True while the client may be waiting for a service request, which spares the connection
    // its idle limit: it announced its interrupt channel, a link has requests enabled, and no
    // reply is on its way (a client that leaves one untaken is idle all the same).
    bool waitsForServiceRequests() const {
        return channel_ && outputEmpty() && std::ranges::any_of(links_, [](const auto& entry) {
                   return entry.second.requestHandle.has_value();
               });
    }

    void sent() override { lastActivity_ = Clock::now(); }

    bool wantsInput() override { return !parked_ && !lockWait_ && !replyQueued_ && outputEmpty(); }

    // A command that hangs up ends the connection once its reply has gone.
    bool goOn() override { return !hangingUp_ || replyQueued_ || !outputEmpty(); }

    bool tracksUnread() const override { return false; }

    // Tells the interrupt channel of the requests raised since the links looked, and carries
    // on its calls.
    SideWatch tendSide(short events) override {
        const auto now = Clock::now();
        const auto lookAgain = tellServiceRequests(now);
        if (!channel_)
            return {.until = lookAgain};
        channel_->advance(events, now);
        return {channel_->descriptor(), channel_->events(),
                std::min(lookAgain, channel_->deadline())};
    }

    // Queues a device_intr_srq call on the interrupt channel, if there is one, for each link
    // with requests enabled whose instrument has raised one it has not been told of; returns
    // when to look again (an instrument's status changes by itself then).
    Clock::time_point tellServiceRequests(Clock::time_point now) {
        auto lookAgain = Clock::time_point::max();
        for (auto& [lid, link] : links_) {
            if (!link.requestHandle)
                continue;
            const auto requests = link.instrument->serviceRequests();
            lookAgain = std::min(lookAgain, requests.lookAgain);
            if (std::exchange(link.toldRequest, requests.latest) != requests.latest && channel_)
                channel_->call(*link.requestHandle, now);
        }
        return lookAgain;
    }

    void queueReply(std::vector<char> reply, Clock::time_point at) {
        reply_ = std::move(reply);
        replyAt_ = at;
        replyQueued_ = true;
    }

    // The reply to READ once an answer is ready or its timeout has passed (error 15); nothing
    // before, with READYAT set when an answer will be ready.
    std::optional<std::vector<char>> tryRead(const ParkedRead& read, Clock::time_point& readyAt) {
        Device_ReadResp result{};
        const auto link = links_.find(read.lid);
        if (link == links_.end()) {
            result.error = vxi11::errorInvalidLink;
            return successReply(read.xid, xdr_Device_ReadResp, result);
        }
        Instrument& instrument = *link->second.instrument;
        readBuffer_.resize(std::min(read.requestSize, instrument.definition().readChunk));
        const auto piece =
            instrument.takeFor(link->second.client, readBuffer_, readyAt, read.termChar);
        if (!piece && Clock::now() < read.deadline)
            return std::nullopt;
        if (!piece)
            result.error = vxi11::errorIoTimeout;
        else {
            result.reason = (piece->size == read.requestSize ? vxi11::reasonRequestCount : 0) |
                            (piece->termCharSeen ? vxi11::reasonTermChar : 0) |
                            (piece->endOfMessage ? vxi11::reasonEnd : 0);
            result.data.data_len = static_cast<u_int>(piece->size);
            result.data.data_val = readBuffer_.data();
        }
        auto reply = successReply(read.xid, xdr_Device_ReadResp, result);
        readBuffer_ = {};
        return reply;
    }

    // The reply to the call in RECORD; nothing when RECORD holds no call.
    std::optional<std::vector<char>> answer(std::vector<char>& record) {
        const auto call = zemo::rpc::readCall(record, DEVICE_CORE, DEVICE_CORE_VERSION);
        switch (call.outcome) {
        case zemo::rpc::CallReading::accepted:
            return dispatch(call.procedure, call.xid, std::span(record).subspan(call.arguments));
        case zemo::rpc::CallReading::refused:
            return call.refusal;
        default:
            return std::nullopt;
        }
    }

    // The reply to a call whose record was cut because the connections held as much input as
    // they may: a device_write is refused as "out of resources", any other call as garbage.
    static std::optional<std::vector<char>> answerCut(const std::vector<char>& record) {
        std::uint32_t xid = 0;
        std::uint32_t procedure = 0;
        if (!zemo::rpc::peekCall(record, xid, procedure))
            return std::nullopt;
        if (procedure != device_write)
            return errorReply(xid, GARBAGE_ARGS);
        Device_WriteResp result{};
        result.error = vxi11::errorOutOfResources;
        return successReply(xid, xdr_Device_WriteResp, result);
    }

    // Carries out core procedure PROCEDURE with its ARGUMENTS.
    std::vector<char> dispatch(std::uint32_t procedure, std::uint32_t xid,
                               std::span<char> arguments) {
        switch (procedure) {
        case 0:
            return successReply(xid, xdrNothing, voidResult);
        case create_link:
            return answerCall(xid, arguments, xdr_Create_LinkParms, xdr_Create_LinkResp,
                              std::bind_front(&Vxi11Connection::createLink, this));
        case device_write:
            return answerOnLink(xid, arguments, xdr_Device_WriteParms, xdr_Device_WriteResp,
                                &Vxi11Connection::deviceWrite);
        case device_read:
            return startRead(xid, arguments);
        case device_clear:
            return answerOnLink(xid, arguments, xdr_Device_GenericParms, xdr_Device_Error,
                                &Vxi11Connection::deviceClear);
        case destroy_link:
            return answerOnLink(xid, arguments, xdr_Device_Link, xdr_Device_Error,
                                &Vxi11Connection::destroyLink);
        case device_readstb:
            return answerOnLink(xid, arguments, xdr_Device_GenericParms, xdr_Device_ReadStbResp,
                                &Vxi11Connection::deviceReadStb);
        case device_trigger:
            return answerOnLink(xid, arguments, xdr_Device_GenericParms, xdr_Device_Error,
                                &Vxi11Connection::deviceTrigger);
        case device_remote:
            return answerOnLink(xid, arguments, xdr_Device_GenericParms, xdr_Device_Error,
                                &Vxi11Connection::deviceRemote);
        case device_local:
            return answerOnLink(xid, arguments, xdr_Device_GenericParms, xdr_Device_Error,
                                &Vxi11Connection::deviceLocal);
        case device_lock:
            return answerOnLink(xid, arguments, xdr_Device_LockParms, xdr_Device_Error,
                                &Vxi11Connection::deviceLock);
        case device_unlock:
            return answerOnLink(xid, arguments, xdr_Device_Link, xdr_Device_Error,
                                &Vxi11Connection::deviceUnlock);
        case device_enable_srq:
            return answerOnLink(xid, arguments, xdr_Device_EnableSrqParms, xdr_Device_Error,
                                &Vxi11Connection::enableServiceRequests);
        case create_intr_chan:
            return answerCall(xid, arguments, xdr_Device_RemoteFunc, xdr_Device_Error,
                              std::bind_front(&Vxi11Connection::createInterruptChannel, this));
        case destroy_intr_chan:
            return destroyInterruptChannel(xid);
        default:
            break;
        }
        if (procedure != vxi11::procedureDoCmd)
            return errorReply(xid, PROC_UNAVAIL);
        int notSupported = vxi11::errorNotSupported;
        return successReply(xid, xdrDoCmdReply, notSupported);
    }

    // The empty result of the null procedure, which clients call to test the channel.
    static bool_t xdrNothing(XDR*, char*) { return 1; }

    // Decodes the arguments of call XID from BYTES with DECODE, lets PROCEDURE fill in the
    // result from them, and encodes the reply with ENCODE; GARBAGE_ARGS when the arguments do
    // not decode.
    template <typename Arguments, typename Result, typename Procedure>
    std::vector<char> answerCall(std::uint32_t xid, std::span<char> bytes,
                                 bool_t (*decode)(XDR*, Arguments*),
                                 bool_t (*encode)(XDR*, Result*), Procedure procedure) {
        zemo::rpc::Decoded arguments(bytes, decode);
        if (!arguments.ok())
            return errorReply(xid, GARBAGE_ARGS);
        Result result{};
        procedure(*arguments, result);
        return successReply(xid, encode, result);
    }

    // answerCall for a procedure on the link that its arguments name; error 4 when the
    // connection holds no such link, error 11 when another link holds the instrument's lock.
    template <typename Arguments, typename Result>
    std::vector<char> answerOnLink(std::uint32_t xid, std::span<char> bytes,
                                   bool_t (*decode)(XDR*, Arguments*),
                                   bool_t (*encode)(XDR*, Result*),
                                   void (Vxi11Connection::*procedure)(Arguments&, Link&, Result&)) {
        return answerCall(xid, bytes, decode, encode, [&](Arguments& arguments, Result& result) {
            const auto link = links_.find(linkOf(arguments));
            if (link == links_.end())
                result.error = vxi11::errorInvalidLink;
            else if (mayGoOn(arguments, link->second, result.error))
                (this->*procedure)(arguments, link->second, result);
        });
    }

    // Whether a call with ARGUMENTS on LINK may be carried out: those whose arguments carry a
    // lock_timeout may not while another link holds the instrument's lock. Such a call with
    // waitlock is set to wait (lockWaitUntil_) until its lock_timeout has passed since it came;
    // one without, or whose wait is over, fails with ERROR 11. destroy_link and device_unlock
    // always go on.
    template <typename Arguments>
    bool mayGoOn(const Arguments& arguments, const Link& link, int& error) {
        if constexpr (requires { arguments.lock_timeout; }) {
            if (!link.instrument->lockedAgainst(link.client))
                return true;
            waitForLockOrRefuse(arguments, error);
            return false;
        }
        return true;
    }

    // For a call with ARGUMENTS that another link's lock keeps out: sets it to wait when it
    // has waitlock and its lock_timeout has not passed since it came, else fails it with ERROR
    // 11.
    template <typename Arguments> void waitForLockOrRefuse(const Arguments& arguments, int& error) {
        const auto deadline =
            retryDeadline_.value_or(Clock::now() + Milliseconds{arguments.lock_timeout});
        if ((arguments.flags & vxi11::flagWaitLock) != 0 && Clock::now() < deadline)
            lockWaitUntil_ = deadline;
        else
            error = vxi11::errorDeviceLocked;
    }

    // Links to the instrument of the given device name, or fails with error 3; with error 9 when
    // the connection holds as many links as it may.
    void createLink(Create_LinkParms& arguments, Create_LinkResp& result) {
        if (links_.size() >= largestLinks) {
            result.error = vxi11::errorOutOfResources;
            return;
        }
        result.error = vxi11::errorDeviceNotAccessible;
        for (const auto& instrument : instruments_) {
            if (instrument->definition().name == arguments.device) {
                result.error = vxi11::errorNone;
                result.lid = nextLink++;
                result.maxRecvSize = instrument->definition().maxRecvSize;
                links_[result.lid] = {
                    .instrument = instrument.get(),
                    .client = instrument->join(number_, Reading::onRequest, wake_.fd())};
            }
        }
    }

    // The bytes of input that the connection's links hold.
    std::size_t heldInput() const {
        std::size_t total = 0;
        for (const auto& [lid, link] : links_)
            total += link.input.size();
        return total;
    }

    // Takes at most maxRecvSize bytes into the link's input and executes what is complete; a
    // command may drop the connection instead of the reply.
    void deviceWrite(Device_WriteParms& arguments, Link& link, Device_WriteResp& result) {
        const std::uint32_t limit = link.instrument->definition().maxRecvSize;
        const std::uint32_t length = arguments.data.data_len;
        const bool unlimited = limit == 0 || limit == std::numeric_limits<std::uint32_t>::max();
        const std::uint32_t accepted = unlimited ? length : std::min(length, limit);
        if (heldInput() + accepted > largestVxi11Input) {
            link.input.clear();
            result.error = vxi11::errorOutOfResources;
            return;
        }
        link.input.append(std::string_view(arguments.data.data_val, accepted));
        const bool end = (arguments.flags & vxi11::flagEnd) != 0 && accepted == length;
        const Effect effect = link.input.run(*link.instrument, link.client, 0, end);
        if (effect.dropConnection) {
            droppingConnection_ = true;
            return;
        }
        stall_ = effect.stall;
        hangingUp_ = effect.hangUpAfterReply;
        result.error = effect.vxi11Error;
        result.size = effect.vxi11Error == 0 ? accepted : 0;
    }

    // Takes a device_read: answered at once when its link is unknown or an answer is ready,
    // parked otherwise (the reply then comes empty).
    std::vector<char> startRead(std::uint32_t xid, std::span<char> bytes) {
        zemo::rpc::Decoded<Device_ReadParms> arguments(bytes, xdr_Device_ReadParms);
        if (!arguments.ok())
            return errorReply(xid, GARBAGE_ARGS);
        if (const auto link = links_.find(arguments->lid); link != links_.end()) {
            Device_ReadResp refused{};
            if (!mayGoOn(*arguments, link->second, refused.error))
                return lockWaitUntil_ ? std::vector<char>{}
                                      : successReply(xid, xdr_Device_ReadResp, refused);
        }
        ParkedRead read{xid, arguments->lid, arguments->requestSize, std::nullopt,
                        Clock::now() + Milliseconds{arguments->io_timeout}};
        if ((arguments->flags & vxi11::flagTermCharSet) != 0)
            read.termChar = arguments->termChar;
        auto readyAt = Clock::time_point::max();
        if (auto reply = tryRead(read, readyAt))
            return std::move(*reply);
        parked_ = read;
        return {};
    }

    // Empties the link's input, the link's answers and the unclaimed ones.
    void deviceClear(Device_GenericParms&, Link& link, Device_Error&) {
        link.input.clear();
        link.instrument->clear(link.client);
    }

    // The instrument's status byte as a serial poll reads it, with MAV when an answer to the
    // link's own commands waits; clears RQS.
    void deviceReadStb(Device_GenericParms&, Link& link, Device_ReadStbResp& result) {
        Instrument& instrument = *link.instrument;
        result.stb = instrument.serialPoll(instrument.answerWaitingFor(link.client));
    }

    void deviceTrigger(Device_GenericParms&, Link& link, Device_Error&) {
        link.instrument->trigger(link.client);
    }

    void deviceRemote(Device_GenericParms&, Link& link, Device_Error&) {
        link.instrument->setRemote(true);
    }

    void deviceLocal(Device_GenericParms&, Link& link, Device_Error&) {
        link.instrument->setRemote(false);
    }

    // Gives the link the instrument's lock, or waits for it (another link may have taken it
    // since mayGoOn looked).
    void deviceLock(Device_LockParms& arguments, Link& link, Device_Error& result) {
        if (!link.instrument->lock(link.client))
            waitForLockOrRefuse(arguments, result.error);
    }

    // Releases the link's lock; error 12 when it holds none.
    void deviceUnlock(Device_Link&, Link& link, Device_Error& result) {
        if (!link.instrument->unlock(link.client))
            result.error = vxi11::errorNoLockHeld;
    }

    // Forgets the link; the answers it did not read become unclaimed, and its lock is released.
    void destroyLink(Device_Link& lid, Link& link, Device_Error&) {
        forget(link);
        links_.erase(lid);
    }

    // Takes LINK from its instrument, with the service requests it watched for.
    void forget(Link& link) {
        if (link.requestHandle)
            link.instrument->unwatchRequests(wake_.fd());
        link.instrument->leave(link.client);
    }

    // Enables service requests for the link with the handle to pass back with each, or
    // disables them. A request raised before the link enabled them is not sent: the client
    // reads the status byte after enabling.
    void enableServiceRequests(Device_EnableSrqParms& arguments, Link& link, Device_Error&) {
        const bool watching = link.requestHandle.has_value();
        if (!arguments.enable) {
            if (watching)
                link.instrument->unwatchRequests(wake_.fd());
            link.requestHandle.reset();
            return;
        }
        const auto& handle = arguments.handle;
        link.requestHandle.emplace(handle.handle_val, handle.handle_val + handle.handle_len);
        if (!watching) {
            link.instrument->watchRequests(wake_.fd());
            link.toldRequest = link.instrument->serviceRequests().latest;
        }
    }

    // Records where the client serves its interrupt channel: error 29 when the connection has
    // one already, 8 for one over UDP, which the server does not call, and 5 for another
    // program or version than DEVICE_INTR 1, or no address or port.
    void createInterruptChannel(Device_RemoteFunc& arguments, Device_Error& result) {
        if (channel_)
            result.error = vxi11::errorChannelEstablished;
        else if (arguments.progFamily != vxi11::familyTcp)
            result.error = vxi11::errorNotSupported;
        else if (arguments.progNum != DEVICE_INTR || arguments.progVers != DEVICE_INTR_VERSION ||
                 arguments.hostAddr == 0 || arguments.hostPort == 0)
            result.error = vxi11::errorParameter;
        else
            channel_.emplace(arguments.hostAddr, arguments.hostPort);
    }

    // Closes the interrupt channel, dropping the calls not yet sent; error 6 when there is none.
    // destroy_intr_chan takes no arguments.
    std::vector<char> destroyInterruptChannel(std::uint32_t xid) {
        Device_Error result{};
        if (!channel_)
            result.error = vxi11::errorChannelNotEstablished;
        channel_.reset();
        return successReply(xid, xdr_Device_Error, result);
    }

    FileDescriptor connection_;
    const Instruments& instruments_;
    const std::uint64_t number_;
    const Milliseconds idleLimit_;
    std::map<int, Link> links_;
    // Written when an answer this connection's links may read is queued or given up, and when
    // an instrument that a link watches raises a service request.
    WakeUp wake_;
    // The client's interrupt channel, once announced.
    std::optional<InterruptChannel> channel_;
    std::optional<ParkedRead> parked_;
    std::optional<LockWait> lockWait_;
    // Set by mayGoOn when the call being answered is to wait for a lock until then.
    std::optional<Clock::time_point> lockWaitUntil_;
    // While a waiting call is answered again: when its wait ends.
    std::optional<Clock::time_point> retryDeadline_;
    // The reply to the latest call, sent once REPLYAT has come (a stall withholds it).
    std::vector<char> reply_;
    Clock::time_point replyAt_;
    bool replyQueued_ = false;
    Milliseconds stall_{0};
    Clock::time_point lastActivity_;
    // The data of the device_read being answered; released once its reply is made.
    std::vector<char> readBuffer_;
    char voidResult = 0;
    // Set when the connection is to close after the reply now being sent.
    bool hangingUp_ = false;
    // Set when the connection is to close without the reply now being made.
    bool droppingConnection_ = false;
};

} // namespace

void serveVxi11(FileDescriptor connection, const Instruments& instruments, std::uint64_t number,
                Milliseconds idleLimit) {
    Vxi11Connection(std::move(connection), instruments, number, idleLimit).serve();
}

namespace {

// True when ADDRESS is an IPv6 address (listenTcp accepted it, so it is IPv4 otherwise).
bool isIpv6(const std::string& address) {
    return address.find(':') != std::string::npos;
}

// Withdraws the registration of the core channel for ADDRESS's kind of address, if any.
void unregisterCoreChannel(const std::string& address) {
    if (!isIpv6(address)) {
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
        return;
    }
    netconfig* tcp6 = getnetconfigent("tcp6");
    if (tcp6 != nullptr) {
        rpcb_unset(DEVICE_CORE, DEVICE_CORE_VERSION, tcp6);
        freenetconfigent(tcp6);
    }
}

// Registers the core channel listening at ADDRESS, PORT with rpcbind: a tcp6 entry at that
// address for IPv6, where a version 2 entry would send IPv4 clients to a port nobody listens
// on for them. Throws std::runtime_error when rpcbind refuses.
void registerCoreChannel(const std::string& address, unsigned short port) {
    unregisterCoreChannel(address);
    bool registered = false;
    if (!isIpv6(address))
        registered = pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, port) != 0;
    else if (netconfig* tcp6 = getnetconfigent("tcp6")) {
        sockaddr_in6 served{};
        served.sin6_family = AF_INET6;
        served.sin6_port = htons(port);
        ::inet_pton(AF_INET6, address.c_str(), &served.sin6_addr);
        const netbuf where{sizeof served, sizeof served, &served};
        registered = rpcb_set(DEVICE_CORE, DEVICE_CORE_VERSION, tcp6, &where) != 0;
        freenetconfigent(tcp6);
    }
    if (!registered)
        throw std::runtime_error("cannot register with rpcbind; is it running?");
}

// The VXI-11 core channel: one port for all instruments, named by their device names, and
// with -r a registration with rpcbind and the names without a port.
class Vxi11Protocol : public Protocol {
  public:
    void open(const ServeOptions& options, const Instruments& instruments) override {
        instruments_ = &instruments;
        address_ = options.address;
        listener_ = listenTcp(options.address, options.vxi11Port);
        if (options.registerWithRpcbind) {
            registerCoreChannel(options.address, listener_.port);
            registered_ = true;
        }
    }

    std::vector<InterfaceName> names(std::size_t i) const override {
        const std::string host = hostName(address_);
        const std::string& device = (*instruments_)[i]->definition().name;
        std::vector<InterfaceName> names{
            {"vxi11", "vxi11/" + host + ':' + std::to_string(listener_.port) + '/' + device}};
        if (registered_)
            names.push_back({"vxi11-portmap", "vxi11/" + host + '/' + device});
        return names;
    }

    void start(const Instruments& instruments) override {
        std::thread([this, &instruments] {
            acceptForever(listener_, [&instruments](FileDescriptor c, std::uint64_t number) {
                serveVxi11(std::move(c), instruments, number);
            });
        }).detach();
    }

    void stop() override {
        if (std::exchange(registered_, false))
            unregisterCoreChannel(address_);
    }

  private:
    const Instruments* instruments_ = nullptr;
    std::string address_;
    Listener listener_;
    bool registered_ = false;
};

} // namespace

std::unique_ptr<Protocol> vxi11Protocol() {
    return std::make_unique<Vxi11Protocol>();
}

} // namespace zemosim
