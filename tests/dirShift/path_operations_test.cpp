// Unit tests of dirShift's private operations: splitting and rendering path vectors, relative
// paths, joining, option recognition, the related root and physical paths.
//
// The program's one source is compiled into this test without its main; dirShiftTestAccess,
// which the class names as its friend, forwards to the private members.

#include "dirShift_access.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Access = dirShiftTestAccess;
using kittest::TempTree;

std::string show(const PathVector& v) {
    std::string text = "[";
    for (std::size_t i = 0; i < v.size(); ++i)
        text += (i > 0 ? ", " : "") + v[i];
    return text + "]";
}

// ---- Splitting and rendering ----

struct SplitCase {
    std::string path;
    PathVector components;
    std::string rendered;
};

const SplitCase splitCases[] = {
    {"", {}, ""},
    {".", {}, ""},
    {"./", {}, ""},
    {"..", {".."}, ".."},
    {"...", {"..."}, "..."},
    {"abc", {"abc"}, "abc"},
    {"/", {"/"}, "/"},
    {"//", {"/"}, "/"},
    {"///", {"/"}, "/"},
    {"/x", {"/x"}, "/x"},
    {"/x/", {"/x"}, "/x"},
    {"/x//", {"/x"}, "/x"},
    // Two leading slashes make a bare root component followed by a name.
    {"//x", {"/", "x"}, "//x"},
    {"/opt/a/b", {"/opt", "a", "b"}, "/opt/a/b"},
    {"/opt/a/b/", {"/opt", "a", "b"}, "/opt/a/b"},
    {"/a//b", {"/a", "b"}, "/a/b"},
    {"/a/b/./c/../d", {"/a", "b", "d"}, "/a/b/d"},
    {"/usr/lib/../lib64/./x.so", {"/usr", "lib64", "x.so"}, "/usr/lib64/x.so"},
    {"a/b", {"a", "b"}, "a/b"},
    {"a/b/", {"a", "b"}, "a/b"},
    {"./a", {"a"}, "a"},
    {"a/./b", {"a", "b"}, "a/b"},
    {"a/.", {"a"}, "a"},
    {"a//b", {"a", "b"}, "a/b"},
    {"a/../b", {"b"}, "b"},
    {"a/..", {}, ""},
    {"a/../..", {".."}, ".."},
    {"../a", {"..", "a"}, "../a"},
    {"../../a", {"..", "..", "a"}, "../../a"},
    {"./../a", {"..", "a"}, "../a"},
    {".././..", {"..", ".."}, "../.."},
    {"x/../../y", {"..", "y"}, "../y"},
    {"a/../../b/..", {".."}, ".."},
    {"a/b/c/../../..", {}, ""},
    // ".." cancels the root component like any other, so the result is no longer absolute.
    {"/a/../b", {"b"}, "b"},
    {"/a/..", {}, ""},
    {"/a/b/../../..", {".."}, ".."},
    {"/..", {"/.."}, "/.."},
    {"/../x", {"/..", "x"}, "/../x"},
    {"/../..", {}, ""},
    {"/.", {"/."}, "/."},
    {"/./", {"/."}, "/."},
    {"/./x", {"/.", "x"}, "/./x"},
    {"/a/.hidden/..", {"/a"}, "/a"},
    {"..b/c", {"..b", "c"}, "..b/c"},
    {"a/..b", {"a", "..b"}, "a/..b"},
};

TEST(DirShiftSplit, SplitsAndRendersAtOffsetZero) {
    for (const SplitCase& c : splitCases) {
        SCOPED_TRACE("path \"" + c.path + "\"");
        const PathVector v = Access::split(c.path);
        EXPECT_EQ(v, c.components) << "got " << show(v);
        EXPECT_EQ(Access::render(v, 0), c.rendered);
    }
}

TEST(DirShiftSplitReuse, EmptiesTheVectorBeforeFillingIt) {
    PathVector v = {"/old", "stuff", ".."};
    Access::path2vector("x", v);
    EXPECT_EQ(v, PathVector{"x"});
    Access::path2vector("", v);
    EXPECT_TRUE(v.empty());
}

