// The HiSLIP wire format that the client transport and zemosim share: the 16-byte header, the
// message types and codes, and sending and receiving one message within a deadline.
#pragma once

#include "zemonet/error.h"
#include "zemonet/io.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zemo::hislip {

inline constexpr unsigned short defaultPort = 4880;
inline constexpr std::string_view defaultSubAddress = "hislip0";
// Protocol version 1.0: major in the high byte, minor in the low.
inline constexpr std::uint16_t protocolVersion = 0x0100;
// The two-letter vendor ID that both ends of this kit announce.
inline constexpr std::uint16_t vendorId = ('Z' << 8) | 'K';
inline constexpr std::size_t headerSize = 16;
// The client's first MessageID after initialization and after a device clear.
inline constexpr std::uint32_t firstMessageId = 0xFFFFFF00U;
// The MessageID of responses sent before the client's first message.
inline constexpr std::uint32_t noMessageId = firstMessageId - 2;

enum class Type : std::uint8_t {
    initialize = 0,
    initializeResponse = 1,
    fatalError = 2,
    error = 3,
    asyncLock = 4,
    asyncLockResponse = 5,
    data = 6,
    dataEnd = 7,
    deviceClearComplete = 8,
    deviceClearAcknowledge = 9,
    asyncRemoteLocalControl = 10,
    asyncRemoteLocalResponse = 11,
    trigger = 12,
    interrupted = 13,
    asyncInterrupted = 14,
    asyncMaximumMessageSize = 15,
    asyncMaximumMessageSizeResponse = 16,
    asyncInitialize = 17,
    asyncInitializeResponse = 18,
    asyncDeviceClear = 19,
    asyncServiceRequest = 20,
    asyncStatusQuery = 21,
    asyncStatusResponse = 22,
    asyncDeviceClearAcknowledge = 23,
    asyncLockInfo = 24,
    asyncLockInfoResponse = 25,
};

// Control codes of Error.
enum ErrorCode : std::uint8_t {
    errorUnidentified = 0,
    errorUnrecognizedType = 1,
    errorUnrecognizedControlCode = 2,
    errorUnrecognizedVendorMessage = 3,
    errorMessageTooLarge = 4,
};

// Control codes of FatalError.
enum FatalCode : std::uint8_t {
    fatalUnidentified = 0,
    fatalPoorlyFormedHeader = 1,
    fatalChannelsNotEstablished = 2,
    fatalInvalidInitialization = 3,
    fatalTooManyClients = 4,
};

// Bit 0 of the control code of client Data, DataEnd and Trigger.
inline constexpr std::uint8_t rmtDelivered = 1;
// Bit 0 of the control code of InitializeResponse, AsyncDeviceClearAcknowledge,
// DeviceClearComplete and DeviceClearAcknowledge: overlapped mode (1) or synchronized mode (0).
inline constexpr std::uint8_t overlappedMode = 1;
// The message-available bit of the status byte.
inline constexpr std::uint8_t statusMav = 0x10;

// AsyncLockResponse control codes. A granted request is a success whether the lock is
// exclusive or shared; only a release tells the two apart.
enum LockResult : std::uint8_t {
    lockFailed = 0,
    lockSuccess = 1,
    lockReleasedShared = 2,
    lockError = 3,
};

struct Header {
    Type type = Type::initialize;
    std::uint8_t control = 0;
    std::uint32_t parameter = 0;
    std::uint64_t length = 0;
};

using HeaderBytes = std::array<std::byte, headerSize>;

HeaderBytes encode(const Header& header);

// Decodes BYTES; false when they do not start with the prologue "HS".
bool decode(const HeaderBytes& bytes, Header& header);

// The name of message type TYPE, e.g. "DataEnd", or "message type N" for one not known.
std::string typeName(Type type);

// What the control code of an Error or a FatalError means, e.g. "message too large".
std::string errorMeaning(std::uint8_t code);
std::string fatalErrorMeaning(std::uint8_t code);

// Sends HEADER (its length set to PAYLOAD's size) and PAYLOAD on FD by DEADLINE, without
// raising SIGPIPE. Throws Error: a timeout when the peer takes no more in time, a failure when
// the connection fails.
void sendMessage(int fd, Header header, std::span<const std::byte> payload,
                 Clock::time_point deadline);

// Sends a message whose payload is TEXT.
void sendText(int fd, Type type, std::uint8_t control, std::uint32_t parameter,
              std::string_view text, Clock::time_point deadline);

// Receives up to OUT's size bytes from FD, waiting until DEADLINE for the first; returns how many
// arrived (0 at the deadline). Throws Error when the peer closed the connection or it failed.
std::size_t receiveSome(int fd, std::span<std::byte> out, Clock::time_point deadline);

// Receives all of OUT's bytes by DEADLINE; false at the deadline, with what arrived counted in
// RECEIVED (which the caller sets to 0 before the first try and keeps for a retry).
bool receiveAll(int fd, std::span<std::byte> out, std::size_t& received,
                Clock::time_point deadline);

// A message that breaks the format: a wrong prologue or a payload longer than the receiver
// accepts. The receiver answers it with FatalError and closes.
class MalformedMessage : public Error {
  public:
    MalformedMessage(std::uint8_t code, const std::string& reason)
        : Error(Kind::failure, reason), code_(code) {}
    // The FatalError control code that answers it.
    std::uint8_t code() const { return code_; }

  private:
    std::uint8_t code_;
};

// Receives the header of a message from FD by DEADLINE, its payload announced at most LARGEST
// bytes. Throws MalformedMessage for a wrong prologue or a longer payload, Error: a timeout at
// the deadline, a failure when the connection ends.
Header receiveHeader(int fd, std::uint64_t largest, Clock::time_point deadline);

// Receives the payload that HEADER announces into PAYLOAD by DEADLINE; memory grows only as the
// payload arrives. Throws Error as receiveHeader does.
void receivePayload(int fd, const Header& header, std::vector<std::byte>& payload,
                    Clock::time_point deadline);

// Receives one whole message from FD by DEADLINE: receiveHeader, then receivePayload.
void receiveMessage(int fd, Header& header, std::vector<std::byte>& payload, std::uint64_t largest,
                    Clock::time_point deadline);

// The 8 bytes, big-endian, that carry SIZE in the payload of AsyncMaximumMessageSize and its
// response.
std::array<std::byte, 8> encodeSize(std::uint64_t size);

// The size that the 8 big-endian BYTES of such a payload carry.
std::uint64_t decodeSize(std::span<const std::byte, 8> bytes);

// Receives from FD and drops the LEFT bytes of a payload that the receiver does not keep, by
// DEADLINE; LEFT counts down as they arrive, so a caller that gives up at the deadline knows how
// many are still to come. False at the deadline; throws Error as receiveSome does.
bool dropPayload(int fd, std::uint64_t& left, Clock::time_point deadline);

// PAYLOAD as text, for the payloads of Error, FatalError and Initialize.
std::string payloadText(std::span<const std::byte> payload);

} // namespace zemo::hislip
