#include <gtest/gtest.h>

#include <cmath>

#include "HostTime.h"
#include "HostVariant.h"

namespace kv::demo {
namespace {

TEST(HostTimeTicks, KnownInstants) {
  EXPECT_EQ(TicksFromCivil({1601, 1, 1, 0, 0, 0, 0}), 0u);
  EXPECT_EQ(TicksFromCivil({1970, 1, 1, 0, 0, 0, 0}), 116444736000000000ULL);
  EXPECT_EQ(TicksFromCivil({2000, 2, 29, 12, 34, 56, 789}), 125963012967890000ULL);
  EXPECT_EQ(TicksFromCivil({2100, 3, 1, 0, 0, 0, 0}), 157520160000000000ULL);
  EXPECT_EQ(TicksFromCivil({9999, 12, 31, 23, 59, 59, 999}), 2650467743999990000ULL);
  EXPECT_EQ(TicksFromCivil({1600, 12, 31, 23, 59, 59, 999}), 0u);
}

TEST(HostTimeTicks, CivilFieldsComeBackAcrossLeapRules) {
  const TCivilTime samples[] = {{2000, 2, 29, 23, 59, 59, 999}, {2100, 2, 28, 0, 0, 0, 1},
                                {1900, 3, 1, 6, 7, 8, 9},       {2024, 12, 31, 12, 0, 0, 0},
                                {1601, 1, 1, 0, 0, 0, 0},       {9999, 12, 31, 23, 59, 59, 999}};
  for (const TCivilTime& t : samples)
    EXPECT_EQ(CivilText(CivilFromTicks(TicksFromCivil(t))), CivilText(t));
  // 2100 is no leap year: the day after 28 February is 1 March.
  EXPECT_EQ(CivilText(CivilFromTicks(TicksFromCivil({2100, 2, 28, 0, 0, 0, 0}) + kTicksPerDay)),
            "2100-03-01 00:00:00.000");
}

TEST(HostTimeTicks, FractionsOfAMillisecondAreDropped) {
  const std::uint64_t second = TicksFromCivil({2024, 3, 5, 14, 7, 9, 0});
  EXPECT_EQ(CivilText(CivilFromTicks(second + 1234567)), "2024-03-05 14:07:09.123");
  EXPECT_EQ(CivilText(CivilFromTicks(second + 9999)), "2024-03-05 14:07:09.000");
}

TEST(HostTimeFileTime, HalvesAreLowFirst) {
  const FILETIME time = FileTimeFromTicks(0x0123456789ABCDEFULL);
  EXPECT_EQ(time.dwLowDateTime, 0x89ABCDEFu);
  EXPECT_EQ(time.dwHighDateTime, 0x01234567u);
  EXPECT_EQ(TicksFromFileTime(time), 0x0123456789ABCDEFULL);
  EXPECT_EQ(FileTimeText(FileTimeFromTicks(116444736000000000ULL)), "1970-01-01 00:00:00.000");
}

TEST(HostTimeOleDate, DayZeroNegativeDatesAndRange) {
  EXPECT_EQ(OleDateText(0), "1899-12-30 00:00:00.000");
  EXPECT_EQ(OleDateText(45000.5), "2023-03-15 12:00:00.000");
  // Negative dates count days back, the fraction still runs forward.
  EXPECT_EQ(OleDateText(-1.25), "1899-12-29 06:00:00.000");
  EXPECT_EQ(OleDateText(-109205.0), "1601-01-01 00:00:00.000");
  EXPECT_EQ(OleDateText(-109205.5), "1601-01-01 12:00:00.000");
  EXPECT_EQ(OleDateText(-109206.0), "?");
  EXPECT_EQ(OleDateText(2958466.0), "?");
  EXPECT_EQ(OleDateText(std::nan("")), "?");
}

TEST(HostTimeNow, LocalNowIsARecentDate) {
  const TCivilTime now = CivilFromTicks(LocalNowTicks());
  EXPECT_GE(now.year, 2020);
  EXPECT_LT(now.year, 2200);
}

}  // namespace
}  // namespace kv::demo