struct RenderCase {
    PathVector vs;
    int offset;
    std::string rendered;
};

const RenderCase renderCases[] = {
    {{"/opt", "a", "b"}, 0, "/opt/a/b"},
    {{"/opt", "a", "b"}, 1, "a/b"},
    {{"/opt", "a", "b"}, 2, "b"},
    {{"/opt", "a", "b"}, 3, ""},
    {{"/opt", "a", "b"}, 7, ""},
    {{"/opt", "a", "b"}, -1, "/opt/a/b"},
    {{}, 0, ""},
    {{}, 2, ""},
    {{}, -3, ""},
    {{"..", "x"}, 0, "../x"},
    {{"/"}, 0, "/"},
    // Empty components are copied as they are and show as doubled or trailing slashes.
    {{"a", ""}, 0, "a/"},
    {{"", ""}, 0, "/"},
    {{"/home", "u", ""}, 0, "/home/u/"},
};

TEST(DirShiftRender, RendersFromTheOffset) {
    for (const RenderCase& c : renderCases) {
        SCOPED_TRACE(show(c.vs) + " at " + std::to_string(c.offset));
        EXPECT_EQ(Access::render(c.vs, c.offset), c.rendered);
    }
}

TEST(DirShiftDump, WritesOneNumberedLinePerComponent) {
    testing::internal::CaptureStderr();
    Access::dump({"/opt", "a"});
    Access::dump({});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[0]=/opt\n[1]=a\n");
}

// ---- Relative paths ----

struct RelativeCase {
    PathVector path;
    PathVector base;
    std::string result;
};

const RelativeCase relativeCases[] = {
    {{"/home", "u"}, {"/home", "u"}, ""},
    {{"/home"}, {"/home"}, ""},
    {{"/home", "u", "proj", "src", "x.c"}, {"/home", "u", "proj"}, "src/x.c"},
    {{"/home", "u", "a"}, {"/home", "u", "x"}, "../a"},
    {{"/home", "u", "other"}, {"/home", "u", "proj"}, "../other"},
    {{"/home", "uu"}, {"/home", "u"}, "../uu"},
    {{"/home"}, {"/home", "u"}, "../"},
    {{"/home", "u", "proj", "a"}, {"/home", "u", "proj", "a", "b", "c"}, "../../"},
    {{"x"}, {"x", "y", "z"}, "../../"},
    {{"/opt", "a"}, {"/home", "u"}, "../../opt/a"},
    {{"/opt", "tools"}, {"/home", "u", "proj"}, "../../../opt/tools"},
    // A stripped root component is always followed by "/".
    {{"/opt"}, {"/home", "u"}, "../../opt/"},
    {{"/Home", "u"}, {"/home", "u"}, "../../Home/u"},
    {{"/"}, {"/home", "u"}, "../..//"},
    {{"/", "x"}, {"/home", "u"}, "../..//x"},
    {{"/..", "x"}, {"/home", "u"}, "../../../x"},
    {{"/opt", "a"}, {"/"}, "../opt/a"},
    {{"/", "x"}, {"/"}, "x"},
    {{"/opt", "a"}, {}, "opt/a"},
    {{"/x"}, {}, "x/"},
    {{"a", "b"}, {}, "a/b"},
    // A relative path never matches an absolute base: full climb, then the path unchanged.
    {{"a", "b"}, {"/home", "u"}, "../../a/b"},
    {{"..", "a"}, {"/home", "u"}, "../../../a"},
    {{"x"}, {"/x"}, "../x"},
    // An empty path gives the climb alone.
    {{}, {"/home", "u"}, "../../"},
    {{}, {"/ws", "parts", "sensor", "src"}, "../../../../"},
    {{}, {}, ""},
};

TEST(DirShiftRelativePath, LeadsFromTheBaseToThePath) {
    for (const RelativeCase& c : relativeCases) {
        SCOPED_TRACE(show(c.path) + " from " + show(c.base));
        EXPECT_EQ(Access::relative(c.path, c.base), c.result);
    }
}

