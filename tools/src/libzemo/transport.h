// Inside the library: one Transport per open interface. The C calls in zemo.cpp turn the
// zemo::Error exceptions thrown here (zemonet/error.h) into statuses, trace lines and calls of
// the error handler.
#pragma once

#include "zemonet/error.h"
#include "zemonet/io.h"

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

namespace zemo {

// The timeout of a new interface until zemo_set_timeout changes it.
inline constexpr Milliseconds defaultTimeout{5000};

class Transport {
  public:
    Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    virtual ~Transport() = default;

    // Applies to every later call.
    virtual void setTimeout(Milliseconds timeout) = 0;
    // Sends every byte of DATA; END marks the last byte as the end of a message.
    virtual void write(std::span<const std::byte> data, bool end) = 0;
    // Places at most buffer.size() bytes at the start of BUFFER and returns how many.
    virtual std::size_t read(std::span<std::byte> buffer) = 0;
    virtual void clear() = 0;
    // Ends the session with the device; the destructor releases what is left.
    virtual void close() = 0;
};

// One opener per transport; ADDRESS is the name after "TRANSPORT/". Each throws Error, with a
// reason that says what form was expected, when the address is malformed or cannot be reached.
std::unique_ptr<Transport> openSim(std::string_view address);
std::unique_ptr<Transport> openVxi11(std::string_view address);
std::unique_ptr<Transport> openSocket(std::string_view address);
std::unique_ptr<Transport> openUsbtmc(std::string_view address);
std::unique_ptr<Transport> openSerial(std::string_view address);
std::unique_ptr<Transport> openHislip(std::string_view address);

// Splits NAME at its first "/" and calls the opener of that transport.
std::unique_ptr<Transport> openTransport(std::string_view name);

} // namespace zemo
