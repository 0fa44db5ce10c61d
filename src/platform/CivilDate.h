#pragma once
// Whole-day arithmetic of the proleptic Gregorian calendar: leap years,
// month lengths, and day numbers counted from 1970-01-01 (negative before).
// Every calendar of the code base (the runtime's date-time, the clock's
// checks and its test stand-in, the sample host's FILETIMEs) counts its days
// here. Header-only and constexpr, so a program that links none of the core
// can use it too; no state, any thread.
#include <cstdint>

namespace kv::platform {

struct CivilDate {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
};

constexpr bool IsLeapYear(int year) noexcept {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// 0 for a month outside 1..12.
constexpr int DaysInMonth(int year, int month) noexcept {
  constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The date is not checked. The count runs in a calendar whose years begin on
// 1 March, so the leap day closes its year and 400-year eras repeat exactly.
constexpr std::int64_t DaysFromCivil(std::int64_t year, int month, int day) noexcept {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

constexpr CivilDate CivilFromDays(std::int64_t days) noexcept {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  CivilDate date;
  date.day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  date.month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  date.year = static_cast<int>(yearOfEra + era * 400 + (date.month <= 2));
  return date;
}

// 0 = Sunday .. 6 = Saturday; 1970-01-01 was a Thursday.
constexpr int WeekdayFromDays(std::int64_t days) noexcept {
  return static_cast<int>((days % 7 + 11) % 7);
}

// Day numbers of the epochs the code base converts between.
inline constexpr std::int64_t kFileTimeEpochDay = DaysFromCivil(1601, 1, 1);   // FILETIME 0
inline constexpr std::int64_t kOleDateEpochDay = DaysFromCivil(1899, 12, 30);  // date-time 0

}  // namespace kv::platform
