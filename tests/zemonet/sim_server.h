// Starts zemosim for a test on ports the system chooses, reads the interface names it prints
// with -l (each labelled with its instrument and protocol), and stops it by its process id when
// the test is done.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace zemotest {

// One line that zemosim -l prints.
struct ServedName {
    std::string instrument;
    std::string protocol;
    std::string name;
};

class SimServer {
  public:
    // Runs zemosim -l with ARGUMENTS (program name excluded) and waits until it has printed
    // NAMES lines, which it does once every port listens. Throws std::runtime_error with
    // zemosim's own message when it ends instead, or when a line is not 'INSTRUMENT PROTOCOL
    // NAME'.
    // Without LABELLED, runs zemosim without -l and keeps each line as a name alone.
    SimServer(const std::vector<std::string>& arguments, std::size_t names, bool labelled = true);
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;
    // Stops the server with SIGTERM and waits for it.
    ~SimServer();

    const std::vector<ServedName>& names() const { return names_; }
    // The name of INSTRUMENT (its device name, such as "inst0") over PROTOCOL ("vxi11",
    // "vxi11-portmap", "socket", "serial" or "hislip"). Throws std::out_of_range when zemosim
    // printed none.
    const std::string& name(const std::string& instrument, const std::string& protocol) const;
    pid_t pid() const { return pid_; }
    // Stops the server now and returns its exit status (-1 when a signal ended it).
    int stop();

  private:
    pid_t pid_ = -1;
    // zemosim's standard error, kept open while it runs.
    int errors_ = -1;
    std::vector<ServedName> names_;
};

// LINE, as zemosim -l prints it, cut into its three fields. Throws std::runtime_error for a line
// of another form.
ServedName servedName(const std::string& line);

// A TCP port on 127.0.0.1 that nothing listens on.
unsigned short closedPort();

} // namespace zemotest
