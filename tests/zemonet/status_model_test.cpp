// The IEEE 488.2 status model and the instrument's program messages, without sockets: tables of
// commands and the answers they must give.
#include "engine.h"
#include "instrument.h"
#include "words.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zemosim::Clock;
using zemosim::StatusModel;

// What a step expects of the model besides an answer.
const std::string noAnswer = "(no answer)";
const std::string notAModelCommand = "(not the model's)";

struct ModelStep {
    std::string command;
    std::string answer;
    // When the step runs, and when the earlier commands complete, in milliseconds from the start.
    int at = 0;
    int completion = 0;
    bool messageAvailable = false;
};

struct ModelCase {
    std::string title;
    std::vector<ModelStep> steps;
};

// Eleven command errors fill the queue of ten; the last entry says it overflowed.
ModelCase overflowCase() {
    ModelCase overflow{"the error queue keeps ten entries, the last one -350",
                       {{"*CLS", noAnswer}}};
    for (int i = 0; i < 11; ++i)
        overflow.steps.push_back({"*ESE", noAnswer});
    for (int i = 0; i < 9; ++i)
        overflow.steps.push_back({"SYST:ERR?", "-109,\"Missing parameter\""});
    overflow.steps.push_back({"SYST:ERR?", "-350,\"Queue overflow\""});
    overflow.steps.push_back({"SYST:ERR?", "0,\"No error\""});
    return overflow;
}

const std::vector<ModelCase> modelCases{
    {"PON is set at power-on and *ESR? clears it", {{"*ESR?", "128"}, {"*ESR?", "0"}}},
    {"the enable masks read back; bit 6 of *SRE is never set",
     {{"*ESE 36", noAnswer},
      {"*ESE?", "36"},
      {"*SRE 255", noAnswer},
      {"*SRE?", "191"},
      {"*SRE 3.6e1", noAnswer},
      {"*SRE?", "36"}}},
    {"MAV comes from the asking connection", {{"*STB?", "0"}, {"*STB?", "16", 0, 0, true}}},
    {"ESB follows ESR and ESE, MSS follows STB and SRE",
     {{"*CLS", noAnswer},
      {"*ESE 32", noAnswer},
      {"*STB?", "0"},
      {"*ESE", noAnswer},
      {"*STB?", "32"},
      {"*SRE 32", noAnswer},
      {"*STB?", "96"},
      {"*STB?", "112", 0, 0, true},
      {"*ESR?", "32"},
      {"*STB?", "0"}}},
    {"*CLS empties the event register and the error queue",
     {{"*ESE x", noAnswer}, {"*CLS", noAnswer}, {"*ESR?", "0"}, {"SYST:ERR?", "0,\"No error\""}}},
    {"malformed arguments queue their errors and set their classes' bits",
     {{"*CLS", noAnswer},
      {"*ESE", noAnswer},
      {"*ESE 256", noAnswer},
      {"*ESE x", noAnswer},
      {"*CLS 1", noAnswer},
      {"*ESR?", "48"},
      {"SYST:ERR?", "-109,\"Missing parameter\""},
      {"SYST:ERR?", "-222,\"Data out of range\""},
      {"SYST:ERR?", "-220,\"Parameter error\""},
      {"SYST:ERR?", "-108,\"Parameter not allowed\""},
      {"SYST:ERR?", "0,\"No error\""}}},
    {"SYSTem:ERRor[:NEXT]? in short and long forms, any case",
     {{"syst:err?", "0,\"No error\""},
      {"SYSTEM:ERROR?", "0,\"No error\""},
      {":System:Error:Next?", "0,\"No error\""},
      {"SYST:ERR:NEXT?", "0,\"No error\""},
      {"SYST:ERRO?", notAModelCommand},
      {"SYST:NEXT?", notAModelCommand},
      {"SYST:ERR", notAModelCommand},
      {"ERR?", notAModelCommand}}},
    {"*OPC sets OPC once the earlier commands have completed, seen when next read",
     {{"*CLS", noAnswer},
      {"*OPC", noAnswer, 0, 100},
      {"*ESR?", "0", 50},
      {"*ESR?", "1", 100},
      {"*ESR?", "0", 150}}},
    {"*CLS forgets an *OPC still waiting",
     {{"*CLS", noAnswer}, {"*OPC", noAnswer, 0, 100}, {"*CLS", noAnswer}, {"*ESR?", "0", 200}}},
    {"*TST? passes, *WAI and *OPC? are accepted",
     {{"*TST?", "0"}, {"*WAI", noAnswer}, {"*OPC?", "1"}, {"*IDN?", notAModelCommand}}},
    overflowCase(),
};

