#include "message_rules.h"

namespace {

// True when UNIT, one unit of a program message, has a header ending in '?'.
bool unitIsQuery(std::string_view unit) {
    constexpr std::string_view blanks = " \t";
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
        if (byte == '\n') {
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
    if (shortRead && data[size - 1] == '\n')
        complete_ = true;
    return size;
}

void AnswerScanner::endBlock() {
    state_ = State::text;
    place_ = Place::element;
}
