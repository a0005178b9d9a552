// Inside the library: ONC RPC calls over one TCP connection, in record marking, with our own
// call loop. Every call has a deadline that holds whatever the server sends: a reply with
// another transaction id, an undecodable or oversized record, or a trickle of bytes is
// discarded or waited out, never waited on past the deadline. No signal is blocked; writes
// pass MSG_NOSIGNAL.
#pragma once

#include "zemonet/error.h"
#include "zemonet/io.h"
#include "zemonet/rpc.h"

#include <cstdint>
#include <string>
#include <vector>

#include <rpc/rpc.h>

namespace zemo {

class RpcClient {
  public:
    // A client for PROGRAM version VERSION on the connected SOCKET; WHAT names the peer in
    // messages ("core channel", "portmapper").
    RpcClient(FileDescriptor socket, rpcprog_t program, rpcvers_t version, std::string what);

    // Calls PROCEDURE (named NAME in messages) with ARGUMENTS encoded by ENCODE and decodes
    // the result with DECODE into RESULT. Waits until DEADLINE for the reply, accepting one
    // record of at most LARGESTREPLY bytes. Throws Error: ZEMO_TIMEOUT at the deadline (the
    // reason says what was discarded meanwhile), ZEMO_FAILURE when the connection fails or
    // the server refuses the call.
    template <typename Arguments, typename Result>
    void call(std::uint32_t procedure, const std::string& name, bool_t (*encode)(XDR*, Arguments*),
              Arguments& arguments, bool_t (*decode)(XDR*, Result*), Result& result,
              Clock::time_point deadline, std::size_t largestReply) {
        callRaw(procedure, name, xdrProcedure(encode), &arguments, xdrProcedure(decode), &result,
                deadline, largestReply);
    }

    // The connected socket, for what is asked of the connection itself (its local address).
    int socket() const { return socket_.get(); }

  private:
    void callRaw(std::uint32_t procedure, const std::string& name, xdrproc_t encode,
                 void* arguments, xdrproc_t decode, void* result, Clock::time_point deadline,
                 std::size_t largestReply);
    // The call XID of PROCEDURE with ARGUMENTS, encoded.
    std::vector<char> encodeCall(std::uint32_t xid, std::uint32_t procedure,
                                 const std::string& name, xdrproc_t encode, void* arguments) const;
    bool receiveReply(std::vector<char>& record, std::size_t largest, const std::string& name,
                      Clock::time_point deadline, std::string& discarded) const;
    // Throws the Error for TRANSFER, a failed attempt to ACTION ("send to", "receive from") the
    // server during the call NAME; LATENESS says what the deadline found.
    [[noreturn]] void throwFor(const Transfer& transfer, const std::string& name,
                               const std::string& action, const std::string& lateness) const;
    bool acceptReply(const std::vector<char>& record, std::uint32_t xid, const std::string& name,
                     xdrproc_t decode, void* result, std::string& discarded) const;

    FileDescriptor socket_;
    rpcprog_t program_;
    rpcvers_t version_;
    std::string what_;
    std::uint32_t nextXid_;
};

} // namespace zemo
