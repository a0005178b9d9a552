// The control calls of libzemo (status byte, trigger, locks, remote/local, clear) end to end
// through zemoctl and zemoquery: against a VXI-11 core channel of the test's own (scripted_core.h)
// that checks each call on the wire and answers the errors a device answers, and against zemosim
// over HiSLIP, the socket and the pseudo-terminal.
#include "rpc_wire.h"
#include "scripted_core.h"
#include "sim_server.h"
#include "temp_tree.h"
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace zemotest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t readStb = 13, trigger = 14, clear = 15, remote = 16, local = 17, lock = 18,
                        unlock = 19, deviceRead = 12;

// Each operation of zemoctl is one call of its procedure, whose arguments carry the link, no
// flags (no waitlock) and no lock timeout, and the I/O timeout; device_lock carries waitlock and
// its time, device_unlock the link alone.
TEST(Vxi11Control, EachOperationIsItsProcedure) {
    struct Case {
        std::string operation;
        std::uint32_t procedure;
        std::vector<std::uint32_t> arguments; // the I/O timeout, last when there is one, apart
        bool ioTimeout;
        std::string out;
    };
    const std::vector<Case> cases{
        {"stb", readStb, {1, 0, 0}, true, "81\n"}, {"trigger", trigger, {1, 0, 0}, true, ""},
        {"clear", clear, {1, 0, 0}, true, ""},     {"remote", remote, {1, 0, 0}, true, ""},
        {"local", local, {1, 0, 0}, true, ""},     {"lock=250", lock, {1, 1, 250}, false, ""},
        {"unlock", unlock, {1}, false, ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.operation);
        const ScriptedCore device(test.procedure, [](const std::string& body, int) {
            const std::uint32_t xid = wordAt(body, 0);
            return wordAt(body, procedureWord) == readStb ? resultReply(xid, {0, 81})
                                                          : resultReply(xid, {0});
        });
        expectOutcome(runTool(ZEMOCTL, {"-t", "700", device.name(), test.operation}), 0, test.out,
                      "");
        const auto calls = device.calls(test.procedure);
        ASSERT_EQ(calls.size(), 1U);
        std::vector<std::uint32_t> arguments = calls[0];
        if (test.ioTimeout) {
            ASSERT_EQ(arguments.size(), 4U);
            EXPECT_LE(arguments.back(), 700U);
            EXPECT_GE(arguments.back(), 600U);
            arguments.pop_back();
        }
        EXPECT_EQ(arguments, test.arguments);
    }
}

