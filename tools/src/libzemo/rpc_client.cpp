#include "rpc_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>

namespace zemo {

namespace {

// The room a call needs beyond its arguments: the header and the empty credentials.
constexpr std::size_t callHeaderSize = 64;

// libtirpc decodes the padding after opaque data and strings into one static scratch buffer;
// handles used from several threads take turns at decoding.
std::mutex decoding;

// The first transaction id of a client: random, so that a new connection's replies never pass
// for those of an earlier one.
std::uint32_t randomXid() {
    std::random_device random;
    return static_cast<std::uint32_t>(random());
}

// The 32-bit word at byte OFFSET of RECORD, from network order.
std::uint32_t wordAt(const std::vector<char>& record, std::size_t offset) {
    std::uint32_t word = 0;
    std::memcpy(&word, record.data() + offset, sizeof word);
    return ntohl(word);
}

// What a denied reply (REJECTION: 0 version mismatch, 1 authentication error) says.
std::string denial(std::uint32_t rejection) {
    return rejection == 0 ? "the server does not speak RPC version 2"
                          : "the server refused the credentials";
}

// What an accepted reply with a status other than success (ACCEPTANCE) says.
std::string failedAcceptance(std::uint32_t acceptance) {
    switch (acceptance) {
    case 1:
        return "the server does not serve the program";
    case 2:
        return "the server does not serve this version of the program";
    case 3:
        return "the server does not serve the procedure";
    case 4:
        return "the server could not decode the arguments";
    default:
        return "the server failed to carry out the call";
    }
}

} // namespace

RpcClient::RpcClient(FileDescriptor socket, rpcprog_t program, rpcvers_t version, std::string what)
    : socket_(std::move(socket)), program_(program), version_(version), what_(std::move(what)),
      nextXid_(randomXid()) {}

void RpcClient::callRaw(std::uint32_t procedure, const std::string& name, xdrproc_t encode,
                        void* arguments, xdrproc_t decode, void* result, Clock::time_point deadline,
                        std::size_t largestReply) {
    const std::uint32_t xid = nextXid_++;
    if (const auto sent = sendRecord(socket_.get(),
                                     encodeCall(xid, procedure, name, encode, arguments), deadline);
        !sent)
        throwFor(sent, name, "send to", "the " + what_ + " took no call within the timeout");
    std::string discarded;
    std::vector<char> record;
    for (;;) {
        if (receiveReply(record, largestReply, name, deadline, discarded) &&
            acceptReply(record, xid, name, decode, result, discarded))
            return;
    }
}

std::vector<char> RpcClient::encodeCall(std::uint32_t xid, std::uint32_t procedure,
                                        const std::string& name, xdrproc_t encode,
                                        void* arguments) const {
    rpc_msg message{};
    message.rm_xid = xid;
    message.rm_direction = CALL;
    message.rm_call.cb_rpcvers = RPC_MSG_VERSION;
    message.rm_call.cb_prog = program_;
    message.rm_call.cb_vers = version_;
    message.rm_call.cb_proc = procedure;
    message.rm_call.cb_cred = {AUTH_NONE, nullptr, 0};
    message.rm_call.cb_verf = {AUTH_NONE, nullptr, 0};
    std::vector<char> call(callHeaderSize + xdr_sizeof(encode, arguments));
    XDR xdr;
    xdrmem_create(&xdr, call.data(), static_cast<u_int>(call.size()), XDR_ENCODE);
    const bool encoded = xdr_callmsg(&xdr, &message) != 0 && encode(&xdr, arguments) != 0;
    const u_int length = xdr_getpos(&xdr);
    xdr_destroy(&xdr);
    if (!encoded)
        throw failure(name + ": the call cannot be encoded");
    call.resize(length);
    return call;
}

// Reads one record into RECORD as its bytes arrive. A record longer than LARGEST is read and
// dropped, noted in DISCARDED; returns false for it.
bool RpcClient::receiveReply(std::vector<char>& record, std::size_t largest,
                             const std::string& name, Clock::time_point deadline,
                             std::string& discarded) const {
    // Room for the longest reply (up to 16 MiB) from the start, so that a reply of a read is not
    // copied again and again as it grows.
    record.clear();
    record.reserve(std::min<std::size_t>(largest, 16 << 20));
    bool oversized = false;
    const auto room = [&record, &oversized, largest](std::size_t size) -> char* {
        oversized = oversized || record.size() + size > largest;
        if (oversized)
            return nullptr;
        record.resize(record.size() + size);
        return record.data() + record.size() - size;
    };
    const auto end =
        receiveRecord(socket_.get(), std::numeric_limits<std::size_t>::max(), room, deadline);
    if (!end.transfer)
        throwFor(end.transfer, name, "receive from",
                 "no reply from the " + what_ + " within the timeout" +
                     (discarded.empty() ? "" : " (discarded " + discarded + ")"));
    if (oversized)
        discarded = "a reply longer than " + std::to_string(largest) + " bytes";
    return !oversized;
}

void RpcClient::throwFor(const Transfer& transfer, const std::string& name,
                         const std::string& action, const std::string& lateness) const {
    switch (transfer.outcome) {
    case Transfer::late:
        throw timeout(name + ": " + lateness);
    case Transfer::closed:
        throw failure(name + " failed: the " + what_ + " closed the connection");
    default:
        throw failure(name + " failed: cannot " + action + " the " + what_ + " (" +
                      systemError(transfer.error) + ")");
    }
}

// Decodes RECORD as the reply to call XID; false, noting why in DISCARDED, for a record that is
// no reply to it. Throws Error when the server refused or failed the call. The reply's header
// is read word by word, so that no value a peer sends is taken for an enumeration it is not.
bool RpcClient::acceptReply(const std::vector<char>& record, std::uint32_t xid,
                            const std::string& name, xdrproc_t decode, void* result,
                            std::string& discarded) const {
    constexpr std::uint32_t reply = 1;
    constexpr std::uint32_t accepted = 0;
    constexpr std::uint32_t denied = 1;
    constexpr std::size_t word = 4;
    if (record.size() < 4 * word || wordAt(record, word) != reply) {
        discarded = "an undecodable reply";
        return false;
    }
    if (wordAt(record, 0) != xid) {
        discarded = "a reply to another call";
        return false;
    }
    const std::uint32_t status = wordAt(record, 2 * word);
    if (status == denied)
        throw failure(name + " failed: " + denial(wordAt(record, 3 * word)));
    // An accepted reply: the verifier (flavour, opaque body), the acceptance, the results.
    std::size_t offset = 4 * word;
    if (status != accepted || record.size() < offset + word) {
        discarded = "an undecodable reply";
        return false;
    }
    const std::uint32_t verifierLength = wordAt(record, offset);
    offset += word + (static_cast<std::size_t>(verifierLength) + 3) / 4 * 4;
    if (verifierLength > 400 || record.size() < offset + word) {
        discarded = "an undecodable reply";
        return false;
    }
    if (const std::uint32_t acceptance = wordAt(record, offset); acceptance != 0)
        throw failure(name + " failed: " + failedAcceptance(acceptance));
    offset += word;
    XDR xdr;
    xdrmem_create(&xdr, const_cast<char*>(record.data() + offset),
                  static_cast<u_int>(record.size() - offset), XDR_DECODE);
    bool decoded = false;
    {
        const std::lock_guard lock(decoding);
        decoded = decode(&xdr, result) != 0;
    }
    xdr_destroy(&xdr);
    if (!decoded)
        discarded = "an undecodable reply";
    return decoded;
}

} // namespace zemo
