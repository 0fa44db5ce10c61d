#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "BufferTestSupport.h"
#include "protocol/PacketBuffer.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Variant.h"

namespace kv {
namespace {

using namespace test;

// ---------------------------------------------------------------------------
// TDataStack

TEST(DataStackFifo, ReadsBackInOrderAndRestartsAtZeroWhenEmptied) {
  TDataStack store(16, 0);
  Put(store, {1, 2, 3, 4});
  const std::uint8_t* start = store.Data();
  std::uint8_t two[2];
  ASSERT_TRUE(store.Read(two, 2));
  EXPECT_EQ(two[0], 1);
  EXPECT_EQ(two[1], 2);
  EXPECT_EQ(store.Data(), start + 2);
  ASSERT_TRUE(store.Read(two, 2));
  EXPECT_EQ(store.Size(), 0);
  EXPECT_EQ(store.Data(), nullptr);
  Put(store, {9});
  EXPECT_EQ(store.Data(), start) << "an emptied store writes at position 0 again";
}

TEST(DataStackFifo, FailedPeekAndReadLeaveEverything) {
  TDataStack store(16, 0);
  Put(store, {1, 2, 3});
  std::uint8_t four[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_FALSE(store.Peek(four, 4));
  EXPECT_FALSE(store.Read(four, 4));
  EXPECT_FALSE(store.Read(four, 0));
  EXPECT_FALSE(store.Read(nullptr, 1));
  EXPECT_EQ(four[0], 0xAA);
  EXPECT_EQ(Unread(store), (Bytes{1, 2, 3}));
  ASSERT_TRUE(store.Peek(four, 3));
  EXPECT_EQ(store.Size(), 3) << "Peek consumes nothing";
}

TEST(DataStackFifo, SkipClampsAndIgnoresNonPositiveCounts) {
  TDataStack store(16, 0);
  Put(store, {1, 2, 3});
  store.Skip(0);
  store.Skip(-5);
  EXPECT_EQ(store.Size(), 3);
  store.Skip(1);
  EXPECT_EQ(Unread(store), (Bytes{2, 3}));
  store.Skip(100);
  EXPECT_EQ(store.Size(), 0);
  EXPECT_EQ(store.Data(), nullptr);
}

TEST(DataStackAppend, RefusesNoDataAndEmptyLengths) {
  TDataStack store(4, 0);
  const std::uint8_t b = 1;
  EXPECT_FALSE(store.Append(nullptr, 1));
  EXPECT_FALSE(store.Append(&b, 0));
  EXPECT_FALSE(store.Append(&b, -1));
  EXPECT_EQ(store.Size(), 0);
}

TEST(DataStackAppend, CompactsOnlyWhenTheRoomBehindTheTailIsTooSmall) {
  TDataStack store(8, 0);
  Put(store, {1, 2, 3, 4, 5, 6});
  const std::uint8_t* base = store.Data();
  store.Skip(4);
  Put(store, {7, 8});  // exactly fits behind the tail: nothing moves
  EXPECT_EQ(store.Data(), base + 4);
  Put(store, {9});  // no room behind the tail, but the consumed front is free
  EXPECT_EQ(store.Data(), base) << "the unread bytes moved to the front";
  EXPECT_EQ(store.Capacity(), 8) << "no growth while the free room suffices";
  EXPECT_EQ(Unread(store), (Bytes{5, 6, 7, 8, 9}));
}

TEST(DataStackAppend, GrowsByTheLargerOfTheLengthAndHalfTheCapacity) {
  TDataStack small(8, 0);
  Put(small, Bytes(10, 0x11));
  EXPECT_EQ(small.Capacity(), 18);

  TDataStack large(40, 0);
  Put(large, Bytes(40, 0x22));
  Put(large, {0x33});
  EXPECT_EQ(large.Capacity(), 60);
  Bytes expected(40, 0x22);
  expected.push_back(0x33);
  EXPECT_EQ(Unread(large), expected);
}

TEST(DataStackAppend, StopsAtTheMaximumCapacity) {
  TDataStack store(8, 10);
  Put(store, Bytes(8, 1));
  const std::uint8_t b = 2;
  EXPECT_FALSE(store.Append(&b, 1)) << "growth by 4 would pass the maximum of 10";
  EXPECT_EQ(store.Size(), 8);
  EXPECT_EQ(store.Capacity(), 8);
  EXPECT_TRUE(store.Grow(2));
  EXPECT_TRUE(store.Append(&b, 1));
}

TEST(DataStackGrow, DefaultsToHalfAndCompacts) {
  TDataStack store(8, 0);
  Put(store, {1, 2, 3, 4});
  store.Skip(2);
  ASSERT_TRUE(store.Grow(0));
  EXPECT_EQ(store.Capacity(), 12);
  EXPECT_EQ(Unread(store), (Bytes{3, 4}));
  EXPECT_FALSE(store.Grow(-1));
  EXPECT_FALSE(store.Grow(0x7FFFFFFF)) << "a capacity beyond 32 bits is refused";
  EXPECT_EQ(store.Capacity(), 12);
}

TEST(DataStackPatch, WritesOnlyInsideTheUnreadBytes) {
  TDataStack store(16, 0);
  Put(store, {0, 1, 2, 3, 4, 5});
  store.Skip(1);  // unread: 1 2 3 4 5
  const std::uint8_t ab[2] = {0xA, 0xB};
  EXPECT_TRUE(store.Patch(ab, 2, -2));  // the last two bytes
  EXPECT_TRUE(store.Patch(ab, 2, 0));   // the first two unread bytes
  EXPECT_EQ(Unread(store), (Bytes{0xA, 0xB, 3, 0xA, 0xB}));
  EXPECT_TRUE(store.Patch(ab, 1, -5));
  EXPECT_FALSE(store.Patch(ab, 2, -1)) << "would run past the tail";
  EXPECT_FALSE(store.Patch(ab, 1, -6)) << "would land on a consumed byte";
  EXPECT_FALSE(store.Patch(ab, 2, 4)) << "would run past the tail";
  EXPECT_FALSE(store.Patch(ab, 0, 0));
  EXPECT_FALSE(store.Patch(nullptr, 1, 0));
  EXPECT_EQ(Unread(store), (Bytes{0xA, 0xB, 3, 0xA, 0xB}));
}

TEST(DataStackReserve, WritesStraightIntoTheTail) {
  TDataStack store(4, 0);
  Put(store, {1, 2, 3});
  store.Skip(2);
  std::uint8_t* room = store.Reserve(5);
  ASSERT_NE(room, nullptr);
  EXPECT_EQ(store.Size(), 1) << "nothing counted before Commit";
  for (int i = 0; i < 5; ++i) room[i] = static_cast<std::uint8_t>(10 + i);
  ASSERT_TRUE(store.Commit(5));
  EXPECT_EQ(Unread(store), (Bytes{3, 10, 11, 12, 13, 14}));
  EXPECT_EQ(store.Reserve(0), nullptr);
}

TEST(DataStackReserve, CommitCannotPassTheBlock) {
  TDataStack store(8, 0);
  ASSERT_NE(store.Reserve(4), nullptr);
  EXPECT_FALSE(store.Commit(9));
  EXPECT_FALSE(store.Commit(-1));
  EXPECT_EQ(store.Size(), 0);
  EXPECT_TRUE(store.Commit(8));
  EXPECT_EQ(store.Size(), 8);
}

TEST(DataStackReserve, RespectsTheMaximumCapacity) {
  TDataStack store(8, 8);
  EXPECT_EQ(store.Reserve(9), nullptr);
  EXPECT_NE(store.Reserve(8), nullptr);
}

TEST(DataStackTruncate, CutsTheTailBackToAGivenSize) {
  TDataStack store(16, 0);
  Put(store, {1, 2, 3, 4, 5});
  store.Skip(1);
  EXPECT_FALSE(store.Truncate(5));
  EXPECT_FALSE(store.Truncate(-1));
  ASSERT_TRUE(store.Truncate(2));
  EXPECT_EQ(Unread(store), (Bytes{2, 3}));
  Put(store, {9});
  EXPECT_EQ(Unread(store), (Bytes{2, 3, 9}));
  ASSERT_TRUE(store.Truncate(0));
  EXPECT_EQ(store.Data(), nullptr);
}

TEST(DataStackShrink, GivesMemoryBackAndKeepsTheUnreadBytes) {
  TDataStack store(8, 0);
  Put(store, Bytes(40, 7));
  store.Skip(37);
  ASSERT_TRUE(store.Shrink(8));
  EXPECT_EQ(store.Capacity(), 8);
  EXPECT_EQ(Unread(store), (Bytes{7, 7, 7}));
  EXPECT_FALSE(store.Shrink(8)) << "not smaller";
  EXPECT_FALSE(store.Shrink(-1));
  Put(store, Bytes(20, 2));
  ASSERT_TRUE(store.Shrink(4));
  EXPECT_EQ(store.Capacity(), 23) << "never below the unread bytes";
  EXPECT_EQ(store.Size(), 23);
  Put(store, {9});
  EXPECT_EQ(Unread(store).back(), 9);
}

// Counts the lock hook's calls.
class TCountingStack : public TDataStack {
 public:
  TCountingStack() : TDataStack(4, 0) {}
  int enters = 0;
  int leaves = 0;

 protected:
  void Lock(bool enter) override { (enter ? enters : leaves)++; }
};

TEST(DataStackLock, EveryLockedOperationLeavesAsOftenAsItEnters) {
  TCountingStack store;
  std::uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  store.Append(buf, 8);  // grows
  store.Peek(buf, 2);
  store.Peek(buf, 100);  // fails inside the lock
  store.Read(buf, 1);
  store.Patch(buf, 1, 0);
  store.Patch(buf, 2, -1);  // refused inside the lock
  store.Size();
  store.Skip(1);
  store.Truncate(2);
  store.Shrink(4);
  store.Clear();
  EXPECT_EQ(store.enters, 11);
  EXPECT_EQ(store.leaves, 11);
}

TEST(DataStackLock, RejectedArgumentsDoNotTakeTheLock) {
  TCountingStack store;
  std::uint8_t b = 0;
  store.Append(nullptr, 1);
  store.Append(&b, 0);
  store.Peek(nullptr, 1);
  store.Read(&b, 0);
  store.Patch(&b, 0, 0);
  store.Skip(0);
  store.Reserve(2);
  store.Commit(1);
  store.Data();
  EXPECT_EQ(store.enters, 0);
  EXPECT_EQ(store.leaves, 0);
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: fields

TEST(CmdParserScalars, AreLittleEndianAndPacked) {
  TKavrelCmdParser parser;
  parser.set(std::uint8_t{0x12});
  parser.set(std::uint16_t{0x3412});
  parser.set(std::int16_t{-2});
  parser.set(std::uint32_t{0x78563412});
  parser.set(std::int64_t{-2});
  parser.set(1.0);
  const Bytes expected = {0x12, 0x12, 0x34, 0xFE, 0xFF, 0x12, 0x34, 0x56, 0x78,
                          0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F};
  EXPECT_EQ(Unread(parser), expected);

  EXPECT_EQ(parser.get<std::uint8_t>(), 0x12);
  EXPECT_EQ(parser.get<std::uint16_t>(), 0x3412);
  EXPECT_EQ(parser.get<std::int16_t>(), -2);
  EXPECT_EQ(parser.get<std::uint32_t>(), 0x78563412u);
  EXPECT_EQ(parser.get<std::int64_t>(), -2);
  EXPECT_EQ(parser.get<double>(), 1.0);
  EXPECT_EQ(parser.Size(), 0);
}

TEST(CmdParserScalars, ShortageNamesWantedAndUnreadAndConsumesNothing) {
  TKavrelCmdParser parser;
  Put(parser, {0x01});
  EXPECT_EQ(MessageOf([&] { parser.get<std::uint16_t>(); }),
            "TKavrelCmdParser::get() нет данных [ожидаем 2 есть 1]"_cp);
  EXPECT_EQ(parser.Size(), 1);
  Put(parser, {0x02});
  EXPECT_EQ(MessageOf([&] { parser.get<std::uint32_t>(); }),
            "TKavrelCmdParser::get() нет данных [ожидаем 4 есть 2]"_cp);
  EXPECT_EQ(parser.get<std::uint16_t>(), 0x0201);
}

TEST(CmdParserStrings, WriteALengthWordAndTheBytesAsHeld) {
  TKavrelCmdParser parser;
  parser.set_STRING("AB");
  parser.set_STRING("");
  parser.set_STRING("Я"_cp);
  EXPECT_EQ(Unread(parser), (Bytes{0x02, 0x00, 0x41, 0x42, 0x00, 0x00, 0x01, 0x00, 0xDF}));
  EXPECT_EQ(parser.get_STRING(), "AB");
  EXPECT_EQ(parser.get_STRING(), "");
  EXPECT_EQ(parser.get_STRING(), "Я"_cp);
}

TEST(CmdParserStrings, ReadingDropsOneTrailingZeroByte) {
  TKavrelCmdParser parser;
  Put(parser, {0x03, 0x00, 0x41, 0x42, 0x00});
  Put(parser, {0x03, 0x00, 0x41, 0x00, 0x00});
  Put(parser, {0x01, 0x00, 0x00});
  EXPECT_EQ(parser.get_STRING(), "AB");
  EXPECT_EQ(parser.get_STRING(), std::string("A\0", 2));
  EXPECT_EQ(parser.get_STRING(), "");
}

TEST(CmdParserStrings, MissingBodyFailsAfterTheLengthWord) {
  TKavrelCmdParser parser;
  Put(parser, {0x05, 0x00, 0x41});
  EXPECT_EQ(MessageOf([&] { parser.get_STRING(); }),
            "TKavrelCmdParser::get_STRING() нет данных [ожидаем 5 есть 1]"_cp);
  EXPECT_EQ(Unread(parser), (Bytes{0x41}));
  EXPECT_EQ(MessageOf([&] { parser.get_STRING(); }),
            "TKavrelCmdParser::get() нет данных [ожидаем 2 есть 1]"_cp);
}

TEST(CmdParserStrings, LongestFramableTextPassesLongerIsRefusedWhole) {
  TKavrelCmdParser parser;
  const std::string longest(65535, 'x');
  parser.set_STRING(longest);
  EXPECT_EQ(parser.Size(), 65537);
  EXPECT_EQ(parser.Data()[0], 0xFF);
  EXPECT_EQ(parser.Data()[1], 0xFF);
  EXPECT_EQ(parser.get_STRING(), longest);

  // With its length cut to 16 bits this text would go out as "x".
  EXPECT_EQ(MessageOf([&] { parser.set_STRING(std::string(65537, 'x')); }),
            "TKavrelCmdParser::set_STRING(): слишком длинный текст: 65537"_cp);
  EXPECT_EQ(parser.Size(), 0);
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: date-time fields

TEST(CmdParserDateTime, EachFormWritesItsOwnBytes) {
  // 1.5 is 1899-12-31 12:00:00.000.
  const Bytes ticks = {0x00, 0x60, 0xAB, 0x68, 0xD7, 0x36, 0x4F, 0x01};
  const Bytes real = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F};
  Bytes iso = {0x14, 0x00};
  for (char c : std::string("18991231T120000.0000")) iso.push_back(static_cast<std::uint8_t>(c));
  const Bytes expected[] = {{}, ticks, real, iso};
  for (unsigned form = 0; form < 4; ++form) {
    TKavrelCmdParser parser;
    parser.SetDateTimeField(form, 1.5);
    EXPECT_EQ(Unread(parser), expected[form]) << "form " << form;
    const auto back = parser.GetDateTimeField(form);
    EXPECT_EQ(back.has_value(), form != 0);
    if (back) {
      EXPECT_DOUBLE_EQ(*back, 1.5) << "form " << form;
    }
    EXPECT_EQ(parser.Size(), 0);
  }
}

TEST(CmdParserDateTime, TicksCountFrom1601) {
  TKavrelCmdParser parser;
  Put(parser, {0x00, 0xC0, 0x0C, 0xA9, 0xA9, 0x35, 0x4F, 0x01});
  EXPECT_EQ(parser.GetDateTimeField(1), 0.0);
  parser.SetDateTimeField(1, 0.0);
  EXPECT_EQ(Unread(parser), (Bytes{0x00, 0xC0, 0x0C, 0xA9, 0xA9, 0x35, 0x4F, 0x01}));
}

TEST(CmdParserDateTime, IsoTextErrorsPassThrough) {
  TKavrelCmdParser parser;
  Put(parser, {0x02, 0x00, 0x31, 0x32});
  EXPECT_EQ(MessageOf([&] { parser.get_DATETIME(); }),
            "DateTimeFromISO8601(): неверная дата время: 12"_cp);
  TKavrelCmdParser date;
  date.set_DATETIME(39877.5);
  EXPECT_EQ(date.get_STRING(), "20090305T120000.0000");
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: typed values

TEST(CmdParserValues, WriteTheBinaryFormOfTheGivenTypeWithoutTypeWord) {
  TKavrelCmdParser parser;
  parser.set_VALUE(Variant(7), 2);
  parser.set_VALUE(Variant::FromAnsi("AB"), 256);
  Variant pair = Variant::CreateArray(varSmallint, 0, 1);
  pair.SetElement(0, Variant(1));
  pair.SetElement(1, Variant(-2));
  parser.set_VALUE(pair, 0x1002);
  parser.set_VALUE(Variant::FromBoolean(true), 11);
  parser.set_VALUE(Variant(), 0);
  EXPECT_EQ(Unread(parser), (Bytes{0x07, 0x00, 0x02, 0x00, 0x41, 0x42, 0x02, 0x00, 0x01, 0x00, 0xFE,
                                   0xFF, 0xFF, 0xFF}));
}

TEST(CmdParserValues, ReadConsumesExactlyTheValue) {
  TKavrelCmdParser parser;
  Put(parser, {0x02, 0x00, 0x41, 0x42, 0x01, 0x00, 0xFF, 0xFF, 0x99});
  const Variant text = parser.get_VALUE(256);
  EXPECT_EQ(text.Kind(), varString);
  EXPECT_EQ(text.ToAnsi(), "AB");
  const Variant flags = parser.get_VALUE(0x100B);
  ASSERT_TRUE(flags.IsArray());
  ASSERT_EQ(flags.ArrayCount(), 1);
  EXPECT_TRUE(flags.GetElement(0).ToBoolean());
  EXPECT_TRUE(parser.get_VALUE(0).IsEmpty());
  EXPECT_EQ(Unread(parser), (Bytes{0x99}));
}

TEST(CmdParserValues, ErrorsOfTheCodersPassThroughAndLeaveTheBuffer) {
  TKavrelCmdParser parser;
  Put(parser, {0x05, 0x00, 0x41});
  EXPECT_EQ(MessageOf([&] { parser.get_VALUE(256); }), "BinaryToVariant: недостаточно данных"_cp);
  EXPECT_EQ(parser.Size(), 3);
  parser.Clear();

  parser.set_VALUE(Variant::FromAnsi(std::string(19998, 'z')), 256);
  EXPECT_EQ(parser.Size(), 20000) << "2 + 19998 bytes fill the value room exactly";
  EXPECT_EQ(MessageOf([&] { parser.set_VALUE(Variant::FromAnsi(std::string(19999, 'z')), 256); }),
            "VariantToBinary: недостаточный размер буфера"_cp);
  EXPECT_EQ(parser.Size(), 20000) << "a failed value adds nothing";
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: command framing

TEST(CmdParserFraming, PatchesTheLengthOfTheLastCommandOnly) {
  TKavrelCmdParser parser;
  Put(parser, {0x37, 0x04, 0x00, 0xEE});  // an earlier, finished command
  const std::int32_t start = parser.Size();
  parser.set(std::uint8_t{51});
  parser.set(std::uint16_t{0});
  Put(parser, Bytes(10, 0x00));
  parser.SetPacketSize(parser.Size() - start);
  Bytes expected = {0x37, 0x04, 0x00, 0xEE, 0x33, 0x0D, 0x00};
  expected.insert(expected.end(), 10, 0x00);
  EXPECT_EQ(Unread(parser), expected);
}

TEST(CmdParserFraming, ZeroMeansTheWholeContent) {
  TKavrelCmdParser parser;
  Put(parser, {0x33, 0x00, 0x00, 0x01, 0x02});
  parser.SetPacketSize(0);
  EXPECT_EQ(Unread(parser), (Bytes{0x33, 0x05, 0x00, 0x01, 0x02}));
}

TEST(CmdParserFraming, RefusesSizesThatCannotHoldACommand) {
  const std::string_view sizeFailedText =
      "TKavrelCmdParser::SetPacketSize() ошибка установки размера: "_cp;
  const std::string sizeFailed(sizeFailedText);
  TKavrelCmdParser parser;
  EXPECT_EQ(MessageOf([&] { parser.SetPacketSize(0); }), sizeFailed + "0");

  Put(parser, {0x33, 0x00, 0x00, 0x44, 0x55});
  EXPECT_EQ(MessageOf([&] { parser.SetPacketSize(2); }), sizeFailed + "2");
  // A size of 1 would patch the first two bytes of the buffer.
  EXPECT_EQ(MessageOf([&] { parser.SetPacketSize(1); }), sizeFailed + "1");
  EXPECT_EQ(MessageOf([&] { parser.SetPacketSize(-4); }), sizeFailed + "-4");
  EXPECT_EQ(MessageOf([&] { parser.SetPacketSize(6); }), sizeFailed + "6");
  EXPECT_EQ(Unread(parser), (Bytes{0x33, 0x00, 0x00, 0x44, 0x55}));
  EXPECT_EQ(MessageOf([&] { parser.SetPacketSize(65536); }),
            "TKavrelCmdParser::SetPacketSize() слишком большой объем данных: 65536"_cp);
}

TEST(CmdParserFraming, AcceptsTheLargestCommand) {
  TKavrelCmdParser parser;
  parser.set(std::uint8_t{51});
  parser.set(std::uint16_t{0});
  Put(parser, Bytes(65532, 0x00));
  parser.SetPacketSize(parser.Size());
  EXPECT_EQ(parser.Data()[1], 0xFF);
  EXPECT_EQ(parser.Data()[2], 0xFF);
}

TEST(CmdParserSkipPacket, DropsOneCommandByItsLengthWord) {
  TKavrelCmdParser parser;
  Put(parser, {0x3C, 0x05, 0x00, 0x01, 0x02, 0x39});
  EXPECT_TRUE(parser.SkipPacket());
  EXPECT_EQ(Unread(parser), (Bytes{0x39}));
}

TEST(CmdParserSkipPacket, RefusesWhatItCannotSkip) {
  TKavrelCmdParser parser;
  Put(parser, {0x3C, 0x05});
  EXPECT_FALSE(parser.SkipPacket());
  EXPECT_EQ(parser.Size(), 2);
  // Length words below the header: skipping by them would stall the stream
  // or leave half a header behind.
  for (std::uint8_t length : {0, 1, 2}) {
    TKavrelCmdParser bad;
    Put(bad, {0x3C, length, 0x00, 0x3C, 0x03, 0x00});
    EXPECT_FALSE(bad.SkipPacket()) << "length " << int{length};
    EXPECT_EQ(bad.Size(), 6);
  }
}

}  // namespace
}  // namespace kv
