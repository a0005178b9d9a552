// HiSLIP end to end over loopback: the built tools against zemosim's HiSLIP server, sessions
// opened by hand against the server, and the tools against servers that misbehave; and the
// server from inside, for its idle limit.
#include "hislip_wire.h"
#include "run_program.h"
#include "server.h"
#include "sim_server.h"
#include "tool_runs.h"

#include <zemo.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace zemotest {
namespace {

using kittest::Result;
using kittest::TempTree;

// The port in "hislip/HOST:PORT/SUBADDRESS".
std::string portOf(const std::string& name) {
    const auto colon = name.rfind(':');
    return name.substr(colon + 1, name.find('/', colon) - colon - 1);
}

// One zemosim: the plain instrument at hislip0, and one under the sub-address its file names
// that takes at most 16 bytes per message.
class Hislip : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new TempTree;
        server_ = new SimServer({directory_->makeFile("plain", "").string(),
                                 directory_
                                     ->makeFile("small", "hislip small\nproperty VOLT 0\n"
                                                         "delay SLOW? 1000 late\n"
                                                         "query A? alpha\n"
                                                         "maxrecvsize 16\n")
                                     .string()},
                                6);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete directory_;
    }
    // Every test starts with empty output queues.
    void SetUp() override {
        for (const auto& name : {plain(), small()})
            ASSERT_EQ(runTool(ZEMORESET, {name}).status, 0);
    }

    static std::string plainVxi11() { return server_->name("inst0", "vxi11"); }
    static std::string plain() { return server_->name("inst0", "hislip"); }
    static std::string small() { return server_->name("inst1", "hislip"); }
    static std::string port() { return portOf(plain()); }

    static TempTree* directory_;
    static SimServer* server_;
};

TempTree* Hislip::directory_ = nullptr;
SimServer* Hislip::server_ = nullptr;

// The HiSLIP names follow every other name, in the order of the files.
TEST_F(Hislip, NamesEveryInstrumentUnderItsSubAddress) {
    const auto& names = server_->names();
    ASSERT_EQ(names.size(), 6U);
    EXPECT_EQ(names[4].protocol, "hislip");
    EXPECT_EQ(names[5].protocol, "hislip");
    EXPECT_EQ(plain(), "hislip/127.0.0.1:" + port() + "/hislip0");
    EXPECT_EQ(small(), "hislip/127.0.0.1:" + port() + "/small");
}

TEST_F(Hislip, QueryAndAnswer) {
    expectAnswer(plain(), "*IDN?\n", plain(), identity);
    // The sub-address defaults to hislip0.
    expectAnswer("hislip/127.0.0.1:" + port(), "*IDN?\n", plain(), identity);
}

// Several MiB arrive in Data messages of 1 MiB and leave in reads of 1 MiB that end in the
// middle of messages.
TEST_F(Hislip, CountedReadOfSeveralMebibytes) {
    const std::size_t count = 3 * 1024 * 1024 + 7;
    expectAnswer(plain(), "DATA? " + std::to_string(count) + "\n", plain(), dataBlock(count));
}

// A command longer than the server's maximum message size goes in several Data messages.
TEST_F(Hislip, WriteLargerThanTheMaximumMessageSize) {
    const std::string value(300, 'x');
    expectAnswer(small(), "VOLT " + value + "\nVOLT?\n", small(), value + "\n");
}

TEST_F(Hislip, ReadTimeout) {
    expectOutcome(runTool(ZEMOSEND, {small()}, "SLOW?\n"), 0, "", "");
    const auto start = std::chrono::steady_clock::now();
    expectOutcome(runTool(ZEMORECV, {"-t", "300", small()}), 3, "",
                  "zemo: zemo_read " + small() + ": no data from the instrument within 300 ms\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // The answer that came late waits in the queue.
    expectOutcome(runTool(ZEMORECV, {"-c", "5", small()}), 0, "late\n", "");
}

TEST_F(Hislip, DeviceClearEmptiesTheQueue) {
    expectOutcome(runTool(ZEMOSEND, {plain()}, "*IDN?\nDATA? 100000\n"), 0, "", "");
    expectOutcome(runTool(ZEMORESET, {plain()}), 0, "", "");
    expectOutcome(runTool(ZEMORECV, {"-t", "200", plain()}), 3, "",
                  "zemo: zemo_read " + plain() + ": no data from the instrument within 200 ms\n");
}

// The output queue is the instrument's: a query sent over HiSLIP is answered over VXI-11, and
// the reverse.
TEST_F(Hislip, QueryAnsweredOverVxi11AndTheReverse) {
    expectAnswer(plain(), "*IDN?\n", plainVxi11(), identity);
    expectAnswer(plainVxi11(), "*IDN?\n", plain(), identity);
}

TEST_F(Hislip, UnknownSubAddressIsAFatalError) {
    const std::string name = "hislip/127.0.0.1:" + port() + "/nope";
    expectOutcome(runTool(ZEMORESET, {name}), 2, "",
                  "zemo: zemo_open " + name +
                      ": Initialize: the instrument ended the session: unidentified error "
                      "(HiSLIP FatalError 0): no instrument at sub-address 'nope'\n");
}

// A raw TCP connection to 127.0.0.1 at PORT.
int connectTo(const std::string& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(std::stoi(port)));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Receives from FD until WANT says the bytes are complete, the peer closes, or 2 seconds pass.
std::string receiveWhile(int fd, const std::function<bool(const std::string&)>& want) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (want(received) && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0)
            continue;
        char chunk[4096];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        received.append(chunk, static_cast<std::size_t>(got));
    }
    return received;
}

