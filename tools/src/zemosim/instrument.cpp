#include "instrument.h"
#include "zemonet/error.h"
#include "zemonet/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <unistd.h>

namespace zemosim {

namespace {

constexpr std::string_view blanks = " \t\r";
// The most bytes "DATA? N" answers: the whole block, header and newline included, must count in
// 64 bits.
constexpr std::uint64_t largestBlock = std::numeric_limits<std::int64_t>::max();

// TEXT without blanks (and carriage returns) at either end.
std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Splits TEXT into its first word and the trimmed rest.
std::pair<std::string_view, std::string_view> firstWord(std::string_view text) {
    text = trim(text);
    const auto end = text.find_first_of(blanks);
    if (end == std::string_view::npos)
        return {text, {}};
    return {text.substr(0, end), trim(text.substr(end))};
}

// TEXT in upper case (ASCII letters only).
std::string upper(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

// The decimal number that is all of TEXT, or nothing when TEXT is no such number or too large.
template <typename Number> std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// A line quoted in a message is cut after this many bytes.
constexpr std::size_t longestQuotedLine = 80;

// LINE in quotes as a message shows it: control bytes escaped, cut to a readable length.
std::string quotedLine(std::string_view line) {
    const bool cut = line.size() > longestQuotedLine;
    return "'" + zemo::visible(line.substr(0, longestQuotedLine)) + (cut ? "'..." : "'");
}

// Parses one line of a definition into DEFINITION; returns the reason when it cannot.
std::optional<std::string> parseLine(std::string_view line, Definition& definition) {
    const auto [keyword, rest] = firstWord(line);
    const auto [word, text] = firstWord(rest);
    const std::string key = upper(word);
    if ((keyword == "name" || keyword == "hislip") && word.find('\0') != std::string_view::npos)
        return "a name cannot hold a NUL byte";
    if (keyword == "name" && !word.empty() && text.empty())
        definition.name = std::string(word);
    else if (keyword == "hislip" && !word.empty() && text.empty())
        definition.hislipName = std::string(word);
    else if (keyword == "idn" && !rest.empty())
        definition.identity = std::string(rest);
    else if (keyword == "query" && !word.empty() && !text.empty())
        definition.queries[key] = std::string(text);
    else if (keyword == "property" && !word.empty())
        definition.properties[key] = {std::string(text), std::string(text)};
    else if (keyword == "error" && !rest.empty())
        definition.errorResponse = std::string(rest);
    else if (keyword == "drop" && !word.empty() && text.empty())
        definition.drops.insert(key);
    else if (keyword == "hangup" && !word.empty() && text.empty())
        definition.hangUps.insert(key);
    else if (keyword == "delay" && !word.empty()) {
        const auto [milliseconds, response] = firstWord(text);
        const auto delay = parseNumber<unsigned>(milliseconds);
        if (!delay || response.empty())
            return "expected 'delay QUERY MILLISECONDS RESPONSE'";
        definition.delayedQueries[key] = {Milliseconds{*delay}, std::string(response)};
    } else if (keyword == "fault" && !word.empty()) {
        const auto code = parseNumber<int>(text);
        if (!code || *code <= 0)
            return "expected 'fault COMMAND VXI11-ERROR-CODE' with a code above 0";
        definition.faults[key] = *code;
    } else if (keyword == "stall" && !word.empty()) {
        const auto milliseconds = parseNumber<unsigned>(text);
        if (!milliseconds)
            return "expected 'stall COMMAND MILLISECONDS'";
        definition.stalls[key] = Milliseconds{*milliseconds};
    } else if (keyword == "maxrecvsize" || keyword == "readchunk") {
        const auto size = parseNumber<std::uint32_t>(rest);
        if (!size || (keyword == "readchunk" && *size == 0))
            return "expected '" + std::string(keyword) + " BYTES'";
        (keyword == "maxrecvsize" ? definition.maxRecvSize : definition.readChunk) = *size;
    } else
        return "cannot understand " + quotedLine(line);
    return std::nullopt;
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

Instrument::Instrument(Definition definition) : definition_(std::move(definition)) {}

ClientId Instrument::join(std::uint64_t number, Reading reading, int wake) {
    std::lock_guard lock(mutex_);
    delivery_.join(++lastClient_, number, reading);
    wakes_[lastClient_] = wake;
    return lastClient_;
}

void Instrument::leave(ClientId client, std::uint64_t unread) {
    std::lock_guard lock(mutex_);
    delivery_.leave(client, unread);
    wakes_.erase(client);
    wakeClients();
}

void Instrument::wakeClients() {
    const std::uint64_t one = 1;
    for (const auto& [id, wake] : wakes_)
        if (wake >= 0 && ::write(wake, &one, sizeof one) < 0) {
            // A full counter already wakes the connection.
        }
}

Effect Instrument::execute(std::string_view command, ClientId client, std::uint32_t tag) {
    const auto [word, argument] = firstWord(command);
    if (word.empty())
        return {};
    const std::string header = upper(word);
    const auto at = Clock::now();
    const Origin origin{client, tag};
    std::lock_guard lock(mutex_);
    delivery_.command(client);
    if (definition_.drops.contains(header))
        return {.dropConnection = true};
    if (definition_.hangUps.contains(header))
        return {.hangUpAfterReply = true};
    if (const auto fault = definition_.faults.find(header); fault != definition_.faults.end())
        return {.vxi11Error = fault->second};
    if (const auto stall = definition_.stalls.find(header); stall != definition_.stalls.end())
        return {.stall = stall->second};
    if (header == "*RST")
        reset(client);
    else if (header == "*CLS")
        ;
    else if (header.back() == '?' && answerQuery(header, argument, at, origin))
        ;
    else if (const auto property = definition_.properties.find(header);
             property != definition_.properties.end() && !argument.empty())
        property->second.value = std::string(argument);
    else if (definition_.errorResponse)
        queueText(*definition_.errorResponse, at, origin);
    return {};
}

bool Instrument::answerQuery(const std::string& header, std::string_view argument,
                             Clock::time_point at, Origin origin) {
    const std::string base = header.substr(0, header.size() - 1);
    if (header == "*IDN?")
        queueText(definition_.identity, at, origin);
    else if (header == "DATA?") {
        const auto count = parseNumber<std::uint64_t>(argument);
        if (!count || *count > largestBlock)
            return false;
        queueBlock(*count, at, origin);
    } else if (const auto delayed = definition_.delayedQueries.find(header);
               delayed != definition_.delayedQueries.end())
        queueText(delayed->second.response, at + delayed->second.delay, origin);
    else if (const auto query = definition_.queries.find(header);
             query != definition_.queries.end())
        queueText(query->second, at, origin);
    else if (const auto property = definition_.properties.find(base);
             property != definition_.properties.end())
        queueText(property->second.value, at, origin);
    else
        return false;
    return true;
}

void Instrument::queueText(std::string text, Clock::time_point readyAt, Origin origin) {
    enqueue({.head = std::move(text) + "\n", .generated = 0, .tail = {}, .sent = 0, .origin = origin},
            readyAt);
}

void Instrument::queueBlock(std::uint64_t count, Clock::time_point readyAt, Origin origin) {
    const std::string length = std::to_string(count);
    enqueue({.head = "#" + std::to_string(length.size()) + length,
             .generated = count,
             .tail = "\n",
             .sent = 0,
             .origin = origin},
            readyAt);
}

void Instrument::enqueue(Response response, Clock::time_point readyAt) {
    if (delivery_.answers() >= largestOutputQueue ||
        delivery_.text() + response.textSize() > largestQueuedText)
        return;
    // An answer is its owner's alone, and the owner's own thread queues it; only an answer of
    // nobody may concern the others.
    const bool unclaimed = !wakes_.contains(response.origin.client);
    delivery_.ask(response.origin.client, std::move(response), readyAt);
    if (unclaimed)
        wakeClients();
}

void Instrument::reset(ClientId client) {
    delivery_.clear(client);
    for (auto& [header, property] : definition_.properties)
        property.value = property.initial;
}

void Instrument::clear(ClientId client) {
    std::lock_guard lock(mutex_);
    delivery_.clear(client);
}

std::optional<Piece> Instrument::takeFor(ClientId client, std::span<char> out,
                                         Clock::time_point& readyAt,
                                         std::optional<char> termChar) {
    std::lock_guard lock(mutex_);
    return takeNext(client, out, termChar, readyAt);
}

bool Instrument::readyFor(ClientId client) {
    std::lock_guard lock(mutex_);
    return delivery_.readable(client, Clock::now());
}

bool Instrument::answerWaitingFor(ClientId client) {
    std::lock_guard lock(mutex_);
    return delivery_.ownReady(client, Clock::now());
}

bool Instrument::outputPendingFor(ClientId client) {
    std::lock_guard lock(mutex_);
    return delivery_.ownPending(client);
}

std::optional<Piece> Instrument::takeNext(ClientId client, std::span<char> out,
                                          std::optional<char> termChar,
                                          Clock::time_point& readyAt) {
    Response* response = delivery_.next(client, Clock::now(), readyAt);
    if (response == nullptr)
        return std::nullopt;
    Piece piece;
    piece.size = copyFrom(*response, out, termChar, piece.termCharSeen);
    piece.origin = response->origin;
    piece.endOfMessage = response->sent == response->size();
    if (piece.endOfMessage)
        delivery_.finished(client);
    return piece;
}

namespace {

// 64 KiB of the data pattern plus one period, so that any run of up to 64 KiB starting at any
// phase of the pattern is one contiguous slice.
const std::array<char, 65536 + 256>& patternTable() {
    static const auto table = [] {
        std::array<char, 65536 + 256> bytes{};
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = dataByte(i);
        return bytes;
    }();
    return table;
}

// Copies bytes FROM.. of the pattern to OUT.
void copyPattern(std::uint64_t from, std::span<char> out) {
    const auto& table = patternTable();
    while (!out.empty()) {
        const std::size_t run = std::min<std::size_t>(out.size(), 65536);
        std::memcpy(out.data(), table.data() + (from & 0xff), run);
        out = out.subspan(run);
        from += run;
    }
}

} // namespace

std::size_t Instrument::copyFrom(Response& response, std::span<char> out,
                                 std::optional<char> termChar, bool& termCharSeen) {
    const std::uint64_t headEnd = response.head.size();
    const std::uint64_t dataEnd = headEnd + response.generated;
    const std::size_t count = static_cast<std::size_t>(
        std::min<std::uint64_t>(out.size(), response.size() - response.sent));
    std::size_t done = 0;
    while (done < count) {
        const std::uint64_t at = response.sent + done;
        const std::span<char> rest = out.subspan(done, count - done);
        std::size_t run;
        if (at < headEnd) {
            run = static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), headEnd - at));
            std::memcpy(rest.data(), response.head.data() + at, run);
        } else if (at < dataEnd) {
            run = static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), dataEnd - at));
            copyPattern(at - headEnd, rest.first(run));
        } else {
            run = static_cast<std::size_t>(
                std::min<std::uint64_t>(rest.size(), response.size() - at));
            std::memcpy(rest.data(), response.tail.data() + (at - dataEnd), run);
        }
        done += run;
    }
    std::size_t kept = count;
    if (termChar) {
        const auto* found = static_cast<const char*>(std::memchr(out.data(), *termChar, count));
        if (found != nullptr) {
            kept = static_cast<std::size_t>(found - out.data()) + 1;
            termCharSeen = true;
        }
    }
    response.sent += kept;
    return kept;
}

} // namespace zemosim
