#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "protocol/CommandCatalogue.h"
#include "protocol/PacketBuffer.h"
#include "runtime/Codepage.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(KavrelCatalogue, Cmd2IdsAreExactly51To66) {
  EXPECT_FALSE(IsCmd2(0));
  EXPECT_FALSE(IsCmd2(50));
  EXPECT_TRUE(IsCmd2(51));
  EXPECT_TRUE(IsCmd2(57));
  EXPECT_TRUE(IsCmd2(60));
  EXPECT_TRUE(IsCmd2(66));
  EXPECT_FALSE(IsCmd2(67));
  EXPECT_FALSE(IsCmd2(255));
  EXPECT_FALSE(IsCmd2(256 + 51)) << "no wrap to a byte";
}

TEST(KavrelCatalogue, SizeTableHoldsEveryKnownStructureAndNothingElse) {
  const std::map<unsigned, std::int32_t> known = {
      {1, 72},   {2, 16},  {3, 1},   {4, 3},    {5, 5},   {6, 7},   {7, 53},  {8, 55},   {9, 57},
      {10, 60},  {11, 9},  {12, 4},  {13, 1},   {14, 17}, {15, 1},  {16, 1},  {17, 88},  {18, 1},
      {19, 10},  {20, 41}, {21, 39}, {22, 15},  {24, 1},  {25, 10}, {31, 19}, {32, 3},   {33, 49},
      {34, 106}, {35, 43}, {40, 20}, {41, 317}, {42, 72}, {43, 25}, {44, 5},  {100, 13},
  };
  for (unsigned id = 0; id < 300; ++id) {
    const auto it = known.find(id);
    EXPECT_EQ(StructSize(id), it == known.end() ? 0 : it->second) << "structID " << id;
    if (IsCmd2(id)) {
      EXPECT_EQ(StructSize(id), 0) << "the two families overlap at " << id;
    }
  }
}

TEST(KavrelCatalogue, RefusalTexts) {
  EXPECT_EQ(RefusalText(0), "ОК"_cp);
  EXPECT_EQ(RefusalText(1), "тип учетной записи не совпадает"_cp);
  EXPECT_EQ(RefusalText(2), "учетная запись уже подключена с другого адреса"_cp);
  EXPECT_EQ(RefusalText(3), "ресурсы учетной записи заняты"_cp);
  EXPECT_EQ(RefusalText(4), "неверный логин или пароль"_cp);
  EXPECT_EQ(RefusalText(5), "неверная версия сервера"_cp);
  EXPECT_EQ(RefusalText(6), "неизвестный код ошибки: 6"_cp);
  EXPECT_EQ(RefusalText(255), "неизвестный код ошибки: 255"_cp);
  // The Cyrillic О and К, not the Latin letters.
  EXPECT_EQ(RefusalText(0), "\xCE\xCA");
}

TFrame Classify(const Bytes& bytes) {
  return ClassifyFrame(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

TEST(KavrelFraming, Cmd2IsFramedByItsLengthWord) {
  EXPECT_EQ(Classify({}).state, TFrameState::Empty);
  EXPECT_EQ(Classify({0x39}).state, TFrameState::Incomplete);
  EXPECT_EQ(Classify({0x39, 0x06}).state, TFrameState::Incomplete);
  EXPECT_EQ(Classify({0x39, 0x06, 0x00, 0x01, 0x02}).state, TFrameState::Incomplete);
  const TFrame whole = Classify({0x39, 0x06, 0x00, 0x01, 0x02, 0x03, 0x16});
  EXPECT_EQ(whole.state, TFrameState::Complete);
  EXPECT_EQ(whole.id, 57);
  EXPECT_EQ(whole.size, 6);
  const TFrame large = Classify(Bytes{0x3C, 0x00, 0x01});
  EXPECT_EQ(large.state, TFrameState::Incomplete);
  EXPECT_EQ(large.size, 256);
}

TEST(KavrelFraming, Cmd2LengthBelowItsHeaderIsBad) {
  for (std::uint8_t length = 0; length < 3; ++length) {
    const TFrame frame = Classify({0x3C, length, 0x00, 0x3C, 0x03, 0x00});
    EXPECT_EQ(frame.state, TFrameState::BadLength) << int{length};
  }
  EXPECT_EQ(Classify({0x3C, 0x03, 0x00}).state, TFrameState::Complete);
}

TEST(KavrelFraming, StructuresAreFramedByTheSizeTable) {
  Bytes reply(13, 0x00);
  reply[0] = 100;
  EXPECT_EQ(Classify(Bytes(reply.begin(), reply.end() - 1)).state, TFrameState::Incomplete);
  const TFrame frame = Classify(reply);
  EXPECT_EQ(frame.state, TFrameState::Complete);
  EXPECT_EQ(frame.size, 13);
  EXPECT_EQ(Classify({18}).state, TFrameState::Complete);
  EXPECT_EQ(Classify({23, 1, 2}).state, TFrameState::UnknownId);
  EXPECT_EQ(Classify({0}).state, TFrameState::UnknownId);
  EXPECT_EQ(Classify({67, 3, 0}).state, TFrameState::UnknownId);
}

TEST(KavrelFraming, LooksAtTheUnreadFrontOfABuffer) {
  TKavrelCmdParser buffer;
  const Bytes bytes = {18, 0x3C, 0x04, 0x00};
  buffer.Append(bytes.data(), 4);
  EXPECT_EQ(ClassifyFrame(buffer).state, TFrameState::Complete);
  buffer.Skip(1);
  const TFrame frame = ClassifyFrame(buffer);
  EXPECT_EQ(frame.state, TFrameState::Incomplete);
  EXPECT_EQ(frame.id, 60);
  EXPECT_EQ(buffer.Size(), 3) << "classifying consumes nothing";
}

}  // namespace
}  // namespace kv
