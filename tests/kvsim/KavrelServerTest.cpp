// The server over real loopback sockets, with a plain TTCPClient as the
// client: what it answers, what it records, and every injection. Waits use
// generous upper bounds only; each returns as soon as its event happened.
#include "kvsim/KavrelServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "protocol/ChannelRecords.h"
#include "protocol/TcpClient.h"
#include "TestClient.h"
#include "values/DataTypes.h"

namespace {

using namespace kv;
using namespace kv::sim;
using std::chrono::milliseconds;
using namespace kvsim_test;

const std::string kStatusRequest = Bytes({18});
const std::string kStatusReply = Bytes({100, 0, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0});

TServerOptions Ephemeral() {
  TServerOptions options;
  options.port = 0;
  return options;
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override { Begin(Ephemeral()); }
  void Begin(const TServerOptions& options) {
    server_ = std::make_unique<TKavrelServer>(options);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(client_.Connect(server_->Port()));
    ASSERT_TRUE(server_->WaitForConnection(kUpperBound));
  }
  void LogIn() {
    ASSERT_TRUE(client_.Send(LoginRequest()));
    ASSERT_EQ(client_.Read(25).size(), 25u);
  }
  // Registers A1 and reads the answering activation.
  void RegisterA1() {
    ASSERT_TRUE(client_.Send(kRegisterA1));
    ASSERT_EQ(client_.Read(kActivateA1.size()), kActivateA1);
  }

  std::unique_ptr<TKavrelServer> server_;
  TestClient client_;
};

TEST_F(Server, EphemeralPortIsReportedAndExclusive) {
  EXPECT_NE(server_->Port(), 0);
  TServerOptions same;
  same.port = server_->Port();
  TKavrelServer second(same);
  EXPECT_FALSE(second.Start());
  EXPECT_EQ(second.LastError(), platform::wsa::kAddressInUse);
}

TEST_F(Server, LoginReplyBytesAndRecord) {
  TLoginBehaviour login;
  login.fields.clientId = 0x01020304;
  login.fields.versionMajor = 4;
  login.fields.versionMinor = 2;
  login.fields.resultCode = 0;
  login.fields.serverTime = 2.5;
  login.fields.bias = -180;
  login.serverTimeNow = false;
  login.localBias = false;
  server_->SetLoginBehaviour(login);
  ASSERT_TRUE(client_.Send(LoginRequest()));
  EXPECT_EQ(client_.Read(25),
            Bytes({0x2B, 0x04, 0x03, 0x02, 0x01, 0x00, 0, 0,    0,    0,    0, 0, 0x04,
                   0x40, 0x04, 0x02, 0,    0,    0,    0, 0x00, 0x4C, 0xFF, 0, 0}));
  ASSERT_TRUE(server_->WaitForLogins(1, kUpperBound));
  const auto logins = server_->Records(TRecordKind::Login);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].login.login, "CFG");
  EXPECT_EQ(logins[0].login.password, "pwd");
  EXPECT_EQ(logins[0].bytes, LoginRequest());
}

TEST_F(Server, SilentLoginSendsNothingBeforeLaterAnswers) {
  TLoginBehaviour login;
  login.mode = TLoginMode::Silent;
  server_->SetLoginBehaviour(login);
  ASSERT_TRUE(client_.Send(LoginRequest() + kStatusRequest));
  EXPECT_EQ(client_.Read(13), kStatusReply);
}

TEST_F(Server, ClosingLoginEndsTheConnection) {
  TLoginBehaviour login;
  login.mode = TLoginMode::Close;
  server_->SetLoginBehaviour(login);
  ASSERT_TRUE(client_.Send(LoginRequest()));
  EXPECT_EQ(client_.WaitEnd(), 0);
  EXPECT_TRUE(server_->WaitFor([](const TServerView& v) { return !v.connected; }, kUpperBound));
}

TEST_F(Server, StatusRequestAnsweredThenIgnored) {
  ASSERT_TRUE(client_.Send(kStatusRequest));
  EXPECT_EQ(client_.Read(13), kStatusReply);
  server_->SetAnswerStatus(false);
  ASSERT_TRUE(client_.Send(kStatusRequest));
  ASSERT_TRUE(server_->WaitForRecords(TRecordKind::StatusRequest, 2, kUpperBound));
  ASSERT_TRUE(server_->SendRaw("X"));
  EXPECT_EQ(client_.Read(1), "X") << "the ignored request got no reply before the injected byte";
}

TEST_F(Server, RegistrationDecodedIntoViewAndActivated) {
  LogIn();
  RegisterA1();
  const auto channel = server_->Channel("a1");
  ASSERT_TRUE(channel.has_value());
  EXPECT_EQ(channel->number, 1u);
  EXPECT_EQ(channel->type, dtFloat8);
  EXPECT_EQ(channel->registrations, 1);
  EXPECT_TRUE(channel->activeSent);
  EXPECT_EQ(server_->ChannelByNumber(1)->addr, "A1");
}

