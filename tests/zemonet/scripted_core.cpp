#include "scripted_core.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zemotest {

namespace {

constexpr std::uint32_t enableSrq = 20, createIntrChan = 25;
constexpr std::uint32_t intrProgram = 0x0607B1, intrSrq = 30;

// What a device answers that no script does: create_link links, device_write takes every
// byte, and every other call succeeds (device_readstb with status byte 0).
std::string ordinaryReply(const std::string& body) {
    const std::uint32_t xid = wordAt(body, 0);
    switch (wordAt(body, procedureWord)) {
    case 10:
        return linkReply(xid);
    case 11: // the data's length follows the link, two timeouts and the flags
        return resultReply(xid, {0, wordAt(body, argumentsWord + 4)});
    case 13:
        return resultReply(xid, {0, 0});
    default:
        return resultReply(xid, {0});
    }
}

} // namespace

std::string resultReply(std::uint32_t xid, std::vector<std::uint32_t> result) {
    std::vector<std::uint32_t> words{xid, 1, 0, 0, 0, 0};
    words.insert(words.end(), result.begin(), result.end());
    return record(words);
}

Script failWith(std::uint32_t code) {
    return [code](const std::string& body, int) { return resultReply(wordAt(body, 0), {code}); };
}

ScriptedCore::ScriptedCore(std::map<std::uint32_t, Script> scripts, Endpoint where)
    : listener_(listenAt(where, port_)), family_(where.family), scripts_(std::move(scripts)) {
    thread_ = std::thread([this] { serve(); });
}

ScriptedCore::~ScriptedCore() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

std::string ScriptedCore::name() const {
    const std::string host = family_ == AF_INET6 ? "[::1]" : "127.0.0.1";
    return "vxi11/" + host + ":" + std::to_string(port_) + "/inst0";
}

std::vector<std::vector<std::uint32_t>> ScriptedCore::calls(std::uint32_t procedure) const {
    const std::lock_guard lock(mutex_);
    std::vector<std::vector<std::uint32_t>> found;
    for (const std::string& body : bodies_) {
        if (wordAt(body, procedureWord) != procedure)
            continue;
        std::vector<std::uint32_t> words;
        for (std::size_t word = argumentsWord; 4 * word < body.size(); ++word)
            words.push_back(wordAt(body, word));
        found.push_back(words);
    }
    return found;
}

std::vector<std::uint32_t> ScriptedCore::procedures() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> found;
    for (const std::string& body : bodies_)
        found.push_back(wordAt(body, procedureWord));
    return found;
}

void ScriptedCore::serve() {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::map<std::uint32_t, int> numbers;
    while (fd >= 0 && !stop_) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0)
            continue;
        const auto body = receiveCallBody(fd);
        if (!body)
            break;
        {
            const std::lock_guard lock(mutex_);
            bodies_.push_back(*body);
        }
        const std::uint32_t procedure = wordAt(*body, procedureWord);
        const auto script = scripts_.find(procedure);
        const Reply reply = script != scripts_.end() ? script->second(*body, numbers[procedure]++)
                                                     : Reply(ordinaryReply(*body));
        if (reply)
            sendAll(fd, *reply);
    }
    if (fd >= 0)
        ::close(fd);
}

Channel announced(const ScriptedCore& core) {
    const auto created = core.calls(createIntrChan);
    const auto enabled = core.calls(enableSrq);
    if (created.empty() || enabled.empty() || created[0].size() < 2 || enabled[0].size() < 3)
        throw std::runtime_error("the client announced no interrupt channel");
    return {created[0][0], static_cast<unsigned short>(created[0][1]),
            std::vector<std::uint32_t>(enabled[0].begin() + 2, enabled[0].end())};
}

int connectTo(std::uint32_t address, unsigned short port, bool wait) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(address);
    peer.sin_port = htons(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 &&
        (wait || errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string srqCall(const std::vector<std::uint32_t>& handle) {
    std::vector<std::uint32_t> words{1, 0, 2, intrProgram, 1, intrSrq, 0, 0, 0, 0};
    words.insert(words.end(), handle.begin(), handle.end());
    return record(words);
}

std::vector<std::uint32_t> otherHandle(std::vector<std::uint32_t> handle) {
    handle.at(1) ^= 0x01000000;
    return handle;
}

Instrument::Instrument(const ScriptedCore& core)
    : channel_(announced(core)), socket_(connectTo(channel_.address, channel_.port)) {
    if (socket_ < 0)
        throw std::runtime_error("the interrupt channel refused the connection");
}

Instrument::~Instrument() {
    ::close(socket_);
}

void Instrument::request(bool foreign) {
    sendAll(socket_, srqCall(foreign ? otherHandle(channel_.handle) : channel_.handle));
}

Script statusBytes(std::vector<std::uint32_t> bytes) {
    return [bytes](const std::string& body, int number) {
        const auto index =
            std::min<std::size_t>(static_cast<std::size_t>(number), bytes.size() - 1);
        return resultReply(wordAt(body, 0), {0, bytes[index]});
    };
}

} // namespace zemotest
