#pragma once
// The runtime's text formatting of one value: a printf-style integer format,
// the runtime's general Format with one floating-point argument, and the
// date-time patterns. All three read the regional settings of
// CurrentFormatSettings() (separators, AM/PM texts, date and time patterns)
// and keep no state of their own, so any thread may call them.
//
// A format that does not fit its argument raises kv::Exception
// "Format '<format>' invalid or incompatible with argument"; no directive
// ever reads an argument that is not there or has another type.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Calendar.h"

namespace kv {

// The longest integer text. A format's width can ask for any length; the
// cut keeps a value's text bounded, and the same on every build.
inline constexpr std::size_t kMaxIntegerTextLength = 99;

// printf rules with one 32-bit integer argument `word` (signed conversions
// read it as int32, unsigned ones as uint32; h and hh narrow it first).
// Accepted: flags - + space # 0, a width, a precision, the size prefixes h,
// hh, l and I32, and at most one conversion of d i u x X o c; %% is a
// percent sign. Anything else (%s, %f, %n, %lld, %*d, a second conversion, a
// lone % at the end) is refused. A format without a conversion gives its
// text. The result is cut at kMaxIntegerTextLength characters (and at a zero
// byte, as a C text would be).
std::string FormatInteger(std::string_view format, std::uint32_t word);

// The runtime's Format with one floating-point argument:
//   "%" [index ":"] ["-"] [width] ["." precision] letter
// f fixed (precision = decimals, default 2), n fixed with thousands
// separators, m like n (money; no currency sign is known to the settings),
// e scientific (precision = significant digits, default 15, "E" with sign and
// at least three exponent digits), g general (precision significant digits,
// default 15, trailing zeros dropped; fixed when the value is at least
// 0.00001 and has no more integer digits than the precision, else
// scientific with the exponent's sign only when negative). Letters in either
// case; width pads with spaces on the left, or on the right after "-".
// Digits come from 18 significant digits of the value rounded half away
// from zero; a precision above 18 counts as 18. NAN, INF and -INF for values
// without digits. An integer, text or pointer conversion, a "*" width, or a
// second conversion of the one argument, or an index other than 0 raises
// the format error.
std::string FormatFloat(std::string_view format, double value);

// Date-time patterns. Letters in either case:
//   yyyy (3 or more y) four-digit year, yy or y two-digit year;
//   m, mm month (1..12 / 01..12), mmm, mmmm English month name — but m and
//     mm are the minute when the last date-time letter before them was an
//     hour (so "hh:mm" and "H:mm:ss" show minutes, "dd.MM.yyyy" the month);
//   d, dd day; ddd, dddd English day name; ddddd, dddddd the short date
//     pattern;
//   h, hh hour 0..23, or 1..12 when the pattern holds an AM/PM marker;
//   n, nn minute; s, ss second; zzz milliseconds with three digits, z
//     without leading zeros;
//   tt the AM or PM text of the settings, t its first character (the
//     Windows meaning, as the settings' patterns use it); am/pm and a/p give
//     those letters in the pattern's case, ampm the settings' texts;
//   c the short date pattern, then a space and the long time pattern when
//     the time of day is not midnight;
//   : the time separator, / the date separator; text in single or double
//     quotes is copied without the quotes; every other character is copied.
// An empty pattern means "c".
// A value the calendar cannot split (not finite, outside years 1 to 9999)
// raises kv::Exception "Invalid argument to date encode".
std::string FormatDateTime(std::string_view pattern, TDateTime value);

// The default text of a date-time: FormatDateTime("c", value).
std::string DateTimeToStr(TDateTime value);

}  // namespace kv
