#pragma once
// TLogControl: what the host decides about the log while clients come and
// go: a callback that gets every line, and the size at which the log file
// is rotated with the number of rotated files kept. One object serves the
// whole process (the exports own it and hand it to each client's log
// writer); tests make their own.
//
// Threads. Any thread may change the limits (atomics, read by the writer
// at every line) and the callback. The worker thread calls the callback
// while it holds callbackLock_, so SetCallback waits for a call in progress
// and, once it returns, the previous callback is never called again. The
// one exception is a SetCallback from inside the callback on the worker
// thread itself: it cannot wait for its own call, so it swaps at once and
// the change holds from the next line.
#include <atomic>
#include <cstdint>
#include <string_view>

#include "runtime/ThreadSafety.h"

namespace kv {

class TLogControl {
 public:
  // The host's callback: context as given, the line's level, the line
  // without its CR LF, zero-terminated, valid during the call only.
  using TCallback = void (*)(void* context, int level, const char* line);

  // Levels passed to the callback, named by the line's level word.
  static constexpr int kLevelError = 1;
  static constexpr int kLevelInfo = 2;
  static constexpr int kLevelDebug = 3;
  static constexpr int kLevelWarning = 4;

  static constexpr std::int64_t kNoRotation = 0;
  static constexpr int kDefaultFiles = 5;

  TLogControl() = default;
  TLogControl(const TLogControl&) = delete;
  TLogControl& operator=(const TLogControl&) = delete;

  // Null removes the callback.
  void SetCallback(TCallback callback, void* context) noexcept;
  bool HasCallback() const noexcept { return hasCallback_.load(std::memory_order_acquire); }
  // Calls the callback, if any, with `line` (which must end with a zero
  // byte just beyond its view). Never lets an exception through.
  void Deliver(int level, std::string_view line) noexcept;
  // True on the thread that is inside a callback right now. Cheap while no
  // callback runs anywhere, which host calls on a hot path rely on.
  static bool InsideCallback() noexcept {
    return callsInProgress_.load(std::memory_order_relaxed) != 0 && CallingThread();
  }

  // The level of a message by its level word (INFO for one without).
  static int LevelOf(std::string_view message) noexcept;

  // kNoRotation, or the size a log file may reach before it is rotated.
  std::int64_t MaxBytes() const noexcept { return maxBytes_.load(std::memory_order_relaxed); }
  void SetMaxBytes(std::int64_t bytes) noexcept {
    maxBytes_.store(bytes, std::memory_order_relaxed);
  }
  // Rotated files kept: NAME.1 (the newest) to NAME.N.
  int Files() const noexcept { return files_.load(std::memory_order_relaxed); }
  void SetFiles(int files) noexcept { files_.store(files, std::memory_order_relaxed); }

 private:
  static bool CallingThread() noexcept;
  void SwapFromInside(TCallback callback, void* context) noexcept NO_THREAD_SAFETY_ANALYSIS;

  TMutex callbackLock_;
  TCallback callback_ GUARDED_BY(callbackLock_) = nullptr;
  void* context_ GUARDED_BY(callbackLock_) = nullptr;
  // Whether a callback is set, for a writer that has nothing else to do
  // with a line and need not take the lock to learn it.
  std::atomic<bool> hasCallback_{false};
  std::atomic<std::int64_t> maxBytes_{kNoRotation};
  // Callbacks running now, of all controls. The thread that runs one sees
  // its own count; any other may see a stale one, which only costs it the
  // look at its thread-local mark.
  static inline std::atomic<int> callsInProgress_{0};
  std::atomic<int> files_{kDefaultFiles};
};

}  // namespace kv