// What the peer sends until it closes the connection.
std::string untilClosed(int fd) {
    return receiveWhile(fd, [](const std::string&) { return true; });
}

// The next message on FD, header and payload.
std::string nextMessage(int fd) {
    return receiveWhile(fd, [](const std::string& bytes) {
        std::uint64_t length = 0;
        for (std::size_t i = 8; i < 16 && i < bytes.size(); ++i)
            length = length << 8 | static_cast<unsigned char>(bytes[i]);
        return bytes.size() < 16 || bytes.size() < 16 + length;
    });
}

void sendBytes(int fd, const std::string& message) {
    EXPECT_EQ(::send(fd, message.data(), message.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(message.size()));
}

// Sends MESSAGE on FD and returns the answer.
std::string ask(int fd, const std::string& message) {
    sendBytes(fd, message);
    return nextMessage(fd);
}

// Initialize for the instrument at SUBADDRESS.
std::string initializeFor(const std::string& subAddress) {
    return header(0, 0, 0x01005a4b, subAddress.size()) + subAddress;
}

const std::string initialize = initializeFor("hislip0");

// A session opened by hand: its two channels.
struct RawSession {
    int sync;
    int async;
    explicit RawSession(const std::string& port, const std::string& subAddress = "hislip0")
        : sync(connectTo(port)), async(connectTo(port)) {
        const std::string reply = ask(sync, initializeFor(subAddress));
        const auto id = static_cast<std::uint32_t>(static_cast<unsigned char>(reply.at(6)) << 8 |
                                                   static_cast<unsigned char>(reply.at(7)));
        EXPECT_EQ(ask(async, header(17, 0, id, 0)), header(18, 0, 0x5a4b, 0));
    }
    RawSession(const RawSession&) = delete;
    RawSession& operator=(const RawSession&) = delete;
    ~RawSession() {
        ::close(sync);
        ::close(async);
    }
};

// A message sent on a channel and the bytes it must bring back.
using Exchange = std::tuple<int, std::string, std::string>;

// Sends each message in turn and expects its answer: as many bytes as expected, which may be
// more than one message.
void expectExchanges(const std::vector<Exchange>& exchanges) {
    for (const auto& [fd, message, answer] : exchanges) {
        SCOPED_TRACE(testing::PrintToString(message));
        sendBytes(fd, message);
        EXPECT_EQ(
            receiveWhile(fd, [&](const std::string& got) { return got.size() < answer.size(); }),
            answer);
    }
}

// Hostile input ends its connection with FatalError, and the server serves on.
TEST_F(Hislip, HostileInputEndsTheConnectionNotTheServer) {
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {"XX" + std::string(14, '\0'), 1, "a message header without the prologue 'HS'"},
        {header(7, 0, 0, std::uint64_t{1} << 63), 1,
         "DataEnd announces a payload of 9223372036854775808 bytes, more than the 4096 accepted"},
        {header(6, 0, 0, 0), 3, "invalid initialization sequence"},
        {header(17, 0, 999, 0), 3, "invalid initialization sequence"},
        // Data on a session whose asynchronous channel is not open.
        {initialize + header(7, 0, 0xffffff00, 0), 2,
         "attempt to use connection without both channels established"},
    };
    for (const auto& [message, code, text] : cases) {
        SCOPED_TRACE(text);
        const int fd = connectTo(port());
        ASSERT_EQ(::send(fd, message.data(), message.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(message.size()));
        std::string received = untilClosed(fd);
        if (message.starts_with(initialize))
            received.erase(0, 16); // the InitializeResponse
        EXPECT_EQ(received, header(2, code, 0, text.size()) + text);
        ::close(fd);
    }
    {
        // A session that announces 2^63 bytes of data on its synchronous channel.
        const RawSession session(port());
        const std::string text =
            "DataEnd announces a payload of 9223372036854775808 bytes, more than the 16777216 "
            "accepted";
        EXPECT_EQ(ask(session.sync, header(7, 0, 0xffffff00, std::uint64_t{1} << 63)),
                  header(2, 1, 0, text.size()) + text);
    }
    expectAnswer(plain(), "*IDN?\n", plain(), identity);
}

TEST_F(Hislip, SessionLimit) {
    std::vector<int> sessions;
    std::string answer;
    for (int i = 0; i < 65 && answer.find("exceeded") == std::string::npos; ++i) {
        sessions.push_back(connectTo(port()));
        answer = ask(sessions.back(), initialize);
    }
    EXPECT_EQ(sessions.size(), 65U);
    EXPECT_EQ(answer, header(2, 4, 0, 34) + "maximum number of clients exceeded");
    for (const int fd : sessions)
        ::close(fd);
}

// An exclusive lock keeps other sessions' data out until released; the status byte shows a
// message available until the client reports the response delivered; an answer carries the
// MessageID of the message it answers; unknown messages and control codes, and Data above the
// maximum message size, are answered with Error, and the session goes on.
TEST_F(Hislip, LocksStatusAndErrors) {
    RawSession owner(port());
    RawSession other(port());
    RawSession small(port(), "small");
    const std::string locked = "the instrument is locked by another session";
    const std::string unknownType = "unexpected message type 99 message";
    const std::string unknownCode = "AsyncLock with control code 7";
    const std::string tooLarge = " bytes, more than the maximum message size of 16";
    const std::string dataTooLarge = "Data of 5000" + tooLarge;
    const std::string dataEndTooLarge = "DataEnd of 17" + tooLarge;
    const std::vector<Exchange> exchanges{
        {owner.async, header(4, 1, 1000, 0), header(5, 1, 0, 0)},
        {other.async, header(4, 1, 50, 0), header(5, 0, 0, 0)},
        {other.async, header(24, 0, 0, 0), header(25, 1, 1, 0)},
        {other.sync, header(7, 0, 0xffffff00, 6) + "*IDN?\n",
         header(3, 0, 0, locked.size()) + locked},
        {owner.async, header(4, 0, 0, 0), header(5, 1, 0, 0)},
        {owner.async, header(4, 0, 0, 0), header(5, 3, 0, 0)},
        {other.sync, header(7, 0, 0xffffff00, 6) + "*IDN?\n",
         header(7, 0, 0xffffff00, identity.size()) + identity},
        {other.async, header(21, 0, 0xffffff00, 0), header(22, 0x10, 0, 0)},
        {other.async, header(21, 1, 0xffffff00, 0), header(22, 0, 0, 0)},
        {other.sync, header(99, 0, 0, 0), header(3, 1, 0, unknownType.size()) + unknownType},
        {other.async, header(4, 7, 0, 0), header(3, 2, 0, unknownCode.size()) + unknownCode},
        {other.async, header(10, 1, 0, 0), header(11, 0, 0, 0)},
        // Shared locks of one name: both granted (a success, as an exclusive one), and told apart
        // on release.
        {owner.async, header(4, 1, 100, 4) + "name", header(5, 1, 0, 0)},
        {other.async, header(4, 1, 100, 4) + "name", header(5, 1, 0, 0)},
        {other.async, header(24, 0, 0, 0), header(25, 0, 2, 0)},
        {other.async, header(4, 0, 0, 0), header(5, 2, 0, 0)},
        // The slow answer, ready after the next query was sent, is that of the first message.
        {small.sync, header(7, 0, 0xffffff00, 6) + "SLOW?\n" + header(7, 0, 0xffffff02, 3) + "A?\n",
         header(7, 0, 0xffffff00, 5) + "late\n" + header(7, 0, 0xffffff02, 6) + "alpha\n"},
        {small.sync, header(7, 0, 0xffffff04, 17) + std::string(17, 'x'),
         header(3, 4, 0, dataEndTooLarge.size()) + dataEndTooLarge},
        {small.sync, header(6, 0, 0xffffff06, 5000) + std::string(5000, 'x'),
         header(3, 4, 0, dataTooLarge.size()) + dataTooLarge},
        {small.sync, header(7, 0, 0xffffff08, 6) + "*IDN?\n",
         header(7, 0, 0xffffff08, identity.size()) + identity},
    };
    expectExchanges(exchanges);
}

// AsyncStatusQuery answers the instrument's status byte as a serial poll reads it: ESB from its
// registers, RQS until the first poll after a request, MAV from the session's own answer. The
// request itself comes first, as AsyncServiceRequest.
TEST_F(Hislip, StatusQueryAnswersTheStatusByte) {
    RawSession session(port());
    const std::string setUp = "*CLS;*ESE 32;*SRE 32;BOGUS;*ESE?\n";
    const std::string tearDown = "*CLS;*ESE 0;*SRE 0;*ESE?\n";
    const std::vector<Exchange> exchanges{
        {session.sync, header(7, 0, 0xffffff00, setUp.size()) + setUp,
         header(7, 0, 0xffffff00, 3) + "32\n"},
        {session.async, header(21, 1, 0xffffff00, 0),
         header(20, 0x60, 0, 0) + header(22, 0x60, 0, 0)},
        {session.async, header(21, 1, 0xffffff00, 0), header(22, 0x20, 0, 0)},
        {session.sync, header(7, 1, 0xffffff02, tearDown.size()) + tearDown,
         header(7, 0, 0xffffff02, 2) + "0\n"},
        {session.async, header(21, 1, 0xffffff02, 0), header(22, 0, 0, 0)},
    };
    expectExchanges(exchanges);
}

// TEXT as Data messages of at most 16 bytes, the last a DataEnd, all with MessageID ID.
std::string inPieces(const std::string& text, std::uint32_t id) {
    std::string messages;
    for (std::size_t at = 0; at < text.size(); at += 16) {
        const std::string piece = text.substr(at, 16);
        messages += header(at + 16 < text.size() ? 6 : 7, 0, id, piece.size()) + piece;
    }
    return messages;
}

// A delayed operation followed by *OPC, with *ESE 1;*SRE 32, raises one request when it
// completes, with nobody talking to the instrument then: every session of the instrument is
// sent AsyncServiceRequest with the status byte (ESB and RQS); a session of another instrument
// is sent none, so that its status query is answered first.
TEST_F(Hislip, DelayedOperationRaisesAServiceRequestInEverySession) {
    RawSession asker(port(), "small");
    RawSession other(port(), "small");
    RawSession elsewhere(port());
    const std::string operation = "*CLS;*ESE 1;*SRE 32;SLOW?;*OPC\n";
    const std::string cleanUp = "*CLS;*ESE 0;*SRE 0;*ESE?\n";
    const std::vector<Exchange> exchanges{
        {asker.sync, inPieces(operation, 0xffffff00), header(7, 0, 0xffffff00, 5) + "late\n"},
        {asker.async, "", header(20, 0x60, 0, 0)},
        {other.async, "", header(20, 0x60, 0, 0)},
        {elsewhere.async, header(21, 0, 0xffffff00, 0), header(22, 0, 0, 0)},
        {other.async, header(21, 0, 0xffffff00, 0), header(22, 0x60, 0, 0)},
        {asker.sync, inPieces(cleanUp, 0xffffff02), header(7, 0, 0xffffff02, 2) + "0\n"},
        {asker.async, header(21, 1, 0xffffff02, 0), header(22, 0, 0, 0)},
    };
    expectExchanges(exchanges);
}

TEST(HislipServer, RepeatedSubAddressIsRefused) {
    TempTree dir;
    const std::string file = dir.makeFile("instrument", "hislip h\n").string();
    const std::string program = ZEMOSIM;
    expectOutcome(runTool(ZEMOSIM, {file, file}), 1, "",
                  program + ": two instruments have the HiSLIP sub-address 'h'\n");
}

// A session that opened both channels and then sends nothing is closed at the idle limit, both
// of its connections.
TEST(HislipServer, IdleSessionIsClosedAtTheIdleLimit) {
    zemosim::Definition definition;
    definition.hislipName = "hislip0";
    zemosim::Instruments instruments;
    instruments.push_back(std::make_unique<zemosim::Instrument>(definition));
    const auto sessions = zemosim::makeHislipSessions(instruments);
    int sync[2];
    int async[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sync), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, async), 0);
    std::vector<std::thread> servers;
    for (const int end : {sync[1], async[1]})
        servers.emplace_back([&sessions, end] {
            zemosim::serveHislip(zemo::FileDescriptor(end), *sessions, 1,
                                 zemosim::Milliseconds{200});
        });
    const std::string reply = ask(sync[0], initialize);
    ASSERT_EQ(reply.size(), 16U);
    const auto id = static_cast<std::uint32_t>(static_cast<unsigned char>(reply[6]) << 8 |
                                               static_cast<unsigned char>(reply[7]));
    EXPECT_EQ(ask(async[0], header(17, 0, id, 0)), header(18, 0, 0x5a4b, 0));
    const auto start = std::chrono::steady_clock::now();
    for (const int fd : {sync[0], async[0]})
        EXPECT_EQ(untilClosed(fd), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    for (auto& server : servers)
        server.join();
    ::close(sync[0]);
    ::close(async[0]);
}

