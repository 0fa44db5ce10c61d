#include "runtime/Calendar.h"

#include <cmath>

#include "runtime/Exception.h"

namespace kv {
namespace {

constexpr int kCumulativeDays[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

// Day number counted from 0001-01-01 = 1.
long DaysFromCivil(int y, int m, int d) {
  long yy = y - 1;
  return yy * 365 + yy / 4 - yy / 100 + yy / 400 + kCumulativeDays[IsLeapYear(y)][m - 1] + d;
}

void CivilFromDays(long days, int& y, int& m, int& d) {
  // days >= 1; 400-year cycles hold 146097 days.
  long n = days - 1;
  long y400 = n / 146097;
  n %= 146097;
  long y100 = n / 36524;
  if (y100 == 4) y100 = 3;
  n -= y100 * 36524;
  long y4 = n / 1461;
  n %= 1461;
  long y1 = n / 365;
  if (y1 == 4) y1 = 3;
  n -= y1 * 365;
  y = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
  const int* table = kCumulativeDays[IsLeapYear(y)];
  m = 1;
  while (n >= table[m]) ++m;
  d = static_cast<int>(n - table[m - 1] + 1);
}

}  // namespace

bool IsLeapYear(int year) noexcept {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) noexcept {
  if (month < 1 || month > 12) return 0;
  const int* t = kCumulativeDays[IsLeapYear(year)];
  return t[month] - t[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) noexcept {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  result = static_cast<double>(DaysFromCivil(year, month, day) - kDateDelta);
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
  long days = static_cast<long>(dayPart) + kDateDelta;
  if (days < 1 || days > kMaxDateTimeDay + kDateDelta) return false;
  CivilFromDays(days, parts.year, parts.month, parts.day);
  parts.dayOfWeek = static_cast<int>(days % 7) + 1;
  int t = static_cast<int>(timePart);
  parts.hour = t / 3600000;
  parts.minute = t / 60000 % 60;
  parts.second = t / 1000 % 60;
  parts.millisecond = t % 1000;
  return true;
}

}  // namespace kv
