#pragma once
// The server's side of the wire: the fixed-size structures it sends (login
// reply 43, status reply 100, server time 22, channel notice 40) as byte
// strings over the protocol's encoders, and the channel records in the server's directions:
// registration 51 and value 55 read, control 57 and channel change 60
// written. Value records go through the client's own record coder (which
// reads a 55 as it reads a 57 and writes a 57 as it writes a 55); the
// registration reader and the change writer live here because the client
// never needs them.
//
// Byte strings hold raw wire bytes. No state, no lock: any thread.
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/PacketBuffer.h"
#include "protocol/Structures.h"
#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv::sim {

// One attribute as it travels in a 51 or a 60.
struct TSimAttribute {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  Variant value;
  TDateTime lastChange = 0;
};

// The reply a login gets unless the server is told otherwise: client 1,
// server version 4.0.
TLoginReply GrantedLoginReply();
// The wire bytes of the fixed-size structures, as byte strings.
std::string BuildLoginReply(const TLoginReply& reply);
// The status reply answering structure `answeredId`.
std::string BuildStatusReply(std::uint8_t answeredId);
std::string BuildServerTime(TDateTime serverTime, std::int16_t bias);
std::string BuildChannelNotice(std::uint8_t flags, TDateTime when, std::int32_t id);
// A variable-length command: the id and the length word in front of `body`.
// A length past 16 bits wraps, as a test of a client's framing may want.
std::string BuildCommand(std::uint8_t id, const std::string& body);

// A channel registration (51) as received.
struct TRegistration {
  std::uint16_t flags = 0;
  std::uint32_t number = 0;  // when flags bit 0 is set
  std::string addr;          // otherwise
  std::uint16_t type = 0;
  std::vector<TSimAttribute> attributes;
};
// Reads the 51 at the front of `command`, a store holding exactly that
// command (the framing has been checked). Raises the buffer's and the value
// decoder's errors; a 51 whose length word claims more bytes than its fields
// use leaves them unread in `command`.
TRegistration ReadRegistration(TKavrelCmdParser& command);

// A value record (55, or 57) as received.
struct TValueRecord {
  std::uint8_t id = 0;
  std::uint8_t flags = 0;
  std::uint32_t number = 0;  // when flags bit 0 is set
  std::string addr;          // otherwise
  TDateTime dt = 0;          // the receiving side's now when the record had no time
  std::uint8_t quality = 0;
  std::uint16_t type = 0;
  Variant value;
  std::int16_t owner = 0;  // a 57's owner field
};
// Reads the value record at the front of `buffer` and drops it from there.
TValueRecord ReadValueRecord(TKavrelCmdParser& buffer);

// A control (57) to send.
struct TControl {
  bool byNumber = false;
  std::uint32_t number = 0;
  std::string addr;
  TDateTimeForm timeForm = TDateTimeForm::Double;  // None is refused by the coder
  TDateTime dt = 0;
  std::uint8_t quality = 0;
  std::uint16_t type = 0;
  Variant value;  // converted to `type` before it is written
  std::int16_t owner = 0;
  bool controlMark = true;  // flags bit 0x08
};
// Appends a 57 at the tail. A value that does not convert to `type` raises
// its conversion error and appends nothing.
void AppendControl(TKavrelCmdParser& buffer, const TControl& control);

// A channel change (60) to send.
struct TChannelChange {
  std::string addr;
  std::uint32_t number = 0;
  bool active = true;
  TDateTimeForm timeForm = TDateTimeForm::Double;  // of the attributes
  std::vector<TSimAttribute> attributes;
};
// Appends a 60 at the tail; on failure nothing is appended and the error
// goes on.
void AppendChannelChange(TKavrelCmdParser& buffer, const TChannelChange& change);

// The unread bytes of a buffer as a byte string; consumes nothing.
std::string PendingBytes(TKavrelCmdParser& buffer);

}  // namespace kv::sim