TEST(StatusModel, CommandsAndQueries) {
    for (const auto& [title, steps] : modelCases) {
        SCOPED_TRACE(title);
        StatusModel model;
        const auto start = Clock::now();
        for (const auto& step : steps) {
            SCOPED_TRACE(step.command);
            const auto [word, argument] = zemosim::firstWord(step.command);
            const StatusModel::Moment moment{
                .now = start + std::chrono::milliseconds(step.at),
                .messageAvailable = [&step] { return step.messageAvailable; },
                .completion = start + std::chrono::milliseconds(step.completion)};
            const auto outcome = model.execute(zemosim::upper(word), argument, moment);
            const std::string answer =
                !outcome ? notAModelCommand : outcome->answer.value_or(noAnswer);
            EXPECT_EQ(answer, step.answer);
        }
    }
}

// A step of the service request table: a command of the model followed by a look for a new
// request, "(look)" for the look alone, or "(poll)" for a serial poll.
struct RequestStep {
    std::string command;
    // The status byte of the request the step raises, -1 for none; for a poll, the byte read.
    int result = -1;
    // When the step runs, and when the earlier commands complete, in milliseconds from the start.
    int at = 0;
    int completion = 0;
    bool messageAvailable = false;
};

const std::string look = "(look)";
const std::string poll = "(poll)";

struct RequestCase {
    std::string title;
    std::vector<RequestStep> steps;
};

// *ESE 32 enables CME, which "*ESE" without its argument sets.
const std::vector<RequestCase> requestCases{
    {"an enabled event raises one request, on its edge only",
     {{"*ESE 32"}, {"*SRE 32"}, {"*ESE", 0x60}, {"*ESE"}, {look}}},
    {"a serial poll reads RQS and clears it; *STB? clears nothing",
     {{"*ESE 32"}, {"*SRE 32"}, {"*ESE", 0x60}, {"*STB?"}, {poll, 0x60}, {poll, 0x20}}},
    {"*SRE that makes MSS rise raises one, each time",
     {{"*ESE 32"}, {"*ESE"}, {"*SRE 32", 0x60}, {"*SRE 0"}, {"*SRE 32", 0x60}}},
    {"*CLS clears RQS, and the next event raises again",
     {{"*ESE 32"}, {"*SRE 32"}, {"*ESE", 0x60}, {"*CLS"}, {poll, 0}, {"*ESE", 0x60}}},
    {"RQS goes with its reason: *ESR? empties the register",
     {{"*ESE 32"}, {"*SRE 32"}, {"*ESE", 0x60}, {"*ESR?"}, {poll, 0}}},
    {"*OPC raises one when the operations before it complete, seen by a look then",
     {{"*ESE 1"},
      {"*SRE 32"},
      {"*OPC", -1, 0, 100},
      {look, -1, 50},
      {look, 0x60, 100},
      {poll, 0x60, 100}}},
    {"MAV, the asking connection's, raises none",
     {{"*SRE 16", -1, 0, 0, true}, {look, -1, 0, 0, true}, {poll, 0x10, 0, 0, true}}},
    {"disabled events raise none", {{"*ESE 32"}, {"*ESE"}, {"*OPC"}, {look}, {poll, 0x20}}},
};

TEST(StatusModel, ServiceRequestsAreRaisedOnTheEdgeAndClearedByPollsAndCls) {
    for (const auto& [title, steps] : requestCases) {
        SCOPED_TRACE(title);
        StatusModel model;
        const auto start = Clock::now();
        model.execute("*ESR?", "", {start, [] { return false; }, start});
        for (const auto& step : steps) {
            SCOPED_TRACE(step.command);
            const auto now = start + std::chrono::milliseconds(step.at);
            int result = -1;
            if (step.command == poll)
                result = model.serialPoll(step.messageAvailable, now);
            else {
                if (step.command != look) {
                    const auto [word, argument] = zemosim::firstWord(step.command);
                    model.execute(zemosim::upper(word), argument,
                                  {now, [&step] { return step.messageAvailable; },
                                   start + std::chrono::milliseconds(step.completion)});
                }
                if (const auto request = model.noticeServiceRequest(now))
                    result = *request;
            }
            EXPECT_EQ(result, step.result);
        }
    }
}

// *OPC? answers when the earlier commands of its connection have completed.
TEST(StatusModel, OperationCompleteQueryWaitsForEarlierCommands) {
    StatusModel model;
    const auto now = Clock::now();
    const auto later = now + std::chrono::milliseconds(250);
    const auto outcome = model.execute("*OPC?", "", {now, [] { return false; }, later});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->answer, "1");
    EXPECT_EQ(outcome->readyAt, later);
}