// A listening socket on a system-chosen loopback port; returns the port.
std::string listenOnLoopback(int& listener) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener, 4);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return std::to_string(ntohs(address.sin_port));
}

// A server that answers the client's first message with REPLY and then reads until the client
// closes.
class HostileServer {
  public:
    explicit HostileServer(std::string reply) : reply_(std::move(reply)) {
        port_ = listenOnLoopback(listener_);
        thread_ = std::thread([this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            nextMessage(fd);
            ::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
            received_ = untilClosed(fd);
            ::close(fd);
        });
    }
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;
    ~HostileServer() {
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }
    const std::string& port() const { return port_; }
    // What the client sent after the reply; call it once the client has gone.
    std::string received() {
        thread_.join();
        return received_;
    }

  private:
    std::string reply_;
    int listener_ = -1;
    std::string port_;
    std::thread thread_;
    std::string received_;
};

// Errors from the server are reported with their meaning and text; a reply that breaks the
// format is answered with FatalError; silence is a timeout within the connect limit.
TEST(HislipFailures, ServerErrorsAndBrokenReplies) {
    const std::vector<std::tuple<std::string, int, std::string, std::string>> cases{
        // The server's text stays on the one line of the message.
        {header(2, 4, 0, 9) + "busy\nnow\n", 2,
         "Initialize: the instrument ended the session: server refused connection due to maximum "
         "number of clients exceeded (HiSLIP FatalError 4): busy\\nnow\\n",
         ""},
        {header(3, 1, 0, 0), 2,
         "Initialize: the instrument reports an error: unrecognized message type (HiSLIP Error 1)",
         ""},
        {header(1, 0, 0, std::uint64_t{1} << 63), 2,
         "InitializeResponse announces a payload of 9223372036854775808 bytes, beyond the 65536 "
         "accepted",
         "InitializeResponse announces"},
        {"NO" + std::string(14, '\0'), 2, "a message from the instrument does not start with 'HS'",
         "does not start"},
        {"", 3, "Initialize: no answer from the instrument within the time allowed", ""},
    };
    for (const auto& [reply, status, reason, fatal] : cases) {
        SCOPED_TRACE(reason);
        HostileServer server(reply);
        const std::string name = "hislip/127.0.0.1:" + server.port();
        const auto start = std::chrono::steady_clock::now();
        expectOutcome(runTool(ZEMORESET, {name}, {}, {"ZEMO_CONNECT_TIMEOUT=300"}), status, "",
                      "zemo: zemo_open " + name + ": " + reason + "\n");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        const std::string sent = server.received();
        if (!fatal.empty()) {
            EXPECT_EQ(sent.substr(0, 3), "HS\2");
            EXPECT_NE(sent.find(fatal), std::string::npos);
        }
    }
}

