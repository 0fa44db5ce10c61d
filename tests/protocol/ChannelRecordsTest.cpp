#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "channels/Channel.h"
#include "support/ManualClock.h"
#include "protocol/ChannelRecords.h"
#include "BufferTestSupport.h"
#include "protocol/PacketBuffer.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Variant.h"

namespace kv {
namespace {

using namespace test;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

// An owned copy of a code-page literal.
std::string Text(std::string_view text) { return std::string(text); }

template <class F>
bool RaisesBareZero(F&& action) {
  try {
    action();
  } catch (int code) {
    return code == 0;
  } catch (...) {
  }
  return false;
}

// Date-times and their wire forms, written out by hand:
// 1.5 = 1899-12-31 12:00:00.000; 39877.5 = 2009-03-05 12:00:00.000.
const Bytes kDouble1_5 = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F};
const Bytes kTicks1_5 = {0x00, 0x60, 0xAB, 0x68, 0xD7, 0x36, 0x4F, 0x01};
const Bytes kIso1_5 = Cat({{0x14, 0x00}, Ascii("18991231T120000.0000")});
const Bytes kDouble39877_5 = {0x00, 0x00, 0x00, 0x00, 0xB0, 0x78, 0xE3, 0x40};

std::unique_ptr<TChannel2> ChannelA1() {
  auto channel = std::make_unique<TChannel2>();
  channel->SetAddr("A1");
  channel->SetType(4);
  return channel;
}

// ---------------------------------------------------------------------------
// Registration record (51)

TEST(RegisterCmdBytes, ChannelA1WithoutAttributesIs13Bytes) {
  TKavrelCmdParser parser;
  auto channel = ChannelA1();
  SetChannelRegisterCmd(parser, channel.get(), RegisterFlag::Client, kAnyOwner, true, false);
  EXPECT_EQ(Unread(parser),
            (Bytes{0x33, 0x0D, 0x00, 0x82, 0x00, 0x02, 0x00, 0x41, 0x31, 0x04, 0x00, 0x00, 0x00}));
}

TEST(RegisterCmdBytes, SwitchBitsComeFromTheChannelWhateverTheCallerPassed) {
  struct Case {
    void (*setUp)(TChannel2&);
    std::uint8_t low, high;
  };
  const Case cases[] = {
      {[](TChannel2&) {}, 0x82, 0x00},
      {[](TChannel2& c) { c.SetActive(true); }, 0x82, 0x01},
      {[](TChannel2& c) { c.SetWriteEnable(true); }, 0x8A, 0x00},
      {[](TChannel2& c) { c.SetSaveValue(true); }, 0x82, 0x02},
      {[](TChannel2& c) { c.SetFlags(0x0001); }, 0x92, 0x00},
      {[](TChannel2& c) { c.SetFlags(0x0002 | NeedRegister); }, 0xA2, 0x00},
  };
  for (const Case& test : cases) {
    auto channel = ChannelA1();
    test.setUp(*channel);
    TKavrelCmdParser parser;
    // The caller claims every switch; only the channel's own count.
    SetChannelRegisterCmd(parser, channel.get(), RegisterFlag::Client | 0x0338, kAnyOwner, true,
                          false);
    const Bytes bytes = Unread(parser);
    ASSERT_EQ(bytes.size(), 13u);
    EXPECT_EQ(bytes[3], test.low);
    EXPECT_EQ(bytes[4], test.high);
  }
}

TEST(RegisterCmdBytes, ByNumberWritesTheNumberInsteadOfTheAddress) {
  TKavrelCmdParser parser;
  auto channel = ChannelA1();
  channel->SetNumber(0x01020304);
  SetChannelRegisterCmd(parser, channel.get(), 0x0001, kAnyOwner, true, false);
  EXPECT_EQ(Unread(parser),
            (Bytes{0x33, 0x0D, 0x00, 0x01, 0x00, 0x04, 0x03, 0x02, 0x01, 0x04, 0x00, 0x00, 0x00}));
}

TEST(RegisterCmdBytes, AttributeTimeTakesTheFormOfFlagBits6And7) {
  struct Case {
    std::uint16_t flags;
    Bytes time;
  };
  const Case cases[] = {{0x0002, {}}, {0x0042, kTicks1_5}, {0x0082, kDouble1_5}, {0x00C2, kIso1_5}};
  for (const Case& test : cases) {
    auto channel = ChannelA1();
    channel->SetAttribute(100, 256, Variant::FromAnsi("V"), 3, 1.5);
    TKavrelCmdParser parser;
    SetChannelRegisterCmd(parser, channel.get(), test.flags, kAnyOwner, true, false);
    const auto length = static_cast<std::uint8_t>(13 + 7 + test.time.size());
    const Bytes expected = Cat({{0x33, length, 0x00},
                                {static_cast<std::uint8_t>(test.flags), 0x00},
                                {0x02, 0x00, 0x41, 0x31, 0x04, 0x00, 0x01, 0x00},
                                {0x64, 0x00, 0x00, 0x01, 0x01, 0x00, 0x56},
                                test.time});
    EXPECT_EQ(Unread(parser), expected) << "flags " << test.flags;
  }
}

TEST(RegisterCmdAttributes, OwnerFilterCountsWhatItWrites) {
  auto channel = ChannelA1();
  channel->SetAttribute(7, 2, Variant(1), 5, 0);
  channel->SetAttribute(100, 256, Variant::FromAnsi("x"), 6, 0);
  channel->SetAttribute(5003, 11, Variant::FromBoolean(true), 5, 0);
  TKavrelCmdParser parser;
  SetChannelRegisterCmd(parser, channel.get(), 0x0002, 5, false, false);
  const Bytes expected = {0x33, 0x19, 0x00, 0x02, 0x00, 0x02, 0x00,
                          0x41, 0x31, 0x04, 0x00, 0x02, 0x00,   // two of three attributes
                          0x07, 0x00, 0x02, 0x00, 0x01, 0x00,   // EUType Int2 1
                          0x8B, 0x13, 0x0B, 0x00, 0xFF, 0xFF};  // Masked Boolean true
  EXPECT_EQ(Unread(parser), expected);
}

TEST(RegisterCmdAttributes, ArraysAndStringsInTheirBinaryForm) {
  auto channel = ChannelA1();
  Variant names = Variant::CreateArray(varOleStr, 0, 1);
  names.SetElement(0, Variant::FromAnsi("Off"));
  names.SetElement(1, Variant::FromAnsi(Text("Вкл"_cp)));
  channel->SetAttribute(10, 0x1100, names, 1, 0);
  TKavrelCmdParser parser;
  SetChannelRegisterCmd(parser, channel.get(), 0x0002, kAnyOwner, true, false);
  const Bytes expected =
      Cat({{0x33, 0x1D, 0x00, 0x02, 0x00, 0x02, 0x00, 0x41, 0x31, 0x04, 0x00, 0x01, 0x00},
           {0x0A, 0x00, 0x00, 0x11, 0x02, 0x00},
           {0x03, 0x00, 0x4F, 0x66, 0x66},
           {0x03, 0x00, 0xC2, 0xEA, 0xEB}});
  EXPECT_EQ(Unread(parser), expected);
}

// ---------------------------------------------------------------------------
// Value record (55, 57)

TEST(ValueCmdBytes, Number7AsTheClientSendsIt) {
  TChannel2 channel;
  channel.SetNumber(7);
  channel.SetType(3);
  channel.SetValue(Variant(1234));
  channel.SetQuality(192);
  channel.SetDT(39877.5);
  TKavrelCmdParser parser;
  SetChannelValueCmd(parser, &channel, ValueFlag::Client, false, 55);
  const Bytes expected = Cat({{0x37, 0x17, 0x00, 0x05, 0x07, 0x00, 0x00, 0x00},
                              kDouble39877_5,
                              {0xC0, 0x03, 0x00, 0xD2, 0x04, 0x00, 0x00}});
  EXPECT_EQ(Unread(parser), expected);
}

TEST(ValueCmdBytes, ControlByAddressCarriesTimeAndOwner) {
  TChannel2 channel;
  channel.SetAddr("A1");
  channel.SetType(11);
  channel.SetValue(Variant::FromBoolean(true));
  channel.SetQuality(0);
  channel.SetDT(1.5);
  channel.SetOwner(-2);
  TKavrelCmdParser parser;
  SetChannelValueCmd(parser, &channel, 0x06, false, 57);
  const Bytes expected = Cat({{0x39, 0x25, 0x00, 0x06, 0x02, 0x00, 0x41, 0x31},
                              kIso1_5,
                              {0x00, 0x0B, 0x00, 0xFF, 0xFF, 0xFE, 0xFF}});
  EXPECT_EQ(Unread(parser), expected);
}

TEST(ValueCmdBytes, TimeFormZeroWritesNoTimeIn55AndIsRefusedIn57) {
  TChannel2 channel;
  channel.SetNumber(1);
  channel.SetType(17);
  channel.SetValue(Variant(9));
  channel.SetQuality(0);
  TKavrelCmdParser parser;
  SetChannelValueCmd(parser, &channel, 0x01, false, 55);
  EXPECT_EQ(Unread(parser),
            (Bytes{0x37, 0x0C, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x09}));
  EXPECT_EQ(MessageOf([&] { SetChannelValueCmd(parser, &channel, 0x01, false, 57); }),
            "дата время не указано в команде 57"_cp);
  EXPECT_EQ(parser.Size(), 12) << "the refused command was cut back";
}

// ---------------------------------------------------------------------------
// Writers in general

TEST(CmdWriters, MissingChannelIsTheBareIntegerException) {
  TKavrelCmdParser parser;
  TChannel2 channel;
  std::uint8_t flags = 0;
  EXPECT_TRUE(
      RaisesBareZero([&] { SetChannelRegisterCmd(parser, nullptr, 0x82, 0, true, false); }));
  EXPECT_TRUE(RaisesBareZero([&] { SetChannelValueCmd(parser, nullptr, 0x05, false, 55); }));
  EXPECT_TRUE(RaisesBareZero([&] { GetChannelValueCmd(parser, nullptr, flags); }));
  EXPECT_TRUE(RaisesBareZero([&] { GetChannelChangeCmd(parser, nullptr); }));
}

TEST(CmdWriters, CommandsFollowEachOtherAndClearFirstStartsOver) {
  TChannel2 channel;
  channel.SetNumber(1);
  TKavrelCmdParser parser;
  SetChannelValueCmd(parser, &channel, 0x01, false, 55);
  SetChannelValueCmd(parser, &channel, 0x01, false, 55);
  const Bytes one = {0x37, 0x0B, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00};
  EXPECT_EQ(Unread(parser), Cat({one, one}));
  SetChannelValueCmd(parser, &channel, 0x01, true, 55);
  EXPECT_EQ(Unread(parser), one);
}

TEST(CmdWriters, OversizedRegistrationLeavesTheBufferAsItWas) {
  auto channel = ChannelA1();
  for (std::uint16_t id = 1; id <= 4; ++id)
    channel->SetAttribute(id + 1000, 256, Variant::FromAnsi(std::string(19000, 'a')), 1, 0);
  TKavrelCmdParser parser;
  Put(parser, {0x12});  // something queued before
  EXPECT_EQ(
      MessageOf([&] { SetChannelRegisterCmd(parser, channel.get(), 0x0082, 0, true, false); }),
      "TKavrelCmdParser::SetPacketSize() слишком большой объем данных: 76069"_cp);
  EXPECT_EQ(Unread(parser), (Bytes{0x12})) << "no half command may reach the server";
}

// ---------------------------------------------------------------------------
// Reading value records

TEST(ValueCmdRead, DecodesARecordAndStopsAtTheNextCommand) {
  TKavrelCmdParser parser;
  Put(parser, Cat({{0x37, 0x17, 0x00, 0x05, 0x07, 0x00, 0x00, 0x00},
                   kDouble39877_5,
                   {0xC0, 0x03, 0x00, 0xD2, 0x04, 0x00, 0x00},
                   {0x12}}));
  TChannel2 channel;
  std::uint8_t flags = 0;
  GetChannelValueCmd(parser, &channel, flags);
  EXPECT_EQ(flags, 0x05);
  EXPECT_EQ(channel.Number(), 7u);
  EXPECT_EQ(channel.DT(), 39877.5);
  EXPECT_EQ(channel.Quality(), 192);
  EXPECT_EQ(channel.Type(), 3);
  EXPECT_EQ(channel.Value().Kind(), varInteger);
  EXPECT_EQ(channel.Value().ToInt32(), 1234);
  EXPECT_EQ(channel.Owner(), -32768) << "a 55 carries no owner";
  EXPECT_EQ(Unread(parser), (Bytes{0x12}));
}

TEST(ValueCmdRead, ControlByAddressWithEveryTimeForm) {
  const Bytes forms[] = {kTicks1_5, kDouble1_5, kIso1_5};
  for (std::uint8_t form = 1; form <= 3; ++form) {
    const Bytes& time = forms[form - 1];
    TKavrelCmdParser parser;
    const auto length = static_cast<std::uint8_t>(3 + 1 + 4 + time.size() + 1 + 2 + 2 + 2);
    Put(parser, Cat({{0x39, length, 0x00, static_cast<std::uint8_t>(0x08 | form << 1), 0x02, 0x00,
                      0x41, 0x31},
                     time,
                     {0x00, 0x0B, 0x00, 0xFF, 0xFF, 0xFE, 0xFF}}));
    TChannel2 channel;
    std::uint8_t flags = 0;
    GetChannelValueCmd(parser, &channel, flags);
    EXPECT_EQ(flags & 0x08, 0x08);
    EXPECT_EQ(channel.Addr(), "A1");
    EXPECT_EQ(channel.Number(), 0u);
    EXPECT_DOUBLE_EQ(channel.DT(), 1.5) << "form " << int{form};
    EXPECT_TRUE(channel.Value().ToBoolean());
    EXPECT_EQ(channel.Owner(), -2);
    EXPECT_EQ(parser.Size(), 0);
  }
}

TEST(ValueCmdRead, WithoutTimeA55TakesNowAndA57IsRefused) {
  platform::TManualClock clock(0, platform::LocalTime{2009, 3, 4, 5, 12, 0, 0, 0});
  platform::TScopedTestClock installed(clock);
  TKavrelCmdParser parser;
  Put(parser, {0x37, 0x0C, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x09});
  Put(parser, {0x39, 0x0C, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x09});
  Put(parser, {0x12});
  TChannel2 channel;
  std::uint8_t flags = 0;
  GetChannelValueCmd(parser, &channel, flags);
  EXPECT_EQ(channel.DT(), 39877.5);
  EXPECT_EQ(channel.Value().ToInt32(), 9);
  EXPECT_EQ(MessageOf([&] { GetChannelValueCmd(parser, &channel, flags); }),
            "дата время не указано в команде 57_"_cp);
  EXPECT_EQ(Unread(parser), (Bytes{0x12})) << "the failed command was dropped whole";
}

TEST(ValueCmdRead, RefusesNumberZeroAndAnEmptyAddress) {
  TKavrelCmdParser parser;
  Put(parser, {0x37, 0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x09});
  Put(parser, {0x37, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x09});
  TChannel2 channel;
  std::uint8_t flags = 0;
  EXPECT_EQ(MessageOf([&] { GetChannelValueCmd(parser, &channel, flags); }),
            "неверный номер канала"_cp);
  EXPECT_EQ(parser.Size(), 10);
  EXPECT_EQ(MessageOf([&] { GetChannelValueCmd(parser, &channel, flags); }),
            "неверный адрес канала"_cp);
  EXPECT_EQ(parser.Size(), 0);
}

TEST(ValueCmdRead, AFieldCannotReachIntoTheNextCommand) {
  TKavrelCmdParser parser;
  // The text value claims 4 bytes but its command holds only 1 of them; the
  // next command would supply the rest.
  Put(parser, {0x37, 0x0E, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x41});
  Put(parser, {0x37, 0x0C, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x09});
  TChannel2 channel;
  std::uint8_t flags = 0;
  EXPECT_EQ(MessageOf([&] { GetChannelValueCmd(parser, &channel, flags); }),
            "BinaryToVariant: недостаточно данных"_cp);
  EXPECT_EQ(channel.Number(), 7u) << "fields read before the failure stay";
  GetChannelValueCmd(parser, &channel, flags);
  EXPECT_EQ(channel.Value().ToInt32(), 9);
  EXPECT_EQ(parser.Size(), 0);
}

TEST(ValueCmdRead, BytesBeyondTheFieldsAreDroppedWithTheCommand) {
  TKavrelCmdParser parser;
  Put(parser, {0x37, 0x0E, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x09, 0xEE, 0xEE});
  Put(parser, {0x12});
  TChannel2 channel;
  std::uint8_t flags = 0;
  GetChannelValueCmd(parser, &channel, flags);
  EXPECT_EQ(Unread(parser), (Bytes{0x12}));
}

TEST(ValueCmdRead, AnIncompleteCommandIsRefusedUntouched) {
  TKavrelCmdParser parser;
  Put(parser, {0x39, 0x20, 0x00, 0x01});
  TChannel2 channel;
  std::uint8_t flags = 0;
  EXPECT_EQ(MessageOf([&] { GetChannelValueCmd(parser, &channel, flags); }),
            "неверная длина команды 32 [в буфере 4 байт]"_cp);
  EXPECT_EQ(parser.Size(), 4);
}

TEST(ValueCmdRoundTrip, EveryTimeFormAndValueKindComesBack) {
  struct Case {
    std::uint16_t type;
    Variant value;
  };
  Variant numbers = Variant::CreateArray(varSingle, 0, 2);
  numbers.SetElement(0, Variant(0.5));
  numbers.SetElement(1, Variant(-2.0));
  numbers.SetElement(2, Variant(1e10));
  const Case cases[] = {
      {16, Variant(-5)},
      {17, Variant(250)},
      {2, Variant(-30000)},
      {18, Variant(60000)},
      {3, Variant(-100000)},
      {19, Variant(4000000000.0)},
      {4, Variant(0.25)},
      {5, Variant(3.141592653589793)},
      {7, Variant::FromDate(39877.75)},
      {11, Variant::FromBoolean(true)},
      {256, Variant::FromAnsi(Text("Значение"_cp))},
      {0x1004, numbers},
      {0, Variant()},
  };
  for (std::uint8_t form = 1; form <= 3; ++form) {
    for (const Case& test : cases) {
      TChannel2 sent;
      sent.SetAddr(Text("Датчик 1"_cp));
      sent.SetType(test.type);
      sent.SetValue(test.value);
      sent.SetQuality(3);
      sent.SetDT(39877.25);
      sent.SetOwner(12);
      TKavrelCmdParser parser;
      SetChannelValueCmd(parser, &sent, static_cast<std::uint8_t>(form << 1), false, 57);
      TChannel2 received;
      std::uint8_t flags = 0;
      GetChannelValueCmd(parser, &received, flags);
      EXPECT_EQ(parser.Size(), 0);
      EXPECT_EQ(received.Addr(), sent.Addr());
      EXPECT_EQ(received.Type(), test.type);
      EXPECT_TRUE(received.Value().Equals(sent.Value()))
          << "type " << test.type << " form " << int{form};
      EXPECT_EQ(received.Quality(), 3);
      EXPECT_NEAR(received.DT(), 39877.25, 1e-9);
      EXPECT_EQ(received.Owner(), 12);
    }
  }
}

// ---------------------------------------------------------------------------
// Reading change records (60)

TEST(ChangeCmdRead, SetsActiveAddressNumberAndNothingElse) {
  TKavrelCmdParser parser;
  Put(parser, {0x3C, 0x0E, 0x00, 0x01, 0x02, 0x00, 0x41, 0x31, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x00});
  TChannel2 channel;
  channel.SetType(5);
  channel.SetQuality(0);
  GetChannelChangeCmd(parser, &channel);
  EXPECT_TRUE(channel.Active());
  EXPECT_EQ(channel.Addr(), "A1");
  EXPECT_EQ(channel.Number(), 42u);
  EXPECT_EQ(channel.Type(), 5);
  EXPECT_EQ(channel.Quality(), 0);
  EXPECT_EQ(channel.AttributeCount(), 0);
  EXPECT_EQ(parser.Size(), 0);
}

TEST(ChangeCmdRead, AttributesInEveryTimeFormAreMergedWithTheCreatorAsOwner) {
  const Bytes forms[] = {kTicks1_5, kDouble1_5, kIso1_5};
  for (std::uint8_t form = 1; form <= 3; ++form) {
    const Bytes& time = forms[form - 1];
    const Bytes entry1 =
        Cat({{0x64, 0x00, 0x00, 0x01, 0x02, 0x00, 0x6D, 0x41}, time});       // Unit "mA"
    const Bytes entry2 = Cat({{0x07, 0x00, 0x02, 0x00, 0x02, 0x00}, time});  // EUType 2
    const auto length = static_cast<std::uint8_t>(14 + entry1.size() + entry2.size());
    TKavrelCmdParser parser;
    Put(parser, Cat({{0x3C, length, 0x00, static_cast<std::uint8_t>(form << 1), 0x02, 0x00, 0x41,
                      0x31, 0x05, 0x00, 0x00, 0x00, 0x02, 0x00},
                     entry1,
                     entry2}));
    TChannel2 channel;
    channel.SetCreator(0);
    channel.SetAttribute(100, 256, Variant::FromAnsi("V"), 9, 0);
    GetChannelChangeCmd(parser, &channel);
    EXPECT_FALSE(channel.Active());
    ASSERT_EQ(channel.AttributeCount(), 2) << "the Unit attribute was replaced, not added";
    const TChannelAttribute* unit = channel.FindAttribute(100);
    EXPECT_EQ(unit->Value().ToAnsi(), "mA");
    EXPECT_EQ(unit->Owner(), 0);
    EXPECT_DOUBLE_EQ(unit->LastChange(), 1.5) << "form " << int{form};
    EXPECT_EQ(channel.EUType(), 2);
    EXPECT_EQ(parser.Size(), 0);
  }
}

TEST(ChangeCmdRead, AttributesNeedATimeForm) {
  TKavrelCmdParser parser;
  Put(parser, {0x3C, 0x0E, 0x00, 0x00, 0x02, 0x00, 0x41, 0x31, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
  Put(parser, {0x3C, 0x14, 0x00, 0x00, 0x02, 0x00, 0x41, 0x31, 0x01, 0x00,
               0x00, 0x00, 0x01, 0x00, 0x07, 0x00, 0x02, 0x00, 0x02, 0x00});
  TChannel2 channel;
  GetChannelChangeCmd(parser, &channel);
  EXPECT_EQ(MessageOf([&] { GetChannelChangeCmd(parser, &channel); }),
            "дата время атрибута не указано в команде 60"_cp);
  EXPECT_EQ(parser.Size(), 0);
  EXPECT_EQ(channel.AttributeCount(), 0);
}

}  // namespace
}  // namespace kv
