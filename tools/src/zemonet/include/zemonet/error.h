// The error that the network code throws: whether it is a timeout, and the reason in words.
// libzemo turns it into the status of the call that failed.
#pragma once

#include <stdexcept>
#include <string>

namespace zemo {

class Error : public std::runtime_error {
  public:
    enum class Kind { failure, timeout };

    Error(Kind kind, const std::string& reason) : std::runtime_error(reason), kind_(kind) {}
    Kind kind() const { return kind_; }
    bool timedOut() const { return kind_ == Kind::timeout; }

  private:
    Kind kind_;
};

inline Error failure(const std::string& reason) {
    return Error(Error::Kind::failure, reason);
}
inline Error timeout(const std::string& reason) {
    return Error(Error::Kind::timeout, reason);
}

// The text of the system error NUMBER, e.g. "Connection refused".
std::string systemError(int number);

} // namespace zemo
