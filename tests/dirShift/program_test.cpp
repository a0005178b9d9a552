// End-to-end tests of the built dirShift: each case runs the program with a controlled
// environment and checks standard output, standard error and the exit status exactly.

#include "run_program.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using kittest::Result;
using kittest::TempTree;

const std::string program = DIRSHIFT_PROGRAM;

struct ProgramCase {
    std::vector<std::string> args;
    std::vector<std::string> environment;
    std::string out;
    std::string err;
    int status = 0;
};

std::string describe(const ProgramCase& c) {
    std::string text = "dirShift";
    for (const std::string& arg : c.args)
        text += " '" + arg + "'";
    for (const std::string& entry : c.environment)
        text += " [" + entry + "]";
    return text;
}

// Runs one case, in `directory` when it is given, and compares everything the program left.
void expectRun(const ProgramCase& c, const std::string& directory = "") {
    SCOPED_TRACE(describe(c));
    const Result result = kittest::run({.program = program,
                                        .arguments = c.args,
                                        .environment = c.environment,
                                        .directory = directory});
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, c.status);
}

const std::string usage = "C++ Replacement for Perl implementation of dirShift\n"
                          "Version 1.1\n"
                          "Usage: dirShift [-rmb -rsn|-rmn|-rmn -p|-rsn] (path)+\n";

// ---- Command line ----

// PWD is /home/u/proj and the related root /home/u, so -rsn x gives ../../x, -rmb -rsn x gives
// proj/x and -rmn x gives ../../../x.
const std::vector<std::string> homeSetting = {"PWD=/home/u/proj", "ORVEX_ROOT=/home/u"};

const ProgramCase commandLineCases[] = {
    {{}, homeSetting, "", usage, 1},
    {{}, {}, "", usage, 1},
    {{"-rmb", "src", "../inc"}, homeSetting, "RMB\nRMB\n", "", 0},
    {{"src"}, homeSetting, "", "", 0},
    {{"-p", "src"}, homeSetting, "", "", 0},
    {{"-rmn"}, homeSetting, "", "", 0},
    // The echo line keeps its blank when there are no paths.
    {{"-d"}, homeSetting, "", "dirShift call:: cd /home/u/proj && dirShift \n", 0},
    {{"-d", "x"}, homeSetting, "", "dirShift call:: cd /home/u/proj && dirShift x\n", 0},
    // Options are echoed once each in a fixed order; paths are separate words.
    {{"-d", "-rsn", "-rmb", "a", "b"},
     homeSetting,
     "proj/a\nproj/b\n",
     "dirShift call:: cd /home/u/proj && dirShift -rmb -rsn a b\n",
     0},
    {{"-p", "-d", "-rmn", "-rsn", "-p", "-rmb", "-d"},
     homeSetting,
     "",
     "dirShift call:: cd /home/u/proj && dirShift -rmb -rsn -rmn -p \n",
     0},
    {{"-rmb", "-rmb", "-d", "x"},
     homeSetting,
     "RMB\n",
     "dirShift call:: cd /home/u/proj && dirShift -rmb x\n",
     0},
    {{"-rmn", "-rsn", "-rmb", "x"}, homeSetting, "../../../x\n", "", 0},
    {{"-rsn", "-rmb", "x"}, homeSetting, "proj/x\n", "", 0},
    {{"-rmb", "-rsn", "x"}, homeSetting, "proj/x\n", "", 0},
    {{"-rsn", "x"}, homeSetting, "../../x\n", "", 0},
    {{"-p", "-rsn", "x"}, homeSetting, "../../x\n", "", 0},
    // How each option word is read is tested in-process; one odd word end to end: the 4th
    // character of -debug is "b".
    {{"-debug", "x"}, homeSetting, "RMB\n", "", 0},
};

TEST(DirShiftCommandLine, SelectsTheModeAndEchoesTheCall) {
    for (const ProgramCase& c : commandLineCases)
        expectRun(c);
}

TEST(DirShiftCommandLine, QuotesEchoedWordsThatTheShellWouldChange) {
    expectRun({{"-d", "-rmb", "a b", "it's", "", "$HOME", "plain/x-1.c"},
               {"PWD=/home/u/my proj"},
               "RMB\nRMB\nRMB\nRMB\nRMB\n",
               "dirShift call:: cd '/home/u/my proj' && dirShift -rmb 'a b' 'it'\\''s' '' "
               "'$HOME' plain/x-1.c\n",
               0});
    expectRun({{"-d"}, {"PWD="}, "", "dirShift call:: cd '' && dirShift \n", 0});
}

