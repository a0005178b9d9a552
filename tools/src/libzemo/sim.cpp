// Simulated instruments, the transport "sim": sim/sink, sim/source and sim/echo, with
// parameters that cap reads and inject faults. The section INTERFACE NAMES of zemo(3) gives
// their grammar and what each does; expectedForm is the short form that messages quote.
// Simulated timeouts are reported at once; the instrument never waits. Each instrument has the
// status byte's MAV bit and a lock of its own, and takes triggers and remote/local control.
#include "transport.h"
#include "zemonet/text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace zemo {

namespace {

enum class Call {
    open,
    timeout,
    write,
    read,
    clear,
    close,
    stb,
    trigger,
    lock,
    unlock,
    remote,
    local
};

constexpr std::array<std::string_view, 12> callNames{"open",  "timeout", "write",  "read",
                                                     "clear", "close",   "stb",    "trigger",
                                                     "lock",  "unlock",  "remote", "local"};

constexpr std::string_view expectedForm =
    "expected sim/sink, sim/source or sim/echo, each optionally followed by "
    "/chunks=N[,N...], /fail=CALL[@N] or /timeout=CALL[@N]";

// The message-available bit of the status byte.
constexpr std::uint8_t messageAvailable = 0x10;

// An injected fault: CALL fails as KIND from its FIRSTFAILING-th call on.
struct Fault {
    Error::Kind kind;
    Call call;
    std::uint64_t firstFailing;
};

struct Settings {
    std::vector<std::uint64_t> chunks;
    std::vector<Fault> faults;
};

// Parses TEXT, all of it, as an unsigned decimal number; throws naming WHAT otherwise.
std::uint64_t parseCount(std::string_view text, std::string_view what) {
    const auto value = wholeNumber(text);
    if (!value)
        throw failure("bad number '" + std::string(text) + "' in '" + std::string(what) +
                      "'; expected a decimal count");
    return *value;
}

// The fields of TEXT between the SEPARATOR bytes; an empty TEXT is one empty field.
std::vector<std::string_view> splitFields(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const auto end = text.find(separator);
        fields.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            return fields;
        text.remove_prefix(end + 1);
    }
}

// Parses "N[,N...]" into the list of read caps.
std::vector<std::uint64_t> parseChunks(std::string_view list, std::string_view parameter) {
    std::vector<std::uint64_t> chunks;
    for (const std::string_view field : splitFields(list, ','))
        chunks.push_back(parseCount(field, parameter));
    return chunks;
}

// Parses "CALL[@N]" into a fault of KIND.
Fault parseFault(Error::Kind kind, std::string_view value, std::string_view parameter) {
    const auto at = value.find('@');
    const std::string_view callName = value.substr(0, at);
    const auto known = std::find(callNames.begin(), callNames.end(), callName);
    if (known == callNames.end())
        throw failure("unknown call '" + std::string(callName) + "' in '" + std::string(parameter) +
                      "'; expected open, timeout, write, read, clear, close, stb, trigger, lock, "
                      "unlock, remote or local");
    const std::uint64_t first =
        at == std::string_view::npos ? 1 : parseCount(value.substr(at + 1), parameter);
    if (first == 0)
        throw failure("bad call number 0 in '" + std::string(parameter) +
                      "'; calls are counted from 1");
    return {kind, static_cast<Call>(known - callNames.begin()), first};
}

// Adds one "NAME=VALUE" parameter to SETTINGS.
void applyParameter(std::string_view parameter, Settings& settings) {
    const auto equals = parameter.find('=');
    const std::string_view name = parameter.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1);
    if (equals != std::string_view::npos && name == "chunks")
        settings.chunks = parseChunks(value, parameter);
    else if (equals != std::string_view::npos && name == "fail")
        settings.faults.push_back(parseFault(Error::Kind::failure, value, parameter));
    else if (equals != std::string_view::npos && name == "timeout")
        settings.faults.push_back(parseFault(Error::Kind::timeout, value, parameter));
    else
        throw failure("unknown parameter '" + std::string(parameter) + "'; " +
                      std::string(expectedForm));
}

