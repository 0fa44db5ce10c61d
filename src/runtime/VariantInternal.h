#pragma once
// Shared by the Variant units only (not part of the public interface): raw
// access to a Variant's stored value, the two conversion errors and the
// date-time text forms the coercion uses.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/FormatSettings.h"
#include "runtime/Variant.h"

namespace kv {

class VariantAccess {
 public:
  // Each for the kinds that hold one: Int for the integer kinds and the
  // boolean word, Real for float kinds and Date, Ansi and Wide for the two
  // texts, Elements and Low for arrays.
  static std::int64_t Int(const Variant& v) noexcept { return v.int_; }
  static double Real(const Variant& v) noexcept { return v.real_; }
  static std::string_view Ansi(const Variant& v) noexcept;
  static std::u16string_view Wide(const Variant& v) noexcept;
  static const std::vector<Variant>& Elements(const Variant& v) noexcept;
  static std::int32_t Low(const Variant& v) noexcept;
  // A Variant of `kind` holding exactly the given integer (integer kinds and
  // the boolean word) or real (float kinds and Date).
  static Variant MakeInt(std::uint16_t kind, std::int64_t value) noexcept;
  static Variant MakeReal(std::uint16_t kind, double value) noexcept;
  static Variant MakeArray(std::uint16_t elementKind, std::int32_t low,
                           std::vector<Variant> elements);
};

// "Could not convert variant of type (X) into type (Y)"
[[noreturn]] void ThrowCouldNotConvert(std::uint16_t from, std::uint16_t to);
// "Overflow while converting variant of type (X) into type (Y)"
[[noreturn]] void ThrowVariantOverflow(std::uint16_t from, std::uint16_t to);

// The text of a date-time: the short date pattern and the long time pattern,
// the time left out at midnight and the date left out on day 0. False when
// the value is not a date of the calendar.
bool TryDateToText(double value, const FormatSettings& settings, std::string& text);
// Parses a date with a year in the locale's order (or year-month-day), an
// optional time, or a time alone. False for anything else.
bool TryTextToDate(std::string_view text, const FormatSettings& settings, double& value);

}  // namespace kv
