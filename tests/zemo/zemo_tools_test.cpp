// zemosend, zemorecv and zemoreset run as built, against the real libzemo and its simulated
// instruments; the library's call trace shows exactly which calls they made.
#include "traced_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using kittest::Invocation;
using zemotest::TracedResult;

// The name the tools are invoked under: usage texts must show it unaltered.
const std::string asInvoked = "./tools/as-invoked";

constexpr std::size_t mebibyte = 1048576;

const std::string handlerLine = "zemo_set_error_handler(ZEMO_ERROR_EXIT) = ZEMO_OK\n";
const std::string closeLine = "zemo_close(h1) = ZEMO_OK\n";

std::string openLine(const std::string& name) {
    return "zemo_open(\"" + name + "\") = ZEMO_OK, h1\n";
}

// The trace line of a write of SIZE bytes that the trace shows as SHOWN, quotes included.
std::string writeLine(const std::string& shown, std::size_t size) {
    return "zemo_write(h1, " + shown + ", " + std::to_string(size) + ", 1, NULL) = ZEMO_OK\n";
}

// The trace line of a read of REQUEST bytes that received SIZE bytes, shown as SHOWN.
std::string readLine(std::size_t request, std::size_t size, const std::string& shown) {
    return "zemo_read(h1, " + std::to_string(request) + ", 0, &received) = ZEMO_OK, received " +
           std::to_string(size) + " " + shown + "\n";
}

// How the trace shows COUNT times the letter LETTER and a newline: cut after 64 bytes.
std::string shownLine(char letter, std::size_t count) {
    return count < 64 ? "\"" + std::string(count, letter) + "\\n\""
                      : "\"" + std::string(64, letter) + "\"...";
}

// How the trace shows 64 bytes or more of sim/source's stream from its start.
const std::string shownSource = "\"0123456789abcde\\n0123456789abcde\\n0123456789abcde\\n"
                                "0123456789abcde\\n\"...";

// COUNT bytes of sim/source's endless stream, starting at byte OFFSET.
std::string sourceBytes(std::size_t offset, std::size_t count) {
    static const std::string pattern = "0123456789abcde\n";
    std::string bytes;
    for (std::size_t i = offset; i < offset + count; ++i)
        bytes += pattern[i % pattern.size()];
    return bytes;
}

// PROGRAM's file name and ARGUMENTS, for the names of parameterised cases.
std::string describe(const std::string& program, const std::vector<std::string>& arguments) {
    std::string text = std::filesystem::path(program).filename().string();
    for (const std::string& argument : arguments)
        text += " " + argument;
    return text;
}

// The standard output of the shell COMMAND.
std::string commandOutput(const std::string& command) {
    return kittest::run({.program = "/bin/sh", .arguments = {"-c", command}}).out;
}

// Runs PROGRAM, traced, under the name asInvoked with ARGUMENTS and INPUT.
TracedResult runTool(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& input = {}) {
    return zemotest::runTraced(
        {.program = program, .arguments = arguments, .argv0 = asInvoked, .input = input});
}

// The test name of a case: the words of its printed form joined by underscores, a minus
// sign before a digit spelt "minus", so that the name is an identifier that reads as words.
template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& testInfo) {
    const std::string text = testing::PrintToString(testInfo.param);
    std::string name;
    bool separate = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool minus = c == '-' && i + 1 < text.size() &&
                           std::isdigit(static_cast<unsigned char>(text[i + 1]));
        if (!std::isalnum(c) && !minus) {
            separate = !name.empty();
            continue;
        }
        if (separate)
            name += '_';
        separate = false;
        name += minus ? std::string("minus") : std::string(1, static_cast<char>(c));
    }
    return name.empty() ? "no_arguments" : name;
}

const std::string sendUsage = "Usage: " + asInvoked +
                              " [-t <timeout>] <interface>\n\n"
                              "       <timeout>    I/O timeout in milliseconds.\n"
                              "       <interface>  Name of ZEMO interface, e.g. "
                              "'vxi11/192.168.0.100/gpib0,9'.\n\n";
const std::string recvUsage = "Usage: " + asInvoked +
                              " [-c count] [-t <timeout>] <interface>\n\n"
                              "       <count>      Number of characters to read.\n"
                              "       <timeout>    I/O timeout in milliseconds.\n"
                              "       <interface>  Name of ZEMO interface, e.g. "
                              "'vxi11/192.168.0.100/gpib0,9'.\n\n";
const std::string resetUsage = "Usage: " + asInvoked +
                               " <interface>\n\n"
                               "       <interface>  Name of ZEMO interface, e.g. "
                               "'vxi11/192.168.0.100/gpib0,9'.\n\n";

const std::string ctlUsage =
    "Usage: " + asInvoked +
    " [-t <timeout>] <interface> <operation>...\n\n"
    "       <timeout>    I/O timeout in milliseconds.\n"
    "       <interface>  Name of ZEMO interface, e.g. 'vxi11/192.168.0.100/gpib0,9'.\n"
    "       <operation>  One of, run in the order given:\n"
    "                    stb       print the status byte in decimal\n"
    "                    trigger   trigger the instrument\n"
    "                    lock      take an exclusive lock for the operations that follow,\n"
    "                              waiting up to the timeout (lock=MS: up to MS milliseconds)\n"
    "                    unlock    release the lock\n"
    "                    remote    put the instrument in remote\n"
    "                    local     give the front panel back\n"
    "                    clear     send a device clear\n"
    "                    wait-srq  wait up to the timeout (wait-srq=MS: up to MS milliseconds)\n"
    "                              for a service request and print the status byte\n"
    "                              that came with it in decimal\n\n";

