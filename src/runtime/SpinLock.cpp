#include "runtime/SpinLock.h"

#include <chrono>

namespace kv {
namespace {

// Long enough to outlast a bounded hold of the channel list on the machines
// we run on, short enough that a waiter behind a holder the system has put
// to sleep gives its processor back soon.
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

void TSpinParkLock::LockContended() noexcept {
  const auto until = std::chrono::steady_clock::now() + kSpinFor;
  do {
    for (int i = 0; i < kPausesPerCheck; ++i) CpuRelax();
    std::uint32_t state = state_.load(std::memory_order_relaxed);
    if (state == kFree && state_.compare_exchange_weak(state, kHeld, std::memory_order_acquire,
                                                       std::memory_order_relaxed))
      return;
  } while (std::chrono::steady_clock::now() < until);
  // Sleep. Whoever takes the lock from here on marks it as having sleepers,
  // so that its release wakes the next one. The mark is set under the
  // sleepers' mutex, which a release that finds it takes before waking: a
  // release between the mark and the sleep waits for the sleeper to be
  // asleep, so its wake-up is never lost.
  std::unique_lock<std::mutex> sleeping(sleepMutex_);
  while (state_.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree)
    wake_.wait(sleeping);
}

void TSpinParkLock::WakeOne() noexcept {
  std::lock_guard<std::mutex> sleeping(sleepMutex_);
  wake_.notify_one();
}

}  // namespace kv
