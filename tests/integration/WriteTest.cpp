// The write path against sockets that refuse or cut sends and against a
// server that stops reading: writes never wait for the server, a write that
// makes no progress for Timeout seconds drops the link, and whatever is
// queued goes out in order and once.
#include "ClientHarness.h"

#include <atomic>
#include <future>

namespace kv::test {
namespace {

// Small client send buffers, so a server that stops reading stalls the
// client after a few kilobytes; sends can be refused or cut on demand.
class TTightSockets : public platform::TSocketApiWrapper {
 public:
  using TSocketApiWrapper::TSocketApiWrapper;
  std::atomic<int> partial{0};  // the next send takes only this many bytes

  // The next `times` sends (-1: all) fail with `error`.
  void Fail(int error, int times = 1) {
    failWith = error;
    failCount = times;
  }

  platform::SocketResult OpenTcp(platform::SocketHandle& handle) override {
    platform::SocketResult r = Target().OpenTcp(handle);
    if (!r.Failed()) Target().SetBufferSizes(handle, 4096, 0);
    return r;
  }
  platform::SocketResult Send(platform::SocketHandle s, const void* data, int len) override {
    if (int left = failCount.load(); left != 0) {
      if (left > 0) failCount.store(left - 1);
      return platform::SocketResult{-1, failWith.load()};
    }
    if (int n = partial.exchange(0); n > 0 && n < len) return Target().Send(s, data, n);
    return Target().Send(s, data, len);
  }

 private:
  std::atomic<int> failWith{0};
  std::atomic<int> failCount{0};
};

class WriteTest : public ClientHarness {
 protected:
  WriteTest() : ClientHarness(true, SmallReceiveBuffer()) {}

  static sim::TServerOptions SmallReceiveBuffer() {
    sim::TServerOptions options = DefaultOptions();
    options.receiveBufferBytes = 4096;
    return options;
  }

  void SetUp() override {
    ClientHarness::SetUp();
    client_ = MakeClient(sockets_);
  }

  // Runs fn on another thread. A call still running after 5 s is released
  // by stopping the server (its socket goes away) and counts as a hang.
  bool Bounded(const std::function<void()>& fn) {
    std::future<void> done = std::async(std::launch::async, fn);
    if (done.wait_for(5s) == std::future_status::ready) return true;
    server_.Stop();
    done.wait();
    return false;
  }

  // Registrations far beyond what the sockets between client and server hold.
  void QueueMoreThanTheSocketsHold() {
    const std::string comment(10000, 'c');
    for (int i = 0; i < 30; ++i)
      ASSERT_TRUE(client_->RegisterChannel(
          {.Addr = "B" + std::to_string(i), .Type = 5, .Comments = comment}));
  }

  // Passes until the socket has taken nothing for a while.
  void PassUntilStalled() {
    std::int32_t before = -1;
    for (int unchanged = 0, i = 0; unchanged < 5 && i < 1000 && client_->IsConnected(); ++i) {
      Pass();
      std::int32_t now = Worker().SendBuffer().Size();
      unchanged = now == before ? unchanged + 1 : 0;
      before = now;
      std::this_thread::sleep_for(10ms);
    }
  }

  std::vector<std::string> WriteErrorLines(std::int32_t size, int error) {
    return {"ERROR\ttcp.Write(DATA[], SIZE)\tSIZE=" + std::to_string(size) +
                " bytes ERR=" + std::to_string(error),
            Cp("ERROR\tTOpros2Thread::KVProcessSend ошибка отправки каналов"_cp)};
  }

  TTightSockets sockets_{platform::SystemSockets()};
};

TEST_F(WriteTest, WouldBlockIsNoErrorAndTheBytesGoOutWithTheNextPass) {
  LogIn();
  RegisterActive("F");
  ASSERT_TRUE(client_->RegisterValueByID("F", 0, 45000.0, Variant::FromDouble(1)));
  sockets_.Fail(10035);
  log_.Clear();
  Pass();
  EXPECT_GT(Worker().SendBuffer().Size(), 0);
  EXPECT_TRUE(log_.Messages().empty());
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("F")->values == 1; }));
  EXPECT_TRUE(client_->IsConnected());
}

TEST_F(WriteTest, ResetDisconnectsWithThreeLines) {
  LogIn();
  RegisterActive("G");
  ASSERT_TRUE(client_->RegisterValueByID("G", 0, 45000.0, Variant::FromDouble(1)));
  sockets_.Fail(10054);
  log_.Clear();
  Pass();
  auto messages = log_.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1], Cp("ERROR\tСервер прервал соединение."_cp));
  EXPECT_FALSE(client_->IsConnected());
  EXPECT_EQ(Worker().SendBuffer().Size(), 0);
}

