#include "instrument.h"
#include "words.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include <unistd.h>

namespace zemosim {

namespace {

// The most bytes "DATA? N" answers: a definite block gives the number of digits of its length
// in one digit, so the length has at most nine. A larger N is out of range.
constexpr std::uint64_t largestBlock = 999'999'999;
// The most bytes of a second block in one response, which is held as text.
constexpr std::uint64_t largestTextBlock = 1 << 20;

// The program message units of LINE: its parts between semicolons outside quoted strings,
// trimmed, the empty ones left out.
std::vector<std::string_view> messageUnits(std::string_view line) {
    std::vector<std::string_view> units;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        const char c = i < line.size() ? line[i] : ';';
        if (quote != 0)
            quote = c == quote ? 0 : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == ';' || i == line.size()) {
            if (const auto unit = trim(line.substr(start, i - start)); !unit.empty())
                units.push_back(unit);
            start = i + 1;
        }
    }
    return units;
}

// The byte count N of "DATA? N" given as ARGUMENT, or nothing when ARGUMENT is no decimal
// number; a number too large for 64 bits counts as the largest 64-bit one, out of range all the
// same.
std::optional<std::uint64_t> dataCount(std::string_view argument) {
    std::uint64_t count = 0;
    const auto* end = argument.data() + argument.size();
    const auto [stop, error] = std::from_chars(argument.data(), end, count);
    if (argument.empty() || stop != end)
        return std::nullopt;
    return error == std::errc::result_out_of_range ? std::numeric_limits<std::uint64_t>::max()
                                                   : count;
}

// VALUE as a reading answers it: up to nine significant digits.
std::string readingText(double value) {
    std::array<char, 32> text{};
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::general, 9);
    return std::string(text.data(), result.ptr);
}

} // namespace

Instrument::Instrument(Definition definition) : definition_(std::move(definition)) {
    resetSettings();
}

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
    completions_.erase(client);
    if (lockHolder_ == client)
        lockHolder_ = 0;
    wakeClients();
}

namespace {

// Writes eventfd WAKE, which makes the thread polling it return.
void wakeUp(int wake) {
    const std::uint64_t one = 1;
    if (wake >= 0 && ::write(wake, &one, sizeof one) < 0) {
        // A full counter already wakes the connection.
    }
}

} // namespace

void Instrument::wakeClients() {
    for (const auto& [id, wake] : wakes_)
        wakeUp(wake);
}

void Instrument::noticeStatus(Clock::time_point now) {
    const auto statusByte = status_.noticeServiceRequest(now);
    // The watchers wait until the status changes by itself; one that changes sooner than they
    // know of (a new *OPC) must be looked for sooner.
    const auto change = status_.nextChange();
    const bool sooner = change < watchedChange_;
    watchedChange_ = change;
    const auto enabledUntil = status_.requestsEnabledUntil();
    const bool enabledChanged = std::exchange(watchedEnabledUntil_, enabledUntil) != enabledUntil;
    if (statusByte) {
        ++requests_.latest;
        requests_.statusByte = *statusByte;
    }
    if (statusByte || sooner || enabledChanged)
        for (const int wake : requestWatchers_)
            wakeUp(wake);
}

Instrument::ServiceRequests Instrument::serviceRequests() {
    std::lock_guard lock(mutex_);
    noticeStatus(Clock::now());
    ServiceRequests requests = requests_;
    requests.lookAgain = status_.nextChange();
    return requests;
}

Clock::time_point Instrument::requestsEnabledUntil() {
    std::lock_guard lock(mutex_);
    return status_.requestsEnabledUntil();
}

void Instrument::watchRequests(int wake) {
    std::lock_guard lock(mutex_);
    requestWatchers_.insert(wake);
}

void Instrument::unwatchRequests(int wake) {
    std::lock_guard lock(mutex_);
    if (const auto found = requestWatchers_.find(wake); found != requestWatchers_.end())
        requestWatchers_.erase(found);
}

