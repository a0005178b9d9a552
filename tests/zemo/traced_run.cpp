#include "traced_run.h"

#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

namespace zemotest {

namespace {

// The trace file in DIRECTORY.
std::filesystem::path tracePath(const kittest::TempTree& directory) {
    return directory.root() / "trace";
}

// INVOCATION with ZEMO_TRACE naming the trace file in DIRECTORY.
kittest::Invocation traced(kittest::Invocation invocation, const kittest::TempTree& directory) {
    invocation.environment.push_back("ZEMO_TRACE=" + tracePath(directory).string());
    return invocation;
}

// RESULT with the trace that the run left in DIRECTORY.
TracedResult withTrace(kittest::Result result, const kittest::TempTree& directory) {
    const auto path = tracePath(directory);
    return {std::move(result), kittest::readFile(path), std::filesystem::exists(path)};
}

} // namespace

TracedResult runTraced(const kittest::Invocation& invocation) {
    const kittest::TempTree directory;
    return withTrace(kittest::run(traced(invocation, directory)), directory);
}

FedTracedRun::FedTracedRun(const kittest::Invocation& invocation, bool nonBlockingInput)
    : run_(traced(invocation, directory_), nonBlockingInput) {}

std::string FedTracedRun::traceOnceItHolds(std::size_t size) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string trace;
    while ((trace = kittest::readFile(tracePath(directory_))).size() < size &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return trace;
}

TracedResult FedTracedRun::finish() {
    return withTrace(run_.finish(), directory_);
}

} // namespace zemotest
