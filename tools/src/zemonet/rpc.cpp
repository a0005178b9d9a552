#include "zemonet/rpc.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>

namespace zemo {

namespace {

constexpr std::uint32_t lastFragment = 0x80000000U;

// Receives LENGTH bytes of a fragment by DEADLINE, piece by piece where ROOM says.
Transfer receiveFragment(int fd, std::size_t length, const RecordRoom& room,
                         Clock::time_point deadline) {
    char dropped[recordPiece];
    while (length > 0) {
        const std::size_t piece = std::min(length, recordPiece);
        char* place = room(piece);
        if (const auto transfer = receiveExactly(fd, place ? place : dropped, piece, deadline);
            !transfer)
            return transfer;
        length -= piece;
    }
    return {};
}

} // namespace

RecordEnd receiveRecord(int fd, std::size_t largest, const RecordRoom& room,
                        Clock::time_point deadline) {
    std::size_t total = 0;
    for (;;) {
        std::uint32_t header = 0;
        if (const auto transfer =
                receiveExactly(fd, reinterpret_cast<char*>(&header), sizeof header, deadline);
            !transfer)
            return {transfer};
        header = ntohl(header);
        const std::size_t length = header & ~lastFragment;
        total += length;
        if (total > largest)
            return {{}, true};
        if (const auto transfer = receiveFragment(fd, length, room, deadline); !transfer)
            return {transfer};
        if ((header & lastFragment) != 0)
            return {};
    }
}

std::array<std::byte, 4> recordMark(std::size_t size) {
    const std::uint32_t header = htonl(lastFragment | static_cast<std::uint32_t>(size));
    std::array<std::byte, 4> mark;
    std::memcpy(mark.data(), &header, sizeof header);
    return mark;
}

Transfer sendRecord(int fd, const std::vector<char>& body, Clock::time_point deadline) {
    const auto header = recordMark(body.size());
    if (const auto transfer = sendExactly(fd, reinterpret_cast<const char*>(header.data()),
                                          header.size(), deadline, MSG_MORE);
        !transfer)
        return transfer;
    return sendExactly(fd, body.data(), body.size(), deadline);
}

} // namespace zemo