// ---- Joining ----

struct JoinCase {
    PathVector v1;
    PathVector v2;
    PathVector result;
};

const JoinCase joinCases[] = {
    {{"/home", "u"}, {"a", "b"}, {"/home", "u", "a", "b"}},
    // An absolute second vector lands below the first.
    {{"/home", "u"}, {"/opt", "a"}, {"/home", "u", "opt", "a"}},
    {{"/home", "u"}, {"/x"}, {"/home", "u", "x"}},
    {{"/home", "u"}, {}, {"/home", "u"}},
    {{"/home", "u"}, {"..", "a"}, {"/home", "a"}},
    {{"/home", "u"}, {"..", "..", "..", "a"}, {"..", "a"}},
    {{"/home", "u"}, {"/a", "..", "..", ".."}, {}},
    {{"/home", "..", "x"}, {}, {"x"}},
    // Unlike splitting, joining lets ".." cancel "..".
    {{"..", ".."}, {}, {}},
    {{".."}, {".."}, {}},
    {{}, {"/..", "x"}, {"..", "x"}},
    // The stripped root component is appended without a ".." test.
    {{"/home", "u"}, {"/..", "x"}, {"/home", "u", "..", "x"}},
    {{"/home", "u"}, {"/.", "x"}, {"/home", "u", ".", "x"}},
    {{"/home", "u"}, {".", "a"}, {"/home", "u", ".", "a"}},
    {{}, {"/"}, {""}},
    {{"/home", "u"}, {"/"}, {"/home", "u", ""}},
    {{"/home", "u"}, {"/a", "/..", "b"}, {"/home", "u", "b"}},
    {{}, {"/a", "/..", "b"}, {"b"}},
    {{}, {"x", "/.."}, {"x", "/.."}},
    // Empty components, which splitting never makes, are taken as names.
    {{"/home"}, {"", "a"}, {"/home", "", "a"}},
};

TEST(DirShiftJoin, AppendsTheSecondVectorResolvingDotDot) {
    for (const JoinCase& c : joinCases) {
        SCOPED_TRACE(show(c.v1) + " + " + show(c.v2));
        const PathVector joined = Access::join(c.v1, c.v2);
        EXPECT_EQ(joined, c.result) << "got " << show(joined);
    }
}

// ---- Option recognition ----

struct ParseCase {
    std::vector<std::string> args;
    std::string flags; // b=RMB s=RSN n=RMN p=P d=DEBUG_CMDLINE
    PathVector paths;
    int result;
};

const ParseCase parseCases[] = {
    {{}, "", {}, 0},
    {{"-rmb", "src", "../inc"}, "b", {"src", "../inc"}, 1},
    {{"src"}, "", {"src"}, 1},
    {{"-p", "src"}, "p", {"src"}, 1},
    {{"-rmn"}, "n", {}, 1},
    {{"-d"}, "d", {}, 1},
    {{"-d", "-rsn", "-rmb", "a", "b"}, "bsd", {"a", "b"}, 1},
    {{"-rmn", "-rsn", "-rmb", "x"}, "bsn", {"x"}, 1},
    // The first argument without "-" ends the options; later ones are paths, "-" or not.
    {{"src", "-rmb"}, "", {"src", "-rmb"}, 1},
    // Only the 2nd to 4th characters count, tested in a fixed order.
    {{"-debug", "x"}, "b", {"x"}, 1},
    {{"-rs"}, "s", {}, 1},
    {{"-pmn"}, "n", {}, 1},
    {{"-psn"}, "p", {}, 1},
    {{"-rmnp"}, "n", {}, 1},
    {{"-rm", "-x", "-", "--"}, "", {}, 1},
    // "--" does not end the options.
    {{"--", "-rmb", "x"}, "b", {"x"}, 1},
    {{"-rmb", ""}, "b", {""}, 1},
    {{"", "-rmb"}, "", {"", "-rmb"}, 1},
    {{"-rmb", "-rmb", "-d", "x"}, "bd", {"x"}, 1},
};

