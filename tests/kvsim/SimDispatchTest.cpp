// The server's answers to what a client sends, without sockets: bytes in,
// records and answer bytes out.
#include "kvsim/SimDispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "values/DataTypes.h"

namespace {

using namespace kv;
using namespace kv::sim;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

std::string LoginRequest(const std::string& login) {
  std::string request(72, '\0');
  request[0] = 42;
  request[1] = 2;
  request.replace(2, login.size(), login);
  request[62] = 1;
  request[63] = 1;
  request[64] = 4;
  return request;
}

// Registration 51 of a Float8 channel by address, no attributes.
std::string Register(const std::string& addr) {
  std::string body =
      Bytes({0x82, 0x00, static_cast<int>(addr.size()), 0x00}) + addr + Bytes({0x05, 0x00, 0, 0});
  const int length = static_cast<int>(body.size()) + 3;
  return Bytes({0x33, length & 0xFF, length >> 8}) + body;
}

// Value 55 by number, time 2.5, quality 0, Float8 12.5.
std::string Value(int number) {
  return Bytes({0x37, 0x1B, 0x00, 0x05, number, 0, 0, 0, 0, 0, 0, 0,    0,   0,
                0x04, 0x40, 0x00, 0x05, 0x00,   0, 0, 0, 0, 0, 0, 0x29, 0x40});
}

const std::string kStatusRequest = Bytes({18});
const std::string kStatusReply = Bytes({100, 0, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0});

class Dispatch : public ::testing::Test {
 protected:
  TDispatchResult Feed(const std::string& bytes) {
    buffer_.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    TDispatchResult result;
    DispatchReceived(buffer_, options_, state_, result);
    return result;
  }
  const TReceivedRecord& Last() const { return state_.Records().back(); }

  TKavrelCmdParser buffer_;
  TProtocolOptions options_;
  TSimState state_{1};
};

TEST_F(Dispatch, LoginAnsweredWithConfiguredFields) {
  options_.login.fields.clientId = 0x0102;
  options_.login.fields.versionMajor = 3;
  options_.login.fields.versionMinor = 9;
  options_.login.fields.serverTime = 2.5;
  options_.login.fields.bias = 60;
  options_.login.serverTimeNow = false;
  options_.login.localBias = false;
  const TDispatchResult result = Feed(LoginRequest("CFG"));
  EXPECT_EQ(result.reply, Bytes({0x2B, 0x02, 0x01, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0x04,
                                 0x40, 3,    9,    0, 0, 0, 0, 0, 60, 0, 0, 0}));
  EXPECT_FALSE(result.close);
  EXPECT_EQ(Last().kind, TRecordKind::Login);
  EXPECT_EQ(Last().login.login, "CFG");
  EXPECT_EQ(state_.Logins(), 1);
}

TEST_F(Dispatch, LoginFaultModes) {
  options_.login.mode = TLoginMode::Short;
  options_.login.shortLength = 7;
  TDispatchResult result = Feed(LoginRequest("a"));
  ASSERT_EQ(result.reply.size(), 7u);
  EXPECT_EQ(result.reply[0], 43);

  options_.login.mode = TLoginMode::WrongId;
  options_.login.wrongId = 44;
  result = Feed(LoginRequest("b"));
  ASSERT_EQ(result.reply.size(), 25u);
  EXPECT_EQ(result.reply[0], 44);

  options_.login.mode = TLoginMode::Silent;
  result = Feed(LoginRequest("c"));
  EXPECT_TRUE(result.reply.empty());
  EXPECT_FALSE(result.close);

  options_.login.mode = TLoginMode::Close;
  result = Feed(LoginRequest("d") + kStatusRequest);
  EXPECT_TRUE(result.reply.empty());
  EXPECT_TRUE(result.close);
  EXPECT_EQ(state_.Logins(), 4);
  EXPECT_EQ(Last().kind, TRecordKind::Login)
      << "nothing after the login is handled once the server closes";
}

TEST_F(Dispatch, CredentialsAndRefusalsAnswerWithTheirCode) {
  auto answer = [this](const std::string& login) {
    const TDispatchResult result = Feed(LoginRequest(login));
    EXPECT_EQ(Last().loginAnswer, TLoginAnswer::Reply);
    return std::make_pair(static_cast<int>(Last().loginReply.clientId),
                          static_cast<int>(result.reply[20]));
  };
  options_.login.requiredLogin = "Cfg";
  options_.login.requiredPassword = std::string();  // the request's password is empty
  EXPECT_EQ(answer("CFG"), std::make_pair(1, 0)) << "the name without regard to case";
  EXPECT_EQ(answer("other"), std::make_pair(-1, 4));
  options_.login.requiredPassword = "secret";
  EXPECT_EQ(answer("CFG"), std::make_pair(-1, 4)) << "a wrong password";
  options_.login.refuseCode = 2;
  options_.login.requiredPassword.reset();
  EXPECT_EQ(answer("CFG"), std::make_pair(-1, 2)) << "refused whatever the credentials";
}

TEST_F(Dispatch, StatusRequestAnsweredOrIgnored) {
  EXPECT_EQ(Feed(kStatusRequest).reply, kStatusReply);
  options_.answerStatus = false;
  EXPECT_TRUE(Feed(kStatusRequest).reply.empty());
  EXPECT_EQ(state_.Records().size(), 2u);
  EXPECT_EQ(Last().kind, TRecordKind::StatusRequest);
}

TEST_F(Dispatch, RegistrationNumbersAndActivatesChannel) {
  const TDispatchResult result = Feed(Register("A1"));
  EXPECT_EQ(result.reply,
            Bytes({0x3C, 0x0E, 0x00, 0x05, 0x02, 0x00, 'A', '1', 0x01, 0, 0, 0, 0x00, 0x00}));
  EXPECT_EQ(Last().kind, TRecordKind::Registration);
  EXPECT_EQ(Last().channelNumber, 1u);
  const TSimChannel* channel = state_.Find("A1");
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->type, dtFloat8);
  EXPECT_TRUE(channel->activeSent);
}