TEST(HislipFailures, MalformedNames) {
    const std::string form = "; expected hislip/HOST[:PORT][/SUBADDRESS]";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"hislip", "missing address after 'hislip'" + form},
        {"hislip/", "missing host" + form},
        {"hislip/127.0.0.1:0", "invalid port '0'" + form + " with a port from 1 to 65535"},
        {"hislip/127.0.0.1/", "invalid sub-address ''" + form},
        {"hislip/127.0.0.1/a/b", "invalid sub-address 'a/b'" + form},
    };
    for (const auto& [name, reason] : cases)
        expectOutcome(runTool(ZEMORESET, {name}), 2, "",
                      "zemo: zemo_open " + name + ": " + reason + "\n");
}

TEST(HislipIpv6, QueryAndAnswer) {
    std::unique_ptr<SimServer> server;
    try {
        server = std::make_unique<SimServer>(std::vector<std::string>{"-a", "::1"}, 3);
    } catch (const std::runtime_error& error) {
        GTEST_SKIP() << "no IPv6 loopback: " << error.what();
    }
    const std::string name = server->name("inst0", "hislip");
    EXPECT_EQ(name, "hislip/[::1]:" + portOf(name) + "/hislip0");
    expectAnswer(name, "*IDN?\n", name, identity);
}

