#include "rpc_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

#include <poll.h>
#include <sys/socket.h>

namespace zemo {

namespace {

constexpr std::uint32_t lastFragment = 0x80000000U;
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
    sendRecord(encodeCall(xid, procedure, name, encode, arguments), name, deadline);
    std::string discarded;
    std::vector<char> record;
    for (;;) {
        if (receiveRecord(record, largestReply, name, deadline, discarded) &&
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
    // The record: its marking header, filled in once the length is known, then the call.
    constexpr std::size_t markSize = sizeof(std::uint32_t);
    std::vector<char> record(markSize + callHeaderSize + xdr_sizeof(encode, arguments));
    XDR xdr;
    xdrmem_create(&xdr, record.data() + markSize, static_cast<u_int>(record.size() - markSize),
                  XDR_ENCODE);
    const bool encoded = xdr_callmsg(&xdr, &message) != 0 && encode(&xdr, arguments) != 0;
    const u_int length = xdr_getpos(&xdr);
    xdr_destroy(&xdr);
    if (!encoded)
        throw failure(name + ": the call cannot be encoded");
    const std::uint32_t header = htonl(lastFragment | length);
    std::memcpy(record.data(), &header, markSize);
    record.resize(markSize + length);
    return record;
}

void RpcClient::sendRecord(const std::vector<char>& record, const std::string& name,
                           Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < record.size()) {
        if (!waitReady(socket_.get(), POLLOUT, deadline))
            throw timeout(name + ": the " + what_ + " took no call within the timeout");
        const ssize_t count = ::send(socket_.get(), record.data() + sent, record.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count < 0)
            throw failure(name + " failed: cannot send to the " + what_ + " (" +
                          systemError(errno) + ")");
        sent += static_cast<std::size_t>(count);
    }
}

// Reads one record into RECORD as its bytes arrive. A record longer than LARGEST is read and
// dropped, noted in DISCARDED; returns false for it.
bool RpcClient::receiveRecord(std::vector<char>& record, std::size_t largest,
                              const std::string& name, Clock::time_point deadline,
                              std::string& discarded) {
    record.clear();
    bool oversized = false;
    for (bool last = false; !last;) {
        std::uint32_t header = 0;
        receiveBytes(reinterpret_cast<char*>(&header), sizeof header, name, deadline, discarded);
        header = ntohl(header);
        last = (header & lastFragment) != 0;
        std::size_t length = header & ~lastFragment;
        while (length > 0) {
            char scrap[65536];
            const std::size_t room = oversized ? 0 : largest - record.size();
            if (!oversized && length > room)
                oversized = true;
            const std::size_t step = std::min(length, oversized ? sizeof scrap : length);
            if (oversized) {
                receiveBytes(scrap, step, name, deadline, discarded);
            } else {
                const std::size_t start = record.size();
                record.resize(start + step);
                receiveBytes(record.data() + start, step, name, deadline, discarded);
            }
            length -= step;
        }
    }
    if (oversized)
        discarded = "a reply longer than " + std::to_string(largest) + " bytes";
    return !oversized;
}

void RpcClient::receiveBytes(char* data, std::size_t size, const std::string& name,
                             Clock::time_point deadline, const std::string& discarded) {
    while (size > 0) {
        if (!waitReady(socket_.get(), POLLIN, deadline))
            throw timeout(name + ": no reply from the " + what_ + " within the timeout" +
                          (discarded.empty() ? "" : " (discarded " + discarded + ")"));
        const ssize_t count = ::recv(socket_.get(), data, size, MSG_DONTWAIT);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count == 0)
            throw failure(name + " failed: the " + what_ + " closed the connection");
        if (count < 0)
            throw failure(name + " failed: cannot receive from the " + what_ + " (" +
                          systemError(errno) + ")");
        data += count;
        size -= static_cast<std::size_t>(count);
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
