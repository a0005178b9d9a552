#include "definition.h"
#include "words.h"
#include "zemonet/text.h"

#include <array>
#include <cmath>
#include <stdexcept>

namespace zemosim {

namespace {

// A line quoted in a message is cut after this many bytes.
constexpr std::size_t longestQuotedLine = 80;

// LINE in quotes as a message shows it: control bytes escaped, cut to a readable length.
std::string quotedLine(std::string_view line) {
    const bool cut = line.size() > longestQuotedLine;
    return "'" + zemo::visible(line.substr(0, longestQuotedLine)) + (cut ? "'..." : "'");
}

// One line of a definition cut into its parts: KEYWORD WORD TEXT, REST being WORD TEXT, and
// KEY the WORD in upper case (the form command headers are kept in).
struct Fields {
    std::string_view line;
    std::string_view keyword;
    std::string_view rest;
    std::string_view word;
    std::string_view text;
    std::string key;

    explicit Fields(std::string_view content) : line(content) {
        std::tie(keyword, rest) = firstWord(line);
        std::tie(word, text) = firstWord(rest);
        key = upper(word);
    }
};

// What a keyword's reader says: nothing when it took the line, else the reason it did not.
using Verdict = std::optional<std::string>;

Verdict notUnderstood(const Fields& fields) {
    return "cannot understand " + quotedLine(fields.line);
}

// Reads a one-word name into TARGET.
Verdict readName(const Fields& fields, std::string& target) {
    if (fields.word.find('\0') != std::string_view::npos)
        return "a name cannot hold a NUL byte";
    if (fields.word.empty() || !fields.text.empty())
        return notUnderstood(fields);
    target = std::string(fields.word);
    return std::nullopt;
}

// Reads a command header alone on its line into TARGET.
Verdict readHeader(const Fields& fields, std::set<std::string>& target) {
    if (fields.word.empty() || !fields.text.empty())
        return notUnderstood(fields);
    target.insert(fields.key);
    return std::nullopt;
}

// Reads the rest of the line, which may not be empty, into TARGET.
Verdict readText(const Fields& fields, std::string& target) {
    if (fields.rest.empty())
        return notUnderstood(fields);
    target = std::string(fields.rest);
    return std::nullopt;
}

Verdict readQuery(const Fields& fields, Definition& definition) {
    if (fields.word.empty() || fields.text.empty())
        return notUnderstood(fields);
    definition.queries[fields.key] = std::string(fields.text);
    return std::nullopt;
}

Verdict readProperty(const Fields& fields, Definition& definition) {
    if (fields.word.empty())
        return notUnderstood(fields);
    definition.properties[fields.key] = {std::string(fields.text), std::string(fields.text)};
    return std::nullopt;
}

Verdict readDelay(const Fields& fields, Definition& definition) {
    const auto [milliseconds, response] = firstWord(fields.text);
    const auto delay = parseNumber<unsigned>(milliseconds);
    if (fields.word.empty() || !delay || response.empty())
        return "expected 'delay QUERY MILLISECONDS RESPONSE'";
    definition.delayedQueries[fields.key] = {Milliseconds{*delay}, std::string(response)};
    return std::nullopt;
}

Verdict readFault(const Fields& fields, Definition& definition) {
    const auto code = parseNumber<int>(fields.text);
    if (fields.word.empty() || !code || *code <= 0)
        return "expected 'fault COMMAND VXI11-ERROR-CODE' with a code above 0";
    definition.faults[fields.key] = *code;
    return std::nullopt;
}

Verdict readStall(const Fields& fields, Definition& definition) {
    const auto milliseconds = parseNumber<unsigned>(fields.text);
    if (fields.word.empty() || !milliseconds)
        return "expected 'stall COMMAND MILLISECONDS'";
    definition.stalls[fields.key] = Milliseconds{*milliseconds};
    return std::nullopt;
}

// A finite decimal number, or nothing.
std::optional<double> finiteNumber(std::string_view text) {
    const auto number = parseNumber<double>(text);
    if (!number || !std::isfinite(*number))
        return std::nullopt;
    return number;
}

Verdict readReading(const Fields& fields, Definition& definition) {
    const auto [meanText, afterMean] = firstWord(fields.text);
    const auto [spreadText, seedText] = firstWord(afterMean);
    const auto mean = finiteNumber(meanText);
    const auto spread = finiteNumber(spreadText);
    const auto seed =
        seedText.empty() ? std::optional<std::uint64_t>(1) : parseNumber<std::uint64_t>(seedText);
    if (fields.word.empty() || fields.word.back() != '?' || !mean || !spread || *spread < 0 ||
        !seed)
        return "expected 'reading QUERY MEAN SPREAD [SEED]' with a SPREAD of 0 or more";
    definition.readings[fields.key] = {*mean, *spread, *seed};
    return std::nullopt;
}

// Reads a size in bytes; ZERO tells whether 0 is one.
Verdict readSize(const Fields& fields, std::uint32_t& target, bool zero) {
    const auto size = parseNumber<std::uint32_t>(fields.rest);
    if (!size || (!zero && *size == 0))
        return "expected '" + std::string(fields.keyword) + " BYTES'";
    target = *size;
    return std::nullopt;
}

struct Keyword {
    std::string_view word;
    Verdict (*read)(const Fields&, Definition&);
};

// Every line a definition may hold, by its first word.
constexpr std::array keywords{
    Keyword{"name", [](const Fields& f, Definition& d) { return readName(f, d.name); }},
    Keyword{"hislip", [](const Fields& f, Definition& d) { return readName(f, d.hislipName); }},
    Keyword{"idn", [](const Fields& f, Definition& d) { return readText(f, d.identity); }},
    Keyword{"query", readQuery},
    Keyword{"property", readProperty},
    Keyword{"reading", readReading},
    Keyword{"error",
            [](const Fields& f, Definition& d) {
                std::string text;
                const Verdict verdict = readText(f, text);
                if (!verdict)
                    d.errorResponse = std::move(text);
                return verdict;
            }},
    Keyword{"trigger", [](const Fields& f, Definition& d) { return readText(f, d.triggerAction); }},
    Keyword{"drop", [](const Fields& f, Definition& d) { return readHeader(f, d.drops); }},
    Keyword{"hangup", [](const Fields& f, Definition& d) { return readHeader(f, d.hangUps); }},
    Keyword{"delay", readDelay},
    Keyword{"fault", readFault},
    Keyword{"stall", readStall},
    Keyword{"maxrecvsize",
            [](const Fields& f, Definition& d) { return readSize(f, d.maxRecvSize, true); }},
    Keyword{"readchunk",
            [](const Fields& f, Definition& d) { return readSize(f, d.readChunk, false); }},
};

// Parses one line of a definition into DEFINITION; returns the reason when it cannot.
Verdict parseLine(std::string_view line, Definition& definition) {
    const Fields fields(line);
    for (const Keyword& keyword : keywords)
        if (keyword.word == fields.keyword)
            return keyword.read(fields, definition);
    return notUnderstood(fields);
}

} // namespace

Definition parseDefinition(std::istream& input, const std::string& name) {
    Definition definition;
    std::string line;
    for (int number = 1; std::getline(input, line); ++number) {
        const std::string_view content = trim(line);
        if (content.empty() || content.front() == '#')
            continue;
        if (const auto reason = parseLine(content, definition))
            throw std::runtime_error(name + ":" + std::to_string(number) + ": " + *reason);
    }
    return definition;
}

} // namespace zemosim
