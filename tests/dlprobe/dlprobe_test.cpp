// End-to-end tests of dlprobe32 and dlprobe64: every case runs against both programs, each with
// the fixture libraries of its own word size, and checks exact standard output, exact standard
// error and exact exit status. dlprobe32 runs through RUN_32BIT, which runs it under qemu-i386
// where the kernel refuses 32-bit programs.
#include "run_program.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// The narration of a library that loaded and unloaded.
std::string loaded(const std::string& library) {
    return "calling handle = dlopen(\"" + library + "\", RTLD_LAZY)\n" + "dlopen returned\n" +
           "calling dlclose(handle)\n" + "dlclose returned\n";
}

// The narration of a library that failed to load with the loader's message `reason`.
std::string failed(const std::string& library, const std::string& reason) {
    return "calling handle = dlopen(\"" + library + "\", RTLD_LAZY)\n" + "dlopen returned\n" +
           reason + "\n" + "Error: dlopen of " + library + " failed\n";
}

// The usage text for the program name `name`.
std::string usage(const std::string& name) {
    return "usage: " + name + " shared_library\n" +
           "open (dlopen) a shared library and close it again.\n" +
           "print errors happening to stderr\n" +
           "return: 0 if no issues, non-0 in case of trouble\n";
}

// One row of the table. In every text, {lib} stands for the fixture directory of the program's
// own word size, {other} for that of the other word size, {class} for the ELF class of the other
// word size, and {argv0} for the program name as invoked.
struct Case {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string expectedErr;
    int expectedStatus;
    std::string argv0 = "{program}";
};

const std::string noSuchFile = ": cannot open shared object file: No such file or directory";

const Case cases[] = {
    {"Plain", {"{lib}/libdlprobe_plain.so"}, {}, loaded("{lib}/libdlprobe_plain.so"), 0},
    // The library's own lines fall between the narration lines, in the order they happened.
    {"ConstructorAndDestructor",
     {"{lib}/libdlprobe_ctor_dtor.so"},
     {},
     "calling handle = dlopen(\"{lib}/libdlprobe_ctor_dtor.so\", RTLD_LAZY)\n"
     "dlprobe fixture: constructor ran\n"
     "dlopen returned\n"
     "calling dlclose(handle)\n"
     "dlprobe fixture: destructor ran\n"
     "dlclose returned\n",
     0},
    // Lazy binding: the reference to a function nothing defines is never resolved.
    {"UndefinedReferenceLazy",
     {"{lib}/libdlprobe_undefined_ref.so"},
     {},
     loaded("{lib}/libdlprobe_undefined_ref.so"),
     0},
    {"UndefinedReferenceBindNowFromEnvironment",
     {"{lib}/libdlprobe_undefined_ref.so"},
     {"LD_BIND_NOW=1"},
     failed("{lib}/libdlprobe_undefined_ref.so",
            "{lib}/libdlprobe_undefined_ref.so: undefined symbol: dlprobe_fixture_nowhere"),
     1},
    {"UndefinedReferenceBindNowFromLibrary",
     {"{lib}/libdlprobe_undefined_ref_now.so"},
     {},
     failed("{lib}/libdlprobe_undefined_ref_now.so",
            "{lib}/libdlprobe_undefined_ref_now.so: undefined symbol: dlprobe_fixture_nowhere"),
     1},
    // The loader's message names the missing dependency, not the library asked for.
    {"MissingDependency",
     {"{lib}/libdlprobe_needs_gone.so"},
     {},
     failed("{lib}/libdlprobe_needs_gone.so", "libdlprobe_gone.so" + noSuchFile),
     1},
    {"NonexistentPath",
     {"/nonexistent/libdlprobe_none.so"},
     {},
     failed("/nonexistent/libdlprobe_none.so", "/nonexistent/libdlprobe_none.so" + noSuchFile),
     1},
    {"BareNameThroughLibraryPath",
     {"libdlprobe_plain.so"},
     {"LD_LIBRARY_PATH={lib}"},
     loaded("libdlprobe_plain.so"),
     0},
    {"BareNameNotOnSearchPath",
     {"libdlprobe_plain.so"},
     {},
     failed("libdlprobe_plain.so", "libdlprobe_plain.so" + noSuchFile),
     1},
    {"OtherWordSize",
     {"{other}/libdlprobe_plain.so"},
     {},
     failed("{other}/libdlprobe_plain.so", "{other}/libdlprobe_plain.so: wrong ELF class: {class}"),
     1},
    // The program name appears exactly as invoked, whatever it is.
    {"NoArgument", {}, {}, usage("{argv0}"), 1},
    {"NoArgumentRenamed", {}, {}, usage("./probe renamed"), 1, "./probe renamed"},
    {"TwoArguments",
     {"{lib}/libdlprobe_plain.so", "{lib}/libdlprobe_plain.so"},
     {},
     usage("{argv0}"),
     1},
};

