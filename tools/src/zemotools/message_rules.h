// How zemoquery reads the messages it sends and the answers it receives: which messages are
// queries, and where an answer ends. No I/O: the bytes are handed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// True when MESSAGE (without its newline) asks for an answer: when one of its units, which ';'
// separates outside quoted strings ('...' or "...", a doubled quote standing for itself), has a
// header, the first word after leading blanks and tabs, that ends in '?'. "*IDN?",
// " MEAS:VOLT? (@101)" and "*ESE 1;*ESE?" are queries; "VOLT 3" and "DISP:TEXT 'A;B? C'" are not.
bool isQuery(std::string_view message);

// Follows the bytes of one answer as they arrive and tells where it ends: at the newline that
// terminates the response message, except inside an IEEE 488.2 block. A block starts only where
// a response data element starts, at the start of the answer or after a ',' or ';' outside a
// string ("...", with "" for a quote inside); a '#' anywhere else is text. A definite block
// ("#" digit length data) is passed over by its length, whatever bytes it holds; an indefinite
// block ("#0") ends at a newline that is the last byte of a read that came back short, the mark
// of END on the message transports and of the instrument falling silent on the stream ones. An
// answer also ends where the instrument ends its message (END), newline or not.
// The bytes are scanned as they arrive, whatever reads cut them into, and never from the start
// of the answer again.
class AnswerScanner {
  public:
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

    State state_ = State::text;
    Place place_ = Place::elementStart;
    int digitsLeft_ = 0;
    std::uint64_t blockLeft_ = 0;
    bool complete_ = false;
    // Whether a byte of the answer has been scanned.
    bool started_ = false;
};

// Where the byte after BYTE of response text stands, BYTE standing at PLACE: a '"' opens or
// closes a string (a doubled one inside closes and reopens it), and a ',' or ';' outside a
// string starts the next element.
AnswerScanner::Place placeAfter(AnswerScanner::Place place, char byte);

// True when BYTE, standing at PLACE, starts an IEEE 488.2 block, which it may only where a
// response data element starts.
bool startsBlock(AnswerScanner::Place place, char byte);
