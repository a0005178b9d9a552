// zemosim's service requests over VXI-11 as clients of the test's own see them on the wire: the
// core channel's create_intr_chan, device_enable_srq and destroy_intr_chan, and the
// device_intr_srq calls that reach the test's own listeners when the instrument raises a
// request, while other clients announce channels that refuse, or never accept, connections; and,
// from inside, which VXI-11 and HiSLIP connections waiting for a request the idle limit spares.
#include "hislip_wire.h"
#include "rpc_wire.h"
#include "server.h"
#include "sim_server.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zemotest {
namespace {

constexpr std::uint32_t coreProgram = 0x0607AF;
constexpr std::uint32_t interruptProgram = 0x0607B1;
constexpr std::uint32_t familyTcp = 0;
constexpr std::uint32_t familyUdp = 1;
constexpr std::uint32_t loopback = 0x7f000001;
// accept_stat of a call whose arguments do not decode.
constexpr std::uint32_t garbageArguments = 4;

enum Procedure : std::uint32_t {
    createLink = 10,
    deviceWrite = 11,
    deviceReadStb = 13,
    enableSrq = 20,
    createIntrChan = 25,
    destroyIntrChan = 26,
    intrSrq = 30,
};

// TEXT as XDR opaque data or a string: its length, then its bytes in words, padded with zeros.
std::vector<std::uint32_t> opaque(const std::string& text) {
    std::vector<std::uint32_t> words{static_cast<std::uint32_t>(text.size())};
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t word = 0;
        for (std::size_t j = i; j < i + 4; ++j)
            word = word << 8 | (j < text.size() ? static_cast<unsigned char>(text[j]) : 0U);
        words.push_back(word);
    }
    return words;
}

std::vector<std::uint32_t> joined(std::vector<std::uint32_t> first,
                                  const std::vector<std::uint32_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The words of a record's BODY.
std::vector<std::uint32_t> wordsOf(const std::string& body) {
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < body.size() / 4; ++i)
        words.push_back(wordAt(body, i));
    return words;
}

