// The IEEE 488.2 status model of a simulated instrument: the standard event status register
// and its enable mask, the service request enable mask, the status byte made of them, and the
// SCPI error queue, with the common commands and status queries that read and set them, and the
// service requests the status byte raises. One model serves all the connections of an
// instrument; only whether a message is available (MAV) belongs to the connection that asks,
// and the caller tells it. Not thread-safe: the instrument's lock guards it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zemosim {

using Clock = std::chrono::steady_clock;

// True when HEADER (in upper case, with a leading colon or not) is a form of the SCPI header
// PATTERN: each keyword of PATTERN in its short form (its upper-case letters) or its long form,
// a keyword in brackets optional, and a final '?' on both or neither. For example
// "SYSTem:ERRor[:NEXT]?" matches "SYST:ERR?" and ":SYSTEM:ERROR:NEXT?".
bool matchesHeader(std::string_view pattern, std::string_view header);

class StatusModel {
  public:
    // Standard event status register bits.
    static constexpr std::uint8_t operationComplete = 0x01;
    static constexpr std::uint8_t queryError = 0x04;
    static constexpr std::uint8_t deviceError = 0x08;
    static constexpr std::uint8_t executionError = 0x10;
    static constexpr std::uint8_t commandError = 0x20;
    static constexpr std::uint8_t powerOn = 0x80;
    // Status byte bits.
    static constexpr std::uint8_t messageAvailable = 0x10;
    static constexpr std::uint8_t eventSummary = 0x20;
    static constexpr std::uint8_t masterSummary = 0x40;
    // Bit 6 as a serial poll or a service request reports it: the instrument requests service.
    static constexpr std::uint8_t requestingService = 0x40;
    // The error queue holds this many entries; the last is replaced by -350 when more come.
    static constexpr std::size_t errorQueueSize = 10;

    // What a command is executed against: when it runs, whether the asking connection has an
    // answer waiting, and when every earlier command of that connection will have completed.
    struct Moment {
        Clock::time_point now;
        std::function<bool()> messageAvailable;
        Clock::time_point completion;
    };
    // What a common command or status query did: the answer of a query, and when it may be
    // read (*OPC? waits for the earlier commands).
    struct Outcome {
        std::optional<std::string> answer;
        Clock::time_point readyAt;
    };

    // Executes HEADER (in upper case) with ARGUMENT when it is one of the model's commands or
    // queries: *CLS, *ESE, *ESE?, *ESR?, *OPC, *OPC?, *SRE, *SRE?, *STB?, *TST?, *WAI and
    // SYSTem:ERRor[:NEXT]?. Nothing for any other header. A malformed argument queues its error
    // and answers nothing.
    std::optional<Outcome> execute(std::string_view header, std::string_view argument,
                                   const Moment& moment);

    // Queues CODE with TEXT in the error queue and sets the event bit of its class: command
    // errors (-1xx) CME, execution errors (-2xx) EXE, device errors (-3xx) DDE, query errors
    // (-4xx) QYE.
    void queueError(int code, std::string_view text);

    // The status byte at NOW as *STB? reads it: MSS in bit 6, MAV when MESSAGEAVAILABLE.
    std::uint8_t statusByte(bool messageAvailable, Clock::time_point now);

    // Looks at the registers at NOW for a new service request: when the instrument's own part
    // of the status byte AND SRE has become non-zero since the last look (an edge, not a level),
    // sets RQS and returns the status byte that comes with the request (RQS in bit 6, no MAV).
    // MAV, which belongs to the connection that asks, raises none. RQS goes when that summary
    // becomes zero again, at *CLS and at a serial poll.
    std::optional<std::uint8_t> noticeServiceRequest(Clock::time_point now);

    // The status byte at NOW as a serial poll reads it: RQS in bit 6 instead of MSS, MAV when
    // MESSAGEAVAILABLE. Clears RQS. The caller has noticed any new request first.
    std::uint8_t serialPoll(bool messageAvailable, Clock::time_point now);

    // When the registers next change by themselves, as a pending *OPC completes; for a service
    // request raised then to be noticed in time. Clock::time_point::max() for never.
    Clock::time_point nextChange() const;

    // Clock::time_point::max() while SRE enables a bit that can raise a service request (any but
    // MAV, which raises none); otherwise when it last stopped doing so, Clock::time_point::min()
    // when it never did. A connection that waits for a request is not idle until then.
    Clock::time_point requestsEnabledUntil() const;

  private:
    // One command of the model: its header pattern, whether it takes a mask argument (else no
    // argument at all), and what it does.
    struct Command {
        std::string_view pattern;
        bool takesMask;
        Outcome (StatusModel::*run)(std::uint8_t mask, const Moment& moment);
    };
    static const Command commands[];

    Outcome clearStatus(std::uint8_t, const Moment&);
    Outcome setEventEnable(std::uint8_t mask, const Moment&);
    Outcome readEventEnable(std::uint8_t, const Moment&);
    Outcome readEventStatus(std::uint8_t, const Moment& moment);
    Outcome operationCompleteLater(std::uint8_t, const Moment& moment);
    Outcome operationCompleteQuery(std::uint8_t, const Moment& moment);
    Outcome setServiceEnable(std::uint8_t mask, const Moment&);
    Outcome readServiceEnable(std::uint8_t, const Moment&);
    Outcome readStatusByte(std::uint8_t, const Moment& moment);
    Outcome selfTest(std::uint8_t, const Moment&);
    Outcome waitToContinue(std::uint8_t, const Moment&);
    Outcome readError(std::uint8_t, const Moment&);

    // The bits of the status byte that belong to the instrument rather than to the connection
    // that asks (ESB) at NOW.
    std::uint8_t instrumentBits(Clock::time_point now);
    // Sets OPC for every *OPC whose operations have completed by NOW. The bit is set lazily, when
    // the register is next looked at, which is the first moment anyone can see it.
    void settle(Clock::time_point now);
    // Whether SRE enables a bit that can raise a service request.
    bool requestsEnabled() const;
    // Reads the mask that ARGUMENT gives (0 to 255) for a *ESE or *SRE; nothing, with the error
    // queued, when it gives none.
    std::optional<std::uint8_t> maskArgument(std::string_view argument);

    std::uint8_t events_ = powerOn;
    std::uint8_t eventEnable_ = 0;
    std::uint8_t serviceEnable_ = 0;
    std::deque<std::string> errors_;
    // When each *OPC not yet reflected in the event register completes.
    std::vector<Clock::time_point> pendingCompletions_;
    // Whether the instrument's part of the status byte AND SRE was non-zero at the last look.
    bool summaryWasSet_ = false;
    // RQS: a service request raised and not yet cleared.
    bool requesting_ = false;
    // When a *SRE last disabled every bit that can raise a request.
    Clock::time_point requestsDisabledAt_ = Clock::time_point::min();
};

} // namespace zemosim
