// What a transport keeps of a failure beyond the call that met it: a link that the failure broke
// fails every later call, and a failure met after a read had bytes waits, so that the read
// returns those bytes and the next call reports it, as a socket returns what arrived before its
// peer closed and fails only the next receive.
#pragma once

#include "zemonet/error.h"

#include <optional>
#include <string>

namespace zemo {

class FailureLatch {
  public:
    // LINK names what breaks in the messages: "link", "session".
    explicit FailureLatch(std::string link) : link_(std::move(link)) {}

    // Throws what an earlier call left: the broken link's failure, every time, or the failure
    // held back for this call, once.
    void check();

    // Breaks the link by ERROR: every later call fails, naming it.
    void breakLink(const Error& error) { broken_ = error.what(); }

    // Holds ERROR back for the next call, unless the link is broken, which that call reports.
    void holdBack(const Error& error);

  private:
    std::string link_;
    std::string broken_;
    std::optional<Error> heldBack_;
};

} // namespace zemo