struct UsageCase {
    const char* program;
    std::vector<std::string> arguments;
    std::string err;
};

void PrintTo(const UsageCase& usageCase, std::ostream* os) {
    *os << describe(usageCase.program, usageCase.arguments);
}

class Usage : public testing::TestWithParam<UsageCase> {};

// A usage error prints the text (after getopt's own diagnostic, if any), ends with status 1
// and calls nothing in the library: the trace file is never created.
TEST_P(Usage, PrintsTextAndCallsNoLibrary) {
    const TracedResult outcome = runTool(GetParam().program, GetParam().arguments);
    EXPECT_EQ(outcome.err, GetParam().err);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_FALSE(outcome.traceExists);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, Usage,
    testing::Values(
        UsageCase{ZEMOSEND, {}, sendUsage}, UsageCase{ZEMOSEND, {"-t", "5"}, sendUsage},
        UsageCase{
            ZEMOSEND, {"-x", "sim/sink"}, asInvoked + ": invalid option -- 'x'\n" + sendUsage},
        UsageCase{
            ZEMOSEND, {"-c", "5", "sim/sink"}, asInvoked + ": invalid option -- 'c'\n" + sendUsage},
        UsageCase{
            ZEMOSEND, {"-t"}, asInvoked + ": option requires an argument -- 't'\n" + sendUsage},
        UsageCase{ZEMORECV, {}, recvUsage}, UsageCase{ZEMORECV, {"-c", "5", "-t", "9"}, recvUsage},
        UsageCase{
            ZEMORECV, {"-q", "sim/source"}, asInvoked + ": invalid option -- 'q'\n" + recvUsage},
        UsageCase{ZEMORECV,
                  {"sim/source", "-c"},
                  asInvoked + ": option requires an argument -- 'c'\n" + recvUsage},
        UsageCase{ZEMORESET, {}, resetUsage},
        UsageCase{ZEMORESET, {"sim/sink", "sim/sink"}, resetUsage},
        UsageCase{ZEMOCTL, {}, ctlUsage}, UsageCase{ZEMOCTL, {"sim/echo"}, ctlUsage},
        UsageCase{ZEMOCTL,
                  {"sim/echo", "stb", "bogus"},
                  asInvoked + ": unknown operation 'bogus'\n" + ctlUsage},
        UsageCase{ZEMOCTL,
                  {"sim/echo", "lock=-5"},
                  asInvoked + ": unknown operation 'lock=-5'\n" + ctlUsage},
        UsageCase{ZEMOCTL,
                  {"sim/echo", "lock=9x"},
                  asInvoked + ": unknown operation 'lock=9x'\n" + ctlUsage},
        UsageCase{ZEMOCTL,
                  {"sim/echo", "wait-srq="},
                  asInvoked + ": unknown operation 'wait-srq='\n" + ctlUsage},
        UsageCase{ZEMOCTL,
                  {"sim/echo", "wait-srq=-1"},
                  asInvoked + ": unknown operation 'wait-srq=-1'\n" + ctlUsage},
        UsageCase{ZEMOCTL,
                  {"sim/echo", "wait-srq=3000000000"},
                  asInvoked + ": unknown operation 'wait-srq=3000000000'\n" + ctlUsage},
        UsageCase{ZEMOCTL,
                  {"sim/echo", "wait-srq5"},
                  asInvoked + ": unknown operation 'wait-srq5'\n" + ctlUsage},
        UsageCase{ZEMOCTL,
                  {"-x", "sim/echo", "stb"},
                  asInvoked + ": invalid option -- 'x'\n" + ctlUsage}),
    caseName<UsageCase>);

struct TimeoutCase {
    std::vector<std::string> options;
    std::string timeoutLine; // empty when no zemo_set_timeout is expected
};

void PrintTo(const TimeoutCase& timeoutCase, std::ostream* os) {
    *os << describe("", timeoutCase.options);
}

class Timeout : public testing::TestWithParam<TimeoutCase> {};

