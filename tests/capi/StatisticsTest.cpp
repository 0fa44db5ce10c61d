// c_GetStatistics through the exports against the test server: what the
// counters say after values taken before the login, the login, controls and
// a connection the server closed, checked against what the server saw.
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvsim/KavrelServer.h"

#include "LoadedLibrary.h"

namespace kv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 20s;  // bounds waits that normally end within milliseconds
const FILETIME kTime = {0x67FD4187u, 0x01DA76C2u};

VARIANT Number(double value) {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = VT_R8;
  v.dblVal = value;
  return v;
}

std::uint64_t UnixMsNow() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

class HostStatistics : public ::testing::Test {
 protected:
  HostStatistics() : server_(Options()), loaded_(Hooks()) {}

  static sim::TServerOptions Options() {
    sim::TServerOptions options;
    options.port = 0;
    return options;
  }
  kv_host_test_hooks Hooks() {
    return {&failures_, "", &RecordFailure, nullptr, nullptr, nullptr, nullptr, nullptr};
  }

  kv_statistics Read() {
    kv_statistics s;
    std::memset(&s, 0, sizeof s);
    s.size = sizeof s;
    EXPECT_EQ(loaded_.api.statistics(&s), 1);
    return s;
  }
  // Reads until `done` holds, or the last reading after the bound.
  kv_statistics ReadUntil(const std::function<bool(const kv_statistics&)>& done) {
    const auto end = Clock::now() + kLimit;
    kv_statistics s = Read();
    while (!done(s) && Clock::now() < end) {
      std::this_thread::sleep_for(1ms);
      s = Read();
    }
    return s;
  }
  bool SendControl(double value) {
    sim::TControl control;
    control.addr = "Valve";
    control.type = 5;
    control.value = Variant::FromDouble(value);
    return server_.SendControl(control);
  }

  std::vector<std::string> failures_;
  sim::TKavrelServer server_;
  TLibrary loaded_;
};

TEST_F(HostStatistics, CountLoginValuesControlsAndAServerDrop) {
  ASSERT_NE(loaded_.library, nullptr) << (failures_.empty() ? "" : failures_.front());
  ASSERT_TRUE(server_.Start());
  const kv_host_exports& api = loaded_.api;
  kv_statistics none;
  none.size = sizeof none;
  EXPECT_EQ(api.statistics(&none), 0);

  server_.SetReading(false);  // holds the login
  ASSERT_EQ(api.create("127.0.0.1", server_.Port(), 30, "stats", "", 0, 0, ""), 1);
  ASSERT_EQ(api.channel("Level", 5, 0, 0, "", "", "", "", "", 0, ""), 1);
  ASSERT_EQ(api.channel("Valve", 5, 1, 0, "", "", "", "", "", 0, ""), 1);
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(api.value("Level", &kTime, 0, Number(i)), 1);
  kv_statistics s = Read();
  EXPECT_EQ(s.version, KVOPROS2_STATISTICS_VERSION);
  EXPECT_EQ(s.logins, 0u);
  EXPECT_EQ(s.connectedSince, 0u);
  EXPECT_EQ(s.valuesCoalesced, 2u);  // only the third value goes out
  EXPECT_EQ(s.channelsRegistered, 2u);
  EXPECT_EQ(s.channelsWaiting, 2u);
  EXPECT_EQ(s.channelsActive, 0u);

  const std::uint64_t before = UnixMsNow();
  server_.SetReading(true);
  ASSERT_TRUE(server_.WaitForValues("Level", 1, kLimit));
  ASSERT_TRUE(server_.WaitFor(
      [](const sim::TServerView& view) {
        const sim::TSimChannel* valve = view.state.Find("Valve");
        return valve != nullptr && valve->activeSent;
      },
      kLimit));
  ASSERT_TRUE(SendControl(1));
  ASSERT_TRUE(SendControl(2));
  s = ReadUntil([](const kv_statistics& r) { return r.controlsReceived >= 2; });
  EXPECT_EQ(api.control(nullptr, 0, nullptr, nullptr, nullptr, nullptr), 1);
  // Every message the server received, and its bytes, went out counted
  // (the last ones may still be on their way).
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
  s = ReadUntil([&](const kv_statistics& r) {
    records = bytes = 0;
    for (const sim::TReceivedRecord& record : server_.Records()) {
      if (record.bytes.empty()) continue;
      ++records;
      bytes += record.bytes.size();
    }
    return r.recordsSent == records && r.bytesSent == bytes;
  });
  EXPECT_EQ(s.logins, 1u);
  EXPECT_GE(s.connectedSince, before);
  EXPECT_LE(s.connectedSince, UnixMsNow());
  EXPECT_EQ(s.recordsSent, records);
  EXPECT_EQ(s.bytesSent, bytes);
  // The login reply, two activations, two controls.
  EXPECT_GE(s.recordsReceived, 5u);
  EXPECT_GE(s.bytesReceived, 25u);
  EXPECT_EQ(s.channelsActive, 2u);
  EXPECT_EQ(s.channelsWaiting, 0u);
  EXPECT_EQ(s.controlsReceived, 2u);
  EXPECT_EQ(s.controlsWaiting, 1u);
  EXPECT_EQ(s.controlsRefused, 0u);

  ASSERT_TRUE(server_.Drop());
  ASSERT_TRUE(server_.WaitForLogins(2, kLimit));
  s = ReadUntil([](const kv_statistics& r) { return r.logins >= 2; });
  EXPECT_EQ(s.logins, 2u);
  EXPECT_NE(s.connectedSince, 0u);
  EXPECT_EQ(s.dropsClosedByServer, 1u);
  EXPECT_EQ(s.dropsReset + s.dropsWriteTimeout + s.dropsLinkTest + s.dropsProtocolError +
                s.dropsLoginRefused,
            0u);
  EXPECT_EQ(s.lastError, 0u);
  EXPECT_EQ(s.lastErrorTime, 0u);

  EXPECT_EQ(api.destroy(), 1);
  EXPECT_EQ(api.statistics(&none), 0);
}

