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
  explicit TClientAdapter(const ClientSettings& settings) : client_(settings) { client_.Resume(); }
  // ~TOpros2Thread asks the worker to end and waits for it.
  ~TClientAdapter() override = default;

  bool IsConnected() override { return client_.IsConnected(); }
  bool RegisterChannel(const ChannelDeclaration& c) override { return client_.RegisterChannel(c); }
  bool RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                         const Variant& value) override {
    return client_.RegisterValueByID(addr, quality, dt, value);
  }
  bool RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                         const Variant& value) override {
    return client_.RegisterAttribute(addr, id, type, value);
  }

  ClientStatistics Statistics() override { return client_.Statistics(); }

  std::optional<ControlRequest> PopControl() override { return client_.PopControl(); }

 private:
  TOpros2Thread client_;
};

}  // namespace

std::unique_ptr<TClientFacade> CreateClientFacade(const ClientSettings& settings) {
  return std::make_unique<TClientAdapter>(settings);
}

}  // namespace kv