TEST(DirShiftParseCommandLine, SetsFlagsAndCollectsPaths) {
    for (const ParseCase& c : parseCases) {
        SCOPED_TRACE(show(c.args));
        const Access::Parsed parsed = Access::parse(c.args);
        EXPECT_EQ(parsed.flags, c.flags);
        EXPECT_EQ(parsed.paths, c.paths);
        EXPECT_EQ(parsed.result, c.result);
    }
}

// ---- Related root ----

// Sets or removes environment variables for one test and puts the old values back afterwards.
class ScopedEnvironment {
  public:
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    // Sets `name` to `value`, or removes it when `value` is empty of any content.
    void set(const std::string& name, std::optional<std::string> value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct RootCase {
    std::optional<std::string> currentPart;
    std::optional<std::string> partSrcRoot;
    std::optional<std::string> orvexRoot;
    std::string root;
};

const RootCase rootCases[] = {
    {std::nullopt, std::nullopt, "/opt/root", "/opt/root"},
    {"", "/src/p", "/opt/root", "/opt/root"},
    {"PART_NON_COMPONENTS", "/src/p", "/opt/root", "/opt/root"},
    // The value is taken as it is, trailing "/" included.
    {"libfoo", "/src/libfoo/", "/opt/root", "/src/libfoo/"},
    // Only the exact text PART_NON_COMPONENTS selects ORVEX_ROOT.
    {"part_non_components", "/src/p", "/opt/root", "/src/p"},
    {"PART_NON_COMPONENTS ", "/src/p", "/opt/root", "/src/p"},
};

TEST(DirShiftRelatedRoot, ChoosesTheVariableByCurrentPart) {
    for (const RootCase& c : rootCases) {
        SCOPED_TRACE(c.currentPart.value_or("(unset)"));
        ScopedEnvironment environment;
        environment.set("CURRENT_PART", c.currentPart);
        environment.set("PART_SRC_ROOT", c.partSrcRoot);
        environment.set("ORVEX_ROOT", c.orvexRoot);
        EXPECT_EQ(Access::relatedRoot(), c.root);
    }
}

// ---- What a run keeps between arguments ----

// One step of a run: an argument and the line it gives, or, when `currentPart` or `root` is
// set, a change of the environment before the next argument.
struct RunStep {
    std::string argument;
    std::string line;
    std::optional<std::string> currentPart = std::nullopt;
    std::optional<std::string> root = std::nullopt; // PART_SRC_ROOT and ORVEX_ROOT alike
};

struct RunCase {
    std::string name;
    std::vector<std::string> options;
    std::string startingDirectory;
    std::vector<RunStep> steps;
};

// The related root is read again for every argument, so a change between two arguments shows.
const RunCase runCases[] = {
    {"rsn root changes",
     {"-rsn"},
     "/ws/parts/sensor/src",
     {{"/ws/parts/sensor/src/main.c", "src/main.c"},
      {"", "", std::nullopt, "/ws/parts/common"},
      {"/ws/parts/sensor/src/main.c", "../sensor/src/main.c"},
      {"/ws/parts/common/inc/x.h", "inc/x.h"}}},
    {"rsn variable changes with the same text",
     {"-rsn"},
     "/",
     {{"/ws/parts/sensor/a", "a"}, {"", "", "PART_NON_COMPONENTS"}, {"/ws/parts/sensor/b", "b"}}},
    {"rmb rsn root changes",
     {"-rmb", "-rsn"},
     "/ws/parts/sensor/src",
     {{"main.c", "src/main.c"},
      {"", "", std::nullopt, "/ws/parts"},
      {"main.c", "sensor/src/main.c"},
      {"", "", std::nullopt, "/ws/tools/gen"},
      {"../inc/defs.h", "../../../ws/parts/sensor/inc/defs.h"}}},
    {"rmn several arguments",
     {"-rmn"},
     "/ws/parts/sensor/src",
     {{"/ws/parts/sensor/src/main.c", "main.c"},
      {"/ws/parts/sensor/inc/defs.h", "../inc/defs.h"},
      {"/ws/parts/sensor/src", ""}}},
};

// Arguments at the edge of the names written straight after the base they lie below (-rmn,
// -rsn) or after the text kept for the related root (-rmb -rsn): each line must be the one
// that splitting the argument gives.
const RunCase namesBelowBaseCases[] = {
    {"rmn below the starting directory",
     {"-rmn"},
     "/ws/parts/sensor/src",
     {{"/ws/parts/sensor/src/a/b.c", "a/b.c"},
      {"/ws/parts/sensor/src/./a", "a"},
      {"/ws/parts/sensor/src/../a", "../a"},
      {"/ws/parts/sensor/src//a", "a"},
      {"/ws/parts/sensor/src/a/", "a"},
      {"/ws/parts/sensor/src/a/..", ""},
      {"/ws/parts/sensor/src/", ""},
      {"/ws/parts/sensor/src", ""},
      {"/ws/parts/sensor/srcx/a", "../srcx/a"},
      {"/ws/parts/sensor/src/...", "..."},
      {"/ws/parts/sensor/src/.a/..b", ".a/..b"}}},
    {"rmn from the root", {"-rmn"}, "/", {{"//x", "x"}, {"/x", "../x/"}, {"//x/y", "x/y"}}},
    {"rmn from a directory ending in a slash", {"-rmn"}, "/ws/", {{"/ws//a", "a"}, {"/ws/a", "a"}}},
    {"rmn from a directory with dot-dot", {"-rmn"}, "/a/b/..", {{"/a/b/../c", "c"}, {"/a/c", "c"}}},
    {"rmn from a relative directory", {"-rmn"}, ".", {{"./x/y", "x/y"}, {"x/y", "x/y"}}},
    {"rmn from a directory that splits to nothing", {"-rmn"}, "a/..", {{"a/../b", "b"}}},
    {"rmn from an empty directory", {"-rmn"}, "", {{"/x", "x/"}}},
    {"rsn below the related root",
     {"-rsn"},
     "/",
     {{"/ws/parts/sensor/src/main.c", "src/main.c"},
      {"/ws/parts/sensor/./src", "src"},
      {"", "", std::nullopt, "/ws/parts/sensor/"},
      {"/ws/parts/sensor/src", "src"},
      {"/ws/parts/sensor//src", "src"},
      {"", "", std::nullopt, "/"},
      {"//x", "x"},
      {"/x", "../x/"}}},
    {"rmb rsn names below the starting directory",
     {"-rmb", "-rsn"},
     "/ws/parts/sensor/src",
     {{"main.c", "src/main.c"},
      {"./main.c", "src/main.c"},
      {"main.c/", "src/main.c"},
      {"/abs", "src/abs"},
      {"../x", "x"},
      {"a//b", "src/a/b"},
      {"", "src"},
      {"...", "src/..."},
      {".a", "src/.a"}}},
    {"rmb rsn starting at the related root",
     {"-rmb", "-rsn"},
     "/ws/parts/sensor",
     {{"main.c", "main.c"}}},
    {"rmb rsn related root below the starting directory",
     {"-rmb", "-rsn"},
     "/ws",
     {{"parts/sensor/src/main.c", "src/main.c"},
      {"x", ""},
      {"parts/sensor", ""},
      {"", "", std::nullopt, "/ws"},
      {"x", "x"}}},
    {"rmb rsn other bases",
     {"-rmb", "-rsn"},
     "/ws/tools/gen",
     {{"tmpl/a.t", "../../../ws/tools/gen/tmpl/a.t"},
      {"", "", std::nullopt, "/home"},
      {"a.c", "../ws/tools/gen/a.c"}}},
    {"rmb rsn starting directory with dot-dot",
     {"-rmb", "-rsn"},
     "a/../..",
     {{"x", "../../..../x"}}},
    {"rmb rsn starting directory joining to nothing",
     {"-rmb", "-rsn"},
     "../..",
     {{"", "", std::nullopt, "/ws"}, {"x", "..x"}}},
    {"rmb rsn from the root", {"-rmb", "-rsn"}, "/", {{"", "", std::nullopt, "/"}, {"x", "x"}}},
};

// Runs every case of `cases`, checking each line from the modes as they run and from the plain
// computation.
void checkRuns(std::span<const RunCase> cases) {
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnvironment environment;
        environment.set("CURRENT_PART", "sensor");
        environment.set("PART_SRC_ROOT", "/ws/parts/sensor");
        environment.set("ORVEX_ROOT", "/ws/parts/sensor");
        dirShift shifter = Access::makeRun(c.options);
        Access::setStartingDirectory(shifter, c.startingDirectory);
        for (const RunStep& step : c.steps) {
            if (step.currentPart)
                environment.set("CURRENT_PART", step.currentPart);
            if (step.root) {
                environment.set("PART_SRC_ROOT", step.root);
                environment.set("ORVEX_ROOT", step.root);
            }
            if (step.currentPart || step.root)
                continue;
            SCOPED_TRACE(step.argument);
            EXPECT_EQ(Access::line(shifter, step.argument), step.line);
            EXPECT_EQ(Access::plainLine(shifter, step.argument), step.line);
        }
    }
}

TEST(DirShiftRun, ReadsTheRelatedRootForEveryArgument) {
    checkRuns(runCases);
}

TEST(DirShiftRun, WritesNamesBelowTheBaseAsSplittingGivesThem) {
    checkRuns(namesBelowBaseCases);
}

// ---- Physical paths ----

// A tree with home/u/proj (the starting directory and the process's working directory),
// home/u/link -> data/work, and data/work/sub holding f.c.
class DirShiftPhysicalPathTest : public testing::Test {
  protected:
    void SetUp() override {
        tree.makeDirectory("home/u/proj");
        tree.makeDirectory("data/work/sub");
        tree.makeFile("data/work/sub/f.c");
        tree.makeLink("home/u/link", tree.root() / "data/work");
        ASSERT_EQ(chdir(proj.c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(testDirectory.c_str()), 0); }

    // Checks that resolving `s` gives `expected` and the message `err`, and that the process
    // is back in the starting directory afterwards.
    void expectPhysical(const std::string& s, const std::string& expected,
                        const std::string& err = "") {
        SCOPED_TRACE(s);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Access::physical(proj, s), expected);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
        EXPECT_EQ(std::filesystem::current_path().string(), proj);
    }

