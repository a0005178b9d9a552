// zemoquery: sends messages to one instrument interface and, after each query, reads its answer
// and writes it to standard output, all over one open interface: from the command line, from
// standard input, or in an interactive session on a terminal.
#include "interface_tool.h"
#include "line_editor.h"
#include "message_rules.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

// Writes the usage text naming the program as PROGRAM to STREAM.
void usage(const char* program, std::FILE* stream) {
    std::fprintf(
        stream,
        "Usage: %s [-t <timeout>] [-L] [-i] [-b] [-s] [-T lf|crlf|cr] [-e] [-k] [-r]\n"
        "       <interface> [<message>...]\n\n%s"
        "       -L           Hold an exclusive lock on the instrument for the whole session.\n"
        "       -i           Run an interactive session, as on a terminal.\n"
        "       -b           Write only the data of an answer that is an IEEE 488.2 block.\n"
        "       -s           Strip the response terminator and end each answer with a newline.\n"
        "       -T           The response terminator to wait for (default lf).\n"
        "       -e           Ask SYSTem:ERRor? after every message; status 5 for an error.\n"
        "       -k           Keep going after a message fails.\n"
        "       -r           Read an answer after every message, whatever its header.\n%s"
        "       <message>    Command or query to send; without any, each line of standard\n"
        "                    input but empty and '#' comment lines, or a session on a terminal.\n"
        "\n",
        program, timeoutUsage, interfaceUsage);
    std::fflush(stream);
}

// The statuses of a run, as zemoquery(1) lists them.
constexpr int statusUsage = 1;
constexpr int statusFailure = 2;
constexpr int statusTimeout = 3;
constexpr int statusInstrumentError = 5;

// What the options ask for.
struct Options {
    std::int64_t timeout = -1;
    bool lock = false;
    bool interactive = false;
    bool blockData = false;
    bool strip = false;
    // The byte that ends an answer, and whether -T set it.
    char terminator = '\n';
    bool terminatorGiven = false;
    bool checkErrors = false;
    bool keepGoing = false;
    bool readAlways = false;
};

// The response terminator that the -T value NAME gives: the byte that ends an answer.
std::optional<char> terminatorNamed(std::string_view name) {
    if (name == "lf" || name == "crlf")
        return '\n';
    if (name == "cr")
        return '\r';
    return std::nullopt;
}

// Reads the options into OPTIONS. Returns the status to end with at once (0 after --help or
// --version, 1 for a usage error), or nothing to go on.
std::optional<int> readOptions(int argc, char* argv[], Options& options) {
    static const option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, 'V'},
                                         {nullptr, 0, nullptr, 0}};
    for (int option;
         (option = getopt_long(argc, argv, "t:LibsT:ekr", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 't':
            options.timeout = timeoutValue(optarg);
            break;
        case 'L':
            options.lock = true;
            break;
        case 'i':
            options.interactive = true;
            break;
        case 'b':
            options.blockData = true;
            break;
        case 's':
            options.strip = true;
            break;
        case 'T':
            if (const auto terminator = terminatorNamed(optarg)) {
                options.terminator = *terminator;
                options.terminatorGiven = true;
                break;
            }
            std::fprintf(stderr, "%s: unknown terminator '%s'; expected lf, crlf or cr\n", argv[0],
                         optarg);
            usage(argv[0], stderr);
            return statusUsage;
        case 'e':
            options.checkErrors = true;
            break;
        case 'k':
            options.keepGoing = true;
            break;
        case 'r':
            options.readAlways = true;
            break;
        case 'h':
            usage(argv[0], stdout);
            return 0;
        case 'V':
            std::printf("zemoquery %s\n", zemo_version());
            return std::fflush(stdout) == 0 ? 0 : 4;
        default:
            usage(argv[0], stderr);
            return statusUsage;
        }
    }
    if (optind < argc)
        return std::nullopt;
    usage(argv[0], stderr);
    return statusUsage;
}