TEST_F(WriteTest, PartialWriteNeverSendsABytesTwice) {
  LogIn();
  RegisterActive("P1");
  RegisterActive("P2");
  ASSERT_TRUE(client_->RegisterValueByID("P1", 0, 45000.0, Variant::FromDouble(1)));
  ASSERT_TRUE(client_->RegisterValueByID("P2", 0, 45000.0, Variant::FromDouble(2)));
  sockets_.partial = 7;
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("P2")->values == 1; }));
  for (int i = 0; i < 10; ++i) Pass();
  EXPECT_EQ(server_.Channel("P1")->values, 1);
  EXPECT_EQ(server_.Channel("P2")->values, 1);
  EXPECT_TRUE(server_.Records(sim::TRecordKind::ProtocolError).empty());
}

TEST_F(WriteTest, WriteWithoutProgressForTimeoutDropsTheLinkAndTheNextLoginResends) {
  LogIn();
  server_.SetReading(false);
  QueueMoreThanTheSocketsHold();
  ASSERT_TRUE(Bounded([&] { PassUntilStalled(); })) << "a write waited for the server";
  ASSERT_TRUE(client_->IsConnected());
  const std::int32_t waiting = Worker().SendBuffer().Size();
  ASSERT_GT(waiting, 0);
  log_.Clear();
  clock_.Advance(2000 - 1);  // Timeout is 2 s
  Pass();
  EXPECT_TRUE(client_->IsConnected());
  EXPECT_TRUE(log_.Messages().empty());
  clock_.Advance(1);
  Pass();
  EXPECT_FALSE(client_->IsConnected());
  EXPECT_EQ(log_.Messages(), WriteErrorLines(waiting, 10060));

  server_.SetReading(true);
  LogIn();
  ASSERT_TRUE(PumpUntil([&] {
    std::optional<sim::TSimChannel> last = server_.Channel("B29");
    return last && last->registrations == 1;
  }));
}

TEST_F(WriteTest, OtherWriteErrorsAreLoggedOncePerEpisode) {
  LogIn();
  RegisterActive("E");
  ASSERT_TRUE(client_->RegisterValueByID("E", 0, 45000.0, Variant::FromDouble(1)));
  sockets_.Fail(10055, 3);
  log_.Clear();
  Pass();
  const std::int32_t size = Worker().SendBuffer().Size();
  EXPECT_EQ(log_.Messages(), WriteErrorLines(size, 10055));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("E")->values == 1; }));
  EXPECT_EQ(log_.Messages().size(), 2u);
  EXPECT_TRUE(client_->IsConnected());
}

TEST_F(WriteTest, StatusRequestFollowsTheTailOfACutRecord) {
  LogIn();
  RegisterActive("L");
  ASSERT_TRUE(client_->RegisterValueByID("L", 0, 45000.0, Variant::FromDouble(1)));
  sockets_.partial = 7;
  clock_.Advance(60001);
  Pass();  // the value record goes out cut, then the link test asks for status
  ASSERT_TRUE(PumpUntil([&] {
    return server_.Channel("L")->values == 1 &&
           server_.Records(sim::TRecordKind::StatusRequest).size() == 1;
  }));
  EXPECT_EQ(server_.Channel("L")->value.ToDouble(), 1);
  EXPECT_TRUE(server_.Records(sim::TRecordKind::ProtocolError).empty());
}

TEST_F(WriteTest, LoginRequestIsRetriedUntilTheTimeoutRunsOut) {
  sockets_.Fail(10035, 3);
  ASSERT_TRUE(Worker().KVConnect());
  EXPECT_EQ(server_.Records(sim::TRecordKind::Login).size(), 1u);

  Worker().DropConnection();
  sockets_.Fail(10035, -1);
  log_.Clear();
  const std::uint64_t start = clock_.Elapsed();
  EXPECT_FALSE(Worker().KVConnect());
  EXPECT_GE(clock_.Elapsed() - start, 2000u);
  const std::string line = "ERROR\tПодключение к основному серверу 127.0.0.1:"_cp.data() +
                           std::to_string(client_->Settings().Port) +
                           Cp("\tошибка посылки запроса на регистрацию: Таймаут подключения"_cp);
  EXPECT_EQ(log_.Starting("ERROR\tПодключение к основному серверу"_cp),
            std::vector<std::string>{line});
}

}  // namespace
}  // namespace kv::test
