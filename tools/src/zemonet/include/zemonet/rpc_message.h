// ONC RPC messages as both ends of a conversation build and read them: the header of a call and
// of a reply around the arguments and results that XDR routines encode. Headers are read word by
// word, so that no value a peer sends is taken for an enumeration it is not.
//
// libtirpc decodes the padding after opaque data and strings into one static scratch buffer, so
// that two decodings at once, in any two threads of the process, race. Every decoding of
// arguments or results goes through rpc::decode, which takes turns.
#pragma once

#include "zemonet/rpc.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <rpc/rpc.h>

namespace zemo::rpc {

// Decodes VALUE from XDR with PROCEDURE while no other thread decodes; true when it decoded.
bool decode(XDR& xdr, xdrproc_t procedure, void* value);

template <typename Value> bool decode(XDR& xdr, bool_t (*procedure)(XDR*, Value*), Value& value) {
    return decode(xdr, xdrProcedure(procedure), &value);
}

// What a call asks for.
struct Procedure {
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    std::uint32_t number = 0;
};

// The body of call XID of PROCEDURE, with empty credentials and ARGUMENTS encoded by ENCODE;
// empty when the arguments cannot be encoded.
std::vector<char> encodeCall(std::uint32_t xid, const Procedure& procedure, xdrproc_t encode,
                             void* arguments);

template <typename Arguments>
std::vector<char> encodeCall(std::uint32_t xid, const Procedure& procedure,
                             bool_t (*encode)(XDR*, Arguments*), Arguments& arguments) {
    return encodeCall(xid, procedure, xdrProcedure(encode), &arguments);
}

// What a record read as the reply to a call turned out to be.
struct ReplyReading {
    enum Outcome {
        // The reply to the call, its results decoded.
        decoded,
        // No reply, or one whose results do not decode.
        undecodable,
        // A reply to another call.
        otherCall,
        // The server denied or could not carry out the call; REFUSAL says why in words.
        refused,
    };
    Outcome outcome = undecodable;
    std::string refusal;
};

// Reads RECORD as the reply to call XID, decoding its results with DECODE into RESULT.
ReplyReading readReply(std::span<const char> record, std::uint32_t xid, xdrproc_t decode,
                       void* result);

// What a server makes of a record that should hold a call.
struct CallReading {
    enum Outcome {
        // No call: the record is to be dropped with the connection.
        notACall,
        // A call to be refused with the reply REFUSAL: another RPC version, credentials longer
        // than any, or another program or version than the server's.
        refused,
        // A call of the server's program: PROCEDURE with its arguments at ARGUMENTS.
        accepted,
    };
    Outcome outcome = notACall;
    std::uint32_t xid = 0;
    std::uint32_t procedure = 0;
    std::size_t arguments = 0;
    std::vector<char> refusal;
};

// Reads the header of the call in RECORD for a server of PROGRAM version VERSION.
CallReading readCall(std::span<const char> record, std::uint32_t program, std::uint32_t version);

// The transaction id and procedure of the call in RECORD, read however little of it came; false
// when RECORD is too short to hold them.
bool peekCall(std::span<const char> record, std::uint32_t& xid, std::uint32_t& procedure);

// The reply to call XID that refuses it with STATUS, e.g. GARBAGE_ARGS or PROC_UNAVAIL (for
// PROG_MISMATCH, naming VERSION as the only one served).
std::vector<char> errorReply(std::uint32_t xid, accept_stat status, std::uint32_t version);

// The reply to call XID carrying RESULT, encoded by ENCODE; PAYLOAD is the size of the opaque
// data that RESULT carries.
std::vector<char> successReply(std::uint32_t xid, xdrproc_t encode, void* result,
                               std::size_t payload);

template <typename Result>
std::vector<char> successReply(std::uint32_t xid, bool_t (*encode)(XDR*, Result*), Result& result,
                               std::size_t payload = 0) {
    return successReply(xid, xdrProcedure(encode), &result, payload);
}

// The arguments that end with a string or opaque data of a length the decoder allocates before
// it reads the bytes: the words before that length, specialised for each such type.
template <typename Arguments> constexpr unsigned wordsBeforeData = 0;

// True unless ARGUMENTS would announce more data than ARGUMENTS holds, which the decoder would
// allocate before finding it missing.
bool dataFits(std::span<char> arguments, unsigned wordsBefore);

// Call arguments decoded from their bytes by PROCEDURE; what decoding allocated is freed with
// them.
template <typename Arguments> class Decoded {
  public:
    Decoded(std::span<char> bytes, bool_t (*procedure)(XDR*, Arguments*))
        : procedure_(xdrProcedure(procedure)) {
        if (!dataFits(bytes, wordsBeforeData<Arguments>))
            return;
        XDR xdr;
        xdrmem_create(&xdr, bytes.data(), static_cast<u_int>(bytes.size()), XDR_DECODE);
        ok_ = decode(xdr, procedure, value_);
        xdr_destroy(&xdr);
    }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    ~Decoded() { xdr_free(procedure_, reinterpret_cast<char*>(&value_)); }
    bool ok() const { return ok_; }
    Arguments& operator*() { return value_; }
    Arguments* operator->() { return &value_; }

  private:
    Arguments value_{};
    xdrproc_t procedure_;
    bool ok_ = false;
};

} // namespace zemo::rpc