// A message as the failure lines name it: its text, and its line of standard input (0 when it
// came from elsewhere).
struct Origin {
    std::string_view text;
    std::size_t line = 0;
};

// The text that starts a failure line about ORIGIN: "line N, 'TEXT'" or "'TEXT'".
std::string originText(const Origin& origin) {
    std::string text(origin.text);
    if (text.ends_with('\n'))
        text.pop_back();
    text = "'" + text + "'";
    return origin.line > 0 ? "line " + std::to_string(origin.line) + ", " + text : text;
}

// The status of the last failed library call, as the handler that zemoquery installs notes it.
zemo_status lastFailure = ZEMO_OK;

void noteFailure(const char*, const char*, zemo_status status, const char*) {
    lastFailure = status;
}

// The exit status of a library failure with STATUS.
int failureStatus(zemo_status status) {
    return status == ZEMO_TIMEOUT ? statusTimeout : statusFailure;
}

// How a read of an answer ended.
enum class Ending { complete, failed, abandoned };

// The interface of one run and what is to be done with it: each message sent, each answer read
// and written, each failure reported on standard error with the message that caused it.
class Querier {
  public:
    Querier(const char* program, const char* interfaceName, zemo_handle handle,
            const Options& options)
        : program_(program), interfaceName_(interfaceName), handle_(handle), options_(options),
          reader_(program, interfaceName, handle, options.timeout),
          timeout_(ioTimeout(options.timeout)), libraryTimeout_(timeout_) {}

    // Sends MESSAGE, which ends in its newline, as one message (END on its last byte); reads the
    // answer of a query (of any message under -r) and writes it to standard output; under -e
    // drains the instrument's error queue.
    void send(std::string_view message, const Origin& origin) {
        const std::string_view text = message.substr(0, message.size() - 1);
        if (!write(message, origin))
            return;
        if (options_.readAlways || isQuery(text))
            copyAnswer(origin);
        if (options_.checkErrors && !abandoned_)
            drainErrors(origin);
        abandoned_ = false;
    }

    // Whether the run is to stop: a message failed and neither -k nor a session goes on.
    bool stopping() const { return firstFailure_ != 0 && !options_.keepGoing && !session_; }
    // The status of the first failure, 0 when there was none.
    int status() const { return firstFailure_; }

    // From now on: failures do not stop the run, and reads wait in short slices, so that Ctrl-C
    // can abandon the query that waits.
    void startSession() { session_ = true; }

    // Runs the built-in command LINE of a session (":help", ":stb" ...); false for ":quit".
    bool runBuiltIn(const std::string& line);

    // The built-in commands, each given the line that named it and its argument; true to go on.
    bool help(const Origin&, std::string_view);
    bool setTimeout(const Origin& origin, std::string_view argument);
    bool readStb(const Origin& origin, std::string_view);
    bool lock(const Origin& origin, std::string_view argument);
    // Runs CALL, a library call on the handle alone, reporting its failure.
    bool control(const Origin& origin, zemo_status (*call)(zemo_handle));

    // Reports a failed read of standard input, closes the interface and ends with status 4.
    [[noreturn]] void failInput(int error) {
        std::fprintf(stderr, "%s: reading standard input: %s\n", program_, std::strerror(error));
        zemo_close(handle_);
        std::exit(4);
    }

    // Closes the interface; standard output has had every answer.
    void close() { zemo_close(handle_); }

  private:
    static constexpr uint64_t chunkSize = 1048576;
    // The longest a session's read waits before it looks for Ctrl-C.
    static constexpr std::int32_t sliceMilliseconds = 100;
    // The most SYSTem:ERRor? answers read after one message: a queue that does not empty by then
    // is reported as such.
    static constexpr int errorReadsAllowed = 100;

    // Writes MESSAGE; false, with the failure reported, when it could not.
    bool write(std::string_view message, const Origin& origin) {
        useTimeout(timeout_);
        const zemo_status status =
            zemo_write(handle_, message.data(), message.size(), ZEMO_END, nullptr);
        if (status == ZEMO_OK)
            return true;
        const std::string what = status == ZEMO_TIMEOUT
                                     ? "not taken within " + timeoutText() + " by " + interfaceName_
                                     : "could not be sent to " + std::string(interfaceName_);
        fail(origin, what, zemo_last_error(), failureStatus(status));
        return false;
    }

