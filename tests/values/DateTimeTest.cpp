#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/Clock.h"
#include "support/ManualClock.h"
#include "runtime/Exception.h"
#include "values/DateTime.h"

namespace kv {
namespace {

// "DateTimeFromISO8601(): неверная дата время: " in Windows-1251.
const std::string kBadIsoPrefix =
    "DateTimeFromISO8601(): \xED\xE5\xE2\xE5\xF0\xED\xE0\xFF \xE4\xE0\xF2\xE0 "
    "\xE2\xF0\xE5\xEC\xFF: ";

std::string FailureOf(std::string_view text) {
  try {
    DateTimeFromISO8601(text);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(accepted)";
}

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  DateTimeParts p;
  p.year = y, p.month = mo, p.day = d, p.hour = h, p.minute = mi, p.second = s, p.millisecond = ms;
  TDateTime v = 0;
  EXPECT_TRUE(TryEncodeDateTime(p, v));
  return v;
}

TEST(IsoText, WritesTwentyCharacters) {
  EXPECT_EQ(DateTimeToISO8601(0), "18991230T000000.0000");
  EXPECT_EQ(DateTimeToISO8601(At(2009, 3, 5, 14, 7, 9, 123)), "20090305T140709.1230");
  EXPECT_EQ(DateTimeToISO8601(At(1, 1, 1)), "00010101T000000.0000");
  EXPECT_EQ(DateTimeToISO8601(-1.25), "18991229T060000.0000");
}

// Every millisecond of two seconds around three midnights (one in the
// negative day numbers, the epoch itself, one ordinary) goes out and back.
TEST(IsoText, EveryMillisecondAroundMidnightsRoundTrips) {
  struct Day {
    int y, mo, d;
    int py, pmo, pd;
  };
  for (Day day : {Day{1899, 12, 29, 1899, 12, 28}, Day{1899, 12, 30, 1899, 12, 29},
                  Day{2009, 3, 1, 2009, 2, 28}}) {
    for (int ms = -1000; ms < 1000; ++ms) {
      bool before = ms < 0;
      int ofDay = before ? 86400000 + ms : ms;
      int h = ofDay / 3600000, mi = ofDay / 60000 % 60, s = ofDay / 1000 % 60, z = ofDay % 1000;
      int y = before ? day.py : day.y, mo = before ? day.pmo : day.mo, d = before ? day.pd : day.d;
      char expected[32];
      std::snprintf(expected, sizeof expected, "%04d%02d%02dT%02d%02d%02d.%03d0", y, mo, d, h, mi,
                    s, z);
      TDateTime value = At(y, mo, d, h, mi, s, z);
      ASSERT_EQ(DateTimeToISO8601(value), expected);
      ASSERT_EQ(DateTimeFromISO8601(expected), value) << expected;
    }
  }
}

TEST(IsoText, ReadsPrefixesAndIgnoresWhatFollows) {
  EXPECT_EQ(DateTimeFromISO8601("18991230T000000.0000"), 0.0);
  EXPECT_EQ(DateTimeFromISO8601("20090305"), At(2009, 3, 5));
  EXPECT_EQ(DateTimeFromISO8601("20090305T14"), At(2009, 3, 5, 14));
  EXPECT_EQ(DateTimeFromISO8601("20090305T1407"), At(2009, 3, 5, 14, 7));
  EXPECT_EQ(DateTimeFromISO8601("20090305X140709"), At(2009, 3, 5));
  EXPECT_EQ(DateTimeFromISO8601("20090305T140709.123"), At(2009, 3, 5, 14, 7, 9));
  EXPECT_EQ(DateTimeFromISO8601("20090305T140709.1239999"), At(2009, 3, 5, 14, 7, 9, 123));
  EXPECT_EQ(DateTimeFromISO8601("20090305T140709x1230"), At(2009, 3, 5, 14, 7, 9));
  EXPECT_EQ(DateTimeFromISO8601("18000101T060000.0000"), -36522.25);
}

TEST(IsoText, RefusesShortTextsWithItsOwnMessage) {
  EXPECT_EQ(FailureOf("12"), kBadIsoPrefix + "12");
  EXPECT_EQ(FailureOf(""), kBadIsoPrefix);
  EXPECT_EQ(FailureOf("abc"), kBadIsoPrefix + "abc");
}

TEST(IsoText, RefusesFieldsThatAreNotNumbers) {
  EXPECT_EQ(FailureOf("20X90305"), "'20X9' is not a valid integer value");
  EXPECT_EQ(FailureOf("200903xx"), "'xx' is not a valid integer value");
  EXPECT_EQ(FailureOf("20090305T1a"), "'1a' is not a valid integer value");
  EXPECT_EQ(FailureOf("20090305T140709.12x0"), "'12x' is not a valid integer value");
  EXPECT_EQ(FailureOf("2009 -05"), "' -' is not a valid integer value");
}

TEST(IsoText, RefusesImpossibleDatesAndTimes) {
  for (std::string_view text :
       {"2009", "20091", "200903", "2009030", "20090230", "20091305", "00000101", "2009-3-5"})
    EXPECT_EQ(FailureOf(text), "Invalid argument to date encode") << text;
  for (std::string_view text : {"20090305T24", "20090305T1460", "20090305T140760"})
    EXPECT_EQ(FailureOf(text), "Invalid argument to time encode") << text;
  EXPECT_THROW(DateTimeToISO8601(std::numeric_limits<double>::quiet_NaN()), Exception);
}

TEST(TickForm, FixedPointsOfTheFormula) {
  EXPECT_EQ(DateTimeToTicks(0), 94353120000000000);
  EXPECT_EQ(DateTimeToTicks(1.5), 94353120000000000 + 1296000000000);
  EXPECT_EQ(DateTimeToTicks(-109205), 0);
  EXPECT_EQ(TicksToDateTime(94353120000000000), 0.0);
  EXPECT_EQ(TicksToDateTime(94353120000000000 + 1296000000000), 1.5);
  EXPECT_EQ(TicksToDateTime(94353120000000000 - 216000000000), -0.25);
}

TEST(TickForm, TicksBeforeTheEpochGiveEarlierDatesNotWrappedOnes) {
  EXPECT_EQ(TicksToDateTime(0), -109205.0);
  TDateTime lowest = TicksToDateTime(std::numeric_limits<std::int64_t>::min());
  EXPECT_TRUE(std::isfinite(lowest));
  EXPECT_LT(lowest, -10000000.0);
}

TEST(TickForm, ValuesWithoutATickCountAreRefused) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), 1e300, -1e300,
                     std::numeric_limits<double>::infinity()}) {
    try {
      DateTimeToTicks(bad);
      ADD_FAILURE() << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Invalid floating point operation");
    }
  }
}

