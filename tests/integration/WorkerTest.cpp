#include "ClientHarness.h"

#include <atomic>

#include "platform/Socket.h"

namespace kv::test {
namespace {

// The real worker thread on the real clock.
class WorkerTest : public ClientHarness {
 protected:
  WorkerTest() : ClientHarness(false) {}
};

TEST_F(WorkerTest, RunsLogsInSendsAndEndsWithItsLines) {
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "W1", .Type = 3}));
  ASSERT_TRUE(client_->RegisterValueByID("W1", 0, 45000.0, Variant(5)));
  client_->Resume();
  ASSERT_TRUE(server_.WaitForValues("W1", 1, 10s));
  EXPECT_TRUE(client_->IsConnected());
  EXPECT_EQ(server_.Channel("W1")->value.ToInt32(), 5);
  client_.reset();  // terminate, wait, free
  auto messages = log_.Messages();
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages.front(), Cp("INFO\t*** Начало работы с сервером Kavrel [версия 1.1] ***"_cp));
  EXPECT_EQ(messages[messages.size() - 2], Cp("INFO\tОтключение от сервера..."_cp));
  EXPECT_EQ(messages.back(), Cp("INFO\t*** Завершение работы с сервером Kavrel ***"_cp));
}

TEST_F(WorkerTest, TerminatesWhileWaitingForALoginReply) {
  sim::TLoginBehaviour login;
  login.mode = sim::TLoginMode::Silent;
  server_.SetLoginBehaviour(login);
  client_->Settings().TimeoutSec = 30;
  client_->Resume();
  ASSERT_TRUE(server_.WaitForLogins(1, 10s));
  auto start = std::chrono::steady_clock::now();
  client_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // far below the 30 s reply wait
  EXPECT_EQ(log_.Messages().back(), Cp("INFO\t*** Завершение работы с сервером Kavrel ***"_cp));
}

// A connection attempt that never completes.
class NeverConnects : public platform::TSocketApiWrapper {
 public:
  using TSocketApiWrapper::TSocketApiWrapper;
  std::atomic<int> waits{0};
  platform::SocketResult Wait(platform::SocketHandle s, platform::PollFor what,
                              int timeoutMs) override {
    if (platform::Has(what, platform::PollFor::Write)) {
      ++waits;
      return platform::SocketResult{0, 0};
    }
    return Target().Wait(s, what, timeoutMs);
  }
};

TEST_F(WorkerTest, TerminatesWhileConnecting) {
  NeverConnects sockets{platform::SystemSockets()};
  client_ = MakeClient(sockets);
  client_->Settings().TimeoutSec = 30;
  client_->Resume();
  auto until = std::chrono::steady_clock::now() + 10s;
  while (sockets.waits < 10 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  ASSERT_GE(sockets.waits.load(), 10);
  auto start = std::chrono::steady_clock::now();
  client_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // far below the 30 s connect wait
  EXPECT_EQ(log_.Messages().back(), Cp("INFO\t*** Завершение работы с сервером Kavrel ***"_cp));
}

TEST_F(WorkerTest, HostThreadsRegisterWhileTheWorkerSends) {
  constexpr int kThreads = 4;
  constexpr int kChannelsPerThread = 25;
  constexpr int kValues = 40;
  client_->Resume();
  ASSERT_TRUE(server_.WaitForLogins(1, 10s));
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([this, t] {
      for (int c = 0; c < kChannelsPerThread; ++c)
        client_->RegisterChannel(
            {.Addr = "T" + std::to_string(t) + "_" + std::to_string(c), .Type = 3});
      for (int v = 1; v <= kValues; ++v)
        for (int c = 0; c < kChannelsPerThread; ++c)
          client_->RegisterValueByID("T" + std::to_string(t) + "_" + std::to_string(c), 0,
                                     45000.0 + v, Variant(v));
    });
  }
  for (auto& h : hosts) h.join();
  // Every channel's last value reaches the server, whatever was skipped between.
  ASSERT_TRUE(server_.WaitFor(
      [&](const sim::TServerView& view) {
        int done = 0;
        for (const auto& ch : view.state.Channels())
          if (ch.hasValue && ch.value.ToInt32() == kValues) ++done;
        return done == kThreads * kChannelsPerThread;
      },
      20s));
}

}  // namespace
}  // namespace kv::test
