// The VXI-11 transport: ONC RPC calls on an instrument's core channel through libtirpc, with
// the XDR routines that rpcgen makes from vxi11.x. One link per interface; the core channel's
// port comes from the portmapper unless the name gives it.
#include "transport.h"
#include "zemonet/rpc.h"
#include "zemonet/tcp.h"
#include "zemonet/vxi11proto.h"

#include <limits>
#include <optional>
#include <random>

#include <rpc/pmap_prot.h>
#include <sys/socket.h>

namespace zemo {

namespace {

const std::string vxi11Form = "vxi11/HOST[:PORT][/DEVICE]";
constexpr unsigned short portmapperPort = 111;
// The RPC timeout is the I/O timeout plus this, so that the device's own timeout error arrives
// before the client gives up.
constexpr Milliseconds rpcMargin{1000};
// maxRecvSize as reported is sometimes 0 or 2^32-1: 0 falls back to this ...
constexpr std::uint32_t fallbackMaxRecvSize = 4096;
// ... and every value is capped at this.
constexpr std::uint32_t largestWritePiece = 1 << 20;
constexpr u_int rpcBufferSize = 256 * 1024;

// TIME as the timeval that clnt_call takes.
timeval toTimeval(Milliseconds time) {
    return {static_cast<time_t>(time.count() / 1000),
            static_cast<suseconds_t>(time.count() % 1000 * 1000)};
}

// An RPC client on one connected TCP socket; destroying it closes the socket.
class RpcClient {
  public:
    // Makes a client for PROGRAM version VERSION on SOCKET. Throws Error naming WHAT.
    RpcClient(FileDescriptor socket, rpcprog_t program, rpcvers_t version,
              const std::string& what) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(socket.get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
            throw failure(what + ": " + systemError(errno));
        netbuf address{length, length, &peer};
        client_ =
            clnt_vc_create(socket.get(), &address, program, version, rpcBufferSize, rpcBufferSize);
        if (client_ == nullptr)
            throw failure(what + ": " + clnt_sperrno(rpc_createerr.cf_stat));
        clnt_control(client_, CLSET_FD_CLOSE, nullptr);
        socket.release();
    }
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;
    ~RpcClient() { clnt_destroy(client_); }

    // Calls PROCEDURE with ARGUMENTS and decodes RESULT, waiting at most WAIT for the reply.
    // Throws Error naming the procedure: ZEMO_TIMEOUT when no reply came in time.
    template <typename Arguments, typename Result>
    void call(unsigned procedure, const char* name, bool_t (*encode)(XDR*, Arguments*),
              Arguments& arguments, bool_t (*decode)(XDR*, Result*), Result& result,
              Milliseconds wait) {
        const SigpipeBlocked quiet;
        const clnt_stat status =
            clnt_call(client_, procedure, xdrProcedure(encode), reinterpret_cast<char*>(&arguments),
                      xdrProcedure(decode), reinterpret_cast<char*>(&result), toTimeval(wait));
        if (status == RPC_SUCCESS)
            return;
        if (status == RPC_TIMEDOUT)
            throw timeout(std::string(name) + ": no reply from the instrument (" +
                          clnt_sperrno(status) + ")");
        throw failure(std::string(name) + " failed: " + describe(status));
    }

  private:
    std::string describe(clnt_stat status) const {
        std::string text = clnt_sperrno(status);
        rpc_err error{};
        clnt_geterr(client_, &error);
        if ((status == RPC_CANTSEND || status == RPC_CANTRECV) && error.re_errno != 0)
            text += " (" + systemError(error.re_errno) + ")";
        return text;
    }