TEST(FileTimeForm, SplitsAndBuildsKnownInstants) {
  FileTime known{0xAC322930u, 0x01C99D9Bu};  // 2009-03-05 14:07:09.123
  EXPECT_EQ(FileTimeToDateTime(&known), At(2009, 3, 5, 14, 7, 9, 123));
  FileTime out;
  ASSERT_TRUE(DateTimeToFileTime(At(2009, 3, 5, 14, 7, 9, 123), &out));
  EXPECT_EQ(out.lowDateTime, 0xAC322930u);
  EXPECT_EQ(out.highDateTime, 0x01C99D9Bu);

  FileTime morning{0x20EDB000u, 0x00DF1ABFu};  // 1800-01-01 06:00, before the epoch
  EXPECT_EQ(FileTimeToDateTime(&morning), -36522.25);
  ASSERT_TRUE(DateTimeToFileTime(-36522.25, &out));
  EXPECT_EQ(out.lowDateTime, 0x20EDB000u);
  EXPECT_EQ(out.highDateTime, 0x00DF1ABFu);

  FileTime origin{0, 0};
  EXPECT_EQ(FileTimeToDateTime(&origin), -109205.0);
}

TEST(FileTimeForm, SubMillisecondDigitsAreLost) {
  FileTime fine{0xAC322930u + 9999u, 0x01C99D9Bu};
  EXPECT_EQ(FileTimeToDateTime(&fine), At(2009, 3, 5, 14, 7, 9, 123));
}

TEST(FileTimeForm, RefusesWhatTheCalendarCannotHold) {
  FileTime last{0xD1C018F0u, 0x24C85A5Eu};  // 9999-12-31 23:59:59.999
  EXPECT_EQ(FileTimeToDateTime(&last), At(9999, 12, 31, 23, 59, 59, 999));
  for (FileTime bad : {FileTime{0xD1C04000u, 0x24C85A5Eu},  // 10000-01-01
                       FileTime{0xFFFFFFFFu, 0x7FFFFFFFu},  // year 30828
                       FileTime{0, 0x80000000u}, FileTime{0xFFFFFFFFu, 0xFFFFFFFFu}}) {
    try {
      FileTimeToDateTime(&bad);
      ADD_FAILURE() << std::hex << bad.highDateTime << ' ' << bad.lowDateTime;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Invalid argument to date encode");
    }
  }
  EXPECT_THROW(FileTimeToDateTime(nullptr), Exception);
}