// What a fake session does after the client opened it: on SYNC or ASYNC, reads the client's
// next message, which must start with EXPECTED when that is given, and sends REPLY; LATER and
// ASYNCLATER send REPLY unasked on the synchronous or the asynchronous channel half a second after
// the step before; SYNCFLOOD and ASYNCFLOOD send REPLY unasked on the synchronous or the
// asynchronous channel again and again, as fast as the client reads, for three seconds or until
// the client has gone.
struct Step {
    enum Channel { sync, async, later, asyncLater, syncFlood, asyncFlood } channel;
    std::string reply;
    std::string expected = {};
};

// A HiSLIP server that opens a session, its preference of overlapped mode in the control code
// of InitializeResponse, and then follows a script.
class FakeSession {
  public:
    FakeSession(int overlapped, std::vector<Step> script) : script_(std::move(script)) {
        port_ = listenOnLoopback(listener_);
        thread_ = std::thread([this, overlapped] {
            const int sync = ::accept(listener_, nullptr, nullptr);
            answer(sync, header(1, overlapped, 0x01000001, 0));
            const int async = ::accept(listener_, nullptr, nullptr);
            answer(async, header(18, 0, 0x5a4b, 0));
            answer(async, header(16, 0, 0, 8) + std::string("\0\0\0\0\0\x10\0\0", 8));
            for (const Step& step : script_) {
                if (step.channel == Step::syncFlood || step.channel == Step::asyncFlood) {
                    flood(step.channel == Step::syncFlood ? sync : async, step.reply);
                } else if (step.channel == Step::later || step.channel == Step::asyncLater) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                    ::send(step.channel == Step::later ? sync : async, step.reply.data(),
                           step.reply.size(), MSG_NOSIGNAL);
                } else {
                    const std::string message =
                        answer(step.channel == Step::sync ? sync : async, step.reply);
                    checked_.emplace_back(step.expected, message);
                }
            }
            untilClosed(sync);
            untilClosed(async);
            ::close(sync);
            ::close(async);
        });
    }
    FakeSession(const FakeSession&) = delete;
    FakeSession& operator=(const FakeSession&) = delete;
    ~FakeSession() {
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }
    std::string name() const { return "hislip/127.0.0.1:" + port_; }
    // Checks the messages of the script that expect one; call it once the client has gone.
    void checkReceived() {
        thread_.join();
        for (const auto& [expected, message] : checked_)
            EXPECT_EQ(message.substr(0, expected.size()), expected);
    }

  private:
    // Sends MESSAGE on FD again and again, many at a time, for three seconds or until FD fails.
    static void flood(int fd, const std::string& message) {
        std::string messages;
        for (int i = 0; i < 4096; ++i)
            messages += message;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < until &&
               ::send(fd, messages.data(), messages.size(), MSG_NOSIGNAL) > 0) {
        }
    }

    // Reads the next message on FD, answers it with REPLY and returns it.
    static std::string answer(int fd, const std::string& reply) {
        std::string message = nextMessage(fd);
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        return message;
    }

    std::vector<Step> script_;
    int listener_ = -1;
    std::string port_;
    std::thread thread_;
    // What the steps expected and what came.
    std::vector<std::pair<std::string, std::string>> checked_;
};

