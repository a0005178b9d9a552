#include "status_model.h"
#include "words.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace zemosim {

namespace {

// One keyword of a header pattern: its short and long forms, and whether it may be left out.
struct PatternNode {
    std::string shortForm;
    std::string longForm;
    bool optional = false;
};

// The keywords of PATTERN, such as "SYSTem:ERRor[:NEXT]" (without its '?').
std::vector<PatternNode> patternNodes(std::string_view pattern) {
    std::vector<PatternNode> nodes;
    bool optional = false;
    for (const char c : pattern) {
        if (c == '[' || c == ':') {
            optional = optional || c == '[';
            if (nodes.empty() || !nodes.back().longForm.empty())
                nodes.push_back({});
            nodes.back().optional = optional;
        } else if (c == ']') {
            optional = false;
        } else {
            if (nodes.empty())
                nodes.push_back({});
            if (std::isupper(static_cast<unsigned char>(c)) != 0 || c == '*')
                nodes.back().shortForm.push_back(c);
            nodes.back().longForm.push_back(
                static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    return nodes;
}

// The keywords of HEADER, split at its colons.
std::vector<std::string_view> headerWords(std::string_view header) {
    std::vector<std::string_view> words;
    for (std::size_t start = 0;;) {
        const auto end = header.find(':', start);
        words.push_back(header.substr(start, end - start));
        if (end == std::string_view::npos)
            return words;
        start = end + 1;
    }
}

bool matchFrom(const std::vector<PatternNode>& nodes, std::size_t node,
               const std::vector<std::string_view>& words, std::size_t word) {
    if (node == nodes.size())
        return word == words.size();
    const PatternNode& here = nodes[node];
    const bool matches =
        word < words.size() && (words[word] == here.shortForm || words[word] == here.longForm);
    return (matches && matchFrom(nodes, node + 1, words, word + 1)) ||
           (here.optional && matchFrom(nodes, node + 1, words, word));
}

// The event register bit that errors of CODE's class set.
std::uint8_t eventBitOf(int code) {
    switch (-code / 100) {
    case 1:
        return StatusModel::commandError;
    case 2:
        return StatusModel::executionError;
    case 3:
        return StatusModel::deviceError;
    case 4:
        return StatusModel::queryError;
    default:
        return 0;
    }
}

std::string errorEntry(int code, std::string_view text) {
    return std::to_string(code) + ",\"" + std::string(text) + "\"";
}

} // namespace

bool matchesHeader(std::string_view pattern, std::string_view header) {
    if (header.starts_with(':'))
        header.remove_prefix(1);
    const bool patternAsks = pattern.ends_with('?');
    if (header.ends_with('?') != patternAsks || header.empty())
        return false;
    if (patternAsks) {
        pattern.remove_suffix(1);
        header.remove_suffix(1);
    }
    return matchFrom(patternNodes(pattern), 0, headerWords(header), 0);
}

const StatusModel::Command StatusModel::commands[] = {
    {"*CLS", false, &StatusModel::clearStatus},
    {"*ESE", true, &StatusModel::setEventEnable},
    {"*ESE?", false, &StatusModel::readEventEnable},
    {"*ESR?", false, &StatusModel::readEventStatus},
    {"*OPC", false, &StatusModel::operationCompleteLater},
    {"*OPC?", false, &StatusModel::operationCompleteQuery},
    {"*SRE", true, &StatusModel::setServiceEnable},
    {"*SRE?", false, &StatusModel::readServiceEnable},
    {"*STB?", false, &StatusModel::readStatusByte},
    {"*TST?", false, &StatusModel::selfTest},
    {"*WAI", false, &StatusModel::waitToContinue},
    {"SYSTem:ERRor[:NEXT]?", false, &StatusModel::readError},
};

std::optional<StatusModel::Outcome>
StatusModel::execute(std::string_view header, std::string_view argument, const Moment& moment) {
    const auto command =
        std::find_if(std::begin(commands), std::end(commands),
                     [&](const Command& c) { return matchesHeader(c.pattern, header); });
    if (command == std::end(commands))
        return std::nullopt;
    std::uint8_t mask = 0;
    if (command->takesMask) {
        const auto given = maskArgument(argument);
        if (!given)
            return Outcome{};
        mask = *given;
    } else if (!argument.empty()) {
        queueError(-108, "Parameter not allowed");
        return Outcome{};
    }
    return (this->*(command->run))(mask, moment);
}

std::optional<std::uint8_t> StatusModel::maskArgument(std::string_view argument) {
    if (argument.empty()) {
        queueError(-109, "Missing parameter");
        return std::nullopt;
    }
    const auto number = parseNumber<double>(argument);
    if (!number || !std::isfinite(*number)) {
        queueError(-220, "Parameter error");
        return std::nullopt;
    }
    const double rounded = std::round(*number);
    if (rounded < 0 || rounded > 255) {
        queueError(-222, "Data out of range");
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(rounded);
}

void StatusModel::queueError(int code, std::string_view text) {
    events_ |= eventBitOf(code);
    if (errors_.size() < errorQueueSize)
        errors_.push_back(errorEntry(code, text));
    else
        errors_.back() = errorEntry(-350, "Queue overflow");
}

std::uint8_t StatusModel::instrumentBits(Clock::time_point now) {
    settle(now);
    return (events_ & eventEnable_) != 0 ? eventSummary : 0;
}

std::uint8_t StatusModel::statusByte(bool available, Clock::time_point now) {
    std::uint8_t status = instrumentBits(now) | (available ? messageAvailable : 0);
    if ((status & serviceEnable_) != 0)
        status |= masterSummary;
    return status;
}

std::optional<std::uint8_t> StatusModel::noticeServiceRequest(Clock::time_point now) {
    const std::uint8_t bits = instrumentBits(now);
    const bool set = (bits & serviceEnable_) != 0;
    const bool rising = set && !summaryWasSet_;
    summaryWasSet_ = set;
    requesting_ = set && (requesting_ || rising);
    if (!rising)
        return std::nullopt;
    return static_cast<std::uint8_t>(bits | requestingService);
}

std::uint8_t StatusModel::serialPoll(bool available, Clock::time_point now) {
    const std::uint8_t status = instrumentBits(now) | (available ? messageAvailable : 0) |
                                (requesting_ ? requestingService : 0);
    requesting_ = false;
    return status;
}

Clock::time_point StatusModel::nextChange() const {
    const auto next = std::min_element(pendingCompletions_.begin(), pendingCompletions_.end());
    return next == pendingCompletions_.end() ? Clock::time_point::max() : *next;
}

bool StatusModel::requestsEnabled() const {
    return (serviceEnable_ & ~messageAvailable) != 0;
}

Clock::time_point StatusModel::requestsEnabledUntil() const {
    return requestsEnabled() ? Clock::time_point::max() : requestsDisabledAt_;
}

void StatusModel::settle(Clock::time_point now) {
    const auto done = std::remove_if(pendingCompletions_.begin(), pendingCompletions_.end(),
                                     [now](Clock::time_point at) { return at <= now; });
    if (done != pendingCompletions_.end())
        events_ |= operationComplete;
    pendingCompletions_.erase(done, pendingCompletions_.end());
}

StatusModel::Outcome StatusModel::clearStatus(std::uint8_t, const Moment&) {
    events_ = 0;
    errors_.clear();
    pendingCompletions_.clear();
    requesting_ = false;
    return {};
}

StatusModel::Outcome StatusModel::setEventEnable(std::uint8_t mask, const Moment&) {
    eventEnable_ = mask;
    return {};
}

StatusModel::Outcome StatusModel::readEventEnable(std::uint8_t, const Moment&) {
    return {std::to_string(eventEnable_), {}};
}

StatusModel::Outcome StatusModel::readEventStatus(std::uint8_t, const Moment& moment) {
    settle(moment.now);
    const std::uint8_t events = events_;
    events_ = 0;
    return {std::to_string(events), {}};
}

StatusModel::Outcome StatusModel::operationCompleteLater(std::uint8_t, const Moment& moment) {
    pendingCompletions_.push_back(std::max(moment.now, moment.completion));
    return {};
}

StatusModel::Outcome StatusModel::operationCompleteQuery(std::uint8_t, const Moment& moment) {
    return {"1", moment.completion};
}

StatusModel::Outcome StatusModel::setServiceEnable(std::uint8_t mask, const Moment& moment) {
    const bool enabled = requestsEnabled();
    // Bit 6 is the summary itself, which no mask can enable.
    serviceEnable_ = static_cast<std::uint8_t>(mask & ~masterSummary);
    if (enabled && !requestsEnabled())
        requestsDisabledAt_ = moment.now;
    return {};
}

StatusModel::Outcome StatusModel::readServiceEnable(std::uint8_t, const Moment&) {
    return {std::to_string(serviceEnable_), {}};
}

StatusModel::Outcome StatusModel::readStatusByte(std::uint8_t, const Moment& moment) {
    return {std::to_string(statusByte(moment.messageAvailable(), moment.now)), {}};
}

StatusModel::Outcome StatusModel::selfTest(std::uint8_t, const Moment&) {
    return {"0", {}};
}

StatusModel::Outcome StatusModel::waitToContinue(std::uint8_t, const Moment&) {
    // Answers leave in the order of their commands, so every later answer already waits for
    // the earlier ones.
    return {};
}

StatusModel::Outcome StatusModel::readError(std::uint8_t, const Moment&) {
    if (errors_.empty())
        return {errorEntry(0, "No error"), {}};
    std::string entry = std::move(errors_.front());
    errors_.pop_front();
    return {std::move(entry), {}};
}

} // namespace zemosim