// Makes FD's receives give up after 5 seconds, so that no test waits for ever.
int boundedReceives(int fd) {
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// The port in "vxi11/HOST:PORT/DEVICE".
unsigned short portOf(const std::string& name) {
    const auto colon = name.rfind(':');
    return static_cast<unsigned short>(std::stoi(name.substr(colon + 1)));
}

// A socket connected to PORT on the loopback address.
int connectedTo(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// One connection to zemosim's core channel, calls encoded by hand.
class CoreClient {
  public:
    explicit CoreClient(unsigned short port) : CoreClient(connectedTo(port)) {}
    // The client of connected socket FD, which it closes.
    explicit CoreClient(int fd) : fd_(boundedReceives(fd)) {}
    CoreClient(const CoreClient&) = delete;
    CoreClient& operator=(const CoreClient&) = delete;
    ~CoreClient() { ::close(fd_); }

    int fd() const { return fd_; }

    // The reply to a call: its accept status and the result words after it.
    struct Reply {
        std::uint32_t acceptStatus = 0xffffffff;
        std::vector<std::uint32_t> result;
    };

    Reply call(std::uint32_t procedure, const std::vector<std::uint32_t>& arguments) {
        const std::uint32_t xid = nextXid_++;
        sendAll(fd_, record(joined({xid, 0, 2, coreProgram, 1, procedure, 0, 0, 0, 0}, arguments)));
        const auto body = receiveCallBody(fd_);
        if (!body || wordAt(*body, 0) != xid || wordAt(*body, 1) != 1 || wordAt(*body, 2) != 0)
            return {};
        const auto words = wordsOf(*body);
        return {words.at(5), {words.begin() + 6, words.end()}};
    }

    // The error of a call answered with Device_Error; -1 when it was not carried out.
    int error(std::uint32_t procedure, const std::vector<std::uint32_t>& arguments = {}) {
        const Reply reply = call(procedure, arguments);
        return reply.acceptStatus == 0 && !reply.result.empty() ? static_cast<int>(reply.result[0])
                                                                : -1;
    }

    std::uint32_t link(const std::string& device) {
        const Reply reply = call(createLink, joined({1, 0, 0}, opaque(device)));
        EXPECT_EQ(reply.result.size(), 4U);
        return reply.result.size() == 4 && reply.result[0] == 0 ? reply.result[1] : 0;
    }

    int write(std::uint32_t lid, const std::string& text) {
        return error(deviceWrite, joined({lid, 1000, 0, 0x08}, opaque(text)));
    }

    // The status byte device_readstb reads on LID; -1 when the call failed.
    int statusByte(std::uint32_t lid) {
        const Reply reply = call(deviceReadStb, {lid, 0, 0, 1000});
        return reply.acceptStatus == 0 && reply.result.size() == 2 && reply.result[0] == 0
                   ? static_cast<int>(reply.result[1])
                   : -1;
    }

    int announce(unsigned short port, std::uint32_t program = interruptProgram,
                 std::uint32_t version = 1, std::uint32_t family = familyTcp) {
        return error(createIntrChan, {loopback, port, program, version, family});
    }

    int enable(std::uint32_t lid, bool on, const std::string& handle) {
        return error(enableSrq, joined({lid, on ? 1U : 0U}, opaque(handle)));
    }

  private:
    int fd_;
    std::uint32_t nextXid_ = 1;
};

// What device_intr_srq carrying HANDLE holds after its transaction id: a call of DEVICE_INTR
// version 1, procedure 30, empty credentials, and the handle.
std::vector<std::uint32_t> interruptCall(const std::string& handle) {
    return joined({0, 2, interruptProgram, 1, intrSrq, 0, 0, 0, 0}, opaque(handle));
}

// The words after the transaction id of the next call that arrives on FD; empty when none came.
std::vector<std::uint32_t> nextCall(int fd) {
    const auto body = receiveCallBody(fd);
    if (!body)
        return {};
    auto words = wordsOf(*body);
    words.erase(words.begin());
    return words;
}

// Accepts the next connection on LISTENER within 5 seconds; -1 when none came.
int acceptWithin(int listener) {
    pollfd entry{listener, POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1)
        return -1;
    return boundedReceives(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

class ServiceRequests : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new kittest::TempTree;
        server_ = new SimServer(
            {"-p", directory_->makeFile("dmm", "name dmm\ndelay SLOW? 100 late\n").string()}, 4);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete directory_;
    }
    static unsigned short port() { return portOf(server_->name("dmm", "vxi11")); }

    static kittest::TempTree* directory_;
    static SimServer* server_;
};

kittest::TempTree* ServiceRequests::directory_ = nullptr;
SimServer* ServiceRequests::server_ = nullptr;

// The work that raises a request when it completes, with nobody talking to the instrument then.
const std::string delayedOperation = "*CLS;*ESE 1;*SRE 32;SLOW?;*OPC\n";

// Each call in turn on one connection, with the error it answers.
TEST_F(ServiceRequests, ChannelProceduresAndTheirErrors) {
    CoreClient client(port());
    const std::uint32_t lid = client.link("dmm");
    const unsigned short somePort = closedPort();
    struct Step {
        const char* title;
        std::function<int()> call;
        int error;
    };
    const std::vector<Step> steps{
        {"destroy_intr_chan without a channel", [&] { return client.error(destroyIntrChan); }, 6},
        {"a channel over UDP",
         [&] { return client.announce(somePort, interruptProgram, 1, familyUdp); }, 8},
        {"a channel of another program", [&] { return client.announce(somePort, coreProgram); }, 5},
        {"a channel of another version",
         [&] { return client.announce(somePort, interruptProgram, 2); }, 5},
        {"a channel at port 0", [&] { return client.announce(0); }, 5},
        {"create_intr_chan", [&] { return client.announce(somePort); }, 0},
        {"create_intr_chan again", [&] { return client.announce(somePort); }, 29},
        {"device_enable_srq on no link", [&] { return client.enable(lid + 1000, true, "h"); }, 4},
        {"device_enable_srq", [&] { return client.enable(lid, true, std::string(40, 'h')); }, 0},
        {"device_enable_srq disabling", [&] { return client.enable(lid, false, ""); }, 0},
        {"destroy_intr_chan", [&] { return client.error(destroyIntrChan); }, 0},
        {"destroy_intr_chan again", [&] { return client.error(destroyIntrChan); }, 6},
        {"create_intr_chan after destroy_intr_chan", [&] { return client.announce(somePort); }, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.title);
        EXPECT_EQ(step.call(), step.error);
    }
    // A handle of more than 40 bytes is no Device_EnableSrqParms.
    const auto tooLong = client.call(enableSrq, joined({lid, 1}, opaque(std::string(41, 'h'))));
    EXPECT_EQ(tooLong.acceptStatus, garbageArguments);
}

// Calls sent one after another without waiting for their replies, as RPC over TCP allows, are
// each answered, in order.
TEST_F(ServiceRequests, CallsSentTogetherAreEachAnswered) {
    CoreClient client(port());
    const std::string device = "dmm";
    std::string calls;
    for (std::uint32_t xid = 1; xid <= 3; ++xid)
        calls += record(
            joined({xid, 0, 2, coreProgram, 1, createLink, 0, 0, 0, 0, 1, 0, 0}, opaque(device)));
    sendAll(client.fd(), calls);
    for (std::uint32_t xid = 1; xid <= 3; ++xid) {
        const auto reply = receiveCallBody(client.fd());
        ASSERT_TRUE(reply) << "no reply to call " << xid;
        EXPECT_EQ(wordAt(*reply, 0), xid);
    }
}

// One request, raised when the delayed operation completes, reaches every enabled link of a
// client whose channel listens, on one connection that is kept for the next; clients whose
// channel refuses or never accepts connections hold up neither the others nor their own core
// channel; a disabled link is sent nothing; destroy_intr_chan closes the connection.
TEST_F(ServiceRequests, EachEnabledLinkIsCalledAndDeadChannelsHoldUpNobody) {
    unsigned short listening = 0;
    unsigned short otherListening = 0;
    const int listener = listenAt({}, listening);
    const int otherListener = listenAt({}, otherListening);
    const FullListener full;
    CoreClient good(port());
    CoreClient refused(port());
    CoreClient stuck(port());
    CoreClient other(port());
    const std::uint32_t first = good.link("dmm");
    const std::uint32_t second = good.link("dmm");
    const std::uint32_t refusedLink = refused.link("dmm");
    const std::uint32_t stuckLink = stuck.link("dmm");
    const std::uint32_t otherLink = other.link("dmm");
    for (const auto& [client, channelPort] :
         {std::pair{&good, listening}, std::pair{&refused, closedPort()},
          std::pair{&stuck, full.port}, std::pair{&other, otherListening}})
        ASSERT_EQ(client->announce(channelPort), 0);
    ASSERT_EQ(good.enable(first, true, "first link"), 0);
    ASSERT_EQ(good.enable(second, true, "second"), 0);
    ASSERT_EQ(refused.enable(refusedLink, true, "refused"), 0);
    ASSERT_EQ(stuck.enable(stuckLink, true, "stuck"), 0);
    ASSERT_EQ(other.enable(otherLink, true, "before"), 0);
    ASSERT_EQ(other.enable(otherLink, false, ""), 0);

    ASSERT_EQ(good.write(first, delayedOperation), 0);
    const int channel = acceptWithin(listener);
    ASSERT_GE(channel, 0);
    EXPECT_EQ(nextCall(channel), interruptCall("first link"));
    EXPECT_EQ(nextCall(channel), interruptCall("second"));
    // The core channels of the clients whose channels are dead answer, RQS set until the first
    // serial poll.
    EXPECT_EQ(stuck.statusByte(stuckLink), 0x60);
    EXPECT_EQ(refused.statusByte(refusedLink), 0x20);

    ASSERT_EQ(other.enable(otherLink, true, "after"), 0);
    ASSERT_EQ(refused.write(refusedLink, delayedOperation), 0);
    EXPECT_EQ(nextCall(channel), interruptCall("first link"));
    EXPECT_EQ(nextCall(channel), interruptCall("second"));
    const int otherChannel = acceptWithin(otherListener);
    ASSERT_GE(otherChannel, 0);
    EXPECT_EQ(nextCall(otherChannel), interruptCall("after"));

    ASSERT_EQ(good.error(destroyIntrChan), 0);
    char byte = 0;
    EXPECT_EQ(::recv(channel, &byte, 1, 0), 0);
    for (const int fd : {otherChannel, channel, otherListener, listener})
        ::close(fd);
}

// A connection waiting for a service request is spared the idle limit; the others are not. The
// servers run from inside, with an idle limit short enough to pass several times over.
constexpr zemosim::Milliseconds idleLimit{200};

// Whether the server closed FD (within the 5 seconds a receive waits), what it sent first
// read and dropped.
bool closedByServer(int fd) {
    char bytes[256];
    ssize_t got = 0;
    while ((got = ::recv(boundedReceives(fd), bytes, sizeof bytes, 0)) > 0) {
    }
    return got == 0;
}

// The instrument "dmm", HiSLIP sub-address hislip0, served from inside over both protocols with
// the short idle limit, one thread per connection; the threads end with their connections.
class InsideServer {
  public:
    InsideServer() {
        zemosim::Definition definition;
        definition.name = "dmm";
        definition.hislipName = "hislip0";
        instruments_.push_back(std::make_unique<zemosim::Instrument>(definition));
        sessions_ = zemosim::makeHislipSessions(instruments_);
        other_ = instruments_[0]->join(0, zemosim::Reading::onRequest);
    }
    InsideServer(const InsideServer&) = delete;
    InsideServer& operator=(const InsideServer&) = delete;
    ~InsideServer() {
        for (auto& thread : threads_)
            thread.join();
    }

    // The client's end of a new core channel connection.
    int vxi11() {
        return serve([this](zemo::FileDescriptor connection) {
            zemosim::serveVxi11(std::move(connection), instruments_, 1, idleLimit);
        });
    }
    // The client's end of a new HiSLIP connection.
    int hislip() {
        return serve([this](zemo::FileDescriptor connection) {
            zemosim::serveHislip(std::move(connection), *sessions_, 1, idleLimit);
        });
    }
    // Executes COMMAND as a client of the instrument's own, neither of the tested ones.
    void execute(const std::string& command) { instruments_[0]->execute(command, other_); }

  private:
    int serve(std::function<void(zemo::FileDescriptor)> connection) {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        threads_.emplace_back(std::move(connection), zemo::FileDescriptor(ends[1]));
        return ends[0];
    }

    zemosim::Instruments instruments_;
    std::shared_ptr<zemosim::HislipSessions> sessions_;
    zemosim::ClientId other_ = 0;
    std::vector<std::thread> threads_;
};

// A client that has set up its connection and then waits in silence.
class Waiter {
  public:
    virtual ~Waiter() = default;
    // Whether the request the instrument raised reached the client.
    virtual bool toldOfRequest() = 0;
    // The status byte a serial poll reads; -1 when the connection failed.
    virtual int statusByte() = 0;
    // Whether the server closed every connection of the client.
    virtual bool closed() = 0;
};

// A VXI-11 client with one link, which announces an interrupt channel of the test's own or not,
// and enables requests on its link, or enables and then disables them, or does neither.
class Vxi11Waiter : public Waiter {
  public:
    enum class Requests { none, enabled, disabledAgain };

    Vxi11Waiter(InsideServer& server, bool announce, Requests requests)
        : core_(server.vxi11()), listener_(listenAt({}, port_)) {
        lid_ = core_.link("dmm");
        EXPECT_EQ(core_.write(lid_, "*ESE 1;*SRE 32\n"), 0);
        EXPECT_EQ(announce ? core_.announce(port_) : 0, 0);
        EXPECT_EQ(requests != Requests::none ? core_.enable(lid_, true, "waiting") : 0, 0);
        EXPECT_EQ(requests == Requests::disabledAgain ? core_.enable(lid_, false, "") : 0, 0);
    }
    ~Vxi11Waiter() override {
        if (channel_ >= 0)
            ::close(channel_);
        ::close(listener_);
    }

    bool toldOfRequest() override {
        channel_ = acceptWithin(listener_);
        return channel_ >= 0 && nextCall(channel_) == interruptCall("waiting");
    }
    int statusByte() override { return core_.statusByte(lid_); }
    bool closed() override { return closedByServer(core_.fd()); }

  private:
    CoreClient core_;
    unsigned short port_ = 0;
    int listener_;
    std::uint32_t lid_ = 0;
    int channel_ = -1;
};

// A HiSLIP session whose client sends ENABLING (a *SRE among others) on the synchronous channel.
class HislipWaiter : public Waiter {
  public:
    HislipWaiter(InsideServer& server, const std::string& enabling)
        : sync_(boundedReceives(server.hislip())), async_(boundedReceives(server.hislip())) {
        sendAll(sync_, header(0, 0, 0x01005a4b, 7) + "hislip0");
        const std::string response = nextHeader(sync_);
        const auto id = static_cast<std::uint32_t>(static_cast<unsigned char>(response[6]) << 8 |
                                                   static_cast<unsigned char>(response[7]));
        sendAll(async_, header(17, 0, id, 0));
        EXPECT_EQ(nextHeader(async_), header(18, 0, 0x5a4b, 0));
        sendAll(sync_, header(7, 0, 0xffffff00, enabling.size()) + enabling);
    }
    ~HislipWaiter() override {
        ::close(sync_);
        ::close(async_);
    }

    bool toldOfRequest() override { return nextHeader(async_) == header(20, 0x60, 0, 0); }
    int statusByte() override {
        sendAll(async_, header(21, 0, 0xffffff02, 0));
        const std::string response = nextHeader(async_);
        return response.substr(0, 3) == header(22, 0, 0, 0).substr(0, 3)
                   ? static_cast<unsigned char>(response[3])
                   : -1;
    }
    bool closed() override { return closedByServer(sync_) && closedByServer(async_); }

  private:
    // The next message on FD, which carries no payload; empty when none came.
    static std::string nextHeader(int fd) {
        std::string bytes(16, '\0');
        return receiveAll(fd, bytes.data(), bytes.size()) ? bytes : std::string{};
    }

    int sync_;
    int async_;
};

// After several idle limits of silence another client runs a command: one that raises a
// request reaches a client waiting for it, whose connection still answers; a client that waits
// for none has lost its connection by then, or does within the idle limit after the command
// (HiSLIP: from when SRE stops enabling a request, which the other client may do).
TEST(IdleConnections, ThoseWaitingForServiceRequestsAreSpared) {
    using Requests = Vxi11Waiter::Requests;
    using Open = std::function<std::unique_ptr<Waiter>(InsideServer&)>;
    const auto vxi11 = [](bool announce, Requests requests) -> Open {
        return [=](InsideServer& server) {
            return std::make_unique<Vxi11Waiter>(server, announce, requests);
        };
    };
    const auto hislip = [](const std::string& enabling) -> Open {
        return
            [=](InsideServer& server) { return std::make_unique<HislipWaiter>(server, enabling); };
    };
    const struct {
        const char* title;
        Open open;
        const char* afterSilence;
        bool spared;
    } cases[]{
        {"vxi11, interrupt channel and requests enabled", vxi11(true, Requests::enabled), "*OPC",
         true},
        {"vxi11, requests enabled without a channel", vxi11(false, Requests::enabled), "*OPC",
         false},
        {"vxi11, interrupt channel without requests", vxi11(true, Requests::none), "*OPC", false},
        {"vxi11, requests enabled and disabled again", vxi11(true, Requests::disabledAgain), "*OPC",
         false},
        {"hislip, SRE enables ESB", hislip("*ESE 1;*SRE 32\n"), "*OPC", true},
        {"hislip, SRE enables only MAV, which raises none", hislip("*ESE 1;*SRE 16\n"), "*OPC",
         false},
        {"hislip, SRE disabled by another client", hislip("*ESE 1;*SRE 32\n"), "*SRE 0", false},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.title);
        InsideServer server;
        const auto waiter = item.open(server);
        std::this_thread::sleep_for(4 * idleLimit);
        server.execute(item.afterSilence);
        if (item.spared) {
            EXPECT_TRUE(waiter->toldOfRequest());
            EXPECT_EQ(waiter->statusByte(), 0x60);
        } else {
            EXPECT_TRUE(waiter->closed());
        }
    }
}

} // namespace
} // namespace zemotest
