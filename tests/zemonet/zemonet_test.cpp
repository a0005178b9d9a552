// End to end over loopback: zemosim serves simulated instruments, and the built tools reach
// them through the VXI-11 and raw socket transports of the real library.
#include "rpc_wire.h"
#include "run_program.h"
#include "sim_server.h"
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zemotest {
namespace {

using kittest::Result;
using kittest::TempTree;

Result send(const std::string& name, const std::string& lines) {
    return runTool(ZEMOSEND, {name}, lines);
}

Result receive(const std::string& name, std::vector<std::string> options) {
    options.push_back(name);
    return runTool(ZEMORECV, std::move(options));
}

// Checks that a tool ended with STATUS, nothing on standard output and exactly ERR on standard
// error.
void expectFailure(const Result& outcome, int status, const std::string& err) {
    EXPECT_EQ(outcome.status, status);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, err);
}

void expectSuccess(const Result& outcome, const std::string& out) {
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, out);
}

// The port in interface NAME: "vxi11/HOST:PORT/DEVICE" or "socket/HOST/PORT".
std::string portOf(const std::string& name) {
    if (name.rfind("socket/", 0) == 0)
        return name.substr(name.rfind('/') + 1);
    const auto colon = name.rfind(':');
    return name.substr(colon + 1, name.find('/', colon) - colon - 1);
}

// Writes an instrument definition into DIR and returns its path.
std::string instrumentFile(const TempTree& dir, const std::string& name, const std::string& text) {
    return dir.makeFile(name, text).string();
}

const char* const faultyInstrument = "name faulty\n"
                                     "query MEAS:VOLT? 1.25\n"
                                     "query ID? \"ID#12\"\n"
                                     "property VOLT 0\n"
                                     "error ERR unknown command\n"
                                     "delay SLOW? 1000 late\n"
                                     "drop DROP\n"
                                     "fault LOCKED 11\n"
                                     "fault IOERROR 17\n"
                                     "fault ABORTED 23\n"
                                     "fault ODD 2\n"
                                     "stall HANG 3000\n"
                                     "maxrecvsize 16\n"
                                     "readchunk 1000\n";

// One zemosim with the plain instrument inst0 and the instrument "faulty" for every test.
class Loopback : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new TempTree;
        server_ = new SimServer({instrumentFile(*directory_, "plain", ""),
                                 instrumentFile(*directory_, "faulty", faultyInstrument)},
                                6);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete directory_;
    }
    // Every test starts with empty output queues.
    void SetUp() override {
        for (const auto& name : {plainVxi11(), faultyVxi11()})
            ASSERT_EQ(runTool(ZEMORESET, {name}).status, 0);
    }

    static std::string plainVxi11() { return server_->name("inst0", "vxi11"); }
    static std::string plainSocket() { return server_->name("inst0", "socket"); }
    static std::string faultyVxi11() { return server_->name("faulty", "vxi11"); }
    static std::string faultySocket() { return server_->name("faulty", "socket"); }

    static TempTree* directory_;
    static SimServer* server_;
};

TempTree* Loopback::directory_ = nullptr;
SimServer* Loopback::server_ = nullptr;

TEST_F(Loopback, PrintsTheNameOfEveryInterface) {
    // Instrument, protocol, and how the name starts and ends, line by line.
    const std::vector<std::array<std::string, 4>> expected{
        {"inst0", "vxi11", "vxi11/127.0.0.1:", "/inst0"},
        {"inst0", "socket", "socket/127.0.0.1/", ""},
        {"faulty", "vxi11", "vxi11/127.0.0.1:", "/faulty"},
        {"faulty", "socket", "socket/127.0.0.1/", ""},
        {"inst0", "hislip", "hislip/127.0.0.1:", "/hislip0"},
        {"faulty", "hislip", "hislip/127.0.0.1:", "/hislip1"}};
    const auto& names = server_->names();
    ASSERT_EQ(names.size(), expected.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto& [instrument, protocol, start, end] = expected[i];
        SCOPED_TRACE(names[i].name);
        EXPECT_EQ(names[i].instrument, instrument);
        EXPECT_EQ(names[i].protocol, protocol);
        EXPECT_TRUE(names[i].name.starts_with(start));
        EXPECT_TRUE(names[i].name.ends_with(end));
    }
}

// The answer waits in the instrument's output queue between the two processes.
TEST_F(Loopback, SendThenReceiveCarriesAQueryAndItsAnswer) {
    for (const auto& name : {plainVxi11(), plainSocket()}) {
        SCOPED_TRACE(name);
        expectSuccess(send(name, "*IDN?\n"), "");
        expectSuccess(receive(name, {"-c", std::to_string(identity.size())}), identity);
    }
}