// The echo line, given to a shell, repeats the call: same directory, options and paths.
TEST(DirShiftCommandLine, EchoLineRunsTheSameCallAgain) {
    TempTree tree;
    tree.makeDirectory("my proj/it's here");
    const std::string start = (tree.root() / "my proj/it's here").string();
    const std::vector<std::string> environment = {"PWD=" + start,
                                                  "ORVEX_ROOT=" + tree.root().string()};
    const Result first =
        kittest::run({.program = program,
                      .arguments = {"-d", "-rmb", "-rsn", "a b", "$HOME/x", "", "../*.c", "it's"},
                      .environment = environment});
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "my proj/it's here/a b\nmy proj/it's here/$HOME/x\nmy proj/it's here\n"
                         "my proj/*.c\nmy proj/it's here/it's\n");

    const std::string prefix = "dirShift call:: ";
    ASSERT_EQ(first.err.rfind(prefix, 0), 0u) << first.err;
    std::string command = first.err.substr(prefix.size());
    const std::string::size_type call = command.find(" && dirShift ");
    ASSERT_NE(call, std::string::npos) << command;
    command.replace(call, 12, " && '" + program + "'");
    const Result second = kittest::run({.program = "/bin/sh",
                                        .arguments = {"-c", command},
                                        .environment = {"ORVEX_ROOT=" + tree.root().string()}});
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(second.err, ""); // -d itself is not echoed
    EXPECT_EQ(second.status, 0);
}

// ---- Starting directory ----

TEST(DirShiftStartingDirectory, FallsBackToTheWorkingDirectoryWithoutPWD) {
    expectRun({{"-d", "-rmn", "/a/b", "/"},
               {},
               "../a/b\n\n",
               "dirShift call:: cd / && "
               "dirShift -rmn /a/b /\n",
               0},
              "/");
}

TEST(DirShiftStartingDirectory, StopsWhenNeitherPWDNorTheWorkingDirectoryCanBeRead) {
    const TempTree tree;
    const std::filesystem::path gone = tree.makeDirectory("gone");
    const std::filesystem::path testDirectory = std::filesystem::current_path();
    // The program inherits a working directory that no longer exists.
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    const Result result = kittest::run({.program = program, .arguments = {"-rmn", "x"}});
    std::filesystem::current_path(testDirectory);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "ERROR [dirShift]: PWD is not set and the working directory cannot "
                          "be read: No such file or directory\n");
    EXPECT_EQ(result.status, 1);
}

// ---- Related root ----

const std::string assertionLine =
    "ERROR [dirShift]: dirShift_c:314: std::string dirShift::getRELATED_ROOT(): Assertion "
    "`! sRELATED_ROOT.empty()' failed.\n";

const ProgramCase emptyRootCases[] = {
    {{"-rsn", "x"},
     {"PWD=/home/u", "CURRENT_PART=libfoo", "ORVEX_ROOT=/opt/root"},
     "",
     assertionLine + "ERROR [dirShift]: CURRENT_PART is \"libfoo\", so the related root is "
                     "taken from PART_SRC_ROOT, which is not set\n",
     2},
    {{"-rsn", "x"},
     {"PWD=/home/u", "CURRENT_PART=libfoo", "PART_SRC_ROOT="},
     "",
     assertionLine + "ERROR [dirShift]: CURRENT_PART is \"libfoo\", so the related root is "
                     "taken from PART_SRC_ROOT, which is empty\n",
     2},
    {{"-rsn", "x"},
     {"PWD=/home/u", "PART_SRC_ROOT=/src/p"},
     "",
     assertionLine + "ERROR [dirShift]: CURRENT_PART is not set, so the related root is taken "
                     "from ORVEX_ROOT, which is not set\n",
     2},
    {{"-rsn", "x"},
     {"PWD=/home/u", "ORVEX_ROOT="},
     "",
     assertionLine + "ERROR [dirShift]: CURRENT_PART is not set, so the related root is taken "
                     "from ORVEX_ROOT, which is empty\n",
     2},
    {{"-rsn", "x"},
     {"PWD=/home/u", "CURRENT_PART="},
     "",
     assertionLine + "ERROR [dirShift]: CURRENT_PART is empty, so the related root is taken "
                     "from ORVEX_ROOT, which is not set\n",
     2},
    // The stop comes before the first line, in both modes that need the root.
    {{"-rmb", "-rsn", "a", "b"},
     {"PWD=/home/u", "CURRENT_PART=PART_NON_COMPONENTS", "PART_SRC_ROOT=/src/p"},
     "",
     assertionLine + "ERROR [dirShift]: CURRENT_PART is \"PART_NON_COMPONENTS\", so the related "
                     "root is taken from ORVEX_ROOT, which is not set\n",
     2},
};

