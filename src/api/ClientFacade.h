#pragma once
// What the exported functions need of the client object, in the library's
// own types: the exports convert the host's C arguments and forward here.
// The client layer implements TClientFacade over TOpros2Thread and defines
// CreateClientFacade; nothing here knows OLE or the operating system.
//
// Ownership: the exports own the one facade (see TClientSlot); destroying
// it stops the client's worker thread, waits for it to end and frees the
// client with its channels and pending controls.
//
// Threads: every method may be called from any host thread while the worker
// runs, several at once; none waits for the network. The exports never call
// a method while the facade is being destroyed.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/Statistics.h"
#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv {

// The arguments of c_CreateOpros, texts as Windows-1251 strings.
struct ClientSettings {
  std::string Host;
  std::int32_t Port = 0;  // the connection uses the low 16 bits
  std::int32_t TimeoutSec = 0;
  std::string Login;
  std::string Password;
  bool SetClock = false;
  bool DebugLog = false;
  std::string LogFile;  // empty: no log
};

// The arguments of c_RegisterChannel.
struct ChannelDeclaration {
  std::string Addr;
  std::uint16_t Type = 0;
  bool WriteEnable = false;
  bool SaveValue = false;
  std::string Comments;
  std::string Prefix;
  std::string Unit;
  std::string FormatString;
  std::string Description;
  std::uint16_t Signification = 0;
  std::string EnumTexts;
};

// One control command taken from the client's queue for the host.
struct HostControl {
  std::string Addr;
  std::uint32_t Number = 0;
  TDateTime DT = 0;
  std::uint16_t Quality = 0;
  Variant Value;
};

class TClientFacade {
 public:
  // Stops the worker thread, waits for it, frees the client.
  virtual ~TClientFacade() = default;

  // True while logged in (the login's client ID is greater than 0).
  virtual bool IsConnected() = 0;
  virtual bool RegisterChannel(const ChannelDeclaration& channel) = 0;
  // value keeps the kind the host gave; the channel converts it.
  virtual bool RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                                 const Variant& value) = 0;
  virtual bool RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                                 const Variant& value) = 0;
  // Removes and returns the oldest queued control; nothing when none waits.
  virtual std::optional<HostControl> PopControl() = 0;
  virtual ClientStatistics Statistics() = 0;
};

// Creates the client with these settings and starts its worker thread.
// Defined by the client layer. Raises on failure (std::bad_alloc...).
std::unique_ptr<TClientFacade> CreateClientFacade(const ClientSettings& settings);

}  // namespace kv