Effect Instrument::execute(std::string_view command, ClientId client, std::uint32_t tag) {
    const auto units = messageUnits(command);
    if (units.empty())
        return {};
    const auto at = Clock::now();
    const Origin origin{client, tag};
    std::lock_guard lock(mutex_);
    delivery_.command(client);
    // A request that the status raised by itself since the last look (a pending *OPC that has
    // completed) is raised before the command can clear its event.
    noticeStatus(Clock::now());
    Reply reply;
    Effect effect;
    for (const std::string_view unit : units) {
        effect = executeUnit(unit, at, origin, reply);
        noticeStatus(Clock::now());
        if (!effect.plain())
            break;
    }
    if (!reply.empty)
        queueReply(std::move(reply), origin);
    return effect;
}

Effect Instrument::executeUnit(std::string_view unit, Clock::time_point at, Origin origin,
                               Reply& reply) {
    const auto [word, argument] = firstWord(unit);
    const std::string header = upper(word);
    if (definition_.drops.contains(header))
        return {.dropConnection = true};
    if (definition_.hangUps.contains(header))
        return {.hangUpAfterReply = true};
    if (const auto fault = definition_.faults.find(header); fault != definition_.faults.end())
        return {.vxi11Error = fault->second};
    if (const auto stall = definition_.stalls.find(header); stall != definition_.stalls.end())
        return {.stall = stall->second};
    const StatusModel::Moment moment{
        .now = Clock::now(),
        .messageAvailable = [&] { return ownAnswerReady(origin.client); },
        .completion = completionOf(origin.client, Clock::now())};
    if (const auto outcome = status_.execute(header, argument, moment)) {
        if (outcome->answer)
            reply.addText(*outcome->answer, std::max(at, outcome->readyAt));
    } else if (header == "*RST")
        reset(origin.client);
    else if (header == "*TRG")
        countTrigger(at, origin, reply);
    else if (header.back() == '?' && answerQuery(header, argument, at, origin, reply))
        ;
    else if (const auto property = definition_.properties.find(header);
             property != definition_.properties.end() && !argument.empty())
        property->second.value = std::string(argument);
    else {
        status_.queueError(-113, "Undefined header");
        if (definition_.errorResponse)
            reply.addText(*definition_.errorResponse, at);
    }
    return {};
}

bool Instrument::answerQuery(const std::string& header, std::string_view argument,
                             Clock::time_point at, Origin origin, Reply& reply) {
    const std::string base = header.substr(0, header.size() - 1);
    if (header == "*IDN?")
        reply.addText(definition_.identity, at);
    else if (header == "DATA?") {
        const auto count = dataCount(argument);
        if (!count)
            return false;
        if (*count > largestBlock || !reply.addBlock(*count, at))
            status_.queueError(-222, "Data out of range");
    } else if (const auto delayed = definition_.delayedQueries.find(header);
               delayed != definition_.delayedQueries.end()) {
        const auto ready = at + delayed->second.delay;
        completions_[origin.client] = std::max(completionOf(origin.client, ready), ready);
        reply.addText(delayed->second.response, ready);
    } else if (const auto query = definition_.queries.find(header);
               query != definition_.queries.end())
        reply.addText(query->second, at);
    else if (const auto reading = definition_.readings.find(header);
             reading != definition_.readings.end())
        reply.addText(nextReading(header, reading->second), at);
    else if (const auto property = definition_.properties.find(base);
             property != definition_.properties.end())
        reply.addText(property->second.value, at);
    else if (matchesHeader("TRIGger:COUNt?", header))
        reply.addText(std::to_string(triggers_), at);
    else if (matchesHeader("SYSTem:REMote?", header))
        reply.addText(remote_ ? "1" : "0", at);
    else
        return false;
    return true;
}

std::string Instrument::nextReading(const std::string& header, const Definition::Reading& reading) {
    // 53 random bits make an even fraction from 0 to 1.
    const double fraction = static_cast<double>(readingSources_.at(header)() >> 11) * 0x1.0p-53;
    return readingText(reading.mean + reading.spread * (2 * fraction - 1));
}

