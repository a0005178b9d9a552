// The VXI-11 client against core channels that misbehave: replies to other calls, undecodable
// replies, a record that announces 2 GiB and trickles, silence, a peer that stops reading; and
// against portmappers that reply to other calls or answer a port that cannot be. Whatever they
// do, a call ends by its deadline, with status 3 when no reply to it came, and a signal ends a
// tool at once. And the tools against VXI-11 and HiSLIP servers that answer every read at once
// with an empty message: the tools end at their timeout all the same.
#include "hislip_wire.h"
#include "rpc_wire.h"
#include "run_program.h"
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zemotest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A successful reply to call XID whose result is the string TEXT, as rpcbind's GETADDR answers.
std::string stringReply(std::uint32_t xid, const std::string& text) {
    std::vector<std::uint32_t> words{xid, 1, 0, 0, 0, 0, static_cast<std::uint32_t>(text.size())};
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t word = 0;
        for (std::size_t j = i; j < i + 4; ++j)
            word = word << 8 | (j < text.size() ? static_cast<unsigned char>(text[j]) : 0U);
        words.push_back(word);
    }
    return record(words);
}

// What a misbehaving peer sends every 100 ms, given the id of the call it leaves unanswered.
using Misbehaviour = std::function<std::string(std::uint32_t xid)>;

constexpr unsigned short portmapperPort = 111;

// A core channel (or portmapper) for one client: it answers create_link unless
// MISBEHAVEFROMLINK, then sends what MISBEHAVIOUR makes every 100 ms (nothing when it is empty;
// and when READS is false it stops reading) until the client leaves.
class HostilePeer {
  public:
    HostilePeer(Misbehaviour misbehaviour, bool fromLink, bool reads = true, Endpoint where = {})
        : listener_(listenAt(where, port_)), family_(where.family) {
        thread_ = std::thread([=, this] { serve(misbehaviour, fromLink, reads); });
    }
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;
    ~HostilePeer() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    // The interface name that reaches the peer, through the portmapper when it is one.
    std::string name() const {
        const std::string host = family_ == AF_INET6 ? "[::1]" : "127.0.0.1";
        const std::string port = port_ == portmapperPort ? "" : ":" + std::to_string(port_);
        return "vxi11/" + host + port + "/inst0";
    }

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

    unsigned short port_ = 0; // before the listener, whose initialiser sets it
    int listener_;
    int family_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

const Misbehaviour wrongXid = [](std::uint32_t xid) { return linkReply(xid + 1); };
const Misbehaviour undecodable = [](std::uint32_t xid) { return record({xid, 7, 7}); };
// Replies to another call without a pause: 64 MiB of them, which the client takes seconds to read,
// every 100 ms (made once, as replies to the call after the first call they follow).
const Misbehaviour floodOfWrongXids = [](std::uint32_t xid) {
    static const std::string flood = [xid] {
        const std::string reply = linkReply(xid + 1);
        std::string replies;
        while (replies.size() < (64U << 20))
            replies += reply;
        return replies;
    }();
    return flood;
};
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
    std::string input = {};
    bool reads = true;
    Endpoint where = {};
    int status = 3;
    std::string reason = {}; // a part of the error line, when it matters
};

// Runs the tool of each case against a peer that misbehaves as the case says, and expects the
// case's status (3 unless it says otherwise) about the deadline, 500 ms here; before, every
// timeout among them waited until killed.
void expectEveryCaseEnds(const std::vector<HostileCase>& cases) {
    for (const HostileCase& test : cases) {
        SCOPED_TRACE(test.what);
        const HostilePeer peer(test.misbehaviour, test.fromLink, test.reads, test.where);
        std::vector<std::string> argv = test.tool;
        argv.push_back(peer.name());
        // create_link keeps to the connect limit, the later calls to their I/O timeout.
        const kittest::Invocation invocation{.program = argv.front(),
                                             .arguments = {argv.begin() + 1, argv.end()},
                                             .environment = {"ZEMO_CONNECT_TIMEOUT=500"},
                                             .input = test.input};
        const auto start = Clock::now();
        const kittest::Result outcome = kittest::run(invocation);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        EXPECT_EQ(outcome.status, test.status) << outcome.err;
        EXPECT_NE(outcome.err.find(test.reason), std::string::npos) << outcome.err;
        EXPECT_LT(took, milliseconds(500 + 1500));
    }
}

