// dirShift: rewrites file-system paths relative to the caller's directory or to a related root.
//
// Build scripts call it once per file, so it does its work with plain system calls: every
// output line is one write(2), and no stream library is initialised at start-up.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

// The components of a path, component 0 first; an absolute path keeps its "/" in component 0.
using PathVector = std::vector<std::string>;

// The components of a path as views of the text they were split from, which must outlive them:
// the modes split each argument this way, without copying its components.
using PathPieces = std::vector<std::string_view>;

namespace {

constexpr std::string_view errorPrefix = "ERROR [dirShift]: ";

// Writes all of `text` to the descriptor `fd`, resuming after interruptions and partial writes.
// Returns false, with errno set, when the descriptor refuses the data.
bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes `line` and a newline to standard error in one write. A failure is ignored: there is
// nowhere left to report it.
void writeErrorLine(std::string_view line) {
    std::string text(line);
    text += '\n';
    writeAll(STDERR_FILENO, text);
}

// Writes one "ERROR [dirShift]: " line holding `message` to standard error.
void reportError(std::string_view message) {
    std::string line(errorPrefix);
    line += message;
    writeErrorLine(line);
}

// Reports that the directory `name` could not be entered.
void reportMissingDirectory(const std::string& name) {
    reportError("Directory DNE \"" + name + "\"");
}

// Returns the value of the environment variable `name`, or the empty text when it is unset.
std::string_view environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string_view() : std::string_view(value);
}

// True when `piece` is a name that splitting keeps as it stands: not empty, "." or "..".
bool isPlainName(std::string_view piece) {
    return !piece.empty() && piece != "." && piece != "..";
}

// True when `names` is one or more plain names separated by single slashes, with no "/" in
// front or at the end: splitting it gives those names as they stand.
bool arePlainNames(std::string_view names) {
    for (std::size_t start = 0;;) {
        const std::size_t slash = names.find('/', start);
        if (!isPlainName(names.substr(start, slash - start)))
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}

// Returns the names that follow `base` and a "/" in `path`, or the empty text unless `base` is
// not empty and they are plain names. Splitting such a path gives the components of `base`
// followed by those names, whatever `base` holds, so the path relative to `base` is the names
// as written.
std::string_view plainNamesBelow(std::string_view base, std::string_view path) {
    if (base.empty() || path.size() <= base.size() + 1 || path[base.size()] != '/' ||
        !path.starts_with(base))
        return {};
    const std::string_view names = path.substr(base.size() + 1);
    return arePlainNames(names) ? names : std::string_view();
}

// Describes the state of the environment variable `name` for a message: its value in double
// quotes, "empty" or "not set".
std::string describeVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        return std::string(name) + " is not set";
    if (*value == '\0')
        return std::string(name) + " is empty";
    return std::string(name) + " is \"" + value + "\"";
}

// Explains why reading the working directory failed with the error number `error`.
std::string workingDirectoryProblem(int error) {
    if (error == ERANGE)
        return "its physical path is longer than 4095 characters";
    return std::strerror(error);
}

// True when `c` may stand unquoted in a shell word anywhere after the command name.
bool isShellSafe(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') ||
           std::string_view("_-./,:+@%=").find(c) != std::string_view::npos;
}

// Returns `word` as the shell reads it back unchanged: as it is when every character is safe,
// otherwise in single quotes with each single quote written as '\''.
std::string shellQuoted(const std::string& word) {
    bool safe = !word.empty();
    for (const char c : word)
        safe = safe && isShellSafe(c);
    if (safe)
        return word;
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

// Returns the character at `index` of `arg`, or '\0' when `arg` is shorter.
char charAt(std::string_view arg, std::size_t index) {
    return index < arg.size() ? arg[index] : '\0';
}

} // namespace