// Only a timeout above 0 is set, right after the open; the last -t wins; values beyond the
// 32-bit range are clamped to its largest value.
TEST_P(Timeout, IsSetAfterOpenOnlyWhenPositive) {
    for (const char* program : {ZEMOSEND, ZEMORECV}) {
        SCOPED_TRACE(program);
        std::vector<std::string> arguments = GetParam().options;
        if (program == std::string(ZEMORECV))
            arguments.insert(arguments.end(), {"-c", "0"});
        arguments.push_back("sim/sink");
        const TracedResult outcome = runTool(program, arguments);
        EXPECT_EQ(outcome.trace,
                  handlerLine + openLine("sim/sink") + GetParam().timeoutLine + closeLine);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

const std::string largestTimeout = "zemo_set_timeout(h1, 2147483647) = ZEMO_OK\n";

INSTANTIATE_TEST_SUITE_P(
    Tools, Timeout,
    testing::Values(TimeoutCase{{"-t", "250"}, "zemo_set_timeout(h1, 250) = ZEMO_OK\n"},
                    TimeoutCase{{"-t", " +12ms"}, "zemo_set_timeout(h1, 12) = ZEMO_OK\n"},
                    TimeoutCase{{}, ""}, TimeoutCase{{"-t", "0"}, ""},
                    TimeoutCase{{"-t", "-5"}, ""}, TimeoutCase{{"-t", "abc"}, ""},
                    TimeoutCase{{"-t", "500", "-t", "0"}, ""},
                    TimeoutCase{{"-t", "0", "-t", "7"}, "zemo_set_timeout(h1, 7) = ZEMO_OK\n"},
                    TimeoutCase{{"-t", "2147483647"}, largestTimeout},
                    TimeoutCase{{"-t", "2147483648"}, largestTimeout},
                    TimeoutCase{{"-t", "99999999999999999999999"}, largestTimeout}),
    caseName<TimeoutCase>);

struct SendCase {
    const char* what;
    std::string input;
    std::vector<std::pair<std::string, std::size_t>> writes; // as the trace shows each, size
};

void PrintTo(const SendCase& sendCase, std::ostream* os) {
    *os << sendCase.what;
}

class Send : public testing::TestWithParam<SendCase> {};

// Every input line goes out as one write with exactly one newline at its end; all other bytes,
// CR and NUL included, are sent unchanged.
TEST_P(Send, WritesOneLinePerCall) {
    const TracedResult outcome =
        runTool(ZEMOSEND, {"sim/sink", "ignored", "arguments"}, GetParam().input);
    std::string expected = handlerLine + openLine("sim/sink");
    for (const auto& [shown, size] : GetParam().writes)
        expected += writeLine(shown, size);
    EXPECT_EQ(outcome.trace, expected + closeLine);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, Send,
    testing::Values(SendCase{"empty input", "", {}},
                    SendCase{"one line", "*IDN?\n", {{R"("*IDN?\n")", 6}}},
                    SendCase{"empty line and no final newline",
                             "A\n\nB",
                             {{R"("A\n")", 2}, {R"("\n")", 1}, {R"("B\n")", 2}}},
                    SendCase{"carriage return kept", "VOLT 1\r\n", {{R"("VOLT 1\r\n")", 8}}},
                    SendCase{"NUL bytes kept",
                             std::string("a\0b\n\0", 5),
                             {{R"("a\x00b\n")", 4}, {R"("\x00\n")", 2}}},
                    SendCase{"long line in one write",
                             std::string(200000, 'x') + "\n",
                             {{shownLine('x', 200000), 200001}}}),
    caseName<SendCase>);

// zemosend reads its input in blocks of this size: lines that meet a block's end are gathered
// from two or more reads.
constexpr std::size_t inputBlock = 65536;

// A line that spans the first block's end at its 35th byte, where a CR ends the first block and
// a NUL starts the second: the trace shows the line's first 64 bytes, the edge included.
const std::string acrossEdge = std::string(34, 'b') + "\r" + std::string(1, '\0') + "\rcc\n";

INSTANTIATE_TEST_SUITE_P(
    BlockReader, Send,
    testing::Values(SendCase{"line across the block edge with CR and NUL at the edge",
                             std::string(inputBlock - 36, 'a') + "\n" + acrossEdge + "d\n",
                             {{shownLine('a', inputBlock - 36), inputBlock - 35},
                              {"\"" + std::string(34, 'b') + R"(\r\x00\rcc\n")", 40},
                              {R"("d\n")", 2}}},
                    SendCase{"newline last in the block",
                             std::string(inputBlock - 1, 'e') + "\nf\n",
                             {{shownLine('e', inputBlock - 1), inputBlock}, {R"("f\n")", 2}}},
                    SendCase{"newline first in the next block",
                             std::string(inputBlock, 'g') + "\nh\n",
                             {{shownLine('g', inputBlock), inputBlock + 1}, {R"("h\n")", 2}}},
                    SendCase{"empty lines on both sides of the block edge",
                             std::string(inputBlock - 2, 'q') + "\n\n\nr",
                             {{shownLine('q', inputBlock - 2), inputBlock - 1},
                              {R"("\n")", 1},
                              {R"("\n")", 1},
                              {R"("r\n")", 2}}},
                    SendCase{"line of three blocks between short lines",
                             "k\n" + std::string(3 * inputBlock + 5, 'l') + "\nm\n",
                             {{R"("k\n")", 2},
                              {shownLine('l', 3 * inputBlock + 5), 3 * inputBlock + 6},
                              {R"("m\n")", 2}}},
                    SendCase{"last line without newline after a long line",
                             std::string(100000, 'n') + "\n" + std::string(70000, 'o'),
                             {{shownLine('n', 100000), 100001}, {shownLine('o', 70000), 70001}}},
                    SendCase{"only a long line without newline",
                             std::string(2 * inputBlock + 9, 'p'),
                             {{shownLine('p', 2 * inputBlock + 9), 2 * inputBlock + 10}}}),
    caseName<SendCase>);

// Each line goes out as soon as its newline has arrived, however the input is cut: each piece
// of input is written only once the trace shows every line that the pieces before it completed.
TEST(FedSend, SendsEachLineBeforeMoreInputArrives) {
    struct Step {
        std::string piece;
        std::string completes; // the trace line of the write the piece completes, if any
    };
    const std::vector<Step> steps = {
        {"first\nsec", writeLine(R"("first\n")", 6)},
        {"ond\r", ""},
        {"\nthi", writeLine(R"("second\r\n")", 8)},
        {"rd\n", writeLine(R"("third\n")", 6)},
        {"\n", writeLine(R"("\n")", 1)},
        {std::string("\0last", 5), ""},
    };
    zemotest::FedTracedRun run(
        {.program = ZEMOSEND, .arguments = {"sim/sink"}, .argv0 = asInvoked});
    std::string expected = handlerLine + openLine("sim/sink");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.completes);
        run.feed(step.piece);
        if (!step.completes.empty()) {
            expected += step.completes;
            ASSERT_EQ(run.traceOnceItHolds(expected.size()), expected);
        }
    }
    const TracedResult outcome = run.finish();
    EXPECT_EQ(outcome.trace, expected + writeLine(R"("\x00last\n")", 6) + closeLine);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

// Standard input that its writer's side left non-blocking is waited for, not taken for an
// error: whenever a read finds the pipe empty, the line still to come goes out once it arrives.
TEST(FedSend, WaitsForNonBlockingInput) {
    zemotest::FedTracedRun run({.program = ZEMOSEND, .arguments = {"sim/sink"}, .argv0 = asInvoked},
                               true);
    std::string expected = handlerLine + openLine("sim/sink");
    ASSERT_EQ(run.traceOnceItHolds(expected.size()), expected);
    for (const auto& [line, shown] : {std::pair{"a\n", R"("a\n")"}, std::pair{"b\n", R"("b\n")"}}) {
        run.feed(line);
        expected += writeLine(shown, 2);
        ASSERT_EQ(run.traceOnceItHolds(expected.size()), expected);
    }
    const TracedResult outcome = run.finish();
    EXPECT_EQ(outcome.trace, expected + closeLine);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

struct ReceiveCase {
    struct Read {
        std::size_t request;
        std::size_t delivery;
        std::string shown; // the delivered bytes as the trace shows them
    };
    std::vector<std::string> arguments;
    std::vector<Read> reads;
};

void PrintTo(const ReceiveCase& receiveCase, std::ostream* os) {
    *os << describe(ZEMORECV, receiveCase.arguments);
}

class Receive : public testing::TestWithParam<ReceiveCase> {};

// Counted reads request the smaller of the remainder and 1 MiB, take short and empty
// deliveries in their stride, and write exactly what arrived.
TEST_P(Receive, ReadsTheCountInChunks) {
    const std::string name = GetParam().arguments.back();
    const TracedResult outcome = runTool(ZEMORECV, GetParam().arguments);
    std::string expectedTrace = handlerLine + openLine(name);
    std::size_t total = 0;
    for (const auto& read : GetParam().reads) {
        expectedTrace += readLine(read.request, read.delivery, read.shown);
        total += read.delivery;
    }
    EXPECT_EQ(outcome.trace, expectedTrace + closeLine);
    EXPECT_EQ(outcome.out, sourceBytes(0, total));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, Receive,
    testing::Values(ReceiveCase{{"-c", "0", "sim/source"}, {}},
                    ReceiveCase{{"-c", "abc", "sim/source"}, {}},
                    ReceiveCase{{"-c", "10", "sim/source"}, {{10, 10, R"("0123456789")"}}},
                    ReceiveCase{{"-c", "5", "-c", "7", "sim/source"}, {{7, 7, R"("0123456")"}}},
                    ReceiveCase{{"-c", "10", "sim/source/chunks=4,0,6"},
                                {{10, 4, R"("0123")"}, {6, 0, R"("")"}, {6, 6, R"("456789")"}}},
                    ReceiveCase{{"-c", "2097157", "sim/source"},
                                {{mebibyte, mebibyte, shownSource},
                                 {mebibyte, mebibyte, shownSource},
                                 {5, 5, R"("01234")"}}},
                    // 1048575 bytes end one byte short of a period of the 16-byte pattern.
                    ReceiveCase{{"-c", "1048577", "sim/source/chunks=1048575"},
                                {{mebibyte, 1048575, shownSource}, {2, 2, R"("\n0")"}}}),
    caseName<ReceiveCase>);

// Without a count, or with a negative one, every request is 1 MiB and only a failing read
// ends the run: a timeout, status 3, after the bytes already received have been flushed.
TEST(EndlessReceive, EndsAtTimeout) {
    const std::string name = "sim/source/chunks=7/timeout=read@3";
    for (const std::vector<std::string>& count :
         {std::vector<std::string>{}, std::vector<std::string>{"-c", "-5"}}) {
        std::vector<std::string> arguments = count;
        arguments.push_back(name);
        const TracedResult outcome = runTool(ZEMORECV, arguments);
        EXPECT_EQ(outcome.trace,
                  handlerLine + openLine(name) + readLine(mebibyte, 7, R"("0123456")") +
                      readLine(mebibyte, 7, R"("789abcd")") +
                      "zemo_read(h1, 1048576, 0, &received) = ZEMO_TIMEOUT, received 0 \"\": "
                      "simulated timeout of read\n");
        EXPECT_EQ(outcome.out, sourceBytes(0, 14));
        EXPECT_EQ(outcome.err, "zemo: zemo_read " + name + ": simulated timeout of read\n");
        EXPECT_EQ(outcome.status, 3);
    }
}

struct FailureCase {
    const char* program;
    std::vector<std::string> arguments;
    std::string input;
    std::string out;
    std::string err;
    int status;
};

void PrintTo(const FailureCase& failureCase, std::ostream* os) {
    *os << describe(failureCase.program, failureCase.arguments);
}

class LibraryFailure : public testing::TestWithParam<FailureCase> {};

// ZEMO_ERROR_EXIT names the call, the interface and the reason in one line and ends the
// process: 3 for a timeout, 2 for anything else; output received before is not lost.
TEST_P(LibraryFailure, EndsInTheHandler) {
    const TracedResult outcome =
        runTool(GetParam().program, GetParam().arguments, GetParam().input);
    EXPECT_EQ(outcome.err, GetParam().err);
    EXPECT_EQ(outcome.out, GetParam().out);
    EXPECT_EQ(outcome.status, GetParam().status);
}

const std::string simForms = "expected sim/sink, sim/source or sim/echo, each optionally "
                             "followed by /chunks=N[,N...], /fail=CALL[@N] or /timeout=CALL[@N]";
const std::string transportForms =
    "expected sim/INSTRUMENT[/PARAMETER=VALUE]..., vxi11/HOST[:PORT][/DEVICE], "
    "socket/HOST[/PORT], usbtmc/DEVICE, serial/DEVICE[/SETTING]... or "
    "hislip/HOST[:PORT][/SUBADDRESS]";

INSTANTIATE_TEST_SUITE_P(
    Tools, LibraryFailure,
    testing::Values(
        FailureCase{ZEMORESET,
                    {"-h"},
                    "",
                    "",
                    "zemo: zemo_open -h: unknown transport '-h'; " + transportForms + "\n",
                    2},
        FailureCase{ZEMORESET,
                    {"gpib/0"},
                    "",
                    "",
                    "zemo: zemo_open gpib/0: unknown transport 'gpib'; " + transportForms + "\n",
                    2},
        FailureCase{ZEMORESET,
                    {"sim"},
                    "",
                    "",
                    "zemo: zemo_open sim: missing address after 'sim'; expected "
                    "sim/INSTRUMENT[/PARAMETER=VALUE]...\n",
                    2},
        FailureCase{ZEMORESET,
                    {"sim/scope"},
                    "",
                    "",
                    "zemo: zemo_open sim/scope: unknown simulated instrument 'scope'; " + simForms +
                        "\n",
                    2},
        FailureCase{ZEMORESET,
                    {"sim/sink/speed"},
                    "",
                    "",
                    "zemo: zemo_open sim/sink/speed: unknown parameter 'speed'; " + simForms + "\n",
                    2},
        FailureCase{ZEMORESET,
                    {"sim/sink/chunks=4,x"},
                    "",
                    "",
                    "zemo: zemo_open sim/sink/chunks=4,x: bad number 'x' in 'chunks=4,x'; expected "
                    "a decimal count\n",
                    2},
        FailureCase{
            ZEMORESET,
            {"sim/sink/fail=reset"},
            "",
            "",
            "zemo: zemo_open sim/sink/fail=reset: unknown call 'reset' in 'fail=reset'; "
            "expected open, timeout, write, read, clear, close, stb, trigger, lock, unlock, "
            "remote or local\n",
            2},
        FailureCase{ZEMORESET,
                    {"sim/sink/fail=open"},
                    "",
                    "",
                    "zemo: zemo_open sim/sink/fail=open: simulated failure of open\n",
                    2},
        FailureCase{ZEMORESET,
                    {"sim/sink/timeout=clear"},
                    "",
                    "",
                    "zemo: zemo_clear sim/sink/timeout=clear: simulated timeout of clear\n",
                    3},
        FailureCase{ZEMORESET,
                    {"sim/sink/fail=close"},
                    "",
                    "",
                    "zemo: zemo_close sim/sink/fail=close: simulated failure of close\n",
                    2},
        // A name from a script with CRLF line ends, and one with a newline: the message stays
        // one line and shows the bytes that a terminal would hide.
        FailureCase{
            ZEMORESET,
            {"sim/sink/fail=clear\r"},
            "",
            "",
            "zemo: zemo_open sim/sink/fail=clear\\r: unknown call 'clear\\r' in "
            "'fail=clear\\r'; expected open, timeout, write, read, clear, close, stb, trigger, "
            "lock, unlock, remote or local\n",
            2},
        FailureCase{
            ZEMORESET,
            {"sim/si\nnk\x7f"},
            "",
            "",
            "zemo: zemo_open sim/si\\nnk\\x7f: unknown simulated instrument 'si\\nnk\\x7f'; " +
                simForms + "\n",
            2},
        FailureCase{
            ZEMOSEND,
            {"-t", "9", "sim/sink/timeout=timeout"},
            "",
            "",
            "zemo: zemo_set_timeout sim/sink/timeout=timeout: simulated timeout of timeout\n",
            3},
        FailureCase{ZEMOSEND,
                    {"sim/sink/fail=write@2"},
                    "a\nb\nc\n",
                    "",
                    "zemo: zemo_write sim/sink/fail=write@2: simulated failure of write\n",
                    2},
        FailureCase{ZEMORECV,
                    {"-c", "5", "sim/sink"},
                    "",
                    "",
                    "zemo: zemo_read sim/sink: no response: sim/sink has nothing to send\n",
                    3},
        FailureCase{ZEMORECV,
                    {"-c", "4", "sim/source/chunks=0,0"},
                    "",
                    "",
                    "zemo: zemo_read sim/source/chunks=0,0: no response: every read is capped at "
                    "0 bytes\n",
                    3},
        FailureCase{ZEMORECV,
                    {"-c", "30", "sim/source/chunks=10/fail=read@3"},
                    "",
                    sourceBytes(0, 20),
                    "zemo: zemo_read sim/source/chunks=10/fail=read@3: simulated failure of read\n",
                    2}),
    caseName<FailureCase>);

// A write that fails on the second line: the first went out, nothing after the failure did.
TEST(FailingWrite, StopsTheSend) {
    const TracedResult outcome = runTool(ZEMOSEND, {"sim/sink/fail=write@2"}, "a\nb\nc\n");
    EXPECT_EQ(outcome.trace, handlerLine + openLine("sim/sink/fail=write@2") +
                                 writeLine(R"("a\n")", 2) +
                                 "zemo_write(h1, \"b\\n\", 2, 1, NULL) = ZEMO_FAILURE: "
                                 "simulated failure of write\n");
}

// Untraced, a write goes straight to the transport; a failing one still ends the process in the
// handler, with the same message and status as when traced.
TEST(UntracedSend, EndsLikeTraced) {
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"sim/sink", "", 0},
        {"sim/sink/fail=write@2",
         "zemo: zemo_write sim/sink/fail=write@2: simulated failure of write\n", 2},
        {"sim/sink/timeout=write@3",
         "zemo: zemo_write sim/sink/timeout=write@3: simulated timeout of write\n", 3},
    };
    for (const auto& [name, err, status] : cases) {
        SCOPED_TRACE(name);
        const kittest::Result outcome = kittest::run(
            {.program = ZEMOSEND, .arguments = {name}, .argv0 = asInvoked, .input = "a\nb\nc\n"});
        EXPECT_EQ(outcome.err, err);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.status, status);
    }
}

