#pragma once
// Number texts as the runtime's variant coercion prints and parses them:
// locale decimal separator, no grouping on output; spaces around, a sign,
// thousands separators, an exponent and &H/&O radix prefixes on input.
#include <string>
#include <string_view>

#include "runtime/FormatSettings.h"

namespace kv {

// Like printf's %.<digits>G: at most `digits` significant digits, trailing
// zeros dropped, exponent form (1E+16, 1.5E-05) when the exponent is below
// -4 or not below `digits`; the decimal point is `decimalSeparator`.
// Non-finite values print as NAN, INF, -INF.
std::string FloatToText(double value, int digits, char decimalSeparator);

// Parses a Windows-1251 number text. False when the text is not a number.
// The thousands separator may stand anywhere between the digits before the
// decimal separator; with a no-break space as thousands separator a plain
// space is taken as well.
bool TryTextToNumber(std::string_view text, const FormatSettings& settings, double& value);

}  // namespace kv
