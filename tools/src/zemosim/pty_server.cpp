// Pseudo-terminals: each instrument answers on one as it would on a serial line, lines in and
// its output queue out. zemosim holds the master for its whole run; clients open and close the
// slave. While no client has the slave open the master reports a hang-up: then the server only
// reads what the last client left and looks again after a pause, and it sends no output, which
// would wait in the line and be discarded by the next client's open.
#include "server.h"
#include "zemonet/error.h"

#include <cerrno>
#include <iostream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace zemosim {

namespace {

// How often the server looks for a client and for output queued through another interface.
constexpr Milliseconds idleCheck{20};
// A client that has just opened the line gets this long to apply its settings and discard stale
// input before answers flow.
constexpr Milliseconds settleTime{50};
// A line longer than this is no command; the line is hung up.
constexpr std::size_t longestLine = 1 << 20;
constexpr std::size_t outputPiece = 64 * 1024;

class TerminalServer {
  public:
    TerminalServer(const Terminal& terminal, Instrument& instrument)
        : terminal_(terminal), instrument_(instrument), output_(outputPiece) {}

    [[noreturn]] void serve() {
        for (;;) {
            pollfd entry{terminal_.master.get(), POLLIN, 0};
            if (!pending_.empty())
                entry.events |= POLLOUT;
            if (::poll(&entry, 1, static_cast<int>(idleCheck.count())) < 0)
                continue;
            if ((entry.revents & POLLIN) != 0)
                receiveCommands();
            if ((entry.revents & POLLHUP) != 0) {
                clientLeft();
                if ((entry.revents & POLLIN) == 0)
                    std::this_thread::sleep_for(idleCheck);
                continue;
            }
            clientHere();
            if ((entry.revents & POLLOUT) != 0)
                sendOutput();
        }
    }

  private:
    void clientLeft() {
        present_ = false;
        pending_ = {};
    }

    // Notes a client's arrival and, once it has settled, takes the next ready output.
    void clientHere() {
        const auto now = Clock::now();
        if (!present_) {
            present_ = true;
            arrived_ = now;
        }
        if (pending_.empty() && now - arrived_ >= settleTime) {
            if (const auto piece = instrument_.take(output_, std::nullopt, now))
                pending_ = std::span<const char>(output_.data(), piece->size);
        }
    }

    // Reads what the client sent and executes each complete line.
    void receiveCommands() {
        char data[65536];
        const ssize_t received = ::read(terminal_.master.get(), data, sizeof data);
        if (received <= 0)
            return;
        input_.append(data, static_cast<std::size_t>(received));
        std::size_t start = 0;
        for (auto end = input_.find('\n'); end != std::string::npos;
             end = input_.find('\n', start)) {
            const Effect effect = instrument_.execute(
                std::string_view(input_).substr(start, end - start), ownAnswerHold);
            if (effect.dropConnection || effect.hangUpAfterReply)
                return hangUp();
            start = end + 1;
        }
        input_.erase(0, start);
        if (input_.size() > longestLine)
            hangUp();
    }

    // Hangs up every descriptor a client holds on the slave, as when the line goes dead: their
    // reads end and their writes fail with EIO. The slave can be opened again at once.
    void hangUp() {
        input_.clear();
        pending_ = {};
        const FileDescriptor slave(
            ::open(terminal_.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (slave.valid() && ::ioctl(slave.get(), TIOCNXCL) == 0 &&
            ::ioctl(slave.get(), TIOCVHANGUP) == 0)
            return;
        std::cerr << "zemosim: cannot hang up " << terminal_.slave << ": "
                  << zemo::systemError(errno) << " (hanging up a terminal takes CAP_SYS_ADMIN)\n";
    }

    void sendOutput() {
        const ssize_t sent = ::write(terminal_.master.get(), pending_.data(), pending_.size());
        if (sent > 0)
            pending_ = pending_.subspan(static_cast<std::size_t>(sent));
    }

    const Terminal& terminal_;
    Instrument& instrument_;
    std::string input_;
    std::vector<char> output_;
    std::span<const char> pending_;
    bool present_ = false;
    Clock::time_point arrived_;
};

[[noreturn]] void fail(const std::string& what) {
    const int number = errno;
    throw std::runtime_error(what + ": " + zemo::systemError(number));
}

} // namespace

Terminal openTerminal() {
    Terminal terminal{FileDescriptor(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)), {}};
    if (!terminal.master.valid() || ::grantpt(terminal.master.get()) != 0 ||
        ::unlockpt(terminal.master.get()) != 0)
        fail("cannot open a pseudo-terminal");
    char name[128];
    if (::ptsname_r(terminal.master.get(), name, sizeof name) != 0)
        fail("cannot name the pseudo-terminal");
    terminal.slave = name;
    // Raw from the start: an echo would return the instrument's answers to it as commands. The
    // slave keeps its settings while the master is open. Once closed, it leaves the master
    // reporting a hang-up until a client opens it.
    const FileDescriptor slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios settings{};
    if (!slave.valid() || ::tcgetattr(slave.get(), &settings) != 0)
        fail("cannot open " + terminal.slave);
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(slave.get(), TCSANOW, &settings) != 0 ||
        ::fcntl(terminal.master.get(), F_SETFL, O_NONBLOCK) != 0)
        fail("cannot set up " + terminal.slave);
    return terminal;
}

void serveTerminal(const Terminal& terminal, Instrument& instrument) {
    TerminalServer(terminal, instrument).serve();
}

} // namespace zemosim
