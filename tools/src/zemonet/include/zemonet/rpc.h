// ONC RPC over TCP as both ends of VXI-11 need it: the XDR routines libtirpc takes, and
// record marking, which frames each call and reply on the stream.
#pragma once

#include <cstddef>
#include <vector>

#include <rpc/rpc.h>

namespace zemo {

// FUNCTION, an XDR routine of a particular type, as the generic type that libtirpc takes.
template <typename Function> xdrproc_t xdrProcedure(Function function) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(function));
}

// The longest record receiveRecord accepts.
inline constexpr std::size_t largestRecord = 64 << 20;

// Reads one record (all its fragments) from FD into RECORD; false at the end of the connection,
// on an error, or for a record longer than largestRecord. RECORD grows only as the bytes
// arrive, so that a header announcing a long fragment costs no memory before its bytes come.
bool receiveRecord(int fd, std::vector<char>& record);

// Sends BODY on FD as one record of one fragment; false when the connection fails.
bool sendRecord(int fd, const std::vector<char>& body);

} // namespace zemo
