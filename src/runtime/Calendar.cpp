#include "runtime/Calendar.h"

#include <cmath>

#include "runtime/Exception.h"

namespace kv {

bool TryEncodeDate(int year, int month, int day, TDateTime& result) noexcept {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  result =
      static_cast<double>(platform::DaysFromCivil(year, month, day) - platform::kOleDateEpochDay);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result) noexcept {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 ||
      msec < 0 || msec >= 1000)
    return false;
  result = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + msec) / kMSecsPerDay;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r;
  if (!TryEncodeDate(year, month, day, r)) throw Exception("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime r;
  if (!TryEncodeTime(hour, minute, second, msec, r))
    throw Exception("Invalid argument to time encode");
  return r;
}

bool TryEncodeDateTime(const DateTimeParts& p, TDateTime& result) noexcept {
  TDateTime date, time;
  if (!TryEncodeDate(p.year, p.month, p.day, date) ||
      !TryEncodeTime(p.hour, p.minute, p.second, p.millisecond, time))
    return false;
  result = date < 0 ? date - time : date + time;
  return true;
}

bool TryDecodeDateTime(TDateTime value, DateTimeParts& parts) noexcept {
  if (!std::isfinite(value)) return false;
  double ms = std::nearbyint(value * kMSecsPerDay);
  if (std::fabs(ms) > 1e15) return false;  // far outside the calendar; keeps the cast defined
  long long total = static_cast<long long>(ms);
  long long dayPart = total / kMSecsPerDay;  // truncates towards zero
  long long timePart = (total < 0 ? -total : total) % kMSecsPerDay;
  if (dayPart < kMinDateTimeDay || dayPart > kMaxDateTimeDay) return false;
  const std::int64_t days = dayPart + platform::kOleDateEpochDay;
  const platform::CivilDate date = platform::CivilFromDays(days);
  parts.year = date.year;
  parts.month = date.month;
  parts.day = date.day;
  parts.dayOfWeek = platform::WeekdayFromDays(days) + 1;
  int t = static_cast<int>(timePart);
  parts.hour = t / 3600000;
  parts.minute = t / 60000 % 60;
  parts.second = t / 1000 % 60;
  parts.millisecond = t % 1000;
  return true;
}

}  // namespace kv
