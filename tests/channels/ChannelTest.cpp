#include "channels/Channel.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "ChannelTestSupport.h"
#include "runtime/Codepage.h"

namespace kv {
namespace {

using ChannelTest = testing::ChannelTestBase;

Variant Array(std::uint16_t kind, std::initializer_list<Variant> items) {
  Variant array = Variant::CreateArray(kind, 0, static_cast<int>(items.size()) - 1);
  std::int32_t i = 0;
  for (const Variant& item : items) array.SetElement(i++, item);
  return array;
}

Variant Texts(std::initializer_list<std::string_view> items) {
  Variant array = Variant::CreateArray(varOleStr, 0, static_cast<int>(items.size()) - 1);
  std::int32_t i = 0;
  for (std::string_view item : items) array.SetElement(i++, Variant::FromAnsi(std::string(item)));
  return array;
}

TEST_F(ChannelTest, NewChannelHasTheClearState) {
  ClientOwnerID.store(5);
  TChannel2 channel;
  EXPECT_EQ(channel.Creator(), 5);
  EXPECT_EQ(channel.Quality(), 2);
  EXPECT_TRUE(channel.Value().IsEmpty());
  EXPECT_EQ(channel.Owner(), -32768);
  EXPECT_TRUE(channel.IsFromDriver());
  EXPECT_FALSE(channel.Valid());
  EXPECT_EQ(channel.ValueCount(), 1);
  EXPECT_EQ(channel.ValuesText(), "Состояние не определено"_cp);
  EXPECT_EQ(channel.AttributeCount(), 0);
}

TEST_F(ChannelTest, QualityKeepsTheLowByteAndLeavesTheValue) {
  TChannel2 channel;
  channel.SetType(3);
  channel.SetValue(Variant::FromInt32(9));
  channel.SetQuality(0x0105);
  EXPECT_EQ(channel.Quality(), 5);
  EXPECT_EQ(channel.Value().ToInt32(), 9);
}

// Every field of a channel as text, so that one comparison shows which
// fields an Assign changed.
std::map<std::string, std::string> Fields(const TChannel2& c) {
  std::string attributes;
  for (int i = 0; i < c.AttributeCount(); ++i) {
    const TChannelAttribute* a = c.AttributeByIndex(i);
    attributes += std::to_string(a->ID()) + "=" + a->ValueText() + ";";
  }
  return {{"Creator", std::to_string(c.Creator())},
          {"Addr", std::string(c.Addr())},
          {"Number", c.NumberStr()},
          {"Type", std::to_string(c.Type())},
          {"Attributes", attributes},
          {"Active", std::to_string(c.Active())},
          {"WriteEnable", std::to_string(c.WriteEnable())},
          {"SaveValue", std::to_string(c.SaveValue())},
          {"Groups", std::to_string(c.Groups())},
          {"UserValue", std::string(c.UserValue())},
          {"UserData1", std::to_string(c.UserData1())},
          {"UserData2", std::to_string(c.UserData2())},
          {"Flags", std::to_string(c.Flags())},
          {"Owner", std::to_string(c.Owner())},
          {"DT", std::to_string(c.DT())},
          {"Quality", std::to_string(c.Quality())},
          {"Value", std::to_string(c.Value().Kind()) + ":" + c.Value().ToAnsi()}};
}

void FillSource(TChannel2& c) {
  c.SetCreator(11);
  c.SetAddr("SRC");
  c.SetNumber(21);
  c.SetType(5);
  c.SetValue(Variant(2.5));
  c.SetComments("source comments");
  c.SetUnit("kPa");
  c.SetActive(true);
  c.SetWriteEnable(true);
  c.SetSaveValue(true);
  c.SetGroups(0x80000001);
  c.SetUserValue("user");
  c.SetUserData1(1);
  c.SetUserData2(2);
  c.SetFlags(NeedRegister | 1);
  c.SetOwner(3);
  c.SetDT(100.5);
  c.SetQuality(0);
}

void FillTarget(TChannel2& c) {
  c.SetCreator(-1);
  c.SetAddr("DST");
  c.SetNumber(7);
  c.SetType(3);
  c.SetValue(Variant::FromInt32(7));
  c.SetComments("target comments");
  c.SetEUType(2);
  c.SetFlags(NeedSendValue);
}

struct MaskCase {
  std::uint16_t mask;
  std::set<std::string> changed;
  std::string attributes;  // expected when Attributes changes
};

TEST_F(ChannelTest, AssignCopiesExactlyTheFieldsOfEachMaskBit) {
  const std::string mergedAttributes = "101=source comments;7=2;100=kPa;";
  const std::string replacedAttributes = "101=source comments;100=kPa;";
  const MaskCase cases[] = {
      {0x0001, {"Addr"}, ""},
      {0x0002, {"Number"}, ""},
      {0x0004, {"Type"}, ""},
      {0x0008, {"Attributes"}, mergedAttributes},
      {0x0010, {"Attributes"}, replacedAttributes},
      {0x0020, {"Active"}, ""},
      {0x0040, {"UserValue", "UserData1", "UserData2"}, ""},
      {0x0080, {"Owner"}, ""},
      {0x0100, {"DT"}, ""},
      {0x0200, {"Quality"}, ""},
      {0x0400, {"Value"}, ""},
      {0x0800, {"Creator"}, ""},
      {0x1000, {"WriteEnable"}, ""},
      {0x2000, {"Flags"}, ""},
      {0x4000, {"SaveValue"}, ""},
      {0x8000, {"Groups"}, ""},
      {0x0000, {}, ""},
  };
  TChannel2 source;
  FillSource(source);
  const auto sourceBefore = Fields(source);
  for (const MaskCase& c : cases) {
    SCOPED_TRACE(c.mask);
    TChannel2 target;
    FillTarget(target);
    const auto before = Fields(target);
    target.Assign(&source, c.mask);
    const auto after = Fields(target);
    std::set<std::string> changed;
    for (const auto& [name, value] : after)
      if (before.at(name) != value) changed.insert(name);
    EXPECT_EQ(changed, c.changed);
    if (!c.attributes.empty()) {
      EXPECT_EQ(after.at("Attributes"), c.attributes);
    }
    EXPECT_EQ(Fields(source), sourceBefore);
  }
}

TEST_F(ChannelTest, AssignConvertsTheValueToTheTypeCopiedFirst) {
  TChannel2 source;
  source.SetType(3);
  source.SetValue(Variant::FromInt32(12));
  TChannel2 both;
  both.SetType(256);
  both.Assign(&source, 0x0404);
  EXPECT_EQ(both.Type(), 3);
  EXPECT_EQ(both.Value().Kind(), varInteger);
  EXPECT_EQ(both.Value().ToInt32(), 12);
  TChannel2 valueOnly;
  valueOnly.SetType(256);
  valueOnly.Assign(&source, 0x0400);
  EXPECT_EQ(valueOnly.Type(), 256);
  EXPECT_EQ(valueOnly.Value().Kind(), varString);
  EXPECT_EQ(valueOnly.Value().ToAnsi(), "12");
}

TEST_F(ChannelTest, FullCopiesOwnTheirAttributesAndSelfAssignKeepsThem) {
  TChannel2 source;
  source.SetAddr("A1");
  source.SetComments("one");
  TChannel2 copy(&source);
  copy.SetComments("two");
  EXPECT_EQ(source.Comments(), "one");
  EXPECT_EQ(copy.Addr(), "A1");
  source.Assign(&source, 0x0010);  // would free the attributes it copies from
  EXPECT_EQ(source.Comments(), "one");
}

TEST_F(ChannelTest, PropertySetterCreatesItsAttributeStampedWithCreatorAndNow) {
  TChannel2 channel;
  channel.SetCreator(4);
  channel.SetEUType(2);
  ASSERT_EQ(channel.AttributeCount(), 1);
  const TChannelAttribute* a = channel.AttributeByIndex(0);
  EXPECT_EQ(a->ID(), 7);
  EXPECT_EQ(a->Type(), 2);
  EXPECT_EQ(a->Owner(), 4);
  EXPECT_DOUBLE_EQ(a->LastChange(), kKnownNow);
  // An existing attribute keeps its type: DTYPE is created as UInt1, so 300
  // does not fit; the stamp still moves.
  channel.SetDTYPE(12);
  clock_.Advance(1000);
  channel.SetDTYPE(300);
  EXPECT_EQ(channel.DTYPE(), 12);
  EXPECT_DOUBLE_EQ(channel.FindAttribute(5004)->LastChange(), kKnownNow + 1.0 / 86400);
  EXPECT_EQ(channel.AttributeByIndex(-1), nullptr);
  EXPECT_EQ(channel.AttributeByIndex(2), nullptr);
}

TEST_F(ChannelTest, AlarmSettingsAreCreatedWithTheTypesTheirGettersRead) {
  TChannel2 channel;
  channel.SetHiLimit(Variant::FromInt32(90));
  channel.SetAlarmMessage("alarm");
  channel.SetWatchLimits(true);
  EXPECT_EQ(channel.HiLimit().Kind(), varDouble);
  EXPECT_EQ(channel.HiLimit().ToDouble(), 90.0);
  EXPECT_EQ(channel.AlarmMessage(), "alarm");
  EXPECT_TRUE(channel.WatchLimits());
  EXPECT_FALSE(channel.Masked());  // absent: false
  EXPECT_EQ(channel.Unit(), "");
}

TEST_F(ChannelTest, AlarmIdHasThreeSlots) {
  TChannel2 channel;
  channel.SetAlarmID(3, 9);
  channel.SetAlarmID(-1, 9);
  EXPECT_EQ(channel.AttributeCount(), 0);
  EXPECT_EQ(channel.AlarmID(3), 0);
  channel.SetAlarmID(1, 9);
  EXPECT_EQ(channel.AlarmID(0), 0);
  EXPECT_EQ(channel.AlarmID(1), 9);
  EXPECT_EQ(channel.AlarmID(2), 0);
  EXPECT_EQ(channel.FindAttribute(5006)->Value().ArrayCount(), 3);
}

TEST_F(ChannelTest, EnumeratedStatesNameTheFirstValue) {
  TChannel2 channel;
  channel.SetType(3);
  channel.SetQuality(0);
  channel.SetEUType(2);
  channel.SetEUInfo2(Texts({"Закрыто"_cp, "Открыто"_cp}));
  channel.SetValue(Variant::FromInt32(1));
  EXPECT_EQ(channel.ValuesText(), "Открыто"_cp);
  channel.SetValue(Variant::FromInt32(5));
  EXPECT_EQ(channel.ValuesText(), "Value=5");
  // Errors inside become the text: a state number that is not a number.
  channel.SetType(256);
  channel.SetValue(Variant::FromAnsi("abc"));
  EXPECT_EQ(channel.ValueToText(0, false),
            "Could not convert variant of type (String) into type (Integer)");
}

TEST_F(ChannelTest, DeviceFormShowsPlainTextOrAQuestionMark) {
  TChannel2 channel;
  channel.SetType(5);
  channel.SetValue(Variant(2.5));
  channel.SetQuality(0);
  channel.SetEUType(3);
  channel.SetEUInfo3(1);
  EXPECT_EQ(channel.ValuesText(), "2.5");  // not the "%.2f" display format
  EXPECT_EQ(channel.QualityText(), "0");
  channel.SetQuality(5);
  EXPECT_EQ(channel.ValuesText(), "?");
  EXPECT_EQ(channel.QualityText(), "?");
}

TEST_F(ChannelTest, PackedDeviceStatesFollowTheDeviceKind) {
  TChannel2 block;
  block.SetType(0x1011);
  block.SetValue(
      Array(varByte, {Variant::FromUInt8(7), Variant::FromUInt8(2), Variant::FromUInt8(10),
                      Variant::FromUInt8(11), Variant::FromUInt8(12), Variant::FromUInt8(13),
                      Variant::FromUInt8(14), Variant::FromUInt8(15)}));
  block.SetQuality(0);
  block.SetEUType(3);
  block.SetDTYPE(12);
  EXPECT_EQ(block.ValuesText(), "7 А1=10   Ч1=11   А2=12   Ч2=13   П1=14   П2=15  "_cp);
  EXPECT_EQ(block.ValuesToText(std::nullopt, true), "7 2 10 11 12 13 14 15");

  TChannel2 gas;
  gas.SetType(0x1003);
  gas.SetValue(
      Array(varInteger, {Variant::FromInt32(3), Variant::FromInt32(1), Variant::FromInt32(42)}));
  gas.SetQuality(0);
  gas.SetEUType(3);
  gas.SetDTYPE(15);
  EXPECT_EQ(gas.ValuesText(), "3 %НКПР=42"_cp);
  gas.SetDTYPE(13);  // any other kind: the plain list
  EXPECT_EQ(gas.ValuesToText(";", false), "3;1;42");
}

TEST_F(ChannelTest, QualityTextPrefersTheChannelsOwnText) {
  TChannel2 channel;
  channel.SetQuality(7);
  EXPECT_EQ(channel.QualityText(), "Нет связи"_cp);
  channel.SetAttribute(5107, 256, Variant::FromAnsi(std::string("обрыв"_cp)), 1, 0);
  EXPECT_EQ(channel.QualityText(), "обрыв"_cp);
  EXPECT_EQ(channel.ValuesText(), "обрыв"_cp);
}

TEST_F(ChannelTest, MergeAttributeReplacesOrAppendsACopy) {
  TChannel2 channel;
  TChannelAttribute attribute;
  attribute.SetID(100);
  attribute.SetType(256);
  attribute.SetValue(Variant::FromAnsi("V"));
  EXPECT_TRUE(channel.MergeAttribute(&attribute));
  attribute.SetValue(Variant::FromAnsi("mV"));
  EXPECT_FALSE(channel.MergeAttribute(&attribute));
  EXPECT_FALSE(channel.MergeAttribute(nullptr));
  EXPECT_EQ(channel.AttributeCount(), 1);
  EXPECT_EQ(channel.Unit(), "mV");
  EXPECT_NE(channel.FindAttribute(100), &attribute);
}

TEST_F(ChannelTest, SmallTexts) {
  TChannel2 channel;
  channel.SetNumber(3000000000u);
  EXPECT_EQ(channel.NumberStr(), "3000000000");
  channel.SetComments("Temp");
  EXPECT_EQ(channel.FullComments(), "Temp");
  channel.SetPrefix("Boiler ");
  EXPECT_EQ(channel.FullComments(), "Boiler Temp");
  channel.SetPrefix("Boiler");
  EXPECT_EQ(channel.FullComments(), "Boiler Temp");
  EXPECT_EQ(channel.FormatString(), "");  // Empty type: its display format
  channel.SetType(4);
  EXPECT_EQ(channel.FormatString(), "%.1f");
  EXPECT_EQ(channel.TypeText(), "Float4");
}

TEST_F(ChannelTest, ArrayValuesAreReadFromIndexZero) {
  TChannel2 channel;
  channel.SetType(0x1003);
  Variant based = Variant::CreateArray(varInteger, 1, 2);
  based.SetElement(1, Variant::FromInt32(4));
  based.SetElement(2, Variant::FromInt32(5));
  channel.SetValue(based);
  channel.SetQuality(0);
  EXPECT_EQ(channel.ValueCount(), 2);
  EXPECT_EQ(channel.GetValueAt(0).ToInt32(), 4);
  EXPECT_TRUE(channel.GetValueAt(2).IsEmpty());
  EXPECT_EQ(channel.ValuesText(), "4 5");
}

}  // namespace
}  // namespace kv
