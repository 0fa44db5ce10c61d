#pragma once
// Date and time helpers shared by the protocol, the exported functions and
// the client: the compact ISO text and the 100-ns tick form in which
// date-times travel, FILETIME at the exported interface, the time zone and
// its text, setting the local clock, plus two small text helpers. Free
// functions without state; any thread may call them (GetLastErrorText only
// means something on the thread of the failed call, right after it).
//
// Date-times are local wall-clock values; no conversion here applies a time
// zone.
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Calendar.h"

namespace kv {

// The platform's FILETIME: 100-ns units since 1601-01-01, two halves with
// the low one first, exactly as the host passes it.
struct FileTime {
  std::uint32_t lowDateTime = 0;
  std::uint32_t highDateTime = 0;
};

// 100-ns units per day, and from 1601-01-01 to 1899-12-30 (109 205 days).
inline constexpr std::int64_t kTicksPerDay = 864000000000;
inline constexpr std::int64_t kTicksToDateTimeEpoch = 94353120000000000;

// 20 characters: yyyymmddThhnnss.zzz and a final 0, e.g.
// 20090305T140709.1230. Raises "Invalid argument to date encode" for a value
// outside the calendar.
std::string DateTimeToISO8601(TDateTime value);
// Reads the text above or a prefix of it (at least the year): fields that
// are missing count 0, so fewer than 8 characters fail in the date check;
// the time is read only after a T at position 9, the milliseconds only
// from texts of 20 characters or more. Raises kv::Exception with
//   "DateTimeFromISO8601(): неверная дата время: " + text (under 4 chars),
//   "'<field>' is not a valid integer value",
//   "Invalid argument to date encode" / "Invalid argument to time encode".
TDateTime DateTimeFromISO8601(std::string_view text);

// truncate(value * kTicksPerDay + kTicksToDateTimeEpoch), in extended
// precision. A value whose tick count does not fit 64 bits (or NaN) raises
// "Invalid floating point operation".
std::int64_t DateTimeToTicks(TDateTime value);
// (ticks - kTicksToDateTimeEpoch) / kTicksPerDay, the difference signed: a
// tick count before 1899-12-30 gives the earlier, negative date-time.
TDateTime TicksToDateTime(std::int64_t ticks);

// Splits the FILETIME into calendar fields and builds the date-time;
// sub-millisecond digits are lost. A FILETIME the platform cannot split (the
// top bit set), a null pointer, or a date after 9999 raises "Invalid
// argument to date encode".
TDateTime FileTimeToDateTime(const FileTime* fileTime);
// False (the FILETIME untouched) when the value is outside the calendar,
// before 1601, or fileTime is null.
bool DateTimeToFileTime(TDateTime value, FileTime* fileTime);

// The local current date-time, read through the clock seam.
TDateTime Now();

// Minutes, UTC = local time + bias; 0 when the system cannot tell.
std::int32_t GetTimeZoneBias();
// "UTC", "UTC+03:00" for -180, "UTC-05:00" for 300.
std::string TimeZoneText(std::int32_t bias);

// Sets the local wall clock (through the clock seam). On failure raises
// kv::Exception with GetLastErrorText + " [" + error number + "]".
void SetSystemClock(TDateTime value);
// 1 default, 2 full, 3 limited (the clock may not be set), 0 or -1 when it
// cannot be read (through the clock seam).
std::int32_t GetElevationType();
// The calling thread's last system error: its number in `code`, its system
// message as the result (empty when the system has none).
std::string GetLastErrorText(std::uint32_t& code);

// Upper-case hex digits of count bytes, no separators; empty for a null
// pointer or count <= 0.
std::string BytesToHex(const void* bytes, std::int32_t count);

}  // namespace kv