// One run of the path adjuster: the command line, the starting directory, and the modes that
// rewrite each path argument.
class dirShift {
  public:
    // Reads the command line and the starting directory; with no arguments at all, writes the
    // usage text and ends the process with status 1. With -d, echoes the call on standard error.
    dirShift(int argc, char** argv);
    dirShift(const dirShift&) = delete;
    dirShift& operator=(const dirShift&) = delete;
    // Closes the starting directory's descriptor, if -p opened one.
    ~dirShift();

    // Writes one result line per path argument in the selected mode, each flushed on its own,
    // handing each argument over to its mode. Returns 0, or 1 after reporting that standard
    // output refused a line.
    int adjust();

  private:
    friend class dirShiftTestAccess;

    static constexpr std::string_view ABOUT = "C++ Replacement for Perl implementation of dirShift";
    static constexpr std::string_view VERSION = "Version 1.1";
    static constexpr std::string_view USAGE =
        "Usage: dirShift [-rmb -rsn|-rmn|-rmn -p|-rsn] (path)+";
    static constexpr bool DEBUG = false; // changes nothing; kept as the class has always had it
    static bool DEBUG_CMDLINE;
    static bool RMB;
    static bool RSN;
    static bool RMN;
    static bool P;
    static bool D; // reserved option flag; nothing sets or reads it

    PathVector pathParameters; // the path arguments, verbatim and in command-line order
    PathVector PATH;           // unused, kept with the class's layout
    PathVector RELATED_ROOT;   // unused; the modes build local vectors of this name
    PathVector PWD;            // unused, kept with the class's layout
    std::string originalPath;  // the starting directory, captured once
    // The working directory the process started in, opened when -p first needs it so that
    // every query returns there whatever PWD names; -1 before that or when it cannot be opened.
    int originalDirectory = -1;
    bool originalDirectoryTried = false; // whether opening originalDirectory was attempted

    // What the modes share between path arguments: each is made when the first argument needs
    // it. The starting directory, as text and physically, cannot change during a run; the
    // related root is split again whenever the text it is read from changes.
    std::optional<PathVector> originalPathComponents; // originalPath split
    std::string physicalOriginalPath;                 // its physical form
    PathVector physicalOriginalPathComponents;        // that split
    bool physicalOriginalPathKept = false;            // whether that split holds for the whole run
    std::string relatedRootText; // the related root last read; empty before the first
    PathVector relatedRootSplit; // relatedRootText split
    PathPieces argumentPieces;   // the argument being adjusted, split; reused for each
    PathPieces joinedPieces;     // -rmb -rsn: the argument joined to the starting directory
    std::string spareLine;       // the line last written, whose room the next line reuses
    // -rmb -rsn for an argument of plain names: the text in front of the names, for the related
    // root last split, and whether it holds (see namesLeadFromRelatedRoot).
    std::string namesLead;
    std::optional<bool> namesLeadHolds; // empty until made for the related root last split

    // Sets the option flags from the leading "-" arguments and collects the rest as paths.
    // Returns 0 when there is no argument besides the program name, 1 otherwise.
    int parseCommandLine(int argc, char** argv);

    // Sets the one flag that the option argument `arg` selects, if any, from its 2nd to 4th
    // characters; an argument that selects nothing is ignored.
    static void applyOption(std::string_view arg);

    // Writes "dirShift call:: cd DIR && dirShift FLAGS PATHS" to standard error, quoting every
    // word that the shell would otherwise change, so the line runs the same call again.
    void echoCall() const;

    // Returns the result line, without its newline, of the selected mode for `path`.
    std::string applySelectedMode(std::string path);

    // Returns an empty string with the room of the line last written, which adjust() hands
    // back after writing it, so that the lines of a run share one allocation.
    std::string takeLineBuffer();

    // The -rmb mode alone: returns "RMB" whatever `path` holds.
    static std::string adjustRMB(std::string path);

    // Writes "[i]=component" for every component of `vs` to standard error.
    static void printVectorString(const PathVector& vs);

    // The path operations below work alike on a PathVector and on PathPieces (Component is
    // std::string or std::string_view).

