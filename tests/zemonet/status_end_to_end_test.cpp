// The IEEE 488.2 common commands and the SCPI error queue of zemosim's instruments, end to end
// through zemoquery over every protocol zemosim serves: one table, run over each.
#include "sim_server.h"
#include "temp_tree.h"
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zemotest::runTool;

struct Exchange {
    std::string title;
    // The messages of one zemoquery run, each one write; the first resets what earlier cases
    // left.
    std::vector<std::string> messages;
    std::string answers;
};

std::string repeated(const std::string& unit, int count) {
    std::string line;
    for (int i = 0; i < count; ++i)
        line += (i == 0 ? "" : ";") + unit;
    return line;
}

const std::vector<Exchange> exchanges{
    {"the enable masks read back and *TST? passes",
     {"*RST;*CLS;*ESE 36;*SRE 255", "*ESE?;*SRE?;*TST?;*ESR?;*STB?"},
     "36;191;0;0;0\n"},
    {"an unknown header queues -113 and sets CME",
     {"*CLS", "BOGUS", "syst:err?;SYSTem:ERRor:NEXT?;*ESR?"},
     "-113,\"Undefined header\";0,\"No error\";32\n"},
    {"ESB and MSS follow the enable masks",
     {"*CLS;*ESE 32;*SRE 32;BOGUS;*STB?", "*CLS;*STB?"},
     "96\n0\n"},
    {"the error queue overflows into -350",
     {"*CLS;" + repeated("BOGUS", 12), repeated("SYST:ERR?", 11)},
     repeated("-113,\"Undefined header\"", 9) + ";-350,\"Queue overflow\";0,\"No error\"\n"},
    {"*OPC? waits for a delayed query; *OPC sets OPC",
     {"*CLS;SLOW?;*OPC?", "*OPC;*WAI;*ESR?"},
     "late;1\n1\n"},
    {"*TRG counts triggers", {"*RST;*TRG;*TRG;TRIG:COUN?"}, "2\n"},
    {"DATA? above 999999999 answers nothing and queues -222",
     {"*CLS;DATA? 1000000000;SYST:ERR?"},
     "-222,\"Data out of range\"\n"},
};

TEST(StatusEndToEnd, CommonCommandsAndErrorQueueOverEveryProtocol) {
    const kittest::TempTree files;
    const std::string file =
        files.makeFile("dmm.inst", "name dmm\ndelay SLOW? 100 late\n").string();
    zemotest::SimServer server({"-p", file}, 4);
    for (const std::string protocol : {"vxi11", "socket", "hislip", "serial"}) {
        const std::string& name = server.name("dmm", protocol);
        for (const auto& [title, messages, answers] : exchanges) {
            SCOPED_TRACE(protocol + ": " + title);
            std::vector<std::string> arguments{"-t", "5000", name};
            arguments.insert(arguments.end(), messages.begin(), messages.end());
            zemotest::expectOutcome(runTool(ZEMOQUERY, arguments), 0, answers, "");
        }
    }
}

} // namespace
