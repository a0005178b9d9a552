// Service requests over VXI-11 through libzemo's calls, against a core channel of the test's own
// (scripted_core.h) that checks what the client announces, while the test plays the instrument's
// part on the client's interrupt channel: requests that come during a wait, before it, several
// at once, with another handle or with a status byte without RQS; devices that refuse; and
// peers that attack the interrupt channel while a wait runs. Whatever they do, the wait ends at
// its deadline, and once the handle is closed the process holds no thread or descriptor more
// than before it was opened.
#include "rpc_wire.h"
#include "scripted_core.h"
#include "zemo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zemotest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t createLink = 10, readStb = 13, enableSrq = 20, destroyLink = 23,
                        createIntrChan = 25, destroyIntrChan = 26;
constexpr std::uint32_t loopback = 0x7f000001;

// The entries of DIRECTORY: /proc/self/task holds the process's threads, /proc/self/fd its
// descriptors.
std::size_t entries(const char* directory) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(directory),
                                                  std::filesystem::directory_iterator()));
}

// The entries of DIRECTORY once they number EXPECTED, or after two seconds: a thread that has
// been joined may take a moment to leave /proc/self/task.
std::size_t settledEntries(const char* directory, std::size_t expected) {
    const auto until = Clock::now() + std::chrono::seconds(2);
    std::size_t found = entries(directory);
    while (found != expected && Clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(10));
        found = entries(directory);
    }
    return found;
}

// The reason of the handle's last failure.
std::string lastError() {
    const char* reason = zemo_last_error();
    return reason != nullptr ? reason : "";
}

// Waits on HANDLE for MILLISECONDS and checks the outcome: STATUS with the status byte STB, or
// with REASON as the last error. A wait that succeeds or fails does so at once (within 1.5 s
// even when it may wait much longer); one that times out ends at its deadline.
void expectWait(zemo_handle handle, std::int32_t wait, zemo_status status, std::uint8_t stb,
                const std::string& reason) {
    std::uint8_t received = 0xff;
    const auto start = Clock::now();
    EXPECT_EQ(zemo_wait_srq(handle, wait, &received), status) << lastError();
    const auto took = Clock::now() - start;
    if (status == ZEMO_OK) {
        EXPECT_EQ(received, stb);
    } else {
        EXPECT_EQ(lastError(), reason);
    }
    const auto earliest = status == ZEMO_TIMEOUT ? milliseconds(wait) : milliseconds(0);
    EXPECT_GE(took, earliest);
    EXPECT_LT(took, earliest + milliseconds(1500));
}

const std::string noRequestIn200 = "no service request within 200 ms";
const std::string noRequestIn300 = "no service request within 300 ms";

// The client serves its interrupt channel at the core channel's local address, there only,
// announces it with create_intr_chan (address, port, program, version, TCP) and enables
// requests for the link with a handle of at most 40 bytes; a device_intr_srq with that handle
// ends a wait with the status byte device_readstb reads then. zemo_close disables requests,
// sends destroy_intr_chan, then destroy_link, and closes the channel.
TEST(Vxi11ServiceRequests, AnnouncedServedAndEndedAtClose) {
    const ScriptedCore core({{readStb, statusBytes({0x10, 0x50})}});
    zemo_handle handle = zemo_open(core.name().c_str());
    ASSERT_NE(handle, nullptr) << lastError();
    expectWait(handle, 200, ZEMO_TIMEOUT, 0, noRequestIn200);

    const auto created = core.calls(createIntrChan);
    ASSERT_EQ(created.size(), 1U);
    const Channel channel = announced(core);
    // Program DEVICE_INTR, version 1, family TCP.
    EXPECT_EQ(created[0], (std::vector<std::uint32_t>{loopback, channel.port, 0x0607B1, 1, 0}));
    EXPECT_NE(channel.port, 0);
    const auto enabled = core.calls(enableSrq);
    ASSERT_EQ(enabled.size(), 1U);
    EXPECT_EQ(enabled[0][0], 1U); // the link
    EXPECT_EQ(enabled[0][1], 1U); // enable
    EXPECT_GT(channel.handle.at(0), 0U);
    EXPECT_LE(channel.handle.at(0), 40U);
    EXPECT_EQ(connectTo(loopback + 1, channel.port), -1) << "the channel listens beyond 127.0.0.1";

    {
        Instrument instrument(core);
        auto requesting = std::async(std::launch::async, [&instrument] {
            std::this_thread::sleep_for(milliseconds(100)); // while the client waits
            instrument.request();
        });
        expectWait(handle, 10000, ZEMO_OK, 0x50, "");
        requesting.get();
        EXPECT_EQ(core.calls(readStb).size(), 2U);
        EXPECT_EQ(zemo_close(handle), ZEMO_OK) << lastError();
    }

    const auto procedures = core.procedures();
    ASSERT_GE(procedures.size(), 3U);
    EXPECT_EQ(std::vector<std::uint32_t>(procedures.end() - 3, procedures.end()),
              (std::vector<std::uint32_t>{enableSrq, destroyIntrChan, destroyLink}));
    std::vector<std::uint32_t> disabled{1, 0};
    disabled.insert(disabled.end(), channel.handle.begin(), channel.handle.end());
    EXPECT_EQ(core.calls(enableSrq).back(), disabled);
    EXPECT_EQ(connectTo(channel.address, channel.port), -1) << "the channel outlived the handle";
}

