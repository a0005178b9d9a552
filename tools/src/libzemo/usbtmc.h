// Inside the library: the USBTMC transport over a device whose driver calls can be stood in for,
// so that the transport's reading and timing are tested without hardware.
#pragma once

#include "transport.h"

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

namespace zemo {

// The calls the transport makes on one open USBTMC device node, each as the system call of the
// same name: a result below 0 leaves the reason in errno.
class UsbtmcDevice {
  public:
    UsbtmcDevice() = default;
    UsbtmcDevice(const UsbtmcDevice&) = delete;
    UsbtmcDevice& operator=(const UsbtmcDevice&) = delete;
    virtual ~UsbtmcDevice() = default;

    virtual ssize_t read(void* buffer, std::size_t size) = 0;
    virtual ssize_t write(const void* data, std::size_t size) = 0;
    virtual int ioctl(unsigned long request, void* argument) = 0;
    // poll on the node alone: waits at most MILLISECONDS for EVENTS and stores those that
    // happened in HAPPENED.
    virtual int poll(short events, short& happened, int milliseconds) = 0;
    virtual int close() = 0;
};

// The transport over DEVICE, the node at PATH (named in messages). Checks that the driver
// offers what the transport needs and sets the default timeout; throws Error when it cannot.
std::unique_ptr<Transport> makeUsbtmcTransport(std::unique_ptr<UsbtmcDevice> device,
                                               std::string path);

} // namespace zemo
