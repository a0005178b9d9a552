// The VXI-11 transport: ONC RPC calls on an instrument's core channel through our own call loop,
// with the XDR routines that rpcgen makes from vxi11.x. One link per interface; the core channel's
// port comes from the portmapper unless the name gives it.
//
// Service requests: the handle's first wait serves the interrupt channel (interrupt_channel.h)
// on a port the system chooses at the local address of the core channel, announces it with
// create_intr_chan (that IPv4 address, the port, program DEVICE_INTR version 1, family TCP) and
// enables requests for the link with device_enable_srq, giving the channel's handle, random bytes
// of its own. A request is a device_intr_srq call with that handle; the wait then reads the
// status byte with device_readstb. create_intr_chan names an IPv4 address only, so over IPv6
// every wait fails at once. Closing disables requests, sends destroy_intr_chan, closes the
// channel and destroys the link; a step the device refuses keeps none of the others from
// running, and after a failure that broke the connection the device drops what is left of the
// link when the connection closes with the transport.
#include "failure_latch.h"
#include "interrupt_channel.h"
#include "rpc_client.h"
#include "transport.h"
#include "zemonet/tcp.h"
#include "zemonet/vxi11proto.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <thread>

#include <arpa/inet.h>
#include <rpc/pmap_prot.h>
#include <rpc/rpcb_prot.h>
#include <sys/socket.h>

