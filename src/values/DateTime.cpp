#include "values/DateTime.h"

#include <cmath>

#include "platform/Clock.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Format.h"

namespace kv {
namespace {

constexpr std::string_view kIsoPattern = "yyyymmdd'T'hhnnss.zzz";
constexpr std::string_view kIsoBadText = "DateTimeFromISO8601(): неверная дата время: "_cp;
constexpr std::string_view kDateEncodeError = "Invalid argument to date encode";
constexpr std::string_view kInvalidFloatOperation = "Invalid floating point operation";

// Days from 1601-01-01 to the runtime's day 0 (1899-12-30).
constexpr std::int64_t kFileTimeEpochDays = kTicksToDateTimeEpoch / kTicksPerDay;
constexpr std::int64_t kTicksPerMillisecond = 10000;

Exception NotAnInteger(std::string_view field) {
  std::string text = "'";
  text += field;
  text += "' is not a valid integer value";
  return Exception(std::move(text));
}

// The runtime's decimal text-to-integer conversion of one field: optional
// leading spaces and sign, then decimal digits only. The field is at most
// four characters, so the value fits easily.
std::uint16_t ReadField(std::string_view field) {
  std::size_t i = field.find_first_not_of(' ');
  if (i == std::string_view::npos) throw NotAnInteger(field);
  bool negative = field[i] == '-';
  if (field[i] == '-' || field[i] == '+') ++i;
  if (i == field.size()) throw NotAnInteger(field);
  int value = 0;
  for (; i < field.size(); ++i) {
    if (field[i] < '0' || field[i] > '9') throw NotAnInteger(field);
    value = value * 10 + (field[i] - '0');
  }
  // Stored as an unsigned 16-bit number: a negative field wraps and then
  // fails the calendar check.
  return static_cast<std::uint16_t>(negative ? -value : value);
}

// Characters from..to, counted from 1 as the format is described.
std::string_view Chars(std::string_view text, std::size_t from, std::size_t to) {
  return text.substr(from - 1, to - from + 1);
}

TDateTime Combine(TDateTime date, TDateTime time) {
  // Before the epoch the time of day counts away from zero, as the calendar
  // decodes it.
  return date < 0 ? date - time : date + time;
}

std::string TwoDigits(std::int64_t value) {
  std::string digits = std::to_string(value);
  return digits.size() < 2 ? "0" + digits : digits;
}

}  // namespace

std::string DateTimeToISO8601(TDateTime value) { return FormatDateTime(kIsoPattern, value) + "0"; }

TDateTime DateTimeFromISO8601(std::string_view text) {
  const std::size_t length = text.size();
  if (length < 4) throw Exception(std::string(kIsoBadText) + std::string(text));
  std::uint16_t year = ReadField(Chars(text, 1, 4));
  std::uint16_t month = length >= 6 ? ReadField(Chars(text, 5, 6)) : 0;
  std::uint16_t day = length >= 8 ? ReadField(Chars(text, 7, 8)) : 0;
  std::uint16_t hour = 0, minute = 0, second = 0, msec = 0;
  if (length >= 11 && text[8] == 'T') {
    hour = ReadField(Chars(text, 10, 11));
    if (length >= 13) minute = ReadField(Chars(text, 12, 13));
    if (length >= 15) second = ReadField(Chars(text, 14, 15));
    if (length >= 20 && text[15] == '.') msec = ReadField(Chars(text, 17, 19));
  }
  TDateTime date = EncodeDate(year, month, day);
  TDateTime time = EncodeTime(hour, minute, second, msec);
  return Combine(date, time);
}

std::int64_t DateTimeToTicks(TDateTime value) {
  long double ticks = std::trunc(static_cast<long double>(value) * kTicksPerDay +
                                 static_cast<long double>(kTicksToDateTimeEpoch));
  // NaN fails both comparisons.
  if (!(ticks >= -0x1p63L && ticks < 0x1p63L)) throw Exception(kInvalidFloatOperation);
  return static_cast<std::int64_t>(ticks);
}

TDateTime TicksToDateTime(std::int64_t ticks) {
  long double difference = static_cast<long double>(ticks) - kTicksToDateTimeEpoch;
  return static_cast<TDateTime>(difference / kTicksPerDay);
}

TDateTime FileTimeToDateTime(const FileTime* fileTime) {
  if (fileTime == nullptr) throw Exception(kDateEncodeError);
  std::uint64_t value = (std::uint64_t{fileTime->highDateTime} << 32) | fileTime->lowDateTime;
  if (value > static_cast<std::uint64_t>(INT64_MAX)) throw Exception(kDateEncodeError);
  auto days = static_cast<std::int64_t>(value / kTicksPerDay) - kFileTimeEpochDays;
  auto msOfDay = static_cast<std::int64_t>(value % kTicksPerDay / kTicksPerMillisecond);
  if (days > kMaxDateTimeDay) throw Exception(kDateEncodeError);
  return Combine(static_cast<TDateTime>(days), static_cast<TDateTime>(msOfDay) / kMSecsPerDay);
}

bool DateTimeToFileTime(TDateTime value, FileTime* fileTime) {
  DateTimeParts parts;
  TDateTime date;
  if (fileTime == nullptr || !TryDecodeDateTime(value, parts) || parts.year < 1601 ||
      !TryEncodeDate(parts.year, parts.month, parts.day, date))
    return false;
  std::int64_t days = static_cast<std::int64_t>(date) + kFileTimeEpochDays;
  std::int64_t ms =
      ((parts.hour * 60LL + parts.minute) * 60 + parts.second) * 1000 + parts.millisecond;
  auto ticks = static_cast<std::uint64_t>(days * kTicksPerDay + ms * kTicksPerMillisecond);
  fileTime->lowDateTime = static_cast<std::uint32_t>(ticks);
  fileTime->highDateTime = static_cast<std::uint32_t>(ticks >> 32);
  return true;
}

TDateTime Now() {
  platform::LocalTime t = platform::LocalNow();
  DateTimeParts parts;
  parts.year = t.year;
  parts.month = t.month;
  parts.day = t.day;
  parts.hour = t.hour;
  parts.minute = t.minute;
  parts.second = t.second;
  parts.millisecond = t.millisecond;
  TDateTime result;
  if (!TryEncodeDateTime(parts, result)) throw Exception(kDateEncodeError);
  return result;
}

std::int32_t GetTimeZoneBias() { return platform::SystemTimeZoneBias(); }

std::string TimeZoneText(std::int32_t bias) {
  if (bias == 0) return "UTC";
  std::int64_t minutes = bias;
  std::string sign = minutes < 0 ? "+" : "-";  // east of UTC is a negative bias
  if (minutes < 0) minutes = -minutes;
  return "UTC" + sign + TwoDigits(minutes / 60) + ":" + TwoDigits(minutes % 60);
}

void SetSystemClock(TDateTime value) {
  DateTimeParts parts;
  platform::LocalTime t;
  if (TryDecodeDateTime(value, parts)) {
    t.year = parts.year;
    t.month = parts.month;
    t.dayOfWeek = parts.dayOfWeek - 1;
    t.day = parts.day;
    t.hour = parts.hour;
    t.minute = parts.minute;
    t.second = parts.second;
    t.millisecond = parts.millisecond;
  } else {
    t.month = 0;  // a time the platform refuses, with its own error
  }
  if (platform::Clock().SetLocalTime(t)) return;
  std::uint32_t code = 0;
  std::string text = GetLastErrorText(code);
  throw Exception(text + " [" + std::to_string(code) + "]");
}

std::int32_t GetElevationType() { return platform::Clock().ElevationType(); }

std::string GetLastErrorText(std::uint32_t& code) {
  code = platform::LastSystemError();
  return platform::SystemErrorText(code);
}

std::string BytesToHex(const void* bytes, std::int32_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (bytes == nullptr || count <= 0) return {};
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string text;
  text.reserve(static_cast<std::size_t>(count) * 2);
  for (std::int32_t i = 0; i < count; ++i) {
    text += kDigits[p[i] >> 4];
    text += kDigits[p[i] & 0x0F];
  }
  return text;
}

}  // namespace kv
