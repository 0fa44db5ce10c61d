// TTCPClient against real loopback sockets, plus a few faults injected
// through a wrapper over the socket interface. Waits use generous upper
// bounds only: every wait returns as soon as the awaited event happens.
#include "protocol/TcpClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

namespace {

using kv::TTCPClient;
namespace pf = kv::platform;

constexpr int kUpperBoundMs = 10000;
const std::string kLoopback = "127.0.0.1";

// "Соединение закрыто удаленной стороной" and "Таймаут подключения" in
// Windows-1251, written out byte by byte.
const std::string kResetText =
    "\xd1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5\x20\xe7\xe0\xea\xf0\xfb\xf2\xee\x20"
    "\xf3\xe4\xe0\xeb\xe5\xed\xed\xee\xe9\x20\xf1\xf2\xee\xf0\xee\xed\xee\xe9";
const std::string kTimeoutText =
    "\xd2\xe0\xe9\xec\xe0\xf3\xf2\x20\xef\xee\xe4\xea\xeb\xfe\xf7\xe5\xed\xe8\xff";
const std::string kRefusedText =
    "\xd3\xe4\xe0\xeb\xe5\xed\xed\xfb\xe9\x20\xf3\xe7\xe5\xeb\x20\xee\xf2\xea\xeb\xee\xed\xe8\xeb"
    "\x20"
    "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5";

// A listening socket on 127.0.0.1 and the one peer it accepts.
class LoopbackServer {
 public:
  explicit LoopbackServer(int receiveBuffer = 0) {
    api_.Startup();
    EXPECT_FALSE(api_.OpenTcp(listener_).Failed());
    if (receiveBuffer > 0)
      api_.SetBufferSizes(listener_, 0, receiveBuffer);  // inherited by the peer
    pf::Ipv4Address local;
    local.address = pf::MakeIpv4(127, 0, 0, 1);
    EXPECT_FALSE(api_.Bind(listener_, local).Failed());
    EXPECT_FALSE(api_.Listen(listener_, 4).Failed());
    EXPECT_FALSE(api_.LocalName(listener_, local).Failed());
    port_ = pf::NetToHost16(local.port);
  }
  ~LoopbackServer() {
    ClosePeer();
    CloseListener();
    api_.Cleanup();
  }

  std::uint16_t Port() const { return port_; }
  pf::SocketHandle Peer() const { return peer_; }
  const pf::Ipv4Address& PeerAddress() const { return peerAddress_; }

  bool Accept() {
    pf::SocketResult ready = api_.Wait(listener_, pf::PollFor::Read, kUpperBoundMs);
    return ready.value > 0 && !api_.Accept(listener_, peer_, peerAddress_).Failed();
  }
  void ClosePeer() {
    if (peer_ != pf::SocketHandle::None) api_.Close(peer_);
    peer_ = pf::SocketHandle::None;
  }
  void ResetPeer() {
    api_.SetAbortiveClose(peer_);
    ClosePeer();
  }
  void CloseListener() {
    if (listener_ != pf::SocketHandle::None) api_.Close(listener_);
    listener_ = pf::SocketHandle::None;
  }
  std::string ReceiveExactly(int count) {
    std::string got;
    char buf[256];
    while (static_cast<int>(got.size()) < count) {
      if (api_.Wait(peer_, pf::PollFor::Read, kUpperBoundMs).value <= 0) break;
      pf::SocketResult r =
          api_.Receive(peer_, buf, std::min<int>(sizeof buf, count - static_cast<int>(got.size())));
      if (r.value <= 0) break;
      got.append(buf, static_cast<std::size_t>(r.value));
    }
    return got;
  }
  void Send(const std::string& bytes) {
    api_.Send(peer_, bytes.data(), static_cast<int>(bytes.size()));
  }

 private:
  pf::TSocketApi& api_ = pf::SystemSockets();
  pf::SocketHandle listener_ = pf::SocketHandle::None;
  pf::SocketHandle peer_ = pf::SocketHandle::None;
  pf::Ipv4Address peerAddress_;
  std::uint16_t port_ = 0;
};

// A port on which nothing listens (a listener's, closed again).
std::uint16_t UnusedPort() {
  LoopbackServer server;
  return server.Port();
}

void ConnectTo(TTCPClient& client, LoopbackServer& server) {
  ASSERT_TRUE(client.Connect(kLoopback, server.Port()));
  ASSERT_TRUE(client.WaitConnected(kUpperBoundMs)) << client.LastError();
  ASSERT_TRUE(server.Accept());
}

// Counts the calls that matter to the tests and can replace some answers.
class ScriptedSockets : public pf::TSocketApiWrapper {
 public:
  ScriptedSockets() : TSocketApiWrapper(pf::SystemSockets()) {}