TEST_F(Loopback, PropertiesQueriesAndUnknownCommands) {
    for (const auto& name : {faultyVxi11(), faultySocket()}) {
        SCOPED_TRACE(name);
        expectSuccess(send(name, "VOLT 2.5\nVOLT?\nMEAS:VOLT?\nBOGUS\n*RST\nvolt?\n"), "");
        // *RST empties the queue and sets the property back to its default.
        expectSuccess(receive(name, {"-c", "2"}), "0\n");
        expectSuccess(send(name, "VOLT 7\nvolt?\nMEAS:VOLT?\nBOGUS\n"), "");
        expectSuccess(receive(name, {"-c", "27"}), "7\n1.25\nERR unknown command\n");
    }
}

// A tool started with a standard stream closed fails on that stream; the library's connection
// never takes its number, so no answer goes back into the instrument and no input is read from
// it.
TEST_F(Loopback, ClosedStandardStreamIsNoConnection) {
    struct Case {
        const char* program;
        const char* script;
        std::string input;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {ZEMORECV, "exec \"$0\" -c 19 \"$1\" >&-", "", "writing standard output"},
        {ZEMOSEND, "exec \"$0\" \"$1\" <&-", "", "reading standard input"},
    };
    for (const auto& name : {plainVxi11(), plainSocket()}) {
        for (const Case& test : cases) {
            SCOPED_TRACE(name + ": " + test.script);
            expectSuccess(send(name, "*IDN?\n"), "");
            const Result outcome = runTool("/bin/sh", {"-c", test.script, test.program, name});
            EXPECT_EQ(outcome.status, 4);
            EXPECT_NE(outcome.err.find(test.reason + ": Bad file descriptor"), std::string::npos)
                << outcome.err;
            ASSERT_EQ(runTool(ZEMORESET, {name}).status, 0);
        }
    }
}

// Several MiB through many device_read replies of at most 1000 bytes (the instrument's
// readchunk), after a command written in pieces of 16 bytes (its maxRecvSize).
TEST_F(Loopback, CountedReadOfSeveralMebibytes) {
    const std::size_t count = 3 * 1024 * 1024 + 7;
    const std::string expected = dataBlock(count);
    for (const auto& name : {faultyVxi11(), faultySocket(), plainVxi11(), plainSocket()}) {
        SCOPED_TRACE(name);
        expectSuccess(send(name, "DATA?          " + std::to_string(count) + "\n"), "");
        const Result outcome = receive(name, {"-c", std::to_string(expected.size())});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err, "");
        EXPECT_TRUE(outcome.out == expected) << "received " << outcome.out.size() << " bytes";
    }
}

// A line longer than maxRecvSize reaches the instrument whole.
TEST_F(Loopback, LongCommandInSmallPieces) {
    const std::string value(300, 'x');
    expectSuccess(send(faultyVxi11(), "VOLT " + value + "\nVOLT?\n"), "");
    expectSuccess(receive(faultyVxi11(), {"-c", "301"}), value + "\n");
}

// Without a count zemorecv reads until the instrument has nothing more: the timeout ends it
// with status 3, after the answer reached standard output.
TEST_F(Loopback, EndlessReadEndsWithTimeout) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {plainVxi11(), "device_read failed: I/O timeout (VXI-11 error 15)"},
        {plainSocket(), "no data from the instrument within 500 ms"}};
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        expectSuccess(send(name, "*IDN?\n"), "");
        const Result outcome = receive(name, {"-t", "500"});
        EXPECT_EQ(outcome.status, 3);
        EXPECT_EQ(outcome.out, identity);
        EXPECT_EQ(outcome.err, "zemo: zemo_read " + name + ": " + reason + "\n");
    }
}

TEST_F(Loopback, ResetEmptiesTheOutputQueue) {
    expectSuccess(send(plainVxi11(), "*IDN?\nDATA? 100000\n"), "");
    expectSuccess(runTool(ZEMORESET, {plainVxi11()}), "");
    expectFailure(receive(plainVxi11(), {"-t", "200"}), 3,
                  "zemo: zemo_read " + plainVxi11() +
                      ": device_read failed: I/O timeout (VXI-11 error 15)\n");
}

// An answer that comes later than the timeout.
TEST_F(Loopback, DelayedAnswerTimesOut) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {faultyVxi11(), "device_read failed: I/O timeout (VXI-11 error 15)"},
        {faultySocket(), "no data from the instrument within 200 ms"}};
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        expectSuccess(send(name, "SLOW?\n"), "");
        expectFailure(receive(name, {"-c", "5", "-t", "200"}), 3,
                      "zemo: zemo_read " + name + ": " + reason + "\n");
        ASSERT_EQ(runTool(ZEMORESET, {name}).status, 0);
    }
}

