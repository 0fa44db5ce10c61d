#pragma once
// Texts for the client's log lines that must never fail the line: a log
// line is written whatever the value it shows.
#include <cstdint>
#include <string>

#include "channels/Channel.h"
#include "runtime/Calendar.h"
#include "runtime/Codepage.h"

namespace kv {

// A flag shown in a debug line.
inline constexpr auto kYes = "ДА"_cp;
inline constexpr auto kNo = "нет"_cp;

// The locale's date-and-time text; a value outside the calendar shows as its
// day count instead of failing the caller.
std::string SafeDateTimeText(TDateTime value);
// A channel's values as text for a log line; a value that cannot be shown
// gives the reason instead of failing the caller.
std::string SafeValuesText(const TChannel2& channel);
// Milliseconds from local to server time, truncated toward zero and held
// within the 32-bit range (a server clock years off must not overflow).
std::int32_t TimeDifferenceMs(TDateTime server, TDateTime local);

}  // namespace kv
