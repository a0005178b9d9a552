// The USBTMC transport: the Linux driver's /dev/usbtmcN nodes. Plain read and write carry the
// messages (the driver adds the protocol's headers); clear, timeout, the END of a write, where a
// read message ends, the status byte and service requests go through the driver's ioctls.
#include "usbtmc.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zemo {

namespace {

// What DEVICE in the form may be.
const std::string deviceForms = " with DEVICE N, usbtmcN or /dev/usbtmcN";
// The driver refuses timeouts below this.
constexpr Milliseconds shortestDriverTimeout{100};

// The device node that ADDRESS names: "N" is /dev/usbtmcN, a name is looked up in /dev, and an
// absolute path is taken as it is.
std::string devicePath(std::string_view address) {
    if (address.empty())
        throw failure("missing device; " + usbtmcTransport.expected() + deviceForms);
    if (address.front() == '/')
        return std::string(address);
    if (address.find('/') != std::string_view::npos)
        throw failure("malformed device '" + std::string(address) + "'; " +
                      usbtmcTransport.expected() + deviceForms);
    if (address.find_first_not_of("0123456789") == std::string_view::npos)
        return "/dev/usbtmc" + std::string(address);
    return "/dev/" + std::string(address);
}

// The device node itself.
class NodeDevice final : public UsbtmcDevice {
  public:
    explicit NodeDevice(FileDescriptor node) : node_(std::move(node)) {}
    ssize_t read(void* buffer, std::size_t size) override {
        return ::read(node_.get(), buffer, size);
    }
    ssize_t write(const void* data, std::size_t size) override {
        return ::write(node_.get(), data, size);
    }
    int ioctl(unsigned long request, void* argument) override {
        return ::ioctl(node_.get(), request, argument);
    }
    int poll(short events, short& happened, int milliseconds) override {
        pollfd entry{node_.get(), events, 0};
        const int ready = ::poll(&entry, 1, milliseconds);
        happened = entry.revents;
        return ready;
    }
    int close() override { return ::close(node_.release()); }

  private:
    FileDescriptor node_;
};

class UsbtmcTransport final : public Transport {
  public:
    UsbtmcTransport(std::unique_ptr<UsbtmcDevice> device, std::string path)
        : device_(std::move(device)), path_(std::move(path)) {}

    void setTimeout(Milliseconds timeout) override { timeout_ = timeout; }

