// The serial transport: an instrument on a terminal device (an on-board UART, a USB-serial
// adapter, a pseudo-terminal). The line is taken for this process alone and put into raw mode
// with the interface's settings; the previous settings come back on close. The line carries no
// message end and no device clear: a read ends at the response's termination sequence, and a
// clear discards what waits in either direction. The status byte and the trigger are emulated by
// "*STB?" and "*TRG"; the line is already this process's alone, so a lock is granted at once.
#include "serial_line.h"
#include "transport.h"
#include "zemonet/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace zemo {

namespace {

const std::string settingForms =
    "baud=N, format=DPS, flow=none|rtscts|xonxoff or term=lf|cr|crlf|none";
// With term=none a read ends once the line has been quiet this long after a byte, or for the
// time of quietCharacters characters when that is longer (at slow rates).
constexpr Milliseconds shortestQuietGap{50};
constexpr unsigned quietCharacters = 10;
// How often close looks whether the output has left the line.
constexpr Milliseconds drainCheck{2};
constexpr std::size_t readPiece = 65536;

// What an interface name asks for: the device and its settings.
struct SerialAddress {
    std::string path;
    LineFormat format;
    // The end of a response; empty for term=none.
    std::string termination = "\n";
};

void parseBaud(std::string_view value, LineFormat& format) {
    const auto baud = wholeNumber(value);
    if (!baud || *baud == 0 || *baud > std::numeric_limits<unsigned>::max())
        throw failure("invalid baud rate '" + std::string(value) +
                      "'; expected baud=N with N bits per second above 0");
    format.baud = static_cast<unsigned>(*baud);
}

// "DPS": data bits 5 to 8, parity N, E, O, M or S (either case), stop bits 1 or 2.
void parseFormat(std::string_view value, LineFormat& format) {
    static constexpr std::string_view parities = "NEOMS";
    const auto parity = value.size() == 3 ? parities.find(static_cast<char>(std::toupper(value[1])))
                                          : std::string_view::npos;
    if (parity == std::string_view::npos || value[0] < '5' || value[0] > '8' ||
        (value[2] != '1' && value[2] != '2'))
        throw failure("invalid format '" + std::string(value) +
                      "'; expected format=DPS with data bits 5 to 8, parity N, E, O, M or S and "
                      "stop bits 1 or 2, e.g. format=8N1");
    format.dataBits = static_cast<unsigned>(value[0] - '0');
    format.parity = static_cast<Parity>(parity);
    format.stopBits = static_cast<unsigned>(value[2] - '0');
}

void parseFlow(std::string_view value, LineFormat& format) {
    if (value == "none")
        format.flow = FlowControl::none;
    else if (value == "rtscts")
        format.flow = FlowControl::rtscts;
    else if (value == "xonxoff")
        format.flow = FlowControl::xonxoff;
    else
        throw failure("invalid flow control '" + std::string(value) +
                      "'; expected flow=none|rtscts|xonxoff");
}

std::string parseTermination(std::string_view value) {
    if (value == "lf")
        return "\n";
    if (value == "cr")
        return "\r";
    if (value == "crlf")
        return "\r\n";
    if (value == "none")
        return "";
    throw failure("invalid termination '" + std::string(value) +
                  "'; expected term=lf|cr|crlf|none");
}

// Applies one "NAME=VALUE" to ADDRESS; NAMES holds the names given before.
void parseSetting(std::string_view setting, SerialAddress& address, std::set<std::string>& names) {
    const auto equals = setting.find('=');
    if (equals == std::string_view::npos)
        throw failure("malformed setting '" + std::string(setting) +
                      "'; expected NAME=VALUE after the device, as in " +
                      std::string(serialTransport.form) + ", with " + settingForms);
    const std::string name(setting.substr(0, equals));
    const std::string_view value = setting.substr(equals + 1);
    if (name == "baud")
        parseBaud(value, address.format);
    else if (name == "format")
        parseFormat(value, address.format);
    else if (name == "flow")
        parseFlow(value, address.format);
    else if (name == "term")
        address.termination = parseTermination(value);
    else
        throw failure("unknown setting '" + name + "'; expected " + settingForms);
    if (!names.insert(name).second)
        throw failure("setting '" + name + "' given twice; expected each at most once");
}

// Where the settings begin after the device: at the first "/" whose component holds an "=",
// or at the end.
std::size_t settingsStart(std::string_view address) {
    for (auto slash = address.find('/', 1); slash != std::string_view::npos;
         slash = address.find('/', slash + 1)) {
        const std::string_view component =
            address.substr(slash + 1, address.find('/', slash + 1) - slash - 1);
        if (component.find('=') != std::string_view::npos)
            return slash;
    }
    return address.size();
}

// Reads "DEVICE[/SETTING]...": DEVICE is a path under /dev or an absolute path.
SerialAddress parseAddress(std::string_view address) {
    if (address.empty() || address == "/")
        throw failure("missing device; " + serialTransport.expected());
    const std::size_t split = settingsStart(address);
    SerialAddress result;
    const std::string_view device = address.substr(0, split);
    result.path = address.front() == '/' ? std::string(device) : "/dev/" + std::string(device);
    std::set<std::string> names;
    for (std::size_t start = split; start < address.size();) {
        const auto end = std::min(address.find('/', start + 1), address.size());
        parseSetting(address.substr(start + 1, end - start - 1), result, names);
        start = end;
    }
    return result;
}

// How long the line must be quiet to end a read with term=none.
Milliseconds quietGap(const LineFormat& format) {
    const unsigned bits =
        1 + format.dataBits + (format.parity == Parity::none ? 0 : 1) + format.stopBits;
    const auto characters =
        Milliseconds{(quietCharacters * bits * 1000ULL + format.baud - 1) / format.baud};
    return std::max(shortestQuietGap, characters);
}

Error inUse(const std::string& path) {
    return failure(path + " is in use by another process");
}

class SerialTransport final : public Transport {
  public:
    SerialTransport(FileDescriptor line, std::string path, std::unique_ptr<SavedLine> saved,
                    std::string termination)
        : line_(std::move(line)), path_(std::move(path)), saved_(std::move(saved)),
          termination_(std::move(termination)) {}

