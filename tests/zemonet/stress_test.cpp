// zemosim under load: clients over every protocol query one instrument at once, and a client
// that sends a query and leaves is followed by one that reads without asking, 200 times, while
// threads keep every processor busy. Each answer must reach the client that asked, or the reader
// that follows its sender, and no other; none may be lost. Every query is "DATA? N" with an N of
// its own, so that the block header names the query it answers. A pseudo-terminal client queries
// along with the others.
#include "sim_server.h"
#include "temp_tree.h"

#include <zemo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zemotest {
namespace {

// Spins a thread on every processor until destroyed.
class BusyProcessors {
  public:
    BusyProcessors() {
        for (unsigned i = 0; i < std::max(1U, std::thread::hardware_concurrency()); ++i)
            threads_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
    }
    BusyProcessors(const BusyProcessors&) = delete;
    BusyProcessors& operator=(const BusyProcessors&) = delete;
    ~BusyProcessors() {
        stop_ = true;
        for (auto& thread : threads_)
            thread.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// A handle opened with a timeout long enough for a loaded machine, closed when done.
class Handle {
  public:
    explicit Handle(const std::string& name) : handle_(zemo_open(name.c_str())) {
        if (handle_ != nullptr)
            zemo_set_timeout(handle_, 5000);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle_ != nullptr)
            zemo_close(handle_);
    }
    bool ok() const { return handle_ != nullptr; }

    bool ask(std::uint64_t count) {
        const std::string query = "DATA? " + std::to_string(count) + "\n";
        return zemo_write(handle_, query.data(), query.size(), ZEMO_END, nullptr) == ZEMO_OK;
    }

    // The N of the "DATA? N" block read next, or -1 when none comes whole.
    long long readBlock() {
        std::string start;
        if (!readExactly(start, 2) || start[0] != '#' || start[1] < '1' || start[1] > '9')
            return -1;
        std::string digits;
        if (!readExactly(digits, static_cast<std::size_t>(start[1] - '0')))
            return -1;
        const long long count = std::stoll(digits);
        std::string rest;
        if (!readExactly(rest, static_cast<std::size_t>(count) + 1) || rest.back() != '\n')
            return -1;
        return count;
    }

  private:
    bool readExactly(std::string& out, std::size_t size) {
        out.resize(size);
        for (std::size_t done = 0; done < size;) {
            std::uint64_t received = 0;
            if (zemo_read(handle_, out.data() + done, size - done, 0, &received) != ZEMO_OK)
                return false;
            done += received;
        }
        return true;
    }

    zemo_handle handle_;
};

// ROUNDS queries on one handle to NAME, each for a block of its own size from FIRST on; the
// rounds left when one was not answered with its own block (the rest are not tried, so that a
// fault costs one timeout).
int queryRepeatedly(const std::string& name, std::uint64_t first, int rounds) {
    Handle handle(name);
    for (int round = 0; round < rounds; ++round) {
        const std::uint64_t count = first + static_cast<std::uint64_t>(round);
        if (!handle.ok() || !handle.ask(count) ||
            handle.readBlock() != static_cast<long long>(count))
            return rounds - round;
    }
    return 0;
}

// ROUNDS times, a client opens NAME, sends a query and leaves, and the next opens it and reads
// without asking; the rounds left when a reader did not get its sender's answer.
int sendThenReceive(const std::string& name, std::uint64_t first, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const std::uint64_t count = first + static_cast<std::uint64_t>(round);
        // The sender's handle closes before the reader's opens.
        const bool asked = Handle(name).ask(count);
        if (!asked || Handle(name).readBlock() != static_cast<long long>(count))
            return rounds - round;
    }
    return 0;
}

struct Work {
    const char* what;
    const char* instrument;
    const char* protocol;
    int (*run)(const std::string&, std::uint64_t, int);
    int rounds;
};

TEST(Stress, EveryAnswerReachesItsClientUnderLoad) {
    const kittest::TempTree files;
    std::vector<std::string> arguments{"-p"};
    for (const std::string instrument : {"shared", "vxi", "sock", "hs"})
        arguments.push_back(files.makeFile(instrument + ".inst", "name " + instrument + "\n"));
    // Per instrument its VXI-11, socket, serial and HiSLIP names.
    SimServer server(arguments, 4 * 4);
    // Each sender and its reader have an instrument of their own, since a reader that has not
    // asked takes whatever answer a client accepted before it left on its instrument. The
    // pseudo-terminal has no sender and reader: the server sees neither a client's reads nor its
    // discarding of stale input, and a client that opens the line right after another closed it
    // may be taken for the same one (see zemosim(1)).
    const Work work[]{
        {"VXI-11 client 1", "shared", "vxi11", queryRepeatedly, 40},
        {"VXI-11 client 2", "shared", "vxi11", queryRepeatedly, 40},
        {"socket client 1", "shared", "socket", queryRepeatedly, 40},
        {"socket client 2", "shared", "socket", queryRepeatedly, 40},
        {"HiSLIP client 1", "shared", "hislip", queryRepeatedly, 40},
        {"HiSLIP client 2", "shared", "hislip", queryRepeatedly, 40},
        {"serial client", "shared", "serial", queryRepeatedly, 40},
        {"VXI-11 sender and reader", "vxi", "vxi11", sendThenReceive, 200},
        {"socket sender and reader", "sock", "socket", sendThenReceive, 200},
        {"HiSLIP sender and reader", "hs", "hislip", sendThenReceive, 200},
    };
    std::vector<int> wrong(std::size(work), 0);
    {
        const BusyProcessors busy;
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < std::size(work); ++i)
            threads.emplace_back([&, i] {
                const std::string name = server.name(work[i].instrument, work[i].protocol);
                wrong[i] = work[i].run(name, 1000 * (i + 1), work[i].rounds);
            });
        for (auto& thread : threads)
            thread.join();
    }
    for (std::size_t i = 0; i < std::size(work); ++i)
        EXPECT_EQ(wrong[i], 0) << work[i].what << ": rounds left at the first wrong one, of "
                               << work[i].rounds;
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
} // namespace zemotest
