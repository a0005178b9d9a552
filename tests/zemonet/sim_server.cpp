#include "sim_server.h"

#include "run_program.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zemotest {

namespace {

constexpr auto startLimit = std::chrono::seconds(20);

[[noreturn]] void throwSystemError(const std::string& call) {
    throw std::runtime_error(call + ": " + std::strerror(errno));
}

// Reads lines from FD until COUNT have arrived or the file ends; gives up after startLimit.
std::vector<std::string> readLines(int fd, std::size_t count) {
    std::vector<std::string> lines;
    std::string pending;
    const auto deadline = std::chrono::steady_clock::now() + startLimit;
    while (lines.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0)
            throw std::runtime_error("zemosim printed no names in time");
        char chunk[4096];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(chunk, static_cast<std::size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            lines.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    return lines;
}

} // namespace

SimServer::SimServer(const std::vector<std::string>& arguments, std::size_t names, bool labelled) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throwSystemError("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> texts{ZEMOSIM};
    if (labelled)
        texts.emplace_back("-l");
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = kittest::programEnvironment({});
    const int failed =
        ::posix_spawn(&pid_, ZEMOSIM, &actions, nullptr, kittest::pointerList(texts).data(),
                      kittest::pointerList(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (failed != 0) {
        ::close(out[0]);
        ::close(err[0]);
        errno = failed;
        throwSystemError("posix_spawn " ZEMOSIM);
    }
    errors_ = err[0];
    const auto lines = readLines(out[0], names);
    ::close(out[0]);
    if (lines.size() < names) {
        const auto message = readLines(errors_, 1);
        stop();
        throw std::runtime_error("zemosim did not start: " +
                                 (message.empty() ? std::string("no message") : message[0]));
    }
    for (const auto& line : lines)
        names_.push_back(labelled ? servedName(line) : ServedName{{}, {}, line});
}

const std::string& SimServer::name(const std::string& instrument,
                                   const std::string& protocol) const {
    for (const auto& served : names_)
        if (served.instrument == instrument && served.protocol == protocol)
            return served.name;
    throw std::out_of_range("zemosim printed no " + protocol + " name for " + instrument);
}

ServedName servedName(const std::string& line) {
    const auto first = line.find(' ');
    const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos)
        throw std::runtime_error("zemosim printed '" + line + "', not 'INSTRUMENT PROTOCOL NAME'");
    return {line.substr(0, first), line.substr(first + 1, second - first - 1),
            line.substr(second + 1)};
}

SimServer::~SimServer() {
    stop();
}

int SimServer::stop() {
    if (pid_ < 0)
        return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    ::close(errors_);
    errors_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

unsigned short closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throwSystemError("bind");
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace zemotest
