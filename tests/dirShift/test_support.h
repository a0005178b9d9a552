// Helpers shared by the dirShift tests: a temporary directory tree that removes itself, and a
// runner that starts a program with a controlled environment and captures what it writes.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dirshift_test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, named by its physical path and
// removed with everything in it when the object goes.
class TempTree {
  public:
    TempTree() {
        std::string pattern = (fs::temp_directory_path() / "dirShift-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed for " + pattern);
        root_ = fs::canonical(pattern);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    ~TempTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // The physical path of the tree's root.
    const fs::path& root() const { return root_; }

    // Creates the directory `relative` and its parents inside the tree.
    void makeDirectory(const std::string& relative) const {
        fs::create_directories(root_ / relative);
    }

    // Creates the empty regular file `relative` inside the tree.
    void makeFile(const std::string& relative) const {
        std::FILE* file = std::fopen((root_ / relative).c_str(), "w");
        if (file == nullptr)
            throw std::runtime_error("cannot create " + (root_ / relative).string());
        std::fclose(file);
    }

    // Creates the symbolic link `relative` inside the tree, pointing at `target`.
    void makeLink(const std::string& relative, const fs::path& target) const {
        fs::create_directory_symlink(target, root_ / relative);
    }

  private:
    fs::path root_;
};

// What a finished program wrote and how it ended.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal number
};

// How to start the program under test.
struct RunRequest {
    std::vector<std::string> args;        // the arguments after the program name
    std::vector<std::string> environment; // NAME=value entries; LC_ALL=C is always added
    std::string directory;                // working directory; empty: the test's own
    bool removeDirectory = false;         // remove `directory` once the program is in it
    std::string stdoutPath;               // file to take standard output; empty: captured
};

// Reads everything from the start of `file` into a string.
inline std::string readAll(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    return text;
}

// Runs `program` as `request` describes, with an environment holding only LC_ALL=C, the
// sanitizer settings of the test run and the request's entries, and returns its output.
inline RunResult runProgram(const std::string& program, const RunRequest& request) {
    std::vector<std::string> environment = {"LC_ALL=C"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    environment.insert(environment.end(), request.environment.begin(), request.environment.end());

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : request.args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr)
        throw std::runtime_error("tmpfile failed");
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        int outFd = fileno(out);
        if (!request.stdoutPath.empty())
            outFd = open(request.stdoutPath.c_str(), O_WRONLY);
        if (outFd < 0 || dup2(outFd, STDOUT_FILENO) < 0 || dup2(fileno(err), STDERR_FILENO) < 0)
            _exit(126);
        if (!request.directory.empty() && chdir(request.directory.c_str()) != 0)
            _exit(126);
        if (request.removeDirectory && rmdir(request.directory.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    RunResult result;
    result.out = readAll(out);
    result.err = readAll(err);
    result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
    std::fclose(out);
    std::fclose(err);
    return result;
}

} // namespace dirshift_test