namespace zemo {

namespace {

constexpr unsigned short portmapperPort = 111;
// A call waits for its reply this much longer than the I/O timeout it gives the device, so that
// the device's own timeout error can arrive first.
constexpr Milliseconds rpcMargin{200};
// maxRecvSize as reported is sometimes 0 or 2^32-1: 0 falls back to this ...
constexpr std::uint32_t fallbackMaxRecvSize = 4096;
// ... and every value is capped at this.
constexpr std::uint32_t largestWritePiece = 1 << 20;

// While another link holds the lock, a call is made again after this pause, until its deadline:
// waitlock is never set on the calls other than device_lock, since some devices refuse every
// call that carries it.
constexpr Milliseconds lockRetryPause{20};

// The largest reply to a call other than device_read: a few integers.
constexpr std::size_t largestSmallReply = 1024;
// The room a device_read reply needs beyond its data.
constexpr std::size_t readReplyOverhead = 1024;

// The longest universal address an rpcbind reply may carry ("ADDRESS.P1.P2").
constexpr u_int largestUniversalAddress = 128;

// True when SOCKET is connected over IPv6 (an IPv4 address mapped into IPv6 is IPv4).
bool connectedOverIpv6(const FileDescriptor& socket) {
    sockaddr_in6 peer{};
    socklen_t length = sizeof peer;
    return ::getpeername(socket.get(), reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
           peer.sin6_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&peer.sin6_addr);
}

bool_t decodeUniversalAddress(XDR* xdr, char** address) {
    return xdr_string(xdr, address, largestUniversalAddress);
}

// The port of universal address ADDRESS, "HOST.P1.P2" meaning P1 * 256 + P2; 0 when it is empty,
// above 65535 when it is malformed.
unsigned long universalPort(const std::string& address) {
    const auto low = address.rfind('.');
    const auto high =
        low == std::string::npos || low == 0 ? std::string::npos : address.rfind('.', low - 1);
    if (address.empty())
        return 0;
    if (high == std::string::npos)
        return 65536;
    const auto number = [](const std::string& text) -> unsigned long {
        const bool digits = !text.empty() && text.size() <= 3 &&
                            text.find_first_not_of("0123456789") == std::string::npos;
        return digits ? std::stoul(text) : 256;
    };
    const unsigned long p1 = number(address.substr(high + 1, low - high - 1));
    const unsigned long p2 = number(address.substr(low + 1));
    return p1 > 255 || p2 > 255 ? 65536 : p1 * 256 + p2;
}

// Asks rpcbind version VERSION on the connected SOCKET for the tcp6 address of the core
// channel and returns its port (0 when it knows none). Throws Error as RpcClient::call does.
unsigned long askRpcbindForTcp6(FileDescriptor socket, rpcvers_t version,
                                Clock::time_point deadline) {
    RpcClient rpcbind(std::move(socket), RPCBPROG, version, "portmapper");
    rpcb query{DEVICE_CORE, DEVICE_CORE_VERSION, const_cast<char*>("tcp6"), const_cast<char*>(""),
               const_cast<char*>("")};
    char* address = nullptr;
    const std::string name = "portmapper GETADDR (version " + std::to_string(version) + ")";
    rpcbind.call(RPCBPROC_GETADDR, name, xdr_rpcb, query, decodeUniversalAddress, address, deadline,
                 largestSmallReply);
    const std::string text = address != nullptr ? address : "";
    xdr_free(reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(decodeUniversalAddress)),
             reinterpret_cast<char*>(&address));
    return universalPort(text);
}

// Asks rpcbind on HOST, connected over IPv6 on SOCKET, for the port of a tcp6 entry of the core
// channel: version 4, then version 3 when the server refuses version 4. Returns 0 when neither
// answers one, leaving SOCKET connected anew for the look-up that follows.
unsigned long lookUpTcp6Port(const std::string& host, FileDescriptor& socket,
                             Clock::time_point deadline) {
    unsigned long port = 0;
    for (const rpcvers_t version : {RPCBVERS4, RPCBVERS}) {
        bool answered = false;
        try {
            port = askRpcbindForTcp6(std::move(socket), version, deadline);
            answered = true;
        } catch (const Error& error) {
            if (error.timedOut())
                throw;
        }
        if (port != 0)
            return port;
        socket = connectTcp(host, portmapperPort, deadline, "the portmapper");
        if (answered)
            break;
    }
    return 0;
}

// Asks the portmapper on HOST for the port of the VXI-11 core channel, by DEADLINE. Over IPv6 it
// asks rpcbind for a tcp6 entry first, then falls back to version 2, which knows IPv4 entries
// only.
unsigned short lookUpCorePort(const std::string& host, Clock::time_point deadline) {
    FileDescriptor socket = connectTcp(host, portmapperPort, deadline, "the portmapper");
    unsigned long port = connectedOverIpv6(socket) ? lookUpTcp6Port(host, socket, deadline) : 0;
    if (port == 0) {
        RpcClient portmapper(std::move(socket), PMAPPROG, PMAPVERS, "portmapper");
        pmap query{DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, 0};
        u_long answered = 0;
        portmapper.call(PMAPPROC_GETPORT, "portmapper GETPORT", xdr_pmap, query, xdr_u_long,
                        answered, deadline, largestSmallReply);
        port = answered;
    }
    if (port == 0)
        throw failure("the portmapper on '" + host +
                      "' knows no VXI-11 core channel (program 395183 version 1)");
    if (port > 65535)
        throw failure("the portmapper on '" + host + "' answered an invalid port, " +
                      std::to_string(port) + ", for the VXI-11 core channel");
    return static_cast<unsigned short>(port);
}

// What one device_read reply carries, decoded straight into the caller's buffer.
struct ReadReply {
    Device_ErrorCode error = 0;
    int reason = 0;
    u_int size = 0;
    std::span<std::byte> buffer;
    bool tooLong = false;
};

// Decodes a Device_ReadResp into REPLY, its data straight into REPLY's buffer; fails, setting
// tooLong, when the data would not fit.
bool_t decodeReadReply(XDR* xdr, ReadReply* reply) {
    if (xdr_int(xdr, &reply->error) == 0 || xdr_int(xdr, &reply->reason) == 0 ||
        xdr_u_int(xdr, &reply->size) == 0)
        return 0;
    if (reply->size > reply->buffer.size()) {
        reply->tooLong = true;
        return 0;
    }
    return xdr_opaque(xdr, reinterpret_cast<char*>(reply->buffer.data()), reply->size);
}

// The device's error CODE as an Error for procedure NAME; error 15 is a timeout.
Error deviceError(const std::string& name, int code) {
    const std::string reason = name + " failed: " + vxi11::errorMeaning(code) + " (VXI-11 error " +
                               std::to_string(code) + ")";
    return code == vxi11::errorIoTimeout ? timeout(reason) : failure(reason);
}

// The timeout of call NAME that found the device locked by another link for WAITED.
Error lockedOut(const std::string& name, Milliseconds waited) {
    return timeout(name + ": the instrument is locked by another client (VXI-11 error 11) for " +
                   millisecondsText(waited));
}

// The IPv4 address of this end of the connected SOCKET, where the interrupt channel listens. An
// IPv4 address mapped into IPv6 is one; over IPv6 proper there is none to announce.
in_addr localIpv4Address(int socket) {
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        throw failure("cannot read the local address of the core channel: " + systemError(errno));
    in_addr address{};
    if (local.sin6_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(&local)->sin_addr;
    if (IN6_IS_ADDR_V4MAPPED(&local.sin6_addr)) {
        std::memcpy(&address, &local.sin6_addr.s6_addr[12], sizeof address);
        return address;
    }
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET6, &local.sin6_addr, text, sizeof text);
    throw failure("service requests over VXI-11 need IPv4: the standard announces the interrupt "
                  "channel with an IPv4 address only, and this link runs over IPv6 (" +
                  std::string(text) + ")");
}

// The arguments of destroy_intr_chan: none.
struct NoArguments {};
bool_t encodeNoArguments(XDR*, NoArguments*) {
    return xdr_void();
}

// TIME as the 32-bit count of milliseconds of a VXI-11 timeout field, capped at its largest.
std::uint32_t milliseconds32(Milliseconds time) {
    return static_cast<std::uint32_t>(
        std::min<Milliseconds::rep>(time.count(), std::numeric_limits<std::uint32_t>::max()));
}

class Vxi11Transport final : public Transport {
  public:
    // Links to DEVICE on the core channel SOCKET; create_link must be answered by DEADLINE.
    Vxi11Transport(FileDescriptor socket, const std::string& device, Clock::time_point deadline)
        : rpc_(std::move(socket), DEVICE_CORE, DEVICE_CORE_VERSION, "core channel") {
        std::random_device random;
        Create_LinkParms parameters{};
        parameters.clientId = static_cast<int>(random() & 0x7fffffff);
        parameters.lockDevice = 0;
        parameters.lock_timeout = 0;
        parameters.device = const_cast<char*>(device.c_str());
        Create_LinkResp reply{};
        rpc_.call(create_link, "create_link", xdr_Create_LinkParms, parameters, xdr_Create_LinkResp,
                  reply, deadline, largestSmallReply);
        if (reply.error != 0)
            throw deviceError("create_link for device '" + device + "'", reply.error);
        link_ = reply.lid;
        linked_ = true;
        maxRecvSize_ = reply.maxRecvSize == 0 ? fallbackMaxRecvSize
                                              : std::min(reply.maxRecvSize, largestWritePiece);
    }