// The reason of the last failing call.
std::string lastReason;
void recordReason(const char*, const char*, zemo_status, const char* reason) {
    lastReason = reason;
}

// One call on the handle: "write" (with END), "send" (without), "read" (ARGUMENT: the count),
// "clear", "stb" or "wait" (for a service request, ARGUMENT: the milliseconds); its status, and
// the data read, the status byte in decimal or the reason of a failure.
struct Call {
    std::string call;
    std::string argument;
    zemo_status status;
    std::string result;
};

// Performs CALL on HANDLE and checks what it gives.
void expectCall(zemo_handle handle, const Call& call) {
    SCOPED_TRACE(call.call + " " + call.argument);
    lastReason.clear();
    std::string data;
    zemo_status status = ZEMO_OK;
    if (call.call == "write" || call.call == "send") {
        status = zemo_write(handle, call.argument.data(), call.argument.size(),
                            call.call == "write" ? ZEMO_END : 0, nullptr);
    } else if (call.call == "read") {
        data.resize(std::stoul(call.argument));
        uint64_t received = 0;
        status = zemo_read(handle, data.data(), data.size(), 0, &received);
        data.resize(received);
    } else if (call.call == "stb" || call.call == "wait") {
        uint8_t stb = 0;
        status = call.call == "stb" ? zemo_read_stb(handle, &stb)
                                    : zemo_wait_srq(handle, std::stoi(call.argument), &stb);
        data = std::to_string(stb);
    } else {
        status = zemo_clear(handle);
    }
    EXPECT_EQ(status, call.status);
    EXPECT_EQ(status == ZEMO_OK ? data : lastReason, call.result);
}

