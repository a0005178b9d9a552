// Handles used from several threads at once: each thread has a link of its own to one zemosim
// and queries an instrument of its own, so that every answer must be the thread's own. The tsan
// preset builds this test, libzemo and zemosim under ThreadSanitizer, where any access to state
// that the handles, or zemosim's connection threads, share without a guard ends the run. It runs
// them with io_sync=0: by default ThreadSanitizer takes every socket call for a synchronisation
// of all threads, which hides such accesses. Handles waiting for service requests at once, each
// on a VXI-11 core channel of the test's own, decode their interrupt channels' calls at once.
#include "scripted_core.h"
#include "sim_server.h"
#include "temp_tree.h"

#include <zemo.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zemotest {
namespace {

// The next line from HANDLE, newline included; empty when a read fails first.
std::string readLine(zemo_handle handle) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        char piece[256];
        uint64_t received = 0;
        if (zemo_read(handle, piece, sizeof piece, 0, &received) != ZEMO_OK)
            return {};
        line.append(piece, received);
    }
    return line;
}

// One thread's work: ROUNDS queries of "*IDN?" on its own link to NAME, each answered IDENTITY.
struct Client {
    std::string name;
    std::string identity;
    int rounds;
};

// Opens the client's interface, asks ROUNDS times and closes it; returns how many rounds went
// wrong (all of them when it cannot open).
int queryRepeatedly(const Client& client) {
    zemo_handle handle = zemo_open(client.name.c_str());
    if (handle == nullptr)
        return client.rounds;
    int wrong = 0;
    for (int round = 0; round < client.rounds; ++round)
        if (zemo_write(handle, "*IDN?\n", 6, ZEMO_END, nullptr) != ZEMO_OK ||
            readLine(handle) != client.identity)
            ++wrong;
    if (zemo_close(handle) != ZEMO_OK)
        ++wrong;
    return wrong;
}

TEST(Threads, HandlesOfTheirOwnServeThreadsAtOnce) {
    const kittest::TempTree files;
    std::vector<std::string> arguments;
    for (const std::string instrument : {"alpha", "beta", "gamma", "delta"})
        arguments.push_back(files.makeFile(instrument + ".inst",
                                           "name " + instrument + "\nidn " + instrument + "\n"));
    SimServer server(arguments, 3 * arguments.size());
    const std::vector<Client> clients{
        {server.name("alpha", "vxi11"), "alpha\n", 5},
        {server.name("beta", "vxi11"), "beta\n", 5},
        {server.name("gamma", "socket"), "gamma\n", 5},
        {server.name("delta", "hislip"), "delta\n", 5},
    };
    std::vector<int> wrong(clients.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < clients.size(); ++c)
        threads.emplace_back([&, c] { wrong[c] = queryRepeatedly(clients[c]); });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(clients.size(), 0));
    // Under ThreadSanitizer, a race that zemosim's threads ran into changes its exit status.
    EXPECT_EQ(server.stop(), 0);
}

// Opens a handle to CORE, waits once for nothing (which enables requests), requests service on
// the interrupt channel, waits for it and closes; returns how many steps went wrong.
int waitForARequest(const ScriptedCore& core) {
    zemo_handle handle = zemo_open(core.name().c_str());
    if (handle == nullptr)
        return 1;
    std::uint8_t stb = 0;
    int wrong = zemo_wait_srq(handle, 100, &stb) == ZEMO_TIMEOUT ? 0 : 1;
    try {
        Instrument(core).request();
    } catch (const std::runtime_error&) {
        ++wrong;
    }
    wrong += zemo_wait_srq(handle, 5000, &stb) == ZEMO_OK && stb == 0x50 ? 0 : 1;
    return wrong + (zemo_close(handle) == ZEMO_OK ? 0 : 1);
}

TEST(Threads, ServiceRequestWaitsAtOnce) {
    std::vector<std::unique_ptr<ScriptedCore>> cores;
    for (int c = 0; c < 4; ++c)
        cores.push_back(std::make_unique<ScriptedCore>(
            std::map<std::uint32_t, Script>{{13, statusBytes({0x10, 0x50})}}));
    std::vector<int> wrong(cores.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < cores.size(); ++c)
        threads.emplace_back([&, c] { wrong[c] = waitForARequest(*cores[c]); });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(cores.size(), 0));
}

} // namespace
} // namespace zemotest
