// zemoquery: sends messages to one instrument interface and, after each query, reads its answer
// and writes it to standard output, all over one open interface.
#include "interface_tool.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
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
                 "Usage: %s [-t <timeout>] <interface> [<message>...]\n\n%s%s"
                 "       <message>    Command or query to send; without any, each line of "
                 "standard input.\n"
                 "\n",
                 program, timeoutUsage, interfaceUsage);
    std::fflush(stderr);
}

// True when the program message unit UNIT asks for an answer: its header, the text before the
// first blank, ends in '?', as in "*IDN?" or "MEAS:VOLT? (@101)".
static bool isQueryUnit(std::string_view unit) {
    const std::size_t start = std::min(unit.find_first_not_of(" \t"), unit.size());
    const std::string_view header = unit.substr(start, unit.find_first_of(" \t", start) - start);
    return !header.empty() && header.back() == '?';
}

// True when MESSAGE asks for an answer: one of its program message units, which semicolons
// outside quoted strings separate, is a query, as in "*IDN?" or "*CLS;*OPC?".
static bool isQuery(std::string_view message) {
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= message.size(); ++i) {
        const char c = i < message.size() ? message[i] : ';';
        if (quote != 0)
            quote = c == quote ? 0 : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == ';' && isQueryUnit(message.substr(start, i - start)))
            return true;
        else if (c == ';')
            start = i + 1;
    }
    return false;
}

// Follows the bytes of one answer and tells where it ends: at the newline that terminates the
// response message, except inside an IEEE 488.2 block. A definite block ("#" digit length data)
// is passed over by its length, whatever bytes it holds; an indefinite block ("#0") ends at a
// newline that is the last byte of a read that came back short, the mark of END on the message
// transports and of the instrument falling silent on the stream ones.
class AnswerScanner {
  public:
    // Scans the SIZE bytes at DATA, which end what the last read returned; SHORTREAD tells that
    // this read returned fewer bytes than requested. Returns how many of them belong to the
    // answer: all of them, or fewer when the answer ends among them.
    std::size_t scan(const char* data, std::size_t size, bool shortRead) {
        std::size_t at = 0;
        while (at < size && !complete_)
            at += step(data + at, size - at, shortRead);
        return at;
    }

    bool complete() const { return complete_; }

  private:
    enum class State { text, hash, lengthDigits, blockData, indefiniteBlock };

    // Consumes the first bytes of the SIZE at DATA and returns how many; none when it only
    // finds that a byte after "#" is text after all, which is then scanned again as text.
    std::size_t step(const char* data, std::size_t size, bool shortRead) {
        const char byte = data[0];
        switch (state_) {
        case State::text:
            return scanText(data, size);
        case State::hash:
            return startBlock(byte) ? 1 : 0;
        case State::lengthDigits:
            return takeLengthDigit(byte) ? 1 : 0;
        case State::blockData: {
            const std::size_t taken =
                blockLeft_ < size ? static_cast<std::size_t>(blockLeft_) : size;
            blockLeft_ -= taken;
            if (blockLeft_ == 0)
                state_ = State::text;
            return taken;
        }
        case State::indefiniteBlock:
            return scanIndefinite(data, size, shortRead);
        }
        return size;
    }

    // Text up to and including the next newline or '#'.
    std::size_t scanText(const char* data, std::size_t size) {
        for (std::size_t at = 0; at < size; ++at) {
            if (data[at] == '\n') {
                complete_ = true;
                return at + 1;
            }
            if (data[at] == '#') {
                state_ = State::hash;
                return at + 1;
            }
        }
        return size;
    }

    // Takes BYTE, which follows a '#', as the digit that starts a block; false, leaving the
    // byte to be scanned as text, when it is no digit.
    bool startBlock(char byte) {
        if (byte == '0') {
            state_ = State::indefiniteBlock;
        } else if (byte >= '1' && byte <= '9') {
            state_ = State::lengthDigits;
            digitsLeft_ = byte - '0';
            blockLeft_ = 0;
        } else {
            state_ = State::text;
            return false;
        }
        return true;
    }

