#pragma once
// The channel records exchanged with the server, all variable-length
// commands on a TKavrelCmdParser:
//   51  channel registration, client -> server  (SetChannelRegisterCmd)
//   55  channel value, client -> server         (SetChannelValueCmd)
//   57  control value, server -> client         (GetChannelValueCmd; 55 reads alike)
//   60  channel and attribute change, server -> client (GetChannelChangeCmd)
//
// Writers compose one command at the tail of the buffer. A writer that fails
// part-way cuts the buffer back to where its command began, so no half
// command is ever sent; the error is raised after that.
//
// Readers take the complete command at the front of the buffer (the receive
// loop has checked it with ClassifyFrame) and always leave the buffer at the
// next command: the command is dropped by its length word whether it was
// read whole, had bytes to spare, or failed part-way. A reader cannot read
// past its command's end; running out of its bytes raises the buffer's
// shortage error. Fields read before a failure stay stored in the channel.
//
// A missing channel raises the bare integer exception 0; every other failure
// is a kv::Exception.
#include <cstdint>

namespace kv {

class TChannel2;
class TKavrelCmdParser;

// Flags word of a registration record (51).
namespace RegisterFlag {
inline constexpr std::uint16_t ByNumber = 0x0001;      // else by address
inline constexpr std::uint16_t ClientMark = 0x0002;    // passed through
inline constexpr std::uint16_t WriteEnable = 0x0008;   // from the channel
inline constexpr std::uint16_t ChannelFlag1 = 0x0010;  // channel Flags bit 0x0001
inline constexpr std::uint16_t ChannelFlag2 = 0x0020;  // channel Flags bit 0x0002
inline constexpr std::uint16_t TimeFormShift = 6;      // attribute time form, 2 bits
inline constexpr std::uint16_t Active = 0x0100;        // from the channel
inline constexpr std::uint16_t SaveValue = 0x0200;     // from the channel
// Address as text, the client mark, attribute times as doubles.
inline constexpr std::uint16_t Client = 0x0082;
}  // namespace RegisterFlag

// Flags byte of a value record (55, 57).
namespace ValueFlag {
inline constexpr std::uint8_t ByNumber = 0x01;     // else by address
inline constexpr std::uint8_t TimeFormShift = 1;   // value time form, 2 bits
inline constexpr std::uint8_t ControlMark = 0x08;  // a control of a 57
// By number, time as a double.
inline constexpr std::uint8_t Client = 0x05;
}  // namespace ValueFlag

// Owner argument of the send pass: every attribute goes out anyway.
inline constexpr std::int16_t kAnyOwner = -32768;

// Command 51: flags (bits 0x0008, 0x0010, 0x0020, 0x0100 and 0x0200 taken
// from the channel whatever the caller passed), number or address, type,
// then the attributes, all of them or those whose Owner is `owner`, each as
// ID, type, value and LastChange in the time form of flags bits 6-7.
void SetChannelRegisterCmd(TKavrelCmdParser& parser, const TChannel2* channel, std::uint16_t flags,
                           std::int16_t owner, bool allAttributes, bool clearFirst);

// Command 55 or 57: flags as given, number or address, DT in the time form
// of flags bits 1-2 (none: nothing, refused for a 57), quality, type, value,
// and for a 57 the Owner.
void SetChannelValueCmd(TKavrelCmdParser& parser, const TChannel2* channel, std::uint8_t flags,
                        bool clearFirst, std::uint8_t commandId);

// Reads a 55 or 57 into `channel` and yields its flags byte. Without a time
// field a 57 is refused and any other id gets the current local date-time.
void GetChannelValueCmd(TKavrelCmdParser& parser, TChannel2* channel, std::uint8_t& flags);

// Reads a 60 into `channel`: Active, Addr, Number, and the attributes merged
// in with the channel's Creator as their owner.
void GetChannelChangeCmd(TKavrelCmdParser& parser, TChannel2* channel);

}  // namespace kv
