// The termios2 side of the serial transport: raw mode, the format and any rate (BOTHER), read
// back to see what the driver kept.
#include "serial_line.h"

#include "zemonet/error.h"
#include "zemonet/io.h"

#include <cerrno>
#include <cstdlib>

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace zemo {

struct SavedLine::Settings {
    termios2 kernel{};
};

namespace {

// The bits of c_cflag that FORMAT decides.
constexpr tcflag_t formatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

tcflag_t dataBitsFlag(unsigned bits) {
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

tcflag_t parityFlags(Parity parity) {
    switch (parity) {
    case Parity::even:
        return PARENB;
    case Parity::odd:
        return PARENB | PARODD;
    case Parity::mark:
        return PARENB | PARODD | CMSPAR;
    case Parity::space:
        return PARENB | CMSPAR;
    case Parity::none:
        break;
    }
    return 0;
}

// The format as the interface name writes it, e.g. "format=7E1".
std::string formatText(const LineFormat& format) {
    static constexpr char letters[] = "NEOMS";
    return "format=" + std::to_string(format.dataBits) + letters[static_cast<int>(format.parity)] +
           std::to_string(format.stopBits);
}

// SETTINGS in raw mode with FORMAT, as cfmakeraw does, plus the receiver on and the modem lines
// ignored.
void makeRaw(termios2& settings, const LineFormat& format) {
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(formatBits | CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= CLOCAL | CREAD | BOTHER | dataBitsFlag(format.dataBits) |
                        parityFlags(format.parity) | (format.stopBits == 2 ? CSTOPB : 0) |
                        (format.flow == FlowControl::rtscts ? CRTSCTS : 0);
    if (format.flow == FlowControl::xonxoff) {
        settings.c_iflag |= IXON | IXOFF;
        settings.c_cc[VSTART] = 0x11;
        settings.c_cc[VSTOP] = 0x13;
    }
    settings.c_ispeed = format.baud;
    settings.c_ospeed = format.baud;
    // A read takes what has arrived; the transport waits with poll.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

// The device numbers of pseudo-terminal slaves.
constexpr unsigned firstPtySlaveMajor = 136;
constexpr unsigned lastPtySlaveMajor = 143;

// True when FD is a pseudo-terminal, which has no wire: its driver keeps CS8 without parity
// whatever is asked.
bool pseudoTerminal(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && major(status.st_rdev) >= firstPtySlaveMajor &&
           major(status.st_rdev) <= lastPtySlaveMajor;
}

// True when the driver's rate ACTUAL is within 2% of REQUESTED, the tolerance of a UART.
bool closeEnough(unsigned actual, unsigned requested) {
    const long difference = std::labs(static_cast<long>(actual) - static_cast<long>(requested));
    return difference * 50 <= static_cast<long>(requested);
}

} // namespace

SavedLine::SavedLine(int fd, const std::string& path)
    : settings_(std::make_unique<Settings>()), path_(path) {
    if (::ioctl(fd, TCGETS2, &settings_->kernel) == 0)
        return;
    if (errno == ENOTTY || errno == EINVAL)
        throw failure(path + " is not a terminal");
    throw failure("cannot read the settings of " + path + ": " + systemError(errno));
}

SavedLine::~SavedLine() = default;

void SavedLine::restore(int fd) const {
    if (::ioctl(fd, TCSETS2, &settings_->kernel) != 0)
        throw failure("cannot restore the settings of " + path_ + ": " + systemError(errno));
}

void applyLineFormat(int fd, const LineFormat& format, const std::string& path) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        throw failure("cannot read the settings of " + path + ": " + systemError(errno));
    makeRaw(settings, format);
    const tcflag_t wanted = settings.c_cflag & formatBits;
    if (::ioctl(fd, TCSETS2, &settings) != 0)
        throw failure("the driver of " + path + " refuses baud=" + std::to_string(format.baud) +
                      " " + formatText(format) + ": " + systemError(errno));
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        throw failure("cannot read the settings of " + path + ": " + systemError(errno));
    if (!closeEnough(settings.c_ospeed, format.baud))
        throw failure("the driver of " + path + " refuses baud=" + std::to_string(format.baud) +
                      " (it set " + std::to_string(settings.c_ospeed) + ")");
    if ((settings.c_cflag & formatBits) != wanted && !pseudoTerminal(fd))
        throw failure("the driver of " + path + " refuses " + formatText(format) +
                      (format.flow == FlowControl::rtscts ? " with flow=rtscts" : ""));
}

} // namespace zemo
