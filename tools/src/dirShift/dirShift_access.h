// Test access to dirShift's private operations. The program's one source is compiled in
// without its main (DIRSHIFT_NO_MAIN); dirShiftTestAccess, which the class names as its friend,
// forwards to the private members. Shared by the unit tests and the fuzzer.
#pragma once

#include "dirShift_c.cpp"

#include <string>
#include <utility>
#include <vector>

class dirShiftTestAccess {
  public:
    static PathVector split(const std::string& p) {
        PathVector v;
        dirShift::path2vector(p, v);
        return v;
    }
    static void path2vector(const std::string& p, PathVector& v) { dirShift::path2vector(p, v); }
    static std::string render(const PathVector& vs, int offset) {
        return dirShift::printVectorStringAsPath(vs, offset);
    }
    static void dump(const PathVector& vs) { dirShift::printVectorString(vs); }
    static std::string relative(const PathVector& path, const PathVector& base) {
        return dirShift::calculateRelativePath(path, base);
    }
    static PathVector join(const PathVector& v1, const PathVector& v2) {
        return dirShift::joinPathVectors(v1, v2);
    }
    static std::string relatedRoot() { return dirShift::getRELATED_ROOT(); }

    // The flags that parsing `args` leaves, as the option letters in the echo line's order
    // followed by "d" for -d, and the path arguments it collects.
    struct Parsed {
        std::string flags;
        PathVector paths;
        int result = -1;
    };
    static Parsed parse(std::vector<std::string> args) {
        resetFlags();
        std::vector<char*> argv;
        std::string name = "dirShift";
        argv.push_back(name.data());
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        // Parsed on an object of its own: the constructor would end the process on no input.
        dirShift shifter = makeUnparsed();
        Parsed parsed;
        parsed.result = shifter.parseCommandLine(static_cast<int>(args.size() + 1), argv.data());
        parsed.paths = shifter.pathParameters;
        for (const auto& [flag, letter] : {std::pair{dirShift::RMB, "b"},
                                           {dirShift::RSN, "s"},
                                           {dirShift::RMN, "n"},
                                           {dirShift::P, "p"},
                                           {dirShift::DEBUG_CMDLINE, "d"}})
            if (flag)
                parsed.flags += letter;
        resetFlags();
        return parsed;
    }

    // Resolves `s` physically for a run whose starting directory is `startingDirectory`.
    static std::string physical(const std::string& startingDirectory, const std::string& s) {
        dirShift shifter = makeUnparsed();
        shifter.originalPath = startingDirectory;
        return shifter.getPhysicalPath(s);
    }

    // An object for a run with the option words `options`, as the constructor would make it;
    // the flags are process-wide, so they hold for every object until the next makeRun or
    // parse.
    static dirShift makeRun(const std::vector<std::string>& options) {
        resetFlags();
        for (const std::string& option : options)
            dirShift::applyOption(option);
        return makeUnparsed();
    }

    // Makes `startingDirectory` the starting directory of `shifter`, before its first path.
    static void setStartingDirectory(dirShift& shifter, const std::string& startingDirectory) {
        shifter.originalPath = startingDirectory;
    }

    // The line, without its newline, that adjust() writes for `path` in the selected mode. Its
    // room is handed back for the next line, as adjust() does.
    static std::string line(dirShift& shifter, const std::string& path) {
        std::string written = shifter.applySelectedMode(path);
        const std::string line = written;
        shifter.spareLine = std::move(written);
        return line;
    }

    // The same line computed the plain way, keeping nothing between arguments: every vector is
    // split afresh from the text it comes from, and under -p the argument and then the
    // starting directory are resolved again.
    static std::string plainLine(dirShift& shifter, const std::string& path) {
        if (dirShift::RMN) {
            if (dirShift::P) {
                const PathVector pathVector = split(shifter.getPhysicalPath(path));
                return relative(pathVector, split(shifter.getPhysicalPath(shifter.originalPath)));
            }
            return relative(split(path), split(shifter.originalPath));
        }
        if (dirShift::RSN) {
            const PathVector relatedRoot = split(dirShift::getRELATED_ROOT());
            if (dirShift::RMB) {
                PathVector joined;
                std::string line;
                dirShift::expressFromRelatedRoot(relatedRoot, split(shifter.originalPath),
                                                 split(path), joined, line);
                return line;
            }
            return relative(split(path), relatedRoot);
        }
        return dirShift::adjustRMB(path);
    }

  private:
    // An object with no path arguments, made through the constructor with an option that sets
    // nothing, so that the tests can fill its members themselves.
    static dirShift makeUnparsed() {
        std::string name = "dirShift";
        std::string option = "-x";
        char* argv[] = {name.data(), option.data(), nullptr};
        return dirShift(2, argv);
    }
    static void resetFlags() {
        dirShift::RMB = dirShift::RSN = dirShift::RMN = dirShift::P = false;
        dirShift::DEBUG_CMDLINE = false;
    }
};
