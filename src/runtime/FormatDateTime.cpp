// The date-time half of Format.h: pattern letters to text.
#include <cctype>

#include "runtime/Exception.h"
#include "runtime/Format.h"
#include "runtime/FormatSettings.h"

namespace kv {
namespace {

constexpr std::string_view kDateEncodeError = "Invalid argument to date encode";

constexpr std::string_view kShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kLongMonths[12] = {"January",   "February", "March",    "April",
                                              "May",       "June",     "July",     "August",
                                              "September", "October",  "November", "December"};
constexpr std::string_view kShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view kLongDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                           "Thursday", "Friday", "Saturday"};

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != prefix[i]) return false;
  return true;
}

std::string Number(int value, int minDigits) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < minDigits)
    digits.insert(0, static_cast<std::size_t>(minDigits) - digits.size(), '0');
  return digits;
}

// True when the pattern shows AM/PM somewhere outside quotes, which turns
// the hour letters into a 12-hour clock.
bool HasAmPmMarker(std::string_view p) {
  for (std::size_t i = 0; i < p.size(); ++i) {
    char c = Lower(p[i]);
    if (p[i] == '\'' || p[i] == '"') {
      std::size_t end = p.find(p[i], i + 1);
      if (end == std::string_view::npos) return false;
      i = end;
    } else if (c == 't' || StartsWithNoCase(p.substr(i), "am/pm") ||
               StartsWithNoCase(p.substr(i), "a/p") || StartsWithNoCase(p.substr(i), "ampm")) {
      return true;
    }
  }
  return false;
}

class TDateTimeWriter {
 public:
  TDateTimeWriter(const DateTimeParts& parts, const FormatSettings& fs) : t_(parts), fs_(fs) {}

  // depth stops a pattern of the settings that names itself from recursing.
  void Write(std::string_view pattern, int depth) {
    bool twelveHour = HasAmPmMarker(pattern);
    bool afterHour = false;
    for (std::size_t i = 0; i < pattern.size();) {
      char raw = pattern[i];
      char c = Lower(raw);
      std::size_t run = RunLength(pattern, i);
      if (raw == '\'' || raw == '"') {
        std::size_t end = pattern.find(raw, i + 1);
        if (end == std::string_view::npos) end = pattern.size();
        out_ += pattern.substr(i + 1, end - i - 1);
        i = end + 1;
        continue;
      }
      if (c == 'a') {
        i += WriteAmPm(pattern.substr(i));
        afterHour = false;
        continue;
      }
      std::size_t used = WriteLetters(c, run, twelveHour, afterHour, depth);
      if (used == 0) {
        out_ += raw == '/' ? fs_.DateSeparator : raw == ':' ? fs_.TimeSeparator : raw;
        ++i;
        continue;
      }
      afterHour = c == 'h';
      i += used;
    }
  }

  std::string Take() { return std::move(out_); }

 private:
  static std::size_t RunLength(std::string_view p, std::size_t i) {
    std::size_t n = 1;
    while (i + n < p.size() && Lower(p[i + n]) == Lower(p[i])) ++n;
    return n;
  }

  // Writes one letter group; the number of letters used, 0 for no letter.
  std::size_t WriteLetters(char c, std::size_t run, bool twelveHour, bool afterHour, int depth) {
    switch (c) {
      case 'y':
        out_ += run <= 2 ? Number(t_.year % 100, 2) : Number(t_.year, 4);
        return run;
      case 'm':
        if (afterHour) return WriteTwo(t_.minute, run);
        return WriteMonth(run);
      case 'd':
        return WriteDay(run, depth);
      case 'h': {
        int hour = t_.hour;
        if (twelveHour) hour = hour % 12 == 0 ? 12 : hour % 12;
        return WriteTwo(hour, run);
      }
      case 'n':
        return WriteTwo(t_.minute, run);
      case 's':
        return WriteTwo(t_.second, run);
      case 'z':
        out_ += Number(t_.millisecond, run >= 3 ? 3 : 1);
        return run >= 3 ? 3 : 1;
      case 't': {
        const std::string& text = t_.hour < 12 ? fs_.TimeAMString : fs_.TimePMString;
        out_ += run >= 2 ? std::string_view(text) : std::string_view(text).substr(0, 1);
        return run >= 2 ? 2 : 1;
      }
      case 'c':
        WriteDefault(depth);
        return 1;
      default:
        return 0;
    }
  }

  std::size_t WriteTwo(int value, std::size_t run) {
    out_ += Number(value, run >= 2 ? 2 : 1);
    return run >= 2 ? 2 : 1;
  }

  std::size_t WriteMonth(std::size_t run) {
    if (run <= 2) return WriteTwo(t_.month, run);
    out_ += run == 3 ? kShortMonths[t_.month - 1] : kLongMonths[t_.month - 1];
    return run == 3 ? 3 : 4;
  }

  std::size_t WriteDay(std::size_t run, int depth) {
    if (run <= 2) return WriteTwo(t_.day, run);
    if (run == 3) out_ += kShortDays[t_.dayOfWeek - 1];
    if (run == 4) out_ += kLongDays[t_.dayOfWeek - 1];
    if (run >= 5 && depth == 0) Write(fs_.ShortDateFormat, depth + 1);
    return run < 6 ? run : 6;
  }

  void WriteDefault(int depth) {
    if (depth > 0) return;
    Write(fs_.ShortDateFormat, depth + 1);
    if (t_.hour == 0 && t_.minute == 0 && t_.second == 0 && t_.millisecond == 0) return;
    out_ += ' ';
    Write(fs_.LongTimeFormat, depth + 1);
  }

  // am/pm and a/p in the pattern's own case, ampm as the settings' texts;
  // a lone 'a' is copied. Returns the characters used.
  std::size_t WriteAmPm(std::string_view p) {
    bool pm = t_.hour >= 12;
    if (StartsWithNoCase(p, "am/pm")) {
      out_ += pm ? p.substr(3, 2) : p.substr(0, 2);
      return 5;
    }
    if (StartsWithNoCase(p, "a/p")) {
      out_ += pm ? p[2] : p[0];
      return 3;
    }
    if (StartsWithNoCase(p, "ampm")) {
      out_ += pm ? fs_.TimePMString : fs_.TimeAMString;
      return 4;
    }
    out_ += p[0];
    return 1;
  }

  const DateTimeParts& t_;
  const FormatSettings& fs_;
  std::string out_;
};

}  // namespace

std::string FormatDateTime(std::string_view pattern, TDateTime value) {
  DateTimeParts parts;
  if (!TryDecodeDateTime(value, parts)) throw Exception(kDateEncodeError);
  TDateTimeWriter writer(parts, CurrentFormatSettings());
  writer.Write(pattern.empty() ? std::string_view("c") : pattern, 0);
  return writer.Take();
}

std::string DateTimeToStr(TDateTime value) { return FormatDateTime("c", value); }

}  // namespace kv