Clock::time_point Instrument::completionOf(ClientId client, Clock::time_point at) const {
    const auto completion = completions_.find(client);
    return completion == completions_.end() ? at : std::max(at, completion->second);
}

std::string& Instrument::Reply::nextPart() {
    std::string& part = hasBlock ? tail : head;
    if (!empty)
        part += ';';
    empty = false;
    return part;
}

void Instrument::Reply::addText(std::string_view text, Clock::time_point ready) {
    nextPart() += text;
    readyAt = std::max(readyAt, ready);
}

bool Instrument::Reply::addBlock(std::uint64_t count, Clock::time_point ready) {
    if (hasBlock && count > largestTextBlock)
        return false;
    std::string& part = nextPart();
    const std::string length = std::to_string(count);
    part += "#" + std::to_string(length.size()) + length;
    if (hasBlock)
        for (std::uint64_t i = 0; i < count; ++i)
            part.push_back(dataByte(i));
    else
        generated = count;
    hasBlock = true;
    readyAt = std::max(readyAt, ready);
    return true;
}

void Instrument::queueReply(Reply reply, Origin origin) {
    (reply.hasBlock ? reply.tail : reply.head) += '\n';
    enqueue({.head = std::move(reply.head),
             .generated = reply.generated,
             .tail = std::move(reply.tail),
             .sent = 0,
             .origin = origin},
            reply.readyAt);
}

bool Instrument::ownAnswerReady(ClientId client) const {
    return delivery_.ownReady(client, Clock::now());
}

std::uint8_t Instrument::serialPoll(bool messageAvailable) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    noticeStatus(now);
    return status_.serialPoll(messageAvailable, now);
}

void Instrument::trigger(ClientId client, std::uint32_t tag) {
    const Origin origin{client, tag};
    std::lock_guard lock(mutex_);
    if (!definition_.triggerAction.empty())
        delivery_.command(client);
    Reply reply;
    countTrigger(Clock::now(), origin, reply);
    noticeStatus(Clock::now());
    if (!reply.empty)
        queueReply(std::move(reply), origin);
}

void Instrument::countTrigger(Clock::time_point at, Origin origin, Reply& reply) {
    ++triggers_;
    if (std::exchange(triggering_, true))
        return;
    for (const std::string_view unit : messageUnits(definition_.triggerAction))
        if (!executeUnit(unit, at, origin, reply).plain())
            break;
    triggering_ = false;
}

bool Instrument::lock(ClientId client) {
    std::lock_guard lock(mutex_);
    if (client == 0 || (lockHolder_ != 0 && lockHolder_ != client))
        return false;
    lockHolder_ = client;
    return true;
}

bool Instrument::unlock(ClientId client) {
    std::lock_guard lock(mutex_);
    if (lockHolder_ != client || client == 0)
        return false;
    lockHolder_ = 0;
    wakeClients();
    return true;
}

bool Instrument::lockedAgainst(ClientId client) {
    std::lock_guard lock(mutex_);
    return lockHolder_ != 0 && lockHolder_ != client;
}

void Instrument::setRemote(bool remote) {
    std::lock_guard lock(mutex_);
    remote_ = remote;
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
    resetSettings();
}

void Instrument::resetSettings() {
    for (auto& [header, property] : definition_.properties)
        property.value = property.initial;
    for (const auto& [header, reading] : definition_.readings)
        readingSources_[header].seed(reading.seed);
    triggers_ = 0;
}

void Instrument::clear(ClientId client) {
    std::lock_guard lock(mutex_);
    delivery_.clear(client);
}

std::optional<Piece> Instrument::takeFor(ClientId client, std::span<char> out,
                                         Clock::time_point& readyAt, std::optional<char> termChar) {
    std::lock_guard lock(mutex_);
    return takeNext(client, out, termChar, readyAt);
}

bool Instrument::readyFor(ClientId client) {
    std::lock_guard lock(mutex_);
    return delivery_.readable(client, Clock::now());
}

bool Instrument::answerWaitingFor(ClientId client) {
    std::lock_guard lock(mutex_);
    return ownAnswerReady(client);
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