    // Reads the answer to ORIGIN and writes it to standard output as the options say. A failed
    // read is reported, and one given up (a failure the run goes on after, or Ctrl-C) is
    // followed by a device clear, so that its late answer is not taken for the next one's.
    void copyAnswer(const Origin& origin) {
        AnswerFilter filter(options_.strip, options_.blockData);
        std::string out;
        const Ending ending = readAnswer([&](const char* data, std::size_t size) {
            out.clear();
            filter.take(data, size, out);
            writeOutput(out);
        });
        out.clear();
        filter.finish(ending == Ending::complete, out);
        writeOutput(out);
        if (ending == Ending::failed)
            reportReadFailure(origin, "no answer");
        giveUpIfNeeded(ending, origin);
    }

    // Asks SYSTem:ERRor? until the instrument reports no error, writing each error with ORIGIN,
    // the message that caused it; status 5.
    void drainErrors(const Origin& origin) {
        static constexpr std::string_view errorQuery = "SYSTem:ERRor?\n";
        for (int read = 0; read < errorReadsAllowed; ++read) {
            if (!write(errorQuery, origin))
                return;
            std::string answer;
            const Ending ending =
                readAnswer([&](const char* data, std::size_t size) { answer.append(data, size); });
            if (ending == Ending::failed)
                reportReadFailure(origin, "no answer to SYSTem:ERRor?");
            if (ending != Ending::complete) {
                giveUpIfNeeded(ending, origin);
                return;
            }
            if (reportsNoError(answer))
                return;
            while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
                answer.pop_back();
            fail(origin, "instrument error " + answer, {}, statusInstrumentError);
        }
        fail(origin,
             "the error queue still had errors after " + std::to_string(errorReadsAllowed) +
                 " answers to SYSTem:ERRor?",
             {}, statusInstrumentError);
    }

    // Reads until one answer is complete, at its terminator or where the instrument ends its
    // message, handing its bytes to TAKE as they come, so that a read that fails has handed
    // over what came of the answer. Bytes read beyond the answer wait for the next one.
    template <typename Take> Ending readAnswer(Take&& take) {
        AnswerScanner scanner(options_.terminator);
        for (;;) {
            const std::size_t taken = scanner.scan(buffer_ + begin_, end_ - begin_, shortRead_);
            take(buffer_ + begin_, taken);
            begin_ += taken;
            if (begin_ == end_ && messageEnded_)
                scanner.endMessage();
            if (scanner.complete())
                return Ending::complete;
            if (const auto ending = readChunk())
                return *ending;
        }
    }

    // Refills the empty buffer with one read; how the answer ended when the read failed, or was
    // interrupted by Ctrl-C in a session.
    std::optional<Ending> readChunk() {
        if (session_)
            useTimeout(std::min(sliceMilliseconds, timeout_));
        const ReadOutcome read = reader_.readMessage(buffer_, chunkSize, session_);
        begin_ = 0;
        end_ = read.status == ZEMO_OK ? static_cast<std::size_t>(read.size) : 0;
        shortRead_ = read.size < chunkSize;
        messageEnded_ = (read.reason & ZEMO_REASON_END) != 0;
        if (interruptRequested != 0) {
            interruptRequested = 0;
            reader_.forgetSilence();
            return Ending::abandoned;
        }
        if (read.status == ZEMO_OK)
            return std::nullopt;
        readFailure_ = read;
        return Ending::failed;
    }

    // Reports the failed read of the answer to ORIGIN: NOANSWER ("no answer") within the timeout,
    // or a failure of the read, with the library's reason.
    void reportReadFailure(const Origin& origin, const std::string& noAnswer) {
        const std::string what =
            readFailure_.status == ZEMO_TIMEOUT
                ? noAnswer + " within " + timeoutText() + " from " + interfaceName_
                : "reading from " + std::string(interfaceName_) + " failed";
        fail(origin, what, readFailure_.failure, failureStatus(readFailure_.status));
    }