  int calls = 0;
  int resolves = 0;
  int cleanups = 0;
  pf::SocketResult startup{0, 0};
  bool neverWritable = false;
  bool connectCompletesAtOnce = false;
  int openError = 0;
  int connectError = 0;
  std::uint32_t resolvedAddress = 0;
  int resolveError = 0;

  pf::SocketResult Startup() override {
    ++calls;
    return startup.value == 0 ? Target().Startup() : startup;
  }
  void Cleanup() override {
    ++cleanups;
    Target().Cleanup();
  }
  pf::SocketResult ResolveName(const std::string&, std::uint32_t& address) override {
    ++calls;
    ++resolves;
    if (resolveError != 0) return {-1, resolveError};
    address = resolvedAddress;
    return {0, 0};
  }
  pf::SocketResult OpenTcp(pf::SocketHandle& handle) override {
    ++calls;
    return openError != 0 ? pf::SocketResult{-1, openError} : Target().OpenTcp(handle);
  }
  pf::SocketResult Connect(pf::SocketHandle s, const pf::Ipv4Address& remote) override {
    ++calls;
    if (connectError != 0) return {-1, connectError};
    pf::SocketResult r = Target().Connect(s, remote);
    if (connectCompletesAtOnce && r.error == pf::wsa::kWouldBlock) {
      Target().Wait(s, pf::PollFor::Write, kUpperBoundMs);
      return {0, 0};
    }
    return r;
  }
  pf::SocketResult Wait(pf::SocketHandle s, pf::PollFor what, int timeoutMs) override {
    ++calls;
    return neverWritable ? pf::SocketResult{0, 0} : Target().Wait(s, what, timeoutMs);
  }
  pf::SocketResult ConnectionOutcome(pf::SocketHandle s) override {
    ++calls;
    return Target().ConnectionOutcome(s);
  }
  pf::SocketResult LocalName(pf::SocketHandle s, pf::Ipv4Address& local) override {
    ++calls;
    return Target().LocalName(s, local);
  }
  pf::SocketResult SetNonBlocking(pf::SocketHandle s, bool nonBlocking) override {
    ++calls;
    return Target().SetNonBlocking(s, nonBlocking);
  }
};

TEST(TcpConnect, ExchangesBytesWithTheServerAndCountsThem) {
  LoopbackServer server;
  TTCPClient client(false);
  ConnectTo(client, server);

  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.RemoteAddressText(), "127.0.0.1:" + std::to_string(server.Port()));
  EXPECT_EQ(client.LocalAddressText(),
            "127.0.0.1:" + std::to_string(pf::NetToHost16(server.PeerAddress().port)));

  const char hello[] = {'\x2a', '\x00', '\xff', 'k', 'v'};
  ASSERT_TRUE(client.Write(hello, 5));
  EXPECT_EQ(client.LastCount(), 5);
  EXPECT_EQ(client.BytesSent(), 5);
  EXPECT_EQ(server.ReceiveExactly(5), std::string(hello, 5));

  server.Send(std::string("\x01\x02\x03", 3));
  ASSERT_TRUE(client.Poll(true, false, false, kUpperBoundMs));
  ASSERT_EQ(client.Available(), 3);
  char got[3] = {};
  ASSERT_TRUE(client.Read(got, 3));
  EXPECT_EQ(std::string(got, 3), std::string("\x01\x02\x03", 3));
  EXPECT_EQ(client.BytesReceived(), 3);
  EXPECT_EQ(client.Status(), 0);
  EXPECT_EQ(client.LastError(), 0);
}