    const std::string testDirectory = std::filesystem::current_path().string();
    TempTree tree;
    const std::string root = tree.root().string();
    const std::string proj = root + "/home/u/proj";
    const std::string work = root + "/data/work";
};

TEST_F(DirShiftPhysicalPathTest, ResolvesDirectoriesAndTheParentsOfFiles) {
    expectPhysical(root + "/home/u/link", work);
    expectPhysical(root + "/home/u/link/", work);
    expectPhysical("../link", work);
    expectPhysical(".", proj);
    expectPhysical(root + "/home/u/link/sub/f.c", work + "/sub/f.c");
    expectPhysical(root + "/home/u/link/sub/g.c", work + "/sub/g.c");
    expectPhysical("/", "/");
}

TEST_F(DirShiftPhysicalPathTest, ReportsAParentThatCannotBeEntered) {
    const std::string message =
        "ERROR [dirShift]: Directory DNE \"" + root + "/home/u/link/new\"\n";
    expectPhysical(root + "/home/u/link/new/x", proj + "/x", message);
    expectPhysical(root + "/home/u/link/new/", proj + "/", message);
}

TEST_F(DirShiftPhysicalPathTest, TakesABareNameFromTheCurrentDirectory) {
    tree.makeFile("home/u/proj/main.c");
    expectPhysical("main.c", proj + "/main.c");
    expectPhysical("notyet.c", proj + "/notyet.c");
    expectPhysical("", proj + "/");
}

TEST_F(DirShiftPhysicalPathTest, TakesANameBelowTheRootFromTheRoot) {
    expectPhysical("/dirShift-no-such-entry", "/dirShift-no-such-entry");
}

// The way back is the directory the query started in, not the text of the starting directory:
// one that cannot be entered costs no message and does not strand the process.
TEST_F(DirShiftPhysicalPathTest, ReturnsToWhereItStartedWhenTheStartingDirectoryIsMissing) {
    const std::string gone = root + "/gone";
    testing::internal::CaptureStderr();
    EXPECT_EQ(Access::physical(gone, work), work);
    EXPECT_EQ(Access::physical(gone, "sub"), proj + "/sub");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(std::filesystem::current_path().string(), proj);
}

TEST_F(DirShiftPhysicalPathTest, ReturnsTheArgumentWhenTheWorkingDirectoryWasRemoved) {
    const std::string gone = root + "/gone";
    tree.makeDirectory("gone");
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Access::physical(gone, "."), ".");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR [dirShift]: cannot read the working directory while resolving \".\": No "
              "such file or directory\n");
}

