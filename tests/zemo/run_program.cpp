#include "run_program.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
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

Outcome run(const Invocation& invocation) {
    const TempDir dir;
    const auto inPath = dir.path() / "in", outPath = dir.path() / "out",
               errPath = dir.path() / "err", tracePath = dir.path() / "trace";
    writeFile(inPath, invocation.input);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string stdinPath =
        invocation.stdinPath.empty() ? inPath.string() : invocation.stdinPath;
    const std::string stdoutPath =
        invocation.stdoutPath.empty() ? outPath.string() : invocation.stdoutPath;
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
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
    int waitStatus = 0;
    if (waitpid(child, &waitStatus, 0) != child)
        throwSystemError("waitpid");

    Outcome outcome;
    outcome.out = invocation.stdoutPath.empty() ? readFile(outPath) : std::string();
    outcome.err = readFile(errPath);
    outcome.traceExists = std::filesystem::exists(tracePath);
    outcome.trace = readFile(tracePath);
    if (WIFEXITED(waitStatus))
        outcome.status = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        outcome.signal = WTERMSIG(waitStatus);
    return outcome;
}

} // namespace zemotest