    // Returns the components of `vs` from index `offset` on, joined by "/"; a negative offset
    // renders from component 0, an offset at or past the end gives the empty text.
    template <typename Component>
    static std::string printVectorStringAsPath(const std::vector<Component>& vs, int offset);

    // Appends what printVectorStringAsPath returns for `vs` and `offset` to `ret`.
    template <typename Component>
    static void appendVectorAsPath(const std::vector<Component>& vs, int offset, std::string& ret);

    // Empties `v` and fills it with the components of `p`, resolving "." and ".." as text.
    static void path2vector(std::string p, PathVector& v);

    // Empties `pieces` and fills it with the components of `p` as path2vector splits it.
    static void path2pieces(std::string_view p, PathPieces& pieces);

    // Adds the components of the non-empty `p` to the empty `v`, as path2vector splits it.
    template <typename Component>
    static void splitPath(std::string_view p, std::vector<Component>& v);

    // Adds one piece between separators of a path to `v`: ".." cancels the last component
    // unless there is none or it is ".." itself; "." and empty pieces add nothing.
    template <typename Component>
    static void addPathPiece(std::string_view piece, std::vector<Component>& v);

    // Returns `v1` followed by `v2`, with each ".." removing the last component gathered so far;
    // an absolute `v2` loses its leading "/" and lands below `v1`. PathPieces that it returns
    // view the strings of `v1` and the text that `v2` views.
    template <typename Component>
    static std::vector<Component> joinPathVectors(const PathVector& v1,
                                                  const std::vector<Component>& v2);

    // Empties `ret` and fills it with what joinPathVectors returns for `v1` and `v2`.
    template <typename Component>
    static void joinInto(const PathVector& v1, const std::vector<Component>& v2,
                         std::vector<Component>& ret);

    // Adds `component` to `ret` under the joining rule: ".." removes the last component of a
    // non-empty `ret` and is appended to an empty one.
    template <typename Component>
    static void joinComponent(std::string_view component, std::vector<Component>& ret);

    // Returns the relative path that leads from the directory `baseVector` to `pathVector`;
    // an empty `pathVector` gives the climb out of `baseVector` alone.
    template <typename Component>
    static std::string calculateRelativePath(const std::vector<Component>& pathVector,
                                             const PathVector& baseVector);

    // Appends what calculateRelativePath returns for `pathVector` and `baseVector` to `ret`,
    // making room for a newline after it.
    template <typename Component>
    static void appendRelativePath(const std::vector<Component>& pathVector,
                                   const PathVector& baseVector, std::string& ret);

    // Returns the physical form of `s` (symbolic links resolved) by entering it, or its parent
    // when it cannot be entered, and reading the working directory back. A relative `s` is
    // taken from the working directory the process started in, which it leaves the process in.
    std::string getPhysicalPath(std::string s);

    // A physical path and whether it was found without a message on standard error.
    struct PhysicalPath {
        std::string path;
        bool clean = true;
    };

    // The work of getPhysicalPath, which also tells whether it reported a problem.
    PhysicalPath resolvePhysicalPath(const std::string& s);

    // Opens the working directory the process started in as originalDirectory, on the first
    // call only, before any query leaves it. Reports a directory that cannot be opened.
    void openOriginalDirectory();

    // Makes the working directory the process started in current again: by its descriptor, or,
    // when it could not be opened, by the name in originalPath, staying put when that fails.
    // Returns false after reporting a failure.
    bool returnToOriginalDirectory();

    // Returns the related root: PART_SRC_ROOT for a component part, ORVEX_ROOT when
    // CURRENT_PART is unset, empty or PART_NON_COMPONENTS. Ends the process with status 2 when
    // the chosen variable is empty or unset.
    static std::string getRELATED_ROOT();

    // The text that getRELATED_ROOT returns, read in place from the environment.
    static std::string_view readRelatedRoot();

    // Returns originalPath split, splitting it at the first call only.
    const PathVector& startingDirectoryVector();

