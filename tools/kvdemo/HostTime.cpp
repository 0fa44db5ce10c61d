#include "HostTime.h"

#include <cmath>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace kv::demo {
namespace {

// Days from 1601-01-01 to 1899-12-30, the OLE date's day 0.
constexpr std::int64_t kOleEpochDays = 109205;
// Days from 0000-03-01 (the start of the shifted calendar below) to 1601-01-01.
constexpr std::int64_t kFileTimeEpochDays = 584694;

// Day number of a date in a calendar whose years begin on 1 March, so the
// leap day is the last day of its year.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe;
}

void CivilFromDays(std::int64_t days, TCivilTime& out) {
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  out.year = static_cast<int>(yoe + era * 400 + (out.month <= 2));
}

}  // namespace

std::uint64_t TicksFromCivil(const TCivilTime& t) {
  const std::int64_t days = DaysFromCivil(t.year, t.month, t.day) - kFileTimeEpochDays;
  if (days < 0) return 0;
  const std::uint64_t ms =
      ((static_cast<std::uint64_t>(t.hour) * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
  return static_cast<std::uint64_t>(days) * kTicksPerDay + ms * kTicksPerMillisecond;
}

TCivilTime CivilFromTicks(std::uint64_t ticks) {
  TCivilTime t;
  CivilFromDays(static_cast<std::int64_t>(ticks / kTicksPerDay) + kFileTimeEpochDays, t);
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
  const auto dayTicks = static_cast<std::uint64_t>(static_cast<std::int64_t>(whole) + kOleEpochDays) * kTicksPerDay;
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
