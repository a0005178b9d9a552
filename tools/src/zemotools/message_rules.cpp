#include "message_rules.h"

#include <charconv>

namespace {

constexpr std::string_view blanks = " \t";

// True when UNIT, one unit of a program message, has a header ending in '?'.
bool unitIsQuery(std::string_view unit) {
    const std::size_t start = unit.find_first_not_of(blanks);
    if (start == std::string_view::npos)
        return false;
    unit.remove_prefix(start);
    const std::string_view header = unit.substr(0, unit.find_first_of(blanks));
    return header.back() == '?';
}

} // namespace

bool isQuery(std::string_view message) {
    char quote = 0; // the quote of the string being read, 0 outside strings
    std::size_t unitStart = 0;
    for (std::size_t at = 0; at < message.size(); ++at) {
        const char byte = message[at];
        if (quote != 0) {
            if (byte == quote)
                quote = 0;
        } else if (byte == '"' || byte == '\'') {
            quote = byte;
        } else if (byte == ';') {
            if (unitIsQuery(message.substr(unitStart, at - unitStart)))
                return true;
            unitStart = at + 1;
        }
    }
    return unitIsQuery(message.substr(unitStart));
}

bool isSkippedLine(std::string_view line) {
    const std::size_t start = line.find_first_not_of(blanks);
    return start == std::string_view::npos || line[start] == '#';
}

bool reportsNoError(std::string_view answer) {
    std::string_view number = answer.substr(0, answer.find(','));
    const std::size_t start = number.find_first_not_of(blanks);
    number.remove_prefix(start == std::string_view::npos ? number.size() : start);
    if (number.starts_with('+'))
        number.remove_prefix(1);
    long value = -1;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    return error == std::errc() && value == 0 &&
           std::string_view(end, number.data() + number.size()).find_first_not_of(" \t\r\n") ==
               std::string_view::npos;
}

AnswerScanner::Place placeAfter(AnswerScanner::Place place, char byte) {
    using Place = AnswerScanner::Place;
    if (byte == '"')
        return place == Place::string ? Place::element : Place::string;
    if (place == Place::string)
        return Place::string;
    return byte == ',' || byte == ';' ? Place::elementStart : Place::element;
}

bool startsBlock(AnswerScanner::Place place, char byte) {
    return byte == '#' && place == AnswerScanner::Place::elementStart;
}

std::size_t AnswerScanner::scan(const char* data, std::size_t size, bool shortRead) {
    std::size_t at = 0;
    while (at < size && !complete_)
        at += step(data + at, size - at, shortRead);
    started_ = started_ || at > 0;
    return at;
}

std::size_t AnswerScanner::step(const char* data, std::size_t size, bool shortRead) {
    switch (state_) {
    case State::text:
        return scanText(data, size);
    case State::hash:
        return startBlock(data[0]) ? 1 : 0;
    case State::lengthDigits:
        return takeLengthDigit(data[0]) ? 1 : 0;
    case State::blockData:
        return skipBlockData(size);
    case State::indefiniteBlock:
        return scanIndefinite(data, size, shortRead);
    }
    return size;
}

std::size_t AnswerScanner::scanText(const char* data, std::size_t size) {
    for (std::size_t at = 0; at < size; ++at) {
        const char byte = data[at];
        if (byte == terminator_) {
            complete_ = true;
            return at + 1;
        }
        if (startsBlock(place_, byte)) {
            state_ = State::hash;
            return at + 1;
        }
        place_ = placeAfter(place_, byte);
    }
    return size;
}

// Takes BYTE, which follows a '#' that may start a block, as the digit that starts it; false,
// leaving the byte to be scanned as text, when it is no digit.
bool AnswerScanner::startBlock(char byte) {
    if (byte == '0') {
        state_ = State::indefiniteBlock;
    } else if (byte >= '1' && byte <= '9') {
        state_ = State::lengthDigits;
        digitsLeft_ = byte - '0';
        blockLeft_ = 0;
    } else {
        endBlock();
        return false;
    }
    return true;
}

