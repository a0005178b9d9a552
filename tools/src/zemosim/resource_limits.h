// Every resource limit of zemosim in one place, in the order zemosim(1) describes them, so that
// the manual and the servers cannot drift apart.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zemosim {

using Milliseconds = std::chrono::milliseconds;

// Connections and idleness, every protocol.

// The most connections one port serves at a time; a connection beyond is closed at once.
inline constexpr std::size_t largestConnections = 256;
// A connection that sends nothing, holds a half-received call record or message, or leaves a
// reply untaken this long is closed; a HiSLIP session when neither of its connections has sent
// or received anything. A connection that waits for a service request is spared: a VXI-11 one
// with an interrupt channel and a link with requests enabled, a HiSLIP session while SRE
// enables a bit that can raise one (and for this long after it stops).
inline constexpr Milliseconds idleConnectionLimit = std::chrono::minutes(1);
// A raw socket or HiSLIP connection whose client has ended closes its own side and looks this
// often, this long at most, for the client's acknowledgement or its reset, which tells whether
// the client read what it was sent; on loopback either comes within microseconds.
inline constexpr Milliseconds endCheckInterval{1};
inline constexpr Milliseconds longestEndWatch{2000};
// The bytes of input that all VXI-11 and HiSLIP connections may hold together: call records
// and HiSLIP messages being received, and HiSLIP commands waiting for their end. A VXI-11 call
// beyond is read to its end, its bytes dropped, and answered "out of resources" (error 9); a
// HiSLIP Data message beyond is read and dropped and answered with Error.
inline constexpr std::size_t largestHeldInput = 256 << 20;

// The output queue of an instrument, all connections' answers together: at most this many
// answers, and answers of this much text (a data block counts only its header); further answers
// are discarded, as a real instrument's queue overflows.
inline constexpr std::size_t largestOutputQueue = 65536;
inline constexpr std::size_t largestQueuedText = 64 << 20;
// A raw socket or HiSLIP client that closes its connection with answers unread is reset by the
// system; nothing it did shows which answers it read, so the last ones it was sent are
// remembered, up to this many and this many bytes (more than the socket buffers between the
// two hold), and given back. Their text counts against largestQueuedText.
inline constexpr std::size_t largestRememberedAnswers = 4096;
inline constexpr std::uint64_t largestRememberedBytes = 16 << 20;

// VXI-11.

// The most input the links of one connection hold together without a newline or END before the
// device refuses more.
inline constexpr std::size_t largestVxi11Input = 16 << 20;
// The most links one connection holds at a time; create_link beyond answers "out of resources".
inline constexpr std::size_t largestLinks = 64;
// A service request is sent to a client's interrupt channel as a device_intr_srq call that must
// have gone (connected and taken by the client's socket) within this time, else it is dropped
// with the connection to the channel and the calls waiting behind it.
inline constexpr Milliseconds interruptCallTime{1000};
// The most device_intr_srq calls waiting for one interrupt channel: one for each link.
inline constexpr std::size_t largestQueuedInterrupts = largestLinks;

// Raw sockets.

// A line longer than this is no command; the connection is dropped.
inline constexpr std::size_t longestSocketLine = 1 << 20;
// The most output taken from the queue at a time.
inline constexpr std::size_t largestSocketPiece = 256 * 1024;

// HiSLIP.

// The most sessions open at once on the port; one more is refused with FatalError.
inline constexpr std::size_t largestSessions = 64;
// How long a client may take for its first message, for the rest of a message once its first
// byte came, and for opening the asynchronous channel after Initialize.
inline constexpr Milliseconds hislipMessageTime{10000};
// The largest payload the server accepts in a message other than Data and DataEnd.
inline constexpr std::uint64_t largestNonDataPayload = 4096;
// The input a session holds without a newline or END before it is refused.
inline constexpr std::size_t largestHislipInput = 16 << 20;
// A Data payload, in either direction, is at most this large, whatever the instrument's
// maxrecvsize or the client accepts; one announced larger ends the connection.
inline constexpr std::uint64_t largestHislipPiece = 16 << 20;
// The most bytes of the output queue taken into one Data message: small enough that the client
// drains one while the next is copied.
inline constexpr std::uint64_t largestHislipOutputPiece = 256 << 10;
// What a client that announces no maximum message size is sent at most.
inline constexpr std::uint64_t defaultClientMaximum = 1 << 20;

// Pseudo-terminals.

// How often the server looks whether a client has opened the line while none has it open.
inline constexpr Milliseconds terminalIdleCheck{20};
// A client that has just opened the line gets this long to apply its settings and discard stale
// input before answers flow.
inline constexpr Milliseconds terminalSettleTime{50};
// A line longer than this is no command; the line is hung up.
inline constexpr std::size_t longestTerminalLine = 1 << 20;
// The most output taken from the queue at a time.
inline constexpr std::size_t largestTerminalPiece = 64 * 1024;

} // namespace zemosim