TEST(HostileCoreChannel, EveryCallEndsAtItsDeadline) {
    expectEveryCaseEnds({
        {"create_link, wrong xid", wrongXid, true, {ZEMORESET}, ""},
        {"create_link, undecodable", undecodable, true, {ZEMORESET}, ""},
        {"create_link, trickle", trickle(), true, {ZEMORESET}, ""},
        {"create_link, silence", nullptr, true, {ZEMORESET}, ""},
        {"device_read, wrong xid", wrongXid, false, {ZEMORECV, "-c", "5", "-t", "500"}, ""},
        {"device_read, undecodable", undecodable, false, {ZEMORECV, "-c", "5", "-t", "500"}, ""},
        {"device_read, trickle", trickle(), false, {ZEMORECV, "-c", "5", "-t", "500"}, ""},
        {"device_read, a flood of replies to another call",
         floodOfWrongXids,
         false,
         {ZEMORECV, "-c", "5", "-t", "500"},
         ""},
        {"device_write, wrong xid", wrongXid, false, {ZEMOSEND, "-t", "500"}, "*IDN?\n"},
        {"8 MiB line, peer stops reading",
         nullptr,
         false,
         {ZEMOSEND, "-t", "500"},
         std::string(8 << 20, 'x') + "\n",
         false},
    });
}

// The calling thread in a network namespace of its own, with loopback up, while the object
// lives; the programs it starts share it. There the test's own portmapper listens on port 111
// without disturbing the system's. Entering needs CAP_SYS_ADMIN; failure() says why it failed.
class OwnNetwork {
  public:
    OwnNetwork() : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
        if (original_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
            failure_ = std::string("cannot enter a network namespace: ") + std::strerror(errno);
            return;
        }
        entered_ = true;
        if (!bringLoopbackUp())
            failure_ = std::string("cannot bring loopback up: ") + std::strerror(errno);
    }
    OwnNetwork(const OwnNetwork&) = delete;
    OwnNetwork& operator=(const OwnNetwork&) = delete;
    ~OwnNetwork() {
        if (entered_ && ::setns(original_, CLONE_NEWNET) != 0)
            std::abort(); // the later tests would run in the wrong network
        if (original_ >= 0)
            ::close(original_);
    }

    const std::string& failure() const { return failure_; }

  private:
    static bool bringLoopbackUp() {
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool up = control >= 0 && ::ioctl(control, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = up && ::ioctl(control, SIOCSIFFLAGS, &request) == 0;
        if (control >= 0)
            ::close(control);
        return up;
    }

    int original_;
    bool entered_ = false;
    std::string failure_;
};

// A portmapper's answer to a look-up: over IPv4 version 2's port, over IPv6 rpcbind version 4's
// universal address ("ADDRESS.P1.P2", the port being P1 * 256 + P2).
const Misbehaviour port70000 = [](std::uint32_t xid) {
    return record({xid, 1, 0, 0, 0, 0, 70000});
};
const Misbehaviour address65536 = [](std::uint32_t xid) { return stringReply(xid, "::1.256.0"); };

// A look-up that gets no reply to itself ends at the connect limit, and a port that cannot be is
// reported as such, not as a portmapper that knows no core channel.
TEST(HostilePortmapper, EveryLookUpEnds) {
    const OwnNetwork network;
    if (!network.failure().empty())
        GTEST_SKIP() << "a portmapper of the test's own needs port 111 in a network namespace of "
                        "its own, which needs root; "
                     << network.failure();
    const Endpoint ipv4{AF_INET, portmapperPort};
    const Endpoint ipv6{AF_INET6, portmapperPort};
    const std::string invalidPort = "answered an invalid port, ";
    expectEveryCaseEnds({
        {.what = "GETPORT, wrong xid",
         .misbehaviour = wrongXid,
         .fromLink = true,
         .tool = {ZEMORESET},
         .where = ipv4,
         .reason = "no reply from the portmapper within the timeout"},
        {.what = "GETPORT, port 70000",
         .misbehaviour = port70000,
         .fromLink = true,
         .tool = {ZEMORESET},
         .where = ipv4,
         .status = 2,
         .reason = invalidPort + "70000, for the VXI-11 core channel"},
        {.what = "GETADDR over IPv6, wrong xid",
         .misbehaviour = wrongXid,
         .fromLink = true,
         .tool = {ZEMORESET},
         .where = ipv6,
         .reason = "no reply from the portmapper within the timeout"},
        {.what = "GETADDR over IPv6, port 65536",
         .misbehaviour = address65536,
         .fromLink = true,
         .tool = {ZEMORESET},
         .where = ipv6,
         .status = 2,
         .reason = invalidPort + "65536, for the VXI-11 core channel"},
    });
}