TEST(FileTimeForm, RefusesDateTimesItCannotWrite) {
  FileTime out{1, 2};
  EXPECT_FALSE(DateTimeToFileTime(At(1600, 12, 31, 23), &out));
  EXPECT_FALSE(DateTimeToFileTime(std::numeric_limits<double>::quiet_NaN(), &out));
  EXPECT_FALSE(DateTimeToFileTime(1e9, &out));
  EXPECT_EQ(out.lowDateTime, 1u);
  EXPECT_EQ(out.highDateTime, 2u);
  EXPECT_FALSE(DateTimeToFileTime(0, nullptr));
}

TEST(TimeZone, TextOfBias) {
  EXPECT_EQ(TimeZoneText(0), "UTC");
  EXPECT_EQ(TimeZoneText(-180), "UTC+03:00");
  EXPECT_EQ(TimeZoneText(-330), "UTC+05:30");
  EXPECT_EQ(TimeZoneText(300), "UTC-05:00");
  EXPECT_EQ(TimeZoneText(-1), "UTC+00:01");
  EXPECT_EQ(TimeZoneText(-765), "UTC+12:45");
  EXPECT_EQ(TimeZoneText(std::numeric_limits<std::int32_t>::min()), "UTC+35791394:08");
}

TEST(BytesHex, UpperCaseWithoutSeparators) {
  const unsigned char bytes[] = {0x01, 0xAB, 0x0F, 0xF0, 0x00};
  EXPECT_EQ(BytesToHex(bytes, 5), "01AB0FF000");
  EXPECT_EQ(BytesToHex(bytes + 2, 1), "0F");
  EXPECT_EQ(BytesToHex(bytes, 0), "");
  EXPECT_EQ(BytesToHex(bytes, -3), "");
  EXPECT_EQ(BytesToHex(nullptr, 4), "");
}

// Records what the code under test asks the clock to do.
class TRecordingClock : public platform::TClock {
 public:
  std::uint32_t TickCount() override { return 0; }
  platform::LocalTime Now() override { return now; }
  void Sleep(std::uint32_t) override {}
  bool SetLocalTime(const platform::LocalTime& time) override {
    set = time;
    return true;
  }
  std::int32_t ElevationType() override { return -1; }

  platform::LocalTime now, set;
};

TEST(ClockSetting, PassesEveryFieldWithTheDayOfWeek) {
  TRecordingClock clock;
  platform::TScopedTestClock scope(clock);
  SetSystemClock(At(2009, 3, 5, 14, 7, 9, 123));
  EXPECT_EQ(clock.set.year, 2009);
  EXPECT_EQ(clock.set.month, 3);
  EXPECT_EQ(clock.set.day, 5);
  EXPECT_EQ(clock.set.dayOfWeek, 4);  // Thursday
  EXPECT_EQ(clock.set.hour, 14);
  EXPECT_EQ(clock.set.minute, 7);
  EXPECT_EQ(clock.set.second, 9);
  EXPECT_EQ(clock.set.millisecond, 123);
  EXPECT_EQ(GetElevationType(), -1);
}

TEST(ClockSetting, FailureRaisesTheSystemTextAndNumber) {
  platform::TManualClock clock;
  platform::TScopedTestClock scope(clock);
  const std::uint32_t code = platform::InvalidParameterError();
  clock.FailSetLocalTime(code);
  try {
    SetSystemClock(At(2009, 3, 5));
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), platform::SystemErrorText(code) + " [" + std::to_string(code) + "]");
  }
  clock.FailSetLocalTime(0);
  EXPECT_THROW(SetSystemClock(std::numeric_limits<double>::quiet_NaN()), Exception);
  EXPECT_EQ(clock.SetLocalTimeCalls(), 0u);
  SetSystemClock(At(2010, 1, 2, 3, 4, 5, 6));
  EXPECT_EQ(Now(), At(2010, 1, 2, 3, 4, 5, 6));
}

TEST(ClockSetting, ElevationAndNowComeThroughTheSeam) {
  platform::LocalTime start;
  start.year = 1899, start.month = 12, start.day = 29, start.hour = 18;
  platform::TManualClock clock(0, start);
  platform::TScopedTestClock scope(clock);
  EXPECT_EQ(Now(), -1.75);
  clock.SetElevationType(platform::kElevationLimited);
  EXPECT_EQ(GetElevationType(), 3);
}

TEST(SystemErrorText, GivesTheNumberAndItsMessage) {
  platform::SetLastSystemError(platform::InvalidParameterError());
  std::uint32_t code = 0;
  std::string text = GetLastErrorText(code);
  EXPECT_EQ(code, platform::InvalidParameterError());
  EXPECT_EQ(text, platform::SystemErrorText(code));
  EXPECT_FALSE(text.empty());
}

}  // namespace
}  // namespace kv
