// The real worker thread on the driven clock: it sleeps until something
// needs it, its timing rules end its waits at their deadlines in the clock's
// time, and on a frozen clock only events (the host's work, the socket, a
// stop request) can wake it.
#include "ClientHarness.h"

#include <atomic>
#include <future>

namespace kv::test {
namespace {

const std::string kLoggedIn = Cp("INFO\tРегистрация на сервере версии"_cp);
const std::string kConnectError = Cp("ERROR\tПодключение к основному серверу"_cp);

// Small send buffers, and a count of the sends that found them full.
class TStallingSockets : public platform::TSocketApiWrapper {
 public:
  using TSocketApiWrapper::TSocketApiWrapper;
  std::atomic<int> wouldBlock{0};

  platform::SocketResult OpenTcp(platform::SocketHandle& handle) override {
    platform::SocketResult r = Target().OpenTcp(handle);
    if (!r.Failed()) Target().SetBufferSizes(handle, 4096, 0);
    return r;
  }
  platform::SocketResult Send(platform::SocketHandle s, const void* data, int len) override {
    platform::SocketResult r = Target().Send(s, data, len);
    if (r.Failed() && r.error == 10035) ++wouldBlock;
    return r;
  }
};

class WakeTest : public ClientHarness {
 protected:
  // The first `count` log lines of messages that begin with `prefix`, once
  // there are that many (fewer after a real-time bound).
  std::vector<std::string> WaitForLines(const std::string& prefix, std::size_t count) {
    auto until = std::chrono::steady_clock::now() + 10s;
    std::vector<std::string> lines;
    while ((lines = log_.LinesStarting(prefix)).size() < count &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(1ms);
    if (lines.size() > count) lines.resize(count);
    return lines;
  }

  // Seconds between the time stamps of two log lines ("dd.mm.yyyy hh:nn:ss\t...").
  static int SecondsBetween(const std::string& earlier, const std::string& later) {
    auto seconds = [](const std::string& line) {
      return std::stoi(line.substr(11, 2)) * 3600 + std::stoi(line.substr(14, 2)) * 60 +
             std::stoi(line.substr(17, 2));
    };
    return seconds(later) - seconds(earlier);
  }

  TStallingSockets stallingSockets_{platform::SystemSockets()};
};

TEST_F(WakeTest, SilentLinkIsTestedSixtySecondsAfterTheLastCommandWithoutPolling) {
  client_->Settings().DebugLog = true;
  client_->Resume();
  auto login = WaitForLines(kLoggedIn, 1);
  auto request = WaitForLines("DEBUG\tSend status: request", 1);
  ASSERT_EQ(login.size() + request.size(), 2u);
  const int gap = SecondsBetween(login[0], request[0]);
  EXPECT_TRUE(gap == 60 || gap == 61) << gap;  // 60.001 s from a stamp of any millisecond
  EXPECT_EQ(clock_.SleepCalls(), 0u);
}

TEST_F(WakeTest, IncompleteCommandEndsTheLinkThirtySecondsAfterItBegan) {
  client_->Settings().DebugLog = true;
  client_->Resume();
  ASSERT_TRUE(server_.WaitForLogins(1, 10s));
  ASSERT_TRUE(server_.SendRaw(std::string("\x39\x40\x00\x01", 4)));
  auto begun = WaitForLines(Cp("DEBUG\tполучена CMD2=57"_cp), 1);
  auto dropped = WaitForLines(Cp("ERROR\tНеполная команда cmd=57"_cp), 1);
  ASSERT_EQ(begun.size() + dropped.size(), 2u);
  const int gap = SecondsBetween(begun[0], dropped[0]);
  EXPECT_TRUE(gap == 30 || gap == 31) << gap;
}

TEST_F(WakeTest, RefusedLoginIsRetriedSixtySecondsAfterItsRequest) {
  sim::TLoginBehaviour login;
  login.fields.versionMajor = 3;
  server_.SetLoginBehaviour(login);
  client_->Resume();
  auto errors = WaitForLines(kConnectError, 2);
  ASSERT_EQ(errors.size(), 2u);
  const int gap = SecondsBetween(errors[0], errors[1]);
  EXPECT_TRUE(gap == 60 || gap == 61) << gap;
  EXPECT_EQ(clock_.SleepCalls(), 0u);
}

TEST_F(WakeTest, OnAFrozenClockTheHostTheSocketAndTheStopRequestWakeTheWorker) {
  clock_.SetAutoAdvance(false);
  client_ = MakeClient(stallingSockets_);
  client_->Resume();
  ASSERT_TRUE(server_.WaitForLogins(1, 10s));

  // The host's first mark, the server's activation, then a value.
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "H", .Type = 5, .WriteEnable = true}));
  ASSERT_TRUE(server_.WaitForRegistration("H", 10s));
  auto until = std::chrono::steady_clock::now() + 10s;
  while (!client_->Channels().CopyByAddress("H")->Active() &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(client_->RegisterValueByID("H", 0, 45000.0, Variant::FromDouble(1)));
  ASSERT_TRUE(server_.WaitForValues("H", 1, 10s));

  // Writable again: the server answers nothing, so only the socket taking
  // bytes again can move the worker on.
  server_.SetActivation(sim::TActivation::Off);
  server_.SetReading(false);
  const std::string comment(10000, 'c');
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(client_->RegisterChannel(
        {.Addr = "B" + std::to_string(i), .Type = 5, .Comments = comment}));
  until = std::chrono::steady_clock::now() + 10s;
  while (stallingSockets_.wouldBlock == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  ASSERT_GT(stallingSockets_.wouldBlock.load(), 0);
  server_.SetReading(true);
  ASSERT_TRUE(server_.WaitForRegistration("B29", 10s));

  std::future<void> stopped = std::async(std::launch::async, [&] { client_.reset(); });
  const bool prompt = stopped.wait_for(10s) == std::future_status::ready;
  if (!prompt) clock_.Advance(3600000);  // release the worker, so that the test can end
  stopped.wait();
  EXPECT_TRUE(prompt);
}

}  // namespace
}  // namespace kv::test