TEST(TcpConnect, NewAttemptRestartsCountersAndClosesTheOldSocket) {
  LoopbackServer first;
  TTCPClient client(false);
  ConnectTo(client, first);
  ASSERT_TRUE(client.Write("abc", 3));
  EXPECT_EQ(first.ReceiveExactly(3), "abc");

  LoopbackServer second;
  ASSERT_TRUE(client.Connect(kLoopback, second.Port()));
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.BytesSent(), 0);
  EXPECT_EQ(client.BytesReceived(), 0);
  // The first server sees its connection end.
  EXPECT_EQ(first.ReceiveExactly(1), "");
  ASSERT_TRUE(client.WaitConnected(kUpperBoundMs));
}

TEST(TcpConnect, RefusedAttemptIsNeverReportedAsConnected) {
  TTCPClient client(false);
  ASSERT_TRUE(client.Connect(kLoopback, UnusedPort()));
  EXPECT_FALSE(client.WaitConnected(kUpperBoundMs));
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Status(), 0);
  EXPECT_EQ(client.LastError(), 10061);
  EXPECT_EQ(client.ErrorText(), kRefusedText);
  // Asking again must not mistake the spent attempt for a connection.
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(client.WaitConnected(0));
    EXPECT_EQ(client.LastError(), 10061);
  }
  client.Close();
  EXPECT_FALSE(client.WaitConnected(0));
  EXPECT_FALSE(client.Connected());
}

TEST(TcpConnect, PendingAttemptTimesOutWith10060AndStatusZero) {
  LoopbackServer server;
  ScriptedSockets api;
  TTCPClient client(false, api);
  ASSERT_TRUE(client.Connect(kLoopback, server.Port()));
  api.neverWritable = true;
  EXPECT_FALSE(client.WaitConnected(0));
  EXPECT_EQ(client.LastError(), 10060);
  EXPECT_EQ(client.Status(), 0);
  EXPECT_EQ(client.ErrorText(), kTimeoutText);
  EXPECT_FALSE(client.Connected());
}

TEST(TcpConnect, WaitOnConnectedObjectMakesNoSystemCall) {
  LoopbackServer server;
  ScriptedSockets api;
  TTCPClient client(false, api);
  ConnectTo(client, server);
  client.SetError(10054);
  int before = api.calls;
  EXPECT_TRUE(client.WaitConnected(0));
  EXPECT_EQ(api.calls, before);
  EXPECT_EQ(client.LastError(), 0);
}

TEST(TcpConnect, ConnectionCompletingAtOnceCountsAsStarted) {
  LoopbackServer server;
  ScriptedSockets api;
  api.connectCompletesAtOnce = true;
  TTCPClient client(false, api);
  ASSERT_TRUE(client.Connect(kLoopback, server.Port()));
  EXPECT_EQ(client.Status(), 0);
  EXPECT_TRUE(client.WaitConnected(kUpperBoundMs));
}

TEST(TcpConnect, FailuresBeforeTheAttemptStarts) {
  ScriptedSockets api;
  TTCPClient client(false, api);

  api.openError = 10024;
  EXPECT_FALSE(client.Connect(kLoopback, 1));
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 10024);
  EXPECT_EQ(client.Socket(), pf::SocketHandle::None);

  api.openError = 0;
  api.connectError = 10051;
  EXPECT_FALSE(client.Connect(kLoopback, 1));
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 10051);
  EXPECT_NE(client.Socket(), pf::SocketHandle::None);  // stays open until the next Close
  EXPECT_FALSE(client.Connected());
  client.Close();
  EXPECT_EQ(client.Socket(), pf::SocketHandle::None);
}

TEST(TcpConnect, BindToAPortInUseFailsAndKeepsTheSocket) {
  LoopbackServer server;
  TTCPClient client(false);
  EXPECT_FALSE(client.ConnectFrom(kLoopback, server.Port(), kLoopback, server.Port()));
  EXPECT_EQ(client.Status(), -1);
  EXPECT_EQ(client.LastError(), 10048);
  EXPECT_NE(client.Socket(), pf::SocketHandle::None);
}

TEST(TcpResolve, DottedTextNeverReachesTheNameService) {
  ScriptedSockets api;
  TTCPClient client(false, api);
  std::uint32_t address = 0;
  ASSERT_TRUE(client.Resolve("127.0.0.1", address));
  EXPECT_EQ(address, pf::MakeIpv4(127, 0, 0, 1));
  EXPECT_EQ(api.resolves, 0);

  // All ones is the "not an address" answer of the parser: asked by name.
  api.resolvedAddress = pf::MakeIpv4(255, 255, 255, 255);
  ASSERT_TRUE(client.Resolve("255.255.255.255", address));
  EXPECT_EQ(api.resolves, 1);
  EXPECT_EQ(address, 0xFFFFFFFFu);
}