// The client against sessions that answer in ways the standard allows: each case's calls, one
// after the other on one handle, and their outcomes; a case without calls checks that
// zemo_open fails with OPENFAILURE.
TEST(HislipClient, SessionsThatAnswerAsTheStandardAllows) {
    const auto dataEnd = [](std::uint32_t id, const std::string& text) {
        return header(7, 0, id, text.size()) + text;
    };
    const std::string locked = "locked";
    // The start of AsyncStatusQuery (21).
    const std::string statusQuery = "HS\x15";
    const Step clearAcknowledged{Step::async, header(23, 0, 0, 0), header(19, 0, 0, 0)};
    struct Case {
        std::string what;
        int overlapped;
        std::vector<Step> script;
        std::vector<Call> calls;
        std::string openFailure = {};
    };
    const std::vector<Case> cases{
        {"a new message drops the rest of the previous response",
         0,
         {{Step::sync, dataEnd(0xffffff00, "answer one\n")},
          {Step::sync, dataEnd(0xffffff02, "two\n")}},
         {{"write", "Q1?", ZEMO_OK, ""},
          {"read", "5", ZEMO_OK, "answe"},
          {"write", "Q2?", ZEMO_OK, ""},
          {"read", "100", ZEMO_OK, "two\n"}}},
        {"an empty write without END sends nothing",
         0,
         {{Step::sync, dataEnd(0xffffff00, "one\n")}},
         {{"write", "Q1?", ZEMO_OK, ""},
          {"send", "", ZEMO_OK, ""},
          {"read", "100", ZEMO_OK, "one\n"}}},
        {"the end of a response read with no bytes left, or of an empty one",
         0,
         {{Step::sync, header(6, 0, 0xffffff00, 4) + "abc\n" + dataEnd(0xffffff00, "")},
          // The empty end was a complete response delivered.
          {Step::sync, dataEnd(0xffffff02, ""), header(7, 1, 0xffffff02, 3)}},
         {{"write", "Q1?", ZEMO_OK, ""},
          {"read", "4", ZEMO_OK, "abc\n"},
          {"read", "100", ZEMO_OK, ""},
          {"write", "Q2?", ZEMO_OK, ""},
          {"read", "100", ZEMO_OK, ""}}},
        {"a clear discards an Error waiting before DeviceClearAcknowledge",
         0,
         {{Step::sync, header(3, 0, 0, locked.size()) + locked},
          clearAcknowledged,
          {Step::sync, header(9, 0, 0, 0)},
          {Step::sync, dataEnd(0xffffff00, "two\n")}},
         {{"write", "Q1?", ZEMO_OK, ""},
          {"clear", "", ZEMO_OK, ""},
          {"write", "Q2?", ZEMO_OK, ""},
          {"read", "100", ZEMO_OK, "two\n"}}},
        {"an Error split across a read's timeout",
         0,
         {{Step::sync, header(3, 0, 0, locked.size()) + "lock"},
          {Step::later, "ed" + dataEnd(0xffffff00, "one\n")}},
         {{"write", "Q1?", ZEMO_OK, ""},
          {"read", "100", ZEMO_TIMEOUT, "no data from the instrument within 300 ms"},
          {"read", "100", ZEMO_FAILURE,
           "the response: the instrument reports an error: unidentified error (HiSLIP Error 0): "
           "locked"},
          {"read", "100", ZEMO_OK, "one\n"}}},
        // The bytes that came before the failure are the caller's; the next call reports it.
        {"part of a response, then Error",
         0,
         {{Step::sync, header(6, 0, 0xffffff00, 4) + "abc " + header(3, 0, 0, 6) + locked},
          {Step::sync, dataEnd(0xffffff02, "two\n")}},
         {{"write", "Q1?", ZEMO_OK, ""},
          {"read", "100", ZEMO_OK, "abc "},
          {"read", "100", ZEMO_FAILURE,
           "the response: the instrument reports an error: unidentified error (HiSLIP Error 0): "
           "locked"},
          // An Error leaves the session usable.
          {"write", "Q2?", ZEMO_OK, ""},
          {"read", "100", ZEMO_OK, "two\n"}}},
        {"part of a response, then FatalError",
         0,
         {{Step::sync, header(6, 0, 0xffffff00, 4) + "abc " + header(2, 0, 0, 4) + "gone"}},
         {{"write", "Q1?", ZEMO_OK, ""},
          {"read", "100", ZEMO_OK, "abc "},
          {"read", "100", ZEMO_FAILURE,
           "the session is broken since an earlier call: the response: the instrument ended the "
           "session: unidentified error (HiSLIP FatalError 0): gone"},
          {"write", "Q2?", ZEMO_FAILURE,
           "the session is broken since an earlier call: the response: the instrument ended the "
           "session: unidentified error (HiSLIP FatalError 0): gone"}}},
        {"a server that prefers overlapped mode is asked for synchronized mode at open",
         1,
         {clearAcknowledged,
          {Step::sync, header(9, 0, 0, 0), header(8, 0, 0, 0)},
          {Step::sync, dataEnd(0xffffff00, "one\n")}},
         {{"write", "Q1?", ZEMO_OK, ""}, {"read", "100", ZEMO_OK, "one\n"}}},
        // Service requests (AsyncServiceRequest, 20, its control code the status byte) come
        // unasked on the asynchronous channel; the first wait asks for the status byte
        // (AsyncStatusQuery, 21) and the answer is AsyncStatusResponse (22).
        {"the first wait returns the status byte with RQS, and not again the request before it",
         0,
         {{Step::async, header(20, 0x60, 0, 0) + header(22, 0x60, 0, 0), statusQuery}},
         {{"wait", "1000", ZEMO_OK, "96"},
          {"wait", "100", ZEMO_TIMEOUT, "no service request within 100 ms"}}},
        // The first wait's status byte tells of the requests before it.
        {"a request that a status read showed before the first wait is not returned by it",
         0,
         {{Step::async, header(20, 0x60, 0, 0) + header(22, 0x60, 0, 0), statusQuery},
          {Step::async, header(22, 0x20, 0, 0), statusQuery}},
         {{"stb", "", ZEMO_OK, "96"},
          {"wait", "100", ZEMO_TIMEOUT, "no service request within 100 ms"}}},
        {"a request cleared before the first wait's status read is not returned by it",
         0,
         {{Step::async, header(20, 0x60, 0, 0) + header(22, 0x20, 0, 0), statusQuery}},
         {{"wait", "100", ZEMO_TIMEOUT, "no service request within 100 ms"}}},
        {"a request during the wait",
         0,
         {{Step::async, header(22, 0, 0, 0), statusQuery},
          {Step::asyncLater, header(20, 0x62, 0, 0)}},
         {{"wait", "5000", ZEMO_OK, "98"}}},
        {"a request that came while nobody waited",
         0,
         {{Step::async, header(22, 0, 0, 0), statusQuery},
          {Step::async, header(22, 0x10, 0, 0) + header(20, 0x61, 0, 0), statusQuery}},
         {{"wait", "100", ZEMO_TIMEOUT, "no service request within 100 ms"},
          {"stb", "", ZEMO_OK, "16"},
          {"wait", "100", ZEMO_OK, "97"},
          {"wait", "0", ZEMO_TIMEOUT, "no service request within 0 ms"}}},
        {"requests before the answer to a status query are not the answer, and the latest is kept",
         0,
         {{Step::async, header(22, 0, 0, 0), statusQuery},
          {Step::async, header(20, 0x61, 0, 0) + header(20, 0x62, 0, 0) + header(22, 0x10, 0, 0),
           statusQuery}},
         {{"wait", "100", ZEMO_TIMEOUT, "no service request within 100 ms"},
          {"stb", "", ZEMO_OK, "16"},
          {"wait", "100", ZEMO_OK, "98"},
          {"wait", "100", ZEMO_TIMEOUT, "no service request within 100 ms"}}},
        {"a server that keeps overlapped mode",
         1,
         {clearAcknowledged, {Step::sync, header(9, 1, 0, 0)}},
         {},
         "DeviceClearComplete: the instrument keeps overlapped mode, and this library works "
         "only in synchronized mode"},
    };
    zemo_set_error_handler(recordReason);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        FakeSession server(test.overlapped, test.script);
        lastReason.clear();
        zemo_handle handle = zemo_open(server.name().c_str());
        EXPECT_EQ(lastReason, test.openFailure);
        if (handle != nullptr) {
            zemo_set_timeout(handle, 300);
            for (const Call& call : test.calls)
                expectCall(handle, call);
            zemo_close(handle);
        }
        server.checkReceived();
    }
    zemo_set_error_handler(nullptr);
}

