// The socket interface on loopback: WinSock error numbers on every system,
// the address helpers' byte layout, and input it must refuse.
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

namespace pf = kv::platform;
constexpr int kUpperBoundMs = 10000;  // only ever an upper bound

pf::TSocketApi& Api() { return pf::SystemSockets(); }

class SocketFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Api().Startup().value, 0); }
  void TearDown() override {
    for (pf::SocketHandle h : {client_, peer_, listener_})
      if (h != pf::SocketHandle::None) Api().Close(h);
    Api().Cleanup();
  }

  pf::Ipv4Address Loopback(std::uint16_t port = 0) {
    pf::Ipv4Address a;
    a.address = pf::MakeIpv4(127, 0, 0, 1);
    a.port = pf::HostToNet16(port);
    return a;
  }

  // A listener on 127.0.0.1; returns its address.
  pf::Ipv4Address Listen() {
    pf::Ipv4Address a = Loopback();
    EXPECT_FALSE(Api().OpenTcp(listener_).Failed());
    EXPECT_FALSE(Api().Bind(listener_, a).Failed());
    EXPECT_FALSE(Api().Listen(listener_, 4).Failed());
    EXPECT_FALSE(Api().LocalName(listener_, a).Failed());
    return a;
  }

  // Starts a non-blocking connection to `to` and waits for its outcome.
  pf::SocketResult ConnectClient(const pf::Ipv4Address& to) {
    EXPECT_FALSE(Api().OpenTcp(client_).Failed());
    EXPECT_FALSE(Api().SetNonBlocking(client_, true).Failed());
    pf::SocketResult started = Api().Connect(client_, to);
    EXPECT_TRUE(!started.Failed() || started.error == 10035) << started.error;
    EXPECT_GT(Api().Wait(client_, pf::PollFor::Write | pf::PollFor::Except, kUpperBoundMs).value,
              0);
    return Api().ConnectionOutcome(client_);
  }

  pf::SocketHandle listener_ = pf::SocketHandle::None;
  pf::SocketHandle client_ = pf::SocketHandle::None;
  pf::SocketHandle peer_ = pf::SocketHandle::None;
};

using SocketErrors = SocketFixture;
using SocketExchange = SocketFixture;
using SocketWake = SocketFixture;

TEST(SocketAddress, NetworkOrderLayout) {
  const std::uint32_t a = pf::MakeIpv4(192, 168, 1, 20);
  unsigned char bytes[4];
  std::memcpy(bytes, &a, 4);
  EXPECT_EQ(bytes[0], 192);
  EXPECT_EQ(bytes[1], 168);
  EXPECT_EQ(bytes[2], 1);
  EXPECT_EQ(bytes[3], 20);
  const std::uint16_t port = pf::HostToNet16(0x1F90);  // 8080
  std::memcpy(bytes, &port, 2);
  EXPECT_EQ(bytes[0], 0x1F);
  EXPECT_EQ(bytes[1], 0x90);
  EXPECT_EQ(pf::NetToHost16(port), 8080);
}

TEST(SocketAddress, ParsesDottedTextOnly) {
  EXPECT_EQ(Api().ParseAddress("127.0.0.1"), pf::MakeIpv4(127, 0, 0, 1));
  EXPECT_EQ(Api().ParseAddress("10.20.30.40"), pf::MakeIpv4(10, 20, 30, 40));
  EXPECT_EQ(Api().ParseAddress("0.0.0.0"), 0u);
  EXPECT_EQ(Api().ParseAddress("255.255.255.255"), pf::kNoAddress);
  EXPECT_EQ(Api().ParseAddress("kavrel-server"), pf::kNoAddress);
  EXPECT_EQ(Api().ParseAddress("300.1.1.1"), pf::kNoAddress);
}

TEST_F(SocketErrors, RefusedConnectionIsReportedAndStaysFailed) {
  pf::Ipv4Address to = Listen();
  Api().Close(listener_);
  listener_ = pf::SocketHandle::None;

  pf::SocketResult outcome = ConnectClient(to);
  EXPECT_TRUE(outcome.Failed());
  EXPECT_EQ(outcome.error, 10061);
  // The system hands out the reason once; the attempt must still not pass
  // for a connection when asked again.
  EXPECT_TRUE(Api().ConnectionOutcome(client_).Failed());
}

TEST_F(SocketErrors, HandlesThatAreNoSocket) {
  const auto bogus = static_cast<pf::SocketHandle>(0x7FFFFF00);
  char buf[4] = {};
  std::uint32_t count = 0;
  EXPECT_EQ(Api().Send(bogus, buf, 4).error, 10038);
  EXPECT_EQ(Api().Receive(bogus, buf, 4).error, 10038);
  EXPECT_EQ(Api().BytesAvailable(bogus, count).error, 10038);
  EXPECT_EQ(Api().Send(pf::SocketHandle::None, buf, 4).error, 10038);
  EXPECT_EQ(Api().Wait(pf::SocketHandle::None, pf::PollFor::Read, 0).error, 10038);
  EXPECT_EQ(Api().Close(pf::SocketHandle::None).error, 10038);
}

