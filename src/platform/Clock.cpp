#include "platform/Clock.h"

#include <atomic>

#include "platform/CivilDate.h"

namespace kv::platform {
namespace {

// The real clock: every call goes straight to the system.
class TSystemClock final : public TClock {
 public:
  std::uint32_t TickCount() override { return SystemTickCount(); }
  LocalTime Now() override { return SystemLocalTime(); }
  void Sleep(std::uint32_t milliseconds) override { SystemSleep(milliseconds); }
  bool SetLocalTime(const LocalTime& time) override { return SystemSetLocalTime(time); }
  std::int32_t ElevationType() override { return SystemElevationType(); }
};

std::atomic<TClock*> installedClock{nullptr};

}  // namespace

bool IsValidLocalTime(const LocalTime& t) noexcept {
  if (t.year < 1 || t.year > 30827 || t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return false;
  return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
         t.second <= 59 && t.millisecond >= 0 && t.millisecond <= 999;
}

TClock& SystemClock() noexcept {
  static TSystemClock clock;
  return clock;
}

TClock& Clock() noexcept {
  TClock* installed = installedClock.load(std::memory_order_acquire);
  return installed ? *installed : SystemClock();
}

TClock* SetClockForTesting(TClock* clock) noexcept {
  return installedClock.exchange(clock, std::memory_order_acq_rel);
}

std::uint32_t TickCount() { return Clock().TickCount(); }
LocalTime LocalNow() { return Clock().Now(); }
void SleepMs(std::uint32_t milliseconds) { Clock().Sleep(milliseconds); }
bool WaitMs(std::uint32_t milliseconds, const TRealWait& waitReal) {
  return Clock().Wait(milliseconds, waitReal);
}

}  // namespace kv::platform