// zemoctl runs its operations in order on one handle, each one call traced like the others;
// the simulated instrument's status byte has MAV while it has bytes to send.
TEST(Control, RunsEachOperationInOrder) {
    const TracedResult outcome =
        runTool(ZEMOCTL, {"-t", "700", "sim/source", "stb", "trigger", "lock=7", "unlock", "remote",
                          "local", "clear", "lock", "stb"});
    EXPECT_EQ(outcome.trace, handlerLine + openLine("sim/source") +
                                 "zemo_set_timeout(h1, 700) = ZEMO_OK\n"
                                 "zemo_read_stb(h1, &stb) = ZEMO_OK, stb 16\n"
                                 "zemo_trigger(h1) = ZEMO_OK\n"
                                 "zemo_lock(h1, 7) = ZEMO_OK\n"
                                 "zemo_unlock(h1) = ZEMO_OK\n"
                                 "zemo_remote(h1) = ZEMO_OK\n"
                                 "zemo_local(h1) = ZEMO_OK\n"
                                 "zemo_clear(h1) = ZEMO_OK\n"
                                 "zemo_lock(h1, 700) = ZEMO_OK\n"
                                 "zemo_read_stb(h1, &stb) = ZEMO_OK, stb 16\n" +
                                 closeLine);
    EXPECT_EQ(outcome.out, "16\n16\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

// A failing operation ends zemoctl in the handler, with what came before on standard output and
// the operations after it not run: 2 for a failure, 3 for a timeout.
TEST(Control, FailingOperationEndsTheRun) {
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
        std::string err;
        int status;
    };
    const std::vector<Case> cases{
        {{"sim/echo/fail=stb@2", "stb", "stb", "trigger"},
         "0\n",
         "zemo: zemo_read_stb sim/echo/fail=stb@2: simulated failure of stb\n",
         2},
        {{"sim/echo/timeout=trigger", "trigger", "stb"},
         "",
         "zemo: zemo_trigger sim/echo/timeout=trigger: simulated timeout of trigger\n",
         3},
        {{"sim/echo", "unlock"},
         "",
         "zemo: zemo_unlock sim/echo: no lock is held on this instrument\n",
         2},
        {{"sim/echo/fail=local", "remote", "local"},
         "",
         "zemo: zemo_local sim/echo/fail=local: simulated failure of local\n",
         2},
        // No simulated instrument requests service: a wait lasts its time, from the operation
        // or from -t, and times out.
        {{"sim/source", "stb", "wait-srq=40", "stb"},
         "16\n",
         "zemo: zemo_wait_srq sim/source: no service request within 40 ms\n",
         3},
        {{"-t", "60", "sim/source", "wait-srq"},
         "",
         "zemo: zemo_wait_srq sim/source: no service request within 60 ms\n",
         3},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(describe(ZEMOCTL, test.arguments));
        const TracedResult outcome = runTool(ZEMOCTL, test.arguments);
        EXPECT_EQ(outcome.out, test.out);
        EXPECT_EQ(outcome.err, test.err);
        EXPECT_EQ(outcome.status, test.status);
    }
}

// --help and --version print to standard output, end with 0 and call nothing but
// zemo_version.
TEST(Control, HelpAndVersion) {
    const TracedResult help = runTool(ZEMOCTL, {"--help"});
    EXPECT_EQ(help.out, ctlUsage);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.status, 0);
    EXPECT_FALSE(help.traceExists);
    const TracedResult version = runTool(ZEMOCTL, {"--version"});
    EXPECT_EQ(version.out, "zemoctl 1.2.0\n");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.trace, "zemo_version() = \"1.2.0\"\n");
}

