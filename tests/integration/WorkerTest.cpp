#include "ClientHarness.h"

#include <atomic>
#include <cmath>
#include <optional>

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

// Values the host handed over right before the end still reach a server
// that reads: the worker sends what is marked before it logs off.
TEST_F(WorkerTest, ValuesHandedOverBeforeTheEndGoOut) {
  constexpr int kChannels = 300;
  auto addr = [](int c) { return "E" + std::to_string(c); };
  for (int c = 0; c < kChannels; ++c)
    ASSERT_TRUE(client_->RegisterChannel({.Addr = addr(c), .Type = 3}));
  client_->Resume();
  ASSERT_TRUE(server_.WaitFor(
      [&](const sim::TServerView& view) { return view.state.Channels().size() == kChannels; },
      10s));
  auto allActive = [&] {
    for (int c = 0; c < kChannels; ++c) {
      std::unique_ptr<TChannel2> channel = client_->Channels().CopyByAddress(addr(c));
      if (!channel || !channel->Active()) return false;
    }
    return client_->Channels().PendingCount() == 0;
  };
  for (int i = 0; i < 5000 && !allActive(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(allActive());
  for (int c = 0; c < kChannels; ++c)
    ASSERT_TRUE(client_->RegisterValueByID(addr(c), 0, 45001.0, Variant(c + 1)));
  client_.reset();
  ASSERT_TRUE(server_.WaitFor(
      [&](const sim::TServerView& view) {
        for (const auto& ch : view.state.Channels())
          if (!ch.hasValue || ch.value.ToInt32() == 0) return false;
        return true;
      },
      5s));
}

// What host h's channel of kind c (0 Float8, 1 String, 2 array of Float8)
// holds after its k-th call; bad qualities now and then, with no value of
// a kind the library takes (as the exports hand over VT_NULL).
constexpr int kArrayElements = 2400;
struct THandedOver {
  static std::string Addr(int h, int c) {
    return std::string("FSA").substr(c, 1) + std::to_string(h);
  }
  static std::uint16_t Type(int c) { return c == 0 ? 5 : c == 1 ? 256 : 0x1005; }
  static std::uint16_t Quality(int k) { return k % 7 == 0 ? 192 : 0; }
  static TDateTime Time(int k) { return 45000.0 + k / 86400.0; }
  static int StepOf(TDateTime dt) {
    return static_cast<int>(std::lround((dt - 45000.0) * 86400.0));
  }
  // The value the host hands over with its k-th call.
  static Variant Value(int c, int k) {
    if (Quality(k) != 0) return Variant();
    if (c == 0) return Variant(static_cast<double>(k));
    if (c == 1) return Variant::FromAnsi("v" + std::to_string(k));
    Variant array = Variant::CreateArray(varDouble, 0, kArrayElements - 1);
    array.SetElement(0, Variant(k));
    array.SetElement(kArrayElements - 1, Variant(k));
    return array;
  }
  // Whether a channel's value is the one of call k (read from both ends of
  // an array).
  static bool Holds(int c, const Variant& value, int k) {
    if (c == 0) return value.Kind() == varDouble && value.ToDouble() == k;
    if (c == 1) return value.Kind() == varString && value.ToAnsi() == "v" + std::to_string(k);
    return value.IsArray() && value.ArrayCount() == kArrayElements &&
           value.GetElement(0).ToInt32() == k &&
           value.GetElement(kArrayElements - 1).ToInt32() == k;
  }
  // The call whose value stays with call k: a bad quality keeps the one
  // before it.
  static int ValueStep(int k) { return Quality(k) != 0 ? k - 1 : k; }
};

// Host threads hand over values of every kind on channels of their own
// while the worker sends and a reader takes the values back: every state
// read is one a host stored whole, and the server ends with each channel's
// last time stamp, quality and value.
TEST_F(WorkerTest, HostThreadsStoreEveryKindWhileTheWorkerSendsAndAReaderReads) {
  constexpr int kThreads = 3;
  constexpr int kValues = 200;
  for (int h = 0; h < kThreads; ++h)
    for (int c = 0; c < 3; ++c)
      ASSERT_TRUE(client_->RegisterChannel(
          {.Addr = THandedOver::Addr(h, c), .Type = THandedOver::Type(c)}));
  client_->Resume();
  ASSERT_TRUE(server_.WaitForLogins(1, 10s));
  std::atomic<int> running{kThreads};
  std::atomic<int> refused{0};
  std::vector<std::thread> hosts;
  for (int h = 0; h < kThreads; ++h)
    hosts.emplace_back([&, h] {
      for (int k = 1; k <= kValues; ++k)
        for (int c = 0; c < 3; ++c)
          if (!client_->RegisterValueByID(THandedOver::Addr(h, c), THandedOver::Quality(k),
                                          THandedOver::Time(k), THandedOver::Value(c, k)))
            ++refused;
      --running;
    });
  int torn = 0;
  do {
    for (int h = 0; h < kThreads; ++h)
      for (int c = 0; c < 3; ++c) {
        const std::optional<TValueSnapshot> state =
            client_->Channels().ReadValue(THandedOver::Addr(h, c));
        if (state && state->DT == 0) continue;  // nothing stored yet
        const int k = state ? THandedOver::StepOf(state->DT) : -1;
        const int step = THandedOver::ValueStep(k);
        if (k <= 0 || state->Quality != THandedOver::Quality(k) ||
            (step > 0 && !THandedOver::Holds(c, state->Value, step)))
          ++torn;
      }
  } while (running.load() > 0);
  for (auto& host : hosts) host.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(torn, 0);
  std::string wrong;
  const bool arrived = server_.WaitFor(
      [&](const sim::TServerView& view) {
        wrong.clear();
        for (int h = 0; h < kThreads; ++h)
          for (int c = 0; c < 3; ++c) {
            const sim::TSimChannel* channel = view.state.Find(THandedOver::Addr(h, c));
            if (channel == nullptr || !channel->hasValue ||
                THandedOver::StepOf(channel->dt) != kValues || channel->quality != 0 ||
                !THandedOver::Holds(c, channel->value, kValues))
              wrong += THandedOver::Addr(h, c) + " ";
          }
        return wrong.empty();
      },
      20s);
  EXPECT_TRUE(arrived) << "not the last state: " << wrong;
}

}  // namespace
}  // namespace kv::test
