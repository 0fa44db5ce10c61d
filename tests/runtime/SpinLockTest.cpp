#include "runtime/SpinLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

// These tests drive the locks' own protocol (a failed try_lock, re-entry),
// which the thread-safety analysis rejects by design.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace kv {
namespace {

// Some holds outlast the spinning, so that waiters also sleep and are woken.
template <class Lock>
long CountUnderContention(Lock& lock) {
  constexpr int kThreads = 4;
  constexpr int kIncrements = 20000;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIncrements; ++i) {
        std::lock_guard<Lock> guard(lock);
        ++counter;
        if (i % 2000 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return counter;
}

TEST(SpinParkLock, ExcludesWhetherWaitersSpinOrSleep) {
  TSpinParkLock lock;
  EXPECT_EQ(CountUnderContention(lock), 4 * 20000);
  ASSERT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock());
  lock.unlock();
}

// A waiter that goes to sleep just as the holder releases must not sleep on
// a free lock (until some other thread happens to take it): holds end at
// every moment around the end of the waiter's spinning.
TEST(SpinParkLock, AWaiterGoingToSleepAsTheHolderReleasesIsNotLeftAsleep) {
  TSpinParkLock lock;
  int stranded = 0;
  for (int round = 0; round < 3000; ++round) {
    lock.lock();
    std::atomic<bool> waiting{false};
    std::atomic<bool> got{false};
    std::thread waiter([&] {
      waiting.store(true);
      lock.lock();
      got.store(true);
      lock.unlock();
    });
    while (!waiting.load()) std::this_thread::yield();
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::nanoseconds(12000 + round % 64 * 100);
    while (std::chrono::steady_clock::now() < until) {
    }
    lock.unlock();
    // A stranded waiter sleeps until the next release: give it one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!got.load() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (!got.load()) {
      ++stranded;
      lock.lock();
      lock.unlock();
    }
    waiter.join();
  }
  EXPECT_EQ(stranded, 0);
}

// Exclusive holders exclude each other and every shared holder (shared
// readers check that nobody writes while they read), while shared holders
// keep coming; and a shared holder never waits for another one.
TEST(SharedSpinParkLock, ExclusiveHoldersExcludeAllSharedOnesShareFreely) {
  TSharedSpinParkLock lock;
  EXPECT_EQ(CountUnderContention(lock), 4 * 20000);
  std::atomic<bool> writing{false};
  std::atomic<bool> stop{false};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&] {
      while (!stop.load()) {
        lock.lock_shared();
        if (writing.load()) ++overlaps;
        lock.unlock_shared();
      }
    });
  for (int i = 0; i < 2000; ++i) {
    std::lock_guard<TSharedSpinParkLock> guard(lock);
    writing.store(true);
    std::this_thread::yield();
    writing.store(false);
  }
  lock.lock_shared();
  auto other = std::async(std::launch::async, [&] {
    lock.lock_shared();
    lock.unlock_shared();
    return !lock.try_lock();
  });
  EXPECT_EQ(other.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(other.get());  // not while this thread holds it shared
  lock.unlock_shared();
  stop.store(true);
  for (auto& thread : readers) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  ASSERT_TRUE(lock.try_lock());
  lock.unlock();
}

// A releaser that takes the lock again at once must not starve a waiter
// that went to sleep: once it has slept a while, the release hands the lock
// to the sleeper, held.
TEST(SpinParkLock, ASleepingWaiterIsHandedTheLockAtTheRelease) {
  TSpinParkLock lock;
  lock.lock();
  std::atomic<bool> tried{false};
  std::thread waiter([&] {
    std::lock_guard<TSpinParkLock> guard(lock);
    while (!tried) std::this_thread::yield();  // holds it until the releaser tried
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!lock.HasSleepers() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  const bool slept = lock.HasSleepers();
  std::this_thread::sleep_for(2 * TSpinParkLock::kHandOverAfter);
  lock.unlock();
  const bool retaken = lock.try_lock();
  tried = true;
  if (retaken) lock.unlock();
  waiter.join();
  ASSERT_TRUE(slept);
  EXPECT_FALSE(retaken);
}

TEST(ReentrantLock, ItsHolderEntersAgainOthersWaitForTheLastRelease) {
  TReentrantLock lock;
  EXPECT_EQ(CountUnderContention(lock), 4 * 20000);
  lock.lock();
  lock.lock();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    std::lock_guard<TReentrantLock> guard(lock);
    entered = true;
  });
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered);  // still held once
  lock.unlock();
  other.join();
  EXPECT_TRUE(entered);
}

}  // namespace
}  // namespace kv
