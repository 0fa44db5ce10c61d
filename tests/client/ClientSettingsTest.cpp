#include <gtest/gtest.h>

#include "client/ClientTypes.h"

namespace kv {
namespace {

// Without a positive time-out, connecting and waiting for answers get no
// time at all, while queued bytes still get a second before the link is
// given up.
TEST(ClientSettings, ANonPositiveTimeoutLeavesOnlyWritesASecond) {
  ClientSettings settings;
  for (std::int32_t seconds : {0, -5}) {
    settings.TimeoutSec = seconds;
    EXPECT_EQ(settings.TimeoutMs(), 0u);
    EXPECT_EQ(settings.WriteTimeoutMs(), 1000u);
  }
  settings.TimeoutSec = 2;
  EXPECT_EQ(settings.TimeoutMs(), 2000u);
  EXPECT_EQ(settings.WriteTimeoutMs(), 2000u);
}

}  // namespace
}  // namespace kv