// The errors a device answers: 11 (locked by another link) is waited out by calling again,
// without waitlock, up to the I/O timeout, then a timeout that names the lock; 12 and 8 are
// failures with their meaning; a device_lock that is never answered times out after its time.
TEST(Vxi11Control, DeviceErrorsAndSilence) {
    struct Case {
        const char* what;
        std::string operation;
        std::uint32_t procedure;
        Script script;
        int status;
        std::string reason; // after "zemo: CALL NAME: "
        const char* call;
        std::size_t fewestCalls;
        milliseconds atLeast; // the time the tool must have taken
    };
    const auto lockedTwice = [](const std::string& body, int number) {
        return resultReply(wordAt(body, 0), {number < 2 ? 11U : 0U});
    };
    const std::vector<Case> cases{
        {"locked for the whole timeout", "trigger", trigger, failWith(11), 3,
         "device_trigger: the instrument is locked by another client (VXI-11 error 11) for 300 ms",
         "zemo_trigger", 2, milliseconds(300)},
        {"locked twice, then free", "trigger", trigger, lockedTwice, 0, "", "zemo_trigger", 3,
         milliseconds(0)},
        {"a lock not granted in time", "lock=200", lock, failWith(11), 3,
         "device_lock: the instrument is locked by another client (VXI-11 error 11) for 200 ms",
         "zemo_lock", 1, milliseconds(0)},
        {"no lock held", "unlock", unlock, failWith(12), 2,
         "device_unlock failed: no lock held by this link (VXI-11 error 12)", "zemo_unlock", 1,
         milliseconds(0)},
        {"remote not supported", "remote", remote, failWith(8), 2,
         "device_remote failed: operation not supported (VXI-11 error 8)", "zemo_remote", 1,
         milliseconds(0)},
        {"device_lock never answered", "lock=300", lock,
         [](const std::string&, int) { return Reply(); }, 3,
         "device_lock: no reply from the core channel within the timeout", "zemo_lock", 1,
         milliseconds(500)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const ScriptedCore device(test.procedure, test.script);
        const auto start = Clock::now();
        const auto outcome = runTool(ZEMOCTL, {"-t", "300", device.name(), test.operation});
        const auto took = Clock::now() - start;
        expectOutcome(outcome, test.status, "",
                      test.reason.empty() ? ""
                                          : "zemo: " + std::string(test.call) + " " +
                                                device.name() + ": " + test.reason + "\n");
        const auto calls = device.calls(test.procedure);
        EXPECT_GE(calls.size(), test.fewestCalls);
        for (const auto& arguments : calls) { // never waitlock but on device_lock
            if (test.procedure != lock) {
                EXPECT_EQ(arguments.size() > 1 ? arguments[1] : 0U, 0U);
            }
        }
        EXPECT_LT(took, milliseconds(2000));
        EXPECT_GE(took, test.atLeast);
    }
}

// zemoquery ends an answer at END without a newline at once, and waits out a read that another
// link's lock holds up; the device here answers the read after "42" with error 15 (I/O
// timeout), which a reader that missed the END would meet.
TEST(Vxi11Control, AnswerEndsAtEndAndReadsWaitOutALock) {
    const ScriptedCore device(deviceRead, [](const std::string& body, int number) {
        const std::uint32_t xid = wordAt(body, 0);
        if (number == 0) // another link holds the lock
            return resultReply(xid, {11, 0, 0});
        if (number == 1) // "42" with END and no newline
            return resultReply(xid, {0, 4, 2, 0x34320000});
        return resultReply(xid, {15, 0, 0});
    });
    expectOutcome(runTool(ZEMOQUERY, {"-t", "1000", device.name(), "X?"}), 0, "42", "");
    EXPECT_EQ(device.calls(deviceRead).size(), 2U);
}

// zemosim's instrument, with a slow query, settings and a trigger action, over the protocols the
// cases name.
struct Step {
    const char* tool;
    std::vector<std::string> arguments; // options (-t, -c with their values) go before the name
    int status;
    std::string out;
    std::string reason = {}; // the handler's line after "zemo: CALL NAME: ", with its call
    std::string call = {};
    std::string input = {}; // standard input
};

struct Scenario {
    const char* what;
    std::vector<std::string> protocols;
    std::vector<Step> steps;
};

const char* const instrument = "name dmm\n"
                               "delay SLOW? 1000 late\n"
                               "delay PAUSE? 50 p\n"
                               "property VOLT 0\n"
                               "property FIRED 0\n"
                               "trigger FIRED 1\n";

// Runs STEP against NAME: options first, then the name, then the rest.
kittest::Result runStep(const Step& step, const std::string& name) {
    std::vector<std::string> arguments;
    auto rest = step.arguments.begin();
    for (; rest != step.arguments.end() && rest->starts_with("-"); ++rest) {
        arguments.push_back(*rest);
        if (*rest == "-t" || *rest == "-c")
            arguments.push_back(*++rest);
    }
    arguments.push_back(name);
    arguments.insert(arguments.end(), rest, step.arguments.end());
    return runTool(step.tool, arguments, step.input);
}

void expectStep(const Step& step, const std::string& name) {
    SCOPED_TRACE(step.arguments.empty() ? "" : step.arguments.back());
    expectOutcome(
        runStep(step, name), step.status, step.out,
        step.reason.empty() ? "" : "zemo: " + step.call + " " + name + ": " + step.reason + "\n");
}

// Every protocol but VXI-11 and HiSLIP takes a message without answering, and each tool opens a
// connection of its own, which zemosim serves beside the others: a step that only writes ends
// with a query (or a status read), so that the next tool finds its effect.
const std::vector<Scenario> scenarios{
    {"the status byte comes from the status model: ESB and MSS",
     {"vxi11", "hislip", "socket", "serial"},
     {{ZEMOQUERY, {"*RST;*CLS;*ESE 32;*SRE 32;BOGUS;*SRE?"}, 0, "32\n"},
      {ZEMOCTL, {"stb"}, 0, "96\n"},
      {ZEMOQUERY, {"*CLS;*SRE 0;*SRE?"}, 0, "0\n"},
      {ZEMOCTL, {"stb"}, 0, "0\n"}}},
    {"a wait returns the status byte that has RQS already, and times out without it",
     {"vxi11", "hislip"},
     {{ZEMOQUERY, {"*RST;*CLS;*ESE 32;*SRE 32;BOGUS;*SRE?"}, 0, "32\n"},
      {ZEMOCTL, {"wait-srq=100"}, 0, "96\n"},
      {ZEMOQUERY, {"*CLS;*SRE 0;*SRE?"}, 0, "0\n"},
      {ZEMOCTL, {"wait-srq=100"}, 3, "", "no service request within 100 ms", "zemo_wait_srq"}}},
    {"a delayed operation followed by *OPC ends a wait",
     {"vxi11", "hislip"},
     {{ZEMOSEND, {}, 0, "", "", "", "*CLS;*ESE 1;*SRE 32;SLOW?;*OPC\n"},
      {ZEMOCTL, {"wait-srq=5000"}, 0, "96\n"},
      {ZEMORECV, {"-c", "5"}, 0, "late\n"},
      {ZEMOQUERY, {"*ESR?;*ESE 0;*SRE 0"}, 0, "1\n"}}},
    {"triggers are counted",
     {"vxi11", "hislip", "socket", "serial"},
     {{ZEMOQUERY, {"*RST;TRIG:COUN?"}, 0, "0\n"},
      {ZEMOCTL, {"trigger", "trigger", "stb"}, 0, "0\n"},
      {ZEMOQUERY, {"TRIG:COUN?"}, 0, "2\n"}}},
    {"a trigger runs the trigger action",
     {"vxi11", "hislip", "socket", "serial"},
     {{ZEMOQUERY, {"*RST;FIRED?"}, 0, "0\n"},
      {ZEMOCTL, {"trigger", "stb"}, 0, "0\n"},
      {ZEMOQUERY, {"FIRED?;TRIG:COUN?"}, 0, "1;1\n"}}},
    {"remote and local set the state SYSTem:REMote? reads",
     {"vxi11", "hislip"},
     {{ZEMOCTL, {"remote"}, 0, ""},
      {ZEMOQUERY, {"SYST:REM?"}, 0, "1\n"},
      {ZEMOCTL, {"remote", "local", "clear"}, 0, ""},
      {ZEMOQUERY, {"SYSTem:REMote?"}, 0, "0\n"}}},
    {"unlocking without a lock fails",
     {"hislip"},
     {{ZEMOCTL,
       {"lock", "unlock", "unlock"},
       2,
       "",
       "AsyncLock release: this client holds no lock (AsyncLockResponse 3)",
       "zemo_unlock"}}},
    {"unlocking without a lock fails",
     {"vxi11"},
     {{ZEMOCTL,
       {"lock", "unlock", "unlock"},
       2,
       "",
       "device_unlock failed: no lock held by this link (VXI-11 error 12)",
       "zemo_unlock"}}},
    {"a socket has no locks, no remote/local and no service requests",
     {"socket"},
     {{ZEMOCTL, {"lock"}, 2, "", "locks need VXI-11 or HiSLIP", "zemo_lock"},
      {ZEMOCTL, {"unlock"}, 2, "", "locks need VXI-11 or HiSLIP", "zemo_unlock"},
      {ZEMOCTL, {"remote"}, 2, "", "remote/local needs VXI-11, HiSLIP or USBTMC", "zemo_remote"},
      {ZEMOCTL, {"local"}, 2, "", "remote/local needs VXI-11, HiSLIP or USBTMC", "zemo_local"},
      {ZEMOCTL,
       {"wait-srq"},
       2,
       "",
       "service requests need VXI-11, HiSLIP or USBTMC",
       "zemo_wait_srq"}}},
    {"a serial line is locked already, and has no remote/local and no service requests",
     {"serial"},
     {{ZEMOCTL, {"lock", "unlock"}, 0, ""},
      {ZEMOCTL, {"remote"}, 2, "", "remote/local needs VXI-11, HiSLIP or USBTMC", "zemo_remote"},
      {ZEMOCTL,
       {"wait-srq=100"},
       2,
       "",
       "service requests need VXI-11, HiSLIP or USBTMC",
       "zemo_wait_srq"}}},
};

TEST(SimControl, OperationsOverEachProtocol) {
    const kittest::TempTree files;
    const std::string file = files.makeFile("dmm.inst", instrument).string();
    SimServer server({"-p", file}, 4);
    for (const Scenario& scenario : scenarios) {
        for (const std::string& protocol : scenario.protocols) {
            SCOPED_TRACE(protocol + ": " + scenario.what);
            for (const Step& step : scenario.steps)
                expectStep(step, server.name("dmm", protocol));
        }
    }
}

// A lock held by one client (for two seconds) keeps another's lock, and over VXI-11 its other
// calls too, out until their time is up, whichever of VXI-11 and HiSLIP each speaks; once the
// holder closes, the lock is free.
TEST(SimControl, LockHeldAgainstASecondClient) {
    struct Case {
        const char* holder;
        const char* other;
        std::vector<Step> whileHeld;
    };
    const std::string vxi11Locked = "the instrument is locked by another client (VXI-11 error 11)";
    const Step hislipLockRefused{
        ZEMOCTL,
        {"-t", "300", "lock"},
        3,
        "",
        "AsyncLock: the instrument is locked by another client (not granted within 300 ms)",
        "zemo_lock"};
    const Step vxi11LockRefused{
        ZEMOCTL,    {"-t", "300", "lock"}, 3, "", "device_lock: " + vxi11Locked + " for 300 ms",
        "zemo_lock"};
    const std::vector<Case> cases{
        {"hislip", "hislip", {hislipLockRefused}},
        {"vxi11",
         "vxi11",
         {vxi11LockRefused,
          {ZEMOCTL,
           {"-t", "200", "trigger"},
           3,
           "",
           "device_trigger: " + vxi11Locked + " for 200 ms",
           "zemo_trigger"},
          {ZEMOCTL,
           {"-t", "200", "remote"},
           3,
           "",
           "device_remote: " + vxi11Locked + " for 200 ms",
           "zemo_remote"}}},
        {"vxi11", "hislip", {hislipLockRefused}},
        {"hislip", "vxi11", {vxi11LockRefused}},
    };
    const kittest::TempTree files;
    const std::string file = files.makeFile("dmm.inst", instrument).string();
    SimServer server({"-p", file}, 4);
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(test.holder) + " against " + test.other);
        const std::string holderName = server.name("dmm", test.holder);
        const std::string name = server.name("dmm", test.other);
        auto holder = std::async(std::launch::async, [&] {
            return runTool(ZEMOQUERY, {"-L", holderName, "SLOW?", "SLOW?"});
        });
        std::this_thread::sleep_for(milliseconds(300));
        for (const Step& step : test.whileHeld)
            expectStep(step, name);
        expectOutcome(holder.get(), 0, "late\nlate\n", "");
        expectStep({ZEMOCTL, {"lock=1000", "stb"}, 0, "0\n"}, name);
    }
}

// Six zemoquery -L runs at once on one instrument each set the setting, wait, and read it back:
// each reads its own value, since none runs while another holds the lock.
class LockedQueries : public testing::TestWithParam<const char*> {};

TEST_P(LockedQueries, DoNotInterleave) {
    const kittest::TempTree files;
    const std::string file = files.makeFile("dmm.inst", instrument).string();
    SimServer server({"-p", file}, 4);
    const std::string name = server.name("dmm", GetParam());
    std::vector<std::future<kittest::Result>> runs;
    for (int run = 1; run <= 6; ++run) {
        runs.push_back(std::async(std::launch::async, [&name, run] {
            return runTool(ZEMOQUERY, {"-L", "-t", "20000", name, "VOLT " + std::to_string(run),
                                       "PAUSE?", "VOLT?"});
        }));
    }
    for (int run = 1; run <= 6; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        expectOutcome(runs[static_cast<std::size_t>(run - 1)].get(), 0,
                      "p\n" + std::to_string(run) + "\n", "");
    }
}

INSTANTIATE_TEST_SUITE_P(SimControl, LockedQueries, testing::Values("hislip", "vxi11"));

} // namespace
} // namespace zemotest
