// Starts zemosim for a test on ports the system chooses, reads the interface names it prints,
// and stops it by its process id when the test is done.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace zemotest {

class SimServer {
  public:
    // Runs zemosim with ARGUMENTS (program name excluded) and waits until it has printed
    // NAMES lines, which it does once every port listens. Throws std::runtime_error with
    // zemosim's own message when it ends instead.
    SimServer(const std::vector<std::string>& arguments, std::size_t names);
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;
    // Stops the server with SIGTERM and waits for it.
    ~SimServer();

    const std::vector<std::string>& names() const { return names_; }
    const std::string& name(std::size_t index) const { return names_.at(index); }
    pid_t pid() const { return pid_; }
    // Stops the server now and returns its exit status (-1 when a signal ended it).
    int stop();

  private:
    pid_t pid_ = -1;
    // zemosim's standard error, kept open while it runs.
    int errors_ = -1;
    std::vector<std::string> names_;
};

// A TCP port on 127.0.0.1 that nothing listens on.
unsigned short closedPort();

} // namespace zemotest
