// Inside the library: one Transport per open interface. The C calls in zemo.cpp turn the
// exceptions thrown here into statuses, trace lines and calls of the error handler.
#pragma once

#include "zemo.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zemo {

using Milliseconds = std::chrono::milliseconds;

// The timeout of a new interface until zemo_set_timeout changes it.
inline constexpr Milliseconds defaultTimeout{5000};

// A failure of a transport: the status the call returns and the reason in words.
class Error : public std::runtime_error {
  public:
    Error(zemo_status status, const std::string& reason)
        : std::runtime_error(reason), status_(status) {}
    zemo_status status() const { return status_; }

  private:
    zemo_status status_;
};

inline Error failure(const std::string& reason) {
    return Error(ZEMO_FAILURE, reason);
}
inline Error timeout(const std::string& reason) {
    return Error(ZEMO_TIMEOUT, reason);
}

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

// Splits NAME at its first "/" and calls the opener of that transport.
std::unique_ptr<Transport> openTransport(std::string_view name);

} // namespace zemo
