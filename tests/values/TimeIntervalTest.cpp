#include <gtest/gtest.h>

#include "support/ManualClock.h"
#include "values/TimeInterval.h"

namespace kv {
namespace {

class TimeIntervalTest : public ::testing::Test {
 protected:
  platform::TManualClock clock;
  platform::TScopedTestClock scope{clock};
};

TEST_F(TimeIntervalTest, FirstReadingCountsFromTickZero) {
  clock.SetTicks(5000);
  TTimeInterval timer;
  EXPECT_EQ(timer.GetTicks(), 5000u);
  clock.Advance(250);
  EXPECT_EQ(timer.GetTicks(), 5250u);
}

TEST_F(TimeIntervalTest, CounterNeverReadsZero) {
  TTimeInterval timer;
  EXPECT_EQ(timer.GetTicks(), 1u);
  EXPECT_EQ(timer.GetTicks(), 1u);
  clock.Advance(5);
  EXPECT_EQ(timer.GetTicks(), 6u);
}

TEST_F(TimeIntervalTest, WrapOfTheTickCountIsAbsorbed) {
  clock.SetTicks(4294967040u);
  TTimeInterval timer;
  std::uint64_t first = timer.GetTicks();
  clock.Advance(512);
  ASSERT_EQ(clock.TickCount(), 256u);
  EXPECT_EQ(timer.GetTicks() - first, 512u);
}

TEST_F(TimeIntervalTest, CounterGrowsPastThirtyTwoBits) {
  TTimeInterval timer;
  timer.Start();
  for (int i = 0; i < 5; ++i) {
    clock.Advance(std::uint64_t{1} << 31);
    timer.GetTicks();
  }
  EXPECT_EQ(timer.GetElapsed(), 5 * (std::uint64_t{1} << 31));
}

TEST_F(TimeIntervalTest, ElapsedAndSecondsSinceStartAcrossAWrap) {
  clock.SetTicks(4294960000u);
  TTimeInterval timer;
  timer.GetTicks();
  timer.Start();
  clock.Advance(29999);
  EXPECT_EQ(timer.GetElapsed(), 29999u);
  EXPECT_EQ(timer.GetElapsedSeconds(), 29u);
  clock.Advance(1);
  EXPECT_EQ(timer.GetElapsedSeconds(), 30u);
  timer.Start();
  EXPECT_EQ(timer.GetElapsed(), 0u);
}

TEST_F(TimeIntervalTest, SleepingWorkerMeasuresThirtySecondsWithoutWaiting) {
  TTimeInterval timer;
  timer.Start();
  while (timer.GetElapsedSeconds() < 30) platform::SleepMs(1);
  EXPECT_EQ(timer.GetElapsed(), 30000u);
  EXPECT_EQ(clock.SleepCalls(), 30000u);
}

}  // namespace
}  // namespace kv
