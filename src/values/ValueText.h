#pragma once
// The texts by which channel values and channel state are shown: quality and
// signification codes, the format text of each data type, and one scalar
// value formatted with a format text. Windows-1251 texts; no state, any
// thread (they read the regional settings snapshot, which is fixed while
// the library runs).
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Variant.h"

namespace kv {

// "ОК", "Выключен", ... for 0..8; "Quality=<code>" beyond.
std::string QualityToText(std::uint8_t quality);
// The 17 names of codes 0..16; the decimal number beyond.
std::string SignificationToText(std::uint16_t signification);

// Format texts by data type (code & 0x0FFF): "%d"/"%u" for the integers,
// "%.1f" / "%.2f" for the floats, the settings' short date and long time
// patterns joined by a space for Date, "%d" for Boolean, empty otherwise.
std::string DefaultValueFormat(std::uint16_t code);
// As above, but "%g" for the floats, "yyyy-mm-dd hh:nn:ss.z" for Date and
// empty for Boolean: independent of the settings' patterns.
std::string PlainValueFormat(std::uint16_t code);

// One scalar (an array's caller passes each element with the element type).
// By code & 0x0FFF: Empty gives the format itself; the integer types convert
// the value to their kind and apply FormatInteger (see runtime/Format.h: the
// format is refused unless its one conversion takes an integer; the text
// never exceeds 99 characters); the float types convert to binary32 or
// binary64 and apply FormatFloat; Date applies FormatDateTime; Boolean gives
// "да" or "нет" and String the value as text, both ignoring the format. Any
// other code gives "неверный тип " + the whole code in decimal.
// Raises the value's conversion errors and the format errors.
std::string FormatValue(std::uint16_t code, std::string_view format, const Variant& value);

}  // namespace kv