// zemoreset makes exactly these calls; a leading dash is an interface name, not an option.
TEST(Reset, ClearsAndCloses) {
    const TracedResult outcome = runTool(ZEMORESET, {"sim/echo"});
    EXPECT_EQ(outcome.trace,
              handlerLine + openLine("sim/echo") + "zemo_clear(h1) = ZEMO_OK\n" + closeLine);
    EXPECT_EQ(outcome.out + outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(runTool(ZEMORESET, {"-h"}).trace,
              handlerLine + "zemo_open(\"-h\") = ZEMO_FAILURE, NULL: unknown transport '-h'; " +
                  transportForms + "\n");
}

// A failure's reason stays on its trace line, control bytes escaped as in the quoted arguments.
TEST(Trace, EscapesControlBytesInTheReason) {
    const TracedResult outcome = runTool(ZEMORESET, {"sim/\tsink"});
    EXPECT_EQ(outcome.trace,
              handlerLine +
                  "zemo_open(\"sim/\\tsink\") = ZEMO_FAILURE, NULL: unknown simulated "
                  "instrument '\\tsink'; " +
                  simForms + "\n");
    EXPECT_EQ(outcome.status, 2);
}

// An error reading standard input is no end of input: it is reported, the interface is
// closed, and the status is 4.
TEST(StandardStreams, SendReportsStandardInputError) {
    const TracedResult outcome = zemotest::runTraced(
        {.program = ZEMOSEND, .arguments = {"sim/sink"}, .argv0 = asInvoked, .inputPath = "/"});
    EXPECT_EQ(outcome.err, asInvoked + ": reading standard input: Is a directory\n");
    EXPECT_EQ(outcome.trace, handlerLine + openLine("sim/sink") + closeLine);
    EXPECT_EQ(outcome.status, 4);
}

// Standard output that cannot take the data stops the run with status 4 after closing the
// interface, whether the loss shows in a direct 1 MiB write or in the flush of a short chunk.
// Each chunk leaves the stream's buffer before the next read, so received bytes are never left
// for the library's handler to lose at its exit: the run stops at that chunk rather than later
// with the status of the timeout that normally ends an endless run.
TEST(StandardStreams, ReceiveReportsStandardOutputError) {
    struct Case {
        std::vector<std::string> arguments;
        std::size_t delivery; // of the first read, which asks for 1 MiB
        std::string shown;
    };
    const std::vector<Case> cases = {
        {{"-c", std::to_string(mebibyte), "sim/source"}, mebibyte, shownSource},
        {{"sim/source/chunks=16/timeout=read@3"}, 16, R"("0123456789abcde\n")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(ZEMORECV, c.arguments));
        const TracedResult outcome = zemotest::runTraced({.program = ZEMORECV,
                                                          .arguments = c.arguments,
                                                          .argv0 = asInvoked,
                                                          .outputPath = "/dev/full"});
        EXPECT_EQ(outcome.err, asInvoked + ": writing standard output: No space left on device\n");
        EXPECT_EQ(outcome.trace, handlerLine + openLine(c.arguments.back()) +
                                     readLine(mebibyte, c.delivery, c.shown) + closeLine);
        EXPECT_EQ(outcome.status, 4);
    }
}

// A reader that goes away ends zemorecv by SIGPIPE, like any Unix filter.
TEST(StandardStreams, ReceiveEndsBySigpipe) {
    const TracedResult outcome = zemotest::runTraced({.program = ZEMORECV,
                                                      .arguments = {"sim/source"},
                                                      .argv0 = asInvoked,
                                                      .outputToClosedPipe = true});
    EXPECT_EQ(outcome.signal, SIGPIPE);
    EXPECT_EQ(outcome.err, "");
}

// A library claiming more bytes than requested is a library failure: a message, status 2,
// and none of the claimed bytes on standard output.
TEST(LibraryClaims, ReceiveRejectsOverreportingLibrary) {
    const TracedResult outcome =
        zemotest::runTraced({.program = ZEMORECV,
                             .arguments = {"-c", "10", "sim/source"},
                             .argv0 = asInvoked,
                             .environment = {std::string("LD_LIBRARY_PATH=") + OVERREPORTING_DIR}});
    EXPECT_EQ(outcome.err,
              asInvoked + ": sim/source: zemo_read reported 11 bytes for a request of 10\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.status, 2);
}

// ZEMO_TRACE=- sends the trace to standard error; without ZEMO_TRACE nothing is traced.
TEST(Trace, GoesToStandardErrorOrNowhere) {
    Invocation invocation{.program = ZEMORESET, .arguments = {"sim/sink"}, .argv0 = asInvoked};
    EXPECT_EQ(kittest::run(invocation).err, "");
    invocation.environment = {"ZEMO_TRACE=-"};
    EXPECT_EQ(kittest::run(invocation).err,
              handlerLine + openLine("sim/sink") + "zemo_clear(h1) = ZEMO_OK\n" + closeLine);
}

// A trace that cannot be opened or written is reported once, and the tool works on untraced
// with its status unchanged; a FIFO that nobody reads does not hold the tool up.
TEST(Trace, DestinationFailuresAreReportedOnce) {
    const kittest::TempTree dir;
    const auto fifo = dir.root() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent/trace",
         "zemo: ZEMO_TRACE: cannot open '/nonexistent/trace': No such file or directory\n"},
        {"/dev/full", "zemo: ZEMO_TRACE: cannot write to '/dev/full': No space left on device; "
                      "trace lines are lost\n"},
        {fifo.string(), "zemo: ZEMO_TRACE: cannot open '" + fifo.string() +
                            "': it is a FIFO that no process reads\n"},
    };
    for (const auto& [destination, err] : cases) {
        SCOPED_TRACE(destination);
        const Invocation invocation{.program = ZEMORESET,
                                    .arguments = {"sim/sink"},
                                    .environment = {"ZEMO_TRACE=" + destination}};
        const kittest::Result outcome = kittest::run(invocation);
        EXPECT_EQ(outcome.err, err);
        EXPECT_EQ(outcome.status, 0);
    }
}

// A trace whose reader leaves costs the trace, not the run: the tool goes on and ends as it
// would, with the lost trace reported once, instead of dying of SIGPIPE.
TEST(Trace, AReaderThatLeavesCostsOnlyTheTrace) {
    const kittest::TempTree dir;
    const auto fifo = dir.root() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // More trace than the FIFO holds, so that the tool is still writing when the reader leaves.
    std::string lines;
    for (int i = 0; i < 20000; ++i)
        lines += "x\n";
    kittest::Result outcome;
    std::thread tool([&] {
        outcome = kittest::run({.program = ZEMOSEND,
                                .arguments = {"sim/sink"},
                                .environment = {"ZEMO_TRACE=" + fifo.string()},
                                .input = lines});
    });
    pollfd ready{reader, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 10000), 1);
    char some[512];
    EXPECT_GT(::read(reader, some, sizeof some), 0);
    ::close(reader);
    tool.join();
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "zemo: ZEMO_TRACE: cannot write to '" + fifo.string() +
                               "': Broken pipe; trace lines are lost\n");
}

