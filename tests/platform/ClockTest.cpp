#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "platform/Clock.h"
#include "support/ManualClock.h"

namespace kv::platform {
namespace {

LocalTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  LocalTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  t.millisecond = ms;
  return t;
}

void ExpectSameTime(const LocalTime& expected, const LocalTime& actual) {
  EXPECT_EQ(expected.year, actual.year);
  EXPECT_EQ(expected.month, actual.month);
  EXPECT_EQ(expected.day, actual.day);
  EXPECT_EQ(expected.hour, actual.hour);
  EXPECT_EQ(expected.minute, actual.minute);
  EXPECT_EQ(expected.second, actual.second);
  EXPECT_EQ(expected.millisecond, actual.millisecond);
}

TEST(ClockSeam, InstalledClockServesEveryShorthandAndIsRemovedAgain) {
  TManualClock manual(1000, At(2024, 5, 6, 7, 8, 9, 10));
  EXPECT_EQ(&Clock(), &SystemClock());
  {
    TScopedTestClock scope(manual);
    EXPECT_EQ(&Clock(), &manual);
    EXPECT_EQ(TickCount(), 1000u);
    SleepMs(250);
    EXPECT_EQ(TickCount(), 1250u);
    ExpectSameTime(At(2024, 5, 6, 7, 8, 9, 260), LocalNow());
  }
  EXPECT_EQ(&Clock(), &SystemClock());
}

TEST(ClockSeam, NestedInstallationsRestoreInOrder) {
  TManualClock outer, inner;
  TScopedTestClock a(outer);
  {
    TScopedTestClock b(inner);
    EXPECT_EQ(&Clock(), &inner);
  }
  EXPECT_EQ(&Clock(), &outer);
  EXPECT_EQ(SetClockForTesting(nullptr), &outer);
  EXPECT_EQ(&Clock(), &SystemClock());
  SetClockForTesting(&outer);  // for the scope's destructor to take it out again
}

TEST(ManualClockTime, SleepAdvancesTicksAndNowTogether) {
  TManualClock clock(0, At(2023, 12, 31, 23, 59, 59, 999));
  clock.Sleep(1);
  EXPECT_EQ(clock.TickCount(), 1u);
  LocalTime now = clock.Now();
  ExpectSameTime(At(2024, 1, 1), now);
  EXPECT_EQ(now.dayOfWeek, 1);  // a Monday
  EXPECT_EQ(clock.SleepCalls(), 1u);
  EXPECT_EQ(clock.Elapsed(), 1u);
}

TEST(ManualClockTime, TicksWrapAt32BitsWhileElapsedKeepsCounting) {
  TManualClock clock(4294967040u, At(2000, 1, 1));
  clock.Advance(512);
  EXPECT_EQ(clock.TickCount(), 256u);
  EXPECT_EQ(clock.Elapsed(), 512u);
  clock.Advance(std::uint64_t{1} << 32);
  EXPECT_EQ(clock.TickCount(), 256u);
  EXPECT_EQ(clock.Elapsed(), 512u + (std::uint64_t{1} << 32));
  // 2^32 + 512 ms is 49 days 17:02:47.808 after midnight.
  ExpectSameTime(At(2000, 2, 19, 17, 2, 47, 808), clock.Now());
}

TEST(ManualClockTime, FrozenClockOnlyMovesWhenAdvanced) {
  TManualClock clock;
  clock.SetAutoAdvance(false);
  clock.Sleep(60000);
  EXPECT_EQ(clock.TickCount(), 0u);
  EXPECT_EQ(clock.SleepCalls(), 1u);
  clock.Advance(60001);
  EXPECT_EQ(clock.TickCount(), 60001u);
}

TEST(ManualClockTime, SettingTheLocalTimeLeavesTheTicks) {
  TManualClock clock(77, At(2000, 1, 1));
  ASSERT_TRUE(clock.SetLocalTime(At(2010, 6, 15, 12, 0, 0, 5)));
  EXPECT_EQ(clock.TickCount(), 77u);
  ExpectSameTime(At(2010, 6, 15, 12, 0, 0, 5), clock.Now());
  EXPECT_EQ(clock.SetLocalTimeCalls(), 1u);
}

TEST(ManualClockTime, SettingFailuresLeaveTheErrorAndTheTime) {
  TManualClock clock(0, At(2000, 1, 1));
  SetLastSystemError(0);
  EXPECT_FALSE(clock.SetLocalTime(At(2001, 2, 29)));  // no such day
  EXPECT_EQ(LastSystemError(), InvalidParameterError());
  clock.FailSetLocalTime(1314);
  EXPECT_FALSE(clock.SetLocalTime(At(2001, 2, 28)));
  EXPECT_EQ(LastSystemError(), 1314u);
  ExpectSameTime(At(2000, 1, 1), clock.Now());
  EXPECT_EQ(clock.SetLocalTimeCalls(), 0u);
  clock.SetElevationType(kElevationLimited);
  EXPECT_EQ(clock.ElevationType(), kElevationLimited);
}

TEST(ManualClockThreads, WorkerSleepsWhileTestWaitsForElapsedTime) {
  TManualClock clock;
  TScopedTestClock scope(clock);
  std::thread worker([] {
    for (int i = 0; i < 61000; ++i) SleepMs(1);
  });
  EXPECT_TRUE(clock.WaitUntilElapsed(61000, std::chrono::minutes(5)));
  worker.join();
  EXPECT_EQ(clock.Elapsed(), 61000u);
  EXPECT_EQ(clock.SleepCalls(), 61000u);
}

TEST(ManualClockWait, RunsToTheDeadlineUnlessTheEventComes) {
  TManualClock clock;
  clock.SetWaitPause(std::chrono::milliseconds(5));
  std::uint32_t asked = 0;
  EXPECT_FALSE(clock.Wait(60000, [&](std::uint32_t real) {
    asked = real;
    return false;
  }));
  EXPECT_EQ(asked, 5u);  // the real pause, not the minute
  EXPECT_EQ(clock.Elapsed(), 60000u);
  EXPECT_TRUE(clock.Wait(60000, [](std::uint32_t) { return true; }));
  EXPECT_EQ(clock.Elapsed(), 60001u);
  EXPECT_EQ(clock.WaitCalls(), 2u);
}

TEST(ManualClockWait, FrozenClockWaitsUntilTheTestReachesTheDeadline) {
  TManualClock clock;
  clock.SetAutoAdvance(false);
  std::future<bool> waiter = std::async(std::launch::async, [&] {
    return clock.Wait(30000, [](std::uint32_t real) {
      std::this_thread::sleep_for(std::chrono::milliseconds(real));
      return false;
    });
  });
  while (clock.WaitCalls() == 0) std::this_thread::yield();  // the deadline counts from the call
  clock.Advance(29999);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  clock.Advance(1);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  EXPECT_EQ(clock.Elapsed(), 30000u);
}

TEST(LocalTimeMilliseconds, KnownInstants) {
  EXPECT_EQ(LocalTimeToMilliseconds(At(1970, 1, 1)), 0);
  EXPECT_EQ(LocalTimeToMilliseconds(At(2000, 1, 1)), 946684800000);
  EXPECT_EQ(LocalTimeToMilliseconds(At(1601, 1, 1)), -11644473600000);
  EXPECT_EQ(LocalTimeToMilliseconds(At(1969, 12, 31, 23, 59, 59, 999)), -1);
  LocalTime before = MillisecondsToLocalTime(-1);
  ExpectSameTime(At(1969, 12, 31, 23, 59, 59, 999), before);
  EXPECT_EQ(before.dayOfWeek, 3);  // a Wednesday
  EXPECT_EQ(MillisecondsToLocalTime(0).dayOfWeek, 4);
}

TEST(LocalTimeMilliseconds, RoundTripsAcrossLeapDaysAndCenturies) {
  for (int year : {1, 1600, 1900, 2000, 2100, 9999}) {
    for (int month = 1; month <= 12; ++month) {
      LocalTime last = At(year, month, 1);
      // The last day of the month: one day before the first of the next.
      LocalTime next = MillisecondsToLocalTime(LocalTimeToMilliseconds(last) + 31LL * 86400000);
      next.day = 1;
      LocalTime end = MillisecondsToLocalTime(LocalTimeToMilliseconds(next) - 1);
      EXPECT_TRUE(IsValidLocalTime(end)) << year << "-" << month;
      EXPECT_EQ(LocalTimeToMilliseconds(end) + 1, LocalTimeToMilliseconds(next));
    }
  }
  ExpectSameTime(At(1900, 3, 1),
                 MillisecondsToLocalTime(LocalTimeToMilliseconds(At(1900, 2, 28)) + 86400000));
  ExpectSameTime(At(2000, 2, 29),
                 MillisecondsToLocalTime(LocalTimeToMilliseconds(At(2000, 2, 28)) + 86400000));
}

TEST(LocalTimeValidity, RefusesImpossibleFields) {
  EXPECT_TRUE(IsValidLocalTime(At(2000, 2, 29, 23, 59, 59, 999)));
  EXPECT_FALSE(IsValidLocalTime(At(1900, 2, 29)));
  EXPECT_FALSE(IsValidLocalTime(At(2000, 13, 1)));
  EXPECT_FALSE(IsValidLocalTime(At(2000, 4, 31)));
  EXPECT_FALSE(IsValidLocalTime(At(0, 1, 1)));
  EXPECT_FALSE(IsValidLocalTime(At(2000, 1, 1, 24)));
  EXPECT_FALSE(IsValidLocalTime(At(2000, 1, 1, 0, 60)));
  EXPECT_FALSE(IsValidLocalTime(At(2000, 1, 1, 0, 0, 0, 1000)));
  EXPECT_FALSE(IsValidLocalTime(At(2000, 1, 1, 0, 0, -1)));
}

TEST(SystemClockCalls, TicksCoverASleepAndNowIsAValidTime) {
  std::uint32_t before = SystemTickCount();
  SystemSleep(50);
  // Only a lower bound: a slow machine makes the difference larger. The
  // Windows tick count moves in steps of up to 16 ms.
  EXPECT_GE(static_cast<std::uint32_t>(SystemTickCount() - before), 30u);
  EXPECT_TRUE(IsValidLocalTime(SystemLocalTime()));
}

TEST(SystemClockCalls, InvalidTimeIsRefusedBeforeTheClockIsTouched) {
  SetLastSystemError(0);
  EXPECT_FALSE(SystemSetLocalTime(At(2021, 2, 29, 12)));
  EXPECT_EQ(LastSystemError(), InvalidParameterError());
}

TEST(SystemClockCalls, ElevationIsOneOfTheTokenAnswers) {
  std::int32_t type = SystemElevationType();
  EXPECT_TRUE(type >= -1 && type <= 3) << type;
}

TEST(SystemErrors, LastErrorAndItsText) {
  SetLastSystemError(InvalidParameterError());
  EXPECT_EQ(LastSystemError(), InvalidParameterError());
  EXPECT_FALSE(SystemErrorText(InvalidParameterError()).empty());
  EXPECT_EQ(SystemErrorText(0x7FFFFFF0u), "");
}

#if !defined(_WIN32)
// POSIX only: the zone comes from TZ, so the sign convention can be checked.
TEST(SystemTimeZone, BiasIsPositiveWestOfUtc) {
  const char* saved = std::getenv("TZ");
  std::string restore = saved ? saved : "";
  setenv("TZ", "<+03>-3", 1);
  tzset();
  EXPECT_EQ(SystemTimeZoneBias(), -180);
  setenv("TZ", "<+0530>-5:30", 1);
  tzset();
  EXPECT_EQ(SystemTimeZoneBias(), -330);
  setenv("TZ", "<-05>5", 1);
  tzset();
  EXPECT_EQ(SystemTimeZoneBias(), 300);
  if (saved)
    setenv("TZ", restore.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}
#endif

}  // namespace
}  // namespace kv::platform