// The behaviour every simulated instrument shares: injected faults and read caps. The
// instrument itself supplies what it does with written bytes and where read bytes come from.
class SimTransport : public Transport {
  public:
    explicit SimTransport(Settings settings)
        : settings_(std::move(settings)),
          deliversNothing_(!settings_.chunks.empty() &&
                           std::all_of(settings_.chunks.begin(), settings_.chunks.end(),
                                       [](std::uint64_t cap) { return cap == 0; })) {}

    // Counts the open call, which may be made to fail like any other.
    void open() { enter(Call::open); }

    void setTimeout(Milliseconds) override { enter(Call::timeout); }

    void write(std::span<const std::byte> data, bool end) override {
        enter(Call::write);
        accept(data, end);
    }

    // The reason is END when the instrument has sent all it had, the count when the bytes
    // fill the buffer.
    ReadResult read(std::span<std::byte> buffer) override {
        enter(Call::read);
        // Reads that may deliver nothing at all would only spin in a caller that waits for
        // bytes; such an instrument has nothing to send, and its reads time out.
        if (deliversNothing_)
            throw timeout("no response: every read is capped at 0 bytes");
        const std::size_t size =
            produce(buffer.first(std::min<std::uint64_t>(buffer.size(), nextChunkCap())));
        return {size, (hasOutput() ? 0 : reasonEnd) |
                          (size == buffer.size() && size > 0 ? reasonCount : 0)};
    }

    void clear() override {
        enter(Call::clear);
        discardOutput();
    }

    void close() override { enter(Call::close); }

    std::uint8_t readStatusByte() override {
        enter(Call::stb);
        return hasOutput() ? messageAvailable : 0;
    }

    void trigger() override { enter(Call::trigger); }

    // The handle is the instrument's only client: a lock is granted at once.
    void lock(Milliseconds) override {
        enter(Call::lock);
        locked_ = true;
    }

    void unlock() override {
        enter(Call::unlock);
        if (!locked_)
            throw failure("no lock is held on this instrument");
        locked_ = false;
    }

    void remote() override { enter(Call::remote); }
    void local() override { enter(Call::local); }

  protected:
    // No simulated instrument requests service: a wait lasts until its deadline.
    void enableServiceRequests(Clock::time_point) override {}

    std::optional<std::uint8_t> awaitServiceRequest(Clock::time_point deadline) override {
        std::this_thread::sleep_until(deadline);
        return std::nullopt;
    }

  private:
    // Whether the instrument has bytes to send.
    virtual bool hasOutput() const = 0;
    // Takes the bytes of one write.
    virtual void accept(std::span<const std::byte> data, bool end) = 0;
    // Fills the start of BUFFER, all of it or less, and returns how many bytes it placed.
    virtual std::size_t produce(std::span<std::byte> buffer) = 0;
    // Forgets whatever it still had to send.
    virtual void discardOutput() {}

    // Counts one CALL and throws when a fault applies to it. Without faults, it only counts.
    void enter(Call call) {
        const std::uint64_t number = ++callCounts_[static_cast<std::size_t>(call)];
        if (!settings_.faults.empty()) [[unlikely]]
            applyFaults(call, number);
    }

    // Throws the first fault that applies to the NUMBERth call of CALL, if any.
    void applyFaults(Call call, std::uint64_t number) const {
        for (const Fault& fault : settings_.faults) {
            if (fault.call == call && number >= fault.firstFailing) {
                const std::string what =
                    "simulated " +
                    std::string(fault.kind == Error::Kind::timeout ? "timeout" : "failure") +
                    " of " + std::string(callNames[static_cast<std::size_t>(call)]);
                throw Error(fault.kind, what);
            }
        }
    }