// The value history through the exports: its options' ranges, both read by
// the next c_CreateOpros, and its figures.
TEST_F(HostStatistics, HistoryKeepsTheValuesOfAnOutageAndCountsThem) {
  ASSERT_NE(loaded_.library, nullptr) << (failures_.empty() ? "" : failures_.front());
  const kv_host_exports& api = loaded_.api;
  for (auto [option, value] : {std::pair{KVOPROS2_OPTION_HISTORY_BYTES, 65535},
                               {KVOPROS2_OPTION_HISTORY_BYTES, 536870913},
                               {KVOPROS2_OPTION_HISTORY_SECONDS, -1},
                               {KVOPROS2_OPTION_HISTORY_SECONDS, 2073601}}) {
    EXPECT_EQ(api.set_option(option, value), 0) << option << " " << value;
    EXPECT_EQ(api.last_result(), KVOPROS2_RESULT_OUT_OF_RANGE);
  }
  ASSERT_EQ(api.set_option(KVOPROS2_OPTION_HISTORY_BYTES, 1 << 20), 1);
  ASSERT_EQ(api.set_option(KVOPROS2_OPTION_HISTORY_SECONDS, 2073600), 1);
  ASSERT_TRUE(server_.Start());
  server_.SetReading(false);  // holds the login
  ASSERT_EQ(api.create("127.0.0.1", server_.Port(), 30, "history", "", 0, 0, ""), 1);
  // Kept for later clients too: back to none, which this client no longer reads.
  api.set_option(KVOPROS2_OPTION_HISTORY_BYTES, 0);
  api.set_option(KVOPROS2_OPTION_HISTORY_SECONDS, 0);
  ASSERT_EQ(api.channel("Level", 5, 0, 0, "", "", "", "", "", 0, ""), 1);
  for (int i = 1; i <= 50; ++i) ASSERT_EQ(api.value("Level", &kTime, 0, Number(i)), 1);
  kv_statistics s = Read();
  EXPECT_EQ(s.historyValues, 50u);
  EXPECT_GE(s.historyBytes, 50 * 40u);
  EXPECT_EQ(s.valuesCoalesced, 49u);  // the current value as ever

  server_.SetReading(true);
  ASSERT_TRUE(server_.WaitForValues("Level", 51, kLimit));
  s = ReadUntil([](const kv_statistics& r) { return r.historySent == 50; });
  EXPECT_EQ(s.historySent, 50u);
  EXPECT_EQ(s.historyValues, 0u);
  EXPECT_EQ(s.historyBytes, 0u);
  EXPECT_EQ(s.historyDroppedBound + s.historyDroppedAge, 0u);
  EXPECT_EQ(api.destroy(), 1);
}

}  // namespace
}  // namespace kv::test
