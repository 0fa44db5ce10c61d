// Date-time texts of the variant coercion, in the Windows pattern letters of
// the regional settings (d dd M MM y yy yyyy, h hh H HH m mm s ss t tt,
// 'quoted' literals; any other character stands for itself).
#include <cmath>
#include <string>

#include "runtime/Calendar.h"
#include "runtime/Codepage.h"
#include "runtime/VariantInternal.h"

namespace kv {
namespace {

constexpr int kSecondsPerDay = 86400;

struct Clock {
  int hour = 0, minute = 0, second = 0;
};

void AppendNumber(std::string& out, int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
  out += digits;
}

// Length of the run of `c` starting at i.
std::size_t RunLength(std::string_view pattern, std::size_t i) {
  std::size_t n = 1;
  while (i + n < pattern.size() && pattern[i + n] == pattern[i]) ++n;
  return n;
}

void AppendField(std::string& out, char letter, std::size_t count, const DateTimeParts& date,
                 const Clock& clock, const FormatSettings& settings) {
  int width = count >= 2 ? 2 : 1;
  switch (letter) {
    case 'd':
      AppendNumber(out, date.day, width);
      break;
    case 'M':
      AppendNumber(out, date.month, width);
      break;
    case 'y':
      if (count <= 2)
        AppendNumber(out, date.year % 100, width);
      else
        AppendNumber(out, date.year, 4);
      break;
    case 'H':
      AppendNumber(out, clock.hour, width);
      break;
    case 'h':
      AppendNumber(out, clock.hour % 12 == 0 ? 12 : clock.hour % 12, width);
      break;
    case 'm':
      AppendNumber(out, clock.minute, width);
      break;
    case 's':
      AppendNumber(out, clock.second, width);
      break;
    case 't': {
      const std::string& marker = clock.hour < 12 ? settings.TimeAMString : settings.TimePMString;
      out += count >= 2 ? marker : marker.substr(0, 1);
      break;
    }
    default:
      out.append(count, letter);
  }
}

std::string ApplyPattern(std::string_view pattern, const DateTimeParts& date, const Clock& clock,
                         const FormatSettings& settings) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size();) {
    if (pattern[i] == '\'') {
      std::size_t end = pattern.find('\'', i + 1);
      if (end == std::string_view::npos) end = pattern.size();
      out.append(pattern.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    std::size_t n = RunLength(pattern, i);
    AppendField(out, pattern[i], n, date, clock, settings);
    i += n;
  }
  // A pattern whose AM/PM marker is empty would leave a trailing space.
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

bool TryDateToText(double value, const FormatSettings& settings, std::string& text) {
  if (!std::isfinite(value)) return false;
  double day = std::trunc(value);
  if (day < kMinDateTimeDay || day > kMaxDateTimeDay) return false;
  // Negative dates keep the time of day as a positive fraction.
  auto seconds = static_cast<long long>(std::nearbyint(std::fabs(value - day) * kSecondsPerDay));
  if (seconds >= kSecondsPerDay) {
    if (day + 1 <= kMaxDateTimeDay) {
      day += 1;
      seconds = 0;
    } else {
      seconds = kSecondsPerDay - 1;
    }
  }
  DateTimeParts date;
  if (!TryDecodeDateTime(day, date)) return false;
  Clock clock{static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
              static_cast<int>(seconds % 60)};
  bool showDate = day != 0;
  bool showTime = seconds != 0 || !showDate;
  text.clear();
  if (showDate) text = ApplyPattern(settings.ShortDateFormat, date, clock, settings);
  if (showDate && showTime) text += ' ';
  if (showTime) text += ApplyPattern(settings.LongTimeFormat, date, clock, settings);
  return true;
}

namespace {

class DateScanner {
 public:
  DateScanner(std::string_view text, const FormatSettings& settings)
      : text_(text), settings_(settings) {}

  bool Parse(double& value) {
    SkipSpaces();
    int first = 0, firstDigits = 0;
    if (!ReadNumber(first, firstDigits)) return false;
    DateTimeParts parts;
    parts.year = 1899, parts.month = 12, parts.day = 30;
    if (IsTimeSeparator(Peek())) {
      if (!ParseTime(first, parts)) return false;
    } else {
      if (!ParseDate(first, firstDigits, parts)) return false;
      SkipSpaces();
      int hour = 0, digits = 0;
      if (!AtEnd() && (!ReadNumber(hour, digits) || !ParseTime(hour, parts))) return false;
    }
    SkipSpaces();
    return AtEnd() && TryEncodeDateTime(parts, value);
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void SkipSpaces() {
    while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  bool IsTimeSeparator(char c) const {
    return c != '\0' && (c == ':' || c == settings_.TimeSeparator);
  }
  bool IsDateSeparator(char c) const {
    return c != '\0' && (c == settings_.DateSeparator || c == '/' || c == '-');
  }

  bool ReadNumber(int& value, int& digits) {
    value = 0;
    digits = 0;
    while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9' && digits < 9) {
      value = value * 10 + (text_[pos_++] - '0');
      ++digits;
    }
    return digits > 0;
  }

  // Three numbers with one separator; the year is required, since a date
  // without one would depend on today's date.
  bool ParseDate(int first, int firstDigits, DateTimeParts& parts) {
    char separator = Peek();
    if (!IsDateSeparator(separator)) return false;
    ++pos_;
    int second = 0, third = 0, digits = 0, thirdDigits = 0;
    if (!ReadNumber(second, digits) || Peek() != separator) return false;
    ++pos_;
    if (!ReadNumber(third, thirdDigits)) return false;
    if (firstDigits >= 3) {
      parts.year = first, parts.month = second, parts.day = third;
      return true;
    }
    AssignInLocaleOrder(first, second, third, parts);
    if (thirdDigits <= 2 && parts.year == third) parts.year += third < 30 ? 2000 : 1900;
    return true;
  }

  void AssignInLocaleOrder(int a, int b, int c, DateTimeParts& parts) const {
    const std::string& pattern = settings_.ShortDateFormat;
    std::size_t d = pattern.find('d'), m = pattern.find('M'), y = pattern.find('y');
    int values[3] = {a, b, c};
    // Rank of each field by its position in the pattern.
    auto rank = [&](std::size_t p) {
      return static_cast<int>(p > d) + static_cast<int>(p > m) + static_cast<int>(p > y);
    };
    if (d == std::string::npos || m == std::string::npos || y == std::string::npos) {
      parts.month = a, parts.day = b, parts.year = c;
      return;
    }
    parts.day = values[rank(d)];
    parts.month = values[rank(m)];
    parts.year = values[rank(y)];
  }

  bool ParseTime(int hour, DateTimeParts& parts) {
    int minute = 0, second = 0, digits = 0;
    if (!IsTimeSeparator(Peek())) return false;
    ++pos_;
    if (!ReadNumber(minute, digits)) return false;
    if (IsTimeSeparator(Peek())) {
      ++pos_;
      if (!ReadNumber(second, digits)) return false;
    }
    SkipSpaces();
    int marker = ReadMarker();
    if (marker != 0) {
      if (hour < 1 || hour > 12) return false;
      hour = hour % 12 + (marker > 0 ? 12 : 0);
    }
    parts.hour = hour, parts.minute = minute, parts.second = second;
    return hour < 24 && minute < 60 && second < 60;
  }

  // -1 for AM, +1 for PM, 0 for neither.
  int ReadMarker() {
    const std::string* markers[] = {&settings_.TimeAMString, &settings_.TimePMString};
    static const std::string kLatin[] = {"AM", "PM"};
    for (int k = 0; k < 2; ++k) {
      for (const std::string* word : {markers[k], &kLatin[k]}) {
        if (word->empty() || text_.size() - pos_ < word->size()) continue;
        if (AnsiUpper(text_.substr(pos_, word->size())) == AnsiUpper(*word)) {
          pos_ += word->size();
          return k == 0 ? -1 : 1;
        }
      }
    }
    return 0;
  }

  std::string_view text_;
  const FormatSettings& settings_;
  std::size_t pos_ = 0;
};

}  // namespace

bool TryTextToDate(std::string_view text, const FormatSettings& settings, double& value) {
  return DateScanner(text, settings).Parse(value);
}

}  // namespace kv
