#pragma once
// Value texts as an integrator types them into commands and scripts, read
// the same in every locale: '.' is always the decimal point and nothing else
// is taken for one ("12,5" is refused, never read as 125 or 12.5). Texts are
// Windows-1251; error texts are English and quote the input.
//
//   integers      -3, +7, 1e3 (whole numbers only, within the type's range)
//   Float4/8      12.5, -1e-3, inf, nan
//   Boolean       true false 1 0 on off yes no (any case)
//   Date          now, 2024-03-05, 2024-03-05 14:07, 2024-03-05T14:07:09.123,
//                 20240305T140709.123 (local time)
//   String        the text as it is
//   arrays        [1.5, 2, 3] (elements of the element type; "a, b" quoted
//                 where an element holds a comma)
//
// No state: any thread.
#include <cstdint>
#include <string>

#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv::sim {

// A value of data type `type`; false with `error` when the text is not one.
bool ParseValue(const std::string& text, std::uint16_t type, Variant& value, std::string& error);
bool ParseDateTime(const std::string& text, TDateTime& value, std::string& error);
// A data type by its name ("Float8", "array of Int4", "Int4[]"; any case) or
// its code.
bool ParseDataType(const std::string& text, std::uint16_t& type);
// A whole number in [low, high].
bool ParseWhole(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& value);

// Whether a received value of data type `type` equals the expected one:
// numbers by value in that type (a Float4 as a float), texts exactly,
// booleans by truth, date-times to the millisecond, arrays element by
// element.
bool SameValue(const Variant& got, const Variant& expected, std::uint16_t type);

}  // namespace kv::sim