    // Returns the physical starting directory split, and leaves its text in
    // physicalOriginalPath. It is resolved at the first call and
    // kept for the run when that resolution wrote no message and the process returns to its
    // starting directory by a descriptor, so that every later resolution would give the same;
    // otherwise it is resolved again at every call, messages and all.
    const PathVector& physicalStartingDirectoryVector();

    // Returns the related root split, splitting it again only when getRELATED_ROOT's text
    // differs from the one split last. Ends the process as getRELATED_ROOT does.
    const PathVector& relatedRootVector();

    // For -rmb -rsn and the related root last split: makes namesLead the line for an argument
    // without components, followed by the "/" that joins names to it when it renders
    // components of the starting directory. An argument of plain names then gives namesLead
    // followed by the argument, provided that the related root skips no more components than
    // the starting directory joins; namesLeadHolds says whether it does.
    void namesLeadFromRelatedRoot(const PathVector& relatedRoot,
                                  const PathVector& originalPathVector);

    // Reports which root variable is missing and why it was chosen, then ends with status 2.
    [[noreturn]] static void stopForEmptyRelatedRoot(const char* rootVariable);

    // Returns PWD; without it, the physical working directory, as a shell would. Ends the
    // process with status 1 when neither is available.
    static std::string getPWD();

    // Appends to `line` the relative path that leads from the directory `base`, split as
    // `baseVector`, to `path`: the names below `base` as written when `path` is `base` followed
    // by plain names, otherwise from `path` split.
    void appendPathFrom(std::string_view base, const PathVector& baseVector, std::string_view path,
                        std::string& line);

    // The -rmn mode: `path` relative to the starting directory; with -p both are first
    // resolved to physical paths.
    std::string adjustRMN(std::string path);

    // The -rsn mode: `s`, as written, relative to the related root.
    std::string adjustRSN(std::string s);

    // The -rmb -rsn mode: `path` taken from the starting directory, expressed relative to the
    // related root.
    std::string adjustRSNandRMB(std::string path);

    // Appends to `ret` the path `pathVector`, taken from the starting directory
    // `originalPathVector`, expressed relative to the related root `RELATED_ROOT`: the result
    // of -rmb -rsn from split vectors. `joined` is where the two are joined; the number of its
    // leading components left out of `ret` is returned.
    template <typename Component>
    static std::size_t expressFromRelatedRoot(const PathVector& RELATED_ROOT,
                                              const PathVector& originalPathVector,
                                              const std::vector<Component>& pathVector,
                                              std::vector<Component>& joined, std::string& ret);
};

bool dirShift::DEBUG_CMDLINE = false;
bool dirShift::RMB = false;
bool dirShift::RSN = false;
bool dirShift::RMN = false;
bool dirShift::P = false;
bool dirShift::D = false;

dirShift::dirShift(int argc, char** argv) {
    if (parseCommandLine(argc, argv) == 0) {
        writeErrorLine(ABOUT);
        writeErrorLine(VERSION);
        writeErrorLine(USAGE);
        std::exit(1);
    }
    originalPath = getPWD();
    if (DEBUG_CMDLINE)
        echoCall();
}

int dirShift::parseCommandLine(int argc, char** argv) {
    if (argc < 2)
        return 0;
    int index = 1;
    for (; index < argc && argv[index][0] == '-'; ++index)
        applyOption(argv[index]);
    pathParameters.reserve(static_cast<std::size_t>(argc - index));
    for (; index < argc; ++index)
        pathParameters.emplace_back(argv[index]);
    return 1;
}

void dirShift::applyOption(std::string_view arg) {
    if (charAt(arg, 2) == 'm' && charAt(arg, 3) == 'n')
        RMN = true;
    else if (charAt(arg, 1) == 'p')
        P = true;
    else if (charAt(arg, 2) == 's')
        RSN = true;
    else if (charAt(arg, 3) == 'b')
        RMB = true;
    else if (charAt(arg, 1) == 'd')
        DEBUG_CMDLINE = true;
}