TEST(TcpResolve, UnknownAndEmptyNamesFail) {
  ScriptedSockets api;
  TTCPClient client(false, api);
  std::uint32_t address = 0;
  api.resolveError = 11001;
  EXPECT_FALSE(client.Resolve("kavrel.example", address));
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 11001);
  EXPECT_FALSE(client.Connect("kavrel.example", 5000));
  EXPECT_EQ(client.Socket(), pf::SocketHandle::None);

  EXPECT_FALSE(client.Resolve("", address));
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 0);

  TTCPClient raising(true, api);
  EXPECT_THROW(raising.Resolve("kavrel.example", address), int);
  EXPECT_EQ(raising.LastError(), 11001);
}

TEST(TcpResolve, LocalhostThroughTheSystemResolver) {
  TTCPClient client(false);
  std::uint32_t address = 0;
  ASSERT_TRUE(client.Resolve("localhost", address));
  unsigned char first = 0;
  std::memcpy(&first, &address, 1);
  EXPECT_EQ(first, 127);
}

TEST(TcpPeer, OrderlyCloseReadsAsShortReceive) {
  LoopbackServer server;
  TTCPClient client(false);
  ConnectTo(client, server);
  server.ClosePeer();

  ASSERT_TRUE(client.Poll(true, false, false, kUpperBoundMs));
  EXPECT_EQ(client.Available(), 0);
  EXPECT_EQ(client.Status(), 0);
  char buf[10];
  EXPECT_FALSE(client.Read(buf, 10));
  EXPECT_EQ(client.Status(), 3);
  EXPECT_EQ(client.LastCount(), 0);
  EXPECT_EQ(client.LastError(), 0);
  EXPECT_EQ(client.BytesReceived(), 0);
}

TEST(TcpPeer, ResetIsASocketError10054) {
  LoopbackServer server;
  TTCPClient client(false);
  ConnectTo(client, server);
  server.ResetPeer();

  ASSERT_TRUE(client.Poll(true, false, false, kUpperBoundMs));
  char buf[10];
  EXPECT_FALSE(client.Read(buf, 10));
#ifdef _WIN32
  // wine closes a zero-linger socket gracefully; Windows itself resets it.
  if (client.Status() == 3) GTEST_SKIP() << "the peer's abortive close arrived as a normal close";
#endif
  EXPECT_EQ(client.Status(), 2);
  EXPECT_EQ(client.LastCount(), -1);
  EXPECT_EQ(client.LastError(), 10054);
  EXPECT_EQ(client.ErrorText(), kResetText);
}

TEST(TcpPeer, WritingToAResetConnectionFailsWithoutKillingTheProcess) {
  LoopbackServer server;
  TTCPClient client(false);
  ConnectTo(client, server);
  server.ResetPeer();
  ASSERT_TRUE(client.Poll(true, false, false, kUpperBoundMs));

  // On POSIX this would raise SIGPIPE without care; the test would die.
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(client.Write("x", 1));
    EXPECT_EQ(client.Status(), 2);
    EXPECT_TRUE(client.LastError() == 10053 || client.LastError() == 10054) << client.LastError();
  }
  EXPECT_EQ(client.BytesSent(), 0);
}

