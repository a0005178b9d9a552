// libFuzzer target on dirShift's path operations and modes.
//
// The input holds two paths separated by the first newline (or NUL); each is split and checked
// against the rules a split vector keeps, and the pair goes through rendering, relative paths
// and joining, which must not crash.
//
// The same input is also read as one run of the program: its first byte picks the mode (its
// low seven bits) and whether CURRENT_PART is set (its top bit), and the rest, split at
// newlines and NULs, gives the starting directory and then the path arguments, where a piece
// beginning with "=" sets the related root to the text after it instead. Every argument's
// line, and what it writes on standard error, must be the same from the modes as they run,
// which keep the split starting directory and related root between arguments, and from the
// plain computation, which splits and resolves everything again for each argument.

#include "dirShift_access.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

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

// Splits the input pair and sends it through the vector operations.
void checkPathOperations(std::string_view input) {
    const std::size_t separator = input.find_first_of(std::string_view("\n\0", 2));
    const std::string first(input.substr(0, separator));
    const std::string second(separator == std::string_view::npos ? std::string_view()
                                                                 : input.substr(separator + 1));
    const PathVector v1 = splitAndCheck(first);
    const PathVector v2 = splitAndCheck(second);
    const int offset = static_cast<int>(input.size() % 7) - 2;
    Access::render(Access::join(v1, v2), offset);
    Access::relative(v1, v2);
    Access::relative(v2, v1);
}

// The option words of every mode that prints lines.
const std::vector<std::string> modes[] = {
    {"-rmn"}, {"-rmn", "-p"}, {"-rsn"}, {"-rmb", "-rsn"}, {"-rmb"},
};

// A line and what was written on standard error while it was computed.
struct Outcome {
    std::string line;
    std::string errors;
    bool operator==(const Outcome&) const = default;
};

// Runs `compute` with standard error sent to a memory file and returns its line and the text
// that reached standard error.
template <typename Compute>
Outcome withErrorsCaptured(Compute compute) {
    static const int capture = memfd_create("dirShift_fuzz_stderr", MFD_CLOEXEC);
    require(capture >= 0 && ftruncate(capture, 0) == 0);
    const int savedStderr = dup(STDERR_FILENO);
    require(savedStderr >= 0 && dup2(capture, STDERR_FILENO) == STDERR_FILENO);
    Outcome outcome;
    outcome.line = compute();
    require(dup2(savedStderr, STDERR_FILENO) == STDERR_FILENO && close(savedStderr) == 0);
    const off_t written = lseek(capture, 0, SEEK_CUR);
    require(written >= 0 && lseek(capture, 0, SEEK_SET) == 0);
    outcome.errors.resize(static_cast<std::size_t>(written));
    require(read(capture, outcome.errors.data(), outcome.errors.size()) == written);
    require(lseek(capture, 0, SEEK_SET) == 0);
    return outcome;
}

// Sets the variable that holds the related root; an empty root would end the process, so it
// becomes "/".
void setRelatedRoot(const char* variable, std::string_view root) {
    const std::string value = root.empty() ? std::string("/") : std::string(root);
    require(setenv(variable, value.c_str(), 1) == 0);
}

// Reads `input` as a run (see the top of this file) and checks that the modes and the plain
// computation agree on every argument.
void checkModesAgainstPlainComputation(std::string_view input) {
    if (input.empty())
        return;
    const auto selector = static_cast<unsigned char>(input[0]);
    const std::vector<std::string>& options = modes[(selector & 0x7f) % std::size(modes)];
    const bool componentPart = (selector & 0x80) != 0;
    if (componentPart)
        require(setenv("CURRENT_PART", "sensor", 1) == 0);
    else
        require(unsetenv("CURRENT_PART") == 0);
    const char* rootVariable = componentPart ? "PART_SRC_ROOT" : "ORVEX_ROOT";
    setRelatedRoot(rootVariable, "/ws/parts/sensor");

    std::vector<std::string_view> pieces;
    std::string_view rest = input.substr(1);
    for (std::size_t end; (end = rest.find_first_of(std::string_view("\n\0", 2))) !=
                          std::string_view::npos;
         rest.remove_prefix(end + 1))
        pieces.push_back(rest.substr(0, end));
    pieces.push_back(rest);

    dirShift fast = Access::makeRun(options);
    dirShift plain = Access::makeRun(options);
    Access::setStartingDirectory(fast, std::string(pieces[0]));
    Access::setStartingDirectory(plain, std::string(pieces[0]));
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        if (pieces[i].starts_with('=')) {
            setRelatedRoot(rootVariable, pieces[i].substr(1));
            continue;
        }
        const std::string path(pieces[i]);
        const Outcome kept = withErrorsCaptured([&] { return Access::line(fast, path); });
        const Outcome fresh = withErrorsCaptured([&] { return Access::plainLine(plain, path); });
        require(kept == fresh);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkPathOperations(input);
    checkModesAgainstPlainComputation(input);
    return 0;
}