// One build of dlprobe with the fixtures of its word size, and the launcher it runs through
// (empty: none).
struct Build {
    int wordSize;
    std::string program;
    std::map<std::string, std::string> placeholders;
    std::string launcher;
};

const Build builds[] = {
    {32,
     DLPROBE32,
     {{"{lib}", FIXTURES32}, {"{other}", FIXTURES64}, {"{class}", "ELFCLASS64"}},
     RUN_32BIT},
    {64,
     DLPROBE64,
     {{"{lib}", FIXTURES64}, {"{other}", FIXTURES32}, {"{class}", "ELFCLASS32"}},
     ""},
};

// KIT_RUN_32BIT of the test's environment, which the launcher of dlprobe32 obeys.
std::vector<std::string> launcherEnvironment() {
    const char* way = std::getenv("KIT_RUN_32BIT");
    return way ? std::vector<std::string>{std::string("KIT_RUN_32BIT=") + way}
               : std::vector<std::string>{};
}

// Says on standard output which way BUILD runs, so that a test's output shows it, and fails
// the test with the launcher's reason when it cannot run at all.
void reportWay(const Build& build) {
    if (build.launcher.empty())
        return;
    const kittest::Result way = kittest::run({.program = build.launcher,
                                              .arguments = {"--way", build.program},
                                              .environment = launcherEnvironment()});
    std::cout << way.out;
    ASSERT_EQ(way.status, 0) << way.err;
}

// How to start BUILD with ARGUMENTS, ARGV0 and the entries ENVIRONMENT, through its launcher.
kittest::Invocation invocation(const Build& build, std::vector<std::string> arguments,
                               const std::string& argv0, std::vector<std::string> environment) {
    if (build.launcher.empty())
        return {.program = build.program,
                .arguments = std::move(arguments),
                .argv0 = argv0,
                .environment = std::move(environment)};
    std::vector<std::string> launched{"-0", argv0, build.program};
    launched.insert(launched.end(), arguments.begin(), arguments.end());
    const std::vector<std::string> way = launcherEnvironment();
    environment.insert(environment.end(), way.begin(), way.end());
    return {.program = build.launcher,
            .arguments = std::move(launched),
            .environment = std::move(environment)};
}

// Names the build in test listings instead of dumping its bytes.
void PrintTo(const Build& build, std::ostream* os) {
    *os << "dlprobe" << build.wordSize;
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// Replaces every placeholder of `build` in `text`; {program} and {argv0} become the program.
std::string expand(std::string text, const Build& build, const std::string& argv0) {
    std::map<std::string, std::string> all = build.placeholders;
    all["{program}"] = build.program;
    all["{argv0}"] = argv0;
    for (const auto& [key, value] : all) {
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
            text.replace(at, key.size(), value);
            at += value.size();
        }
    }
    return text;
}

// Expands every entry of `texts` like expand.
std::vector<std::string> expandAll(std::vector<std::string> texts, const Build& build,
                                   const std::string& argv0) {
    for (std::string& text : texts) {
        text = expand(text, build, argv0);
    }
    return texts;
}

class DlprobeTest : public testing::TestWithParam<std::tuple<Build, Case>> {};

TEST_P(DlprobeTest, ExactOutputAndStatus) {
    const auto& [build, c] = GetParam();
    ASSERT_NO_FATAL_FAILURE(reportWay(build));
    const std::string argv0 = expand(c.argv0, build, "");
    const kittest::Result result = kittest::run(invocation(
        build, expandAll(c.args, build, argv0), argv0, expandAll(c.env, build, argv0)));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, expand(c.expectedErr, build, argv0));
    EXPECT_EQ(result.status, c.expectedStatus);
}

INSTANTIATE_TEST_SUITE_P(Both, DlprobeTest,
                         testing::Combine(testing::ValuesIn(builds), testing::ValuesIn(cases)),
                         [](const testing::TestParamInfo<DlprobeTest::ParamType>& paramInfo) {
                             return "Dlprobe" +
                                    std::to_string(std::get<0>(paramInfo.param).wordSize) + "_" +
                                    std::get<1>(paramInfo.param).name;
                         });

} // namespace