// Without libzemo the dynamic loader refuses to start a tool.
TEST(Link, ToolsDoNotStartWithoutTheLibrary) {
    const kittest::TempTree dir;
    for (const char* program : {ZEMOSEND, ZEMORECV, ZEMORESET, ZEMOCTL}) {
        SCOPED_TRACE(program);
        const auto alone = dir.root() / std::filesystem::path(program).filename();
        std::filesystem::copy_file(program, alone);
        const TracedResult outcome =
            zemotest::runTraced({.program = alone.string(), .arguments = {"sim/sink"}});
        EXPECT_EQ(outcome.err, alone.string() +
                                   ": error while loading shared libraries: libzemo.so.1: "
                                   "cannot open shared object file: No such file or directory\n");
        EXPECT_EQ(outcome.status, 127);
        EXPECT_FALSE(outcome.traceExists);
    }
}

// The tools need libzemo and look for it only relative to themselves: an empty run-path entry
// would make the loader search the current directory.
TEST(Link, ToolsLookForTheLibraryBesideThemselves) {
    for (const char* program : {ZEMOSEND, ZEMORECV, ZEMORESET, ZEMOCTL}) {
        SCOPED_TRACE(program);
        const std::string dynamic = commandOutput(std::string("readelf -d ") + program);
        EXPECT_NE(dynamic.find("Shared library: [libzemo.so.1]"), std::string::npos);
        EXPECT_NE(dynamic.find("Library runpath: [$ORIGIN/../lib]\n"), std::string::npos);
    }
}