zemosim::Definition definitionOf(const std::string& text) {
    std::istringstream input(text);
    return zemosim::parseDefinition(input, "file");
}

// Everything connection CLIENT of INSTRUMENT is given until SIZE bytes came, waiting for the
// answers not ready yet, for a second at most.
std::string answers(zemosim::Instrument& instrument, zemosim::ClientId client, std::size_t size) {
    std::string result;
    std::vector<char> buffer(4096);
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (result.size() < size && Clock::now() < deadline) {
        Clock::time_point readyAt{};
        if (const auto piece = instrument.takeFor(client, buffer, readyAt))
            result.append(buffer.data(), piece->size);
        else if (readyAt != Clock::time_point{})
            std::this_thread::sleep_until(std::min(readyAt, deadline));
        else
            break;
    }
    return result;
}

struct LineCase {
    std::string title;
    std::string definition;
    std::vector<std::string> lines;
    std::string output;
};

std::string repeated(const std::string& unit, int count) {
    std::string line;
    for (int i = 0; i < count; ++i)
        line += (i == 0 ? "" : ";") + unit;
    return line;
}

const std::vector<LineCase> lineCases{
    {"the answers of one line form one response",
     "",
     {"*IDN?;*IDN?", "*IDN?"},
     "ZEMO,zemosim,0,1.0;ZEMO,zemosim,0,1.0\nZEMO,zemosim,0,1.0\n"},
    {"a semicolon in a quoted string separates nothing",
     "property LABEL x\n",
     {"LABEL \"a;b\";LABEL?", "LABEL 'c;d';LABEL?"},
     "\"a;b\"\n'c;d'\n"},
    {"an unknown command answers the error response and queues -113 with CME",
     "error ERR\n",
     {"*CLS;FOO;SYST:ERR?;SYST:ERR?;*ESR?"},
     "ERR;-113,\"Undefined header\";0,\"No error\";32\n"},
    {"an unknown query without an error response answers nothing but queues -113",
     "",
     {"FOO?", "SYST:ERR?"},
     "-113,\"Undefined header\"\n"},
    {"more than ten errors end the queue in -350",
     "",
     {"*CLS;" + repeated("FOO", 12), repeated("SYST:ERR?", 11)},
     repeated("-113,\"Undefined header\"", 9) + ";-350,\"Queue overflow\";0,\"No error\"\n"},
    {"DATA? above 999999999, however large, answers nothing and queues -222",
     "",
     {"DATA? 1000000000", "DATA? 999999999999999999999", "SYST:ERR?;SYST:ERR?"},
     "-222,\"Data out of range\";-222,\"Data out of range\"\n"},
    {"two blocks in one response",
     "",
     {"DATA? 2;DATA? 3;*TST?"},
     std::string("#12\0\1;#13\0\1\2;0\n", 15)},
    {"*OPC? answers after a delayed query of its connection; *OPC waits for it too",
     "delay SLOW? 50 late\n",
     {"SLOW?;*OPC?;*OPC;*ESR?"},
     "late;1;128\n"},
    {"*OPC? on a later line waits for the delayed query of an earlier one",
     "delay SLOW? 50 late\n",
     {"SLOW?", "*OPC?"},
     "late\n1\n"},
    {"*TRG counts triggers", "", {"*TRG;*TRG;TRIG:COUN?"}, "2\n"},
    {"*RST sets the trigger count back", "", {"*TRG;*RST;trigger:count?"}, "0\n"},
};

TEST(Instrument, ProgramMessagesAndTheErrorQueue) {
    for (const auto& [title, definition, lines, output] : lineCases) {
        SCOPED_TRACE(title);
        zemosim::Instrument instrument(definitionOf(definition));
        const auto client = instrument.join(1, zemosim::Reading::onRequest);
        for (const auto& line : lines)
            instrument.execute(line, client);
        EXPECT_EQ(answers(instrument, client, output.size()), output);
    }
}

