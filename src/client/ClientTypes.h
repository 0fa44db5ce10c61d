#pragma once
// The client's own value types, shared with the exports: the connection
// settings, one channel as the host declares it, and one control command
// waiting for the host. Texts are Windows-1251 strings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv {

// How many controls wait for the host by default: the public header's
// KVOPROS2_MAX_WAITING_CONTROLS.
inline constexpr std::size_t kMaxWaitingControls = 65536;

// Where and how the client connects and logs; set before its worker starts.
struct ClientSettings {
  std::string Host = "127.0.0.1";
  std::int32_t Port = 3000;  // the connection uses the low 16 bits
  std::int32_t TimeoutSec = 10;
  std::string Login = "CFG";
  std::string Password;
  bool SetClock = false;
  bool DebugLog = false;
  std::string LogFile;  // empty: no log
  // Controls that may wait for the host; the server's further ones are
  // refused until the host takes some.
  std::size_t MaxWaitingControls = kMaxWaitingControls;
  // Values a channel cannot send at once are kept, in at most this many
  // bytes (0: none are kept), and dropped once older than HistorySeconds
  // (0: no limit).
  std::uint64_t HistoryBytes = 0;
  std::uint32_t HistorySeconds = 0;

  // The time-out in milliseconds, 0 when TimeoutSec is not positive: how
  // long a connection may take to open and the server to answer the login,
  // and how much longer than the link test's silence a status request waits
  // for its answer.
  std::uint64_t TimeoutMs() const {
    return TimeoutSec > 0 ? static_cast<std::uint64_t>(TimeoutSec) * 1000 : 0;
  }
  // How long queued bytes may wait for the socket to take any: the time-out,
  // but at least a second, so that without a time-out a write the socket
  // has merely not taken yet is not given up at once.
  std::uint64_t WriteTimeoutMs() const { return std::max<std::uint64_t>(TimeoutMs(), 1000); }
};

// One channel as the host declares it. Empty texts and a zero signification
// leave the channel's attribute unset; enumeration texts are tab-separated.
// Every member has an initializer, so designated initializers may name only
// the ones they set.
struct ChannelDeclaration {
  std::string Addr{};
  std::uint16_t Type = 0;
  bool WriteEnable = false;
  bool SaveValue = false;
  std::string Comments{};
  std::string Prefix{};
  std::string Unit{};
  std::string FormatString{};
  std::string Description{};
  std::uint16_t Signification = 0;
  std::string EnumTexts{};
};

// One control command from the server, waiting for the host.
struct ControlRequest {
  std::string Addr;          // empty when the server named the channel by number
  std::uint32_t Number = 0;  // 0 when the server named the channel by address
  TDateTime DT = 0;
  std::uint16_t Quality = 0;
  Variant Value;
};

}  // namespace kv