// A tool waiting for a reply ends at once, by the default action, on SIGTERM or SIGINT.
TEST(HostileCoreChannel, SignalsEndAWaitingTool) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const HostilePeer core(nullptr, false);
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

// The two protocols whose reads can end with an empty message.
enum class Protocol { vxi11, hislip };

// How long a server that answers every read with nothing keeps at it: far beyond the timeouts of
// the tools here, so that a tool that never gives up meets a closed connection (status 2) rather
// than hanging the test.
constexpr auto emptyAnswersFor = std::chrono::seconds(5);

// Reads one HiSLIP message, header and payload; false when the client left.
bool receiveHislipMessage(int fd) {
    char header[16];
    if (!receiveAll(fd, header, sizeof header))
        return false;
    std::uint64_t length = 0;
    for (std::size_t i = 8; i < sizeof header; ++i)
        length = length << 8 | static_cast<unsigned char>(header[i]);
    std::string payload(length, '\0');
    return receiveAll(fd, payload.data(), payload.size());
}

// The reply of a scripted device to its device_read number READ (from 0), call XID.
using ReadReply = std::function<std::string(std::uint32_t xid, int read)>;

// Every device_read ends (END) with no data.
const ReadReply endWithNothing = [](std::uint32_t xid, int) {
    return record({xid, 1, 0, 0, 0, 0, /* error */ 0, /* reason END */ 4, /* no data */ 0});
};

// The reply to the VXI-11 call BODY from a device whose device_read number READS answers
// READREPLY: device_write takes every byte, create_link links and any other call succeeds.
std::string scriptedReply(const std::string& body, const ReadReply& readReply, int& reads) {
    const std::uint32_t xid = wordAt(body, 0);
    switch (wordAt(body, 5)) {
    case 10: // create_link
        return linkReply(xid);
    case 11: // device_write: the data's length follows the header's ten words and four others
        return record({xid, 1, 0, 0, 0, 0, 0, wordAt(body, 14)});
    case 12:
        return readReply(xid, reads++);
    default:
        return record({xid, 1, 0, 0, 0, 0, 0});
    }
}

// A server for one client that answers every read at once, until the client leaves or
// emptyAnswersFor has passed: over VXI-11 every device_read as READREPLY says (by default with
// END and no data), over HiSLIP with a stream of empty DataEnd messages for a client that has
// sent nothing (MessageID 0xfffffefe) and for one that has sent its first message (0xffffff00).
class EmptyAnswers {
  public:
    explicit EmptyAnswers(Protocol protocol, ReadReply readReply = endWithNothing)
        : listener_(listenAt({}, port_)), protocol_(protocol), readReply_(std::move(readReply)) {
        thread_ = std::thread([this] {
            const auto until = Clock::now() + emptyAnswersFor;
            if (protocol_ == Protocol::vxi11)
                answerCalls(until);
            else
                streamEmptyEnds(until);
        });
    }
    EmptyAnswers(const EmptyAnswers&) = delete;
    EmptyAnswers& operator=(const EmptyAnswers&) = delete;
    ~EmptyAnswers() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    std::string name() const {
        const std::string address = "127.0.0.1:" + std::to_string(port_);
        return protocol_ == Protocol::vxi11 ? "vxi11/" + address + "/inst0" : "hislip/" + address;
    }

