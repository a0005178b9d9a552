// The USBTMC transport: the Linux driver's /dev/usbtmcN nodes. Plain read and write carry the
// messages (the driver adds the protocol's headers); clear, timeout and the END of a write go
// through the driver's ioctls.
#include "transport.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zemo {

namespace {

const std::string usbtmcForm = "usbtmc/N, usbtmc/usbtmcN or usbtmc//dev/usbtmcN";
// The driver refuses timeouts below this.
constexpr Milliseconds shortestDriverTimeout{100};

// The device node that ADDRESS names: "N" is /dev/usbtmcN, a name is looked up in /dev, and an
// absolute path is taken as it is.
std::string devicePath(std::string_view address) {
    if (address.empty())
        throw failure("missing device; expected " + usbtmcForm);
    if (address.front() == '/')
        return std::string(address);
    if (address.find('/') != std::string_view::npos)
        throw failure("malformed device '" + std::string(address) + "'; expected " + usbtmcForm);
    if (address.find_first_not_of("0123456789") == std::string_view::npos)
        return "/dev/usbtmc" + std::string(address);
    return "/dev/" + std::string(address);
}

class UsbtmcTransport final : public Transport {
  public:
    UsbtmcTransport(FileDescriptor device, std::string path)
        : device_(std::move(device)), path_(std::move(path)) {}

    // Sets the driver's timeout, raised to the driver's least when shorter.
    void setTimeout(Milliseconds timeout) override {
        std::uint32_t value = static_cast<std::uint32_t>(std::clamp<Milliseconds::rep>(
            timeout.count(), shortestDriverTimeout.count(), 0xffffffff));
        control(USBTMC_IOCTL_SET_TIMEOUT, &value, "USBTMC_IOCTL_SET_TIMEOUT");
    }

    // Writes all of DATA, the driver marking its last byte with END when END is set.
    void write(std::span<const std::byte> data, bool end) override {
        setEndOfMessage(end);
        while (!data.empty()) {
            const ssize_t written = ::write(device_.get(), data.data(), data.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                throw transferError("write", errno);
            data = data.subspan(static_cast<std::size_t>(written));
        }
    }

    // One read of the driver: a message, or as much of it as fits; ETIMEDOUT is a timeout.
    std::size_t read(std::span<std::byte> buffer) override {
        for (;;) {
            const ssize_t received = ::read(device_.get(), buffer.data(), buffer.size());
            if (received >= 0)
                return static_cast<std::size_t>(received);
            if (errno != EINTR)
                throw transferError("read", errno);
        }
    }

    // The driver's device clear.
    void clear() override { control(USBTMC_IOCTL_CLEAR, nullptr, "USBTMC_IOCTL_CLEAR"); }

    // Closes the node, reporting what close reports.
    void close() override {
        if (::close(device_.release()) != 0)
            throw failure("close " + path_ + ": " + systemError(errno));
    }

  private:
    // Asks the driver to mark the last byte of each write with END, or not; kept as set.
    void setEndOfMessage(bool end) {
        if (endOfMessage_ == end)
            return;
        std::uint8_t value = end ? 1 : 0;
        control(USBTMC_IOCTL_EOM_ENABLE, &value, "USBTMC_IOCTL_EOM_ENABLE");
        endOfMessage_ = end;
    }

    // Calls ioctl REQUEST (named NAME in the message) with ARGUMENT; throws Error on failure.
    void control(unsigned long request, void* argument, const char* name) {
        if (::ioctl(device_.get(), request, argument) != 0)
            throw failure(std::string(name) + " on " + path_ + " failed: " + systemError(errno));
    }

    // The Error for a failed read or write (WHAT) with errno NUMBER: ETIMEDOUT is a timeout.
    Error transferError(const char* what, int number) const {
        const std::string reason = std::string(what) + " " + path_ + ": " + systemError(number);
        return number == ETIMEDOUT ? timeout(reason) : failure(reason);
    }

    FileDescriptor device_;
    std::string path_;
    bool endOfMessage_ = true;
};

} // namespace

std::unique_ptr<Transport> openUsbtmc(std::string_view address) {
    const std::string path = devicePath(address);
    FileDescriptor device(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!device.valid())
        throw failure("cannot open " + path + ": " + systemError(errno));
    struct stat status {};
    if (::fstat(device.get(), &status) != 0)
        throw failure("cannot examine " + path + ": " + systemError(errno));
    std::uint32_t driverTimeout = 0;
    if (!S_ISCHR(status.st_mode) ||
        ::ioctl(device.get(), USBTMC_IOCTL_GET_TIMEOUT, &driverTimeout) != 0)
        throw failure(path + " is not a USBTMC device");
    auto transport = std::make_unique<UsbtmcTransport>(std::move(device), path);
    transport->setTimeout(defaultTimeout);
    return transport;
}

} // namespace zemo
