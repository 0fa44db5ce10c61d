#pragma once
// TClientSlot: the process-wide place of the one client. The exports that
// use the client run under the slot's shared lock; creating and destroying
// it take the lock exclusively. So a host thread still inside
// c_RegisterValueByID when another calls c_DestroyOpros finishes its call
// first, and no call ever reaches a freed client. Holders of the shared lock
// never wait for the network, so the exclusive side waits only briefly
// (apart from the worker thread's own end, which Destroy waits for).
//
// Locks: gate_ then mutex_, always in that order. The system's reader-writer
// lock may prefer readers, so a host polling from several threads could
// keep Destroy waiting for ever; Create and Destroy therefore hold gate_
// while they wait, and new calls pass gate_ before taking their shared lock.
//
// Ownership: the slot owns the facade. Every member function is noexcept:
// nothing may escape to the host.
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <type_traits>

#include "api/ClientFacade.h"

namespace kv {

class TClientSlot {
 public:
  using Factory = std::unique_ptr<TClientFacade> (*)(const ClientSettings&);

  TClientSlot() = default;
  TClientSlot(const TClientSlot&) = delete;
  TClientSlot& operator=(const TClientSlot&) = delete;

  // Makes the client with factory unless one exists (then the settings are
  // ignored). True when a client exists afterwards; false when the factory
  // failed.
  bool Create(const ClientSettings& settings, Factory factory) noexcept;
  // False without a client; otherwise destroys it (waiting for its worker
  // thread) and returns true.
  bool Destroy() noexcept;

  // fn(client) under the shared lock, or fallback without a client or when
  // fn raises.
  template <class Fn, class R = std::invoke_result_t<Fn&, TClientFacade&>>
  R WithClient(Fn fn, R fallback) noexcept {
    try {
      std::shared_lock lock = EnterShared();
      if (!client_) return fallback;
      return fn(*client_);
    } catch (...) {
      return fallback;
    }
  }

 private:
  std::shared_lock<std::shared_mutex> EnterShared();

  std::mutex gate_;
  std::shared_mutex mutex_;
  std::unique_ptr<TClientFacade> client_;  // guarded by mutex_
};

}  // namespace kv