    void setTimeout(Milliseconds timeout) override { timeout_ = timeout; }

    // Every later device_read asks the device to end at BYTE too (termchrset).
    void setTermChar(char byte) override { termChar_ = byte; }

    // Sends DATA in pieces of at most maxRecvSize, END on the last piece when asked, all within
    // one timeout.
    void write(std::span<const std::byte> data, bool end) override {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        const std::size_t total = data.size();
        do {
            const auto piece = data.first(std::min<std::size_t>(data.size(), maxRecvSize_));
            const bool last = piece.size() == data.size();
            Device_WriteParms parameters{};
            parameters.lid = link_;
            parameters.flags = last && end ? vxi11::flagEnd : 0;
            parameters.data.data_len = static_cast<u_int>(piece.size());
            parameters.data.data_val =
                const_cast<char*>(reinterpret_cast<const char*>(piece.data()));
            Device_WriteResp reply{};
            retriedWhileLocked("device_write", deadline, [&] {
                parameters.io_timeout = milliseconds32(remaining(deadline));
                guarded([&] {
                    rpc_.call(device_write, "device_write", xdr_Device_WriteParms, parameters,
                              xdr_Device_WriteResp, reply, deadline + rpcMargin, largestSmallReply);
                });
                return reply.error;
            });
            if (reply.error != 0)
                throw deviceError("device_write", reply.error);
            if (reply.size > piece.size() || (reply.size == 0 && !piece.empty()))
                throw failure("device_write: the device accepted " + std::to_string(reply.size) +
                              " of " + std::to_string(piece.size()) + " bytes");
            data = data.subspan(reply.size);
            if (!data.empty() && Clock::now() >= deadline)
                throw timeout("device_write: the device took " +
                              std::to_string(total - data.size()) + " of " + std::to_string(total) +
                              " bytes within " + millisecondsText(timeout_));
        } while (!data.empty());
    }

