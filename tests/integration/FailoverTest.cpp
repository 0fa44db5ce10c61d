// A host text that names a main server and reserves: the client against two
// or three test servers on loopback.
#include "ClientHarness.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <map>

#include "platform/Socket.h"
#include "protocol/TcpClient.h"

namespace kv::test {
namespace {

namespace pf = platform;

// Counts connection attempts by port, and stands in for the name service
// for two names: "pair" has two addresses, of which the first refuses
// every connection; "slow" answers only when the test lets it.
class TServerSockets : public pf::TSocketApiWrapper {
 public:
  static constexpr std::uint32_t kRefusing = pf::MakeIpv4(127, 0, 0, 2);

  using TSocketApiWrapper::TSocketApiWrapper;
  pf::SocketResult Connect(pf::SocketHandle s, const pf::Ipv4Address& remote) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++attempts_[pf::NetToHost16(remote.port)];
    }
    if (remote.address == kRefusing) return {-1, pf::wsa::kConnectionRefused};
    return Target().Connect(s, remote);
  }
  pf::SocketResult ResolveAll(const std::string& name,
                              std::vector<std::uint32_t>& addresses) override {
    if (name != "pair" && name != "slow") return Target().ResolveAll(name, addresses);
    std::unique_lock<std::mutex> lock(mutex_);
    ++resolves_;
    if (name == "slow") {
      changed_.notify_all();
      changed_.wait(lock, [this] { return answer_; });
    }
    addresses = {kRefusing, pf::MakeIpv4(127, 0, 0, 1)};
    return {0, 0};
  }

  int Attempts(std::uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_[port];
  }
  int Resolves() {
    std::lock_guard<std::mutex> lock(mutex_);
    return resolves_;
  }
  bool WaitForLookup() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return resolves_ > 0; });
  }
  void Answer() {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint16_t, int> attempts_;
  int resolves_ = 0;
  bool answer_ = false;
};

class FailoverTest : public ClientHarness {
 protected:
  void SetUp() override {
    ClientHarness::SetUp();
    ASSERT_TRUE(reserve_.Start());
    ASSERT_TRUE(third_.Start());
    client_ = MakeClient(sockets_);
  }
  void TearDown() override {
    client_.reset();
    for (const auto& [port, handle] : held_) pf::SystemSockets().Close(handle);
    reserve_.Stop();
    third_.Stop();
    ClientHarness::TearDown();
  }

  static std::string At(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }
  // Stops the server and keeps its port bound without listening, so that a
  // connection there is refused and no other program (tests run side by
  // side) can take the port meanwhile; the port.
  std::uint16_t Down(sim::TKavrelServer& server) {
    const std::uint16_t port = server.Port();
    server.Stop();
    pf::TSocketApi& sockets = pf::SystemSockets();
    pf::SocketHandle handle{};
    EXPECT_FALSE(sockets.OpenTcp(handle).Failed());
    sockets.SetReuseAddress(handle);
    pf::Ipv4Address local{};
    local.address = pf::MakeIpv4(127, 0, 0, 1);
    local.port = pf::HostToNet16(port);
    EXPECT_FALSE(sockets.Bind(handle, local).Failed()) << port;
    held_[port] = handle;
    return port;
  }
  // A server taking over the port of one that was stopped.
  std::unique_ptr<sim::TKavrelServer> ServerAt(std::uint16_t port) {
    if (const auto held = held_.find(port); held != held_.end()) {
      pf::SystemSockets().Close(held->second);
      held_.erase(held);
    }
    sim::TServerOptions options = DefaultOptions();
    options.port = port;
    auto server = std::make_unique<sim::TKavrelServer>(options);
    EXPECT_TRUE(server->Start());
    return server;
  }
  // The server ends the connection; the client's passes notice.
  void LoseLink(sim::TKavrelServer& server) {
    ASSERT_TRUE(server.Drop());
    ASSERT_TRUE(PumpUntil([&] { return !client_->IsConnected(); }));
  }
  bool HoldsValue(sim::TKavrelServer& server, const std::string& addr, double value) {
    return PumpUntil([&] {
      std::optional<sim::TSimChannel> channel = server.Channel(addr);
      return channel && channel->hasValue && channel->value.ToDouble() == value;
    });
  }
  std::size_t Lines(std::string_view prefix, std::uint16_t port) {
    return log_.Starting(std::string(prefix) + At(port)).size();
  }

