// A VXI-11 core channel of the tests' own, for one client, that checks each call on the wire:
// it answers the calls of the procedures a test scripts as the script says and all others as an
// ordinary device does, and keeps every call's body.
#pragma once

#include "rpc_wire.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zemotest {

// The reply to a call: the record, or nothing for a call the device never answers.
using Reply = std::optional<std::string>;
// What a scripted device answers to the call BODY, the NUMBERth (from 0) of its procedure.
using Script = std::function<Reply(const std::string& body, int number)>;

// A successful reply to call XID whose result is the words RESULT.
std::string resultReply(std::uint32_t xid, std::vector<std::uint32_t> result);

// Answers every call with device error CODE.
Script failWith(std::uint32_t code);

class ScriptedCore {
  public:
    // Answers the calls of each procedure in SCRIPTS with its script, listening at WHERE.
    explicit ScriptedCore(std::map<std::uint32_t, Script> scripts, Endpoint where = {});
    ScriptedCore(std::uint32_t procedure, Script script)
        : ScriptedCore(std::map<std::uint32_t, Script>{{procedure, std::move(script)}}) {}
    ScriptedCore(const ScriptedCore&) = delete;
    ScriptedCore& operator=(const ScriptedCore&) = delete;
    ~ScriptedCore();

    std::string name() const;

    // The argument words of every call of PROCEDURE, in order.
    std::vector<std::vector<std::uint32_t>> calls(std::uint32_t procedure) const;

    // The procedure of every call, in order.
    std::vector<std::uint32_t> procedures() const;

  private:
    void serve();

    unsigned short port_ = 0; // before the listener, whose initialiser sets it
    int listener_;
    int family_;
    std::map<std::uint32_t, Script> scripts_;
    mutable std::mutex mutex_;
    std::vector<std::string> bodies_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace zemotest