  private:
    // True while the server is to go on serving.
    bool serving(Clock::time_point until) const { return !stop_ && Clock::now() < until; }

    void answerCalls(Clock::time_point until) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        int reads = 0;
        while (fd >= 0 && serving(until)) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0)
                continue;
            const auto body = receiveCallBody(fd);
            if (!body)
                break;
            sendAll(fd, scriptedReply(*body, readReply_, reads));
        }
        ::close(fd);
    }

    // Opens the session, then sends empty DataEnd messages as fast as the client takes them.
    void streamEmptyEnds(Clock::time_point until) {
        const int sync = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        const bool initialized = sync >= 0 && receiveHislipMessage(sync);
        if (initialized)
            sendAll(sync, header(1, 0, 0x01000001, 0));
        const int async = initialized ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        bool open = async >= 0 && receiveHislipMessage(async);
        if (open)
            sendAll(async, header(18, 0, 0x5a4b, 0));
        open = open && receiveHislipMessage(async);
        if (open)
            sendAll(async, header(16, 0, 0, 8) + std::string("\0\0\0\0\0\x10\0\0", 8));
        const std::string ends = header(7, 0, 0xfffffefe, 0) + header(7, 0, 0xffffff00, 0);
        while (open && serving(until)) {
            pollfd entry{sync, POLLOUT, 0};
            if (::poll(&entry, 1, 100) > 0)
                open = ::send(sync, ends.data(), ends.size(), MSG_NOSIGNAL) > 0;
        }
        ::close(async);
        ::close(sync);
    }

    unsigned short port_ = 0; // before the listener, whose initialiser sets it
    int listener_;
    Protocol protocol_;
    ReadReply readReply_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Every read succeeds with 0 bytes, for ever: the tool gives up once no byte has come for its
// timeout, with the one line and status 3 of a library timeout, instead of reading on at full
// speed until the server quits.
TEST(EmptyAnswers, EndTheToolAtItsTimeout) {
    struct Case {
        const char* what;
        Protocol protocol;
        std::vector<std::string> options;
        std::vector<std::string> messages = {}; // after the interface name
    };
    const std::vector<Case> cases{
        {"zemorecv, VXI-11", Protocol::vxi11, {"-t", "500", "-c", "5"}},
        {"zemoquery, VXI-11", Protocol::vxi11, {"-t", "500"}, {"X?"}},
        {"zemorecv, HiSLIP", Protocol::hislip, {"-t", "500", "-c", "5"}},
        {"zemoquery, HiSLIP", Protocol::hislip, {"-t", "500"}, {"X?"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const EmptyAnswers server(test.protocol);
        std::vector<std::string> arguments = test.options;
        arguments.push_back(server.name());
        arguments.insert(arguments.end(), test.messages.begin(), test.messages.end());
        const std::string reason =
            "no data from the instrument within 500 ms: every read returned an empty message";
        if (test.messages.empty())
            expectOutcome(runTool(ZEMORECV, arguments), 3, "",
                          "zemo: zemo_read " + server.name() + ": " + reason + "\n");
        else // zemoquery names the message and the timeout itself
            expectOutcome(runTool(ZEMOQUERY, arguments), 3, "",
                          std::string(ZEMOQUERY) + ": 'X?': no answer within 500 ms from " +
                              server.name() + " (" + reason + ")\n");
    }
}

// A read that has bytes when the device fails the next device_read of it returns those bytes;
// the failure is reported by the call after it, so a tool writes them before it ends.
TEST(EmptyAnswers, BytesBeforeADeviceErrorAreDelivered) {
    const EmptyAnswers server(Protocol::vxi11, [](std::uint32_t xid, int read) {
        if (read == 0) // "abc" without END
            return record({xid, 1, 0, 0, 0, 0, 0, /* reason */ 0, 3, 0x61626300});
        return record({xid, 1, 0, 0, 0, 0, /* error: I/O error */ 17, 0, 0});
    });
    expectOutcome(runTool(ZEMORECV, {"-t", "500", "-c", "5", server.name()}), 2, "abc",
                  "zemo: zemo_read " + server.name() +
                      ": device_read failed: I/O error (VXI-11 error 17)\n");
}

} // namespace
} // namespace zemotest
