// zemoquery for scripts and at a terminal: each option against zemosim and against instruments
// of the test's own on a raw socket (one ending its answers with CRLF, one with CR alone), the
// library's termination character underneath, and the interactive session through a
// pseudo-terminal.
#include "run_program.h"
#include "sim_server.h"
#include "tool_runs.h"

#include <zemo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zemotest {
namespace {

using kittest::TempTree;

// An instrument on a raw socket of the test's own, at 127.0.0.1: it takes newline-ended
// messages and answers the queries it knows, each answer ended by TERMINATOR; "BOGUS" queues an
// error that SYST:ERR? reports. One connection at a time, until the object goes.
class PeerInstrument {
  public:
    explicit PeerInstrument(std::string terminator) : terminator_(std::move(terminator)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error(std::string("peer instrument: ") + std::strerror(errno));
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    PeerInstrument(const PeerInstrument&) = delete;
    PeerInstrument& operator=(const PeerInstrument&) = delete;
    ~PeerInstrument() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::string name() const { return "socket/127.0.0.1/" + std::to_string(port_); }

  private:
    // Waits up to 50 ms for FD to be readable; false when the peer is to stop.
    bool wait(int fd) {
        pollfd entry{fd, POLLIN, 0};
        while (!stop_)
            if (::poll(&entry, 1, 50) > 0)
                return true;
        return false;
    }

    void serve() {
        while (wait(listener_)) {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            converse(connection);
            ::close(connection);
        }
    }

    // Answers the messages of one connection until it closes.
    void converse(int connection) {
        std::string input;
        char bytes[512];
        errors_ = 0;
        while (wait(connection)) {
            const ssize_t got = ::recv(connection, bytes, sizeof bytes, 0);
            if (got <= 0)
                return;
            input.append(bytes, static_cast<std::size_t>(got));
            for (std::size_t end; (end = input.find('\n')) != std::string::npos;) {
                const std::string answer = answerTo(input.substr(0, end));
                input.erase(0, end + 1);
                if (!answer.empty()) {
                    const std::string reply = answer + terminator_;
                    if (::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
                        return;
                }
            }
        }
    }

    // The answer to MESSAGE, without the terminator; empty for none.
    std::string answerTo(const std::string& message) {
        if (message == "BOGUS")
            ++errors_;
        if (message == "SYSTem:ERRor?")
            return errors_ > 0 ? (--errors_, "-113,\"Undefined header\"") : "0,\"No error\"";
        static const std::map<std::string, std::string> answers{
            {"*IDN?", "PEER,1"}, {"VOLT?", "1.5"}, {"DATA?", "#15he\rlo"}, {"RAW", "raw"}};
        const auto found = answers.find(message);
        return found == answers.end() ? std::string() : found->second;
    }

    std::string terminator_;
    int listener_ = -1;
    unsigned short port_ = 0;
    int errors_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One zemosim (inst0 and the instruments' error queues) and the two peer instruments.
class QueryOptions : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new TempTree;
        server_ = new SimServer({directory_->makeFile("plain", "").string()}, 3);
        crlf_ = new PeerInstrument("\r\n");
        cr_ = new PeerInstrument("\r");
    }
    static void TearDownTestSuite() {
        delete cr_;
        delete crlf_;
        delete server_;
        delete directory_;
    }

    static TempTree* directory_;
    static SimServer* server_;
    static PeerInstrument* crlf_;
    static PeerInstrument* cr_;
};

TempTree* QueryOptions::directory_ = nullptr;
SimServer* QueryOptions::server_ = nullptr;
PeerInstrument* QueryOptions::crlf_ = nullptr;
PeerInstrument* QueryOptions::cr_ = nullptr;

// TEXT with every "@I" replaced by NAME and every "@P" by zemoquery's path.
std::string filledIn(std::string text, const std::string& name) {
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"@I", name},
                                      std::pair<std::string, std::string>{"@P", ZEMOQUERY}})
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), value);
    return text;
}

