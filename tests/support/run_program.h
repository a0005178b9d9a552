// Runs a built program in a child process and collects what it wrote and how it ended.
//
// Every program gets the same environment: LC_ALL=C, the sanitizer settings of the test run
// (ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS, TSAN_OPTIONS) and the entries its invocation
// names, nothing else of the test's own environment, so that no setting of whoever runs the
// tests reaches it unasked. SIGPIPE has its default action in the program.
#pragma once

#include "temp_tree.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace kittest {

// How to start a program.
struct Invocation {
    std::string program{};                  // the file to execute
    std::vector<std::string> arguments{};   // the arguments after argv[0]
    std::string argv0{};                    // argv[0]; empty: PROGRAM
    std::vector<std::string> environment{}; // NAME=VALUE entries beyond the fixed ones
    std::string input{};                    // the bytes of standard input
    std::string inputPath{};                // a file to open as standard input instead of INPUT
    std::string outputPath{};        // a file to open as standard output instead of capturing
    bool outputToClosedPipe = false; // standard output is a pipe that nobody reads
    std::string directory{};         // the working directory; empty: the test's own
};

// What a finished program wrote and how it ended.
struct Result {
    std::string out; // empty when standard output went elsewhere
    std::string err;
    int status = -1; // the exit status, or -1 when a signal ended the program
    int signal = 0;  // the signal that ended the program, or 0
};

// Runs INVOCATION to its end. Throws std::runtime_error, naming the failing call, when the
// program cannot be started.
Result run(const Invocation& invocation);

// The environment that every program gets, EXTRA (NAME=VALUE entries) last.
std::vector<std::string> programEnvironment(const std::vector<std::string>& extra);

// Pointers to the strings of TEXTS, ended by a null pointer, as exec wants them.
std::vector<char*> pointerList(std::vector<std::string>& texts);

// A program running with a pipe as its standard input, which the test feeds piece by piece,
// so that it can see what the program does before the rest of its input exists.
class FedRun {
  public:
    // Starts INVOCATION, whose input and inputPath are not used; the program's end of the pipe
    // is non-blocking when NONBLOCKINGINPUT is set.
    explicit FedRun(Invocation invocation, bool nonBlockingInput = false);
    FedRun(const FedRun&) = delete;
    FedRun& operator=(const FedRun&) = delete;
    // Ends the program's input and waits for it, unless finish did.
    ~FedRun();

    // Writes BYTES, all of them, to the program's standard input.
    void feed(const std::string& bytes);
    // Ends the program's input, waits for its end and collects what it wrote. Call it once.
    Result finish();

  private:
    Invocation invocation_;
    TempTree files_;
    pid_t child_ = -1;
    int input_ = -1;
};

} // namespace kittest