TEST_F(Server, DelayedActivationArrivesLater) {
  server_->SetActivation(TActivation::Delayed, milliseconds(50));
  ASSERT_TRUE(client_.Send(kRegisterA1 + kStatusRequest));
  EXPECT_EQ(client_.Read(13 + kActivateA1.size()), kStatusReply + kActivateA1);
}

TEST_F(Server, ValuesRecordedInOrder) {
  LogIn();
  RegisterA1();
  ASSERT_TRUE(client_.Send(kValueOf1));
  ASSERT_TRUE(client_.Send(kValueOf1.substr(0, 5)));
  ASSERT_TRUE(client_.Send(kValueOf1.substr(5)));
  ASSERT_TRUE(server_->WaitForValues("A1", 2, kUpperBound));
  const auto channel = server_->Channel("A1");
  EXPECT_EQ(channel->value.ToDouble(), 12.5);
  EXPECT_EQ(channel->dt, 2.5);
  const auto records = server_->Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].kind, TRecordKind::Connected);
  EXPECT_EQ(records[1].kind, TRecordKind::Login);
  EXPECT_EQ(records[2].kind, TRecordKind::Registration);
  EXPECT_EQ(records[3].kind, TRecordKind::Value);
  EXPECT_EQ(records[4].bytes, kValueOf1);
}

TEST_F(Server, ControlsByNumberAndByAddress) {
  TControl byNumber;
  byNumber.byNumber = true;
  byNumber.number = 7;
  byNumber.dt = 2.5;
  byNumber.type = dtInt4;
  byNumber.value = Variant(42);
  ASSERT_TRUE(server_->SendControl(byNumber));
  EXPECT_EQ(client_.Read(25),
            Bytes({0x39, 0x19, 0x00, 0x0D, 0x07, 0,    0,    0, 0, 0, 0,    0,   0,
                   0,    0x04, 0x40, 0x00, 0x03, 0x00, 0x2A, 0, 0, 0, 0x00, 0x00}));

  TControl byAddress;
  byAddress.addr = "A1";
  byAddress.timeForm = TDateTimeForm::Iso;
  byAddress.dt = 2.5;  // 1900-01-01 12:00
  byAddress.type = dtBoolean;
  byAddress.value = Variant::FromBoolean(true);
  ASSERT_TRUE(server_->SendControl(byAddress));
  // 3 header + 1 flags + 4 address + 22 time text + 1 quality + 2 type + 2 value + 2 owner
  const std::string got = client_.Read(37);
  ASSERT_EQ(got.size(), 37u);
  EXPECT_EQ(got.substr(0, 4), Bytes({0x39, 37, 0, 0x0E}));
  EXPECT_EQ(got.substr(8, 22), Bytes({20, 0}) + "19000101T120000.0000");
  EXPECT_EQ(got.substr(30), Bytes({0x00, 0x0B, 0x00, 0xFF, 0xFF, 0x00, 0x00}));
}

