#include "scripted_core.h"

#include <poll.h>
#include <unistd.h>

namespace zemotest {

namespace {

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

} // namespace zemotest
