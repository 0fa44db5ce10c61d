#include "kvsim/ServerHub.h"

#include <chrono>

namespace kv::sim {
namespace {

// How long the hub waits for a connection or an idle client at a time;
// bounds the delay of Stop().
constexpr int kSliceMs = 10;

}  // namespace

TServerHub::TServerHub(int clients, const std::function<TServerOptions(int client)>& optionsFor,
                       platform::TSocketApi& api)
    : api_(api), listenOptions_(optionsFor(1)), listener_(api) {
  const bool alone = clients <= 1;
  for (int n = 1; n <= (alone ? 1 : clients); ++n) {
    TServerOptions options = optionsFor(n);
    options.listen = alone;
    clients_.push_back(std::make_unique<TKavrelServer>(std::move(options), api));
  }
  if (!alone) socketsStarted_ = !api_.Startup().Failed();
}

TServerHub::~TServerHub() {
  Stop();
  if (socketsStarted_) api_.Cleanup();
}

bool TServerHub::Start() {
  if (clients_.size() == 1) return clients_[0]->Start();
  lastError_ =
      listener_.Listen(listenOptions_.host, listenOptions_.port, listenOptions_.receiveBufferBytes);
  if (lastError_ != 0) return false;
  port_ = listener_.LocalPort();
  for (auto& client : clients_) client->Start();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TServerHub::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  for (auto& client : clients_) client->Stop();
}

std::uint16_t TServerHub::Port() const {
  return clients_.size() == 1 ? clients_[0]->Port() : port_;
}

int TServerHub::LastError() const {
  return clients_.size() == 1 ? clients_[0]->LastError() : lastError_;
}

void TServerHub::Run() {
  while (!stopping_) {
    TKavrelServer* idle = nullptr;
    for (auto& client : clients_) {
      if (client->Idle()) {
        idle = client.get();
        break;
      }
    }
    int error = 0;
    std::unique_ptr<TSimSocket> peer;
    if (idle != nullptr) peer = listener_.Accept(kSliceMs, error);
    // Only this thread hands connections over, so the client is still idle.
    if (peer != nullptr)
      idle->Adopt(std::move(peer));
    else if (idle == nullptr || error != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  listener_.Close();
}

}  // namespace kv::sim
