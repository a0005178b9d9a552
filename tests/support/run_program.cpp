#include "run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace kittest {

namespace {

// Throws with the failing CALL and the reason that ERROR (an errno value) gives.
[[noreturn]] void throwSystemError(const std::string& call, int error = errno) {
    throw std::runtime_error(call + ": " + std::strerror(error));
}

// The program's standard output: a pipe whose reading end is closed already, or a file.
// Returns the pipe's writing end, which the caller closes once the child has it, or -1.
int addStandardOutput(posix_spawn_file_actions_t& actions, const Invocation& invocation,
                      const TempTree& files) {
    if (invocation.outputToClosedPipe) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            throwSystemError("pipe2");
        close(ends[0]);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        return ends[1];
    }
    const std::string path =
        invocation.outputPath.empty() ? (files.root() / "out").string() : invocation.outputPath;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return -1;
}

// Starts INVOCATION with INPUT, a descriptor, as its standard input and its standard error
// (and output, unless the invocation sends it elsewhere) in files of FILES. Returns the child.
pid_t spawn(const Invocation& invocation, const TempTree& files, int input) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    int pipeEnd = -1;
    try {
        pipeEnd = addStandardOutput(actions, invocation, files);
    } catch (...) {
        posix_spawn_file_actions_destroy(&actions);
        throw;
    }
    const std::string errPath = (files.root() / "err").string();
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!invocation.directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, invocation.directory.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaulted;
    sigemptyset(&defaulted);
    sigaddset(&defaulted, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaulted);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv{invocation.argv0.empty() ? invocation.program : invocation.argv0};
    argv.insert(argv.end(), invocation.arguments.begin(), invocation.arguments.end());
    std::vector<std::string> environment = programEnvironment(invocation.environment);
    pid_t child = 0;
    const int spawnError = posix_spawn(&child, invocation.program.c_str(), &actions, &attributes,
                                       pointerList(argv).data(), pointerList(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipeEnd != -1)
        close(pipeEnd);
    if (spawnError != 0)
        throwSystemError("posix_spawn " + invocation.program, spawnError);
    return child;
}

// Waits for the end of CHILD, started by spawn with FILES, and collects what it wrote.
Result collect(pid_t child, const Invocation& invocation, const TempTree& files) {
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) != child)
        if (errno != EINTR)
            throwSystemError("waitpid " + invocation.program);
    Result result;
    result.out = readFile(files.root() / "out");
    result.err = readFile(files.root() / "err");
    if (WIFEXITED(waitStatus))
        result.status = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        result.signal = WTERMSIG(waitStatus);
    return result;
}

} // namespace

std::vector<std::string> programEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> environment{"LC_ALL=C"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
}

std::vector<char*> pointerList(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

Result run(const Invocation& invocation) {
    const TempTree files;
    const std::string inputPath = invocation.inputPath.empty()
                                      ? files.makeFile("in", invocation.input).string()
                                      : invocation.inputPath;
    const int input = open(inputPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (input == -1)
        throwSystemError("open " + inputPath);
    pid_t child = 0;
    try {
        child = spawn(invocation, files, input);
    } catch (...) {
        close(input);
        throw;
    }
    close(input);
    return collect(child, invocation, files);
}

FedRun::FedRun(Invocation invocation, bool nonBlockingInput) : invocation_(std::move(invocation)) {
    // A program that ends early must fail the test, not kill it with SIGPIPE on the next feed.
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throwSystemError("pipe2");
    input_ = ends[1];
    try {
        if (nonBlockingInput && fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0)
            throwSystemError("fcntl");
        child_ = spawn(invocation_, files_, ends[0]);
    } catch (...) {
        close(ends[0]);
        close(input_);
        throw;
    }
    close(ends[0]);
}

FedRun::~FedRun() {
    if (child_ != -1) {
        close(input_);
        waitpid(child_, nullptr, 0);
    }
}

void FedRun::feed(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = write(input_, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno != EINTR)
            throwSystemError("write to the standard input of " + invocation_.program);
        if (wrote > 0)
            done += static_cast<std::size_t>(wrote);
    }
}

Result FedRun::finish() {
    close(input_);
    const pid_t child = child_;
    child_ = -1;
    return collect(child, invocation_, files_);
}

} // namespace kittest
