// The serial transport end to end: the built tools against zemosim's pseudo-terminals, and the
// library's calls against pseudo-terminals the test drives itself from the master side.
#include "run_program.h"
#include "sim_server.h"
#include "tool_runs.h"

#include <zemo.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <thread>
#include <unistd.h>

namespace zemotest {
namespace {

using namespace std::chrono_literals;

using kittest::Result;
using kittest::TempTree;

// One zemosim serving a plain instrument and one with a delayed query, a drop and a hang-up,
// each on VXI-11, a raw socket and a pseudo-terminal.
class PseudoTerminal : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new TempTree;
        const auto plain = directory_->root() / "plain";
        const auto faulty = directory_->root() / "faulty";
        std::ofstream(plain) << "";
        std::ofstream(faulty) << "name faulty\nproperty VOLT 0\ndelay SLOW? 1000 late\n"
                                 "drop DROP\nhangup BYE\n";
        server_ = new SimServer({"-p", plain.string(), faulty.string()}, 6);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete directory_;
    }
    void SetUp() override {
        for (const auto& name : {plainVxi11(), faultyVxi11()})
            ASSERT_EQ(runTool(ZEMORESET, {name}).status, 0);
    }

    static std::string plainVxi11() { return server_->name("inst0", "vxi11"); }
    static std::string plainSerial() { return server_->name("inst0", "serial"); }
    static std::string faultyVxi11() { return server_->name("faulty", "vxi11"); }
    static std::string faultySerial() { return server_->name("faulty", "serial"); }

    static TempTree* directory_;
    static SimServer* server_;
};

TempTree* PseudoTerminal::directory_ = nullptr;
SimServer* PseudoTerminal::server_ = nullptr;

TEST_F(PseudoTerminal, PrintsTheSerialNameAfterTheOthers) {
    EXPECT_EQ(plainSerial().rfind("serial//dev/pts/", 0), 0U);
    EXPECT_EQ(faultySerial().rfind("serial//dev/pts/", 0), 0U);
    EXPECT_NE(plainSerial(), faultySerial());
}

// Every setting is accepted; the line is closed and opened again between query and answer.
TEST_F(PseudoTerminal, EverySettingIsAccepted) {
    for (const std::string settings :
         {"", "/baud=115200", "/baud=12345", "/baud=4000000", "/baud=50", "/format=7E1",
          "/format=5O2", "/format=8M1", "/format=6S2", "/flow=none", "/flow=rtscts",
          "/flow=xonxoff", "/term=lf", "/term=cr", "/term=crlf", "/term=none",
          "/baud=19200/format=8N1/flow=none/term=lf"}) {
        SCOPED_TRACE(settings);
        const std::string name = plainSerial() + settings;
        expectAnswer(name, "*IDN?\n", name, identity);
    }
}

// The output queue belongs to the instrument, whichever interface asks and reads.
TEST_F(PseudoTerminal, PropertiesAndTheQueueAreSharedWithVxi11) {
    expectAnswer(faultySerial(), "VOLT 2.5\r\nVOLT?\n", faultyVxi11(), "2.5\n");
    expectAnswer(faultyVxi11(), "VOLT?\n*IDN?\n", faultySerial(), "2.5\n" + identity);
    expectAnswer(faultySerial(), "*RST\nVOLT?\n", faultySerial(), "0\n");
}

TEST_F(PseudoTerminal, AnswerOfSeveralKibibytes) {
    expectAnswer(plainSerial(), "DATA? 200000\n", plainSerial(), dataBlock(200000));
}

TEST_F(PseudoTerminal, TimeoutsAndClear) {
    const std::string timedOut = ": no data from the instrument within 300 ms\n";
    // Without a count zemorecv reads until the timeout ends it, after the answer.
    expectOutcome(runTool(ZEMOSEND, {plainSerial()}, "*IDN?\n"), 0, "", "");
    expectOutcome(runTool(ZEMORECV, {"-t", "300", plainSerial()}), 3, identity,
                  "zemo: zemo_read " + plainSerial() + timedOut);
    // An answer later than the timeout.
    expectOutcome(runTool(ZEMOSEND, {faultySerial()}, "SLOW?\n"), 0, "", "");
    expectOutcome(runTool(ZEMORECV, {"-t", "300", "-c", "5", faultySerial()}), 3, "",
                  "zemo: zemo_read " + faultySerial() + timedOut);
    expectOutcome(runTool(ZEMORECV, {"-c", "5", faultySerial()}), 0, "late\n", "");
    expectOutcome(runTool(ZEMORESET, {plainSerial()}), 0, "", "");
}

// The reason of the last failure the library reported.
std::string lastReason;

void keepReason(const char*, const char*, zemo_status, const char* reason) {
    lastReason = reason;
}