    // The most the next read may deliver.
    std::uint64_t nextChunkCap() {
        if (settings_.chunks.empty())
            return UINT64_MAX;
        const std::uint64_t cap = settings_.chunks[nextChunk_];
        nextChunk_ = (nextChunk_ + 1) % settings_.chunks.size();
        return cap;
    }

    Settings settings_;
    bool deliversNothing_;
    std::array<std::uint64_t, callNames.size()> callCounts_{};
    std::size_t nextChunk_ = 0;
    bool locked_ = false;
};

class Sink final : public SimTransport {
  public:
    using SimTransport::SimTransport;

  private:
    bool hasOutput() const override { return false; }
    void accept(std::span<const std::byte>, bool) override {}
    std::size_t produce(std::span<std::byte>) override {
        throw timeout("no response: sim/sink has nothing to send");
    }
};

class Source final : public SimTransport {
  public:
    using SimTransport::SimTransport;

  private:
    static constexpr std::string_view pattern = "0123456789abcde\n";
    static constexpr std::size_t tableSize = 16384;

    // The pattern repeated over 16 KiB plus one period, so that a copy of up to 16 KiB can start
    // at any phase of the pattern. It is small enough to stay in the first-level cache while a
    // large read is filled piece by piece.
    static constexpr auto table = [] {
        std::array<char, tableSize + pattern.size()> bytes{};
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = pattern[i % pattern.size()];
        return bytes;
    }();

    bool hasOutput() const override { return true; }

    void accept(std::span<const std::byte>, bool) override {}

    std::size_t produce(std::span<std::byte> buffer) override {
        for (std::size_t done = 0; done < buffer.size();) {
            const std::size_t piece = std::min(buffer.size() - done, tableSize);
            std::memcpy(buffer.data() + done, table.data() + phase_, piece);
            phase_ = (phase_ + piece) % pattern.size();
            done += piece;
        }
        return buffer.size();
    }

    std::size_t phase_ = 0;
};

class Echo final : public SimTransport {
  public:
    using SimTransport::SimTransport;

  private:
    bool hasOutput() const override { return pending_.size() > sent_; }

    void accept(std::span<const std::byte> data, bool) override {
        pending_.insert(pending_.end(), data.begin(), data.end());
    }

    std::size_t produce(std::span<std::byte> buffer) override {
        if (pending_.size() == sent_)
            throw timeout("no response: sim/echo has nothing left to send");
        const std::size_t count = std::min(buffer.size(), pending_.size() - sent_);
        std::memcpy(buffer.data(), pending_.data() + sent_, count);
        sent_ += count;
        if (sent_ == pending_.size())
            discardOutput();
        return count;
    }

    void discardOutput() override {
        pending_.clear();
        sent_ = 0;
    }

    std::vector<std::byte> pending_;
    std::size_t sent_ = 0;
};

template <typename Kind> std::unique_ptr<SimTransport> make(Settings settings) {
    return std::make_unique<Kind>(std::move(settings));
}

using InstrumentMaker = std::unique_ptr<SimTransport> (*)(Settings);

// The maker of the instrument named KIND.
InstrumentMaker instrumentMaker(std::string_view kind) {
    if (kind == "sink")
        return make<Sink>;
    if (kind == "source")
        return make<Source>;
    if (kind == "echo")
        return make<Echo>;
    throw failure("unknown simulated instrument '" + std::string(kind) + "'; " +
                  std::string(expectedForm));
}

std::unique_ptr<Transport> openSim(std::string_view address) {
    const std::vector<std::string_view> fields = splitFields(address, '/');
    const InstrumentMaker maker = instrumentMaker(fields.front());
    Settings settings;
    for (auto field = fields.begin() + 1; field != fields.end(); ++field)
        applyParameter(*field, settings);
    auto instrument = maker(std::move(settings));
    instrument->open();
    return instrument;
}

} // namespace

const TransportEntry simTransport{"sim", "sim/INSTRUMENT[/PARAMETER=VALUE]...", openSim};

} // namespace zemo
