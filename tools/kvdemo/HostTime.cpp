#include "HostTime.h"

#include <cmath>
#include <cstdio>

#include "platform/CivilDate.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace kv::demo {
namespace {

// Days from 1601-01-01 to 1899-12-30, the OLE date's day 0.
constexpr std::int64_t kOleEpochDays = platform::kOleDateEpochDay - platform::kFileTimeEpochDay;

}  // namespace

std::uint64_t TicksFromCivil(const TCivilTime& t) {
  const std::int64_t days =
      platform::DaysFromCivil(t.year, t.month, t.day) - platform::kFileTimeEpochDay;
  if (days < 0) return 0;
  const std::uint64_t ms =
      ((static_cast<std::uint64_t>(t.hour) * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
  return static_cast<std::uint64_t>(days) * kTicksPerDay + ms * kTicksPerMillisecond;
}

TCivilTime CivilFromTicks(std::uint64_t ticks) {
  TCivilTime t;
  const platform::CivilDate date = platform::CivilFromDays(
      static_cast<std::int64_t>(ticks / kTicksPerDay) + platform::kFileTimeEpochDay);
  t.year = date.year;
  t.month = date.month;
  t.day = date.day;
  std::uint64_t ms = (ticks % kTicksPerDay) / kTicksPerMillisecond;
  t.millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  t.second = static_cast<int>(ms % 60);
  ms /= 60;
  t.minute = static_cast<int>(ms % 60);
  t.hour = static_cast<int>(ms / 60);
  return t;
}

std::string CivilText(const TCivilTime& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

std::string OleDateText(double date) {
  // 1601-01-01 and 10000-01-01 in OLE days.
  if (!(date > -109206.0 && date < 2958466.0)) return "?";
  const double whole = std::trunc(date);
  const double fraction = std::fabs(date - whole);
  const auto dayTicks =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(whole) + kOleEpochDays) * kTicksPerDay;
  const auto ms = static_cast<std::uint64_t>(std::llround(fraction * 86400000.0));
  return CivilText(CivilFromTicks(dayTicks + ms * kTicksPerMillisecond));
}

std::uint64_t LocalNowTicks() {
#ifdef _WIN32
  SYSTEMTIME local;
  GetLocalTime(&local);
  return TicksFromCivil({local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                         local.wSecond, local.wMilliseconds});
#else
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return TicksFromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                         local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000)});
#endif
}

}  // namespace kv::demo