// zemoquery asks and reads on one connection: each query's answer, whole and as sent, before
// the next message; a command between queries gets no read.
TEST_F(Loopback, QueryPrintsEachAnswer) {
    struct Case {
        std::vector<std::string> arguments;
        std::string input;
        std::string out;
    };
    const std::string block = dataBlock(2 * 1024 * 1024 + 3); // holds newline bytes
    for (const auto& name : {faultyVxi11(), faultySocket()}) {
        const std::vector<Case> cases = {
            {{name, "*IDN?", "VOLT 3", "volt?", "MEAS:VOLT? (@101)"}, "", identity + "3\n1.25\n"},
            {{name, "DATA? " + std::to_string(2 * 1024 * 1024 + 3), "*IDN?"}, "", block + identity},
            // From standard input, one message a line; a CRLF line is a query all the same.
            {{name}, "*IDN?\r\nVOLT 4\nVOLT?\n", identity + "4\n"},
            {{"sim/source", "*IDN?", "X?"}, "", "0123456789abcde\n0123456789abcde\n"},
            // Blanks and tabs before the header, in arguments and lines alike.
            {{name, " *IDN?", "\tDATA? 2"}, "", identity + dataBlock(2)},
            {{name}, "\t*IDN?\n \tDATA? 2\n", identity + dataBlock(2)},
            // A '#' inside a string starts no block.
            {{name, "ID?", "*IDN?"}, "", "\"ID#12\"\n" + identity},
        };
        for (const Case& test : cases) {
            SCOPED_TRACE(test.arguments.front() + " " + test.input);
            expectSuccess(runTool(ZEMOQUERY, test.arguments, test.input), test.out);
        }
    }
}

// An answer that does not come within the timeout is status 3, with a line that names the
// message, the interface and the timeout, then the library's reason.
TEST_F(Loopback, QueryWithoutAnswerTimesOut) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {faultyVxi11(), "device_read failed: I/O timeout (VXI-11 error 15)"},
        {faultySocket(), "no data from the instrument within 200 ms"}};
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        expectFailure(runTool(ZEMOQUERY, {"-t", "200", name, "SLOW?"}), 3,
                      std::string(ZEMOQUERY) + ": 'SLOW?': no answer within 200 ms from " + name +
                          " (" + reason + ")\n");
        ASSERT_EQ(runTool(ZEMORESET, {name}).status, 0);
    }
}

// A message is a query when the header of any of its units, after blanks and tabs, ends in '?';
// the echo answers it with the message itself.
TEST(Query, AnyUnitMakesAQuery) {
    for (const std::string message : {" \tA?", "X 1;Y?", "X 1; Y? 2", "X 'A;B';Y?"}) {
        SCOPED_TRACE(message);
        expectSuccess(runTool(ZEMOQUERY, {"sim/echo", message}), message + "\n");
    }
}

// The trace of one run: one open, the writes and the reads, one close.
TEST(Query, TracesOneOpenAndOneClose) {
    const Result outcome =
        runTool(ZEMOQUERY, {"sim/echo", "A?", "B", "C? 1"}, {}, {"ZEMO_TRACE=-"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "A?\nB\n");
    EXPECT_EQ(outcome.err, "zemo_set_error_handler(handler) = ZEMO_OK\n"
                           "zemo_open(\"sim/echo\") = ZEMO_OK, h1\n"
                           "zemo_write(h1, \"A?\\n\", 3, 1, NULL) = ZEMO_OK\n"
                           "zemo_read_message(h1, 1048576, &received, &reason) = ZEMO_OK, "
                           "received 3 \"A?\\n\", reason 4\n"
                           "zemo_write(h1, \"B\\n\", 2, 1, NULL) = ZEMO_OK\n"
                           "zemo_write(h1, \"C? 1\\n\", 5, 1, NULL) = ZEMO_OK\n"
                           "zemo_read_message(h1, 1048576, &received, &reason) = ZEMO_OK, "
                           "received 7 \"B\\nC? 1\\n\", reason 4\n"
                           "zemo_close(h1) = ZEMO_OK\n");
}

TEST(Query, UsageAndOutputFailure) {
    const Result usage = runTool(ZEMOQUERY, {});
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(
        usage.err.rfind(std::string("Usage: ") + ZEMOQUERY + " [-t <timeout>] [-L] [-i] [-b]", 0),
        0U);
    const Result full =
        runTool("/bin/sh", {"-c", "exec \"$0\" sim/echo 'A?' >/dev/full", ZEMOQUERY});
    EXPECT_EQ(full.status, 4);
    EXPECT_EQ(full.err,
              std::string(ZEMOQUERY) + ": writing standard output: No space left on device\n");
}

// A device's error code reaches the user with its meaning; a code VXI-11 does not define is
// named as unknown.
TEST_F(Loopback, DeviceErrorCodeBecomesAMessage) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"IOERROR", "I/O error (VXI-11 error 17)"},
        {"ABORTED", "abort (VXI-11 error 23)"},
        {"ODD", "unknown error (VXI-11 error 2)"},
    };
    for (const auto& [command, reason] : cases) {
        SCOPED_TRACE(command);
        expectFailure(send(faultyVxi11(), command + "\n"), 2,
                      "zemo: zemo_write " + faultyVxi11() + ": device_write failed: " + reason +
                          "\n");
    }
}

