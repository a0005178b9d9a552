// ONC RPC over TCP as both ends of VXI-11 need it: the XDR routines libtirpc takes, and
// record marking, which frames each call and reply on the stream.
#pragma once

#include "zemonet/io.h"

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

#include <rpc/rpc.h>

namespace zemo {

// FUNCTION, an XDR routine of a particular type, as the generic type that libtirpc takes.
template <typename Function> xdrproc_t xdrProcedure(Function function) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(function));
}

// The longest call record a server accepts.
inline constexpr std::size_t largestRecord = 64 << 20;

// The most bytes of a record received in one piece.
inline constexpr std::size_t recordPiece = 64 << 10;

// Where each piece of a record goes as it arrives: ROOM(SIZE) gives the place for the next
// SIZE bytes (at most recordPiece), or nullptr to have them received and dropped. Placing
// pieces as they come means a header announcing a long fragment costs no memory before its
// bytes do.
using RecordRoom = std::function<char*(std::size_t size)>;

// How receiving a record ended: as its transfer did, or, with tooLong, at a fragment header
// that took the record beyond the longest accepted.
struct RecordEnd {
    Transfer transfer;
    bool tooLong = false;

    explicit operator bool() const { return transfer && !tooLong; }
};

// Receives one record (all its fragments) from socket FD by DEADLINE, each piece where ROOM
// says; a record announcing more than LARGEST bytes in all ends the receiving at its header.
RecordEnd receiveRecord(int fd, std::size_t largest, const RecordRoom& room,
                        Clock::time_point deadline);

// The record mark that makes the SIZE bytes after it one record of one fragment.
std::array<std::byte, 4> recordMark(std::size_t size);

// Sends BODY on socket FD as one record of one fragment by DEADLINE.
Transfer sendRecord(int fd, const std::vector<char>& body,
                    Clock::time_point deadline = Clock::time_point::max());

} // namespace zemo
