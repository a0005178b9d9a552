#include "failure_latch.h"

#include <utility>

namespace zemo {

void FailureLatch::check() {
    if (!broken_.empty())
        throw failure("the " + link_ + " is broken since an earlier call: " + broken_);
    if (heldBack_) {
        const Error error = std::move(*heldBack_);
        heldBack_.reset();
        throw error;
    }
}

void FailureLatch::holdBack(const Error& error) {
    if (broken_.empty())
        heldBack_ = error;
}

} // namespace zemo