    // Reads with device_read until END, the termination character, the requested count, or the
    // timeout, which counts once for the whole read; at the timeout, or when the device fails a
    // later device_read, the bytes that have arrived are returned. The reason is that of the
    // last device_read, with the count when the buffer is full.
    ReadResult read(std::span<std::byte> buffer) override {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        std::size_t total = 0;
        unsigned reason = 0;
        while (total < buffer.size()) {
            const auto rest = buffer.subspan(total);
            Device_ReadParms parameters{};
            parameters.lid = link_;
            parameters.requestSize = static_cast<u_int>(
                std::min<std::size_t>(rest.size(), std::numeric_limits<std::int32_t>::max()));
            if (termChar_) {
                parameters.flags = vxi11::flagTermCharSet;
                parameters.termChar = *termChar_;
            }
            ReadReply reply;
            reply.buffer = rest.first(parameters.requestSize);
            try {
                retriedWhileLocked("device_read", deadline, [&] {
                    parameters.io_timeout = milliseconds32(remaining(deadline));
                    guarded([&] {
                        rpc_.call(device_read, "device_read", xdr_Device_ReadParms, parameters,
                                  decodeReadReply, reply, deadline + rpcMargin,
                                  parameters.requestSize + readReplyOverhead);
                    });
                    return reply.error;
                });
            } catch (const Error&) {
                if (reply.tooLong)
                    throw failure("device_read: the device sent " + std::to_string(reply.size) +
                                  " bytes for a request of " +
                                  std::to_string(parameters.requestSize));
                if (total > 0)
                    return {total, 0};
                throw;
            }
            total += reply.size;
            if (reply.error != 0) {
                if (total == 0)
                    throw deviceError("device_read", reply.error);
                // The bytes that came go to the caller; a failure other than the timeout is
                // the next call's to report.
                if (reply.error != vxi11::errorIoTimeout)
                    latch_.holdBack(deviceError("device_read", reply.error));
                return {total, 0};
            }
            reason =
                static_cast<unsigned>(reply.reason) & (reasonCount | reasonTermChar | reasonEnd);
            if ((reason & (reasonEnd | reasonTermChar)) != 0)
                break;
            if (Clock::now() >= deadline) {
                if (total > 0)
                    break;
                throw timeout("device_read: no data within " + millisecondsText(timeout_));
            }
        }
        if (total == buffer.size() && !buffer.empty())
            reason |= reasonCount;
        return {total, reason};
    }

    // device_clear: the device empties its input and output queues.
    void clear() override {
        genericCall<Device_Error>(device_clear, "device_clear", xdr_Device_Error);
    }

    // device_readstb: through a GPIB gateway the serial poll, on a LAN instrument the status
    // byte as it stands.
    std::uint8_t readStatusByte() override {
        return genericCall<Device_ReadStbResp>(device_readstb, "device_readstb",
                                               xdr_Device_ReadStbResp)
            .stb;
    }

    void trigger() override {
        genericCall<Device_Error>(device_trigger, "device_trigger", xdr_Device_Error);
    }

    void remote() override {
        genericCall<Device_Error>(device_remote, "device_remote", xdr_Device_Error);
    }

    void local() override {
        genericCall<Device_Error>(device_local, "device_local", xdr_Device_Error);
    }