    // After an answer that ENDED as it did: when it was given up and the run goes on, drops
    // the bytes read and sends a device clear, reporting the clear's failure.
    void giveUpIfNeeded(Ending ended, const Origin& origin) {
        if (ended == Ending::complete || stopping())
            return;
        if (ended == Ending::abandoned) {
            std::fprintf(stderr, "%s: %s: abandoned; device clear sent\n", program_,
                         originText(origin).c_str());
            abandoned_ = true;
        }
        begin_ = end_ = 0;
        messageEnded_ = false;
        useTimeout(timeout_);
        if (const zemo_status status = zemo_clear(handle_); status != ZEMO_OK)
            fail(origin, "the device clear after it failed on " + std::string(interfaceName_),
                 zemo_last_error(), failureStatus(status));
    }

    // Writes the failure line "PROGRAM: ORIGIN: WHAT (REASON)" and notes STATUS as the run's
    // when it is the first failure.
    void fail(const Origin& origin, const std::string& what, const std::string& reason,
              int status) {
        std::fprintf(stderr, "%s: %s: %s%s\n", program_, originText(origin).c_str(), what.c_str(),
                     reason.empty() ? "" : (" (" + reason + ")").c_str());
        std::fflush(stderr);
        if (firstFailure_ == 0)
            firstFailure_ = status;
    }

    // Gives the interface the I/O timeout MILLISECONDS when it has another.
    void useTimeout(std::int32_t milliseconds) {
        if (milliseconds == libraryTimeout_)
            return;
        zemo_set_timeout(handle_, milliseconds);
        libraryTimeout_ = milliseconds;
    }

    std::string timeoutText() const { return std::to_string(timeout_) + " ms"; }

    // Writes and flushes OUT; a failure closes the interface, status 4.
    void writeOutput(const std::string& out) {
        if (out.empty() || (std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
                            std::fflush(stdout) == 0))
            return;
        std::fprintf(stderr, "%s: writing standard output: %s\n", program_, std::strerror(errno));
        zemo_close(handle_);
        std::exit(4);
    }

    // Reports the failure of the built-in ORIGIN that returned STATUS; true to go on.
    bool reportBuiltIn(const Origin& origin, zemo_status status);

    const char* program_;
    const char* interfaceName_;
    zemo_handle handle_;
    const Options& options_;
    InterfaceReader reader_;
    std::int32_t timeout_;
    // The timeout the interface has, as opened, until a session's reads take slices of it.
    std::int32_t libraryTimeout_;
    bool session_ = false;
    int firstFailure_ = 0;
    // Whether Ctrl-C abandoned the answer of the message being sent.
    bool abandoned_ = false;
    ReadOutcome readFailure_;
    static char buffer_[chunkSize];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool shortRead_ = false;
    // Whether the instrument ended its message with the last byte in the buffer.
    bool messageEnded_ = false;
};

char Querier::buffer_[Querier::chunkSize];

// The built-in commands of a session: the name after ':', its argument for :help, what it does,
// and what runs it: false to end the session.
struct BuiltIn {
    std::string_view name;
    const char* argument;
    const char* description;
    bool (*run)(Querier&, const Origin&, std::string_view);
};