  sim::TKavrelServer reserve_{DefaultOptions()};
  sim::TKavrelServer third_{DefaultOptions()};
  TServerSockets sockets_{pf::SystemSockets()};
  std::map<std::uint16_t, pf::SocketHandle> held_;  // ports of stopped servers
};

constexpr auto kMainError = "ERROR\tПодключение к основному серверу "_cp;
constexpr auto kReserveError = "ERROR\tПодключение к резервному серверу "_cp;

TEST_F(FailoverTest, MainDownAtStartTheReserveTakesOverAtOnceWithEverything) {
  const std::uint16_t main = server_.Port();
  server_.Stop();
  client_->Settings().Host = At(main) + " ; ;\t" + At(reserve_.Port()) + ";nowhere:0";
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "P", .Type = 5}));
  ASSERT_TRUE(client_->RegisterValueByID("P", 0, 45000.0, Variant(2.5)));
  EXPECT_FALSE(Worker().KVConnect());
  ASSERT_TRUE(Worker().KVConnect());  // the next entry at once, on the same tick
  Worker().NeedRegisterAllChannels();
  EXPECT_TRUE(HoldsValue(reserve_, "P", 2.5));

  const std::vector<std::string> messages = log_.Messages();
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], Cp("ERROR\tСписок серверов: пропущено nowhere:0 (неверный порт)"_cp));
  EXPECT_EQ(messages[1], Cp(kMainError) + At(main) + "\t" + Cp("ошибка TCP/IP: "_cp) +
                             SocketErrorText(pf::wsa::kConnectionRefused));
  EXPECT_NE(messages[2].find(" --> " + At(reserve_.Port())), std::string::npos);
  EXPECT_EQ(messages[4], Cp("INFO\tРабота с резервным сервером "_cp) + At(reserve_.Port()));
  const ClientStatistics stats = client_->Statistics();
  EXPECT_EQ(stats.ServerIndex, 1u);
  EXPECT_EQ(stats.ServerSwitches, 1u);
}

TEST_F(FailoverTest, RefusedMainWaitsItsMinuteAndALostLinkLaterBringsTheClientBack) {
  sim::TLoginBehaviour refuse;
  refuse.fields.clientId = -1;
  refuse.fields.resultCode = 1;
  server_.SetLoginBehaviour(refuse);
  const std::uint16_t main = server_.Port();
  client_->Settings().Host = At(main) + ";" + At(reserve_.Port());
  EXPECT_FALSE(Worker().KVConnect());
  ASSERT_TRUE(Worker().KVConnect());
  Worker().NeedRegisterAllChannels();
  RegisterActive("V");
  ASSERT_TRUE(client_->RegisterValueByID("V", 0, 45000.0, Variant(1.5)));
  ASSERT_TRUE(HoldsValue(reserve_, "V", 1.5));

  // The main server's gate still holds: a lost link goes back to the reserve.
  server_.SetLoginBehaviour(sim::TLoginBehaviour{});
  LoseLink(reserve_);
  ASSERT_TRUE(Worker().KVConnect());
  EXPECT_EQ(reserve_.Records(sim::TRecordKind::Login).size(), 2u);
  // Logged in, the client stays, even once the main server may be asked.
  clock_.Advance(60000);
  for (int i = 0; i < 3; ++i) Pass();
  EXPECT_TRUE(client_->IsConnected());
  EXPECT_EQ(server_.Records(sim::TRecordKind::Login).size(), 1u);

  // The next lost link goes to the main server, which gets everything again.
  LoseLink(reserve_);
  ASSERT_TRUE(Worker().KVConnect());
  Worker().NeedRegisterAllChannels();
  EXPECT_TRUE(HoldsValue(server_, "V", 1.5));
  EXPECT_EQ(log_.Starting("INFO\tРабота с резервным сервером"_cp).size(), 1u);
  EXPECT_TRUE(log_.Has(Cp("INFO\tРабота с основным сервером "_cp) + At(main)));
  const ClientStatistics stats = client_->Statistics();
  EXPECT_EQ(stats.ServerIndex, 0u);
  EXPECT_EQ(stats.ServerSwitches, 2u);
  EXPECT_EQ(stats.Logins, 3u);
}