    // Takes BYTE as the next digit of a block's length; false, leaving the byte to be scanned
    // as text, when it is no digit.
    bool takeLengthDigit(char byte) {
        if (byte < '0' || byte > '9') {
            state_ = State::text;
            return false;
        }
        blockLeft_ = blockLeft_ * 10 + static_cast<std::uint64_t>(byte - '0');
        if (--digitsLeft_ == 0)
            state_ = blockLeft_ > 0 ? State::blockData : State::text;
        return true;
    }

    std::size_t scanIndefinite(const char* data, std::size_t size, bool shortRead) {
        if (shortRead && data[size - 1] == '\n')
            complete_ = true;
        return size;
    }

    State state_ = State::text;
    int digitsLeft_ = 0;
    std::uint64_t blockLeft_ = 0;
    bool complete_ = false;
};

// The standard output and interface of one run, and the bytes read but not yet claimed by an
// answer.
class Session {
  public:
    Session(const char* program, const char* interfaceName, zemo_handle handle)
        : program_(program), interfaceName_(interfaceName), handle_(handle) {}

    // Writes MESSAGE with a newline as one message (END on its last byte) and, when it is a
    // query, reads its answer and writes it to standard output.
    void send(std::string message) {
        const bool query = isQuery(message);
        message += '\n';
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

    // Reads until one answer is complete, writing its bytes as they come, so that a read that
    // times out leaves what came of the answer on standard output. Bytes read beyond the answer
    // wait for the next one.
    void copyAnswer() {
        AnswerScanner scanner;
        for (;;) {
            const std::size_t taken = scanner.scan(buffer_ + begin_, end_ - begin_, shortRead_);
            writeOutput(buffer_ + begin_, taken);
            begin_ += taken;
            if (scanner.complete())
                return;
            readChunk();
        }
    }

    // Refills the empty buffer with one read.
    void readChunk() {
        uint64_t received = chunkSize;
        zemo_read(handle_, buffer_, chunkSize, 0, &received);
        if (received > chunkSize) {
            std::fprintf(stderr,
                         "%s: %s: zemo_read reported %" PRIu64 " bytes for a request of %" PRIu64
                         "\n",
                         program_, interfaceName_, received, chunkSize);
            std::exit(2);
        }
        begin_ = 0;
        end_ = static_cast<std::size_t>(received);
        shortRead_ = received < chunkSize;
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
    const char* interfaceName_;
    zemo_handle handle_;
    static char buffer_[chunkSize];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool shortRead_ = false;
};

char Session::buffer_[Session::chunkSize];

// Sends each line of standard input as one message, without its newline (and the carriage
// return before it, so that a query typed in a CRLF file is still a query). Returns 0 at the
// end of input or the errno of a failed read.
static int sendInputLines(Session& session) {
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, stdin)) >= 0) {
        std::string_view message(line, static_cast<std::size_t>(length));
        if (!message.empty() && message.back() == '\n')
            message.remove_suffix(1);
        if (!message.empty() && message.back() == '\r')
            message.remove_suffix(1);
        session.send(std::string(message));
    }
    const int error = std::ferror(stdin) ? errno : 0;
    std::free(line);
    return error;
}

// Opens the interface, sends each message (the arguments after the interface name, or the
// lines of standard input), copies the answer of each query to standard output, and closes
// the interface. Status 0 when every query was answered, 1 for a usage error, 2 when the
// library claims more bytes than requested, 4 when standard input or output fails; other
// library failures end the process in the library's handler (3 for a timeout).
int main(int argc, char* argv[]) {
    const char* program = argv[0];
    int64_t timeout = -1;
    if (!readTimeoutOption(argc, argv, timeout)) {
        usage(program);
        return 1;
    }
    const char* interfaceName = argv[optind];

    zemo_handle handle = openInterface(interfaceName, timeout);
    Session session(program, interfaceName, handle);

    if (optind + 1 < argc) {
        for (int message = optind + 1; message < argc; ++message)
            session.send(argv[message]);
    } else if (const int error = sendInputLines(session); error != 0) {
        session.failInput(error);
    }
    session.close();
    return 0;
}
