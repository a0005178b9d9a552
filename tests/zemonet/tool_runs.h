// Runs of the built tools against zemosim, shared by the tests that reach it end to end. The
// tests that use them define ZEMOSEND and ZEMORECV as the tools' paths.
#pragma once

#include "run_program.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zemotest {

// What *IDN? answers.
inline const std::string identity = "ZEMO,zemosim,0,1.0\n";

// Runs PROGRAM with ARGUMENTS, INPUT on standard input and ENVIRONMENT added.
kittest::Result runTool(const char* program, std::vector<std::string> arguments,
                        std::string input = {}, std::vector<std::string> environment = {});

// Checks that a tool ended with STATUS, exactly OUT on standard output and ERR on standard
// error.
void expectOutcome(const kittest::Result& outcome, int status, const std::string& out,
                   const std::string& err);

// Sends LINES to SENDTO with zemosend and reads ANSWER back from READFROM with zemorecv, each
// tool opening its interface anew.
void expectAnswer(const std::string& sendTo, const std::string& lines, const std::string& readFrom,
                  const std::string& answer);

// What "DATA? COUNT" answers: an IEEE 488.2 block of the byte pattern 0, 1, ... 255 and a
// newline.
std::string dataBlock(std::size_t count);

} // namespace zemotest
