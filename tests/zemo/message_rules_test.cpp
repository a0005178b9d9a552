// The rules zemoquery reads messages by: which messages are queries, and where an answer ends.
#include "message_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TEST(MessageRules, WhatIsAQuery) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"*IDN?", true},
        {"MEAS:VOLT? (@101)", true},
        {"VOLT 3", false},
        {"VOLT 3?", false}, // the '?' ends an argument, not the header
        {"", false},
        {" \t ", false},
        // Blanks and tabs before the header.
        {" *IDN?", true},
        {"\t\t*IDN?", true},
        {" \t MEAS:VOLT?\t(@101)", true},
        // Units separated by ';': a query when any of them is.
        {"*ESE 1;*ESE?", true},
        {"*ESE 1; *ESE?", true},
        {"*ESE?;*SRE 1", true},
        {"*ESE 1;*SRE 2", false},
        {"*ESE 1;", false},
        // A ';' inside a string separates nothing, in either kind of quotes; a doubled quote
        // stands for itself, and the other kind of quote inside a string is text.
        {"DISP:TEXT 'A; B? C'", false},
        {"DISP:TEXT \"A; B? C\"", false},
        {"DISP:TEXT \"A\"\"; B? C\"", false},
        {"DISP:TEXT \"it's\";B?", true},
        {"DISP:TEXT 'say \"hi';B?", true},
    };
    for (const auto& [message, query] : cases) {
        SCOPED_TRACE("'" + message + "'");
        EXPECT_EQ(isQuery(message), query);
    }
}

TEST(MessageRules, WhereABlockMayStart) {
    using Place = AnswerScanner::Place;
    struct Case {
        Place place;
        char byte;
        Place after;
        bool block;
    };
    const std::vector<Case> cases = {
        {Place::elementStart, '#', Place::element, true},
        {Place::element, '#', Place::element, false},
        {Place::string, '#', Place::string, false},
        {Place::element, ',', Place::elementStart, false},
        {Place::element, ';', Place::elementStart, false},
        {Place::elementStart, ',', Place::elementStart, false},
        {Place::string, ',', Place::string, false},
        {Place::string, ';', Place::string, false},
        {Place::elementStart, '"', Place::string, false},
        {Place::element, '"', Place::string, false},
        {Place::string, '"', Place::element, false},
        {Place::elementStart, 'A', Place::element, false},
        {Place::string, 'A', Place::string, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(1, test.byte) + " at " +
                     std::to_string(static_cast<int>(test.place)));
        EXPECT_EQ(placeAfter(test.place, test.byte), test.after);
        EXPECT_EQ(startsBlock(test.place, test.byte), test.block);
    }
}

// Scans ANSWER handed in pieces of PIECE bytes, the last of them a short read, and returns how
// many bytes the scanner took for the answer, or the whole size when it found no end.
std::size_t answerLength(const std::string& answer, std::size_t piece) {
    AnswerScanner scanner;
    std::size_t taken = 0;
    for (std::size_t at = 0; at < answer.size() && !scanner.complete(); at += piece) {
        const std::size_t size = std::min(piece, answer.size() - at);
        taken += scanner.scan(answer.data() + at, size, at + size == answer.size());
    }
    return scanner.complete() ? taken : answer.size() + 1;
}

// Each answer is followed by the start of the next one, which the scanner must leave alone,
// however the bytes are cut into reads.
TEST(MessageRules, WhereAnAnswerEnds) {
    const std::string next = "NEXT\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "1.25\n"},
        {"block at the start", "#15ab\ncd\n"},
        {"block after a comma", "1,#15ab\ncd\n"},
        {"block after a semicolon", "1;#15ab\ncd\n"},
        {"block of several length digits", "#210\n\n\n\n\n\n\n\n\n\n\n"},
        {"empty block", "#10\n"},
        {"two blocks", "#12\n\n,#11\n\n"},
        {"'#' inside a string", "\"ID#12\"\n"},
        {"'#' after a doubled quote", "\"A\"\"#12\"\n"},
        {"',' inside a string", "\"A,#12\"\n"},
        {"block after a string", "\"A\"\"B\",#13\n\n\n\n"},
        {"'#' inside an element", "ID#12\n"},
        {"'#' without digits", "#\n"},
        {"'#' before a comma", "#,#12\n\n\n"},
        {"block length cut short", "#3A\n"},
        {"a quote inside a block is data", "#11\",#12\n\n\n"},
        {"newline inside an unclosed string", "5\" PROBE\n"},
    };
    for (const auto& [what, answer] : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
            SCOPED_TRACE(what + " in pieces of " + std::to_string(piece));
            EXPECT_EQ(answerLength(answer + next, piece), answer.size());
        }
    }
}

// An indefinite block ends at a newline that ends a short read; one inside a full read is data.
TEST(MessageRules, IndefiniteBlockEndsWithAShortRead) {
    AnswerScanner scanner;
    EXPECT_EQ(scanner.scan("#0ab\n", 5, false), 5U);
    EXPECT_FALSE(scanner.complete());
    EXPECT_EQ(scanner.scan("cd\n", 3, true), 3U);
    EXPECT_TRUE(scanner.complete());
}