// The file names of the shared objects that the dynamic loader maps to start PROGRAM.
std::set<std::string> loadedObjects(const std::string& program) {
    const kittest::Result listing =
        kittest::run({.program = program, .environment = {"LD_TRACE_LOADED_OBJECTS=1"}});
    EXPECT_EQ(listing.status, 0) << listing.err;
    std::istringstream lines(listing.out);
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string object;
        if (words >> object)
            names.insert(std::filesystem::path(object).filename().string());
    }
    return names;
}

// A tool starts by mapping libzemo and the C library alone: libzemo takes its XDR routines from
// libtirpc's static archive (the shared libtirpc maps GSSAPI, Kerberos and five more), and the
// library and the tools carry the parts of the C++ runtime they use.
TEST(Link, ToolsStartWithTheLibraryAndTheCLibraryAlone) {
    if (!STATIC_RUNTIMES)
        GTEST_SKIP() << "the sanitizer build loads the shared C++ runtime and libtirpc";
    const std::set<std::string> expected{"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6",
                                         "libzemo.so.1"};
    for (const char* program : {ZEMOSEND, ZEMORECV, ZEMORESET, ZEMOQUERY}) {
        SCOPED_TRACE(program);
        EXPECT_EQ(loadedObjects(program), expected);
    }
}