TEST_F(Dispatch, RepeatedRegistrationKeepsNumberIgnoringCase) {
  TSimState state(10);
  TDispatchResult result;
  std::string bytes = Register("A1") + Register("B2") + Register("a1");
  buffer_.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  DispatchReceived(buffer_, options_, state, result);
  ASSERT_EQ(state.Channels().size(), 2u);
  EXPECT_EQ(state.Find("A1")->number, 10u);
  EXPECT_EQ(state.Find("B2")->number, 11u);
  EXPECT_EQ(state.Find("A1")->registrations, 2);
  EXPECT_EQ(state.Records().back().channelNumber, 10u);
  // Every registration, repeated ones too, is answered with its number.
  EXPECT_EQ(result.reply.size(), 3u * 14u);
  EXPECT_EQ(result.reply[8 + 28], 10);
}

TEST_F(Dispatch, ActivationModes) {
  options_.activation = TActivation::Inactive;
  TDispatchResult result = Feed(Register("A1"));
  ASSERT_EQ(result.reply.size(), 14u);
  EXPECT_EQ(result.reply[3], 0x04) << "double attribute time, not active";
  EXPECT_FALSE(state_.Find("A1")->activeSent);

  options_.activation = TActivation::Off;
  result = Feed(Register("B1"));
  EXPECT_TRUE(result.reply.empty());
  EXPECT_TRUE(result.delayed.empty());
  EXPECT_EQ(state_.Find("B1")->number, 2u) << "numbered even when not told";

  options_.activation = TActivation::Delayed;
  result = Feed(Register("C1"));
  EXPECT_TRUE(result.reply.empty());
  ASSERT_EQ(result.delayed.size(), 1u);
  EXPECT_EQ(result.delayed[0].addr, "C1");
  EXPECT_EQ(result.delayed[0].number, 3u);
  EXPECT_TRUE(result.delayed[0].active);
}