void dirShift::echoCall() const {
    std::string line = "dirShift call:: cd " + shellQuoted(originalPath) + " && dirShift";
    if (RMB)
        line += " -rmb";
    if (RSN)
        line += " -rsn";
    if (RMN)
        line += " -rmn";
    if (P)
        line += " -p";
    line += ' ';
    for (std::size_t i = 0; i < pathParameters.size(); ++i) {
        if (i > 0)
            line += ' ';
        line += shellQuoted(pathParameters[i]);
    }
    writeErrorLine(line);
}

int dirShift::adjust() {
    if (!RMN && !RSN && !RMB)
        return 0;
    // Each mode takes its path argument by value; the last use hands it over without a copy.
    for (std::string& path : pathParameters) {
        std::string line = applySelectedMode(std::move(path));
        line += '\n';
        if (!writeAll(STDOUT_FILENO, line)) {
            const int writeError = errno;
            reportError(std::string("cannot write to standard output: ") +
                        std::strerror(writeError));
            return 1;
        }
        if (line.capacity() > spareLine.capacity()) // a short line has no room of its own
            spareLine = std::move(line);
    }
    return 0;
}

std::string dirShift::takeLineBuffer() {
    std::string line = std::move(spareLine);
    line.clear();
    return line;
}

std::string dirShift::applySelectedMode(std::string path) {
    if (RMN)
        return adjustRMN(std::move(path));
    if (RSN && RMB)
        return adjustRSNandRMB(std::move(path));
    if (RSN)
        return adjustRSN(std::move(path));
    return adjustRMB(std::move(path));
}

std::string dirShift::adjustRMB(std::string /*path*/) {
    return "RMB";
}

void dirShift::printVectorString(const PathVector& vs) {
    for (std::size_t i = 0; i < vs.size(); ++i)
        writeErrorLine("[" + std::to_string(i) + "]=" + vs[i]);
}

template <typename Component>
std::string dirShift::printVectorStringAsPath(const std::vector<Component>& vs, int offset) {
    std::string ret;
    appendVectorAsPath(vs, offset, ret);
    return ret;
}

template <typename Component>
void dirShift::appendVectorAsPath(const std::vector<Component>& vs, int offset, std::string& ret) {
    const std::size_t first = offset < 0 ? 0 : static_cast<std::size_t>(offset);
    for (std::size_t i = first; i < vs.size(); ++i) {
        if (i > first)
            ret += '/';
        ret += vs[i];
    }
}

void dirShift::path2vector(std::string p, PathVector& v) {
    v.clear();
    if (p.empty())
        return;
    // At most one component more than there are "/": reserving spares the vector its regrowth.
    v.reserve(static_cast<std::size_t>(std::count(p.begin(), p.end(), '/')) + 1);
    splitPath(p, v);
}

void dirShift::path2pieces(std::string_view p, PathPieces& pieces) {
    pieces.clear();
    if (!p.empty())
        splitPath(p, pieces);
}

template <typename Component>
void dirShift::splitPath(std::string_view p, std::vector<Component>& v) {
    std::string_view::size_type first = p.find('/');
    if (first == std::string_view::npos) {
        if (p != ".")
            v.emplace_back(p);
        return;
    }
    if (first == 0) {
        first = p.find('/', 1);
        if (first == std::string_view::npos) { // the leading "/" is the only one
            v.emplace_back(p);
            return;
        }
    }
    // The leading piece is a root component such as /opt, or the first name; never empty.
    const std::string_view leading = p.substr(0, first);
    if (leading != ".")
        v.emplace_back(leading);
    for (std::string_view::size_type next = p.find('/', first + 1); next != std::string_view::npos;
         next = p.find('/', first + 1)) {
        addPathPiece(p.substr(first + 1, next - first - 1), v);
        first = next;
    }
    addPathPiece(p.substr(first + 1), v);
}

template <typename Component>
void dirShift::addPathPiece(std::string_view piece, std::vector<Component>& v) {
    if (piece == ".." && !v.empty() && v.back() != "..")
        v.pop_back();
    else if (!piece.empty() && piece != ".")
        v.emplace_back(piece);
}

