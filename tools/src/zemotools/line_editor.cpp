#include "line_editor.h"

#include <histedit.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

volatile std::sig_atomic_t interruptRequested = 0;

namespace {

// The library that libedit's run-time package installs.
constexpr char libeditName[] = "libedit.so.2";

// The calls of libedit that the session makes, found in the library once it is loaded.
struct Libedit {
    decltype(&el_init) init = nullptr;
    decltype(&el_end) end = nullptr;
    decltype(&el_reset) reset = nullptr;
    decltype(&el_gets) gets = nullptr;
    decltype(&el_set) set = nullptr;
    decltype(&el_get) get = nullptr;
    decltype(&el_source) source = nullptr;
    decltype(&history_init) historyInit = nullptr;
    decltype(&history_end) historyEnd = nullptr;
    decltype(&::history) historyCall = nullptr;
};

Libedit libedit;

// Finds every call in LIBRARY; false when one is missing.
bool findCalls(void* library) {
    const auto find = [library](auto& call, const char* name) {
        call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(dlsym(library, name));
        return call != nullptr;
    };
    return find(libedit.init, "el_init") && find(libedit.end, "el_end") &&
           find(libedit.reset, "el_reset") && find(libedit.gets, "el_gets") &&
           find(libedit.set, "el_set") && find(libedit.get, "el_get") &&
           find(libedit.source, "el_source") && find(libedit.historyInit, "history_init") &&
           find(libedit.historyEnd, "history_end") && find(libedit.historyCall, "history");
}

void noteInterrupt(int) {
    interruptRequested = 1;
}

// The prompt of the editor's session, from the client data that names its LineEditor.
char* promptOf(EditLine* editor) {
    const char* prompt = nullptr;
    libedit.get(editor, EL_CLIENTDATA, &prompt);
    return const_cast<char*>(prompt);
}

// The terminal's end-of-file character, Ctrl-D unless the terminal says otherwise.
char endOfFileCharacter() {
    termios settings{};
    if (::tcgetattr(STDIN_FILENO, &settings) != 0 || settings.c_cc[VEOF] == _POSIX_VDISABLE)
        return '\004';
    return static_cast<char>(settings.c_cc[VEOF]);
}

// Reads one character of standard input for the editor. Ctrl-C, as the signal or as the byte
// the terminal passes when it sends none, ends the line being read: -1, as for a failed read.
// A Ctrl-D typed while the terminal was still in canonical mode, between the prompt and the
// editor's switch to its own mode, reaches the editor as a NUL byte; it is handed on as the
// end-of-file character it was, so that it ends the session as the user meant.
int readCharacter(EditLine*, wchar_t* character) {
    std::mbstate_t state{};
    for (;;) {
        char byte;
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got == 1 && byte == '\0')
            byte = endOfFileCharacter();
        if (interruptRequested != 0 || (got == 1 && byte == '\003')) {
            interruptRequested = 1;
            errno = EINTR;
            return -1;
        }
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        const std::size_t length = std::mbrtowc(character, &byte, 1, &state);
        if (length == static_cast<std::size_t>(-2))
            continue; // a multibyte character goes on
        if (length == static_cast<std::size_t>(-1)) {
            *character = static_cast<unsigned char>(byte);
            state = {};
        }
        return 1;
    }
}

// Creates DIRECTORY and the directories above it that are missing, for the user alone.
bool makeDirectories(const std::string& directory) {
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string part = directory.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

} // namespace

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a read waiting for the terminal returns
    sigaction(SIGINT, &action, nullptr);
}

std::optional<std::string> historyPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/zemoquery/history";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0')
        return std::nullopt;
    return std::string(home) + "/.local/state/zemoquery/history";
}

LineEditor::LineEditor(const char* program, std::string prompt)
    : program_(program), prompt_(std::move(prompt)) {
    if (startEditing())
        loadHistory();
}

LineEditor::~LineEditor() {
    if (editor_ != nullptr)
        libedit.end(editor_);
    if (history_ != nullptr)
        libedit.historyEnd(history_);
    // libedit stays loaded: the terminal library it brought keeps what it allocated for the
    // terminal until the process ends, and unloading would leave that memory to no one.
}

bool LineEditor::startEditing() {
    void* library = dlopen(libeditName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr || !findCalls(library)) {
        std::fprintf(stderr, "%s: no line editing or history: %s\n", program_, dlerror());
        return false;
    }
    editor_ = libedit.init(program_, stdin, stdout, stderr);
    history_ = libedit.historyInit();
    if (editor_ == nullptr || history_ == nullptr) {
        std::fprintf(stderr, "%s: no line editing or history: %s could not start\n", program_,
                     libeditName);
        return false;
    }
    HistEvent event;
    libedit.historyCall(history_, &event, H_SETSIZE, 1000);
    libedit.historyCall(history_, &event, H_SETUNIQUE, 1);
    libedit.set(editor_, EL_CLIENTDATA, prompt_.c_str());
    libedit.set(editor_, EL_PROMPT, promptOf);
    libedit.set(editor_, EL_EDITOR, "emacs");
    libedit.set(editor_, EL_HIST, libedit.historyCall, history_);
    libedit.set(editor_, EL_GETCFN, readCharacter);
    libedit.source(editor_, nullptr); // the user's ~/.editrc
    return true;
}

void LineEditor::loadHistory() {
    historyFile_ = historyPath();
    if (!historyFile_)
        return;
    const std::string directory = historyFile_->substr(0, historyFile_->rfind('/'));
    if (!makeDirectories(directory)) {
        std::fprintf(stderr, "%s: no history: cannot create '%s': %s\n", program_,
                     directory.c_str(), std::strerror(errno));
        historyFile_.reset();
        return;
    }
    HistEvent event;
    libedit.historyCall(history_, &event, H_LOAD, historyFile_->c_str()); // none yet: no history
}

std::optional<std::string> LineEditor::readLine() {
    if (editor_ == nullptr)
        return readPlainLine();
    int count = 0;
    const char* line = libedit.gets(editor_, &count);
    if (interruptRequested != 0) {
        interruptRequested = 0;
        libedit.reset(editor_);
        std::fputs("\n", stdout);
        return std::string();
    }
    if (line == nullptr || count <= 0)
        return std::nullopt;
    std::string text(line, static_cast<std::size_t>(count));
    if (text.ends_with('\n'))
        text.pop_back();
    return text;
}

std::optional<std::string> LineEditor::readPlainLine() {
    std::fputs(prompt_.c_str(), stdout);
    std::fflush(stdout);
    char* line = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = getline(&line, &capacity, stdin);
    std::optional<std::string> text;
    if (length >= 0)
        text.emplace(line, static_cast<std::size_t>(length));
    std::free(line);
    if (interruptRequested != 0) {
        interruptRequested = 0;
        std::clearerr(stdin);
        std::fputs("\n", stdout);
        return std::string();
    }
    if (text && text->ends_with('\n'))
        text->pop_back();
    return text;
}

void LineEditor::remember(const std::string& line) {
    if (history_ == nullptr)
        return;
    HistEvent event;
    libedit.historyCall(history_, &event, H_ENTER, line.c_str());
    if (historyFile_ && libedit.historyCall(history_, &event, H_SAVE, historyFile_->c_str()) < 0) {
        std::fprintf(stderr, "%s: cannot save the history in '%s'\n", program_,
                     historyFile_->c_str());
        historyFile_.reset();
    }
}
