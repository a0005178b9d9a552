#include "zemonet/rpc_message.h"

#include <mutex>

namespace zemo::rpc {

namespace {

// The one lock of the process around libtirpc's static decoding buffer.
std::mutex decoding;

// The words of a message header as the wire carries them.
constexpr std::uint32_t callDirection = 0;
constexpr std::uint32_t replyDirection = 1;
constexpr std::uint32_t replyAccepted = 0;
constexpr std::uint32_t replyDenied = 1;

// The room a call needs beyond its arguments: the header and the empty credentials.
constexpr std::size_t callHeaderSize = 64;
// The room a reply needs beyond its results.
constexpr std::size_t replyHeaderSize = 64;

// Reads 32-bit words from a record in network order, and skips opaque bodies; every read fails
// once one has run past the end.
class WordReader {
  public:
    explicit WordReader(std::span<const char> record) {
        xdrmem_create(&xdr_, const_cast<char*>(record.data()), static_cast<u_int>(record.size()),
                      XDR_DECODE);
    }
    WordReader(const WordReader&) = delete;
    WordReader& operator=(const WordReader&) = delete;
    ~WordReader() { xdr_destroy(&xdr_); }

    bool read(std::uint32_t& word) {
        ok_ = ok_ && xdr_u_int(&xdr_, &word) != 0;
        return ok_;
    }

    // Skips an opaque authentication body (flavour, length, bytes) of at most MAX_AUTH_BYTES.
    bool skipAuthentication() {
        std::uint32_t flavour = 0;
        std::uint32_t length = 0;
        ok_ = read(flavour) && read(length) && length <= MAX_AUTH_BYTES &&
              xdr_inline(&xdr_, (length + 3) / 4 * 4) != nullptr;
        return ok_;
    }

    std::size_t position() { return xdr_getpos(&xdr_); }