TEST_F(FailoverTest, AllDownEachIsTriedOnceASecondUntilOneComesBack) {
  const std::vector<std::uint16_t> ports = {Down(server_), Down(reserve_), Down(third_)};
  // The last entry takes the port argument.
  client_->Settings().Host = At(ports[0]) + ";" + At(ports[1]) + ";127.0.0.1";
  client_->Settings().Port = ports[2];
  // The real worker; its sleeps move the driven clock to their deadlines.
  clock_.SetWaitPause(50ms);
  client_->Resume();
  ASSERT_TRUE(clock_.WaitUntilElapsed(10000, 30s));
  const std::uint64_t waits = clock_.WaitCalls();
  const auto rounds = static_cast<int>(clock_.Elapsed() / 1000);
  // Never more often than once a second, each server in its turn. How many
  // rounds the ten seconds held depends on the machine: a wait the loaded
  // worker did not finish within the clock's real pause counts in full.
  const int first = sockets_.Attempts(ports[0]);
  EXPECT_GE(first, 3);
  for (std::uint16_t port : ports) {
    EXPECT_LE(sockets_.Attempts(port), rounds + 2) << port;
    EXPECT_LE(std::abs(sockets_.Attempts(port) - first), 1) << port;
  }
  // It slept between the rounds: no loop around an attempt not yet due.
  EXPECT_LT(waits, static_cast<std::uint64_t>(10 * (rounds + 2)));

  std::unique_ptr<sim::TKavrelServer> back = ServerAt(ports[2]);
  ASSERT_TRUE(back->WaitForLogins(1, 10s));
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (!client_->IsConnected() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  client_.reset();
  EXPECT_EQ(Lines(kMainError, ports[0]), 5u);
  EXPECT_EQ(Lines(kReserveError, ports[1]), 5u);
  EXPECT_TRUE(log_.Has(Cp("INFO\tРабота с резервным сервером "_cp) + At(ports[2])));
}

TEST_F(FailoverTest, EachServerLogsFiveFailuresInARowUntilItsOwnConnection) {
  const std::uint16_t main = Down(server_);
  const std::uint16_t reserve = Down(reserve_);
  client_->Settings().Host = At(main) + ";" + At(reserve);
  auto rounds = [&](int count) {
    for (int i = 0; i < count; ++i) {
      EXPECT_FALSE(Worker().KVConnect());
      EXPECT_FALSE(Worker().KVConnect());
      EXPECT_FALSE(Worker().KVConnect());  // both wait their second
      clock_.Advance(1000);
    }
  };
  rounds(8);
  EXPECT_EQ(Lines(kMainError, main), 5u);
  EXPECT_EQ(Lines(kReserveError, reserve), 5u);

  std::unique_ptr<sim::TKavrelServer> back = ServerAt(reserve);
  EXPECT_FALSE(Worker().KVConnect());
  ASSERT_TRUE(Worker().KVConnect());
  Down(*back);
  ASSERT_TRUE(PumpUntil([&] { return !client_->IsConnected(); }));
  rounds(8);
  EXPECT_EQ(Lines(kMainError, main), 5u);  // its run goes on
  EXPECT_EQ(Lines(kReserveError, reserve), 10u);
}

TEST_F(FailoverTest, EveryAddressOfANameIsTriedAndTheNameLookedUpAtEachAttempt) {
  client_->Settings().Host = "pair";
  ASSERT_TRUE(Worker().KVConnect());
  EXPECT_EQ(sockets_.Attempts(server_.Port()), 2);
  EXPECT_EQ(log_.Starting("ERROR").size(), 0u);
  EXPECT_EQ(log_.Starting("INFO").size(), 2u);  // connected and logged in, at the main server
  LoseLink(server_);
  ASSERT_TRUE(Worker().KVConnect());
  EXPECT_EQ(sockets_.Resolves(), 2);
}

TEST_F(FailoverTest, AStopDuringANameLookupEndsTheWorkerAsSoonAsItReturns) {
  client_->Settings().Host = "slow;" + At(reserve_.Port());
  client_->Resume();
  ASSERT_TRUE(sockets_.WaitForLookup());
  client_->Terminate();
  sockets_.Answer();
  client_.reset();
  EXPECT_EQ(sockets_.Attempts(server_.Port()) + sockets_.Attempts(reserve_.Port()), 0);
  EXPECT_EQ(log_.Starting("ERROR").size(), 0u);
  EXPECT_EQ(log_.Messages().back(), Cp("INFO\t*** Завершение работы с сервером Kavrel ***"_cp));
}

}  // namespace
}  // namespace kv::test
