// Wire forms of the test server, against bytes written out from the
// protocol's tables: what it sends must be exactly what a client reads, and
// what it reads must be exactly what a client writes.
#include "kvsim/SimRecords.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/Exception.h"
#include "values/DataTypes.h"

namespace {

using namespace kv;
using namespace kv::sim;

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

void Fill(TKavrelCmdParser& parser, const std::string& bytes) {
  parser.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

// 2.5 and 12.5 as little-endian doubles.
#define D2_5 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x40
#define D12_5 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x29, 0x40

TEST(SimRegistrationRead, AddressTypeAndNoAttributes) {
  TKavrelCmdParser parser;
  Fill(parser, Bytes({0x33, 0x0D, 0x00, 0x82, 0x00, 0x02, 0x00, 'A', '1', 0x04, 0x00, 0, 0}));
  const TRegistration reg = ReadRegistration(parser);
  EXPECT_EQ(reg.flags, 0x0082);
  EXPECT_EQ(reg.addr, "A1");
  EXPECT_EQ(reg.type, dtFloat4);
  EXPECT_TRUE(reg.attributes.empty());
  EXPECT_EQ(parser.Size(), 0);
}

TEST(SimRegistrationRead, AttributeWithDoubleTime) {
  TKavrelCmdParser parser;
  Fill(parser, Bytes({0x33, 0x1E, 0x00, 0x82, 0x00, 0x02, 0x00, 'A', '1', 0x05, 0x00, 0x01,
                      0x00, 0x64, 0x00, 0x00, 0x01, 0x03, 0x00, 'k', 'P', 'a',  D2_5}));
  const TRegistration reg = ReadRegistration(parser);
  ASSERT_EQ(reg.attributes.size(), 1u);
  EXPECT_EQ(reg.attributes[0].id, 100);
  EXPECT_EQ(reg.attributes[0].type, dtString);
  EXPECT_EQ(reg.attributes[0].value.ToAnsi(), "kPa");
  EXPECT_EQ(reg.attributes[0].lastChange, 2.5);
  EXPECT_EQ(parser.Size(), 0);
}

TEST(SimRegistrationRead, ByNumberAndTimeFormNone) {
  // flags 0x0001: by number, attribute time form 0 (no time field at all)
  TKavrelCmdParser parser;
  Fill(parser, Bytes({0x33, 0x15, 0x00, 0x01, 0x00, 0x07, 0,    0,    0,    0x03, 0x00,
                      0x01, 0x00, 0x0B, 0x00, 0x03, 0x00, 0x2A, 0x00, 0x00, 0x00}));
  const TRegistration reg = ReadRegistration(parser);
  EXPECT_EQ(reg.number, 7u);
  EXPECT_TRUE(reg.addr.empty());
  ASSERT_EQ(reg.attributes.size(), 1u);
  EXPECT_EQ(reg.attributes[0].id, 11);
  EXPECT_EQ(reg.attributes[0].value.ToInt32(), 42);
  EXPECT_EQ(reg.attributes[0].lastChange, 0.0);
  EXPECT_EQ(parser.Size(), 0);
}

TEST(SimRegistrationRead, TruncatedAttributeRaisesTheShortageError) {
  // The count promises one attribute that is not there.
  TKavrelCmdParser parser;
  Fill(parser, Bytes({0x33, 0x0D, 0x00, 0x82, 0x00, 0x02, 0x00, 'A', '1', 0x04, 0x00, 1, 0}));
  EXPECT_THROW(ReadRegistration(parser), Exception);
}

TEST(SimValueRead, NumberTimeQualityTypeValue) {
  TKavrelCmdParser parser;
  Fill(parser,
       Bytes({0x37, 0x1B, 0x00, 0x05, 0x07, 0x00, 0x00, 0x00, D2_5, 0xC0, 0x05, 0x00, D12_5}));
  const TValueRecord v = ReadValueRecord(parser);
  EXPECT_EQ(v.id, 55);
  EXPECT_EQ(v.flags, 0x05);
  EXPECT_EQ(v.number, 7u);
  EXPECT_EQ(v.dt, 2.5);
  EXPECT_EQ(v.quality, 0xC0);
  EXPECT_EQ(v.type, dtFloat8);
  EXPECT_EQ(v.value.ToDouble(), 12.5);
  EXPECT_EQ(parser.Size(), 0);
}

TEST(SimControlWrite, ByNumberWithDoubleTimeAndMark) {
  TControl control;
  control.byNumber = true;
  control.number = 7;
  control.dt = 2.5;
  control.type = dtInt4;
  control.value = Variant(42);
  TKavrelCmdParser out;
  AppendControl(out, control);
  EXPECT_EQ(Hex(PendingBytes(out)), Hex(Bytes({0x39, 0x19, 0x00, 0x0D, 0x07, 0, 0, 0, D2_5, 0x00,
                                               0x03, 0x00, 0x2A, 0, 0, 0, 0x00, 0x00})));
}

TEST(SimControlWrite, ByAddressWithTicksOwnerAndConvertedText) {
  TControl control;
  control.addr = "A1";
  control.timeForm = TDateTimeForm::Ticks;
  control.controlMark = false;
  control.dt = 2.5;
  control.quality = 3;
  control.type = dtInt2;
  control.value = Variant::FromAnsi("-2");  // converted to Int2 before it is written
  control.owner = 5;
  TKavrelCmdParser out;
  AppendControl(out, control);
  // 94 355 280 000 000 000 ticks = 0x014F37A093152000
  EXPECT_EQ(Hex(PendingBytes(out)),
            Hex(Bytes({0x39, 0x17, 0x00, 0x02, 0x02, 0x00, 'A',  '1',  0x00, 0x20, 0x15, 0x93,
                       0xA0, 0x37, 0x4F, 0x01, 0x03, 0x02, 0x00, 0xFE, 0xFF, 0x05, 0x00})));
}

TEST(SimControlWrite, UnconvertibleValueAppendsNothing) {
  TControl control;
  control.addr = "A1";
  control.type = dtInt4;
  control.value = Variant::FromAnsi("abc");
  TKavrelCmdParser out;
  EXPECT_THROW(AppendControl(out, control), Exception);
  EXPECT_EQ(out.Size(), 0);
}

TEST(SimChangeWrite, ActiveWithoutAttributes) {
  TChannelChange change;
  change.addr = "A1";
  change.number = 7;
  TKavrelCmdParser out;
  AppendChannelChange(out, change);
  EXPECT_EQ(Hex(PendingBytes(out)),
            Hex(Bytes({0x3C, 0x0E, 0x00, 0x05, 0x02, 0x00, 'A', '1', 0x07, 0, 0, 0, 0x00, 0x00})));
}

TEST(SimChangeWrite, InactiveWithAttributeInTicks) {
  TChannelChange change;
  change.addr = "A1";
  change.number = 7;
  change.active = false;
  change.timeForm = TDateTimeForm::Ticks;
  change.attributes.push_back({100, dtString, Variant::FromAnsi("kPa"), 2.5});
  TKavrelCmdParser out;
  AppendChannelChange(out, change);
  EXPECT_EQ(Hex(PendingBytes(out)),
            Hex(Bytes({0x3C, 0x1F, 0x00, 0x02, 0x02, 0x00, 'A',  '1',  0x07, 0,   0,
                       0,    0x01, 0x00, 0x64, 0x00, 0x00, 0x01, 0x03, 0x00, 'k', 'P',
                       'a',  0x00, 0x20, 0x15, 0x93, 0xA0, 0x37, 0x4F, 0x01})));
}

TEST(SimChangeWrite, FailureLeavesEarlierCommandsAlone) {
  TKavrelCmdParser out;
  TChannelChange good;
  good.addr = "A1";
  good.number = 1;
  AppendChannelChange(out, good);
  const std::int32_t before = out.Size();
  TChannelChange bad = good;
  bad.attributes.push_back({5, dtInt4, Variant::FromAnsi("not a number"), 0});
  EXPECT_THROW(AppendChannelChange(out, bad), Exception);
  EXPECT_EQ(out.Size(), before);
}

}  // namespace