// The library exports its public calls and nothing else, each in the version node of the
// library's version that added it, which programs built against it then need.
TEST(Link, LibraryExportsOnlyThePublicCalls) {
    std::istringstream listing(commandOutput("nm -D --defined-only " LIBZEMO));
    std::map<std::string, std::string> exported;
    for (std::string address, type, symbol; listing >> address >> type >> symbol;) {
        if (type == "A") // the version node itself
            continue;
        const auto at = symbol.find('@');
        exported[symbol.substr(0, at)] = at == std::string::npos ? "" : symbol.substr(at);
    }
    const std::map<std::string, std::string> expected{
        {"ZEMO_ERROR_EXIT", "@@ZEMO_1"},     {"zemo_set_error_handler", "@@ZEMO_1"},
        {"zemo_open", "@@ZEMO_1"},           {"zemo_set_timeout", "@@ZEMO_1"},
        {"zemo_write", "@@ZEMO_1"},          {"zemo_read", "@@ZEMO_1"},
        {"zemo_clear", "@@ZEMO_1"},          {"zemo_close", "@@ZEMO_1"},
        {"zemo_read_message", "@@ZEMO_1.1"}, {"zemo_read_stb", "@@ZEMO_1.1"},
        {"zemo_trigger", "@@ZEMO_1.1"},      {"zemo_lock", "@@ZEMO_1.1"},
        {"zemo_unlock", "@@ZEMO_1.1"},       {"zemo_remote", "@@ZEMO_1.1"},
        {"zemo_local", "@@ZEMO_1.1"},        {"zemo_last_error", "@@ZEMO_1.1"},
        {"zemo_version", "@@ZEMO_1.1"},      {"zemo_set_termchar", "@@ZEMO_1.1"},
        {"zemo_wait_srq", "@@ZEMO_1.2"}};
    EXPECT_EQ(exported, expected);
}

} // namespace