// A device locked by another link (error 11) is asked again until the I/O timeout, which then
// names the lock.
TEST_F(Loopback, LockedDeviceIsWaitedOutToTheTimeout) {
    expectFailure(runTool(ZEMOSEND, {"-t", "200", faultyVxi11()}, "LOCKED\n"), 3,
                  "zemo: zemo_write " + faultyVxi11() +
                      ": device_write: the instrument is locked by another client (VXI-11 error "
                      "11) for 200 ms\n");
}

// The instrument withholds its reply: the call times out shortly after the I/O timeout.
TEST_F(Loopback, WithheldReplyTimesOut) {
    const Result outcome = runTool(ZEMOSEND, {"-t", "200", faultyVxi11()}, "HANG\n");
    expectFailure(outcome, 3,
                  "zemo: zemo_write " + faultyVxi11() +
                      ": device_write: no reply from the core channel within the timeout\n");
}

TEST_F(Loopback, DroppedConnection) {
    expectFailure(send(faultyVxi11(), "DROP\n"), 2,
                  "zemo: zemo_write " + faultyVxi11() +
                      ": device_write failed: the core channel closed the connection\n");
    // The server lives on.
    expectSuccess(send(faultyVxi11(), "*IDN?\n"), "");
    expectSuccess(receive(faultyVxi11(), {"-c", std::to_string(identity.size())}), identity);
}

TEST_F(Loopback, UnknownDeviceName) {
    const std::string host = plainVxi11().substr(0, plainVxi11().rfind('/'));
    for (const std::string device : {"gpib0,9", "inst7"}) {
        const std::string name = host + "/" + device;
        expectFailure(runTool(ZEMORESET, {name}), 2,
                      "zemo: zemo_open " + name + ": create_link for device '" + device +
                          "' failed: device not accessible (VXI-11 error 3)\n");
    }
}

// A name without a device reaches inst0.
TEST_F(Loopback, DeviceDefaultsToInst0) {
    const std::string name = plainVxi11().substr(0, plainVxi11().rfind('/'));
    expectSuccess(send(name, "*IDN?\n"), "");
    expectSuccess(receive(name, {"-c", std::to_string(identity.size())}), identity);
}

TEST_F(Loopback, HostNamesResolve) {
    for (std::string name : {plainVxi11(), plainSocket()}) {
        SCOPED_TRACE(name);
        name.replace(name.find("127.0.0.1"), 9, "localhost");
        expectSuccess(send(name, "*IDN?\n"), "");
        expectSuccess(receive(name, {"-c", std::to_string(identity.size())}), identity);
    }
}

// Clients on several connections at once, one of them waiting in a long read meanwhile.
TEST_F(Loopback, SeveralClientsAtOnce) {
    expectSuccess(send(faultyVxi11(), "SLOW?\n"), "");
    Result waiting;
    std::thread waiter([&] { waiting = receive(faultyVxi11(), {"-c", "5", "-t", "8000"}); });
    std::vector<Result> outcomes(4);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        clients.emplace_back([&, i] {
            outcomes[i] = runTool(ZEMORESET, {i % 2 == 0 ? plainSocket() : plainVxi11()});
        });
    for (auto& client : clients)
        client.join();
    waiter.join();
    for (const auto& outcome : outcomes)
        expectSuccess(outcome, "");
    expectSuccess(waiting, "late\n");
}

