#include "api/ClientSlot.h"

namespace kv {

bool TClientSlot::Create(const ClientSettings& settings, Factory factory,
                         TCallResult* why) noexcept {
  try {
    TLockGuard change(change_);
    if (client_.load(std::memory_order_relaxed) != nullptr) {
      Report(why, TCallResult::ClientExists);
      return true;
    }
    std::unique_ptr<TClientFacade> client = factory(settings);
    if (!client) return Report(why, TCallResult::NoResources);
    TClientFacade* made = client.release();
    SetClient(made);
    try {
      made->Start();
    } catch (...) {
      // Calls may already be inside: the client goes as Destroy takes it.
      DestroyLocked();
      return Report(why, TCallResult::NoResources);
    }
    return Report(why, TCallResult::Ok);
  } catch (...) {
    return Report(why, TCallResult::NoResources);
  }
}

bool TClientSlot::Destroy() noexcept {
  try {
    TLockGuard change(change_);
    return DestroyLocked();
  } catch (...) {
    return false;
  }
}

bool TClientSlot::DestroyLocked() {
  std::unique_ptr<TClientFacade> client(client_.load(std::memory_order_relaxed));
  if (!client) return false;
  // Calls that count themselves in from now on find no client; those
  // already inside finish first.
  calls_.fetch_or(kClosing, std::memory_order_acq_rel);
  {
    TUniqueLock waiting(leftMutex_);
    waiting.Wait(left_,
                 [this] { return (calls_.load(std::memory_order_acquire) & kCallCount) == 0; });
  }
  SetClient(nullptr);
  calls_.fetch_and(kCallCount, std::memory_order_release);
  client.reset();  // ends the worker thread, still under change_
  return true;
}

// The count is changed before the mutex is taken, so a Destroy that saw it
// non-zero is already waiting when this wakes it.
void TClientSlot::LastCallLeft() noexcept {
  TLockGuard waiting(leftMutex_);
  left_.notify_all();
}

}  // namespace kv