TEST_F(Server, ChannelChangeTimeAndNotice) {
  TChannelChange change;
  change.addr = "B";
  change.number = 3;
  change.active = false;
  ASSERT_TRUE(server_->SendChannelChange(change));
  EXPECT_EQ(client_.Read(13),
            Bytes({0x3C, 0x0D, 0x00, 0x04, 0x01, 0x00, 'B', 0x03, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(server_->SendServerTime(2.5, 300));
  EXPECT_EQ(client_.Read(15), Bytes({22, 0, 0, 0, 0, 0, 0, 0x04, 0x40, 0x2C, 0x01, 0, 0, 0, 0}));
  ASSERT_TRUE(server_->SendChannelNotice(0x05, 2.5, 12));
  EXPECT_EQ(client_.Read(20),
            Bytes({40, 0x05, 0, 0, 0, 0, 0, 0, 0x04, 0x40, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(server_->SendStatusReply(7));
  EXPECT_EQ(client_.Read(13), Bytes({100, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Server, StructuresCommandsAndRawBytes) {
  ASSERT_TRUE(server_->SendStructure(41));
  const std::string skipped = client_.Read(317);
  ASSERT_EQ(skipped.size(), 317u);
  EXPECT_EQ(skipped[0], 41);
  EXPECT_EQ(skipped.find_first_not_of('\0', 1), std::string::npos);
  ASSERT_TRUE(server_->SendStructure(23));
  EXPECT_EQ(client_.Read(1), Bytes({23}));
  ASSERT_TRUE(server_->SendCommand(52, "ab"));
  EXPECT_EQ(client_.Read(5), Bytes({52, 5, 0, 'a', 'b'}));
  ASSERT_TRUE(server_->SendRaw(Bytes({0, 1, 2})));
  EXPECT_EQ(client_.Read(3), Bytes({0, 1, 2}));
}

TEST_F(Server, PiecesArriveWholeAndGarbageStartsWithUnknownId) {
  const std::string control =
      Bytes({0x39, 0x19, 0x00, 0x0D, 0x07, 0,    0,    0, 0, 0, 0,    0,   0,
             0,    0x04, 0x40, 0x00, 0x03, 0x00, 0x2A, 0, 0, 0, 0x00, 0x00});
  ASSERT_TRUE(server_->SendInPieces(control, 4, milliseconds(5)));
  EXPECT_EQ(client_.Read(control.size()), control);
  ASSERT_TRUE(server_->SendGarbage(50));
  const std::string garbage = client_.Read(50);
  ASSERT_EQ(garbage.size(), 50u);
  EXPECT_EQ(static_cast<unsigned char>(garbage[0]), 0xFF);
}

TEST_F(Server, DropClosesAndNextClientIsServed) {
  ASSERT_TRUE(server_->Drop());
  EXPECT_EQ(client_.WaitEnd(), 0);
  EXPECT_FALSE(server_->Connected());
  EXPECT_FALSE(server_->SendRaw("x")) << "nothing to send to";
  EXPECT_FALSE(server_->Drop());
  TestClient next;
  ASSERT_TRUE(next.Connect(server_->Port()));
  ASSERT_TRUE(next.Send(kStatusRequest));
  EXPECT_EQ(next.Read(13), kStatusReply);
  const auto records = server_->Records();
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[1].kind, TRecordKind::Disconnected);
  EXPECT_EQ(records[2].kind, TRecordKind::Connected);
}

TEST_F(Server, ResetIsSeenAsReset) {
  ASSERT_TRUE(server_->Reset());
  const int end = client_.WaitEnd();
#ifdef _WIN32
  // wine, which runs the Windows tests here, closes the socket in order
  // despite the zero linger time.
  EXPECT_TRUE(end == platform::wsa::kConnectionReset || end == 0) << end;
#else
  EXPECT_EQ(end, platform::wsa::kConnectionReset);
#endif
}

TEST_F(Server, ClientCloseIsRecorded) {
  client_.Tcp().Close();
  EXPECT_TRUE(server_->WaitForRecords(TRecordKind::Disconnected, 1, kUpperBound));
  EXPECT_FALSE(server_->Connected());
}

TEST_F(Server, ProtocolErrorFromClientDropsIt) {
  ASSERT_TRUE(client_.Send(Bytes({23, 0, 0})));
  EXPECT_EQ(client_.WaitEnd(), 0);
  const auto errors = server_->Records(TRecordKind::ProtocolError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].id, 23);
}

TEST_F(Server, StoppedReadingHoldsValuesBack) {
  LogIn();
  RegisterA1();
  server_->SetReading(false);
  // A completed injection proves the server thread has seen the switch.
  ASSERT_TRUE(server_->SendRaw("x"));
  ASSERT_EQ(client_.Read(1), "x");
  ASSERT_TRUE(client_.Send(kValueOf1));
  ASSERT_TRUE(server_->SendRaw("y"));
  ASSERT_EQ(client_.Read(1), "y");
  EXPECT_EQ(server_->Channel("A1")->values, 0);
  server_->SetReading(true);
  EXPECT_TRUE(server_->WaitForValues("A1", 1, kUpperBound));
}

TEST_F(Server, SendToClientThatDoesNotReadGivesUp) {
  TServerOptions options = Ephemeral();
  options.sendTimeoutMs = 200;
  server_.reset();
  client_.Tcp().Close();
  Begin(options);
  // More than the loopback buffers of both ends hold.
  EXPECT_FALSE(server_->SendRaw(std::string(48 * 1024 * 1024, '\x12')));
  EXPECT_TRUE(server_->WaitFor([](const TServerView& v) { return !v.connected; }, kUpperBound));
  const auto ends = server_->Records(TRecordKind::Disconnected);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].note, "send failed, error 10060");
}

TEST_F(Server, StopWithClientConnectedEndsConnection) {
  server_->Stop();
  EXPECT_NE(client_.WaitEnd(), -1);
  EXPECT_FALSE(server_->SendRaw("x"));
  server_->Stop();
}

TEST(ServerObserver, SeesEveryRecordInOrder) {
  TKavrelServer server(Ephemeral());
  std::vector<TRecordKind> seen;  // written on the server thread, read after Stop
  server.SetObserver([&seen](const TReceivedRecord& record) { seen.push_back(record.kind); });
  ASSERT_TRUE(server.Start());
  TestClient client;
  ASSERT_TRUE(client.Connect(server.Port()));
  ASSERT_TRUE(client.Send(LoginRequest() + kStatusRequest));
  ASSERT_EQ(client.Read(25 + 13).size(), 38u);
  client.Tcp().Close();
  ASSERT_TRUE(server.WaitForRecords(TRecordKind::Disconnected, 1, kUpperBound));
  server.Stop();
  EXPECT_EQ(seen,
            (std::vector<TRecordKind>{TRecordKind::Connected, TRecordKind::Login,
                                      TRecordKind::StatusRequest, TRecordKind::Disconnected}));
}

}  // namespace
