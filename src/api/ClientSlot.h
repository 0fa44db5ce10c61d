#pragma once
// TClientSlot: the process-wide place of the one client. Each export that
// uses the client counts itself in while it runs; Destroy marks the slot as
// closing, so that calls arriving from then on answer as without a client,
// and waits until the calls already inside have left before it frees the
// client. So a host thread still inside c_RegisterValueByID when another
// calls c_DestroyOpros finishes its call first, and no call ever reaches a
// freed client. A call costs two atomic operations on one word and waits
// for nothing; those inside never wait for the network, so Destroy waits
// only briefly (apart from the worker thread's own end).
//
// Create and Destroy run one at a time (change_): a c_CreateOpros racing with
// c_DestroyOpros does not start a second client while the first one's worker
// thread is still ending.
//
// Ownership: the slot owns the facade. Every member function is noexcept:
// nothing may escape to the host.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>

#include "api/ClientFacade.h"
#include "runtime/ThreadSafety.h"

namespace kv {

class TClientSlot {
 public:
  using Factory = std::unique_ptr<TClientFacade> (*)(const ClientSettings&);

  TClientSlot() = default;
  TClientSlot(const TClientSlot&) = delete;
  TClientSlot& operator=(const TClientSlot&) = delete;
  ~TClientSlot() { Destroy(); }

  // Makes the client with factory unless one exists (then the settings are
  // ignored). True when a client exists afterwards; false when the factory
  // failed. `why`, when given, tells which: Ok (made), ClientExists or
  // NoResources.
  bool Create(const ClientSettings& settings, Factory factory, TCallResult* why = nullptr) noexcept;
  // False without a client; otherwise destroys it (waiting for the calls
  // inside it and for its worker thread) and returns true.
  bool Destroy() noexcept;

  // fn(client), or fallback without a client, while it is being destroyed,
  // or when fn raises.
  template <class Fn, class R = std::invoke_result_t<Fn&, TClientFacade&>>
  R WithClient(Fn fn, R fallback) noexcept {
    TCall call(*this);
    if (call.client == nullptr) return fallback;
    try {
      return fn(*call.client);
    } catch (...) {
      return fallback;
    }
  }

 private:
  static constexpr std::uint32_t kClosing = 0x80000000u;
  static constexpr std::uint32_t kCallCount = 0x7FFFFFFFu;

  // One export's stay in the slot.
  struct TCall {
    explicit TCall(TClientSlot& owner) noexcept : slot(owner) {
      if ((slot.calls_.fetch_add(1, std::memory_order_acquire) & kClosing) == 0)
        client = slot.client_.load(std::memory_order_acquire);
    }
    ~TCall() {
      if (slot.calls_.fetch_sub(1, std::memory_order_release) == (kClosing | 1))
        slot.LastCallLeft();
    }
    TClientSlot& slot;
    TClientFacade* client = nullptr;
  };

  void LastCallLeft() noexcept;
  // Destroy's work: false without a client.
  bool DestroyLocked() REQUIRES(change_);
  // The one writer of client_ (its readers load it without a lock).
  void SetClient(TClientFacade* client) noexcept REQUIRES(change_) {
    client_.store(client, std::memory_order_release);
  }

  // Calls inside (kCallCount bits) and the closing mark.
  std::atomic<std::uint32_t> calls_{0};
  std::atomic<TClientFacade*> client_{nullptr};  // owned; changed by SetClient
  TMutex change_;
  // Destroy waits here for the calls inside to leave (not on the atomic
  // itself: see runtime/SpinLock.h for why).
  TMutex leftMutex_;
  std::condition_variable left_;
};

}  // namespace kv
