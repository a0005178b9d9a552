// libFuzzer target on dirShift's path operations. The input holds two paths separated by the
// first newline (or NUL); each is split and checked against the rules a split vector keeps,
// and the pair goes through rendering, relative paths and joining, which must not crash.

#include "dirShift_access.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using Access = dirShiftTestAccess;

// Stops the run, so that libFuzzer keeps the input, when `holds` is false.
void require(bool holds) {
    if (!holds)
        std::abort();
}

// Checks the rules every split vector keeps: no empty component, "." never a component of its
// own, ".." only in a leading run, and "/" only as the first character of component 0.
void checkSplitRules(const PathVector& v) {
    bool inLeadingRun = true;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const std::string& component = v[i];
        require(!component.empty());
        require(component != ".");
        const bool isDotDot = component == "..";
        require(!isDotDot || inLeadingRun);
        inLeadingRun = inLeadingRun && isDotDot;
        const std::size_t slash = component.find('/');
        require(slash == std::string::npos ||
                (i == 0 && slash == 0 && component.find('/', 1) == std::string::npos));
    }
}

// Splits `p`, checks the rules, and checks that rendering and splitting again changes nothing.
PathVector splitAndCheck(const std::string& p) {
    const PathVector v = Access::split(p);
    checkSplitRules(v);
    require(Access::split(Access::render(v, 0)) == v);
    require(Access::relative(v, v).empty());
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t separator = input.find_first_of(std::string_view("\n\0", 2));
    const std::string first(input.substr(0, separator));
    const std::string second(separator == std::string_view::npos ? std::string_view()
                                                                 : input.substr(separator + 1));
    const PathVector v1 = splitAndCheck(first);
    const PathVector v2 = splitAndCheck(second);
    const int offset = static_cast<int>(size % 7) - 2;
    Access::render(Access::join(v1, v2), offset);
    Access::relative(v1, v2);
    Access::relative(v2, v1);
    return 0;
}
