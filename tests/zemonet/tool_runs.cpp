#include "tool_runs.h"

#include <gtest/gtest.h>

namespace zemotest {

kittest::Result runTool(const char* program, std::vector<std::string> arguments, std::string input,
                        std::vector<std::string> environment) {
    return kittest::run({.program = program,
                         .arguments = std::move(arguments),
                         .environment = std::move(environment),
                         .input = std::move(input)});
}

void expectOutcome(const kittest::Result& outcome, int status, const std::string& out,
                   const std::string& err) {
    EXPECT_EQ(outcome.status, status);
    EXPECT_EQ(outcome.err, err);
    EXPECT_TRUE(outcome.out == out) << "got " << outcome.out.size() << " bytes of output";
}

void expectAnswer(const std::string& sendTo, const std::string& lines, const std::string& readFrom,
                  const std::string& answer) {
    expectOutcome(runTool(ZEMOSEND, {sendTo}, lines), 0, "", "");
    expectOutcome(runTool(ZEMORECV, {"-c", std::to_string(answer.size()), readFrom}), 0, answer,
                  "");
}

std::string dataBlock(std::size_t count) {
    const std::string length = std::to_string(count);
    std::string block = "#" + std::to_string(length.size()) + length;
    for (std::size_t i = 0; i < count; ++i)
        block.push_back(static_cast<char>(i & 0xff));
    return block + "\n";
}

} // namespace zemotest