TEST_F(SocketErrors, RefusesBadArgumentsBeforeTheSystem) {
  Listen();
  char buf[4] = {};
  EXPECT_EQ(Api().Send(listener_, buf, -1).error, 10022);
  EXPECT_EQ(Api().Receive(listener_, buf, -5).error, 10022);
  EXPECT_EQ(Api().Send(listener_, nullptr, 4).error, 10014);
  EXPECT_EQ(Api().Receive(listener_, nullptr, 4).error, 10014);
  EXPECT_EQ(Api().Wait(listener_, pf::PollFor{}, 0).error, 10022);
}

TEST_F(SocketExchange, ConnectAcceptSendReceiveShutdown) {
  pf::Ipv4Address to = Listen();
  ASSERT_FALSE(ConnectClient(to).Failed());
  pf::Ipv4Address from;
  ASSERT_FALSE(Api().Accept(listener_, peer_, from).Failed());
  pf::Ipv4Address local;
  ASSERT_FALSE(Api().LocalName(client_, local).Failed());
  EXPECT_EQ(from.family, 2);
  EXPECT_EQ(from.address, pf::MakeIpv4(127, 0, 0, 1));
  EXPECT_EQ(from.port, local.port);

  ASSERT_EQ(Api().Send(peer_, "\x00\x01\x02\x03\x04", 5).value, 5);
  ASSERT_GT(Api().Wait(client_, pf::PollFor::Read, kUpperBoundMs).value, 0);
  std::uint32_t count = 0;
  ASSERT_FALSE(Api().BytesAvailable(client_, count).Failed());
  EXPECT_EQ(count, 5u);
  char buf[5];
  EXPECT_EQ(Api().Receive(client_, buf, 5).value, 5);
  EXPECT_EQ(std::memcmp(buf, "\x00\x01\x02\x03\x04", 5), 0);

  // Nothing waiting, non-blocking: "would block".
  pf::SocketResult r = Api().Receive(client_, buf, 5);
  EXPECT_TRUE(r.Failed());
  EXPECT_EQ(r.error, 10035);

  ASSERT_FALSE(Api().ShutdownSends(peer_).Failed());
  ASSERT_GT(Api().Wait(client_, pf::PollFor::Read, kUpperBoundMs).value, 0);
  EXPECT_EQ(Api().Receive(client_, buf, 5).value, 0);
}

TEST_F(SocketWake, SignalsEndOneWaitAndAreConsumedByIt) {
  pf::TWakeEvent wake;
  ASSERT_TRUE(wake.Valid());
  EXPECT_EQ(Api().WaitOrWake(pf::SocketHandle::None, pf::PollFor{}, wake, 0).value, 0);
  wake.Signal();
  wake.Signal();  // signals do not add up
  EXPECT_EQ(Api().WaitOrWake(pf::SocketHandle::None, pf::PollFor{}, wake, kUpperBoundMs).value,
            pf::kWaitWoken);
  EXPECT_EQ(Api().WaitOrWake(pf::SocketHandle::None, pf::PollFor{}, wake, 0).value, 0);

  // From another thread, into a wait on a connected socket with nothing to read.
  ASSERT_FALSE(ConnectClient(Listen()).Failed());
  std::thread signaller([&] { wake.Signal(); });
  EXPECT_EQ(Api().WaitOrWake(client_, pf::PollFor::Read, wake, kUpperBoundMs).value,
            pf::kWaitWoken);
  signaller.join();
}

TEST_F(SocketWake, ReadableAndWritableAgainEndTheWait) {
  pf::TWakeEvent wake;
  pf::Ipv4Address to = Listen();
  ASSERT_FALSE(ConnectClient(to).Failed());
  pf::Ipv4Address from;
  ASSERT_FALSE(Api().Accept(listener_, peer_, from).Failed());
  EXPECT_EQ(Api().WaitOrWake(client_, pf::PollFor::Read, wake, 0).value, 0);
  ASSERT_EQ(Api().Send(peer_, "x", 1).value, 1);
  EXPECT_EQ(Api().WaitOrWake(client_, pf::PollFor::Read, wake, kUpperBoundMs).value,
            pf::kWaitReady);

  // Fill the way to the peer until a send would block.
  ASSERT_FALSE(Api().SetBufferSizes(client_, 4096, 0).Failed());
  ASSERT_FALSE(Api().SetBufferSizes(peer_, 0, 4096).Failed());
  std::vector<char> block(4096, 'b');
  pf::SocketResult sent;
  while (!(sent = Api().Send(client_, block.data(), static_cast<int>(block.size()))).Failed()) {
  }
  ASSERT_EQ(sent.error, 10035);
  // Not writable until the peer reads: no event of earlier on (such as the
  // writability of the connection's start) may end the wait.
  EXPECT_EQ(Api().WaitOrWake(client_, pf::PollFor::Write, wake, 0).value, 0);
  // The peer reads again while the client waits.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<char> sink(65536);
    Api().SetNonBlocking(peer_, true);
    while (!done) {
      if (Api().Receive(peer_, sink.data(), static_cast<int>(sink.size())).Failed())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(Api().WaitOrWake(client_, pf::PollFor::Write, wake, kUpperBoundMs).value,
            pf::kWaitReady);
  done = true;
  reader.join();
}

}  // namespace
