// Pseudo-terminals: each instrument answers on one as it would on a serial line, lines in and
// answers out. zemosim holds the master for its whole run; clients open and close the slave.
// The client that has the slave open is a connection like any other, numbered when the server
// sees it open the line; answers flow to it once it has had the settle time to apply its
// settings and discard stale input. While no client has the slave open the master reports a
// hang-up: then the server only reads what the last client left and looks again after a pause.
// When a client leaves, what it left unread in the line is read back, and those bytes of its
// answers become unclaimed.
#include "engine.h"
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

class TerminalServer {
  public:
    TerminalServer(const Terminal& terminal, Instrument& instrument)
        : terminal_(terminal), instrument_(instrument), output_(largestTerminalPiece) {}

    [[noreturn]] void serve() {
        for (;;) {
            // Without a client, only a poll that ends without a hang-up tells that one came.
            auto wakeAt = present_ ? Clock::time_point::max() : Clock::now() + terminalIdleCheck;
            // Output goes out as soon as it is taken, piece after piece, while the line has
            // room; then poll waits for more room.
            while (present_ && pump_.empty()) {
                wakeAt = fillOutput();
                if (pump_.empty())
                    break;
                sendOutput();
            }
            pollfd entries[2] = {{terminal_.master.get(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
            if (!pump_.empty()) {
                entries[0].events |= POLLOUT;
                wakeAt = std::min(wakeAt, Clock::now() + terminalIdleCheck);
            }
            if (::poll(entries, 2, pollWait(wakeAt)) < 0)
                continue;
            if ((entries[1].revents & POLLIN) != 0)
                wake_.consume();
            const short events = entries[0].revents;
            const bool hungUp = (events & POLLHUP) != 0;
            if (!hungUp && !present_)
                clientArrived();
            // Input found while no client was seen is that of one that came and went between two
            // looks; when it came is unknown, so its answers are nobody's, for any reader.
            if ((events & POLLIN) != 0)
                receiveCommands();
            if (hungUp) {
                if (present_)
                    clientLeft();
                if ((events & POLLIN) == 0)
                    std::this_thread::sleep_for(terminalIdleCheck);
                continue;
            }
            if ((events & POLLOUT) != 0)
                sendOutput();
        }
    }

  private:
    void clientArrived() {
        present_ = true;
        arrived_ = Clock::now();
        self_ = instrument_.join(nextConnectionNumber(), Reading::streamed, wake_.fd());
    }

    // Carries out what the client sent last, reads back what it left unread in the line, and
    // lets the instrument know that those bytes of its answers, and any not yet written, went
    // unread.
    void clientLeft() {
        while (receiveCommands()) {
        }
        const std::uint64_t unread = unreadInLine() + pump_.left();
        pump_.drop();
        instrument_.leave(self_, unread);
        self_ = 0;
        present_ = false;
    }

    // The bytes still waiting in the slave to be read: read and discarded, counted.
    std::uint64_t unreadInLine() const {
        const FileDescriptor slave(
            ::open(terminal_.slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        std::uint64_t count = 0;
        char data[65536];
        for (ssize_t received; slave.valid() &&
                               (received = ::read(slave.get(), data, sizeof data)) > 0;)
            count += static_cast<std::uint64_t>(received);
        return count;
    }

    // Once the client has settled, takes the next output that is ready into the pump; returns
    // when to look again.
    Clock::time_point fillOutput() {
        const auto settled = arrived_ + terminalSettleTime;
        if (Clock::now() < settled)
            return settled;
        auto readyAt = Clock::time_point::max();
        if (const auto piece = instrument_.takeFor(self_, output_, readyAt))
            pump_.start(std::span<const char>(output_.data(), piece->size));
        return readyAt;
    }

    // Reads what the client sent and executes each complete line; false when there was
    // nothing to read.
    bool receiveCommands() {
        char data[65536];
        const ssize_t received = ::read(terminal_.master.get(), data, sizeof data);
        if (received <= 0)
            return false;
        input_.append(std::string_view(data, static_cast<std::size_t>(received)));
        const Effect effect = input_.run(instrument_, self_);
        if (effect.dropConnection || effect.hangUpAfterReply || input_.size() > longestTerminalLine)
            hangUp();
        return true;
    }

    // Hangs up every descriptor a client holds on the slave, as when the line goes dead: their
    // reads end and their writes fail with EIO. The slave can be opened again at once.
    void hangUp() {
        input_.clear();
        pump_.drop();
        const FileDescriptor slave(
            ::open(terminal_.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (slave.valid() && ::ioctl(slave.get(), TIOCNXCL) == 0 &&
            ::ioctl(slave.get(), TIOCVHANGUP) == 0)
            return;
        std::cerr << "zemosim: cannot hang up " << terminal_.slave << ": "
                  << zemo::systemError(errno) << " (hanging up a terminal takes CAP_SYS_ADMIN)\n";
    }

    // Writes what the line takes of the pump; once it has all, the next piece is taken at once.
    void sendOutput() {
        int error = 0;
        pump_.sendSome(terminal_.master.get(), error);
    }

    const Terminal& terminal_;
    Instrument& instrument_;
    WakeUp wake_;
    CommandInput input_;
    std::vector<char> output_;
    OutputPump pump_;
    bool present_ = false;
    ClientId self_ = 0;
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

namespace {

// Pseudo-terminals, with -p: one for each instrument.
class SerialProtocol : public Protocol {
  public:
    void open(const ServeOptions& options, const Instruments& instruments) override {
        for (std::size_t i = 0; options.pseudoTerminals && i < instruments.size(); ++i)
            terminals_.push_back(openTerminal());
    }

    std::vector<InterfaceName> names(std::size_t i) const override {
        if (i >= terminals_.size())
            return {};
        return {{"serial", "serial/" + terminals_[i].slave}};
    }

    void start(const Instruments& instruments) override {
        for (std::size_t i = 0; i < terminals_.size(); ++i)
            std::thread([&terminal = terminals_[i], &instrument = *instruments[i]] {
                serveTerminal(terminal, instrument);
            }).detach();
    }

  private:
    std::vector<Terminal> terminals_;
};

} // namespace

std::unique_ptr<Protocol> serialProtocol() {
    return std::make_unique<SerialProtocol>();
}

} // namespace zemosim