// A chain of directories whose physical path is longer than a working-directory buffer holds;
// removed from the deepest level up with relative names, which stay short.
class DeepChain {
  public:
    DeepChain(const std::string& base, int levels) : base_(base), levels_(levels) {
        EXPECT_EQ(chdir(base_.c_str()), 0);
        for (int level = 0; level < levels_; ++level) {
            EXPECT_EQ(mkdir(name().c_str(), 0700), 0);
            EXPECT_EQ(chdir(name().c_str()), 0);
        }
        EXPECT_EQ(chdir(base_.c_str()), 0);
    }
    ~DeepChain() {
        if (chdir(base_.c_str()) != 0)
            return;
        for (int level = 0; level < levels_ - 1; ++level)
            if (chdir(name().c_str()) != 0)
                return;
        for (int level = 0; level < levels_; ++level) {
            rmdir(name().c_str());
            if (chdir("..") != 0)
                return;
        }
    }
    static std::string name() { return std::string(200, 'd'); }

  private:
    std::string base_;
    int levels_;
};

TEST_F(DirShiftPhysicalPathTest, ReturnsTheArgumentWhenTheWorkingDirectoryIsTooLong) {
    const DeepChain chain(proj, 21);
    // Walk down to the second-deepest level, where the path still fits.
    for (int level = 0; level < 20; ++level)
        ASSERT_EQ(chdir(DeepChain::name().c_str()), 0);
    const std::filesystem::path secondDeepest = std::filesystem::current_path();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Access::physical(proj, DeepChain::name()), DeepChain::name());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR [dirShift]: cannot read the working directory while resolving \"" +
                  DeepChain::name() + "\": its physical path is longer than 4095 characters\n");
    EXPECT_EQ(std::filesystem::current_path(), secondDeepest);
}

