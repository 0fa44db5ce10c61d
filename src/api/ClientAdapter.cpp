// The client object behind the exports' facade.
#include <memory>
#include <type_traits>

#include "api/ClientFacade.h"
#include "client/ClientThread.h"
#include "kvopros2.h"

namespace kv {
namespace {

// The client's own default, for clients made without the exports, must not
// drift from what the header promises hosts.
static_assert(kMaxWaitingControls == KVOPROS2_MAX_WAITING_CONTROLS);
// The host's callback is called through the client's own type of it.
static_assert(std::is_same_v<kv_log_callback, TLogControl::TCallback>);

class TClientAdapter final : public TClientFacade {
 public:
  TClientAdapter(const ClientSettings& settings, TLogControl& log) : client_(settings) {
    client_.Log().SetControl(&log);
  }
  // ~TOpros2Thread asks the worker to end and waits for it.
  ~TClientAdapter() override = default;

  void Start() override { client_.Resume(); }
  bool IsConnected() override { return client_.IsConnected(); }
  TCallResult RegisterChannel(const ChannelDeclaration& c) override {
    TCallResult why = TCallResult::NoResources;
    client_.RegisterChannel(c, &why);
    return why;
  }
  TCallResult RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                                const Variant& value) override {
    TCallResult why = TCallResult::NoResources;
    client_.RegisterValueByID(addr, quality, dt, value, &why);
    return why;
  }
  TCallResult RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                                const Variant& value) override {
    TCallResult why = TCallResult::NoResources;
    client_.RegisterAttribute(addr, id, type, value, &why);
    return why;
  }

  ClientStatistics Statistics() override { return client_.Statistics(); }
  void SetDebug(bool on) noexcept override { client_.SetDebug(on); }

  std::optional<ControlRequest> PopControl() override { return client_.PopControl(); }

 private:
  TOpros2Thread client_;
};

}  // namespace

std::unique_ptr<TClientFacade> CreateClientFacade(const ClientSettings& settings,
                                                  TLogControl& log) {
  return std::make_unique<TClientAdapter>(settings, log);
}

}  // namespace kv