constexpr BuiltIn builtIns[] = {
    {"help", "", "list these commands",
     [](Querier& q, const Origin& o, std::string_view a) { return q.help(o, a); }},
    {"timeout", " MS", "set the I/O timeout to MS milliseconds",
     [](Querier& q, const Origin& o, std::string_view a) { return q.setTimeout(o, a); }},
    {"clear", "", "send a device clear",
     [](Querier& q, const Origin& o, std::string_view) { return q.control(o, zemo_clear); }},
    {"stb", "", "print the status byte in decimal",
     [](Querier& q, const Origin& o, std::string_view a) { return q.readStb(o, a); }},
    {"trigger", "", "trigger the instrument",
     [](Querier& q, const Origin& o, std::string_view) { return q.control(o, zemo_trigger); }},
    {"local", "", "give the front panel back",
     [](Querier& q, const Origin& o, std::string_view) { return q.control(o, zemo_local); }},
    {"remote", "", "put the instrument in remote",
     [](Querier& q, const Origin& o, std::string_view) { return q.control(o, zemo_remote); }},
    {"lock", " [MS]", "take an exclusive lock, waiting up to MS (default: the timeout)",
     [](Querier& q, const Origin& o, std::string_view a) { return q.lock(o, a); }},
    {"unlock", "", "release the lock",
     [](Querier& q, const Origin& o, std::string_view) { return q.control(o, zemo_unlock); }},
    {"quit", "", "end the session (as Ctrl-D does)",
     [](Querier&, const Origin&, std::string_view) { return false; }},
};

// The milliseconds that TEXT gives, a whole number from 0 to INT32_MAX; none for other text.
std::optional<std::int32_t> millisecondsIn(std::string_view text) {
    std::int32_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

} // namespace

bool Querier::runBuiltIn(const std::string& line) {
    const Origin origin{line};
    std::string_view rest = std::string_view(line).substr(1);
    const std::string_view name = rest.substr(0, rest.find(' '));
    rest.remove_prefix(name.size());
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    for (const BuiltIn& builtIn : builtIns)
        if (builtIn.name == name)
            return builtIn.run(*this, origin, rest);
    fail(origin, "unknown command; :help lists them", {}, statusUsage);
    return true;
}

bool Querier::help(const Origin&, std::string_view) {
    std::string text = "Messages go to " + std::string(interfaceName_) +
                       "; the answer of a query is printed. Ctrl-C abandons the query that "
                       "waits, Ctrl-D ends the session.\n";
    for (const BuiltIn& builtIn : builtIns) {
        const std::string command = ":" + std::string(builtIn.name) + builtIn.argument;
        text += "  " + command + std::string(command.size() < 14 ? 14 - command.size() : 1, ' ') +
                builtIn.description + "\n";
    }
    writeOutput(text);
    return true;
}

bool Querier::setTimeout(const Origin& origin, std::string_view argument) {
    const auto milliseconds = millisecondsIn(argument);
    if (!milliseconds || *milliseconds == 0) {
        fail(origin, "expected a timeout in milliseconds above 0", {}, statusUsage);
        return true;
    }
    timeout_ = *milliseconds;
    reader_.setTimeout(timeout_);
    return true;
}

bool Querier::readStb(const Origin& origin, std::string_view) {
    useTimeout(timeout_);
    std::uint8_t stb = 0;
    if (const zemo_status status = zemo_read_stb(handle_, &stb); status != ZEMO_OK)
        return reportBuiltIn(origin, status);
    writeOutput(std::to_string(stb) + "\n");
    return true;
}

bool Querier::lock(const Origin& origin, std::string_view argument) {
    const auto wait = argument.empty() ? std::optional(timeout_) : millisecondsIn(argument);
    if (!wait) {
        fail(origin, "expected the milliseconds to wait for the lock", {}, statusUsage);
        return true;
    }
    useTimeout(timeout_);
    return reportBuiltIn(origin, zemo_lock(handle_, *wait));
}

bool Querier::control(const Origin& origin, zemo_status (*call)(zemo_handle)) {
    useTimeout(timeout_);
    return reportBuiltIn(origin, call(handle_));
}

bool Querier::reportBuiltIn(const Origin& origin, zemo_status status) {
    if (status != ZEMO_OK)
        fail(origin, "failed on " + std::string(interfaceName_), zemo_last_error(),
             failureStatus(status));
    return true;
}