// Under -p the starting directory is resolved once per run: a link in its name that changes
// during the run does not move it.
TEST_F(DirShiftPhysicalPathTest, ResolvesTheStartingDirectoryOncePerRun) {
    dirShift shifter = Access::makeRun({"-rmn", "-p"});
    Access::setStartingDirectory(shifter, root + "/home/u/link");
    const std::string file = work + "/sub/f.c";
    testing::internal::CaptureStderr();
    EXPECT_EQ(Access::line(shifter, file), "sub/f.c");
    ASSERT_EQ(unlink((root + "/home/u/link").c_str()), 0);
    tree.makeLink("home/u/link", tree.root() / "data");
    EXPECT_EQ(Access::line(shifter, file), "sub/f.c");
    EXPECT_EQ(Access::plainLine(shifter, file), "work/sub/f.c");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A starting directory whose resolution writes a message is resolved again, message and all,
// for every argument.
TEST_F(DirShiftPhysicalPathTest, ResolvesAStartingDirectoryThatCannotBeEnteredForEveryArgument) {
    dirShift shifter = Access::makeRun({"-rmn", "-p"});
    Access::setStartingDirectory(shifter, root + "/gone/x");
    const std::string message = "ERROR [dirShift]: Directory DNE \"" + root + "/gone\"\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(Access::line(shifter, work + "/sub/f.c"), "../../../../data/work/sub/f.c");
    EXPECT_EQ(Access::line(shifter, work), "../../../../data/work");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message + message);
}

} // namespace
