// How zemoquery reads the messages it sends and the answers it receives: which messages are
// queries, and where an answer ends. No I/O: the bytes are handed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// True when MESSAGE (without its newline) asks for an answer: when one of its units, which ';'
// separates outside quoted strings ('...' or "...", a doubled quote standing for itself), has a
// header, the first word after leading blanks and tabs, that ends in '?'. "*IDN?",
// " MEAS:VOLT? (@101)" and "*ESE 1;*ESE?" are queries; "VOLT 3" and "DISP:TEXT 'A;B? C'" are not.
bool isQuery(std::string_view message);

// True when LINE of standard input (without its newline) is not to be sent: when it is empty or
// blank, or its first byte after blanks and tabs is '#', a comment. A '#' later in a line is data.
bool isSkippedLine(std::string_view line);

// True when ANSWER, an answer to SYSTem:ERRor?, reports an empty error queue: its error number,
// up to the first ',', is 0 ("0,\"No error\"", "+0,..."). False for any other number, and for an
// answer with no number.
bool reportsNoError(std::string_view answer);

// Follows the bytes of one answer as they arrive and tells where it ends: at the newline that
// terminates the response message, except inside an IEEE 488.2 block. A block starts only where
// a response data element starts, at the start of the answer or after a ',' or ';' outside a
// string ("...", with "" for a quote inside); a '#' anywhere else is text. A definite block
// ("#" digit length data) is passed over by its length, whatever bytes it holds; an indefinite
// block ("#0") ends at a newline that is the last byte of a read that came back short, the mark
// of END on the message transports and of the instrument falling silent on the stream ones. An
// answer also ends where the instrument ends its message (END), newline or not.
// The bytes are scanned as they arrive, whatever reads cut them into, and never from the start
// of the answer again. The terminator is the newline unless another byte is given (a carriage
// return for an instrument that ends its answers with one alone).
class AnswerScanner {
  public:
    explicit AnswerScanner(char terminator = '\n') : terminator_(terminator) {}

    // Scans the SIZE bytes at DATA, which end what the last read returned; SHORTREAD tells that
    // this read returned fewer bytes than requested. Returns how many of them belong to the
    // answer: all of them, or fewer when the answer ends among them.
    std::size_t scan(const char* data, std::size_t size, bool shortRead);

    // The instrument ended its message (END) with the last byte scanned: the answer ends there,
    // whatever it is in the middle of, once it has a byte (a message with no byte is no answer).
    void endMessage() { complete_ = complete_ || started_; }

    bool complete() const { return complete_; }

    // Where a byte of response text stands: where an element starts, inside an element, or
    // inside a string.
    enum class Place { elementStart, element, string };

  private:
    enum class State { text, hash, lengthDigits, blockData, indefiniteBlock };

    // Consumes the first bytes of the SIZE at DATA and returns how many; none when it only
    // finds that a byte after "#" is text after all, which is then scanned again as text.
    std::size_t step(const char* data, std::size_t size, bool shortRead);
    // Text up to and including the next newline, or '#' where a block may start.
    std::size_t scanText(const char* data, std::size_t size);
    bool startBlock(char byte);
    bool takeLengthDigit(char byte);
    std::size_t skipBlockData(std::size_t size);
    std::size_t scanIndefinite(const char* data, std::size_t size, bool shortRead);
    // Goes back to text inside an element: after a block, or after a '#' that starts none.
    void endBlock();

    char terminator_;
    State state_ = State::text;
    Place place_ = Place::elementStart;
    int digitsLeft_ = 0;
    std::uint64_t blockLeft_ = 0;
    bool complete_ = false;
    // Whether a byte of the answer has been scanned.
    bool started_ = false;
};

// What zemoquery writes of an answer, whose bytes are handed in as they arrive: all of them as
// they are; under STRIP, the answer without the response terminator that ends it (a final "\n",
// "\r\n" or "\r") and then one "\n"; under BLOCKDATA, for an answer that is one IEEE 488.2
// block ("#" digit length data, or "#0" data), only its data: no header, and nothing after the
// data of a definite block or the terminator of an indefinite one; other answers then as STRIP
// says. A failed answer is written as far as it came, unchanged.
class AnswerFilter {
  public:
    AnswerFilter(bool strip, bool blockData)
        : strip_(strip), kind_(blockData ? Kind::undecided : Kind::text) {}

    // Appends to OUT what to write of the SIZE bytes at DATA, the next of the answer; bytes that
    // may turn out to be a header or a terminator are held back.
    void take(const char* data, std::size_t size, std::string& out);

    // The answer has ended, COMPLETE or cut short by a failure: appends what is still to write.
    void finish(bool complete, std::string& out);

  private:
    enum class Kind { undecided, text, definite, indefinite };

    // Takes one byte of a header that is still undecided.
    void takeHeaderByte(char byte, std::string& out);
    // Takes the SIZE bytes at DATA, holding back the bytes that may be the terminator.
    void takeHoldingTerminator(const char* data, std::size_t size, std::string& out);

    bool strip_;
    Kind kind_;
    // Bytes held back: a header being read, or the bytes that may be the terminator.
    std::string held_;
    // The number of length digits of a definite block's header.
    std::size_t digits_ = 0;
    // The data bytes of a definite block still to come.
    std::uint64_t left_ = 0;
};

// Where the byte after BYTE of response text stands, BYTE standing at PLACE: a '"' opens or
// closes a string (a doubled one inside closes and reopens it), and a ',' or ';' outside a
// string starts the next element.
AnswerScanner::Place placeAfter(AnswerScanner::Place place, char byte);

// True when BYTE, standing at PLACE, starts an IEEE 488.2 block, which it may only where a
// response data element starts.
bool startsBlock(AnswerScanner::Place place, char byte);
