// The RPC message layer on records built word by word: what a server makes of a call's header,
// and what a client makes of a reply.
#include "zemonet/rpc_message.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t program = 0x0607AF;
constexpr std::uint32_t version = 1;

// WORDS in network order.
std::vector<char> words(const std::vector<std::uint32_t>& values) {
    std::vector<char> bytes(values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t word = htonl(values[i]);
        std::memcpy(bytes.data() + 4 * i, &word, 4);
    }
    return bytes;
}

// The word at INDEX of BYTES.
std::uint32_t wordAt(const std::vector<char>& bytes, std::size_t index) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes.data() + 4 * index, 4);
    return ntohl(word);
}

// A reply's status (0 accepted, 1 denied) and what follows it: the rejection for a denied one,
// the acceptance for an accepted one with an empty verifier.
std::pair<std::uint32_t, std::uint32_t> verdictOf(const std::vector<char>& reply) {
    const std::uint32_t status = wordAt(reply, 2);
    return {status, wordAt(reply, status == 1 ? 3 : 5)};
}

struct CallCase {
    const char* what;
    std::vector<std::uint32_t> record;
    zemo::rpc::CallReading::Outcome outcome;
    std::pair<std::uint32_t, std::uint32_t> verdict; // of the refusal
};

TEST(RpcMessage, AServerReadsACallsHeader) {
    using enum zemo::rpc::CallReading::Outcome;
    const std::vector<CallCase> cases{
        {"a call with an argument", {7, 0, 2, program, version, 11, 0, 0, 0, 0, 42}, accepted, {}},
        {"credentials of 8 bytes",
         {7, 0, 2, program, version, 11, 1, 8, 5, 6, 0, 0, 42},
         accepted,
         {}},
        {"too short for its credentials", {7, 0, 2, program, version, 11, 0}, notACall, {}},
        {"credentials past the end", {7, 0, 2, program, version, 11, 1, 8, 5}, notACall, {}},
        {"a reply", {7, 1, 2, program, version, 11, 0, 0, 0, 0}, notACall, {}},
        {"RPC version 3", {7, 0, 3, program, version, 11, 0, 0, 0, 0}, refused, {1, 0}},
        {"credentials of 401 bytes", {7, 0, 2, program, version, 11, 1, 401}, refused, {1, 1}},
        {"another program", {7, 0, 2, 100000, version, 11, 0, 0, 0, 0}, refused, {0, 1}},
        {"another version", {7, 0, 2, program, 2, 11, 0, 0, 0, 0}, refused, {0, 2}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const auto record = words(test.record);
        const auto call = zemo::rpc::readCall(record, program, version);
        ASSERT_EQ(call.outcome, test.outcome);
        if (call.outcome == accepted) {
            EXPECT_EQ(call.xid, 7U);
            EXPECT_EQ(call.procedure, 11U);
            EXPECT_EQ(wordAt(record, call.arguments / 4), 42U);
        }
        if (call.outcome == refused) {
            EXPECT_EQ(wordAt(call.refusal, 0), 7U);
            EXPECT_EQ(verdictOf(call.refusal), test.verdict);
        }
    }
}

struct ReplyCase {
    const char* what;
    std::vector<std::uint32_t> record;
    zemo::rpc::ReplyReading::Outcome outcome;
    const char* refusal;
};

TEST(RpcMessage, AClientReadsAReply) {
    using enum zemo::rpc::ReplyReading::Outcome;
    const std::vector<ReplyCase> cases{
        {"the reply with its result", {9, 1, 0, 0, 0, 0, 42}, decoded, ""},
        {"a verifier of 4 bytes", {9, 1, 0, 1, 4, 3, 0, 42}, decoded, ""},
        {"no result", {9, 1, 0, 0, 0, 0}, undecodable, ""},
        {"a call", {9, 0, 0, 0, 0, 0, 42}, undecodable, ""},
        {"a verifier of 404 bytes", {9, 1, 0, 1, 404, 0, 0}, undecodable, ""},
        {"another call's reply", {8, 1, 0, 0, 0, 0, 42}, otherCall, ""},
        {"denied: RPC version",
         {9, 1, 1, 0, 2, 2},
         refused,
         "the server does not speak RPC version 2"},
        {"denied: credentials", {9, 1, 1, 1, 1}, refused, "the server refused the credentials"},
        {"no such procedure",
         {9, 1, 0, 0, 0, 3},
         refused,
         "the server does not serve the procedure"},
        {"garbage arguments",
         {9, 1, 0, 0, 0, 4},
         refused,
         "the server could not decode the arguments"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        int result = 0;
        const auto reading =
            zemo::rpc::readReply(words(test.record), 9, zemo::xdrProcedure(xdr_int), &result);
        EXPECT_EQ(reading.outcome, test.outcome);
        EXPECT_EQ(reading.refusal, test.refusal);
        EXPECT_EQ(result, test.outcome == decoded ? 42 : 0);
    }
}

TEST(RpcMessage, EncodedCallAndReplyReadBack) {
    int argument = 5;
    const auto call = zemo::rpc::encodeCall(3, {program, version, 12}, xdr_int, argument);
    const auto reading = zemo::rpc::readCall(call, program, version);
    ASSERT_EQ(reading.outcome, zemo::rpc::CallReading::accepted);
    EXPECT_EQ(reading.procedure, 12U);
    EXPECT_EQ(wordAt(call, reading.arguments / 4), 5U);

    int result = 6;
    const auto reply = zemo::rpc::successReply(3, xdr_int, result);
    int decoded = 0;
    EXPECT_EQ(zemo::rpc::readReply(reply, 3, zemo::xdrProcedure(xdr_int), &decoded).outcome,
              zemo::rpc::ReplyReading::decoded);
    EXPECT_EQ(decoded, 6);
}

} // namespace
