#include "runtime/SpinLock.h"
#include <algorithm>

namespace kv {
namespace {

// Long enough to outlast a bounded hold on the machines we run on, short
// enough that a waiter behind a holder the system has put to sleep gives its
// processor back soon.
constexpr auto kSpinFor = std::chrono::microseconds(16);
constexpr int kPausesPerCheck = 16;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

bool TSpinParkLock::Spin(const TSleeper* sleeper) noexcept {
  const auto until = std::chrono::steady_clock::now() + kSpinFor;
  do {
    for (int i = 0; i < kPausesPerCheck; ++i) CpuRelax();
    if (sleeper != nullptr && sleeper->granted.load(std::memory_order_acquire)) return true;
    std::uint32_t state = state_.load(std::memory_order_relaxed);
    if ((state & kHeld) == 0 &&
        state_.compare_exchange_weak(state, state | kHeld, std::memory_order_acquire,
                                     std::memory_order_relaxed))
      return true;
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

void TSpinParkLock::LockContended() noexcept {
  if (Spin(nullptr)) return;
  // Sleep. The mark tells the holder's release to look at the queue; it is
  // set under the sleepers' mutex, which that release takes first, so a
  // release between the mark and the sleep finds this sleeper queued, and
  // its wake-up is never lost.
  std::unique_lock<std::mutex> sleeping(sleepMutex_);
  std::uint32_t state = state_.load(std::memory_order_relaxed);
  while ((state & kHeld) == 0)
    if (state_.compare_exchange_weak(state, state | kHeld, std::memory_order_acquire,
                                     std::memory_order_relaxed))
      return;
  TSleeper self;
  self.since = std::chrono::steady_clock::now();
  (last_ != nullptr ? last_->next : first_) = &self;
  last_ = &self;
  state_.fetch_or(kSleepers, std::memory_order_relaxed);
  for (;;) {
    self.wake.wait(sleeping);
    // Handed over: the releaser took this sleeper off the queue.
    if (self.granted.load(std::memory_order_acquire)) return;
    if (first_ != &self) continue;
    // Woken first: it competes with running threads as they do, spinning,
    // and stays first in the queue meanwhile (a release may still hand the
    // lock over to it).
    sleeping.unlock();
    const bool taken = Spin(&self);
    sleeping.lock();
    if (self.granted.load(std::memory_order_acquire)) return;
    if (taken) {
      PopFirst();
      return;
    }
  }
}

void TSpinParkLock::PopFirst() noexcept {
  first_ = first_->next;
  if (first_ == nullptr) {
    last_ = nullptr;
    state_.fetch_and(~kSleepers, std::memory_order_relaxed);
  }
}

// The release of a lock with sleepers: the first one is handed the lock if
// it has waited long enough and no hand-over came in that time, else woken
// to compete for it.
void TSpinParkLock::ReleaseToSleepers() noexcept {
  std::lock_guard<std::mutex> sleeping(sleepMutex_);
  TSleeper* first = first_;
  const auto now = std::chrono::steady_clock::now();
  if (first != nullptr && now - std::max(first->since, handedOver_) >= kHandOverAfter) {
    PopFirst();
    handedOver_ = now;
    first->granted.store(true, std::memory_order_release);
  } else {
    state_.fetch_and(~kHeld, std::memory_order_release);
  }
  if (first != nullptr) first->wake.notify_one();
}

}  // namespace kv
