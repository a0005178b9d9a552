// What the interface tools do alike: the usage lines of their common arguments, the -t option,
// opening the interface, and reading it in a loop.
#pragma once

#include <zemo.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The usage lines that explain the timeout and the interface name.
inline constexpr char timeoutUsage[] = "       <timeout>    I/O timeout in milliseconds.\n";
inline constexpr char interfaceUsage[] = "       <interface>  Name of ZEMO interface, e.g. "
                                         "'vxi11/192.168.0.100/gpib0,9'.\n";

// The I/O timeout of an interface that zemo_set_timeout has not changed (zemo(3)).
inline constexpr std::int32_t libraryDefaultTimeout = 5000;

// Reads the options of a tool whose only option is -t into TIMEOUT (milliseconds, -1 when not
// given), and, when LOCK is not NULL, the option -L, which sets *LOCK; false for any other
// option, or when no interface name follows the options.
bool readTimeoutOption(int argc, char* argv[], std::int64_t& timeout, bool* lock = nullptr);

// The -t value TEXT in milliseconds, as strtol reads it.
std::int64_t timeoutValue(const char* text);

// The I/O timeout in milliseconds that the -t value TIMEOUT gives an interface: TIMEOUT, up to
// the largest the library takes, or the library's default when TIMEOUT is 0 or below (none).
std::int32_t ioTimeout(std::int64_t timeout);

// Opens interface NAME with the library's handler that ends the process on a failure, and
// sets TIMEOUT (milliseconds) when it is above 0 (larger than the library takes: the largest it
// takes).
zemo_handle openInterface(const char* name, std::int64_t timeout = -1);

// Opens interface NAME with whatever handler is installed and sets TIMEOUT as openInterface
// does; NULL when the interface cannot be opened (zemo_last_error says why).
zemo_handle openWithTimeout(const char* name, std::int64_t timeout);

// What one read through InterfaceReader::readMessage brought: its bytes, why it stopped, and
// the status: the library's, or ZEMO_TIMEOUT when the reads have brought no byte for the I/O
// timeout. FAILURE is the reason of a failed read.
struct ReadOutcome {
    std::uint64_t size = 0;
    int reason = 0;
    zemo_status status = ZEMO_OK;
    std::string failure;
};

// Reads one interface again and again, as a tool that waits for bytes does. A read that returns
// an empty message succeeds with 0 bytes, and the tool reads again; but an instrument that
// answers every read at once with nothing would keep it reading for ever, so once no byte has
// arrived for the I/O timeout, over however many reads, the process ends as a library timeout
// ends it.
class InterfaceReader {
  public:
    // PROGRAM names the tool in its own messages, NAME the interface that HANDLE has open with
    // the -t value TIMEOUT.
    InterfaceReader(const char* program, const char* name, zemo_handle handle,
                    std::int64_t timeout);

    // Reads at most REQUEST bytes into BUFFER and returns how many arrived. Ends the process
    // with status 2 when the library claims more than requested, none of those bytes kept, and
    // with the library handler's line "zemo: zemo_read NAME: REASON" and status 3 when the
    // reads since the last byte have brought none for the timeout, even when each ended a
    // message.
    std::uint64_t read(char* buffer, std::uint64_t request);

    // Reads at most REQUEST bytes into BUFFER through zemo_read_message, for a tool that handles
    // failures itself: a failed read, and reads that have brought no byte for the timeout, are
    // reported in the outcome; only a library that claims more than requested ends the process,
    // as read says. With SLICED, the library's timeout is a slice of the tool's: a read that
    // times out counts as one that brought nothing.
    ReadOutcome readMessage(char* buffer, std::uint64_t request, bool sliced = false);

    // Starts the count of reads without a byte again, for a new answer after one given up.
    void forgetSilence() { silentSince_.reset(); }

    // The -t value TIMEOUT for the reads from now on.
    void setTimeout(std::int64_t timeout);
    std::chrono::milliseconds timeout() const { return timeout_; }

  private:
    using Clock = std::chrono::steady_clock;

    // Notes when the reads began to bring nothing.
    void startSilence();
    // Checks the TRANSFERRED bytes of a read of REQUEST made by CALL, as read says.
    std::uint64_t settle(std::uint64_t transferred, std::uint64_t request, const char* call);
    // Ends the process with status 2 when a read of REQUEST by CALL claims TRANSFERRED bytes.
    void checkClaim(std::uint64_t transferred, std::uint64_t request, const char* call) const;
    // Whether the reads since the last byte have brought none for the timeout.
    bool silentTooLong() const;
    // The reason of reads that brought no byte, each an empty message, for the timeout.
    std::string silenceReason() const;

    // Ends the process like a library timeout of CALL, naming the interface and the timeout.
    [[noreturn]] void failSilence(const char* call) const;

    const char* program_;
    const char* name_;
    zemo_handle handle_;
    std::chrono::milliseconds timeout_;
    // When the first of the reads that have brought no byte yet began; none after a byte.
    std::optional<Clock::time_point> silentSince_;
};