// The options of zemoquery, each against the instruments it concerns: exact output, error
// lines and status.
TEST_F(QueryOptions, EachOption) {
    enum class Target { simSocket, simVxi11, crlf, cr };
    struct Case {
        const char* what;
        Target target;
        std::vector<std::string> options;
        std::vector<std::string> messages;
        std::string input;
        int status;
        std::string out;
        std::string err; // @I: the interface, @P: the program
    };
    const std::vector<Case> cases{
        // -s: the terminator goes, one newline ends the answer.
        {"CRLF as it comes", Target::crlf, {}, {"VOLT?"}, "", 0, "1.5\r\n", ""},
        {"-s strips CRLF", Target::crlf, {"-s"}, {"VOLT?"}, "", 0, "1.5\n", ""},
        {"-T crlf -s", Target::crlf, {"-T", "crlf", "-s"}, {"VOLT?"}, "", 0, "1.5\n", ""},
        {"-s on zemosim", Target::simVxi11, {"-s"}, {"*IDN?"}, "", 0, identity, ""},
        // -T cr: an instrument that ends its answers with CR alone.
        {"CR without -T never ends",
         Target::cr,
         {"-t", "300"},
         {"VOLT?"},
         "",
         3,
         "1.5\r",
         "@P: 'VOLT?': no answer within 300 ms from @I (no data from the instrument within "
         "300 ms)\n"},
        {"-T cr", Target::cr, {"-T", "cr"}, {"VOLT?", "*IDN?"}, "", 0, "1.5\rPEER,1\r", ""},
        {"-T cr -s", Target::cr, {"-T", "cr", "-s"}, {"VOLT?"}, "", 0, "1.5\n", ""},
        {"-T cr over VXI-11", Target::simVxi11, {"-T", "cr"}, {"*IDN?"}, "", 0, identity, ""},
        {"-T other", Target::cr, {"-T", "crcr"}, {"VOLT?"}, "", 1, "", "*"},
        // -b: only the data of a block.
        {"-b", Target::simVxi11, {"-b"}, {"DATA? 3"}, "", 0, std::string("\0\1\2", 3), ""},
        {"-b over a socket",
         Target::simSocket,
         {"-b", "-s"},
         {"DATA? 3", "*IDN?"},
         "",
         0,
         std::string("\0\1\2", 3) + identity,
         ""},
        {"-b with CR", Target::cr, {"-b", "-T", "cr"}, {"DATA?"}, "", 0, "he\rlo", ""},
        {"-b with CRLF", Target::crlf, {"-b"}, {"DATA?", "VOLT?"}, "", 0, "he\rlo1.5\r\n", ""},
        // -e: the error queue after every message, status 5.
        {"-e, no error", Target::simVxi11, {"-e"}, {"*IDN?", "*CLS"}, "", 0, identity, ""},
        {"-e stops at an error",
         Target::simSocket,
         {"-e"},
         {"BOGUS", "*IDN?"},
         "",
         5,
         "",
         "@P: 'BOGUS': instrument error -113,\"Undefined header\"\n"},
        {"-e -k goes on",
         Target::simVxi11,
         {"-e", "-k"},
         {"BOGUS", "*IDN?"},
         "",
         5,
         identity,
         "@P: 'BOGUS': instrument error -113,\"Undefined header\"\n"},
        {"-e with CRLF",
         Target::crlf,
         {"-e", "-k"},
         {"BOGUS", "VOLT?"},
         "",
         5,
         "1.5\r\n",
         "@P: 'BOGUS': instrument error -113,\"Undefined header\"\n"},
        // -k: the first unanswered query does not end the run.
        {"no answer ends the run",
         Target::simSocket,
         {"-t", "300"},
         {"BOGUS?", "*IDN?"},
         "",
         3,
         "",
         "@P: 'BOGUS?': no answer within 300 ms from @I (no data from the instrument "
         "within 300 ms)\n"},
        {"-k",
         Target::simVxi11,
         {"-t", "300", "-k"},
         {"BOGUS?", "*IDN?"},
         "",
         3,
         identity,
         "@P: 'BOGUS?': no answer within 300 ms from @I (device_read failed: I/O timeout "
         "(VXI-11 error 15))\n"},
        // -r: an answer read whatever the header.
        {"without -r", Target::crlf, {}, {"RAW", "VOLT?"}, "", 0, "raw\r\n", ""},
        {"-r", Target::crlf, {"-r"}, {"RAW"}, "", 0, "raw\r\n", ""},
        // Standard input: empty and comment lines are not sent; a failure names its line.
        {"comments", Target::simSocket, {}, {}, "# set up\n\n  \n*IDN?\n", 0, identity, ""},
        {"line number",
         Target::crlf,
         {"-t", "300"},
         {},
         "# a\n\nVOLT?\nNONE?\n",
         3,
         "1.5\r\n",
         "@P: line 4, 'NONE?': no answer within 300 ms from @I (no data from the "
         "instrument within 300 ms)\n"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const std::string name = test.target == Target::simSocket ? server_->name("inst0", "socket")
                                 : test.target == Target::simVxi11 ? server_->name("inst0", "vxi11")
                                 : test.target == Target::crlf     ? crlf_->name()
                                                                   : cr_->name();
        ASSERT_EQ(runTool(ZEMOQUERY, {"-t", "1000", name, "*RST;*CLS"}).status, 0);
        std::vector<std::string> arguments = test.options;
        arguments.push_back(name);
        arguments.insert(arguments.end(), test.messages.begin(), test.messages.end());
        const kittest::Result outcome = runTool(ZEMOQUERY, arguments, test.input);
        EXPECT_EQ(outcome.status, test.status);
        EXPECT_TRUE(outcome.out == test.out) << "got '" << outcome.out << "'";
        if (test.err == "*") {
            EXPECT_NE(outcome.err, "");
        } else {
            EXPECT_EQ(outcome.err, filledIn(test.err, name));
        }
    }
}

// --help and --version write to standard output with status 0.
TEST(QueryInformation, HelpAndVersion) {
    const kittest::Result help = runTool(ZEMOQUERY, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("Usage: ") + ZEMOQUERY, 0), 0U);
    EXPECT_EQ(help.err, "");
    expectOutcome(runTool(ZEMOQUERY, {"--version"}), 0,
                  std::string("zemoquery ") + zemo_version() + "\n", "");
}

