#include "support/ManualClock.h"

#include <thread>

#include "platform/CivilDate.h"

namespace kv::platform {
namespace {

constexpr std::int64_t kMsPerDay = 86400000;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

}  // namespace

std::int64_t LocalTimeToMilliseconds(const LocalTime& t) noexcept {
  const std::int64_t days = DaysFromCivil(t.year, t.month, t.day);
  return days * kMsPerDay + ((t.hour * 60 + t.minute) * 60 + t.second) * 1000LL + t.millisecond;
}

LocalTime MillisecondsToLocalTime(std::int64_t ms) noexcept {
  LocalTime t;
  const std::int64_t days = FloorDiv(ms, kMsPerDay);
  std::int64_t rest = ms - days * kMsPerDay;
  const CivilDate date = CivilFromDays(days);
  t.year = date.year;
  t.month = date.month;
  t.day = date.day;
  t.dayOfWeek = WeekdayFromDays(days);
  t.hour = static_cast<int>(rest / 3600000);
  t.minute = static_cast<int>(rest / 60000 % 60);
  t.second = static_cast<int>(rest / 1000 % 60);
  t.millisecond = static_cast<int>(rest % 1000);
  return t;
}

TManualClock::TManualClock(std::uint32_t ticks, const LocalTime& now) : ticks_(ticks) {
  if (IsValidLocalTime(now)) localMs_ = LocalTimeToMilliseconds(now);
}

std::uint32_t TManualClock::TickCount() {
  std::lock_guard lock(mutex_);
  return ticks_;
}

LocalTime TManualClock::Now() {
  std::lock_guard lock(mutex_);
  return MillisecondsToLocalTime(localMs_);
}

void TManualClock::Sleep(std::uint32_t milliseconds) {
  std::chrono::microseconds pause;
  {
    std::lock_guard lock(mutex_);
    ++sleepCalls_;
    if (autoAdvance_) AdvanceLocked(milliseconds);
    pause = sleepPause_;
  }
  if (pause.count() > 0)
    std::this_thread::sleep_for(pause);
  else
    std::this_thread::yield();
}

bool TManualClock::Wait(std::uint32_t milliseconds, const TRealWait& waitReal) {
  bool autoAdvance;
  std::uint32_t pause;
  std::uint64_t deadline;
  {
    std::lock_guard lock(mutex_);
    ++waitCalls_;
    autoAdvance = autoAdvance_;
    pause = static_cast<std::uint32_t>(waitPause_.count());
    deadline = elapsed_ + milliseconds;
  }
  if (autoAdvance) {
    const bool came = waitReal(milliseconds < pause ? milliseconds : pause);
    std::lock_guard lock(mutex_);
    AdvanceLocked(came ? (milliseconds < 1 ? milliseconds : 1) : milliseconds);
    return came;
  }
  for (;;) {
    if (waitReal(milliseconds < 1 ? 0 : 1)) return true;
    std::lock_guard lock(mutex_);
    if (elapsed_ >= deadline) return false;
  }
}

bool TManualClock::SetLocalTime(const LocalTime& time) {
  std::lock_guard lock(mutex_);
  if (setTimeError_ != 0) {
    SetLastSystemError(setTimeError_);
    return false;
  }
  if (!IsValidLocalTime(time)) {
    SetLastSystemError(InvalidParameterError());
    return false;
  }
  localMs_ = LocalTimeToMilliseconds(time);
  ++setCalls_;
  return true;
}

std::int32_t TManualClock::ElevationType() {
  std::lock_guard lock(mutex_);
  return elevationType_;
}

void TManualClock::Advance(std::uint64_t milliseconds) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(milliseconds);
}

void TManualClock::AdvanceLocked(std::uint64_t milliseconds) {
  ticks_ = static_cast<std::uint32_t>(ticks_ + milliseconds);  // wraps like the system's
  localMs_ += static_cast<std::int64_t>(milliseconds);
  elapsed_ += milliseconds;
  advanced_.notify_all();
}

void TManualClock::SetTicks(std::uint32_t ticks) {
  std::lock_guard lock(mutex_);
  ticks_ = ticks;
}

void TManualClock::SetNow(const LocalTime& now) {
  if (!IsValidLocalTime(now)) return;
  std::lock_guard lock(mutex_);
  localMs_ = LocalTimeToMilliseconds(now);
}

void TManualClock::SetAutoAdvance(bool on) {
  std::lock_guard lock(mutex_);
  autoAdvance_ = on;
}

void TManualClock::SetSleepPause(std::chrono::microseconds pause) {
  std::lock_guard lock(mutex_);
  sleepPause_ = pause;
}

void TManualClock::SetWaitPause(std::chrono::milliseconds pause) {
  std::lock_guard lock(mutex_);
  waitPause_ = pause;
}

void TManualClock::SetElevationType(std::int32_t type) {
  std::lock_guard lock(mutex_);
  elevationType_ = type;
}

void TManualClock::FailSetLocalTime(std::uint32_t errorCode) {
  std::lock_guard lock(mutex_);
  setTimeError_ = errorCode;
}

std::uint64_t TManualClock::Elapsed() {
  std::lock_guard lock(mutex_);
  return elapsed_;
}

std::uint64_t TManualClock::SleepCalls() {
  std::lock_guard lock(mutex_);
  return sleepCalls_;
}

std::uint64_t TManualClock::WaitCalls() {
  std::lock_guard lock(mutex_);
  return waitCalls_;
}

std::uint32_t TManualClock::SetLocalTimeCalls() {
  std::lock_guard lock(mutex_);
  return setCalls_;
}

bool TManualClock::WaitUntilElapsed(std::uint64_t milliseconds,
                                    std::chrono::milliseconds realLimit) {
  std::unique_lock lock(mutex_);
  return advanced_.wait_for(lock, realLimit, [&] { return elapsed_ >= milliseconds; });
}

}  // namespace kv::platform
