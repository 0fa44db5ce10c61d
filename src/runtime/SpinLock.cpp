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
  // The mark goes on only while the lock is held, in one step: a holder
  // that released between a look and a separate mark would not have seen
  // the mark, and woken nobody.
  std::uint32_t state = state_.load(std::memory_order_relaxed);
  for (;;) {
    if ((state & kHeld) == 0) {
      if (state_.compare_exchange_weak(state, state | kHeld, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
    } else if ((state & kSleepers) != 0 ||
               state_.compare_exchange_weak(state, state | kSleepers, std::memory_order_relaxed,
                                            std::memory_order_relaxed)) {
      break;
    }
  }
  TSleeper self;
  self.since = std::chrono::steady_clock::now();
  (last_ != nullptr ? last_->next : first_) = &self;
  last_ = &self;
  for (;;) {
    self.wake.wait(sleeping);
    // Handed over: the releaser took this sleeper off the queue.
    if (self.granted.load(std::memory_order_acquire)) return;
    if (first_ != &self) continue;
    // Woken first: it competes with running threads as they do, spinning,
    // and stays first in the queue meanwhile (a release may still hand the
    // lock over to it).
    sleeping.unlock();
    bool taken = Spin(&self);
    sleeping.lock();
    if (self.granted.load(std::memory_order_acquire)) return;
    // A release after the spinning's last look found this sleeper awake
    // and its wake-up went nowhere: look again before sleeping. Later
    // releases wait for sleepMutex_, held from here into the wait.
    if (!taken) taken = TakeIfFree();
    if (taken) {
      PopFirst();
      return;
    }
  }
}

bool TSpinParkLock::TakeIfFree() noexcept {
  std::uint32_t state = state_.load(std::memory_order_relaxed);
  while ((state & kHeld) == 0)
    if (state_.compare_exchange_weak(state, state | kHeld, std::memory_order_acquire,
                                     std::memory_order_relaxed))
      return true;
  return false;
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

void TSharedSpinParkLock::LockSharedContended() noexcept {
  for (;;) {
    // Not counted while an exclusive holder works or waits.
    word_.fetch_sub(1, std::memory_order_relaxed);
    exclusive_.lock();  // waits for it, sleeping if it lasts
    exclusive_.unlock();
    if ((word_.fetch_add(1, std::memory_order_acquire) & kExclusive) == 0) return;
  }
}

void TSharedSpinParkLock::lock() noexcept {
  exclusive_.lock();
  // Acquires what the shared holders that left released.
  std::uint32_t word = word_.fetch_or(kExclusive, std::memory_order_acq_rel);
  for (int checks = 0; (word & ~kExclusive) != 0; ++checks) {
    if (checks < 256)
      CpuRelax();
    else
      std::this_thread::yield();  // a shared holder lost its processor
    word = word_.load(std::memory_order_acquire);
  }
}

bool TSharedSpinParkLock::try_lock() noexcept {
  if (!exclusive_.try_lock()) return false;
  std::uint32_t expected = 0;
  if (word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                    std::memory_order_relaxed))
    return true;
  exclusive_.unlock();
  return false;
}

void TSharedSpinParkLock::unlock() noexcept {
  word_.fetch_and(~kExclusive, std::memory_order_release);
  exclusive_.unlock();
}

}  // namespace kv