    // Writes all of DATA, the driver marking its last byte with END when END is set, within one
    // timeout for the whole write.
    void write(std::span<const std::byte> data, bool end) override {
        const auto deadline = Clock::now() + timeout_;
        setEndOfMessage(end);
        while (!data.empty()) {
            setDriverTimeout(deadline);
            const ssize_t written = device_->write(data.data(), data.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                throw transferError("write", errno);
            data = data.subspan(static_cast<std::size_t>(written));
        }
    }

    // Reads transfer after transfer until the driver says the message has ended, the buffer is
    // full, or the timeout, which counts once for the whole read: the driver's read returns one
    // USB transfer, whether or not it ended the message. At the timeout the bytes that have
    // arrived are returned; the driver aborts the transfer that timed out, so no late reply
    // shows up in the next read.
    // The reason is END when the driver says the message ended, with the count when the
    // buffer is full.
    ReadResult read(std::span<std::byte> buffer) override {
        const auto deadline = Clock::now() + timeout_;
        std::size_t total = 0;
        unsigned reason = 0;
        while (total < buffer.size()) {
            if (Clock::now() >= deadline)
                return timedOut(total);
            setDriverTimeout(deadline);
            const ssize_t received = device_->read(buffer.data() + total, buffer.size() - total);
            if (received < 0 && errno == EINTR)
                continue;
            if (received < 0 && errno == ETIMEDOUT)
                return timedOut(total);
            if (received < 0)
                throw transferError("read", errno);
            total += static_cast<std::size_t>(received);
            if (messageEnded()) {
                reason = reasonEnd;
                break;
            }
        }
        if (total == buffer.size() && !buffer.empty())
            reason |= reasonCount;
        return {total, reason};
    }

    // The driver's device clear.
    void clear() override { control(USBTMC_IOCTL_CLEAR, nullptr, "USBTMC_IOCTL_CLEAR"); }

    // The status byte through the driver: from the interrupt message or the control request.
    std::uint8_t readStatusByte() override {
        std::uint8_t status = 0;
        control(USBTMC488_IOCTL_READ_STB, &status, "USBTMC488_IOCTL_READ_STB");
        return status;
    }

    void trigger() override {
        control(USBTMC488_IOCTL_TRIGGER, nullptr, "USBTMC488_IOCTL_TRIGGER");
    }

    // Remote enable, after which the device goes to remote at its next message.
    void remote() override {
        std::uint8_t enable = 1;
        control(USBTMC488_IOCTL_REN_CONTROL, &enable, "USBTMC488_IOCTL_REN_CONTROL");
    }

    void local() override {
        control(USBTMC488_IOCTL_GOTO_LOCAL, nullptr, "USBTMC488_IOCTL_GOTO_LOCAL");
    }

    // Closes the node, reporting what close reports.
    void close() override {
        if (device_->close() != 0)
            throw failure("close " + path_ + ": " + systemError(errno));
    }

    // Checks that the driver tells where a message ends and aborts a transfer that times out
    // (both since Linux 4.19), and asks it to abort such transfers.
    void prepare() {
        std::uint8_t attributes = 0;
        std::uint8_t on = 1;
        if (device_->ioctl(USBTMC_IOCTL_MSG_IN_ATTR, &attributes) != 0 ||
            device_->ioctl(USBTMC_IOCTL_AUTO_ABORT, &on) != 0) {
            if (errno == ENOTTY || errno == EINVAL)
                throw failure("the USBTMC driver of this kernel cannot tell where a message "
                              "ends on " +
                              path_ + " (USBTMC_IOCTL_MSG_IN_ATTR needs Linux 4.19 or later)");
            throw failure("USBTMC_IOCTL_AUTO_ABORT on " + path_ + " failed: " + systemError(errno));
        }
    }

  protected:
    // Checks that the device can request service: SR1 among its USB488 capabilities. The
    // driver then takes every request from the interrupt endpoint unasked.
    void enableServiceRequests(Clock::time_point) override {
        std::uint8_t capabilities = 0;
        control(USBTMC488_IOCTL_GET_CAPS, &capabilities, "USBTMC488_IOCTL_GET_CAPS");
        if ((capabilities & USBTMC488_CAPABILITY_SR1) == 0)
            throw failure("the device " + path_ +
                          " cannot request service: its USB488 capabilities lack SR1");
    }

    // The driver keeps a request that came while nobody waited until the status byte is read,
    // which it then gives with RQS set: waits for the driver's signal by DEADLINE, then reads
    // the status byte.
    std::optional<std::uint8_t> awaitServiceRequest(Clock::time_point deadline) override {
        if (!serviceRequestSignalled(deadline))
            return std::nullopt;
        return readStatusByte();
    }

  private:
    // Whether the driver signals a service request by DEADLINE: USBTMC488_IOCTL_WAIT_SRQ, or
    // POLLPRI from poll on a kernel without that ioctl.
    bool serviceRequestSignalled(Clock::time_point deadline) {
        while (kernelWaitsForRequests_) {
            auto wait = static_cast<std::uint32_t>(millisecondsLeft(deadline));
            if (device_->ioctl(USBTMC488_IOCTL_WAIT_SRQ, &wait) == 0)
                return true;
            if (errno == ETIMEDOUT)
                return false;
            if (errno == ENOTTY)
                kernelWaitsForRequests_ = false;
            else if (errno != EINTR)
                throw failure("USBTMC488_IOCTL_WAIT_SRQ on " + path_ +
                              " failed: " + systemError(errno));
        }
        for (;;) {
            short happened = 0;
            const int ready = device_->poll(POLLPRI, happened, millisecondsLeft(deadline));
            if (ready == 0)
                return false;
            if (ready > 0 && (happened & POLLPRI) != 0)
                return true;
            if (ready > 0)
                throw failure("poll on " + path_ + " reports " +
                              ((happened & POLLHUP) != 0 ? "POLLHUP: the device is gone"
                                                         : "an error (POLLERR)"));
            if (errno != EINTR)
                throw failure("poll on " + path_ + " failed: " + systemError(errno));
        }
    }

    // What a read that timed out with TOTAL bytes returns: those bytes, or a timeout when none.
    ReadResult timedOut(std::size_t total) const {
        if (total > 0)
            return {total, 0};
        throw timeout("read " + path_ + ": no data within " + millisecondsText(timeout_));
    }

    // Whether the last transfer ended the message (END, or the termination character).
    bool messageEnded() {
        std::uint8_t attributes = 0;
        control(USBTMC_IOCTL_MSG_IN_ATTR, &attributes, "USBTMC_IOCTL_MSG_IN_ATTR");
        return (attributes & 1) != 0;
    }

    // Gives the driver the time left until DEADLINE for its next transfer, at least the
    // driver's least; the driver applies it to each transfer on its own.
    void setDriverTimeout(Clock::time_point deadline) {
        auto value = static_cast<std::uint32_t>(std::clamp<Milliseconds::rep>(
            remaining(deadline).count(), shortestDriverTimeout.count(), 0xffffffff));
        if (value == driverTimeout_)
            return;
        control(USBTMC_IOCTL_SET_TIMEOUT, &value, "USBTMC_IOCTL_SET_TIMEOUT");
        driverTimeout_ = value;
    }

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
        if (device_->ioctl(request, argument) != 0)
            throw failure(std::string(name) + " on " + path_ + " failed: " + systemError(errno));
    }

