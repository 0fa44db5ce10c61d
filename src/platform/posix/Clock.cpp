#include "platform/Clock.h"

#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace kv::platform {
namespace {

constexpr int kCapSysTime = 25;  // bit of CAP_SYS_TIME in the capability sets

// Linux: the effective capability set from /proc. False when unreadable.
bool ReadEffectiveCapabilities(unsigned long long& caps) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    try {
      caps = std::stoull(line.substr(7), nullptr, 16);
      return true;
    } catch (...) {
      return false;
    }
  }
  return false;
}

}  // namespace

std::uint32_t SystemTickCount() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  unsigned long long ms = static_cast<unsigned long long>(ts.tv_sec) * 1000ULL +
                          static_cast<unsigned long long>(ts.tv_nsec / 1000000);
  return static_cast<std::uint32_t>(ms);
}

LocalTime SystemLocalTime() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t seconds = ts.tv_sec;
  tm parts{};
  LocalTime t;
  if (localtime_r(&seconds, &parts) == nullptr) return t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.dayOfWeek = parts.tm_wday;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;  // a leap second reads as :59
  t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return t;
}

void SystemSleep(std::uint32_t milliseconds) noexcept {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::uint64_t SystemMicroseconds() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec / 1000);
}

void SystemPauseMicroseconds(std::uint32_t microseconds) noexcept {
  timespec left{static_cast<time_t>(microseconds / 1000000),
                static_cast<long>(microseconds % 1000000) * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

bool SystemSetLocalTime(const LocalTime& time) noexcept {
  if (!IsValidLocalTime(time)) {
    errno = EINVAL;
    return false;
  }
  tm parts{};
  parts.tm_year = time.year - 1900;
  parts.tm_mon = time.month - 1;
  parts.tm_mday = time.day;
  parts.tm_hour = time.hour;
  parts.tm_min = time.minute;
  parts.tm_sec = time.second;
  parts.tm_isdst = -1;  // let the zone rules decide, as the wall clock would
  errno = 0;
  time_t seconds = mktime(&parts);
  if (seconds == static_cast<time_t>(-1) && errno != 0) return false;
  timespec ts{seconds, static_cast<long>(time.millisecond) * 1000000L};
  return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

std::int32_t SystemElevationType() noexcept {
  unsigned long long caps = 0;
  bool maySetClock =
      ReadEffectiveCapabilities(caps) ? ((caps >> kCapSysTime) & 1) != 0 : geteuid() == 0;
  return maySetClock ? kElevationFull : kElevationLimited;
}

std::int32_t SystemTimeZoneBias() noexcept {
  time_t now = ::time(nullptr);
  tm parts{};
  if (localtime_r(&now, &parts) == nullptr) return 0;
  return static_cast<std::int32_t>(-parts.tm_gmtoff / 60);
}

std::uint32_t LastSystemError() noexcept { return static_cast<std::uint32_t>(errno); }

void SetLastSystemError(std::uint32_t code) noexcept { errno = static_cast<int>(code); }

std::string SystemErrorText(std::uint32_t code) {
  // The description in English whatever the process locale, so the text
  // stays plain ASCII, a valid Windows-1251 text; null for an unknown number.
  const char* text = strerrordesc_np(static_cast<int>(code));
  return text ? std::string(text) : std::string();
}

std::uint32_t InvalidParameterError() noexcept { return EINVAL; }

}  // namespace kv::platform