// The library's own calls on an interface, failures reported to the test rather than ending
// it.
class Link {
  public:
    explicit Link(const std::string& name) {
        zemo_set_error_handler(keepReason);
        handle_ = zemo_open(name.c_str());
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() {
        if (handle_ != nullptr)
            zemo_close(handle_);
    }
    zemo_handle handle() const { return handle_; }

    // Reads at most COUNT bytes; STATUS is what the call returned.
    std::string read(std::size_t count, zemo_status& status) {
        std::string buffer(count, '\0');
        uint64_t received = 0;
        status = zemo_read(handle_, buffer.data(), count, 0, &received);
        buffer.resize(received);
        return buffer;
    }

  private:
    zemo_handle handle_ = nullptr;
};

// drop and hangup end the client's session as a dead line would; the instrument lives on.
TEST_F(PseudoTerminal, DropAndHangupHangTheLineUp) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "hanging up a terminal takes CAP_SYS_ADMIN; skipping the hang-up test";
    const std::string path = faultySerial().substr(7);
    for (const std::string command : {"DROP\n", "BYE\n"}) {
        SCOPED_TRACE(command);
        {
            Link link(faultySerial());
            ASSERT_NE(link.handle(), nullptr);
            ASSERT_EQ(zemo_write(link.handle(), command.data(), command.size(), ZEMO_END, nullptr),
                      ZEMO_OK);
            zemo_status status = ZEMO_OK;
            EXPECT_EQ(link.read(10, status), "");
            EXPECT_EQ(status, ZEMO_FAILURE);
            EXPECT_EQ(lastReason, "read " + path + ": the line hung up");
            EXPECT_EQ(zemo_write(link.handle(), "*IDN?\n", 6, ZEMO_END, nullptr), ZEMO_FAILURE);
            EXPECT_EQ(lastReason, "write " + path + ": Input/output error");
        }
        expectAnswer(faultySerial(), "*IDN?\n", faultySerial(), identity);
    }
}

struct RefusedName {
    std::string name;
    std::string reason;
};

void PrintTo(const RefusedName& refused, std::ostream* os) {
    *os << refused.name;
}

const std::string settingForms =
    "baud=N, format=DPS, flow=none|rtscts|xonxoff or term=lf|cr|crlf|none";
const std::string formatForm = "; expected format=DPS with data bits 5 to 8, parity N, E, O, M "
                               "or S and stop bits 1 or 2, e.g. format=8N1";

class SerialName : public testing::TestWithParam<RefusedName> {};