// Requests that are no VXI-11 calls, or no lines, end the connection but not the server.
TEST_F(Loopback, BadRequestsDoNotHurtTheServer) {
    const std::vector<std::string> garbage{
        std::string("\x80\x00\x00\x04"
                    "abcd",
                    8),                                  // a record too short for a call
        std::string("\xff\xff\xff\xff", 4) + "xyz",      // a record of 2 GiB announced
        std::string("\x00\x00\x00\x00", 4) + "\n\n\n\n", // an empty fragment, then 168 MB
        std::string(100000, '\n') + std::string(70000, 'x')};
    for (const auto& name : {plainVxi11(), plainSocket()}) {
        SCOPED_TRACE(name);
        const auto portNumber = static_cast<unsigned short>(std::stoi(portOf(name)));
        for (const auto& bytes : garbage) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(portNumber);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(bytes.size()));
            ::close(fd);
        }
        expectSuccess(send(name, "*IDN?\n"), "");
        expectSuccess(receive(name, {"-c", std::to_string(identity.size())}), identity);
    }
}

// IPv6 on loopback, in both spellings of the address.
TEST(Ipv6, SendThenReceive) {
    std::unique_ptr<SimServer> server;
    try {
        server = std::make_unique<SimServer>(std::vector<std::string>{"-a", "::1"}, 2);
    } catch (const std::runtime_error& error) {
        GTEST_SKIP() << "no IPv6 loopback here: " << error.what();
    }
    const std::string vxi11 = server->name("inst0", "vxi11");
    const std::string socket = server->name("inst0", "socket");
    const std::string port = portOf(socket);
    EXPECT_EQ(vxi11, "vxi11/[::1]:" + portOf(vxi11) + "/inst0");
    EXPECT_EQ(socket, "socket/[::1]/" + port);
    for (const auto& name : {vxi11, socket, "socket/::1/" + port}) {
        SCOPED_TRACE(name);
        expectSuccess(send(name, "*IDN?\n"), "");
        expectSuccess(receive(name, {"-c", std::to_string(identity.size())}), identity);
    }
}

bool portmapperListens() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(111);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool listens = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return listens;
}