TEST(DirShiftRelatedRoot, StopsWhenTheChosenVariableIsEmpty) {
    for (const ProgramCase& c : emptyRootCases)
        expectRun(c);
}

// ---- Modes ----

// One argument per case, printing one line.
struct LineCase {
    std::string argument;
    std::string line;
};

// Runs every case of `cases` with `options` in front of the argument, in `environment`.
void expectLines(const std::vector<std::string>& options,
                 const std::vector<std::string>& environment, const std::vector<LineCase>& cases,
                 const std::string& directory = "") {
    for (const LineCase& c : cases) {
        std::vector<std::string> args = options;
        args.push_back(c.argument);
        expectRun({args, environment, c.line + "\n", "", 0}, directory);
    }
}

TEST(DirShiftModeRMN, ExpressesThePathFromTheStartingDirectory) {
    expectLines({"-rmn"}, {"PWD=/ws/parts/sensor/src"},
                {
                    {"/ws/parts/sensor/src/main.c", "main.c"},
                    {"/ws/parts/sensor/inc/defs.h", "../inc/defs.h"},
                    {"/ws/parts/sensor/src/../inc/./defs.h", "../inc/defs.h"},
                    {"/ws/tools/bin/gen", "../../../tools/bin/gen"},
                    {"/etc/hosts", "../../../../etc/hosts"},
                    {"/ws/parts/sensor/src", ""},
                    {"/ws/parts/sensor/src/", ""},
                    {"/ws", "../../../"},
                    // Relative arguments are taken as written, not from the starting directory.
                    {"src/main.c", "../../../../src/main.c"},
                    {"../inc/defs.h", "../../../../../inc/defs.h"},
                    // An argument that splits to nothing gives the climb alone.
                    {".", "../../../../"},
                    {"./", "../../../../"},
                    {"x/..", "../../../../"},
                    {"", "../../../../"},
                });
}

TEST(DirShiftModeRSN, ExpressesThePathFromTheRelatedRoot) {
    expectLines({"-rsn"}, {"CURRENT_PART=sensor", "PART_SRC_ROOT=/ws/parts/sensor"},
                {
                    {"/ws/parts/sensor/src/main.c", "src/main.c"},
                    {"/ws/parts/sensor/src/../inc/defs.h", "inc/defs.h"},
                    {"/ws/parts/common/inc", "../common/inc"},
                    {"/ws/parts", "../"},
                    {"/ws/parts/sensor", ""},
                    {"/sw/lib/libm.a", "../../../sw/lib/libm.a"},
                    {"src/main.c", "../../../src/main.c"},
                    {".", "../../../"},
                    {"x/..", "../../../"},
                });
    // CURRENT_PART set to PART_NON_COMPONENTS, empty, or unset: ORVEX_ROOT is the root.
    for (const std::vector<std::string>& part :
         {std::vector<std::string>{"CURRENT_PART=PART_NON_COMPONENTS"}, {"CURRENT_PART="}, {}}) {
        std::vector<std::string> environment = {"ORVEX_ROOT=/sw/root",
                                                "PART_SRC_ROOT=/ws/parts/sensor"};
        environment.insert(environment.end(), part.begin(), part.end());
        expectLines({"-rsn"}, environment, {{"/sw/root/include/x.h", "include/x.h"}});
    }
}

