#include "rpc_client.h"

#include "zemonet/rpc_message.h"

#include <algorithm>
#include <limits>
#include <random>

namespace zemo {

namespace {

// The first transaction id of a client: random, so that a new connection's replies never pass
// for those of an earlier one.
std::uint32_t randomXid() {
    std::random_device random;
    return static_cast<std::uint32_t>(random());
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
    auto call = rpc::encodeCall(
        xid,
        {static_cast<std::uint32_t>(program_), static_cast<std::uint32_t>(version_), procedure},
        encode, arguments);
    if (call.empty())
        throw failure(name + ": the call cannot be encoded");
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
    // The records that are no reply come ready to be read while a peer keeps sending them: past
    // the deadline the call ends, however many wait.
    const auto end =
        Clock::now() < deadline
            ? receiveRecord(socket_.get(), std::numeric_limits<std::size_t>::max(), room, deadline)
            : RecordEnd{Transfer{Transfer::late}};
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
// no reply to it. Throws Error when the server refused or failed the call.
bool RpcClient::acceptReply(const std::vector<char>& record, std::uint32_t xid,
                            const std::string& name, xdrproc_t decode, void* result,
                            std::string& discarded) const {
    const auto reading = rpc::readReply(record, xid, decode, result);
    switch (reading.outcome) {
    case rpc::ReplyReading::decoded:
        return true;
    case rpc::ReplyReading::otherCall:
        discarded = "a reply to another call";
        return false;
    case rpc::ReplyReading::refused:
        throw failure(name + " failed: " + reading.refusal);
    default:
        discarded = "an undecodable reply";
        return false;
    }
}

} // namespace zemo
