#include <gtest/gtest.h>

#include <cmath>

#include "runtime/Calendar.h"
#include "runtime/Exception.h"

namespace kv {
namespace {

TEST(CalendarEncode, KnownDays) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(2009, 3, 5), 39877.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), kMinDateTimeDay);
  EXPECT_EQ(EncodeDate(9999, 12, 31), kMaxDateTimeDay);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
}

TEST(CalendarEncode, RefusesImpossibleDatesAndTimes) {
  TDateTime r = 42;
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, r));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, r));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1, r));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, r));
  EXPECT_EQ(r, 42);
  try {
    EncodeDate(2001, 2, 29);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invalid argument to date encode");
  }
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), Exception);
}

TEST(CalendarDecode, RoundTripsDaysAcrossTheWholeRange) {
  for (int day = kMinDateTimeDay; day <= kMaxDateTimeDay; day += 97) {
    DateTimeParts p;
    ASSERT_TRUE(TryDecodeDateTime(day, p)) << day;
    TDateTime back;
    ASSERT_TRUE(TryEncodeDate(p.year, p.month, p.day, back));
    EXPECT_EQ(back, day);
  }
}

TEST(CalendarDecode, TimeBeforeTheEpochCountsFromMidnight) {
  DateTimeParts p;
  ASSERT_TRUE(TryDecodeDateTime(-1.25, p));
  EXPECT_EQ(p.year, 1899);
  EXPECT_EQ(p.month, 12);
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 6);
  DateTimeParts q{2009, 3, 5, 14, 7, 9, 5};
  TDateTime v;
  ASSERT_TRUE(TryEncodeDateTime(q, v));
  ASSERT_TRUE(TryDecodeDateTime(v, p));
  EXPECT_EQ(p.millisecond, 5);
  EXPECT_EQ(p.dayOfWeek, 5);  // a Thursday
}

TEST(CalendarDecode, RefusesValuesOutsideTheCalendar) {
  DateTimeParts p;
  EXPECT_FALSE(TryDecodeDateTime(kMaxDateTimeDay + 1.0, p));
  EXPECT_FALSE(TryDecodeDateTime(kMinDateTimeDay - 1.0, p));
  EXPECT_FALSE(TryDecodeDateTime(1e300, p));
  EXPECT_FALSE(TryDecodeDateTime(std::nan(""), p));
}

}  // namespace
}  // namespace kv
