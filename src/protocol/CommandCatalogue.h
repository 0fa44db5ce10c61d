#pragma once
// The catalogue of the Kavrel protocol: which message ids exist, how long
// every fixed-size structure is, how the front of a receive buffer is
// framed, and the texts of the login refusal codes. The fields of the
// structures the client handles are in Structures.h.
//
// Two message families share one stream with no envelope: a fixed-size
// structure (its first byte, the structID, is outside 51..66 and gives its
// size through StructSize) and a variable-length command, "CMD2" (first byte
// 51..66, then a 16-bit little-endian length that counts the whole command,
// its 3 header bytes included). The two ranges never overlap.
#include <cstdint>
#include <string>

namespace kv {

class TKavrelCmdParser;

// Fixed-size structures the client sends or handles.
inline constexpr std::uint8_t kStructStatusRequest = 18;  // client -> server, 1 byte
inline constexpr std::uint8_t kStructServerTime = 22;     // server -> client, 15 bytes
inline constexpr std::uint8_t kStructChannelNotice = 40;  // server -> client, 20 bytes
inline constexpr std::uint8_t kStructLoginRequest = 42;   // client -> server, 72 bytes
inline constexpr std::uint8_t kStructLoginReply = 43;     // server -> client, 25 bytes
inline constexpr std::uint8_t kStructStatusReply = 100;   // server -> client, 13 bytes

// Variable-length commands.
inline constexpr std::uint8_t kCmd2First = 51;
inline constexpr std::uint8_t kCmd2Last = 66;
inline constexpr std::uint8_t kCmdChannelRegister = 51;  // client -> server
inline constexpr std::uint8_t kCmdChannelValue = 55;     // client -> server
inline constexpr std::uint8_t kCmdControlValue = 57;     // server -> client
inline constexpr std::uint8_t kCmdChannelChange = 60;    // server -> client

// True for the ids of variable-length commands, 51 to 66.
bool IsCmd2(unsigned id) noexcept;
// Total size of a fixed-size structure, its id byte included; 0 for an id
// that names no known structure (CMD2 ids included).
std::int32_t StructSize(unsigned id) noexcept;
// Text of a login refusal code.
std::string RefusalText(std::uint8_t code);

// What the front of a receive buffer holds.
enum class TFrameState {
  Empty,       // nothing buffered
  Incomplete,  // a known message whose rest has not arrived yet
  Complete,    // a whole message; TFrame::size bytes long
  BadLength,   // a CMD2 whose length word is below its 3-byte header
  UnknownId,   // a first byte that is neither a CMD2 id nor a known structure
};

struct TFrame {
  TFrameState state = TFrameState::Empty;
  std::uint8_t id = 0;
  // The whole message's size once it is known (from the size table or the
  // length word), else 0.
  std::int32_t size = 0;
};

// Classifies the message at the front of `count` buffered bytes. A receive
// loop takes Complete messages, waits on Incomplete ones and must drop the
// connection on BadLength and UnknownId: neither can be skipped.
TFrame ClassifyFrame(const std::uint8_t* data, std::int32_t count) noexcept;
// The same for the unread bytes of a buffer; consumes nothing.
TFrame ClassifyFrame(TKavrelCmdParser& buffer);

}  // namespace kv
