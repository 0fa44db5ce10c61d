#pragma once
// Locks for short critical sections that host threads and the worker share.
//
// TSpinParkLock: a waiter first spins for a few microseconds, re-checking
// the lock, and only then sleeps until a release wakes it. The
// holds it guards are bounded and short, so a waiter nearly always gets the
// lock while it spins; sleeping would add the system's wake-up latency
// (often tens of microseconds) to every wait, however short the hold.
// Uncontended, lock and unlock are one atomic operation each.
//
// Fairness: sleepers queue in the order they went to sleep. A release that
// finds them wakes the first, which then competes for the lock as a running
// thread does, spinning; if it loses, it sleeps again, still first. Once it
// has waited kHandOverAfter, a release hands the lock to it directly (the
// lock stays held while it wakes), so a running thread that keeps taking
// the lock again cannot starve it. Hand-overs come at most once per
// kHandOverAfter: handing the lock over at every release would make a busy
// lock move at the pace of wake-ups, and with more busy threads than
// processors each hand-over waits for the sleeper to get a processor, while
// every other thread queues behind it (measured: four threads sharing one
// lock took 140 times as long, and host calls on four threads a thousand
// times as long at the 99.9th percentile).
//
// TSharedSpinParkLock: held shared by any number of threads at once, or by
// one exclusively. Threads that each work on something of their own under a
// common guard hold it shared, and so never wait for each other, not even
// for one that lost its processor while it held the lock.
//
// TReentrantLock: the same as TSpinParkLock, and the thread that holds it may take it again
// (and must release it as often).
//
// Both meet the standard Lockable requirements (std::lock_guard works) and
// are capabilities for the thread-safety analysis (TLockGuard).
//
// Sleeping goes through a mutex and condition variables, not the atomic
// wait of the standard library: in the Windows builds (no futex there) a
// wake-up through it was seen to be lost, leaving a waiter asleep for ever.
#include <atomic>
#include <chrono>
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
    std::uint32_t expected = kHeld;
    if (!state_.compare_exchange_strong(expected, kFree, std::memory_order_release,
                                        std::memory_order_relaxed))
      ReleaseToSleepers();
  }
  // Whether a waiter sleeps on the lock.
  bool HasSleepers() const noexcept {
    return (state_.load(std::memory_order_relaxed) & kSleepers) != 0;
  }

  // A sleeper that has waited this long is handed the lock at the next
  // release (if no hand-over came in that time).
  static constexpr std::chrono::microseconds kHandOverAfter{1000};

 private:
  // Bits of state_.
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kHeld = 1;
  static constexpr std::uint32_t kSleepers = 2;

  // One sleeping waiter, on its own stack.
  struct TSleeper {
    std::condition_variable wake;
    std::chrono::steady_clock::time_point since;
    std::atomic<bool> granted{false};  // the lock was handed over to it
    TSleeper* next = nullptr;
  };

  void LockContended() noexcept;
  // Spins for the lock a few microseconds: true when it got it, or, for a
  // sleeper, when it was handed the lock meanwhile.
  bool Spin(const TSleeper* sleeper) noexcept;
  // Takes the lock if nobody holds it.
  bool TakeIfFree() noexcept;
  void ReleaseToSleepers() noexcept;
  void PopFirst() noexcept;

  // kSleepers is set exactly while the queue below is not empty (both change
  // under sleepMutex_).
  std::atomic<std::uint32_t> state_{kFree};
  std::mutex sleepMutex_;
  TSleeper* first_ = nullptr;  // the queue of sleepers, oldest first
  TSleeper* last_ = nullptr;
  std::chrono::steady_clock::time_point handedOver_;  // the last hand-over
};

// Shared holders count themselves in one word; an exclusive holder first
// takes a TSpinParkLock (so exclusive holders queue fairly among
// themselves), then marks the word, which turns newcomers away, and waits
// for the shared holders to leave. A newcomer turned away waits on that
// TSpinParkLock, sleeping if the exclusive hold lasts. Shared holds must be
// short: an exclusive holder waits for them spinning, and then yielding its
// processor.
class CAPABILITY("mutex") TSharedSpinParkLock {
 public:
  TSharedSpinParkLock() = default;
  TSharedSpinParkLock(const TSharedSpinParkLock&) = delete;
  TSharedSpinParkLock& operator=(const TSharedSpinParkLock&) = delete;

  void lock_shared() noexcept ACQUIRE_SHARED() {
    if ((word_.fetch_add(1, std::memory_order_acquire) & kExclusive) != 0) LockSharedContended();
  }
  void unlock_shared() noexcept RELEASE_SHARED() { word_.fetch_sub(1, std::memory_order_release); }
  // The analysis cannot follow the inner lock held across these calls.
  void lock() noexcept ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  bool try_lock() noexcept TRY_ACQUIRE(true) NO_THREAD_SAFETY_ANALYSIS;
  void unlock() noexcept RELEASE() NO_THREAD_SAFETY_ANALYSIS;

 private:
  static constexpr std::uint32_t kExclusive = 0x80000000u;  // below it: shared holders

  void LockSharedContended() noexcept;

  std::atomic<std::uint32_t> word_{0};
  TSpinParkLock exclusive_;
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
  bool HasSleepers() const noexcept { return lock_.HasSleepers(); }

 private:
  TSpinParkLock lock_;
  std::atomic<std::thread::id> owner_{};
  unsigned depth_ = 0;  // the holder's count; touched only by the holder
};

}  // namespace kv