TEST(DirShiftModeRSNandRMB, ExpressesThePathFromTheStartingDirectoryInTheRelatedRoot) {
    struct Case {
        std::string pwd;
        std::string argument;
        std::string line;
    };
    const Case cases[] = {
        {"/ws/parts/sensor/src", "main.c", "src/main.c"},
        {"/ws/parts/sensor/src", "../inc/defs.h", "inc/defs.h"},
        {"/ws/parts/sensor/src/deep", "../../inc/a.h", "inc/a.h"},
        {"/ws/parts/sensor", "./src//main.c", "src/main.c"},
        {"/ws/parts/sensor/src", ".", "src"},
        {"/ws/parts/sensor", ".", ""},
        {"/ws/parts/sensor", "..", ""},
        // A starting directory above the related root counts as the same base.
        {"/ws", "parts/sensor/src/main.c", "src/main.c"},
        // Different bases: climb to the file-system root, then the whole joined path.
        {"/ws/tools/gen", "tmpl/a.t", "../../../ws/tools/gen/tmpl/a.t"},
        {"/ws/tools/gen", "../../x", "../../../ws/x"},
        {"/ws/parts/sensor2/src", "a.c", "../../../ws/parts/sensor2/src/a.c"},
        // Only the number of root components is skipped, not their names.
        {"/ws/parts/sensor/src", "../../common/inc", "inc"},
        {"/ws/parts/sensor/src", "/abs/x/y", "src/abs/x/y"},
        {"/ws/parts/sensor/src", "/x", "src/x"},
    };
    for (const char* root : {"PART_SRC_ROOT=/ws/parts/sensor", "PART_SRC_ROOT=/ws/parts/sensor/"})
        for (const Case& c : cases)
            expectLines({"-rmb", "-rsn"}, {"PWD=" + c.pwd, "CURRENT_PART=sensor", root},
                        {{c.argument, c.line}});
    expectLines({"-rmb", "-rsn"}, {"PWD=/home/u", "CURRENT_PART=sensor", "PART_SRC_ROOT=/ws"},
                {{"a.c", "../home/u/a.c"}});
    expectLines({"-rmb", "-rsn"},
                {"PWD=/sw/root/lib/src", "CURRENT_PART=PART_NON_COMPONENTS", "ORVEX_ROOT=/sw/root"},
                {{"../include/x.h", "lib/include/x.h"}});
}

TEST(DirShiftModes, PrintOneLinePerArgumentInOrder) {
    expectRun(
        {{"-rmb", "-rsn", "main.c", "../inc/defs.h"},
         {"PWD=/ws/parts/sensor/src", "CURRENT_PART=sensor", "PART_SRC_ROOT=/ws/parts/sensor"},
         "src/main.c\ninc/defs.h\n",
         "",
         0});
}

// ---- Physical paths ----

// /ws is a link to /export/ws; /ws/parts/sensor holds src, inc and obj, src/main.c and
// inc/defs.h, and nothing named nodir. The program starts in, and PWD names, the logical
// /ws/parts/sensor/src. All of it lives below a temporary root.
class DirShiftPhysicalModeTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* directory : {"src", "inc", "obj"})
            tree.makeDirectory(std::string("export/ws/parts/sensor/") + directory);
        tree.makeFile("export/ws/parts/sensor/src/main.c");
        tree.makeFile("export/ws/parts/sensor/inc/defs.h");
        tree.makeLink("ws", tree.root() / "export/ws");
    }

    TempTree tree;
    const std::string root = tree.root().string();
    const std::string start = root + "/ws/parts/sensor/src";
};

TEST_F(DirShiftPhysicalModeTest, ResolvesLinksOnBothSides) {
    expectLines({"-rmn", "-p"}, {"PWD=" + start},
                {
                    {"../inc/defs.h", "../inc/defs.h"},
                    {"../obj", "../obj"},
                    {root + "/ws/parts/sensor/src/main.c", "main.c"},
                    {root + "/ws/parts/sensor/inc", "../inc"},
                    {root + "/export/ws/parts/sensor/inc/defs.h", "../inc/defs.h"},
                    {".", ""},
                    {"", ""},
                    // A bare name that cannot be entered lies in the starting directory.
                    {"main.c", "main.c"},
                    {"new.c", "new.c"},
                },
                start);
}

TEST_F(DirShiftPhysicalModeTest, ReportsAParentThatCannotBeEntered) {
    expectRun({{"-rmn", "-p", "nodir/x.c", "main.c"},
               {"PWD=" + start},
               "x.c\nmain.c\n",
               "ERROR [dirShift]: Directory DNE \"nodir\"\n",
               0},
              start);
}

// A starting directory that cannot be entered is never needed: the program returns to the
// directory it was started in by descriptor, so the same relative argument means the same path
// wherever it stands on the line, and the missing PWD is resolved like a file not yet created.
TEST_F(DirShiftPhysicalModeTest, ResolvesEveryArgumentAlikeWhenTheStartCannotBeEntered) {
    const std::string gone = root + "/ws/parts/sensor/gone";
    expectRun({{"-rmn", "-p", "main.c", "../inc", "main.c"},
               {"PWD=" + gone},
               "../src/main.c\n../inc\n../src/main.c\n",
               "",
               0},
              start);
}