TEST_F(Dispatch, ValuesUpdateTheView) {
  Feed(Register("A1"));
  Feed(Value(1) + Value(1));
  const TSimChannel* channel = state_.Find("A1");
  EXPECT_EQ(channel->values, 2);
  EXPECT_TRUE(channel->hasValue);
  EXPECT_EQ(channel->value.ToDouble(), 12.5);
  EXPECT_EQ(channel->dt, 2.5);
  EXPECT_EQ(Last().kind, TRecordKind::Value);
  EXPECT_EQ(Last().channelNumber, 1u);
}

TEST_F(Dispatch, ValueForUnknownChannelIsKeptWithNote) {
  Feed(Value(9));
  EXPECT_EQ(Last().kind, TRecordKind::Value);
  EXPECT_EQ(Last().channelNumber, 0u);
  EXPECT_FALSE(Last().note.empty());
}

TEST_F(Dispatch, CommandSplitOverFeedsIsHandledOnce) {
  Feed(Register("A1"));
  const std::string value = Value(1);
  Feed(value.substr(0, 2));
  Feed(value.substr(2, 10));
  EXPECT_EQ(state_.Find("A1")->values, 0);
  EXPECT_EQ(buffer_.Size(), 12);
  Feed(value.substr(12));
  EXPECT_EQ(state_.Find("A1")->values, 1);
  EXPECT_EQ(buffer_.Size(), 0);
}

TEST_F(Dispatch, SeveralMessagesAnsweredInOrder) {
  const TDispatchResult result =
      Feed(LoginRequest("CFG") + Register("A1") + Value(1) + kStatusRequest);
  ASSERT_EQ(state_.Records().size(), 4u);
  EXPECT_EQ(state_.Records()[0].kind, TRecordKind::Login);
  EXPECT_EQ(state_.Records()[1].kind, TRecordKind::Registration);
  EXPECT_EQ(state_.Records()[2].kind, TRecordKind::Value);
  EXPECT_EQ(state_.Records()[3].kind, TRecordKind::StatusRequest);
  ASSERT_EQ(result.reply.size(), 25u + 14u + 13u);
  EXPECT_EQ(result.reply[0], 43);
  EXPECT_EQ(result.reply[25], 60);
  EXPECT_EQ(result.reply.substr(39), kStatusReply);
}

TEST_F(Dispatch, UnframeableBytesCloseTheConnection) {
  TDispatchResult result = Feed(Bytes({23, 1, 2, 3}) + kStatusRequest);
  EXPECT_TRUE(result.close);
  EXPECT_TRUE(result.reply.empty());
  EXPECT_EQ(Last().kind, TRecordKind::ProtocolError);
  EXPECT_EQ(Last().bytes.size(), 5u);
  EXPECT_EQ(buffer_.Size(), 0);

  result = Feed(Bytes({0x33, 0x02, 0x00, 18}));
  EXPECT_TRUE(result.close);
  EXPECT_EQ(Last().kind, TRecordKind::ProtocolError);
  EXPECT_EQ(Last().id, 51);
}

TEST_F(Dispatch, UndecodableCommandIsSkippedByItsLength) {
  // A 51 whose count promises an attribute that is not inside its length.
  const TDispatchResult result =
      Feed(Bytes({0x33, 0x0D, 0x00, 0x82, 0x00, 0x02, 0x00, 'A', '1', 0x04, 0x00, 1, 0}) +
           kStatusRequest);
  EXPECT_FALSE(result.close);
  ASSERT_EQ(state_.Records().size(), 2u);
  EXPECT_EQ(state_.Records()[0].kind, TRecordKind::ProtocolError);
  EXPECT_FALSE(state_.Records()[0].note.empty());
  EXPECT_EQ(result.reply, kStatusReply);
  EXPECT_TRUE(state_.Channels().empty());
}

TEST_F(Dispatch, RegistrationWithSpareBytesIsNoted) {
  Feed(Bytes({0x33, 0x0F, 0x00, 0x82, 0x00, 0x02, 0x00, 'A', '1', 0x04, 0x00, 0, 0, 0xEE, 0xEE}));
  EXPECT_EQ(Last().kind, TRecordKind::Registration);
  EXPECT_EQ(Last().note, "2 bytes left over after the last field");
  EXPECT_NE(state_.Find("A1"), nullptr);
}