template <typename Component>
std::vector<Component> dirShift::joinPathVectors(const PathVector& v1,
                                                 const std::vector<Component>& v2) {
    std::vector<Component> ret;
    joinInto(v1, v2, ret);
    return ret;
}

template <typename Component>
void dirShift::joinInto(const PathVector& v1, const std::vector<Component>& v2,
                        std::vector<Component>& ret) {
    ret.clear();
    ret.reserve(v1.size() + v2.size()); // never more components than the two hold together
    for (const std::string& component : v1)
        joinComponent(component, ret);
    if (v2.empty())
        return;
    std::size_t index = 0;
    if (v2[0].starts_with('/')) {
        // An absolute v2 is appended below v1: its root component loses the "/" and is taken
        // as it stands, even when that leaves ".." or an empty component.
        ret.emplace_back(std::string_view(v2[0]).substr(1));
        index = 1;
    }
    if (index < v2.size() && v2[index] == "/.." && !ret.empty()) {
        ret.pop_back();
        ++index;
    }
    for (; index < v2.size(); ++index)
        joinComponent(v2[index], ret);
}

template <typename Component>
void dirShift::joinComponent(std::string_view component, std::vector<Component>& ret) {
    if (component == ".." && !ret.empty())
        ret.pop_back();
    else
        ret.emplace_back(component);
}

template <typename Component>
std::string dirShift::calculateRelativePath(const std::vector<Component>& pathVector,
                                            const PathVector& baseVector) {
    std::string ret;
    appendRelativePath(pathVector, baseVector, ret);
    return ret;
}

template <typename Component>
void dirShift::appendRelativePath(const std::vector<Component>& pathVector,
                                  const PathVector& baseVector, std::string& ret) {
    std::size_t i = 0;
    while (i < baseVector.size() && i < pathVector.size() && baseVector[i] == pathVector[i])
        ++i;
    // Room for the whole result at once, and for the newline that adjust() appends.
    std::size_t length = 3 * (baseVector.size() - i) + pathVector.size() + 1;
    for (std::size_t index = i; index < pathVector.size(); ++index)
        length += pathVector[index].size();
    ret.reserve(ret.size() + length);
    for (std::size_t climb = i; climb < baseVector.size(); ++climb)
        ret += "../";
    if (pathVector.empty())
        return;
    std::size_t start = i;
    if (i == 0 && pathVector[0].starts_with('/')) {
        // Nothing in common: the climb reached the file-system root, so the path's own root
        // component is written without its "/", always followed by one.
        ret += std::string_view(pathVector[0]).substr(1);
        ret += '/';
        start = 1;
    }
    for (std::size_t index = start; index < pathVector.size(); ++index) {
        if (index > start)
            ret += '/';
        ret += pathVector[index];
    }
}

dirShift::~dirShift() {
    if (originalDirectory >= 0)
        close(originalDirectory);
}

std::string dirShift::getPhysicalPath(std::string s) {
    return resolvePhysicalPath(s).path;
}

dirShift::PhysicalPath dirShift::resolvePhysicalPath(const std::string& s) {
    openOriginalDirectory();
    PhysicalPath resolved;
    std::string path;
    bool lastNodeStripped = false;
    std::string lastNode;
    int chdirRET = chdir(s.c_str());
    if (chdirRET != 0) {
        // Enter the parent instead and put the last component back afterwards. A bare name
        // lies in the current directory, and a name whose only "/" is the first in the root.
        const std::string::size_type lastDelim = s.rfind('/');
        if (lastDelim == std::string::npos) {
            path = ".";
            lastNode = "/" + s;
        } else {
            path = lastDelim == 0 ? std::string("/") : s.substr(0, lastDelim);
            lastNode = s.substr(lastDelim);
        }
        lastNodeStripped = true;
        chdirRET = chdir(path.c_str());
        if (chdirRET != 0) {
            reportMissingDirectory(path);
            resolved.clean = false;
        }
    }
    char cwdC[4096];
    const bool cwdRead = getcwd(cwdC, sizeof cwdC) != nullptr;
    const int cwdError = errno;
    if (!cwdRead) {
        reportError("cannot read the working directory while resolving \"" + s +
                    "\": " + workingDirectoryProblem(cwdError));
        resolved.clean = false;
    }
    resolved.clean = returnToOriginalDirectory() && resolved.clean;
    if (!cwdRead) {
        resolved.path = s;
        return resolved;
    }
    // In the root directory the last component's own "/" is the only one needed. The result
    // is made in one allocation, with room for the last component (empty unless stripped).
    const std::string_view directory =
        lastNodeStripped && std::strcmp(cwdC, "/") == 0 ? std::string_view() : cwdC;
    resolved.path.reserve(directory.size() + lastNode.size());
    resolved.path = directory;
    resolved.path += lastNode;
    return resolved;
}