    CLIENT* client_ = nullptr;
};

// Asks the portmapper on HOST for the port of the VXI-11 core channel.
unsigned short lookUpCorePort(const std::string& host) {
    RpcClient portmapper(connectTcp(host, portmapperPort, "the portmapper"), PMAPPROG, PMAPVERS,
                         "portmapper");
    pmap query{DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, 0};
    u_long port = 0;
    portmapper.call(PMAPPROC_GETPORT, "portmapper GETPORT", xdr_pmap, query, xdr_u_long, port,
                    connectTimeout());
    if (port == 0 || port > 65535)
        throw failure("the portmapper on '" + host +
                      "' knows no VXI-11 core channel (program 395183 version 1)");
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

// TIME as the 32-bit count of milliseconds of a VXI-11 timeout field, capped at its largest.
std::uint32_t milliseconds32(Milliseconds time) {
    return static_cast<std::uint32_t>(
        std::min<Milliseconds::rep>(time.count(), std::numeric_limits<std::uint32_t>::max()));
}

class Vxi11Transport final : public Transport {
  public:
    Vxi11Transport(FileDescriptor socket, const std::string& device)
        : rpc_(std::move(socket), DEVICE_CORE, DEVICE_CORE_VERSION, "core channel") {
        std::random_device random;
        Create_LinkParms parameters{};
        parameters.clientId = static_cast<int>(random() & 0x7fffffff);
        parameters.lockDevice = 0;
        parameters.lock_timeout = 0;
        parameters.device = const_cast<char*>(device.c_str());
        Create_LinkResp reply{};
        rpc_.call(create_link, "create_link", xdr_Create_LinkParms, parameters, xdr_Create_LinkResp,
                  reply, timeout_ + rpcMargin);
        if (reply.error != 0)
            throw deviceError("create_link for device '" + device + "'", reply.error);
        link_ = reply.lid;
        linked_ = true;
        maxRecvSize_ = reply.maxRecvSize == 0 ? fallbackMaxRecvSize
                                              : std::min(reply.maxRecvSize, largestWritePiece);
    }

    void setTimeout(Milliseconds timeout) override { timeout_ = timeout; }

    // Sends DATA in pieces of at most maxRecvSize, END on the last piece when asked, all within
    // one timeout.
    void write(std::span<const std::byte> data, bool end) override {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        do {
            const auto piece = data.first(std::min<std::size_t>(data.size(), maxRecvSize_));
            const bool last = piece.size() == data.size();
            Device_WriteParms parameters{};
            parameters.lid = link_;
            parameters.io_timeout = milliseconds32(remaining(deadline));
            parameters.flags = last && end ? vxi11::flagEnd : 0;
            parameters.data.data_len = static_cast<u_int>(piece.size());
            parameters.data.data_val =
                const_cast<char*>(reinterpret_cast<const char*>(piece.data()));
            Device_WriteResp reply{};
            guarded([&] {
                rpc_.call(device_write, "device_write", xdr_Device_WriteParms, parameters,
                          xdr_Device_WriteResp, reply, remaining(deadline) + rpcMargin);
            });
            if (reply.error != 0)
                throw deviceError("device_write", reply.error);
            if (reply.size > piece.size() || (reply.size == 0 && !piece.empty()))
                throw failure("device_write: the device accepted " + std::to_string(reply.size) +
                              " of " + std::to_string(piece.size()) + " bytes");
            data = data.subspan(reply.size);
        } while (!data.empty());
    }

    // Reads with device_read until END, the requested count, or the timeout, which counts once
    // for the whole read; at the timeout the bytes that have arrived are returned.
    std::size_t read(std::span<std::byte> buffer) override {
        checkUsable();
        const auto deadline = Clock::now() + timeout_;
        std::size_t total = 0;
        while (total < buffer.size()) {
            const auto rest = buffer.subspan(total);
            Device_ReadParms parameters{};
            parameters.lid = link_;
            parameters.requestSize = static_cast<u_int>(
                std::min<std::size_t>(rest.size(), std::numeric_limits<std::int32_t>::max()));
            parameters.io_timeout = milliseconds32(remaining(deadline));
            ReadReply reply;
            reply.buffer = rest.first(parameters.requestSize);
            try {
                guarded([&] {
                    rpc_.call(device_read, "device_read", xdr_Device_ReadParms, parameters,
                              decodeReadReply, reply, remaining(deadline) + rpcMargin);
                });
            } catch (const Error&) {
                if (reply.tooLong)
                    throw failure("device_read: the device sent " + std::to_string(reply.size) +
                                  " bytes for a request of " +
                                  std::to_string(parameters.requestSize));
                if (total > 0)
                    return total;
                throw;
            }
            total += reply.size;
            if (reply.error != 0) {
                if (total > 0 && reply.error == vxi11::errorIoTimeout)
                    return total;
                throw deviceError("device_read", reply.error);
            }
            if ((reply.reason & (vxi11::reasonEnd | vxi11::reasonTermChar)) != 0)
                break;
            if (Clock::now() >= deadline) {
                if (total > 0)
                    break;
                throw timeout("device_read: no data within " + std::to_string(timeout_.count()) +
                              " ms");
            }
        }
        return total;
    }

    // device_clear: the device empties its input and output queues.
    void clear() override {
        checkUsable();
        Device_GenericParms parameters{};
        parameters.lid = link_;
        parameters.io_timeout = milliseconds32(timeout_);
        Device_Error reply{};
        guarded([&] {
            rpc_.call(device_clear, "device_clear", xdr_Device_GenericParms, parameters,
                      xdr_Device_Error, reply, timeout_ + rpcMargin);
        });
        if (reply.error != 0)
            throw deviceError("device_clear", reply.error);
    }

    // destroy_link; the connection closes with the object.
    void close() override {
        checkUsable();
        linked_ = false;
        Device_Error reply{};
        rpc_.call(destroy_link, "destroy_link", xdr_Device_Link, link_, xdr_Device_Error, reply,
                  timeout_ + rpcMargin);
        if (reply.error != 0)
            throw deviceError("destroy_link", reply.error);
    }

  private:
    // Runs one RPC call; a failure of the call itself breaks the link for every later call.
    template <typename Call> void guarded(Call call) {
        try {
            call();
        } catch (const Error& error) {
            broken_ = error.what();
            throw;
        }
    }

    void checkUsable() const {
        if (!broken_.empty())
            throw failure("the link is broken since an earlier call: " + broken_);
        if (!linked_)
            throw failure("the link is closed");
    }

    RpcClient rpc_;
    Device_Link link_ = 0;
    bool linked_ = false;
    std::uint32_t maxRecvSize_ = fallbackMaxRecvSize;
    Milliseconds timeout_ = defaultTimeout;
    std::string broken_;
};

} // namespace

std::unique_ptr<Transport> openVxi11(std::string_view address) {
    const auto slash = address.find('/');
    const HostPort host = splitHostPort(address.substr(0, slash), vxi11Form);
    std::string device = "inst0";
    if (slash != std::string_view::npos) {
        device = std::string(address.substr(slash + 1));
        if (device.empty())
            throw failure("missing device after '/'; expected " + vxi11Form);
    }
    const unsigned short port =
        host.port.empty() ? lookUpCorePort(host.host) : parsePort(host.port, vxi11Form);
    return std::make_unique<Vxi11Transport>(connectTcp(host.host, port), device);
}

} // namespace zemo