// Debian's rpcbind, started for the test unless one runs already, and stopped by its pid.
class Rpcbind {
  public:
    Rpcbind() {
        if (portmapperListens())
            return;
        char* argv[] = {const_cast<char*>(RPCBIND), const_cast<char*>("-f"), nullptr};
        if (::posix_spawn(&pid_, RPCBIND, nullptr, nullptr, argv, environ) != 0) {
            pid_ = -1;
            return;
        }
        // rpcbind signals nothing when it is ready; its listening port is the signal.
        for (int attempt = 0; attempt < 200 && !portmapperListens(); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    Rpcbind(const Rpcbind&) = delete;
    Rpcbind& operator=(const Rpcbind&) = delete;
    ~Rpcbind() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

  private:
    pid_t pid_ = -1;
};

// Plain "vxi11/HOST/DEVICE" names ask the portmapper for the core channel's port.
TEST(Portmapper, NamesWithoutAPortGoThroughRpcbind) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can start rpcbind on port 111; skipping the portmapper test";
    if (::access(RPCBIND, X_OK) != 0)
        GTEST_SKIP() << RPCBIND << " is not installed (Debian package rpcbind)";
    const std::string name = "vxi11/127.0.0.1/inst0";
    if (!portmapperListens())
        expectFailure(runTool(ZEMORESET, {name}), 2,
                      "zemo: zemo_open " + name +
                          ": cannot connect to the portmapper at "
                          "'127.0.0.1' port 111: Connection refused\n");
    const Rpcbind rpcbind;
    ASSERT_TRUE(portmapperListens()) << "rpcbind did not start listening on port 111";
    const std::string unregistered = "zemo: zemo_open " + name +
                                     ": the portmapper on '127.0.0.1' knows no VXI-11 core "
                                     "channel (program 395183 version 1)\n";
    {
        SimServer server({"-r"}, 3);
        EXPECT_EQ(server.name("inst0", "vxi11-portmap"), name);
        expectSuccess(send(name, "*IDN?\n"), "");
        expectSuccess(receive(name, {"-c", std::to_string(identity.size())}), identity);
        expectSuccess(runTool(ZEMORESET, {"vxi11/localhost"}), "");
        // Stopped, zemosim takes its registration back.
        EXPECT_EQ(server.stop(), 0);
    }
    expectFailure(runTool(ZEMORESET, {name}), 2, unregistered);
    // Served on ::1, the core channel is registered for tcp6 at that address only: found through
    // rpcbind's tcp6 look-up, and unknown to IPv4 clients, for whom nothing listens.
    const std::string ipv6Name = "vxi11/[::1]/inst0";
    {
        SimServer server({"-a", "::1", "-r"}, 3);
        EXPECT_EQ(server.name("inst0", "vxi11-portmap"), ipv6Name);
        expectSuccess(send(ipv6Name, "*IDN?\n"), "");
        expectSuccess(receive(ipv6Name, {"-c", std::to_string(identity.size())}), identity);
        expectFailure(runTool(ZEMORESET, {name}), 2, unregistered);
        EXPECT_EQ(server.stop(), 0);
    }
    expectFailure(runTool(ZEMORESET, {ipv6Name}), 2,
                  "zemo: zemo_open " + ipv6Name +
                      ": the portmapper on '::1' knows no VXI-11 core channel (program 395183 "
                      "version 1)\n");
}

// Devices that report a maxRecvSize of 0 or 2^32-1 (clamped to a few KiB and to 1 MiB), or of
// one byte: a long line still arrives whole.
TEST(MaxRecvSize, LongLinesArriveWhole) {
    TempTree dir;
    SimServer server({instrumentFile(dir, "zero", "property VOLT\nmaxrecvsize 0\n"),
                      instrumentFile(dir, "huge", "property VOLT\nmaxrecvsize 4294967295\n"),
                      instrumentFile(dir, "one", "property VOLT\nmaxrecvsize 1\n")},
                     6);
    const std::string value(5000, 'v');
    for (const std::string instrument : {"inst0", "inst1", "inst2"}) {
        const std::string& name = server.name(instrument, "vxi11");
        SCOPED_TRACE(name);
        expectSuccess(send(name, "VOLT " + value + "\nVOLT?\n"), "");
        expectSuccess(receive(name, {"-c", std::to_string(value.size() + 1)}), value + "\n");
    }
}

// With -l each name comes labelled with its instrument's device name and its protocol, for a
// script to pick by field; without it, the same names in the same order, alone on their lines.
TEST(ZemosimCommandLine, LabelsNamesWithInstrumentAndProtocol) {
    TempTree dir;
    const std::vector<std::string> arguments{
        "-v", std::to_string(closedPort()), "-s", std::to_string(closedPort()),
        "-H", std::to_string(closedPort()), "-p", instrumentFile(dir, "dmm", "name dmm\n")};
    const std::vector<std::pair<std::string, std::string>> expected{
        {"dmm", "vxi11"}, {"dmm", "socket"}, {"dmm", "serial"}, {"dmm", "hislip"}};
    std::vector<ServedName> plain;
    {
        SimServer server(arguments, expected.size(), false);
        plain = server.names();
    }
    SimServer server(arguments, expected.size());
    const auto& labelled = server.names();
    ASSERT_EQ(plain.size(), expected.size());
    ASSERT_EQ(labelled.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(labelled[i].name);
        EXPECT_EQ(labelled[i].instrument, expected[i].first);
        EXPECT_EQ(labelled[i].protocol, expected[i].second);
        // Each run opens pseudo-terminals of its own.
        if (expected[i].second == "serial")
            EXPECT_TRUE(plain[i].name.starts_with("serial//dev/"));
        else
            EXPECT_EQ(plain[i].name, labelled[i].name);
    }
}

struct BadStart {
    std::vector<std::string> arguments;
    std::string definition;
    std::string message;
};

// zemosim refuses what it cannot serve, with one line and status 1, before it listens.
TEST(ZemosimCommandLine, RefusesWhatItCannotServe) {
    TempTree dir;
    const std::string file = (dir.root() / "instrument").string();
    const std::string missing = (dir.root() / "missing").string();
    const std::string program = ZEMOSIM;
    const std::string usage =
        "Usage: " + program +
        " [-a address] [-v port] [-s port]... [-H port] [-r] [-p] [-l] [instrument-file]...\n\n"
        "       -a address  Address to listen on (default 127.0.0.1; ::1 for IPv6).\n"
        "       -v port     Port of the VXI-11 core channel (default: any free port).\n"
        "       -s port     Raw socket port of the next instrument (default: any free port).\n"
        "       -H port     Port of the HiSLIP server (default: any free port).\n"
        "       -r          Register the VXI-11 core channel with the running rpcbind.\n"
        "       -p          Serve each instrument on a pseudo-terminal too.\n"
        "       -l          Print each name as 'INSTRUMENT PROTOCOL NAME'.\n"
        "       instrument-file  One simulated instrument per file; without any, one "
        "instrument inst0.\n\n";
    const std::vector<BadStart> cases{
        {{file}, "bogus\n", program + ": " + file + ":1: cannot understand 'bogus'\n"},
        {{file, file}, "name a\n", program + ": two instruments are named 'a'\n"},
        {{missing}, "", program + ": cannot read '" + missing + "': No such file or directory\n"},
        {{dir.root().string()},
         "",
         program + ": cannot read '" + dir.root().string() + "': Is a directory\n"},
        {{file},
         std::string("name a\0b\n", 9),
         program + ": " + file + ":1: a name cannot hold a NUL byte\n"},
        {{file},
         "bogus\x1b[2J\t" + std::string(100, 'x') + "\n",
         program + ": " + file + ":1: cannot understand 'bogus\\x1b[2J\\t" + std::string(70, 'x') +
             "'...\n"},
        {{"-s", "0", "-s", "0"}, "", program + ": more -s ports (2) than instruments (1)\n"},
        {{"-a", "nowhere"}, "", program + ": 'nowhere' is not an IPv4 or IPv6 address\n"},
        {{"-v", "70000"}, "", program + ": invalid port '70000'\n" + usage},
        {{"-x"}, "", program + ": invalid option -- 'x'\n" + usage}};
    for (const auto& item : cases) {
        SCOPED_TRACE(item.message);
        std::ofstream(file) << item.definition;
        expectFailure(runTool(ZEMOSIM, item.arguments), 1, item.message);
    }
}

// The interface names are the only way to learn the ports: when they cannot be written,
// zemosim fails with the reason instead of serving unseen.
TEST(ZemosimCommandLine, FailsWhenTheNamesCannotBeWritten) {
    const std::string program = ZEMOSIM;
    expectFailure(kittest::run({.program = program, .outputPath = "/dev/full"}), 1,
                  program + ": cannot write the interface names: No space left on device\n");
    const Result outcome = runTool("/bin/sh", {"-c", "exec \"$0\" >&-", program});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err,
              program + ": cannot write the interface names: standard output is closed\n");
}