namespace {

// Makes the LENGTH bytes at LINE, a line as getline read it (with room for the NUL after it),
// one message ending in one newline, in place: the newline stays, replaces the carriage return
// before it (so that a query typed in a CRLF file is still a query), or replaces the NUL after
// a last line without one.
std::string_view lineMessage(char* line, std::size_t length) {
    if (length > 0 && line[length - 1] == '\n')
        --length;
    if (length > 0 && line[length - 1] == '\r')
        --length;
    line[length] = '\n';
    return {line, length + 1};
}

// Sends each line of standard input as one message, from the buffer it was read into, but the
// empty and comment lines, until a failure stops the run. Returns 0 at the end of input or the
// errno of a failed read.
int sendInputLines(Querier& querier) {
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    std::size_t number = 0;
    while (!querier.stopping() && (length = getline(&line, &capacity, stdin)) >= 0) {
        const std::string_view message = lineMessage(line, static_cast<std::size_t>(length));
        ++number;
        if (!isSkippedLine(message.substr(0, message.size() - 1)))
            querier.send(message, {message, number});
    }
    const int error = std::ferror(stdin) ? errno : 0;
    std::free(line);
    return error;
}

// Runs the interactive session: each line read with the prompt is a built-in command when it
// starts with ':', else a message; until Ctrl-D or :quit.
void runSession(const char* program, const char* interfaceName, Querier& querier) {
    catchInterrupts();
    querier.startSession();
    LineEditor editor(program, std::string(interfaceName) + "> ");
    while (const auto line = editor.readLine()) {
        if (isSkippedLine(*line))
            continue;
        editor.remember(*line);
        if (line->starts_with(':')) {
            if (!querier.runBuiltIn(*line))
                return;
        } else {
            querier.send(*line + '\n', {*line});
        }
    }
    std::fputs("\n", stdout);
}

} // namespace

// Opens the interface, with -T sets its terminator, with -L takes an exclusive lock on it
// (waiting up to the timeout), sends each message (the arguments after the interface name, the
// lines of standard input, or the lines of a session), writes the answer of each query to
// standard output, and closes the interface, which releases the lock. Each failure is reported
// with the message it concerns. Status 0 when every message succeeded, else that of the first
// failure: 1 for a usage error, 2 for a library failure (or one that claims more bytes than
// requested), 3 when an answer or the interface does not come within the timeout, 4 when
// standard input or output fails, 5 for an instrument error under -e.
int main(int argc, char* argv[]) {
    const char* program = argv[0];
    Options options;
    if (const auto status = readOptions(argc, argv, options))
        return *status;
    const char* interfaceName = argv[optind];

    zemo_set_error_handler(noteFailure);
    zemo_handle handle = openWithTimeout(interfaceName, options.timeout);
    if (handle == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s (%s)\n", program, interfaceName,
                     zemo_last_error());
        return failureStatus(lastFailure);
    }
    Querier querier(program, interfaceName, handle, options);
    if (options.terminatorGiven &&
        zemo_set_termchar(handle, static_cast<std::uint8_t>(options.terminator)) != ZEMO_OK) {
        std::fprintf(stderr, "%s: %s: cannot set the terminator (%s)\n", program, interfaceName,
                     zemo_last_error());
        querier.close();
        return statusFailure;
    }
    if (options.lock && zemo_lock(handle, ioTimeout(options.timeout)) != ZEMO_OK) {
        std::fprintf(stderr, "%s: %s: no lock within %d ms (%s)\n", program, interfaceName,
                     ioTimeout(options.timeout), zemo_last_error());
        querier.close();
        return failureStatus(lastFailure);
    }

    const bool fromArguments = optind + 1 < argc;
    for (int message = optind + 1; message < argc && !querier.stopping(); ++message) {
        const std::string text = std::string(argv[message]) + '\n';
        querier.send(text, {text});
    }
    if (options.interactive || (!fromArguments && isatty(STDIN_FILENO) == 1)) {
        if (!querier.stopping())
            runSession(program, interfaceName, querier);
    } else if (!fromArguments) {
        if (const int error = sendInputLines(querier); error != 0)
            querier.failInput(error);
    }
    querier.close();
    return querier.status();
}
