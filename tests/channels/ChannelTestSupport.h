#pragma once
// Shared set-up of the channel tests: fixed regional settings, a driven
// clock whose "now" is known, and the client's owner number put back after
// each test.
#include <gtest/gtest.h>

#include "channels/OwnerId.h"
#include "support/ManualClock.h"
#include "runtime/FormatSettings.h"

namespace kv::testing {

class ChannelTestBase : public ::testing::Test {
 protected:
  // 2009-03-05 14:07:09.000, tick 1000.
  static platform::LocalTime KnownNow() {
    platform::LocalTime now;
    now.year = 2009;
    now.month = 3;
    now.day = 5;
    now.hour = 14;
    now.minute = 7;
    now.second = 9;
    return now;
  }
  // The same instant as a date-time: 39877 days plus 14:07:09.
  static constexpr double kKnownNow = 39877.0 + (14 * 3600 + 7 * 60 + 9) / 86400.0;

  void SetUp() override {
    savedSettings_ = CurrentFormatSettings();
    SetFormatSettings(FormatSettings::UsEnglish());
    savedOwner_ = ClientOwnerID.load();
  }
  void TearDown() override {
    ClientOwnerID.store(savedOwner_);
    SetFormatSettings(savedSettings_);
  }

  platform::TManualClock clock_{1000, KnownNow()};
  platform::TScopedTestClock installed_{clock_};

 private:
  FormatSettings savedSettings_;
  std::int16_t savedOwner_ = -1;
};

}  // namespace kv::testing
