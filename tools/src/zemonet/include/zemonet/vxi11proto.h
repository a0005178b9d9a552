// The VXI-11 core channel: the declarations and XDR routines that rpcgen makes from vxi11.x,
// and the numbers that vxi11.x cannot carry: flags, reasons of device_read, error codes, and
// the one procedure that neither end uses.
#pragma once

#include "zemonet/rpc_message.h"
#include "zemonet/vxi11.h"

#include <string>

namespace zemo::vxi11 {

// Flags of device_write and device_read.
inline constexpr int flagWaitLock = 0x01;
inline constexpr int flagEnd = 0x08;
inline constexpr int flagTermCharSet = 0x80;

// Reason bits of a device_read reply; none set means more data is pending.
inline constexpr int reasonRequestCount = 0x01;
inline constexpr int reasonTermChar = 0x02;
inline constexpr int reasonEnd = 0x04;

// Error codes of every reply.
inline constexpr int errorNone = 0;
inline constexpr int errorDeviceNotAccessible = 3;
inline constexpr int errorInvalidLink = 4;
inline constexpr int errorParameter = 5;
inline constexpr int errorChannelNotEstablished = 6;
inline constexpr int errorNotSupported = 8;
inline constexpr int errorOutOfResources = 9;
inline constexpr int errorDeviceLocked = 11;
inline constexpr int errorNoLockHeld = 12;
inline constexpr int errorIoTimeout = 15;
inline constexpr int errorChannelEstablished = 29;

// device_docmd, the one core procedure that zemosim does not carry out: it answers
// errorNotSupported, followed by the one more word that the reply of device_docmd carries.
inline constexpr unsigned procedureDoCmd = 22;

// The family of the interrupt channel's server in create_intr_chan.
inline constexpr int familyTcp = 0;

// The meaning of error CODE in words, e.g. "device not accessible".
std::string errorMeaning(int code);

} // namespace zemo::vxi11

// The arguments of create_link and device_write end with a string or opaque data after this
// many words.
template <> inline constexpr unsigned zemo::rpc::wordsBeforeData<Create_LinkParms> = 3;
template <> inline constexpr unsigned zemo::rpc::wordsBeforeData<Device_WriteParms> = 4;
