// The fixed-size structures against bytes written out by hand: what the
// client sends must be exactly these bytes, and what it reads must come from
// exactly these offsets.
#include "protocol/Structures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/CommandCatalogue.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <std::size_t Size>
Bytes AsVector(const std::array<std::uint8_t, Size>& bytes) {
  return Bytes(bytes.begin(), bytes.end());
}

// 2.5 as a little-endian double.
#define D2_5 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x40
// 2009-03-05 12:00 (39877.5) as a little-endian double.
#define D39877_5 0x00, 0x00, 0x00, 0x00, 0xB0, 0x78, 0xE3, 0x40

TEST(LoginRequestBytes, CarriesCutTextsVersionAndConstants) {
  TLoginRequest request;
  request.login = std::string(45, 'L');
  request.password = std::string(25, 'p');
  request.libraryMajor = 1;
  request.libraryMinor = 1;
  Bytes expected(72, 0);
  expected[0] = 42;
  expected[1] = 2;
  std::fill_n(expected.begin() + 2, 39, 'L');
  std::fill_n(expected.begin() + 42, 19, 'p');
  expected[62] = 1;
  expected[63] = 1;
  expected[64] = 4;
  EXPECT_EQ(AsVector(EncodeLoginRequest(request)), expected);
}

TEST(LoginRequestBytes, DecodedTextsStopAtTheirZero) {
  std::string request(72, '\0');
  request[0] = 42;
  request[1] = 2;
  request.replace(2, 3, "CFG");
  request.replace(42, 2, "pw");
  request[62] = 1;
  request[63] = 3;
  request[64] = 4;
  const TLoginRequest parsed =
      DecodeLoginRequest(reinterpret_cast<const std::uint8_t*>(request.data()));
  EXPECT_EQ(parsed.login, "CFG");
  EXPECT_EQ(parsed.password, "pw");
  EXPECT_EQ(parsed.byte1, 2);
  EXPECT_EQ(parsed.libraryMajor, 1);
  EXPECT_EQ(parsed.libraryMinor, 3);
  EXPECT_EQ(parsed.byte64, 4);
}

TEST(LoginRequestBytes, FieldWithoutZeroIsCutAtTheField) {
  std::string request(72, 'x');
  request[42 + 19] = 'y';  // the password field's last byte, not part of the login
  const TLoginRequest parsed =
      DecodeLoginRequest(reinterpret_cast<const std::uint8_t*>(request.data()));
  EXPECT_EQ(parsed.login, std::string(40, 'x'));
  EXPECT_EQ(parsed.password, std::string(19, 'x') + "y");
}

TEST(LoginReplyBytes, EveryFieldAtItsOffsetBothWays) {
  const Bytes bytes = {0x2B, 0x04, 0x03, 0x02, 0x01, 0x00, D2_5, 0x04, 0x02,
                       0,    0,    0,    0,    0x05, 0x4C, 0xFF, 0,    0};
  TLoginReply reply;
  reply.clientId = 0x01020304;
  reply.serverTime = 2.5;
  reply.versionMajor = 4;
  reply.versionMinor = 2;
  reply.resultCode = 5;
  reply.bias = -180;
  EXPECT_EQ(AsVector(EncodeLoginReply(reply)), bytes);

  const TLoginReply read = DecodeLoginReply(bytes.data());
  EXPECT_EQ(read.clientId, 0x01020304);
  EXPECT_EQ(read.serverTime, 2.5);
  EXPECT_EQ(read.versionMajor, 4);
  EXPECT_EQ(read.versionMinor, 2);
  EXPECT_EQ(read.resultCode, 5);
  EXPECT_EQ(read.bias, -180);
}

TEST(LoginReplyBytes, RefusalIsANegativeClientId) {
  Bytes bytes(25, 0);
  bytes[0] = 43;
  std::fill_n(bytes.begin() + 1, 4, 0xFF);
  EXPECT_EQ(DecodeLoginReply(bytes.data()).clientId, -1);
}

TEST(ServerTimeBytes, DateTimeAndBiasBothWays) {
  // bias -180: UTC+03:00.
  const Bytes bytes = {22, D39877_5, 0x4C, 0xFF, 0x00, 0x00, 0x00, 0x00};
  const TServerTime time = DecodeServerTime(bytes.data());
  EXPECT_EQ(time.serverTime, 39877.5);
  EXPECT_EQ(time.bias, -180);
  EXPECT_EQ(AsVector(EncodeServerTime({2.5, 300})), Bytes({22, D2_5, 0x2C, 0x01, 0, 0, 0, 0}));
}

TEST(ChannelNoticeBytes, FlagsDateTimeAndIdBothWays) {
  const Bytes bytes = {40, 0x05, D2_5, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(AsVector(EncodeChannelNotice({0x05, 2.5, 12})), bytes);
  const TChannelNotice notice = DecodeChannelNotice(bytes.data());
  EXPECT_EQ(notice.flags, 0x05);
  EXPECT_EQ(notice.dateTime, 2.5);
  EXPECT_EQ(notice.id, 12);
}

TEST(StatusReplyBytes, NamesTheAnsweredStructureAtByte5) {
  const Bytes bytes = {100, 0, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(AsVector(EncodeStatusReply({18})), bytes);
  EXPECT_EQ(DecodeStatusReply(bytes.data()).answeredId, 18);
}

TEST(StructureSizes, AgreeWithTheSizeTable) {
  EXPECT_EQ(StructSize(kStructLoginRequest), kLoginRequestSize);
  EXPECT_EQ(StructSize(kStructLoginReply), kLoginReplySize);
  EXPECT_EQ(StructSize(kStructServerTime), kServerTimeSize);
  EXPECT_EQ(StructSize(kStructChannelNotice), kChannelNoticeSize);
  EXPECT_EQ(StructSize(kStructStatusReply), kStatusReplySize);
}

}  // namespace
}  // namespace kv
