#include "run_program.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zemotest {

namespace {

// Throws with the failing CALL and the reason errno gives.
[[noreturn]] void throwSystemError(const std::string& call) {
    throw std::runtime_error(call + ": " + std::strerror(errno));
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The child's environment: ours without ZEMO_TRACE and LD_LIBRARY_PATH, plus EXTRA.
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("ZEMO_TRACE=", 0) != 0 && text.rfind("LD_LIBRARY_PATH=", 0) != 0)
            entries.push_back(text);
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

// Pointers to the strings of TEXTS, ended by a null pointer, as exec wants them.
std::vector<char*> pointerList(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zemotest.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throwSystemError("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::filesystem::remove_all(path_);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::string text;
    char chunk[65536];
    while (stream.read(chunk, sizeof chunk) || stream.gcount() > 0)
        text.append(chunk, static_cast<std::size_t>(stream.gcount()));
    return text;
}

namespace {

// Starts INVOCATION with its standard input from INPUT, a descriptor that the child gets as
// descriptor 0, and the other streams and the trace as files in DIR. Returns the child's id.
pid_t spawn(const Invocation& invocation, const TempDir& dir, int input) {
    const auto outPath = dir.path() / "out", errPath = dir.path() / "err",
               tracePath = dir.path() / "trace";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    const std::string stdoutPath =
        invocation.stdoutPath.empty() ? outPath.string() : invocation.stdoutPath;
    int pipeEnds[2] = {-1, -1};
    if (invocation.stdoutToClosedPipe) {
        if (pipe(pipeEnds) != 0)
            throwSystemError("pipe");
        close(pipeEnds[0]);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaulted;
    sigemptyset(&defaulted);
    sigaddset(&defaulted, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaulted);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> arguments = invocation.argv;
    std::vector<std::string> environment = childEnvironment(invocation.environment);
    if (invocation.trace)
        environment.push_back("ZEMO_TRACE=" + tracePath.string());
    pid_t child = 0;
    const int spawnError =
        posix_spawn(&child, invocation.program.c_str(), &actions, &attributes,
                    pointerList(arguments).data(), pointerList(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipeEnds[1] != -1)
        close(pipeEnds[1]);
    if (spawnError != 0) {
        errno = spawnError;
        throwSystemError("posix_spawn " + invocation.program);
    }
    return child;
}

// Waits for the end of CHILD, started by spawn in DIR, and collects what it wrote.
Outcome collect(pid_t child, const Invocation& invocation, const TempDir& dir) {
    int waitStatus = 0;
    if (waitpid(child, &waitStatus, 0) != child)
        throwSystemError("waitpid");
    const auto tracePath = dir.path() / "trace";
    Outcome outcome;
    outcome.out = invocation.stdoutPath.empty() ? readFile(dir.path() / "out") : std::string();
    outcome.err = readFile(dir.path() / "err");
    outcome.traceExists = std::filesystem::exists(tracePath);
    outcome.trace = readFile(tracePath);
    if (WIFEXITED(waitStatus))
        outcome.status = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        outcome.signal = WTERMSIG(waitStatus);
    return outcome;
}

} // namespace

Outcome run(const Invocation& invocation) {
    const TempDir dir;
    const auto inPath = dir.path() / "in";
    writeFile(inPath, invocation.input);
    const std::string stdinPath =
        invocation.stdinPath.empty() ? inPath.string() : invocation.stdinPath;
    const int input = open(stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (input == -1)
        throwSystemError("open " + stdinPath);
    pid_t child = 0;
    try {
        child = spawn(invocation, dir, input);
    } catch (...) {
        close(input);
        throw;
    }
    close(input);
    return collect(child, invocation, dir);
}

FedRun::FedRun(Invocation invocation) : invocation_(std::move(invocation)) {
    // A child that ends early must fail the test, not kill it with SIGPIPE on the next feed.
    signal(SIGPIPE, SIG_IGN);
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        throwSystemError("pipe2");
    input_ = pipeEnds[1];
    try {
        if (invocation_.stdinNonBlocking && fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK) != 0)
            throwSystemError("fcntl");
        child_ = spawn(invocation_, dir_, pipeEnds[0]);
    } catch (...) {
        close(pipeEnds[0]);
        close(input_);
        throw;
    }
    close(pipeEnds[0]);
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

std::string FedRun::traceOnceItHolds(std::size_t size) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string trace;
    while ((trace = readFile(dir_.path() / "trace")).size() < size &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return trace;
}

Outcome FedRun::finish() {
    close(input_);
    const pid_t child = child_;
    child_ = -1;
    return collect(child, invocation_, dir_);
}

} // namespace zemotest
