// The lines of zemoquery's interactive session: read with a prompt, line editing and a history
// kept between sessions through libedit, which is loaded only when a session starts, so that
// the tool's other runs do not load it. Without libedit, lines are read plainly after the prompt.
#pragma once

#include <csignal>
#include <optional>
#include <string>

struct editline;
struct history;

// Set by the SIGINT handler that a session installs; whoever acts on it sets it back to 0.
extern volatile std::sig_atomic_t interruptRequested;

// Installs the session's SIGINT handler, which only sets interruptRequested, so that Ctrl-C
// interrupts the read or the wait at hand (no call is restarted) and the session goes on.
void catchInterrupts();

// Where the session's history is kept: $XDG_STATE_HOME/zemoquery/history when XDG_STATE_HOME
// is an absolute path, else $HOME/.local/state/zemoquery/history; none without a home.
std::optional<std::string> historyPath();

class LineEditor {
  public:
    // PROGRAM names the tool in its warnings; PROMPT is shown before every line.
    LineEditor(const char* program, std::string prompt);
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;
    ~LineEditor();

    // The next line without its newline; an empty line when Ctrl-C abandoned the one being
    // typed; none at the end of input (Ctrl-D).
    std::optional<std::string> readLine();

    // Adds LINE to the history and saves the history file.
    void remember(const std::string& line);

  private:
    // Loads libedit and sets up editing and the history; false, with a warning, when it cannot.
    bool startEditing();
    // Creates the history file's directory and loads the file; none of it when there is no path.
    void loadHistory();
    std::optional<std::string> readPlainLine();

    const char* program_;
    std::string prompt_;
    ::editline* editor_ = nullptr;
    ::history* history_ = nullptr;
    std::optional<std::string> historyFile_;
};