// END ends an answer wherever it comes once the answer has a byte: in text without a newline,
// inside a definite block; an END with no byte before it ends nothing.
TEST(MessageRules, EndEndsAnAnswerThatHasAByte) {
    struct Case {
        const char* what;
        std::string bytes;
        bool complete;
    };
    const std::vector<Case> cases{
        {"text without a newline", "42", true},
        {"inside a definite block", "#15ab", true},
        {"inside an indefinite block", "#0ab", true},
        {"no byte yet", "", false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        AnswerScanner scanner;
        EXPECT_EQ(scanner.scan(test.bytes.data(), test.bytes.size(), true), test.bytes.size());
        EXPECT_FALSE(scanner.complete());
        scanner.endMessage();
        EXPECT_EQ(scanner.complete(), test.complete);
    }
}

// An instrument that ends its answers with a carriage return alone: the scanner told so ends
// the answer there, in text and after a block, and takes a newline for data.
TEST(MessageRules, AnswerEndsAtTheTerminatorGiven) {
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {"1.5\rNEXT\r", 4},
        {"A\nB\rNEXT\r", 4},
        {"#12\r\r\rNEXT\r", 6},
    };
    for (const auto& [bytes, length] : cases) {
        SCOPED_TRACE(bytes);
        AnswerScanner scanner('\r');
        EXPECT_EQ(scanner.scan(bytes.data(), bytes.size(), true), length);
        EXPECT_TRUE(scanner.complete());
    }
}

// Lines of standard input that are not sent: empty, blank, or a comment; a '#' later is data.
TEST(MessageRules, SkippedLines) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"", true},
        {" \t", true},
        {"# a comment", true},
        {"  # indented", true},
        {"*IDN?", false},
        {":DATA #15hello", false},
        {"VOLT 3 # set", false},
    };
    for (const auto& [line, skipped] : cases) {
        SCOPED_TRACE("'" + line + "'");
        EXPECT_EQ(isSkippedLine(line), skipped);
    }
}

// Which answers to SYSTem:ERRor? say that the queue is empty.
TEST(MessageRules, EmptyErrorQueue) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"0,\"No error\"\n", true},
        {"+0,\"No error\"\r\n", true},
        {" 0\n", true},
        {"-113,\"Undefined header\"\n", false},
        {"+100,\"Command error\"", false},
        {"00x,\"odd\"", false},
        {"", false},
        {"No error\n", false},
    };
    for (const auto& [answer, empty] : cases) {
        SCOPED_TRACE(answer);
        EXPECT_EQ(reportsNoError(answer), empty);
    }
}

// What zemoquery writes of an answer under -s and -b, whatever pieces the bytes come in.
TEST(MessageRules, AnswerFilter) {
    struct Case {
        const char* what;
        bool strip;
        bool blockData;
        std::string answer;
        bool complete;
        std::string written;
    };
    const std::vector<Case> cases{
        {"as it is", false, false, "1.5\r\n", true, "1.5\r\n"},
        {"-s: newline", true, false, "1.5\n", true, "1.5\n"},
        {"-s: CRLF", true, false, "1.5\r\n", true, "1.5\n"},
        {"-s: CR", true, false, "1.5\r", true, "1.5\n"},
        {"-s: END without a terminator", true, false, "42", true, "42\n"},
        {"-s: only the last terminator", true, false, "A\n\n", true, "A\n\n"},
        {"-s: a failed answer as it came", true, false, "1.5\r", false, "1.5\r"},
        {"-b: definite block", false, true, "#15hel\nl\n", true, "hel\nl"},
        {"-b: definite block and -s", true, true, "#15hel\r\n\r\n", true, "hel\r\n"},
        {"-b: several length digits", false, true, "#211hello world\r\n", true, "hello world"},
        {"-b: empty block", false, true, "#10\n", true, ""},
        {"-b: indefinite block", false, true, "#0ab\ncd\n", true, "ab\ncd"},
        {"-b: indefinite block, CRLF", false, true, "#0abcd\r\n", true, "abcd"},
        {"-b: not a block", false, true, "1,#12ab\n", true, "1,#12ab\n"},
        {"-b: '#' and no digit", false, true, "#A\n", true, "#A\n"},
        {"-b: length digit missing", false, true, "#3A\n", true, "#3A\n"},
        {"-b and -s: text", true, true, "1.5\r\n", true, "1.5\n"},
        {"-b: a failed header as it came", false, true, "#21", false, "#21"},
    };
    for (const Case& test : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{1000}}) {
            SCOPED_TRACE(std::string(test.what) + " in pieces of " + std::to_string(piece));
            AnswerFilter filter(test.strip, test.blockData);
            std::string written;
            for (std::size_t at = 0; at < test.answer.size(); at += piece)
                filter.take(test.answer.data() + at, std::min(piece, test.answer.size() - at),
                            written);
            filter.finish(test.complete, written);
            EXPECT_EQ(written, test.written);
        }
    }
}

} // namespace