// The instrument closes the connection after a reply; the next write, a record of 1 MiB that
// takes several writes to the socket, fails with a message instead of ending the process by
// SIGPIPE.
TEST(HangUp, NextWriteFailsWithAMessage) {
    TempTree dir;
    SimServer server({instrumentFile(dir, "hangup", "hangup BYE\n")}, 2);
    const std::string name = server.name("inst0", "vxi11");
    const Result outcome = send(name, "BYE\n" + std::string(1 << 20, 'x') + "\n");
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    // Whether the close reaches the client before or during its write is a matter of timing.
    const std::string start = "zemo: zemo_write " + name + ": device_write failed: ";
    EXPECT_TRUE(outcome.err == start + "cannot send to the core channel (Broken pipe)\n" ||
                outcome.err ==
                    start + "cannot send to the core channel (Connection reset by peer)\n" ||
                outcome.err ==
                    start + "cannot receive from the core channel (Connection reset by peer)\n" ||
                outcome.err == start + "the core channel closed the connection\n")
        << outcome.err;
}

TEST(Failures, ConnectionRefused) {
    const std::string port = std::to_string(closedPort());
    for (const std::string& name :
         {"vxi11/127.0.0.1:" + port + "/inst0", "socket/127.0.0.1/" + port}) {
        expectFailure(runTool(ZEMORESET, {name}), 2,
                      "zemo: zemo_open " + name + ": cannot connect to '127.0.0.1' port " + port +
                          ": Connection refused\n");
    }
}

// A listener whose queue of pending connections is full lets a connect hang: the connect
// timeout ends it with status 3.
TEST(Failures, ConnectTimeout) {
    const FullListener full;
    const std::string port = std::to_string(full.port);
    for (const std::string& name : {"vxi11/127.0.0.1:" + port, "socket/127.0.0.1/" + port}) {
        expectFailure(runTool(ZEMORESET, {name}, {}, {"ZEMO_CONNECT_TIMEOUT=200"}), 3,
                      "zemo: zemo_open " + name + ": cannot connect to '127.0.0.1' port " + port +
                          ": no answer within 200 ms\n");
    }
}

// ZEMO_CONNECT_TIMEOUT outside its range fails every open, each with its own reason.
TEST(Failures, ConnectTimeoutOutOfRange) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"soon", "not a decimal number"},
        {"12ms", "not a decimal number"},
        {"-", "not a decimal number"},
        {"0", "below 1"},
        {"-5", "below 1"},
        {"2147483648", "above 2147483647"},
        {"99999999999999999999", "above 2147483647"},
    };
    for (const auto& [value, reason] : cases) {
        expectFailure(
            runTool(ZEMORESET, {"socket/127.0.0.1/1"}, {}, {"ZEMO_CONNECT_TIMEOUT=" + value}), 2,
            "zemo: zemo_open socket/127.0.0.1/1: ZEMO_CONNECT_TIMEOUT is '" + value + "', " +
                reason + "; expected a decimal number of milliseconds from 1 to 2147483647\n");
    }
}

