// The value history against the test server: what the host handed over
// while the client could not send reaches the server after the login, in
// order and before the current value, within the bound and the age limit,
// and a connection lost in the middle of it costs at most what it carried.
#include "ClientHarness.h"

#include <climits>

#include "channels/ValueHistory.h"

namespace kv::test {
namespace {

constexpr TDateTime kFirstStamp = 45000.0;
constexpr TDateTime kMs = 1.0 / 86400000.0;

// Writes can be held back ("would block") or cut: once `allowed` bytes went
// through, the connection is reset.
class TCuttingSockets : public platform::TSocketApiWrapper {
 public:
  using TSocketApiWrapper::TSocketApiWrapper;
  std::atomic<bool> blocked{false};
  std::atomic<int> allowed{INT_MAX};

  platform::SocketResult Send(platform::SocketHandle s, const void* data, int len) override {
    if (blocked.load()) return platform::SocketResult{-1, platform::wsa::kWouldBlock};
    const int left = allowed.load();
    if (left == 0) return platform::SocketResult{-1, platform::wsa::kConnectionReset};
    platform::SocketResult result = Target().Send(s, data, std::min(len, left));
    if (result.value > 0 && left != INT_MAX) allowed.store(left - result.value);
    return result;
  }
};

class HistoryTest : public ClientHarness {
 protected:
  // A client with the history, logged in, with active Float8 channels.
  void Start(std::uint64_t bytes, std::uint32_t seconds, std::vector<std::string> channels) {
    ClientSettings settings = client_->Settings();
    settings.HistoryBytes = bytes;
    settings.HistorySeconds = seconds;
    client_ = std::make_unique<TOpros2Thread>(settings, sockets_);
    client_->Log().SetSink(&log_);
    LogIn();
    for (const std::string& addr : channels) RegisterActive(addr);
  }
  // Values from..to of the channel, value k stamped k ms after the first.
  void Put(const std::string& addr, int from, int to) {
    for (int k = from; k <= to; ++k)
      ASSERT_TRUE(client_->RegisterValueByID(addr, 0, kFirstStamp + k * kMs, Variant(double(k))));
  }
  // The values of the channel the server received on a connection.
  std::vector<int> Received(const std::string& addr, std::uint32_t session) {
    const std::uint32_t number = server_.Channel(addr)->number;
    std::vector<int> ks;
    for (const sim::TReceivedRecord& record : server_.Records(sim::TRecordKind::Value))
      if (record.session == session && record.value.number == number)
        ks.push_back(static_cast<int>(record.value.value.ToDouble()));
    return ks;
  }
  static std::vector<int> Range(int from, int to, std::vector<int> then = {}) {
    std::vector<int> ks;
    for (int k = from; k <= to; ++k) ks.push_back(k);
    ks.insert(ks.end(), then.begin(), then.end());
    return ks;
  }
  // Passes until the server received `count` values of the channel on the
  // current connection.
  bool PumpUntilReceived(const std::string& addr, std::size_t count) {
    return PumpUntil([&] { return Received(addr, server_.Session()).size() >= count; });
  }
  ClientStatistics Statistics() { return client_->Statistics(); }