// The program starts in t, which holds the directories d1 and d2, beside the directory other.
// PWD need not name t: a caller that gives its child another working directory (as Python's
// subprocess.run(..., cwd=...) does) passes its own PWD on unchanged.
class DirShiftPhysicalStartTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* directory : {"t/d1", "t/d2", "other"})
            tree.makeDirectory(directory);
    }

    // Runs -rmn -p on `paths` from t with PWD set to `pwd`, expecting `out` and no message.
    void expectResolved(const std::string& pwd, const std::vector<std::string>& paths,
                        const std::string& out) {
        std::vector<std::string> args = {"-rmn", "-p"};
        args.insert(args.end(), paths.begin(), paths.end());
        expectRun({args, {"PWD=" + pwd}, out, "", 0}, start);
    }

    TempTree tree;
    const std::string root = tree.root().string();
    const std::string start = root + "/t";
};

// Every relative argument is taken from t, whatever its place on the line; the lines are
// relative to the physical directory that PWD names, taken from t when PWD is relative.
TEST_F(DirShiftPhysicalStartTest, ResolvesEveryRelativePathFromTheDirectoryItStartedIn) {
    struct Case {
        std::string pwd;
        std::vector<std::string> paths;
        std::string out;
    };
    const Case cases[] = {
        {start, {"d1", "d2"}, "d1\nd2\n"},
        {root, {"d1", "d2"}, "t/d1\nt/d2\n"},
        {root, {"d2", "d1"}, "t/d2\nt/d1\n"},
        {root, {"d2"}, "t/d2\n"},
        {root + "/other", {"d1", "d2", "../other"}, "../t/d1\n../t/d2\n\n"},
        {".", {"d1", "d2", "."}, "d1\nd2\n\n"},
        {"..", {"d1", "d2"}, "t/d1\nt/d2\n"},
    };
    for (const Case& c : cases)
        expectResolved(c.pwd, c.paths, c.out);
}

// O_PATH holds on to a directory that may be searched but not read. Root reads every
// directory, so only an unprivileged run can tell.
TEST_F(DirShiftPhysicalStartTest, ReturnsToAStartingDirectoryThatCannotBeRead) {
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root, which may read any directory; needs an ordinary user";
    ASSERT_EQ(chmod(start.c_str(), 0111), 0);
    expectResolved(root, {"d1", "d2"}, "t/d1\nt/d2\n");
    EXPECT_EQ(chmod(start.c_str(), 0755), 0);
}

// Without a free descriptor the program says so and returns to the directory named by PWD,
// which gives the same lines wherever PWD names the directory it was started in.
TEST_F(DirShiftPhysicalStartTest, ReturnsByNameWhenTheStartingDirectoryCannotBeOpened) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer build is linked dynamically, and its loader needs a descriptor "
                    "that this test takes away";
#endif
    const Result result =
        kittest::run({.program = "/bin/sh",
                      .arguments = {"-c", "ulimit -n 3 && exec \"$0\" -rmn -p d1 d2", program},
                      .environment = {"PWD=" + start},
                      .directory = start});
    EXPECT_EQ(result.out, "d1\nd2\n");
    EXPECT_EQ(result.err, "ERROR [dirShift]: cannot open the working directory to return to it: "
                          "Too many open files\n");
    EXPECT_EQ(result.status, 0);
}

TEST_F(DirShiftPhysicalModeTest, TakesPathsAsWrittenWithoutP) {
    expectLines({"-rmn"}, {"PWD=" + start},
                {
                    {root + "/ws/parts/sensor/src/main.c", "main.c"},
                    // The physical name shares only the temporary root with the logical start.
                    {root + "/export/ws/parts/sensor/inc/defs.h",
                     "../../../../export/ws/parts/sensor/inc/defs.h"},
                },
                start);
}

// ---- Standard output ----

TEST(DirShiftOutput, ReportsAFailedWrite) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-rmn", "/x"}, {"-rmb", "a", "b"}}) {
        const Result result = kittest::run({.program = program,
                                            .arguments = args,
                                            .environment = {"PWD=/home/u"},
                                            .outputPath = "/dev/full"});
        EXPECT_EQ(result.err,
                  "ERROR [dirShift]: cannot write to standard output: No space left on device\n");
        EXPECT_EQ(result.status, 1);
    }
}

} // namespace