    // device_lock with waitlock: the device waits up to WAIT for another link's lock to go.
    void lock(Milliseconds wait) override {
        checkUsable();
        Device_LockParms parameters{};
        parameters.lid = link_;
        parameters.flags = vxi11::flagWaitLock;
        parameters.lock_timeout = milliseconds32(wait);
        Device_Error reply{};
        guarded([&] {
            rpc_.call(device_lock, "device_lock", xdr_Device_LockParms, parameters,
                      xdr_Device_Error, reply, Clock::now() + wait + rpcMargin, largestSmallReply);
        });
        if (reply.error == vxi11::errorDeviceLocked)
            throw lockedOut("device_lock", wait);
        if (reply.error != 0)
            throw deviceError("device_lock", reply.error);
    }

    // device_unlock; error 12 when this link holds no lock.
    void unlock() override { errorCall(device_unlock, "device_unlock", xdr_Device_Link, link_); }

    // Ends service requests when a wait enabled them, closes the interrupt channel, then
    // destroy_link, which releases the link's lock; the connection closes with the object. A step
    // the device refuses does not keep the later ones from running; the first failure is
    // reported once all have run, and a failure that broke the connection ends the steps.
    void close() override {
        checkUsable();
        std::optional<Error> failed;
        const auto step = [this, &failed](auto run) {
            try {
                checkUsable();
                run();
            } catch (const Error& error) {
                if (!failed)
                    failed = error;
            }
        };
        if (requestsEnabled_)
            step([this] { enableRequests(false); });
        if (channelAnnounced_)
            step([this] {
                NoArguments none;
                errorCall(destroy_intr_chan, "destroy_intr_chan", encodeNoArguments, none);
            });
        interrupts_.reset();
        step([this] {
            linked_ = false;
            Device_Error reply{};
            rpc_.call(destroy_link, "destroy_link", xdr_Device_Link, link_, xdr_Device_Error, reply,
                      Clock::now() + timeout_ + rpcMargin, largestSmallReply);
            if (reply.error != 0)
                throw deviceError("destroy_link", reply.error);
        });
        if (failed)
            throw *failed;
    }

  protected:
    // Serves the interrupt channel, announces it and enables requests, each call within the I/O
    // timeout as every call of the link; a wait after one that failed repeats only the steps
    // that have not succeeded.
    void enableServiceRequests(Clock::time_point) override {
        checkUsable();
        if (!interrupts_)
            interrupts_.emplace(localIpv4Address(rpc_.socket()));
        if (!channelAnnounced_) {
            Device_RemoteFunc where{};
            where.hostAddr = ntohl(interrupts_->address().s_addr);
            where.hostPort = interrupts_->port();
            where.progNum = DEVICE_INTR;
            where.progVers = DEVICE_INTR_VERSION;
            where.progFamily = vxi11::familyTcp;
            errorCall(create_intr_chan, "create_intr_chan", xdr_Device_RemoteFunc, where);
            channelAnnounced_ = true;
        }
        enableRequests(true);
        requestsEnabled_ = true;
    }

    // Serves the interrupt channel until a request comes, then reads the status byte. A status
    // byte without RQS means the request was dealt with already (the status byte was read, or
    // *CLS sent, after it came, as when it was kept while nobody waited): the wait goes on for
    // the next one, since the byte it returns has RQS set, until DEADLINE, however many such
    // requests the device sends.
    std::optional<std::uint8_t> awaitServiceRequest(Clock::time_point deadline) override {
        checkUsable();
        do {
            if (!interrupts_->awaitRequest(deadline))
                return std::nullopt;
            if (const std::uint8_t stb = readStatusByte(); (stb & requestingService) != 0)
                return stb;
        } while (Clock::now() < deadline);
        return std::nullopt;
    }

  private:
    // device_enable_srq for the link with the interrupt channel's handle: ENABLE or disable.
    void enableRequests(bool enable) {
        const auto handle = interrupts_->handle();
        Device_EnableSrqParms parameters{};
        parameters.lid = link_;
        parameters.enable = enable ? 1 : 0;
        parameters.handle.handle_len = static_cast<u_int>(handle.size());
        parameters.handle.handle_val = const_cast<char*>(handle.data());
        errorCall(device_enable_srq, "device_enable_srq", xdr_Device_EnableSrqParms, parameters);
    }

