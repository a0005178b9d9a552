// The VXI-11 client against core channels that misbehave: replies to other calls, undecodable
// replies, a record that announces 2 GiB and trickles, silence, a peer that stops reading.
// Whatever they do, a call ends at its deadline with status 3, and a signal ends a tool at once.
#include "run_program.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zemotest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Receives exactly SIZE bytes; false when the client left.
bool receiveAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

void sendAll(int fd, const std::string& bytes) {
    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Reads one call record and returns its transaction id; nothing when the client left.
std::optional<std::uint32_t> receiveCall(int fd) {
    std::uint32_t header = 0;
    if (!receiveAll(fd, reinterpret_cast<char*>(&header), sizeof header))
        return std::nullopt;
    std::string body(ntohl(header) & 0x7fffffffU, '\0');
    if (body.size() < 4 || !receiveAll(fd, body.data(), body.size()))
        return std::nullopt;
    std::uint32_t xid = 0;
    std::memcpy(&xid, body.data(), sizeof xid);
    return ntohl(xid);
}

// WORDS as one record of big-endian 32-bit words.
std::string record(const std::vector<std::uint32_t>& words) {
    std::string bytes;
    const auto put = [&bytes](std::uint32_t word) {
        const std::uint32_t wire = htonl(word);
        bytes.append(reinterpret_cast<const char*>(&wire), sizeof wire);
    };
    put(0x80000000U | static_cast<std::uint32_t>(4 * words.size()));
    for (const std::uint32_t word : words)
        put(word);
    return bytes;
}

// A successful create_link reply to call XID.
std::string linkReply(std::uint32_t xid) {
    return record({xid, 1, 0, 0, 0, 0, /* error */ 0, /* lid */ 1, /* abort port */ 0, 1024});
}

// What a misbehaving peer sends every 100 ms, given the id of the call it leaves unanswered.
using Misbehaviour = std::function<std::string(std::uint32_t xid)>;

// A core channel on 127.0.0.1 for one client: it answers create_link unless MISBEHAVEFROMLINK,
// then sends what MISBEHAVIOUR makes every 100 ms (nothing when it is empty; and when READS is
// false it stops reading) until the client leaves.
class HostileCore {
  public:
    HostileCore(Misbehaviour misbehaviour, bool fromLink, bool reads = true)
        : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([=, this] { serve(misbehaviour, fromLink, reads); });
    }
    HostileCore(const HostileCore&) = delete;
    HostileCore& operator=(const HostileCore&) = delete;
    ~HostileCore() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    std::string name() const { return "vxi11/127.0.0.1:" + std::to_string(port_) + "/inst0"; }

  private:
    void serve(const Misbehaviour& misbehaviour, bool fromLink, bool reads) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto xid = receiveCall(fd);
        if (xid && !fromLink) {
            sendAll(fd, linkReply(*xid));
            xid = reads ? receiveCall(fd) : std::optional<std::uint32_t>(0);
        }
        while (xid && !stop_) {
            pollfd entry{fd, POLLRDHUP, 0};
            if (::poll(&entry, 1, 100) > 0 && (entry.revents & (POLLRDHUP | POLLHUP)) != 0)
                break;
            if (misbehaviour)
                sendAll(fd, misbehaviour(*xid));
        }
        ::close(fd);
    }

    int listener_;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

const Misbehaviour wrongXid = [](std::uint32_t xid) { return linkReply(xid + 1); };
const Misbehaviour undecodable = [](std::uint32_t xid) { return record({xid, 7, 7}); };
// The first time a header announcing 2 GiB, then one byte at a time.
Misbehaviour trickle() {
    auto started = std::make_shared<bool>(false);
    return [started](std::uint32_t) {
        if (std::exchange(*started, true))
            return std::string(1, 'x');
        return std::string("\xff\xff\xff\xff", 4);
    };
}

struct HostileCase {
    const char* what;
    Misbehaviour misbehaviour;
    bool fromLink;
    std::vector<std::string> tool; // program and options; the interface name goes last
    std::string input;
    bool reads = true;
};

// Every call ends with status 3 about its deadline (500 ms here), whatever the peer does;
// before, each of these waited until killed.
TEST(HostileCoreChannel, EveryCallEndsAtItsDeadline) {
    const std::vector<HostileCase> cases = {
        {"create_link, wrong xid", wrongXid, true, {ZEMORESET}, ""},
        {"create_link, undecodable", undecodable, true, {ZEMORESET}, ""},
        {"create_link, trickle", trickle(), true, {ZEMORESET}, ""},
        {"create_link, silence", nullptr, true, {ZEMORESET}, ""},
        {"device_read, wrong xid", wrongXid, false, {ZEMORECV, "-c", "5", "-t", "500"}, ""},
        {"device_read, undecodable", undecodable, false, {ZEMORECV, "-c", "5", "-t", "500"}, ""},
        {"device_read, trickle", trickle(), false, {ZEMORECV, "-c", "5", "-t", "500"}, ""},
        {"device_write, wrong xid", wrongXid, false, {ZEMOSEND, "-t", "500"}, "*IDN?\n"},
        {"8 MiB line, peer stops reading",
         nullptr,
         false,
         {ZEMOSEND, "-t", "500"},
         std::string(8 << 20, 'x') + "\n",
         false},
    };
    for (const HostileCase& test : cases) {
        SCOPED_TRACE(test.what);
        const HostileCore core(test.misbehaviour, test.fromLink, test.reads);
        std::vector<std::string> argv = test.tool;
        argv.push_back(core.name());
        // create_link keeps to the connect limit, the later calls to their I/O timeout.
        const kittest::Invocation invocation{.program = argv.front(),
                                             .arguments = {argv.begin() + 1, argv.end()},
                                             .environment = {"ZEMO_CONNECT_TIMEOUT=500"},
                                             .input = test.input};
        const auto start = Clock::now();
        const kittest::Result outcome = kittest::run(invocation);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        EXPECT_EQ(outcome.status, 3) << outcome.err;
        EXPECT_LT(took, milliseconds(500 + 1500));
    }
}

// A tool waiting for a reply ends at once, by the default action, on SIGTERM or SIGINT.
TEST(HostileCoreChannel, SignalsEndAWaitingTool) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const HostileCore core(nullptr, false);
        const std::string name = core.name();
        const char* argv[] = {ZEMORECV, "-c", "5", name.c_str(), nullptr};
        pid_t child = -1;
        ASSERT_EQ(
            ::posix_spawn(&child, ZEMORECV, nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
        std::this_thread::sleep_for(milliseconds(300));
        const auto start = Clock::now();
        ::kill(child, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_LT(Clock::now() - start, milliseconds(1000));
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal);
    }
}

} // namespace
} // namespace zemotest