// zemo_close after a wait, when the device refuses a step of the teardown or never answers it:
// a refused step keeps none of the later ones from running, destroy_link included, and the
// first failure is what zemo_close reports; one that breaks the connection ends the steps. The
// channel is closed either way.
TEST(Vxi11ServiceRequests, TeardownGoesOnPastARefusedStep) {
    // Device_Error CODE for the second call of a procedure (the first enables requests).
    const auto secondFails = [](std::uint32_t code) -> Script {
        return [code](const std::string& body, int number) {
            return resultReply(wordAt(body, 0), {number == 0 ? 0U : code});
        };
    };
    const Script secondUnanswered = [](const std::string& body, int number) -> Reply {
        if (number == 0)
            return resultReply(wordAt(body, 0), {0});
        return std::nullopt;
    };
    const struct {
        const char* what;
        std::map<std::uint32_t, Script> scripts;
        zemo_status status;
        std::string reason;
        // The procedures called by zemo_close.
        std::vector<std::uint32_t> calls;
    } cases[]{
        {"disabling requests refused",
         {{enableSrq, secondFails(8)}},
         ZEMO_FAILURE,
         "device_enable_srq failed: operation not supported (VXI-11 error 8)",
         {enableSrq, destroyIntrChan, destroyLink}},
        {"destroy_intr_chan refused",
         {{destroyIntrChan, failWith(6)}},
         ZEMO_FAILURE,
         "destroy_intr_chan failed: channel not established (VXI-11 error 6)",
         {enableSrq, destroyIntrChan, destroyLink}},
        {"destroy_link refused",
         {{destroyLink, failWith(4)}},
         ZEMO_FAILURE,
         "destroy_link failed: invalid link identifier (VXI-11 error 4)",
         {enableSrq, destroyIntrChan, destroyLink}},
        {"disabling requests never answered",
         {{enableSrq, secondUnanswered}},
         ZEMO_TIMEOUT,
         "device_enable_srq: no reply from the core channel within the timeout",
         {enableSrq}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        auto scripts = test.scripts;
        scripts.emplace(readStb, statusBytes({0x10}));
        const ScriptedCore core(scripts);
        zemo_handle handle = zemo_open(core.name().c_str());
        ASSERT_NE(handle, nullptr) << lastError();
        ASSERT_EQ(zemo_set_timeout(handle, 200), ZEMO_OK);
        expectWait(handle, 0, ZEMO_TIMEOUT, 0, "no service request within 0 ms");
        const Channel channel = announced(core);
        const auto before = static_cast<std::ptrdiff_t>(core.procedures().size());
        EXPECT_EQ(zemo_close(handle), test.status);
        EXPECT_EQ(lastError(), test.reason);
        const auto procedures = core.procedures();
        EXPECT_EQ(std::vector<std::uint32_t>(procedures.begin() + before, procedures.end()),
                  test.calls);
        EXPECT_EQ(connectTo(channel.address, channel.port), -1)
            << "the channel outlived the handle";
    }
}

// What the instrument sends before a wait, or while it runs.
enum class Send { nothing, request, foreignRequest, threeRequests, requestDuringTheWait };

struct Wait {
    Send send;
    std::int32_t milliseconds;
    zemo_status status;
    std::uint8_t stb = 0;
    std::string reason = {};
};

struct WaitCase {
    const char* what;
    std::vector<Wait> waits;
    // The procedures called on the core channel before zemo_close.
    std::vector<std::uint32_t> calls;
    std::vector<std::uint32_t> statusBytes = {0x10, 0x50};
    std::map<std::uint32_t, Script> scripts = {};
    Endpoint where = {};
};

void runWaits(const WaitCase& test) {
    std::map<std::uint32_t, Script> scripts = test.scripts;
    scripts.emplace(readStb, statusBytes(test.statusBytes));
    const ScriptedCore core(scripts, test.where);
    zemo_handle handle = zemo_open(core.name().c_str());
    ASSERT_NE(handle, nullptr) << lastError();
    std::unique_ptr<Instrument> instrument;
    for (const Wait& wait : test.waits) {
        if (wait.send != Send::nothing && !instrument)
            instrument = std::make_unique<Instrument>(core);
        if (wait.send == Send::request || wait.send == Send::threeRequests)
            instrument->request();
        if (wait.send == Send::threeRequests) {
            instrument->request();
            instrument->request();
        }
        if (wait.send == Send::foreignRequest)
            instrument->request(true);
        std::future<void> requesting;
        if (wait.send == Send::requestDuringTheWait)
            requesting = std::async(std::launch::async, [&instrument] {
                std::this_thread::sleep_for(milliseconds(100));
                instrument->request();
            });
        expectWait(handle, wait.milliseconds, wait.status, wait.stb, wait.reason);
        if (requesting.valid())
            requesting.get();
    }
    EXPECT_EQ(core.procedures(), test.calls);
    zemo_close(handle);
}

TEST(Vxi11ServiceRequests, RequestsAndWaits) {
    const std::vector<std::uint32_t> waitedTwice{createLink, createIntrChan, enableSrq, readStb,
                                                 readStb};
    const std::vector<WaitCase> cases{
        {"nothing comes: the wait times out at its deadline",
         {{Send::nothing, 300, ZEMO_TIMEOUT, 0, noRequestIn300}},
         {createLink, createIntrChan, enableSrq, readStb}},
        {"a request while the client waits",
         {{Send::nothing, 200, ZEMO_TIMEOUT, 0, noRequestIn200},
          {Send::requestDuringTheWait, 10000, ZEMO_OK, 0x50}},
         waitedTwice},
        {"a request while nobody waits is kept for the next wait",
         {{Send::nothing, 200, ZEMO_TIMEOUT, 0, noRequestIn200},
          {Send::request, 10000, ZEMO_OK, 0x50}},
         waitedTwice},
        {"three requests while nobody waits are kept as one",
         {{Send::nothing, 200, ZEMO_TIMEOUT, 0, noRequestIn200},
          {Send::threeRequests, 10000, ZEMO_OK, 0x50},
          {Send::nothing, 300, ZEMO_TIMEOUT, 0, noRequestIn300}},
         waitedTwice},
        {"a request with another handle is ignored",
         {{Send::nothing, 200, ZEMO_TIMEOUT, 0, noRequestIn200},
          {Send::foreignRequest, 300, ZEMO_TIMEOUT, 0, noRequestIn300},
          {Send::request, 10000, ZEMO_OK, 0x50}},
         waitedTwice},
        // The byte it returns has RQS set; a request dealt with already is waited past.
        {"a request whose status byte has no RQS",
         {{Send::nothing, 200, ZEMO_TIMEOUT, 0, noRequestIn200},
          {Send::request, 300, ZEMO_TIMEOUT, 0, noRequestIn300},
          {Send::request, 10000, ZEMO_OK, 0x50}},
         {createLink, createIntrChan, enableSrq, readStb, readStb, readStb},
         {0x10, 0x10, 0x50}},
        {"RQS set already at the first wait",
         {{Send::nothing, 10000, ZEMO_OK, 0x60}},
         {createLink, createIntrChan, enableSrq, readStb},
         {0x60}},
        // The request the status byte shows is not missed for a failing read.
        {"the first wait's status read fails: the next wait reads the status byte again",
         {{Send::nothing, 10000, ZEMO_FAILURE, 0,
           "device_readstb failed: I/O error (VXI-11 error 17)"},
          {Send::nothing, 300, ZEMO_OK, 0x60}},
         {createLink, createIntrChan, enableSrq, readStb, enableSrq, readStb},
         {},
         {{readStb,
           [](const std::string& body, int number) {
               return resultReply(wordAt(body, 0), number == 0
                                                       ? std::vector<std::uint32_t>{17, 0}
                                                       : std::vector<std::uint32_t>{0, 0x60});
           }}}},
        {"create_intr_chan refused: a channel exists already",
         {{Send::nothing, 10000, ZEMO_FAILURE, 0,
           "create_intr_chan failed: channel already established (VXI-11 error 29)"}},
         {createLink, createIntrChan},
         {0x10},
         {{createIntrChan, failWith(29)}}},
        // The second wait does not announce the channel again.
        {"device_enable_srq refused",
         {{Send::nothing, 10000, ZEMO_FAILURE, 0,
           "device_enable_srq failed: operation not supported (VXI-11 error 8)"},
          {Send::nothing, 10000, ZEMO_FAILURE, 0,
           "device_enable_srq failed: operation not supported (VXI-11 error 8)"}},
         {createLink, createIntrChan, enableSrq, enableSrq},
         {0x10},
         {{enableSrq, failWith(8)}}},
        {"over IPv6",
         {{Send::nothing, 10000, ZEMO_FAILURE, 0,
           "service requests over VXI-11 need IPv4: the standard announces the interrupt channel "
           "with an IPv4 address only, and this link runs over IPv6 (::1)"}},
         {createLink},
         {0x10},
         {},
         {AF_INET6, 0}},
    };
    for (const WaitCase& test : cases) {
        SCOPED_TRACE(test.what);
        runWaits(test);
    }
}

// A device that requests service again each time its status byte is read, a byte without RQS,
// as long as it is asked (3 seconds of reads): the wait ends at its deadline all the same.
TEST(Vxi11ServiceRequests, RequestsWithoutRqsWithoutEndEndAtTheDeadline) {
    std::atomic<const ScriptedCore*> device = nullptr;
    std::unique_ptr<Instrument> instrument; // the core's thread alone uses it
    const ScriptedCore core({{readStb, [&](const std::string& body, int number) {
                                  if (number < 150) {
                                      std::this_thread::sleep_for(milliseconds(20));
                                      if (!instrument)
                                          instrument = std::make_unique<Instrument>(*device);
                                      instrument->request();
                                  }
                                  return resultReply(wordAt(body, 0), {0, 0x10});
                              }}});
    device = &core;
    zemo_handle handle = zemo_open(core.name().c_str());
    ASSERT_NE(handle, nullptr) << lastError();
    expectWait(handle, 300, ZEMO_TIMEOUT, 0, noRequestIn300);
    EXPECT_EQ(zemo_close(handle), ZEMO_OK) << lastError();
}

// A peer of the interrupt channel that misbehaves: it does its worst to the channel the client
// announced and returns the descriptors it keeps open meanwhile.
using Attack = std::function<std::vector<int>(const Channel& channel)>;

// Connects and sends BYTES (as much of them as the channel takes at once), keeping the
// connection.
Attack sending(std::string bytes) {
    return [bytes](const Channel& channel) {
        const int fd = connectTo(channel.address, channel.port);
        (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return std::vector<int>{fd};
    };
}

// 300 connections at once, kept.
std::vector<int> flood(const Channel& channel) {
    std::vector<int> fds;
    for (int i = 0; i < 300; ++i)
        fds.push_back(connectTo(channel.address, channel.port, false));
    return fds;
}

std::string garbage() {
    std::string bytes = "GET / HTTP/1.0\r\n\r\n";
    for (int i = 0; i < 1000; ++i)
        bytes += static_cast<char>(i * 37 + 11);
    return bytes;
}

// The call with the client's handle, and others after it, as a peer that sends without end.
Attack foreignCalls() {
    return [](const Channel& channel) {
        std::string calls;
        for (int i = 0; i < 1000; ++i)
            calls += srqCall(otherHandle(channel.handle));
        return sending(calls)(channel);
    };
}

// Half a call with the client's handle, then nothing.
Attack halfACall() {
    return [](const Channel& channel) {
        return sending(srqCall(channel.handle).substr(0, 24))(channel);
    };
}

// Fragments of 16 bytes, none of them the last, past the length of any call.
std::string endlessFragments() {
    std::string bytes;
    for (int i = 0; i < 200; ++i)
        bytes += std::string("\0\0\0\x10", 4) + std::string(16, 'f');
    return bytes;
}

// While a wait of 700 ms runs, each attack comes: the wait times out at its deadline, the
// client keeps at most the listening socket and a few connections of the channel, a request
// afterwards still ends the next wait, and after zemo_close the process has no more threads or
// descriptors than before the open.
TEST(Vxi11ServiceRequests, HostilePeersOfTheInterruptChannel) {
    struct Case {
        const char* what;
        Attack attack;
    };
    const std::vector<Case> cases{
        {"garbage", sending(garbage())},
        {"a record announcing 2 GiB", sending("\xff\xff\xff\xff" + std::string(1000, 'x'))},
        {"fragments past the longest call", sending(endlessFragments())},
        {"300 connections", flood},
        {"silence", sending("")},
        {"half a call, then silence", halfACall()},
        {"a call of another program", sending(record({1, 0, 2, 100000, 2, 3, 0, 0, 0, 0, 7}))},
        {"1000 calls with another handle", foreignCalls()},
    };
    // ThreadSanitizer's runtime starts a thread of its own with the process's first thread: it
    // is started before the threads are counted.
    std::thread([] {}).join();
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const std::size_t threads = entries("/proc/self/task");
        const std::size_t fds = entries("/proc/self/fd");
        {
            std::promise<void> enabled;
            auto enabling = enabled.get_future();
            const ScriptedCore core(
                {{readStb, [&enabled](const std::string& body, int number) {
                      if (number == 0)
                          enabled.set_value();
                      return resultReply(wordAt(body, 0), {0, number == 0 ? 0x10U : 0x50U});
                  }}});
            zemo_handle handle = zemo_open(core.name().c_str());
            ASSERT_NE(handle, nullptr) << lastError();
            const std::size_t fdsOpen = entries("/proc/self/fd");
            auto attacking = std::async(std::launch::async, [&] {
                enabling.wait();
                std::this_thread::sleep_for(milliseconds(100)); // while the client waits
                return test.attack(announced(core));
            });
            expectWait(handle, 700, ZEMO_TIMEOUT, 0, "no service request within 700 ms");
            const std::vector<int> attackers = attacking.get();
            // The listening socket and at most 8 connections.
            EXPECT_LE(entries("/proc/self/fd"), fdsOpen + attackers.size() + 1 + 8);
            for (const int fd : attackers)
                ::close(fd);
            // The instrument connects while the client waits: connections that came while
            // nobody waited may fill the backlog.
            auto requesting = std::async(std::launch::async, [&core] {
                std::this_thread::sleep_for(milliseconds(100));
                Instrument(core).request();
            });
            expectWait(handle, 10000, ZEMO_OK, 0x50, "");
            requesting.get();
            EXPECT_EQ(zemo_close(handle), ZEMO_OK) << lastError();
        }
        EXPECT_EQ(settledEntries("/proc/self/task", threads), threads);
        EXPECT_EQ(settledEntries("/proc/self/fd", fds), fds);
    }
}

} // namespace
} // namespace zemotest
