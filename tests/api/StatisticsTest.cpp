// c_GetStatistics' handling of the host's struct size: a host built against
// an older, shorter or a newer, longer layout gets what fits and nothing
// written beyond its size.
#include <gtest/gtest.h>

#include <cstring>

#include "api/Statistics.h"

namespace kv {
namespace {

constexpr unsigned char kMark = 0xA5;

struct TStatisticsFill : ::testing::Test {
  TStatisticsFill() {
    from.ConnectedSinceMs = 11;
    from.Logins = 2;
    from.Drops[static_cast<int>(TDropReason::LoginRefused)] = 6;
    from.LastErrorTimeMs = 99;
    from.ServerSwitches = 4;
  }
  // Fills a buffer marked throughout, with the size field set to size.
  void Fill(kv_uint32 size) {
    std::memset(buffer, kMark, sizeof buffer);
    std::memcpy(buffer, &size, sizeof size);
    ok = StatisticsArgOk(stats()) && FillStatistics(from, stats());
  }
  kv_statistics* stats() { return reinterpret_cast<kv_statistics*>(buffer); }
  bool MarkedFrom(std::size_t offset) const {
    for (std::size_t i = offset; i < sizeof buffer; ++i)
      if (buffer[i] != kMark) return false;
    return true;
  }

  ClientStatistics from;
  alignas(8) unsigned char buffer[sizeof(kv_statistics) + 16];
  bool ok = false;
};

TEST_F(TStatisticsFill, RefusesNullAndSizesBelowTheHeader) {
  EXPECT_FALSE(StatisticsArgOk(nullptr));
  Fill(KVOPROS2_STATISTICS_HEADER_SIZE - 1);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(MarkedFrom(sizeof(kv_uint32)));
}

TEST_F(TStatisticsFill, WritesOnlyWholeFieldsWithinTheHostsSize) {
  Fill(KVOPROS2_STATISTICS_HEADER_SIZE);
  ASSERT_TRUE(ok);
  EXPECT_EQ(stats()->version, KVOPROS2_STATISTICS_VERSION);
  EXPECT_TRUE(MarkedFrom(KVOPROS2_STATISTICS_HEADER_SIZE));

  // Ends inside the second field: only the first is written.
  Fill(KVOPROS2_STATISTICS_HEADER_SIZE + 12);
  ASSERT_TRUE(ok);
  EXPECT_EQ(stats()->connectedSince, 11u);
  EXPECT_TRUE(MarkedFrom(KVOPROS2_STATISTICS_HEADER_SIZE + 8));
  EXPECT_EQ(stats()->size, KVOPROS2_STATISTICS_HEADER_SIZE + 12u);
}

TEST_F(TStatisticsFill, ALongerLayoutGetsEveryKnownFieldAndKeepsTheRest) {
  Fill(sizeof buffer);
  ASSERT_TRUE(ok);
  EXPECT_EQ(stats()->logins, 2u);
  EXPECT_EQ(stats()->dropsLoginRefused, 6u);
  EXPECT_EQ(stats()->dropsReset, 0u);
  EXPECT_EQ(stats()->lastErrorTime, 99u);
  EXPECT_EQ(stats()->serverSwitches, 4u);
  EXPECT_TRUE(MarkedFrom(sizeof(kv_statistics)));
}

TEST_F(TStatisticsFill, AHostOfTheFirstLayoutGetsNothingBeyondIt) {
  constexpr kv_uint32 kFirstLayoutSize = 176;
  Fill(kFirstLayoutSize);
  ASSERT_TRUE(ok);
  EXPECT_EQ(stats()->lastErrorTime, 99u);
  EXPECT_TRUE(MarkedFrom(kFirstLayoutSize));
}

}  // namespace
}  // namespace kv
