// Inside the library: one Transport per open interface. The C calls in zemo.cpp turn the
// zemo::Error exceptions thrown here (zemonet/error.h) into statuses, trace lines and calls of
// the error handler.
#pragma once

#include "zemonet/error.h"
#include "zemonet/io.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zemo {

// The timeout of a new interface until zemo_set_timeout changes it.
inline constexpr Milliseconds defaultTimeout{5000};

// Why a read stopped, the bits of zemo_read_message's reason (as VXI-11's device_read combines
// them); none when a stream paused.
inline constexpr unsigned reasonCount = 1;
inline constexpr unsigned reasonTermChar = 2;
inline constexpr unsigned reasonEnd = 4;

// RQS/MSS, the bit of the status byte that says the device requests service.
inline constexpr std::uint8_t requestingService = 0x40;

// A read's bytes and why it stopped.
struct ReadResult {
    std::size_t size = 0;
    unsigned reason = 0;
};

// TIME in the form the messages give a timeout: "500 ms".
inline std::string millisecondsText(Milliseconds time) {
    return std::to_string(time.count()) + " ms";
}

class Transport {
  public:
    Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    virtual ~Transport() = default;

    // Applies to every later call.
    virtual void setTimeout(Milliseconds timeout) = 0;
    // The byte that ends a response, for the transports whose reads can end at one (VXI-11 and
    // the socket). The others end a response their own way (END, or a serial line's term
    // setting) and keep to it: by default the byte changes nothing.
    virtual void setTermChar(char byte);
    // Sends every byte of DATA; END marks the last byte as the end of a message.
    virtual void write(std::span<const std::byte> data, bool end) = 0;
    // Places at most buffer.size() bytes at the start of BUFFER and says how many, and why the
    // read stopped.
    virtual ReadResult read(std::span<std::byte> buffer) = 0;
    virtual void clear() = 0;
    // Ends the session with the device; the destructor releases what is left.
    virtual void close() = 0;

    // The status byte. By default an emulation for transports without one of their own: sends
    // "*STB?" and reads the answer, which must be one integer from 0 to 255.
    virtual std::uint8_t readStatusByte();
    // By default sends "*TRG".
    virtual void trigger();
    // An exclusive lock, waiting at most WAIT for another client's to go. By default the
    // transport has none.
    virtual void lock(Milliseconds wait);
    virtual void unlock();
    // Remote and local control of the front panel. By default the transport has none.
    virtual void remote();
    virtual void local();

    // Waits at most WAIT for a service request and returns the status byte that came with it
    // (RQS set). The first wait enables requests, then reads the status byte and returns it at
    // once when RQS is set already; the waits after one whose enabling or status read failed
    // do both again. A request that arrives while nobody waits is kept for the next wait (one at
    // most). Throws a timeout, "no service request within WAIT", when none comes.
    std::uint8_t waitServiceRequest(Milliseconds wait);

  protected:
    // Asks the device to send service requests from now on, by DEADLINE. By default the
    // transport has none: fails.
    virtual void enableServiceRequests(Clock::time_point deadline);
    // The status byte of the request kept since the last wait, or of one that comes by DEADLINE;
    // nothing when none comes. By default the transport has none: fails.
    virtual std::optional<std::uint8_t> awaitServiceRequest(Clock::time_point deadline);
    // Drops the requests kept before the first wait's status byte, which tells of them: with
    // RQS set it is the request they stood for, without it they were dealt with already. By
    // default the transport keeps none.
    virtual void forgetServiceRequest() {}

  private:
    // Whether a wait has enabled requests and read the status byte.
    bool firstStatusRead_ = false;
};

// What a transport's file declares of it: the prefix of its names, the form of its names as the
// messages show what is expected, and its opener, which is given the name after "PREFIX/" and
// throws Error, with a reason that quotes the form, when the address is malformed or cannot be
// reached.
struct TransportEntry {
    std::string_view prefix;
    std::string_view form;
    std::unique_ptr<Transport> (*open)(std::string_view address);

    // "expected FORM", for the messages about a malformed address.
    std::string expected() const { return "expected " + std::string(form); }
};

extern const TransportEntry simTransport;
extern const TransportEntry vxi11Transport;
extern const TransportEntry socketTransport;
extern const TransportEntry usbtmcTransport;
extern const TransportEntry serialTransport;
extern const TransportEntry hislipTransport;

// Splits NAME at its first "/" and calls the opener of that transport.
std::unique_ptr<Transport> openTransport(std::string_view name);

} // namespace zemo
