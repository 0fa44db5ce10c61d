#pragma once
// Calendar arithmetic for FILETIME values (100-ns ticks since 1601-01-01,
// proleptic Gregorian calendar), and the local "now" a host stamps its
// values with. The library takes and gives FILETIMEs without time-zone
// conversion, so the demo uses local time throughout, as a host that shows
// its operator local times would. Stateless, any thread.
#include <cstdint>
#include <string>

namespace kv::demo {

struct TCivilTime {
  int year = 1601;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

inline constexpr std::uint64_t kTicksPerMillisecond = 10000;
inline constexpr std::uint64_t kTicksPerDay = 864000000000ULL;

// Fields out of range are not checked: the caller passes a real time.
// A time before 1601 gives 0.
std::uint64_t TicksFromCivil(const TCivilTime& time);
// Fractions of a millisecond are dropped.
TCivilTime CivilFromTicks(std::uint64_t ticks);
// "2024-03-05 14:07:09.123".
std::string CivilText(const TCivilTime& time);
// An OLE date (days since 1899-12-30, the time of day as the fraction, also
// for negative dates) as text; "?" outside 1601..9999.
std::string OleDateText(double date);

// The local wall-clock time, in ticks.
std::uint64_t LocalNowTicks();

}  // namespace kv::demo