TEST(Failures, HostDoesNotResolve) {
    for (const std::string name :
         {"vxi11/nosuchhost.invalid:5000/inst0", "socket/nosuchhost.invalid"}) {
        const Result outcome = runTool(ZEMORESET, {name});
        EXPECT_EQ(outcome.status, 2);
        const std::string start =
            "zemo: zemo_open " + name + ": cannot resolve host 'nosuchhost.invalid': ";
        // The resolver's reason depends on the machine's network.
        EXPECT_EQ(outcome.err.substr(0, start.size()), start);
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1);
    }
}

struct MalformedName {
    std::string label; // the case's name in the test list
    std::string name;
    std::string reason;
};

class Malformed : public testing::TestWithParam<MalformedName> {};

TEST_P(Malformed, NameFailsWithTheExpectedForm) {
    expectFailure(runTool(ZEMORESET, {GetParam().name}), 2,
                  "zemo: zemo_open " + GetParam().name + ": " + GetParam().reason + "\n");
}

const std::string vxi11Form = "vxi11/HOST[:PORT][/DEVICE]";
const std::string socketForm = "socket/HOST[/PORT]";
const std::string usbtmcForm = "usbtmc/DEVICE with DEVICE N, usbtmcN or /dev/usbtmcN";

INSTANTIATE_TEST_SUITE_P(
    Names, Malformed,
    testing::Values(
        MalformedName{"Vxi11WithoutHost", "vxi11/", "missing host; expected " + vxi11Form},
        MalformedName{"Vxi11WithColonButNoPort", "vxi11/127.0.0.1:",
                      "missing host or port around ':' in '127.0.0.1:'; "
                      "expected " +
                          vxi11Form},
        MalformedName{"Vxi11WithPortButNoHost", "vxi11/:5000/inst0",
                      "missing host or port around ':' in ':5000'; "
                      "expected " +
                          vxi11Form},
        MalformedName{"Vxi11PortAboveRange", "vxi11/127.0.0.1:99999",
                      "invalid port '99999'; expected " + vxi11Form +
                          " with a port from 1 to 65535"},
        MalformedName{"Vxi11PortThatIsNoNumber", "vxi11/127.0.0.1:5x/inst0",
                      "invalid port '5x'; expected " + vxi11Form + " with a port from 1 to 65535"},
        MalformedName{"Vxi11EmptyDevice", "vxi11/127.0.0.1:5000/",
                      "missing device after '/'; expected " + vxi11Form},
        MalformedName{"Vxi11UnclosedIPv6Address", "vxi11/[::1:5000/inst0",
                      "malformed IPv6 address '[::1:5000'; expected " + vxi11Form},
        MalformedName{"Vxi11TextAfterIPv6Address", "vxi11/[::1]5000/inst0",
                      "unexpected text after ']' in '[::1]5000'; "
                      "expected " +
                          vxi11Form},
        MalformedName{"SocketWithoutHost", "socket/", "missing host; expected " + socketForm},
        MalformedName{"SocketPortAfterColon", "socket/127.0.0.1:5025",
                      "unexpected ':5025' after the host; expected " + socketForm +
                          " (the port follows a '/')"},
        MalformedName{"SocketPortZero", "socket/127.0.0.1/0",
                      "invalid port '0'; expected " + socketForm + " with a port from 1 to 65535"},
        MalformedName{"SocketEmptyPort", "socket/127.0.0.1/",
                      "invalid port ''; expected " + socketForm + " with a port from 1 to 65535"},
        MalformedName{"UsbtmcWithoutDevice", "usbtmc/", "missing device; expected " + usbtmcForm},
        MalformedName{"UsbtmcDevicePathWithSlash", "usbtmc/a/b",
                      "malformed device 'a/b'; expected " + usbtmcForm}),
    [](const testing::TestParamInfo<MalformedName>& testInfo) { return testInfo.param.label; });

TEST(Usbtmc, MissingNodeAndFilesThatAreNoDevice) {
    TempTree dir;
    const auto plainFile = dir.makeFile("plain", "not a device\n");
    const std::vector<std::pair<std::string, std::string>> cases{
        {"usbtmc/97", "cannot open /dev/usbtmc97: No such file or directory"},
        {"usbtmc/usbtmc97", "cannot open /dev/usbtmc97: No such file or directory"},
        {"usbtmc//dev/null", "/dev/null is not a USBTMC device"},
        {"usbtmc/" + plainFile.string(), plainFile.string() + " is not a USBTMC device"},
        {"usbtmc/" + dir.root().string(),
         "cannot open " + dir.root().string() + ": Is a directory"}};
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        expectFailure(runTool(ZEMORESET, {name}), 2,
                      "zemo: zemo_open " + name + ": " + reason + "\n");
    }
}

} // namespace
} // namespace zemotest