// Takes BYTE as the next digit of a block's length; false, leaving the byte to be scanned as
// text, when it is no digit.
bool AnswerScanner::takeLengthDigit(char byte) {
    if (byte < '0' || byte > '9') {
        endBlock();
        return false;
    }
    blockLeft_ = blockLeft_ * 10 + static_cast<std::uint64_t>(byte - '0');
    if (--digitsLeft_ > 0)
        return true;
    if (blockLeft_ > 0)
        state_ = State::blockData;
    else
        endBlock();
    return true;
}

// Passes over the bytes of a definite block among the SIZE at hand.
std::size_t AnswerScanner::skipBlockData(std::size_t size) {
    const std::size_t taken = blockLeft_ < size ? static_cast<std::size_t>(blockLeft_) : size;
    blockLeft_ -= taken;
    if (blockLeft_ == 0)
        endBlock();
    return taken;
}

std::size_t AnswerScanner::scanIndefinite(const char* data, std::size_t size, bool shortRead) {
    if (shortRead && data[size - 1] == terminator_)
        complete_ = true;
    return size;
}

void AnswerScanner::endBlock() {
    state_ = State::text;
    place_ = Place::element;
}

void AnswerFilter::take(const char* data, std::size_t size, std::string& out) {
    std::size_t at = 0;
    for (; at < size && kind_ == Kind::undecided; ++at)
        takeHeaderByte(data[at], out);
    data += at;
    size -= at;
    switch (kind_) {
    case Kind::undecided:
        return;
    case Kind::definite: {
        const std::size_t taken = left_ < size ? static_cast<std::size_t>(left_) : size;
        out.append(data, taken);
        left_ -= taken;
        return; // what follows the data is the terminator, or more elements: not written
    }
    case Kind::indefinite:
        takeHoldingTerminator(data, size, out);
        return;
    case Kind::text:
        if (strip_)
            takeHoldingTerminator(data, size, out);
        else
            out.append(data, size);
        return;
    }
}

// A header decides the answer's kind: "#0" an indefinite block, "#" digit N and N digits a
// definite one; anything else, found at any byte, makes the answer text, held bytes and all.
void AnswerFilter::takeHeaderByte(char byte, std::string& out) {
    held_.push_back(byte);
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (held_[0] != '#' || (held_.size() > 1 && !isDigit(byte))) {
        kind_ = Kind::text;
        std::string header;
        header.swap(held_);
        take(header.data(), header.size(), out);
        return;
    }
    if (held_.size() == 2) {
        digits_ = static_cast<std::size_t>(byte - '0');
        if (digits_ == 0) {
            kind_ = Kind::indefinite;
            held_.clear();
        }
        return;
    }
    if (held_.size() == 2 + digits_) {
        std::from_chars(held_.data() + 2, held_.data() + held_.size(), left_);
        kind_ = Kind::definite;
        held_.clear();
    }
}

void AnswerFilter::takeHoldingTerminator(const char* data, std::size_t size, std::string& out) {
    held_.append(data, size);
    std::size_t kept = 0;
    while (kept < 2 && kept < held_.size() &&
           (held_[held_.size() - 1 - kept] == '\n' || held_[held_.size() - 1 - kept] == '\r'))
        ++kept;
    out.append(held_, 0, held_.size() - kept);
    held_.erase(0, held_.size() - kept);
}

void AnswerFilter::finish(bool complete, std::string& out) {
    if (!complete || kind_ == Kind::undecided) {
        out += held_;
    } else if (kind_ == Kind::text || kind_ == Kind::indefinite) {
        // The held bytes are all '\r' or '\n': the terminator is the last one, or "\r\n".
        if (held_.ends_with("\r\n"))
            held_.resize(held_.size() - 2);
        else if (!held_.empty())
            held_.pop_back();
        out += held_;
        if (kind_ == Kind::text && strip_)
            out += '\n';
    }
    held_.clear();
}
