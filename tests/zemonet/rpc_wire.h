// The tests' own ONC RPC record encoding and loopback listeners, for the VXI-11 servers they
// script by hand; it shares nothing with the library's, so that a fault there cannot hide in both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace zemotest {

// Receives exactly SIZE bytes; false when the client left.
bool receiveAll(int fd, char* data, std::size_t size);

void sendAll(int fd, const std::string& bytes);

// The big-endian 32-bit word at INDEX of BODY, 0 beyond its end.
std::uint32_t wordAt(const std::string& body, std::size_t index);

// Reads one call record and returns its body, the transaction id first; nothing when the client
// left.
std::optional<std::string> receiveCallBody(int fd);

// Reads one call record and returns its transaction id; nothing when the client left.
std::optional<std::uint32_t> receiveCall(int fd);

// WORDS as one record of big-endian 32-bit words.
std::string record(const std::vector<std::uint32_t>& words);

// A successful create_link reply to call XID.
std::string linkReply(std::uint32_t xid);

// The index in a call body of the procedure number, and of the first word of the arguments
// (after the empty credentials and verifier).
inline constexpr std::size_t procedureWord = 5;
inline constexpr std::size_t argumentsWord = 10;

// Where a test server listens: the loopback address of FAMILY, on PORT (0: a port the system
// chooses).
struct Endpoint {
    int family = AF_INET;
    unsigned short port = 0;
};

// A socket listening at WHERE; sets PORT to the port it listens on.
int listenAt(Endpoint where, unsigned short& port);

// A listener on IPv4 loopback that never accepts and whose queue of connections is full, so
// that a further connect neither succeeds nor fails until it gives up: the fillers stay
// connected with it.
struct FullListener {
    int listener = -1;
    unsigned short port = 0;
    std::vector<int> fillers;

    FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    ~FullListener();
};

} // namespace zemotest
