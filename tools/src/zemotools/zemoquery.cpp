// zemoquery: sends messages to one instrument interface and, after each query, reads its answer
// and writes it to standard output, all over one open interface.
#include "interface_tool.h"
#include "message_rules.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

// Writes the usage text naming the program as PROGRAM to standard error.
static void usage(const char* program) {
    std::fprintf(stderr,
                 "Usage: %s [-t <timeout>] [-L] <interface> [<message>...]\n\n%s"
                 "       -L           Hold an exclusive lock on the instrument for the whole "
                 "session.\n%s"
                 "       <message>    Command or query to send; without any, each line of "
                 "standard input.\n"
                 "\n",
                 program, timeoutUsage, interfaceUsage);
    std::fflush(stderr);
}

// The standard output and interface of one run, and the bytes read but not yet claimed by an
// answer.
class Session {
  public:
    Session(const char* program, const char* interfaceName, zemo_handle handle,
            std::int64_t timeout)
        : program_(program), handle_(handle), reader_(program, interfaceName, handle, timeout) {}

    // Writes MESSAGE, which ends in its newline, as one message (END on its last byte) and,
    // when it is a query, reads its answer and writes it to standard output.
    void send(std::string_view message) {
        const bool query = isQuery(message.substr(0, message.size() - 1));
        zemo_write(handle_, message.data(), message.size(), ZEMO_END, nullptr);
        if (query)
            copyAnswer();
    }

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

    // Reads until one answer is complete, at its newline or where the instrument ends its
    // message, writing its bytes as they come, so that a read that times out leaves what came of
    // the answer on standard output. Bytes read beyond the answer wait for the next one.
    void copyAnswer() {
        AnswerScanner scanner;
        for (;;) {
            const std::size_t taken = scanner.scan(buffer_ + begin_, end_ - begin_, shortRead_);
            writeOutput(buffer_ + begin_, taken);
            begin_ += taken;
            if (begin_ == end_ && messageEnded_)
                scanner.endMessage();
            if (scanner.complete())
                return;
            readChunk();
        }
    }

    // Refills the empty buffer with one read.
    void readChunk() {
        int reason = 0;
        const uint64_t received = reader_.readMessage(buffer_, chunkSize, reason);
        begin_ = 0;
        end_ = static_cast<std::size_t>(received);
        shortRead_ = received < chunkSize;
        messageEnded_ = (reason & ZEMO_REASON_END) != 0;
    }

    // Writes and flushes SIZE bytes at DATA; a failure closes the interface, status 4.
    void writeOutput(const char* data, std::size_t size) {
        if (std::fwrite(data, 1, size, stdout) == size && std::fflush(stdout) == 0)
            return;
        std::fprintf(stderr, "%s: writing standard output: %s\n", program_, std::strerror(errno));
        zemo_close(handle_);
        std::exit(4);
    }

    const char* program_;
    zemo_handle handle_;
    InterfaceReader reader_;
    static char buffer_[chunkSize];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool shortRead_ = false;
    // Whether the instrument ended its message with the last byte in the buffer.
    bool messageEnded_ = false;
};

char Session::buffer_[Session::chunkSize];

// Makes the LENGTH bytes at LINE, a line as getline read it (with room for the NUL after it),
// one message ending in one newline, in place: the newline stays, replaces the carriage return
// before it (so that a query typed in a CRLF file is still a query), or replaces the NUL after
// a last line without one.
static std::string_view lineMessage(char* line, std::size_t length) {
    if (length > 0 && line[length - 1] == '\n')
        --length;
    if (length > 0 && line[length - 1] == '\r')
        --length;
    line[length] = '\n';
    return {line, length + 1};
}

// Sends each line of standard input as one message, from the buffer it was read into. Returns
// 0 at the end of input or the errno of a failed read.
static int sendInputLines(Session& session) {
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, stdin)) >= 0)
        session.send(lineMessage(line, static_cast<std::size_t>(length)));
    const int error = std::ferror(stdin) ? errno : 0;
    std::free(line);
    return error;
}

// Opens the interface, with -L takes an exclusive lock on it (waiting up to the timeout), sends
// each message (the arguments after the interface name, or the lines of standard input), copies
// the answer of each query to standard output, and closes the interface, which releases the
// lock. Status 0 when every query was answered, 1 for a usage error, 2 when the
// library claims more bytes than requested, 3 when the reads for an answer bring no byte for the
// timeout, 4 when standard input or output fails; other library failures end the process in
// the library's handler (3 for a timeout).
int main(int argc, char* argv[]) {
    const char* program = argv[0];
    int64_t timeout = -1;
    bool lock = false;
    if (!readTimeoutOption(argc, argv, timeout, &lock)) {
        usage(program);
        return 1;
    }
    const char* interfaceName = argv[optind];

    zemo_handle handle = openInterface(interfaceName, timeout);
    if (lock)
        zemo_lock(handle, ioTimeout(timeout));
    Session session(program, interfaceName, handle, timeout);

    if (optind + 1 < argc) {
        for (int message = optind + 1; message < argc; ++message)
            session.send(std::string(argv[message]) + '\n');
    } else if (const int error = sendInputLines(session); error != 0) {
        session.failInput(error);
    }
    session.close();
    return 0;
}
