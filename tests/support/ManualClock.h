#pragma once
// A clock that tests drive: its ticks and its local time move only when the
// test advances them or when someone sleeps on it, so the client's 30- and
// 60-second rules run in microseconds of real time.
//
// Sleep(ms) advances the clock by ms (ticks and local time together) and
// yields the real thread, or pauses it for the real pause set with
// SetSleepPause so that a busy worker loop does not hog a core. With
// auto-advance off, Sleep only yields/pauses and time stands still until the
// test calls Advance.
//
// Wait(ms, waitReal) lets a worker that sleeps until an event or a deadline
// run at test speed. With auto-advance on it waits in real time for up to
// the wait pause (SetWaitPause; 500 ms to start with, long enough for a
// loopback peer to answer even on a loaded machine). When the event came,
// the clock moves on by 1 ms, as if the event took that long; otherwise it
// jumps to the deadline, so a 60-second silence passes in half a real
// second. With auto-advance off it waits, in real pieces of 1 ms, until the
// event comes or the test has advanced the clock to the deadline.
//
// Threads: every method may be called from any thread; one mutex guards the
// whole state, and Sleep never holds it while it yields or pauses.
//
// Test support only: the shipped library offers the seam (SetClockForTesting)
// and never sees this clock.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

namespace kv::platform {

class TManualClock final : public TClock {
 public:
  // Starts at tick 0 and local time 2000-01-01 00:00:00.000, auto-advance
  // on, elevation type 2 (full), setting the time succeeds.
  TManualClock() = default;
  TManualClock(std::uint32_t ticks, const LocalTime& now);

  std::uint32_t TickCount() override;
  LocalTime Now() override;
  void Sleep(std::uint32_t milliseconds) override;
  bool Wait(std::uint32_t milliseconds, const TRealWait& waitReal) override;
  // Moves the local time (ticks keep running from where they are, as the
  // system's uptime does), or fails with the error set by FailSetLocalTime.
  // An invalid time fails with InvalidParameterError().
  bool SetLocalTime(const LocalTime& time) override;
  std::int32_t ElevationType() override;

  // Test controls.
  void Advance(std::uint64_t milliseconds);
  void SetTicks(std::uint32_t ticks);
  // An invalid time is ignored.
  void SetNow(const LocalTime& now);
  void SetAutoAdvance(bool on);
  void SetSleepPause(std::chrono::microseconds pause);
  void SetWaitPause(std::chrono::milliseconds pause);
  void SetElevationType(std::int32_t type);
  // 0 lets SetLocalTime succeed; another number makes it fail with that
  // last error.
  void FailSetLocalTime(std::uint32_t errorCode);

  // Milliseconds advanced since construction (never wraps).
  std::uint64_t Elapsed();
  // Number of Sleep calls so far.
  std::uint64_t SleepCalls();
  // Number of Wait calls so far.
  std::uint64_t WaitCalls();
  // Number of successful SetLocalTime calls so far.
  std::uint32_t SetLocalTimeCalls();
  // Blocks until Elapsed() >= milliseconds or the real-time limit passes
  // (an upper bound for a test that went wrong, not a measurement). True
  // when the clock got there.
  bool WaitUntilElapsed(std::uint64_t milliseconds, std::chrono::milliseconds realLimit);

 private:
  void AdvanceLocked(std::uint64_t milliseconds);

  std::mutex mutex_;
  std::condition_variable advanced_;
  // Guarded by mutex_:
  std::uint32_t ticks_ = 0;
  // Local time as milliseconds since 1970-01-01 00:00; starts at 2000-01-01.
  std::int64_t localMs_ = 946684800000;
  std::uint64_t elapsed_ = 0;
  std::uint64_t sleepCalls_ = 0;
  std::uint32_t setCalls_ = 0;
  bool autoAdvance_ = true;
  std::chrono::microseconds sleepPause_{0};
  std::chrono::milliseconds waitPause_{500};
  std::uint64_t waitCalls_ = 0;
  std::int32_t elevationType_ = kElevationFull;
  std::uint32_t setTimeError_ = 0;
};

// Installs a clock for the lifetime of the object, then puts back the one
// that was installed before.
class TScopedTestClock {
 public:
  explicit TScopedTestClock(TClock& clock) noexcept : previous_(SetClockForTesting(&clock)) {}
  ~TScopedTestClock() { SetClockForTesting(previous_); }
  TScopedTestClock(const TScopedTestClock&) = delete;
  TScopedTestClock& operator=(const TScopedTestClock&) = delete;

 private:
  TClock* previous_;
};

// Local time <-> milliseconds since 1970-01-01 00:00 of the same wall clock
// (proleptic Gregorian, no time zone). Exposed for the clock's tests.
std::int64_t LocalTimeToMilliseconds(const LocalTime& time) noexcept;
LocalTime MillisecondsToLocalTime(std::int64_t milliseconds) noexcept;

}  // namespace kv::platform
