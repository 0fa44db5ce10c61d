#pragma once
// The calendar of the runtime's date-time: a double counting days since
// 1899-12-30 00:00 with the time of day as the fraction (for days before the
// epoch the fraction still counts forward from midnight: -1.25 is
// 1899-12-29 06:00). Proleptic Gregorian, years 1 to 9999.
#include <cstdint>

#include "platform/CivilDate.h"

namespace kv {

using TDateTime = double;

inline constexpr std::int32_t kMSecsPerDay = 86400000;
// Days from 0001-01-01 (day 1) to 1899-12-30.
inline constexpr std::int32_t kDateDelta = 693594;
// Smallest and largest day numbers of the calendar (0001-01-01, 9999-12-31).
inline constexpr std::int32_t kMinDateTimeDay = -693593;
inline constexpr std::int32_t kMaxDateTimeDay = 2958465;

struct DateTimeParts {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int dayOfWeek = 0;  // 1 = Sunday .. 7 = Saturday
};

using platform::DaysInMonth;
using platform::IsLeapYear;

// False for an invalid date or time; the result is then untouched.
bool TryEncodeDate(int year, int month, int day, TDateTime& result) noexcept;
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result) noexcept;
// Raise kv::Exception "Invalid argument to date encode" / "... time encode".
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
// Date and time of day together; the time is added away from zero for dates
// before the epoch, so decoding gives the same parts back.
bool TryEncodeDateTime(const DateTimeParts& parts, TDateTime& result) noexcept;

// Splits a date-time rounded to the millisecond. False when the value is not
// finite or lies outside years 1 to 9999.
bool TryDecodeDateTime(TDateTime value, DateTimeParts& parts) noexcept;

}  // namespace kv
