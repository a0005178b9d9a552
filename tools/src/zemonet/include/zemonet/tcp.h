// TCP addresses and connections: host names and ports as interface names give them, and a
// connect that gives up in time.
#pragma once

#include "zemonet/io.h"

#include <string>
#include <string_view>

namespace zemo {

// A host and what follows it in an interface address. HOST is a name, an IPv4 address, or an
// IPv6 address, bare or in brackets; PORT is empty when the address gave none.
struct HostPort {
    std::string host;
    std::string port;
};

// Splits "HOST" or "HOST:PORT" (IPv6 as "[ADDR]" or "[ADDR]:PORT"; a bare IPv6 address, which
// holds several colons, never carries a port). Throws Error naming EXPECTED when malformed.
HostPort splitHostPort(std::string_view text, const std::string& expected);

// Checks that TEXT is a decimal port from 1 to 65535 and returns it; throws Error naming
// EXPECTED otherwise.
unsigned short parsePort(std::string_view text, const std::string& expected);

// The time a connection may take, from ZEMO_CONNECT_TIMEOUT (milliseconds) or 5 seconds.
Milliseconds connectTimeout();

// Resolves HOST through the system resolver and connects a TCP socket to PORT on the first
// address that answers within connectTimeout(). Throws Error naming SERVICE (when given, e.g.
// "the portmapper"): a timeout when no address answered in time, a failure when the name does
// not resolve or every address refused.
FileDescriptor connectTcp(const std::string& host, unsigned short port,
                          const std::string& service = {});

// The same, giving up at DEADLINE, for a connection that is one step of a longer open.
FileDescriptor connectTcp(const std::string& host, unsigned short port, Clock::time_point deadline,
                          const std::string& service = {});

} // namespace zemo