  private:
    XDR xdr_;
    bool ok_ = true;
};

// The bytes that ENCODE writes into a buffer of ROOM bytes; empty when it fails.
template <typename Encode> std::vector<char> encodeMessage(std::size_t room, Encode encode) {
    std::vector<char> buffer(room);
    XDR xdr;
    xdrmem_create(&xdr, buffer.data(), static_cast<u_int>(buffer.size()), XDR_ENCODE);
    const bool encoded = encode(xdr);
    buffer.resize(encoded ? xdr_getpos(&xdr) : 0);
    xdr_destroy(&xdr);
    return buffer;
}

std::vector<char> encodeReply(rpc_msg& reply, std::size_t payload) {
    return encodeMessage(replyHeaderSize + 512 + payload,
                         [&reply](XDR& xdr) { return xdr_replymsg(&xdr, &reply) != 0; });
}

// A reply to call XID, without its status yet.
rpc_msg replyTo(std::uint32_t xid) {
    rpc_msg reply{};
    reply.rm_xid = xid;
    reply.rm_direction = REPLY;
    return reply;
}

// The reply to call XID that denies it: RPC_MISMATCH naming version 2, the only one served, or
// AUTH_ERROR for REASON.
std::vector<char> deniedReply(std::uint32_t xid, reject_stat status, auth_stat reason = AUTH_OK) {
    rpc_msg reply = replyTo(xid);
    reply.rm_reply.rp_stat = MSG_DENIED;
    reply.rjcted_rply.rj_stat = status;
    if (status == RPC_MISMATCH)
        reply.rjcted_rply.rj_vers.low = reply.rjcted_rply.rj_vers.high = RPC_MSG_VERSION;
    else
        reply.rjcted_rply.rj_why = reason;
    return encodeReply(reply, 0);
}

// What a denied reply (REJECTION: 0 version mismatch, 1 authentication error) says.
std::string denial(std::uint32_t rejection) {
    return rejection == 0 ? "the server does not speak RPC version 2"
                          : "the server refused the credentials";
}

// What an accepted reply with a status other than success (ACCEPTANCE) says.
std::string failedAcceptance(std::uint32_t acceptance) {
    switch (acceptance) {
    case PROG_UNAVAIL:
        return "the server does not serve the program";
    case PROG_MISMATCH:
        return "the server does not serve this version of the program";
    case PROC_UNAVAIL:
        return "the server does not serve the procedure";
    case GARBAGE_ARGS:
        return "the server could not decode the arguments";
    default:
        return "the server failed to carry out the call";
    }
}

} // namespace

bool decode(XDR& xdr, xdrproc_t procedure, void* value) {
    const std::lock_guard lock(decoding);
    return procedure(&xdr, value) != 0;
}

std::vector<char> encodeCall(std::uint32_t xid, const Procedure& procedure, xdrproc_t encode,
                             void* arguments) {
    rpc_msg message{};
    message.rm_xid = xid;
    message.rm_direction = CALL;
    message.rm_call.cb_rpcvers = RPC_MSG_VERSION;
    message.rm_call.cb_prog = procedure.program;
    message.rm_call.cb_vers = procedure.version;
    message.rm_call.cb_proc = procedure.number;
    message.rm_call.cb_cred = {AUTH_NONE, nullptr, 0};
    message.rm_call.cb_verf = {AUTH_NONE, nullptr, 0};
    return encodeMessage(callHeaderSize + xdr_sizeof(encode, arguments), [&](XDR& xdr) {
        return xdr_callmsg(&xdr, &message) != 0 && encode(&xdr, arguments) != 0;
    });
}

ReplyReading readReply(std::span<const char> record, std::uint32_t xid, xdrproc_t decode,
                       void* result) {
    WordReader words(record);
    std::uint32_t replyXid = 0;
    std::uint32_t direction = 0;
    std::uint32_t status = 0;
    if (!words.read(replyXid) || !words.read(direction) || direction != replyDirection ||
        !words.read(status))
        return {ReplyReading::undecodable, {}};
    if (replyXid != xid)
        return {ReplyReading::otherCall, {}};
    std::uint32_t detail = 0;
    if (status == replyDenied)
        return words.read(detail) ? ReplyReading{ReplyReading::refused, denial(detail)}
                                  : ReplyReading{ReplyReading::undecodable, {}};
    // An accepted reply: the verifier, the acceptance, the results.
    if (status != replyAccepted || !words.skipAuthentication() || !words.read(detail))
        return {ReplyReading::undecodable, {}};
    if (detail != SUCCESS)
        return {ReplyReading::refused, failedAcceptance(detail)};
    const std::size_t offset = words.position();
    XDR xdr;
    xdrmem_create(&xdr, const_cast<char*>(record.data() + offset),
                  static_cast<u_int>(record.size() - offset), XDR_DECODE);
    const bool decoded = rpc::decode(xdr, decode, result);
    xdr_destroy(&xdr);
    return {decoded ? ReplyReading::decoded : ReplyReading::undecodable, {}};
}

bool peekCall(std::span<const char> record, std::uint32_t& xid, std::uint32_t& procedure) {
    WordReader words(record);
    std::uint32_t skipped = 0;
    return words.read(xid) && words.read(skipped) && words.read(skipped) && words.read(skipped) &&
           words.read(skipped) && words.read(procedure);
}

CallReading readCall(std::span<const char> record, std::uint32_t program, std::uint32_t version) {
    WordReader words(record);
    CallReading call;
    std::uint32_t direction = 0;
    std::uint32_t rpcVersion = 0;
    std::uint32_t calledProgram = 0;
    std::uint32_t calledVersion = 0;
    if (!words.read(call.xid) || !words.read(direction) || !words.read(rpcVersion) ||
        !words.read(calledProgram) || !words.read(calledVersion) || !words.read(call.procedure) ||
        direction != callDirection)
        return {};
    // The credentials' length is judged before their bytes are looked for.
    std::uint32_t credentialsFlavour = 0;
    std::uint32_t credentialsLength = 0;
    WordReader credentials(record.subspan(words.position()));
    if (!credentials.read(credentialsFlavour) || !credentials.read(credentialsLength))
        return {};
    call.outcome = CallReading::refused;
    if (rpcVersion != RPC_MSG_VERSION)
        call.refusal = deniedReply(call.xid, RPC_MISMATCH);
    else if (credentialsLength > MAX_AUTH_BYTES)
        call.refusal = deniedReply(call.xid, AUTH_ERROR, AUTH_BADCRED);
    else if (!words.skipAuthentication() || !words.skipAuthentication())
        return {};
    else if (calledProgram != program)
        call.refusal = errorReply(call.xid, PROG_UNAVAIL, version);
    else if (calledVersion != version)
        call.refusal = errorReply(call.xid, PROG_MISMATCH, version);
    else {
        call.outcome = CallReading::accepted;
        call.arguments = words.position();
    }
    return call;
}

std::vector<char> errorReply(std::uint32_t xid, accept_stat status, std::uint32_t version) {
    rpc_msg reply = replyTo(xid);
    reply.rm_reply.rp_stat = MSG_ACCEPTED;
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_stat = status;
    reply.acpted_rply.ar_vers.low = version;
    reply.acpted_rply.ar_vers.high = version;
    return encodeReply(reply, 0);
}

std::vector<char> successReply(std::uint32_t xid, xdrproc_t encode, void* result,
                               std::size_t payload) {
    rpc_msg reply = replyTo(xid);
    reply.rm_reply.rp_stat = MSG_ACCEPTED;
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_stat = SUCCESS;
    reply.acpted_rply.ar_results.where = static_cast<caddr_t>(result);
    reply.acpted_rply.ar_results.proc = encode;
    return encodeReply(reply, payload);
}

bool dataFits(std::span<char> arguments, unsigned wordsBefore) {
    if (wordsBefore == 0)
        return true;
    WordReader words(arguments);
    std::uint32_t length = 0;
    for (unsigned i = 0; i <= wordsBefore; ++i)
        if (!words.read(length))
            return false;
    return words.position() + length <= arguments.size();
}

} // namespace zemo::rpc