    // The Error for a failed read or write (WHAT) with errno NUMBER: ETIMEDOUT is a timeout.
    Error transferError(const char* what, int number) const {
        const std::string reason = std::string(what) + " " + path_ + ": " + systemError(number);
        return number == ETIMEDOUT ? timeout(reason) : failure(reason);
    }

    std::unique_ptr<UsbtmcDevice> device_;
    std::string path_;
    Milliseconds timeout_ = defaultTimeout;
    std::uint32_t driverTimeout_ = 0;
    bool endOfMessage_ = true;
    // Whether the kernel has USBTMC488_IOCTL_WAIT_SRQ, until it says it has not.
    bool kernelWaitsForRequests_ = true;
};

std::unique_ptr<Transport> openUsbtmc(std::string_view address) {
    const std::string path = devicePath(address);
    FileDescriptor device(aboveStandardStreams(::open(path.c_str(), O_RDWR | O_CLOEXEC)));
    if (!device.valid())
        throw failure("cannot open " + path + ": " + systemError(errno));
    struct stat status {};
    if (::fstat(device.get(), &status) != 0)
        throw failure("cannot examine " + path + ": " + systemError(errno));
    std::uint32_t driverTimeout = 0;
    if (!S_ISCHR(status.st_mode) ||
        ::ioctl(device.get(), USBTMC_IOCTL_GET_TIMEOUT, &driverTimeout) != 0)
        throw failure(path + " is not a USBTMC device");
    return makeUsbtmcTransport(std::make_unique<NodeDevice>(std::move(device)), path);
}

} // namespace

const TransportEntry usbtmcTransport{"usbtmc", "usbtmc/DEVICE", openUsbtmc};

std::unique_ptr<Transport> makeUsbtmcTransport(std::unique_ptr<UsbtmcDevice> device,
                                               std::string path) {
    auto transport = std::make_unique<UsbtmcTransport>(std::move(device), std::move(path));
    transport->prepare();
    return transport;
}

} // namespace zemo
