#pragma once
// What the exported functions need of the client object, in the client's
// own types (client/ClientTypes.h): the exports convert the host's C
// arguments into them and forward here. ClientAdapter.cpp implements
// TClientFacade by forwarding to TOpros2Thread and defines
// CreateClientFacade, so the exports' glue can be tested against a fake;
// nothing here knows OLE or the operating system.
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
#include <string_view>

#include "client/CallResult.h"
#include "client/ClientTypes.h"
#include "client/LogControl.h"
#include "client/Statistics.h"
#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv {

class TClientFacade {
 public:
  // Stops the worker thread, waits for it, frees the client.
  virtual ~TClientFacade() = default;

  // Starts the worker thread; called once, when the exports can already
  // reach the client (so that a log callback on its first line finds it).
  virtual void Start() = 0;

  // True while logged in (the login's client ID is greater than 0).
  virtual bool IsConnected() = 0;
  // The registrations answer Ok when they took what they were given, else
  // the reason they did not (or, for an attribute, Replaced).
  virtual TCallResult RegisterChannel(const ChannelDeclaration& channel) = 0;
  // value keeps the kind the host gave; the channel converts it.
  virtual TCallResult RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                                        const Variant& value) = 0;
  virtual TCallResult RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                                        const Variant& value) = 0;
  // Removes and returns the oldest queued control; nothing when none waits.
  virtual std::optional<ControlRequest> PopControl() = 0;
  virtual ClientStatistics Statistics() = 0;
  // Switches the running client's debug lines.
  virtual void SetDebug(bool on) noexcept = 0;
};

// Creates the client with these settings, its worker thread not started;
// its log goes through `log`, which must outlive it. Defined by the client
// layer. Raises on failure (std::bad_alloc...).
std::unique_ptr<TClientFacade> CreateClientFacade(const ClientSettings& settings, TLogControl& log);

}  // namespace kv