    ~SerialTransport() override {
        if (!taken_ || !line_.valid())
            return;
        try {
            saved_->restore(line_.get());
        } catch (const Error&) {
            // The handle goes away whatever the line says.
        }
        ::ioctl(line_.get(), TIOCNXCL);
    }

    // Takes the line for this process, applies FORMAT and discards stale input.
    void start(const LineFormat& format) {
        if (::flock(line_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                throw inUse(path_);
            throw failure("cannot lock " + path_ + ": " + systemError(errno));
        }
        taken_ = true;
        if (::ioctl(line_.get(), TIOCEXCL) != 0)
            throw failure("TIOCEXCL on " + path_ + " failed: " + systemError(errno));
        applyLineFormat(line_.get(), format, path_);
        quietGap_ = quietGap(format);
        flush(TCIFLUSH);
    }

    void setTimeout(Milliseconds timeout) override { timeout_ = timeout; }

    // Writes every byte of DATA within one timeout for the whole write.
    void write(std::span<const std::byte> data, bool) override {
        const auto deadline = Clock::now() + timeout_;
        const std::size_t total = data.size();
        while (!data.empty()) {
            if (!waitReady(line_.get(), POLLOUT, deadline))
                throw timeout("the line took " + std::to_string(total - data.size()) + " of " +
                              std::to_string(total) + " bytes within " + timeoutText());
            const ssize_t written = ::write(line_.get(), data.data(), data.size());
            if (written < 0 && errno != EINTR && errno != EAGAIN)
                throw failure("write " + path_ + ": " + systemError(errno));
            data = data.subspan(static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
        }
    }

    // Returns once the termination has arrived (it ends the bytes returned), the buffer is
    // full, or the timeout has passed with some bytes; with term=none, once the line has been
    // quiet for the gap after a byte. Without any byte in time it is a timeout.
    // The reason is the termination character when the termination ended the read, the count
    // when the bytes fill the buffer.
    ReadResult read(std::span<std::byte> buffer) override {
        if (buffer.empty())
            return {};
        const auto deadline = Clock::now() + timeout_;
        for (std::size_t searched = 0;;) {
            if (const auto end = messageEnd(searched, buffer.size()))
                return {deliver(buffer, *end),
                        reasonTermChar | (*end == buffer.size() ? reasonCount : 0)};
            const std::size_t held = input_.size() - start_;
            if (held >= buffer.size())
                return {deliver(buffer, buffer.size()), reasonCount};
            searched = held;
            if (!awaitInput(held, deadline)) {
                if (held == 0)
                    throw timeout("no data from the instrument within " + timeoutText());
                return {deliver(buffer, held), 0};
            }
            receive();
        }
    }

    // The line is this process's alone from the open on: a lock is held already.
    void lock(Milliseconds) override {}
    void unlock() override {}

    // Discards what waits in both directions, here and in the driver.
    void clear() override {
        flush(TCIOFLUSH);
        input_.clear();
        start_ = 0;
        lastDelivered_ = 0;
    }

    // Lets pending output drain (within the timeout; the rest is discarded and reported),
    // restores the previous settings and releases the line.
    void close() override {
        std::optional<Error> problem;
        try {
            drain(Clock::now() + timeout_);
        } catch (const Error& error) {
            problem = error;
            ::tcflush(line_.get(), TCOFLUSH);
        }
        try {
            saved_->restore(line_.get());
        } catch (const Error& error) {
            if (!problem)
                problem = error;
        }
        ::ioctl(line_.get(), TIOCNXCL);
        line_.reset();
        if (problem)
            throw *problem;
    }

  private:
    std::string timeoutText() const { return millisecondsText(timeout_); }

    void flush(int queues) {
        if (::tcflush(line_.get(), queues) != 0)
            throw failure("tcflush " + path_ + ": " + systemError(errno));
    }

    // The length of the held bytes up to and including the first termination that ends within
    // LIMIT bytes, looking from SEARCHED on (a termination may straddle it, or begin with the
    // last byte the previous read returned).
    std::optional<std::size_t> messageEnd(std::size_t searched, std::size_t limit) const {
        if (termination_.empty() || start_ == input_.size())
            return std::nullopt;
        const std::string_view held = std::string_view(input_).substr(start_);
        if (termination_.size() == 2 && searched == 0 && lastDelivered_ == termination_[0] &&
            held.front() == termination_[1])
            return 1;
        const std::size_t from =
            searched >= termination_.size() ? searched - termination_.size() + 1 : 0;
        const auto found = held.find(termination_, from);
        if (found == std::string_view::npos || found + termination_.size() > limit)
            return std::nullopt;
        return found + termination_.size();
    }

    // Waits for input: until DEADLINE, or with term=none and HELD bytes, until the line has
    // been quiet for the gap. False when nothing came.
    bool awaitInput(std::size_t held, Clock::time_point deadline) const {
        if (termination_.empty() && held > 0)
            deadline = std::min(deadline, lastArrival_ + quietGap_);
        return waitReady(line_.get(), POLLIN, deadline);
    }

    // Appends what the line has to the held bytes, first dropping those already returned.
    void receive() {
        input_.erase(0, start_);
        start_ = 0;
        const std::size_t old = input_.size();
        input_.resize(old + readPiece);
        const ssize_t got = ::read(line_.get(), input_.data() + old, readPiece);
        input_.resize(old + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got > 0)
            lastArrival_ = Clock::now();
        else if (got == 0)
            throw failure("read " + path_ + ": the line hung up");
        else if (errno != EINTR && errno != EAGAIN)
            throw failure("read " + path_ + ": " + systemError(errno));
    }

    // Moves the first COUNT held bytes to BUFFER and returns COUNT.
    std::size_t deliver(std::span<std::byte> buffer, std::size_t count) {
        std::memcpy(buffer.data(), input_.data() + start_, count);
        lastDelivered_ = input_[start_ + count - 1];
        start_ += count;
        return count;
    }

    // Waits until the driver has sent what was written, or throws at DEADLINE.
    void drain(Clock::time_point deadline) const {
        for (;;) {
            int queued = 0;
            if (::ioctl(line_.get(), TIOCOUTQ, &queued) != 0)
                throw failure("drain " + path_ + ": " + systemError(errno));
            if (queued == 0 && transmitterEmpty())
                return;
            if (Clock::now() >= deadline)
                throw timeout(std::to_string(queued) + " bytes not sent within " + timeoutText() +
                              "; discarded");
            std::this_thread::sleep_for(std::min(drainCheck, remaining(deadline)));
        }
    }

    // True when the UART has shifted out its last byte, or cannot tell (USB adapters,
    // pseudo-terminals).
    bool transmitterEmpty() const {
        unsigned status = 0;
        return ::ioctl(line_.get(), TIOCSERGETLSR, &status) != 0 || (status & TIOCSER_TEMT) != 0;
    }

    FileDescriptor line_;
    std::string path_;
    std::unique_ptr<SavedLine> saved_;
    // Set once the line is ours: only then are its settings and exclusivity ours to undo.
    bool taken_ = false;
    std::string termination_;
    Milliseconds timeout_ = defaultTimeout;
    Milliseconds quietGap_ = shortestQuietGap;
    // Bytes read from the line and not yet returned, from start_ on.
    std::string input_;
    std::size_t start_ = 0;
    char lastDelivered_ = 0;
    Clock::time_point lastArrival_;
};

std::unique_ptr<Transport> openSerial(std::string_view address) {
    const SerialAddress parsed = parseAddress(address);
    FileDescriptor line(aboveStandardStreams(
        ::open(parsed.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)));
    if (!line.valid()) {
        if (errno == EBUSY)
            throw inUse(parsed.path);
        throw failure("cannot open " + parsed.path + ": " + systemError(errno));
    }
    auto saved = std::make_unique<SavedLine>(line.get(), parsed.path);
    auto transport = std::make_unique<SerialTransport>(std::move(line), parsed.path,
                                                       std::move(saved), parsed.termination);
    transport->start(parsed.format);
    return transport;
}

} // namespace

const TransportEntry serialTransport{"serial", "serial/DEVICE[/SETTING]...", openSerial};

} // namespace zemo
