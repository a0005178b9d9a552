// dlprobe: loads one shared library with the dynamic loader in lazy-binding mode, unloads it
// again, and narrates every step on standard error. The exit status tells a script whether the
// library and everything it needs could be loaded. The same source is built as a 32-bit and as a
// 64-bit program; each loads only libraries of its own word size.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace {

// Program name used in the usage text when the kernel passed no argv[0] at all.
constexpr const char* fallbackProgramName = "dlprobe";

// Writes one formatted line to standard error and flushes it, so that whatever the library's
// own initialisation or finalisation code writes next comes out after it.
__attribute__((format(printf, 1, 2))) void narrate(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

// Writes one fixed line to standard error verbatim and flushes it, like narrate.
void narrateLine(const char* line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

// Prints the usage text naming the program as invoked and ends the process with status 1.
[[noreturn]] void usage(const char* programName) {
    narrate("usage: %s shared_library\n"
            "open (dlopen) a shared library and close it again.\n"
            "print errors happening to stderr\n"
            "return: 0 if no issues, non-0 in case of trouble\n",
            programName != nullptr ? programName : fallbackProgramName);
    std::exit(1);
}

// Reports a failed load with the loader's own message and the library argument, then ends the
// process with status 1.
[[noreturn]] void loadFailed(const char* library) {
    const char* reason = dlerror();
    narrate("%s\n", reason != nullptr ? reason : "dlopen failed without a reason from the loader");
    narrate("Error: dlopen of %s failed\n", library);
    std::exit(1);
}

// Loads the library lazily and unloads it again, narrating each loader call; returns 0 when
// both calls were made. A failed load does not return (see loadFailed).
int probe(const char* library) {
    narrate("calling handle = dlopen(\"%s\", RTLD_LAZY)\n", library);
    void* handle = dlopen(library, RTLD_LAZY);
    narrateLine("dlopen returned\n");
    if (handle == nullptr) {
        loadFailed(library);
    }
    // Clear any error text the loader left pending; a failing dlclose is not reported.
    static_cast<void>(dlerror());
    narrateLine("calling dlclose(handle)\n");
    static_cast<void>(dlclose(handle));
    narrateLine("dlclose returned\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        usage(argc > 0 ? argv[0] : nullptr);
    }
    return probe(argv[1]);
}