// zemo_set_termchar: a VXI-11 read stops at the byte (termchrset) and says so, and a socket read
// that ends with it says so; without it, the read goes to END.
TEST_F(QueryOptions, TermCharEndsARead) {
    struct Case {
        std::string name;
        std::string query;
        bool setTermChar;
        std::uint64_t received;
        int reason;
    };
    const std::string vxi11 = server_->name("inst0", "vxi11");
    const std::vector<Case> cases{
        // "DATA? 20" answers "#220" and the bytes 0 to 19: byte 13 is the 18th.
        {vxi11, "DATA? 20\n", true, 18, ZEMO_REASON_TERMCHAR},
        {vxi11, "DATA? 20\n", false, 25, ZEMO_REASON_END},
        {cr_->name(), "VOLT?\n", true, 4, ZEMO_REASON_TERMCHAR},
        {cr_->name(), "VOLT?\n", false, 4, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name + (test.setTermChar ? " with" : " without") + " the byte");
        zemo_handle handle = zemo_open(test.name.c_str());
        ASSERT_NE(handle, nullptr);
        if (test.setTermChar) {
            ASSERT_EQ(zemo_set_termchar(handle, '\r'), ZEMO_OK);
        }
        ASSERT_EQ(zemo_write(handle, test.query.data(), test.query.size(), ZEMO_END, nullptr),
                  ZEMO_OK);
        char buffer[100];
        std::uint64_t received = 0;
        int reason = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the socket's answer whole
        EXPECT_EQ(zemo_read_message(handle, buffer, sizeof buffer, &received, &reason), ZEMO_OK);
        EXPECT_EQ(received, test.received);
        EXPECT_EQ(reason & (ZEMO_REASON_TERMCHAR | ZEMO_REASON_END), test.reason);
        zemo_clear(handle); // what the read left
        zemo_close(handle);
    }
}

