// Runs zemosend, zemorecv and zemoreset with libzemo's call trace in a file of the run's own,
// and collects the trace beside what the program wrote.
#pragma once

#include "run_program.h"

#include <cstddef>
#include <string>

namespace zemotest {

// What a traced run left behind.
struct TracedResult : kittest::Result {
    std::string trace;        // the trace file's text, empty when the file was not created
    bool traceExists = false; // whether the library created the trace file
};

// Runs INVOCATION to its end with ZEMO_TRACE naming a file of the run's own.
TracedResult runTraced(const kittest::Invocation& invocation);

// A traced program with a pipe as its standard input, which the test feeds piece by piece.
class FedTracedRun {
  public:
    // Starts INVOCATION as kittest::FedRun does, with ZEMO_TRACE naming a file of its own.
    explicit FedTracedRun(const kittest::Invocation& invocation, bool nonBlockingInput = false);

    // Writes BYTES, all of them, to the program's standard input.
    void feed(const std::string& bytes) { run_.feed(bytes); }
    // Waits until the trace holds at least SIZE bytes, at most 10 seconds, and returns it.
    std::string traceOnceItHolds(std::size_t size) const;
    // Ends the program's input, waits for its end and collects what it wrote. Call it once.
    TracedResult finish();

  private:
    kittest::TempTree directory_;
    kittest::FedRun run_;
};

} // namespace zemotest
