// A VXI-11 core channel of the tests' own, for one client, that checks each call on the wire:
// it answers the calls of the procedures a test scripts as the script says and all others as an
// ordinary device does, and keeps every call's body. And the instrument's side of the client's
// interrupt channel, which the client announces on the core channel.
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

// The instrument's side of the client's interrupt channel.

// What the client announced on the core channel: where its interrupt channel listens
// (create_intr_chan) and the handle it gave for the link (device_enable_srq), as the length word
// and the words of the bytes.
struct Channel {
    std::uint32_t address = 0;
    unsigned short port = 0;
    std::vector<std::uint32_t> handle;
};

// What the client announced on CORE; throws std::runtime_error when it announced nothing.
Channel announced(const ScriptedCore& core);

// A TCP connection to ADDRESS and PORT (IPv4, host order): connected, or still connecting when
// not WAIT; -1 when refused.
int connectTo(std::uint32_t address, unsigned short port, bool wait = true);

// A device_intr_srq call carrying HANDLE (its length word and the words of its bytes).
std::string srqCall(const std::vector<std::uint32_t>& handle);

// HANDLE with its first byte changed: a handle the client never gave out.
std::vector<std::uint32_t> otherHandle(std::vector<std::uint32_t> handle);

// The instrument's connection to the interrupt channel that the client announced on CORE, kept
// while the object lives.
class Instrument {
  public:
    explicit Instrument(const ScriptedCore& core);
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;
    ~Instrument();

    // Requests service with the client's handle, or with another.
    void request(bool foreign = false);

  private:
    Channel channel_;
    int socket_;
};

// device_readstb answers the status bytes BYTES in turn, the last one again and again.
Script statusBytes(std::vector<std::uint32_t> bytes);

} // namespace zemotest