// The trace shows zemo_set_termchar; with ZEMO_TRACE_TIME, each line starts with the start
// time, the duration and the process id.
TEST(QueryTrace, TermCharAndTime) {
    const kittest::Result plain =
        runTool(ZEMOQUERY, {"-T", "cr", "sim/echo", "A?"}, {}, {"ZEMO_TRACE=-"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.err.find("\nzemo_set_termchar(h1, 13) = ZEMO_OK\n"), std::string::npos)
        << plain.err;
    const kittest::Result timed =
        runTool(ZEMOQUERY, {"sim/echo", "A?"}, {}, {"ZEMO_TRACE=-", "ZEMO_TRACE_TIME=1"});
    EXPECT_EQ(timed.status, 0);
    const std::regex line(R"([0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6} \+[0-9]+\.[0-9]{6}s \[[0-9]+\] )"
                          R"(zemo_[a-z_]+\(.*\) = ZEMO_OK.*)");
    std::size_t lines = 0;
    for (std::size_t start = 0, end; (end = timed.err.find('\n', start)) != std::string::npos;
         start = end + 1, ++lines)
        EXPECT_TRUE(std::regex_match(timed.err.substr(start, end - start), line))
            << timed.err.substr(start, end - start);
    EXPECT_EQ(lines, 5U);
}

// zemoquery on a pseudo-terminal of the test's own, read and typed at as a user would.
class Terminal {
  public:
    explicit Terminal(std::vector<std::string> arguments, std::vector<std::string> environment) {
        std::vector<std::string> argv{ZEMOQUERY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env = kittest::programEnvironment(environment);
        auto argvPointers = kittest::pointerList(argv);
        auto envPointers = kittest::pointerList(env);
        child_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (child_ == 0) {
            ::execve(ZEMOQUERY, argvPointers.data(), envPointers.data());
            ::_exit(127);
        }
        if (child_ < 0)
            throw std::runtime_error(std::string("forkpty: ") + std::strerror(errno));
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    ~Terminal() {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        ::close(master_);
    }

    void type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads what the program shows until it matches PATTERN (the screen since the last match),
    // for at most 5 s; false when it does not come.
    bool waitFor(const std::string& pattern) {
        const std::regex wanted(pattern);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            std::smatch match;
            if (std::regex_search(screen_, match, wanted)) {
                screen_.erase(0, static_cast<std::size_t>(match.position(0) + match.length(0)));
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char bytes[512];
            const ssize_t got = ::read(master_, bytes, sizeof bytes);
            if (got <= 0)
                return false;
            screen_.append(bytes, static_cast<std::size_t>(got));
        }
    }

    // Types KEYS, which end the program, and returns its exit status; -1 for a signal or a
    // program that has not ended 5 s later, which the destructor then kills.
    int endWith(const std::string& keys) {
        type(keys);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(child_, &status, WNOHANG) == child_) {
                child_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    const std::string& screen() const { return screen_; }

  private:
    pid_t child_ = -1;
    int master_ = -1;
    std::string screen_;
};

// A session: the prompt names the interface, a query is answered, an unanswered one is reported
// and the session goes on, Ctrl-C abandons a query that waits, :stb prints the status byte,
// Ctrl-D at the prompt ends it, and the lines typed are in the history file.
TEST_F(QueryOptions, SessionOnATerminal) {
    const TempTree home;
    const std::string name = server_->name("inst0", "socket");
    ASSERT_EQ(runTool(ZEMOQUERY, {name, "*RST;*CLS"}).status, 0);
    Terminal terminal({"-t", "1500", name},
                      {"HOME=" + home.root().string(),
                       "XDG_STATE_HOME=" + (home.root() / "state").string(), "TERM=dumb"});
    const std::string prompt = std::regex_replace(name, std::regex(R"([./])"), R"(\$&)") + "> ";
    ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
    terminal.type("*IDN?\r");
    ASSERT_TRUE(terminal.waitFor("ZEMO,zemosim,0,1\\.0\r\n")) << terminal.screen();
    ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
    terminal.type("BOGUS?\r");
    ASSERT_TRUE(terminal.waitFor("'BOGUS\\?': no answer within 1500 ms from")) << terminal.screen();
    ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
    terminal.type("NONE?\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    terminal.type("\003");
    ASSERT_TRUE(terminal.waitFor("'NONE\\?': abandoned; device clear sent")) << terminal.screen();
    ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
    terminal.type(":stb\r");
    ASSERT_TRUE(terminal.waitFor("\n[0-9]+\r\n")) << terminal.screen();
    ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
    terminal.type("*IDN?\r");
    ASSERT_TRUE(terminal.waitFor("ZEMO,zemosim,0,1\\.0\r\n")) << terminal.screen();
    ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
    EXPECT_EQ(terminal.endWith("\004"), 3); // the first failure's, the unanswered query
    const std::string history = kittest::readFile(home.root() / "state" / "zemoquery" / "history");
    for (const char* line : {"*IDN?", "BOGUS?", "NONE?", ":stb"})
        EXPECT_NE(history.find(line), std::string::npos) << line << " in " << history;
}

} // namespace
} // namespace zemotest