TEST(TcpPeer, SendToAPeerThatDoesNotReadNeverWaitsAndIsStatus3) {
  LoopbackServer server(4096);
  TTCPClient client(false);
  ConnectTo(client, server);
  pf::SystemSockets().SetBufferSizes(client.Socket(), 4096, 0);

  std::vector<char> data(8 * 1024 * 1024, 'v');
  const int len = static_cast<int>(data.size());
  std::future<bool> first =
      std::async(std::launch::async, [&] { return client.Write(data.data(), len); });
  const bool prompt =
      first.wait_for(std::chrono::milliseconds(kUpperBoundMs)) == std::future_status::ready;
  if (!prompt) server.ResetPeer();  // releases a send that waits for the peer
  EXPECT_FALSE(first.get());
  ASSERT_TRUE(prompt) << "the send waited for the peer";
  EXPECT_EQ(client.Status(), 3);
  EXPECT_EQ(client.LastError(), 0);
  EXPECT_GT(client.LastCount(), 0);
  EXPECT_LT(client.LastCount(), len);
  EXPECT_EQ(client.BytesSent(), client.LastCount());

  // Keep sending until the windows are full: every successful send moves at
  // least one byte into finite buffers, so this ends with "would block".
  int total = client.BytesSent();
  for (int i = 0; i < 1000000 && client.Write(data.data(), len) == false && client.Status() == 3;
       ++i)
    total += client.LastCount();
  EXPECT_EQ(client.Status(), 2);
  EXPECT_EQ(client.LastError(), 10035);
  EXPECT_EQ(client.LastCount(), -1);
  EXPECT_EQ(client.BytesSent(), total);
}

TEST(TcpClosedObject, OperationsReportNoSocket) {
  TTCPClient client(false);
  char buf[4] = {};
  EXPECT_FALSE(client.Write(buf, 4));
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 0);
  EXPECT_FALSE(client.Read(buf, 4));
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 0);

  client.SetError(10054);
  EXPECT_EQ(client.Available(), 0);
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 0);

  EXPECT_FALSE(client.SetBlocking(true));
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 10038);

  // Close keeps the status and clears the error.
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(client.Status(), 1);
  EXPECT_EQ(client.LastError(), 0);

  EXPECT_FALSE(client.Poll(true, true, true, 0));
  EXPECT_EQ(client.LastError(), 10038);
  EXPECT_EQ(client.Status(), 1);
}

TEST(TcpClosedObject, RaiseModeThrowsTheIntegerAfterRecording) {
  TTCPClient client(true);
  char buf[4] = {};
  try {
    client.Write(buf, 4);
    ADD_FAILURE() << "Write did not raise";
  } catch (int code) {
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(client.Status(), 1);
  EXPECT_THROW(client.Read(buf, 4), int);
  EXPECT_THROW(client.Available(), int);
  EXPECT_THROW(client.SetBlocking(false), int);
  EXPECT_EQ(client.LastError(), 10038);
  EXPECT_NO_THROW(client.Close());
}

TEST(TcpLifetime, FailedStartupIsRecordedAndNotBalancedByCleanup) {
  ScriptedSockets api;
  api.startup = {10091, 10091};
  {
    TTCPClient client(false, api);
    EXPECT_EQ(client.Status(), 10091);
    EXPECT_EQ(client.LastError(), 10091);
  }
  EXPECT_EQ(api.cleanups, 0);
  EXPECT_THROW(TTCPClient(true, api), int);

  api.startup = {0, 0};
  { TTCPClient client(false, api); }
  EXPECT_EQ(api.cleanups, 1);
}

TEST(TcpLifetime, DestructionClosesTheConnection) {
  LoopbackServer server;
  {
    TTCPClient client(false);
    ConnectTo(client, server);
  }
  EXPECT_EQ(server.ReceiveExactly(1), "");  // end of stream, not a time-out
}

TEST(TcpErrorText, MapsCodesToTexts) {
  EXPECT_EQ(kv::SocketErrorText(0), "");
  EXPECT_EQ(kv::SocketErrorText(10051),
            "\xd1\xe5\xf2\xfc\x20\xed\xe5\xe4\xee\xf1\xf2\xf3\xef\xed\xe0");
  EXPECT_EQ(kv::SocketErrorText(10065), kv::SocketErrorText(10051));
  EXPECT_EQ(kv::SocketErrorText(12345),
            std::string("\xca\xee\xe4\x20\xee\xf8\xe8\xe1\xea\xe8\x3a\x20") + "12345");
  EXPECT_EQ(
      kv::SocketErrorText(10038),
      "\xcd\xe5\xe2\xe5\xf0\xed\xfb\xe9\x20\xe8\xe4\xe5\xed\xf2\xe8\xf4\xe8\xea\xe0\xf2\xee\xf0\x20"
      "\xf1\xee\xea\xe5\xf2\xe0");
  TTCPClient client(false);
  client.SetError(10060);
  EXPECT_EQ(client.ErrorText(), kTimeoutText);
}

}  // namespace
