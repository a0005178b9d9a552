// Runs a built program in a child process with prepared standard streams and environment, and
// collects what it wrote and how it ended.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace zemotest {

// A temporary directory, removed with everything in it when the object goes away.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

struct Invocation {
    Invocation(std::string programPath, std::vector<std::string> arguments,
               std::string standardInput = {})
        : program(std::move(programPath)), argv(std::move(arguments)),
          input(std::move(standardInput)) {}

    std::string program;                  // the file to execute
    std::vector<std::string> argv;        // the arguments, argv[0] included
    std::string input;                    // standard input, unless stdinPath is set
    std::string stdinPath;                // a file to open as standard input instead of INPUT
    bool stdinNonBlocking = false;        // FedRun's pipe is non-blocking on the program's side
    std::string stdoutPath;               // a file to open as standard output instead of capturing
    bool stdoutToClosedPipe = false;      // standard output is a pipe nobody reads from
    bool trace = true;                    // set ZEMO_TRACE to a file in the run's directory
    std::vector<std::string> environment; // extra NAME=VALUE entries
};

struct Outcome {
    std::string out;
    std::string err;
    std::string trace; // the trace file's text, empty when the file was not created
    bool traceExists = false;
    int status = -1; // the exit status, or -1 when a signal ended the process
    int signal = 0;  // the signal that ended the process, or 0
};

// Runs INVOCATION to its end. SIGPIPE has its default action in the child, ZEMO_TRACE and
// LD_LIBRARY_PATH are taken from the invocation only, and everything else is inherited.
Outcome run(const Invocation& invocation);

// A program running with a pipe as its standard input, which the test feeds piece by piece,
// so that it can see what the program does before the rest of its input exists.
class FedRun {
  public:
    // Starts INVOCATION; its input and stdinPath are not used.
    explicit FedRun(Invocation invocation);
    FedRun(const FedRun&) = delete;
    FedRun& operator=(const FedRun&) = delete;
    // Ends the program's input and waits for it, unless finish did.
    ~FedRun();

    // Writes BYTES, all of them, to the program's standard input.
    void feed(const std::string& bytes);
    // Waits until the program's trace holds at least SIZE bytes, at most 10 seconds, and
    // returns it.
    std::string traceOnceItHolds(std::size_t size) const;
    // Ends the program's input, waits for its end and collects what it wrote. Call it once.
    Outcome finish();

  private:
    Invocation invocation_;
    TempDir dir_;
    pid_t child_ = -1;
    int input_ = -1;
};

// The whole content of the file at PATH.
std::string readFile(const std::filesystem::path& path);

} // namespace zemotest