    // Calls PROCEDURE (named NAME), whose reply is a Device_Error, with ARGUMENTS encoded by
    // ENCODE within the I/O timeout; throws the device's error.
    template <typename Arguments>
    void errorCall(std::uint32_t procedure, const std::string& name,
                   bool_t (*encode)(XDR*, Arguments*), Arguments& arguments) {
        checkUsable();
        Device_Error reply{};
        guarded([&] {
            rpc_.call(procedure, name, encode, arguments, xdr_Device_Error, reply,
                      Clock::now() + timeout_ + rpcMargin, largestSmallReply);
        });
        if (reply.error != 0)
            throw deviceError(name, reply.error);
    }

    // Calls PROCEDURE (named NAME), whose arguments are Device_GenericParms, within the timeout,
    // again while another link holds the lock, and returns its reply, decoded by DECODE, when
    // it reports no error.
    template <typename Reply>
    Reply genericCall(std::uint32_t procedure, const std::string& name,
                      bool_t (*decode)(XDR*, Reply*)) {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        Device_GenericParms parameters{};
        parameters.lid = link_;
        Reply reply{};
        retriedWhileLocked(name, deadline, [&] {
            parameters.io_timeout = milliseconds32(remaining(deadline));
            guarded([&] {
                rpc_.call(procedure, name, xdr_Device_GenericParms, parameters, decode, reply,
                          deadline + rpcMargin, largestSmallReply);
            });
            return reply.error;
        });
        if (reply.error != 0)
            throw deviceError(name, reply.error);
        return reply;
    }

    // Runs ATTEMPT, one call of NAME that returns the device's error code, again after a pause
    // while the device answers that another link holds the lock; at DEADLINE the call times out
    // naming the lock.
    template <typename Attempt>
    void retriedWhileLocked(const std::string& name, Clock::time_point deadline, Attempt attempt) {
        while (attempt() == vxi11::errorDeviceLocked) {
            if (Clock::now() >= deadline)
                throw lockedOut(name, timeout_);
            std::this_thread::sleep_for(std::min(lockRetryPause, remaining(deadline)));
        }
    }

    // Runs one RPC call; a failure of the call itself breaks the link for every later call.
    template <typename Call> void guarded(Call call) {
        try {
            call();
        } catch (const Error& error) {
            latch_.breakLink(error);
            throw;
        }
    }

    void checkUsable() {
        latch_.check();
        if (!linked_)
            throw failure("the link is closed");
    }

    RpcClient rpc_;
    Device_Link link_ = 0;
    bool linked_ = false;
    std::uint32_t maxRecvSize_ = fallbackMaxRecvSize;
    Milliseconds timeout_ = defaultTimeout;
    // The termination character of the reads, once zemo_set_termchar has set one.
    std::optional<char> termChar_;
    FailureLatch latch_{"link"};
    // From the first wait for a service request on: the interrupt channel, whether the device
    // accepted it (create_intr_chan) and whether it sends requests (device_enable_srq).
    std::optional<InterruptChannel> interrupts_;
    bool channelAnnounced_ = false;
    bool requestsEnabled_ = false;
};

std::unique_ptr<Transport> openVxi11(std::string_view address) {
    const std::string form(vxi11Transport.form);
    const auto slash = address.find('/');
    const HostPort host = splitHostPort(address.substr(0, slash), form);
    std::string device = "inst0";
    if (slash != std::string_view::npos) {
        device = std::string(address.substr(slash + 1));
        if (device.empty())
            throw failure("missing device after '/'; " + vxi11Transport.expected());
    }
    // Opening as a whole, look-up, connection and create_link, keeps to the connect limit.
    const auto deadline = Clock::now() + connectTimeout();
    const unsigned short port =
        host.port.empty() ? lookUpCorePort(host.host, deadline) : parsePort(host.port, form);
    return std::make_unique<Vxi11Transport>(connectTcp(host.host, port, deadline), device,
                                            deadline);
}

} // namespace

const TransportEntry vxi11Transport{"vxi11", "vxi11/HOST[:PORT][/DEVICE]", openVxi11};

} // namespace zemo