// A changing reading stays within its spread, changes, and starts its sequence again at *RST.
TEST(Instrument, ReadingChangesWithinItsSpread) {
    zemosim::Instrument instrument(definitionOf("reading MEAS:VOLT? 10 0.5 7\n"));
    const auto client = instrument.join(1, zemosim::Reading::onRequest);
    std::vector<char> buffer(256);
    std::vector<std::vector<double>> runs;
    for (const char* line :
         {"MEAS:VOLT?;MEAS:VOLT?;MEAS:VOLT?", "*RST;MEAS:VOLT?;MEAS:VOLT?;MEAS:VOLT?"}) {
        instrument.execute(line, client);
        Clock::time_point readyAt;
        const auto piece = instrument.takeFor(client, buffer, readyAt);
        ASSERT_TRUE(piece);
        std::istringstream text(std::string(buffer.data(), piece->size));
        runs.emplace_back();
        for (std::string value; std::getline(text, value, ';');)
            runs.back().push_back(std::stod(value));
    }
    ASSERT_EQ(runs[0].size(), 3U);
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_NE(runs[0][0], runs[0][1]);
    for (const double value : runs[0]) {
        EXPECT_GE(value, 9.5);
        EXPECT_LE(value, 10.5);
    }
}

// MAV is the asking connection's: an answer waits for its client only.
TEST(Instrument, AnswerWaitsForItsOwnClient) {
    zemosim::Instrument instrument(zemosim::Definition{});
    const auto asker = instrument.join(1, zemosim::Reading::onRequest);
    const auto other = instrument.join(2, zemosim::Reading::onRequest);
    instrument.execute("*IDN?", asker);
    EXPECT_TRUE(instrument.answerWaitingFor(asker));
    EXPECT_FALSE(instrument.answerWaitingFor(other));
    EXPECT_EQ(instrument.serialPoll(instrument.answerWaitingFor(asker)),
              StatusModel::messageAvailable);
    instrument.clear(asker);
    EXPECT_FALSE(instrument.answerWaitingFor(asker));
}

// A delayed operation followed by *OPC raises a request when it completes: the instrument wakes
// the watchers to say when to look again, and a look then raises it, counts it and wakes them,
// once.
TEST(Instrument, DelayedOperationRaisesARequestWhenItCompletes) {
    zemosim::Instrument instrument(definitionOf("delay SLOW? 50 late\n"));
    const auto client = instrument.join(1, zemosim::Reading::onRequest);
    const zemosim::WakeUp watcher;
    instrument.watchRequests(watcher.fd());
    instrument.execute("*CLS;*ESE 1;*SRE 32;SLOW?;*OPC", client);
    const auto before = instrument.serviceRequests();
    EXPECT_EQ(before.latest, 0U);
    ASSERT_NE(before.lookAgain, Clock::time_point::max());
    // The watcher is told to look again sooner than it knew.
    pollfd woken{watcher.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&woken, 1, 0), 1);
    watcher.consume();
    EXPECT_EQ(::poll(&woken, 1, 0), 0);
    std::this_thread::sleep_until(before.lookAgain);
    const auto after = instrument.serviceRequests();
    EXPECT_EQ(after.latest, 1U);
    EXPECT_EQ(after.statusByte, 0x60);
    EXPECT_EQ(after.lookAgain, Clock::time_point::max());
    EXPECT_EQ(::poll(&woken, 1, 0), 1);
    EXPECT_EQ(instrument.serviceRequests().latest, 1U);
    instrument.unwatchRequests(watcher.fd());
    EXPECT_EQ(instrument.serialPoll(false), 0x60);
    EXPECT_EQ(instrument.serialPoll(false), 0x20);
}

// A delayed operation that has completed raises its request even when a command that clears the
// event comes before any watcher has looked: the instrument looks before it carries out a
// command, so the watchers are told of the request, which the command then clears.
TEST(Instrument, ACompletedOperationRaisesItsRequestBeforeTheNextCommandClearsIt) {
    for (const std::string clearing : {"*CLS", "*ESR?", "*ESE 0", "*SRE 0"}) {
        SCOPED_TRACE(clearing);
        zemosim::Instrument instrument(definitionOf("delay SLOW? 20 late\n"));
        const auto client = instrument.join(1, zemosim::Reading::onRequest);
        const auto other = instrument.join(2, zemosim::Reading::onRequest);
        const zemosim::WakeUp watcher;
        instrument.watchRequests(watcher.fd());
        instrument.execute("*CLS;*ESE 1;*SRE 32;SLOW?;*OPC", client);
        const auto before = instrument.serviceRequests();
        ASSERT_EQ(before.latest, 0U);
        watcher.consume();
        std::this_thread::sleep_until(before.lookAgain);
        instrument.execute(clearing, other);
        pollfd woken{watcher.fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&woken, 1, 0), 1);
        const auto after = instrument.serviceRequests();
        EXPECT_EQ(after.latest, 1U);
        EXPECT_EQ(after.statusByte, 0x60);
        instrument.unwatchRequests(watcher.fd());
        EXPECT_EQ(instrument.serialPoll(false) & StatusModel::requestingService, 0);
    }
}

} // namespace
