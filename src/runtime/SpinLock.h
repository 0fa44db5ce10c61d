#pragma once
// Locks for short critical sections that host threads and the worker share.
//
// TSpinParkLock: a waiter first spins for a few microseconds, re-checking
// the lock, and only then sleeps until the holder wakes it. The channel
// list's holds are bounded and short, so a waiter nearly always gets the
// lock while it spins; sleeping would add the system's wake-up latency
// (often tens of microseconds) to every wait, however short the hold.
// Uncontended, lock and unlock are one atomic operation each.
//
// TReentrantLock: the same, and the thread that holds it may take it again
// (and must release it as often).
//
// Both meet the standard Lockable requirements (std::lock_guard works) and
// are capabilities for the thread-safety analysis (TLockGuard).
//
// Sleeping goes through a mutex and a condition variable, not the atomic
// wait of the standard library: in the Windows builds (no futex there) a
// wake-up through it was seen to be lost, leaving a waiter asleep for ever.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "runtime/ThreadSafety.h"

namespace kv {

class CAPABILITY("mutex") TSpinParkLock {
 public:
  TSpinParkLock() = default;
  TSpinParkLock(const TSpinParkLock&) = delete;
  TSpinParkLock& operator=(const TSpinParkLock&) = delete;

  void lock() noexcept ACQUIRE() {
    std::uint32_t expected = kFree;
    if (!state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                        std::memory_order_relaxed))
      LockContended();
  }
  bool try_lock() noexcept TRY_ACQUIRE(true) {
    std::uint32_t expected = kFree;
    return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void unlock() noexcept RELEASE() {
    if (state_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers) WakeOne();
  }

 private:
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kHeld = 1;
  static constexpr std::uint32_t kHeldWithSleepers = 2;

  void LockContended() noexcept;
  void WakeOne() noexcept;

  std::atomic<std::uint32_t> state_{kFree};
  // Where sleepers wait; the mutex is taken only by them and by a release
  // that finds sleepers.
  std::mutex sleepMutex_;
  std::condition_variable wake_;
};

// The analysis takes it as a plain lock: code that holds it says so
// (REQUIRES) rather than taking it again.
class CAPABILITY("mutex") TReentrantLock {
 public:
  // The analysis cannot follow the depth count, so the bodies are not
  // checked; their attributes state what they do for the callers.
  void lock() noexcept ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    const std::thread::id self = std::this_thread::get_id();
    // Only this thread ever stores its own id, so reading it back means this
    // thread holds the lock; any other value, however stale, means it does
    // not.
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++depth_;
      return;
    }
    lock_.lock();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
  }
  void unlock() noexcept RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    if (--depth_ != 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    lock_.unlock();
  }

 private:
  TSpinParkLock lock_;
  std::atomic<std::thread::id> owner_{};
  unsigned depth_ = 0;  // the holder's count; touched only by the holder
};

}  // namespace kv
