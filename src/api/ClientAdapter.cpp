// The client object behind the exports' facade.
#include <memory>

#include "api/ClientFacade.h"
#include "client/Servercon.h"
#include "kvopros2.h"

namespace kv {
namespace {

// The client's own default, for clients made without the exports, must not
// drift from what the header promises hosts.
static_assert(kMaxWaitingControls == KVOPROS2_MAX_WAITING_CONTROLS);

class TClientAdapter final : public TClientFacade {
 public:
  explicit TClientAdapter(const ClientSettings& settings) {
    client_.Host = settings.Host;
    client_.Port = settings.Port;
    client_.Timeout = settings.TimeoutSec;
    client_.Login = settings.Login;
    client_.Password = settings.Password;
    client_.SetClock = settings.SetClock;
    client_.Debug = settings.DebugLog;
    client_.SetLogFileName(settings.LogFile);
    client_.MaxWaitingControls = KVOPROS2_MAX_WAITING_CONTROLS;
    client_.Resume();
  }
  // ~TOpros2Thread asks the worker to end and waits for it.
  ~TClientAdapter() override = default;

  bool IsConnected() override { return client_.IsConnected(); }

  bool RegisterChannel(const ChannelDeclaration& c) override {
    return client_.RegisterChannel(c.Addr, c.Type, c.WriteEnable, c.SaveValue, c.Comments, c.Prefix,
                                   c.Unit, c.FormatString, c.Description, c.Signification,
                                   c.EnumTexts);
  }

  bool RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                         const Variant& value) override {
    return client_.RegisterValueByID(addr, quality, dt, value);
  }

  bool RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                         const Variant& value) override {
    return client_.RegisterAttribute(addr, id, type, value);
  }

  ClientStatistics Statistics() override { return client_.Statistics(); }

  std::optional<HostControl> PopControl() override {
    std::unique_ptr<ControlRequest> request = client_.PopControl();
    if (!request) return std::nullopt;
    HostControl control;
    control.Addr = std::move(request->Addr);
    control.Number = request->Number;
    control.DT = request->DT;
    control.Quality = request->Quality;
    control.Value = std::move(request->Value);
    return control;
  }

 private:
  TOpros2Thread client_;
};

}  // namespace

std::unique_ptr<TClientFacade> CreateClientFacade(const ClientSettings& settings) {
  return std::make_unique<TClientAdapter>(settings);
}

}  // namespace kv
