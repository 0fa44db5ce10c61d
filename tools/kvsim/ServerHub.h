#pragma once
// TServerHub: the test server for several clients at once, as a plant has
// several hosts. Each client is a TKavrelServer of its own (its thread, its
// numbering of channels, its view and records); the hub listens and hands
// every new connection to the first idle client, so a host that reconnects
// finds one free. Further connections wait in the listener's backlog until
// a client is idle again. With one client the hub is that server alone,
// listening itself: exactly the single server the tests use.
//
// Threads: construction, Start, Stop and the accessors from one controlling
// thread; the hub's own thread only accepts and hands over. The clients live
// as long as the hub.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "kvsim/KavrelServer.h"

namespace kv::sim {

class TServerHub {
 public:
  // `optionsFor(n)` gives client n's options (1 .. clients); the host, port
  // and receive buffer of client 1 are the hub's.
  TServerHub(int clients, const std::function<TServerOptions(int client)>& optionsFor,
             platform::TSocketApi& api = platform::SystemSockets());
  ~TServerHub();
  TServerHub(const TServerHub&) = delete;
  TServerHub& operator=(const TServerHub&) = delete;

  // Listens and starts every client; false with LastError() when the address
  // cannot be bound.
  bool Start();
  // Stops accepting, then every client. Safe to call twice.
  void Stop();
  std::uint16_t Port() const;
  int LastError() const;

  int Count() const noexcept { return static_cast<int>(clients_.size()); }
  // Client n, 1 .. Count().
  TKavrelServer& Client(int n) { return *clients_[static_cast<std::size_t>(n - 1)]; }
  const TKavrelServer& Client(int n) const { return *clients_[static_cast<std::size_t>(n - 1)]; }

 private:
  void Run();

  platform::TSocketApi& api_;
  TServerOptions listenOptions_;
  std::vector<std::unique_ptr<TKavrelServer>> clients_;
  bool socketsStarted_ = false;
  TSimSocket listener_;  // the hub thread's, with several clients only
  int lastError_ = 0;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace kv::sim