TEST_F(Dispatch, OtherMessagesAreSkipped) {
  std::string other(317, '\0');
  other[0] = 41;
  const TDispatchResult result = Feed(other + Bytes({52, 5, 0, 1, 2}) + kStatusRequest);
  ASSERT_EQ(state_.Records().size(), 3u);
  EXPECT_EQ(state_.Records()[0].kind, TRecordKind::OtherStruct);
  EXPECT_EQ(state_.Records()[0].bytes.size(), 317u);
  EXPECT_EQ(state_.Records()[1].kind, TRecordKind::OtherCommand);
  EXPECT_EQ(result.reply, kStatusReply);
}

TEST_F(Dispatch, RegistrationByUnknownNumberGetsNoAnswer) {
  const TDispatchResult result =
      Feed(Bytes({0x33, 0x0D, 0x00, 0x01, 0x00, 0x07, 0, 0, 0, 0x04, 0x00, 0, 0}));
  EXPECT_TRUE(result.reply.empty());
  EXPECT_EQ(Last().kind, TRecordKind::Registration);
  EXPECT_EQ(Last().channelNumber, 0u);
  EXPECT_TRUE(state_.Channels().empty());
}

// Without a history the usual shapes take a shortcut; the view, the answers
// and the counts must come out as with the history kept, and what the
// shortcut does not take must still be kept.
TEST_F(Dispatch, WithoutHistoryTheViewAndAnswersAreTheSame) {
  // Value by number 2, time 2.5, quality 3, Int4 7; a Float8 value of quality 3.
  const std::string intValue = Bytes({0x37, 0x17, 0x00, 0x05, 2, 0,    0,    0, 0, 0, 0, 0,
                                      0,    0,    0x04, 0x40, 3, 0x03, 0x00, 7, 0, 0, 0});
  std::string badQuality = Value(1);
  badQuality[16] = 3;
  const std::string spare =
      Bytes({0x33, 0x0F, 0x00, 0x82, 0x00, 0x02, 0x00, 'C', '3', 0x04, 0x00, 0, 0, 0xEE, 0xEE});
  const std::string stream = Register("A1") + Register("B2") + Value(1) + intValue + Value(9) +
                             badQuality + Register("a1") + spare;
  const TDispatchResult kept = Feed(stream);

  TKavrelCmdParser buffer;
  buffer.Append(stream.data(), static_cast<std::int32_t>(stream.size()));
  TSimState lean(1);
  options_.keepChannelRecords = false;
  TDispatchResult result;
  DispatchReceived(buffer, options_, lean, result);

  EXPECT_EQ(result.reply, kept.reply);
  ASSERT_EQ(lean.Channels().size(), 3u);
  for (const TSimChannel& expected : state_.Channels()) {
    const TSimChannel* channel = lean.FindNumber(expected.number);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->addr, expected.addr);
    EXPECT_EQ(channel->registrations, expected.registrations);
    EXPECT_EQ(channel->values, expected.values);
    EXPECT_EQ(channel->dt, expected.dt);
    EXPECT_EQ(channel->quality, expected.quality);
    EXPECT_EQ(channel->value.Kind(), expected.value.Kind());
    EXPECT_TRUE(channel->value == expected.value) << expected.addr;
  }
  EXPECT_EQ(lean.Registrations(), 4u);
  EXPECT_EQ(lean.Values(), 3u);
  ASSERT_EQ(lean.Records().size(), 2u) << "the unknown channel and the spare bytes";
  EXPECT_EQ(lean.Records()[0].kind, TRecordKind::Value);
  EXPECT_EQ(lean.Records()[1].kind, TRecordKind::Registration);
}

TEST(SimStateRecords, OlderHalfForgottenBeyondLimit) {
  TSimState state(1, 4);
  for (int i = 0; i < 5; ++i) {
    TReceivedRecord record;
    record.id = static_cast<std::uint8_t>(i);
    state.Add(record);
  }
  EXPECT_EQ(state.Added(), 5u);
  ASSERT_LE(state.Records().size(), 4u);
  EXPECT_EQ(state.Records().back().id, 4);
}

}  // namespace