// A server that sends AsyncInterrupted without end on the asynchronous channel, each message
// one that a wait passes over, holds up no wait beyond its deadline.
TEST(HislipClient, AWaitEndsAtItsDeadlineWhateverComes) {
    FakeSession server(
        0, {{Step::async, header(22, 0, 0, 0), "HS\x15"}, {Step::asyncFlood, header(14, 0, 0, 0)}});
    zemo_handle handle = zemo_open(server.name().c_str());
    ASSERT_NE(handle, nullptr);
    std::uint8_t stb = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zemo_wait_srq(handle, 300, &stb), ZEMO_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    zemo_close(handle);
    server.checkReceived();
}

// A server that sends Interrupted, or data of another message, without end on the synchronous
// channel holds up no read beyond its deadline.
TEST(HislipClient, AReadEndsAtItsDeadlineWhateverComes) {
    for (const std::string& skipped : {header(13, 0, 0, 0), header(6, 0, 0x12345678, 0)}) {
        SCOPED_TRACE(static_cast<int>(skipped[2]));
        FakeSession server(0, {{Step::syncFlood, skipped}});
        zemo_handle handle = zemo_open(server.name().c_str());
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(zemo_set_timeout(handle, 300), ZEMO_OK);
        std::array<char, 16> buffer{};
        std::uint64_t received = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(zemo_read(handle, buffer.data(), buffer.size(), 0, &received), ZEMO_TIMEOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        zemo_close(handle);
        server.checkReceived();
    }
}

// zemoctl wait-srq prints the status byte of the request that ends its wait.
TEST(HislipClient, ZemoctlPrintsTheStatusByteOfTheRequest) {
    FakeSession server(0, {{Step::async, header(22, 0, 0, 0), "HS\x15"},
                           {Step::asyncLater, header(20, 0x61, 0, 0)}});
    expectOutcome(runTool(ZEMOCTL, {server.name(), "wait-srq=5000"}), 0, "97\n", "");
    server.checkReceived();
}

} // namespace
} // namespace zemotest
