// Inside the library: the settings of a serial line as the kernel holds them. Kept apart from
// serial.cpp because the kernel's termios2, which carries any rate, cannot share a file with
// <termios.h>.
#pragma once

#include <memory>
#include <string>

namespace zemo {

enum class Parity { none, even, odd, mark, space };
enum class FlowControl { none, rtscts, xonxoff };

// How the bytes go over the line.
struct LineFormat {
    unsigned baud = 9600;
    unsigned dataBits = 8;
    Parity parity = Parity::none;
    unsigned stopBits = 1;
    FlowControl flow = FlowControl::none;
};

// The settings a terminal had before we changed them, to be put back when we are done.
class SavedLine {
  public:
    // Reads the settings of terminal FD, the device at PATH. Throws Error "PATH is not a
    // terminal" when FD is none.
    SavedLine(int fd, const std::string& path);
    SavedLine(const SavedLine&) = delete;
    SavedLine& operator=(const SavedLine&) = delete;
    ~SavedLine();

    // Puts the settings back on FD; throws Error with the reason when the line refuses.
    void restore(int fd) const;

  private:
    struct Settings;
    std::unique_ptr<Settings> settings_;
    std::string path_;
};

// Puts terminal FD (the device at PATH) into raw mode with FORMAT: no echo, no signals, no
// translation of bytes, the receiver on, the modem lines ignored. Throws Error naming the
// setting when the driver refuses it or keeps a different rate (more than 2% off).
void applyLineFormat(int fd, const LineFormat& format, const std::string& path);

} // namespace zemo