void dirShift::openOriginalDirectory() {
    if (originalDirectoryTried)
        return;
    originalDirectoryTried = true;
    // O_PATH needs neither a name, which PWD may not give, nor read permission on the directory.
    originalDirectory = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (originalDirectory < 0) {
        const int openError = errno;
        reportError(std::string("cannot open the working directory to return to it: ") +
                    std::strerror(openError));
    }
}

bool dirShift::returnToOriginalDirectory() {
    if (originalDirectory < 0) {
        if (chdir(originalPath.c_str()) == 0)
            return true;
        reportMissingDirectory(originalPath);
        return false;
    }
    if (fchdir(originalDirectory) == 0)
        return true;
    const int fchdirError = errno;
    reportError(std::string("cannot return to the working directory: ") +
                std::strerror(fchdirError));
    return false;
}

std::string dirShift::getRELATED_ROOT() {
    return std::string(readRelatedRoot());
}

std::string_view dirShift::readRelatedRoot() {
    const std::string_view sCURRENT_PART = environmentValue("CURRENT_PART");
    const char* rootVariable = sCURRENT_PART.empty() || sCURRENT_PART == "PART_NON_COMPONENTS"
                                   ? "ORVEX_ROOT"
                                   : "PART_SRC_ROOT";
    const std::string_view sRELATED_ROOT = environmentValue(rootVariable);
    if (sRELATED_ROOT.empty())
        stopForEmptyRelatedRoot(rootVariable);
    return sRELATED_ROOT;
}

const PathVector& dirShift::startingDirectoryVector() {
    if (!originalPathComponents)
        path2vector(originalPath, originalPathComponents.emplace());
    return *originalPathComponents;
}

const PathVector& dirShift::physicalStartingDirectoryVector() {
    if (physicalOriginalPathKept)
        return physicalOriginalPathComponents;
    const PhysicalPath resolved = resolvePhysicalPath(originalPath);
    physicalOriginalPath = resolved.path;
    path2vector(physicalOriginalPath, physicalOriginalPathComponents);
    physicalOriginalPathKept = resolved.clean && originalDirectory >= 0;
    return physicalOriginalPathComponents;
}

const PathVector& dirShift::relatedRootVector() {
    const std::string_view text = readRelatedRoot();
    if (text != relatedRootText) {
        relatedRootText = text;
        path2vector(relatedRootText, relatedRootSplit);
        namesLeadHolds.reset();
    }
    return relatedRootSplit;
}

void dirShift::namesLeadFromRelatedRoot(const PathVector& relatedRoot,
                                        const PathVector& originalPathVector) {
    namesLead.clear();
    const std::size_t skipped = expressFromRelatedRoot(relatedRoot, originalPathVector,
                                                       PathPieces(), joinedPieces, namesLead);
    // joinedPieces holds the starting directory joined to nothing; the names come after it.
    namesLeadHolds = skipped <= joinedPieces.size();
    if (joinedPieces.size() > skipped)
        namesLead += '/';
}