  TCuttingSockets sockets_{platform::SystemSockets()};
};

TEST_F(HistoryTest, AnOutagesValuesFollowTheLoginInOrderBeforeTheCurrentOnes) {
  Start(1 << 20, 0, {"A", "B", "C"});
  Worker().DropConnection();
  for (int k = 1; k <= 200; ++k)
    for (const char* addr : {"A", "B", "C"}) Put(addr, k, k);
  EXPECT_EQ(Statistics().HistoryValues, 600u);

  LogIn();
  for (const char* addr : {"A", "B", "C"}) ASSERT_TRUE(PumpUntilReceived(addr, 201)) << addr;
  const std::uint32_t session = server_.Session();
  for (const char* addr : {"A", "B", "C"})
    EXPECT_EQ(Received(addr, session), Range(1, 200, {200})) << addr;
  const ClientStatistics s = Statistics();
  EXPECT_EQ(s.HistorySent, 600u);
  EXPECT_EQ(s.HistoryValues, 0u);
  EXPECT_EQ(s.HistoryBytes, 0u);
}

TEST_F(HistoryTest, TheBoundDropsTheOldestValuesAndTheLogSaysHowMany) {
  Start(65536, 0, {"A"});
  Worker().DropConnection();
  Put("A", 1, 2000);
  const std::uint64_t kept = 65536 / sizeof(TValueHistory::TRecord);
  const std::uint64_t dropped = 2000 - kept;
  EXPECT_EQ(Statistics().HistoryDroppedBound, dropped);
  EXPECT_LE(Statistics().HistoryBytes, 65536u);

  LogIn();
  ASSERT_TRUE(PumpUntilReceived("A", kept + 1));
  EXPECT_EQ(Received("A", server_.Session()), Range(static_cast<int>(dropped) + 1, 2000, {2000}));
  EXPECT_EQ(log_.Starting(Cp("ERROR\tИстория значений переполнена"_cp)),
            std::vector<std::string>{
                Cp("ERROR\tИстория значений переполнена (предел 65536 байт), отброшено самых "
                   "старых значений: "_cp) +
                std::to_string(dropped)});
}

TEST_F(HistoryTest, ValuesOlderThanTheAgeLimitAreDroppedInsteadOfSent) {
  Start(1 << 20, 60, {"A"});
  Worker().DropConnection();
  Put("A", 1, 10);
  clock_.Advance(61000);
  Put("A", 11, 15);
  LogIn();
  ASSERT_TRUE(PumpUntilReceived("A", 6));
  EXPECT_EQ(Received("A", server_.Session()), Range(11, 15, {15}));
  EXPECT_EQ(Statistics().HistoryDroppedAge, 10u);
}

// Logged in all along: a channel the server activates late gets every value
// handed over before, in order.
TEST_F(HistoryTest, AChannelActivatedLateGetsItsValuesInOrder) {
  Start(1 << 20, 0, {});
  server_.SetActivation(sim::TActivation::Off);
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "L", .Type = 5}));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("L").has_value(); }));
  Put("L", 1, 100);
  for (int i = 0; i < 20; ++i) Pass();
  EXPECT_EQ(server_.Channel("L")->values, 0);

  sim::TChannelChange activate;
  activate.addr = "L";
  activate.number = server_.Channel("L")->number;
  ASSERT_TRUE(server_.SendChannelChange(activate));
  ASSERT_TRUE(PumpUntilReceived("L", 101));
  EXPECT_EQ(Received("L", server_.Session()), Range(1, 100, {100}));
}

// A connection that ends in the middle of the kept values: what it carried
// may be lost, what it had not written yet follows the next login, and no
// value comes twice.
TEST_F(HistoryTest, AConnectionLostWhileValuesGoOutCostsOnlyWhatItWrote) {
  Start(1 << 20, 0, {"A"});
  Worker().DropConnection();
  Put("A", 1, 300);
  LogIn();
  const std::uint32_t cut = server_.Session();
  sockets_.blocked = true;
  Worker().KVProcessSend();
  const std::int32_t queued = Worker().SendBuffer().Size();
  ASSERT_GT(queued, 300 * 20);
  sockets_.allowed = queued / 2;
  sockets_.blocked = false;
  ASSERT_TRUE(PumpUntil([&] { return !client_->IsConnected(); }));
  sockets_.allowed = INT_MAX;

  LogIn();
  const std::vector<int> first = Received("A", cut);
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(PumpUntilReceived("A", 300 - first.size() + 1));
  const std::vector<int> second = Received("A", server_.Session());
  ASSERT_LT(first.back(), 300);
  EXPECT_EQ(first, Range(1, first.back()));
  EXPECT_EQ(second, Range(first.back() + 1, 300, {300}));
  EXPECT_EQ(Statistics().HistorySent, 300u);
}

}  // namespace
}  // namespace kv::test