TEST_P(SerialName, RefusedAtOpenWithTheReason) {
    expectOutcome(runTool(ZEMORESET, {GetParam().name}), 2, "",
                  "zemo: zemo_open " + GetParam().name + ": " + GetParam().reason + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Refused, SerialName,
    testing::Values(
        RefusedName{"serial/", "missing device; expected serial/DEVICE[/SETTING]..."},
        RefusedName{"serial//dev/null", "/dev/null is not a terminal"},
        RefusedName{"serial/ttyNOSUCH7", "cannot open /dev/ttyNOSUCH7: No such file or directory"},
        RefusedName{"serial/null/speed=9600", "unknown setting 'speed'; expected " + settingForms},
        RefusedName{"serial/null/baud=9600/parity",
                    "malformed setting 'parity'; expected NAME=VALUE after the device, as in "
                    "serial/DEVICE[/SETTING]..., with " +
                        settingForms},
        RefusedName{"serial/null/baud=fast", "invalid baud rate 'fast'; expected baud=N with N "
                                             "bits per second above 0"},
        RefusedName{"serial/null/baud=0",
                    "invalid baud rate '0'; expected baud=N with N bits per second above 0"},
        RefusedName{"serial/null/baud=99999999999", "invalid baud rate '99999999999'; expected "
                                                    "baud=N with N bits per second above 0"},
        RefusedName{"serial/null/format=9N1", "invalid format '9N1'" + formatForm},
        RefusedName{"serial/null/format=8X1", "invalid format '8X1'" + formatForm},
        RefusedName{"serial/null/format=8N3", "invalid format '8N3'" + formatForm},
        RefusedName{"serial/null/format=8N", "invalid format '8N'" + formatForm},
        RefusedName{"serial/null/flow=hardware",
                    "invalid flow control 'hardware'; expected flow=none|rtscts|xonxoff"},
        RefusedName{"serial/null/term=crcr",
                    "invalid termination 'crcr'; expected term=lf|cr|crlf|none"},
        RefusedName{"serial/null/baud=9600/baud=19200",
                    "setting 'baud' given twice; expected each at most once"}));

// A pseudo-terminal the test holds: the master side plays the instrument.
class OwnTerminal {
  public:
    OwnTerminal() {
        int slave = -1;
        char path[128];
        if (::openpty(&master_, &slave, path, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        ::close(slave);
        name_ = std::string("serial/") + path;
    }
    OwnTerminal(const OwnTerminal&) = delete;
    OwnTerminal& operator=(const OwnTerminal&) = delete;
    ~OwnTerminal() { ::close(master_); }

    const std::string& name() const { return name_; }
    void send(const std::string& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

  private:
    int master_ = -1;
    std::string name_;
};

TEST(SerialLine, InUseByAnotherProcess) {
    OwnTerminal terminal;
    Link holder(terminal.name());
    ASSERT_NE(holder.handle(), nullptr);
    const std::string path = terminal.name().substr(7);
    expectOutcome(runTool(ZEMORESET, {terminal.name()}), 2, "",
                  "zemo: zemo_open " + terminal.name() + ": " + path +
                      " is in use by another process\n");
}

struct ReadCase {
    std::string settings;
    // What the instrument sends, in pieces 100 ms apart.
    std::vector<std::string> arrivals;
    // The counts of successive reads and what each returns.
    std::vector<std::pair<std::size_t, std::string>> reads;
};

void PrintTo(const ReadCase& readCase, std::ostream* os) {
    *os << "serial" << readCase.settings << ", reads ending";
    for (const auto& read : readCase.reads)
        *os << " " << testing::PrintToString(read.second);
}

class SerialRead : public testing::TestWithParam<ReadCase> {};

TEST_P(SerialRead, EndsAtTheTerminationTheCountOrTheQuietGap) {
    OwnTerminal terminal;
    Link link(terminal.name() + GetParam().settings);
    ASSERT_NE(link.handle(), nullptr);
    ASSERT_EQ(zemo_set_timeout(link.handle(), 3000), ZEMO_OK);
    std::thread instrument([&] {
        for (const auto& piece : GetParam().arrivals) {
            std::this_thread::sleep_for(100ms);
            terminal.send(piece);
        }
    });
    for (const auto& [count, expected] : GetParam().reads) {
        zemo_status status = ZEMO_FAILURE;
        EXPECT_EQ(link.read(count, status), expected);
        EXPECT_EQ(status, ZEMO_OK);
    }
    instrument.join();
}

INSTANTIATE_TEST_SUITE_P(
    Terminations, SerialRead,
    testing::Values(
        ReadCase{"", {"ab", "c\nde\n"}, {{100, "abc\n"}, {100, "de\n"}}},
        ReadCase{"/term=cr", {"a\nb", "\rc\r"}, {{100, "a\nb\r"}, {100, "c\r"}}},
        // The termination split across two arrivals, and a CR that ends nothing.
        ReadCase{"/term=crlf", {"a\rb\r", "\nc\r\n"}, {{100, "a\rb\r\n"}, {100, "c\r\n"}}},
        // The count ends a read before the termination; the next read ends at it.
        ReadCase{"", {"abcdef\nxy\n"}, {{4, "abcd"}, {100, "ef\n"}, {100, "xy\n"}}},
        ReadCase{"/term=crlf", {"ab\r\ncd\r\n"}, {{3, "ab\r"}, {100, "\n"}, {100, "cd\r\n"}}},
        // Unterminated: each read ends once the line is quiet for the gap.
        ReadCase{"/term=none", {"ab\n", "cd"}, {{100, "ab\n"}, {100, "cd"}}}));

// The instrument holds the line off with XOFF: the write times out.
TEST(SerialLine, WriteHeldOffTimesOut) {
    OwnTerminal terminal;
    Link link(terminal.name() + "/flow=xonxoff");
    ASSERT_NE(link.handle(), nullptr);
    terminal.send("\x13");
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(zemo_set_timeout(link.handle(), 200), ZEMO_OK);
    const std::string data(1 << 20, 'x');
    EXPECT_EQ(zemo_write(link.handle(), data.data(), data.size(), ZEMO_END, nullptr), ZEMO_TIMEOUT);
    EXPECT_EQ(lastReason.find("the line took "), 0U) << lastReason;
    terminal.send("\x11");
}

// A clear discards what arrived and was not read.
TEST(SerialLine, ClearDiscardsPendingInput) {
    OwnTerminal terminal;
    Link link(terminal.name());
    ASSERT_NE(link.handle(), nullptr);
    terminal.send("stale\n");
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(zemo_clear(link.handle()), ZEMO_OK);
    terminal.send("fresh\n");
    zemo_status status = ZEMO_FAILURE;
    EXPECT_EQ(link.read(100, status), "fresh\n");
    EXPECT_EQ(status, ZEMO_OK);
}

} // namespace
} // namespace zemotest