void dirShift::stopForEmptyRelatedRoot(const char* rootVariable) {
    reportError("dirShift_c:314: std::string dirShift::getRELATED_ROOT(): Assertion "
                "`! sRELATED_ROOT.empty()' failed.");
    reportError(describeVariable("CURRENT_PART") + ", so the related root is taken from " +
                rootVariable + ", which is " +
                (std::getenv(rootVariable) == nullptr ? "not set" : "empty"));
    std::exit(2);
}

std::string dirShift::getPWD() {
    if (const char* pwd = std::getenv("PWD"))
        return pwd;
    char cwdC[4096];
    if (getcwd(cwdC, sizeof cwdC) == nullptr) {
        const int cwdError = errno;
        reportError("PWD is not set and the working directory cannot be read: " +
                    workingDirectoryProblem(cwdError));
        std::exit(1);
    }
    return cwdC;
}

void dirShift::appendPathFrom(std::string_view base, const PathVector& baseVector,
                              std::string_view path, std::string& line) {
    const std::string_view names = plainNamesBelow(base, path);
    if (!names.empty()) {
        line.reserve(line.size() + names.size() + 1); // and the newline that adjust() appends
        line += names;
        return;
    }
    path2pieces(path, argumentPieces);
    appendRelativePath(argumentPieces, baseVector, line);
}

std::string dirShift::adjustRMN(std::string path) {
    std::string line = takeLineBuffer();
    if (P) {
        const std::string physicalPath = getPhysicalPath(std::move(path));
        const PathVector& physicalStart = physicalStartingDirectoryVector();
        appendPathFrom(physicalOriginalPath, physicalStart, physicalPath, line);
        return line;
    }
    appendPathFrom(originalPath, startingDirectoryVector(), path, line);
    return line;
}

// The RSN modes name their related-root vector after the member they once filled.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"

std::string dirShift::adjustRSN(std::string s) {
    const PathVector& RELATED_ROOT = relatedRootVector();
    std::string line = takeLineBuffer();
    appendPathFrom(relatedRootText, RELATED_ROOT, s, line);
    return line;
}

std::string dirShift::adjustRSNandRMB(std::string path) {
    const PathVector& RELATED_ROOT = relatedRootVector();
    const PathVector& originalPathVector = startingDirectoryVector();
    if (!namesLeadHolds)
        namesLeadFromRelatedRoot(RELATED_ROOT, originalPathVector);
    std::string line = takeLineBuffer();
    if (*namesLeadHolds && arePlainNames(path)) {
        line.reserve(namesLead.size() + path.size() + 1); // and the newline adjust() appends
        line += namesLead;
        line += path;
        return line;
    }
    path2pieces(path, argumentPieces);
    expressFromRelatedRoot(RELATED_ROOT, originalPathVector, argumentPieces, joinedPieces, line);
    return line;
}

template <typename Component>
std::size_t dirShift::expressFromRelatedRoot(const PathVector& RELATED_ROOT,
                                             const PathVector& originalPathVector,
                                             const std::vector<Component>& pathVector,
                                             std::vector<Component>& joined, std::string& ret) {
    // The bases agree when one is a leading part of the other.
    bool basePathSame = true;
    for (std::size_t i = 0;
         i < RELATED_ROOT.size() && i < originalPathVector.size() && basePathSame; ++i)
        basePathSame = RELATED_ROOT[i] == originalPathVector[i];
    if (!basePathSame) {
        // Climb from the related root to the file-system root; the joined path below starts
        // with "/" and completes the last "..".
        for (std::size_t level = 1; level < RELATED_ROOT.size(); ++level)
            ret += "../";
        ret += "..";
    }
    joinInto(originalPathVector, pathVector, joined);
    const std::size_t skipped = basePathSame ? RELATED_ROOT.size() : 0;
    appendVectorAsPath(joined, static_cast<int>(skipped), ret);
    return skipped;
}

#pragma GCC diagnostic pop

#ifndef DIRSHIFT_NO_MAIN
int main(int argc, char** argv) {
    dirShift shifter(argc, argv);
    return shifter.adjust();
}
#endif
