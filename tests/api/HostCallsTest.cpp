#include "api/HostCalls.h"

#include <gtest/gtest.h>

#include <cstring>

#include "OleTestUtil.h"
#include "runtime/Codepage.h"

using namespace kv;
using namespace kv::test;

namespace {

// 2009-03-05 14:07:09 and 1 234 567 hundred-nanosecond units.
constexpr FILETIME kStampWithSubMs{0xAC323B07, 0x01C99D9B};
// 2009-03-05 14:07:09.123 exactly.
constexpr FILETIME kStampMs{0xAC322930, 0x01C99D9B};

TDateTime StampDateTime() { return EncodeDate(2009, 3, 5) + EncodeTime(14, 7, 9, 123); }

}  // namespace

TEST(HostCallsAddress, CopiesAtMostSizeMinusOneCharacters) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  CopyAddress("ABCDEFGHIJ", buffer, 5);
  EXPECT_EQ(std::string(buffer, 6), std::string("ABCD\0x", 6));

  std::memset(buffer, 'x', sizeof buffer);
  CopyAddress("ABCDEFGHIJ", buffer, 1);
  EXPECT_EQ(std::string(buffer, 2), std::string("\0x", 2));

  std::memset(buffer, 'x', sizeof buffer);
  CopyAddress("AB", buffer, 6);
  EXPECT_STREQ(buffer, "AB");
  EXPECT_EQ(buffer[5], '\0');  // the last cell is always zeroed

  std::memset(buffer, 'x', sizeof buffer);
  CopyAddress("", buffer, 4);
  EXPECT_EQ(buffer[0], '\0');

  std::memset(buffer, 'x', sizeof buffer);
  CopyAddress("ABC", buffer, 0);
  CopyAddress("ABC", buffer, -3);
  CopyAddress("ABC", nullptr, 5);
  EXPECT_EQ(std::string(buffer, 8), "xxxxxxxx");
}

TEST(HostCallsTime, FileTimeDropsSubMillisecondDigits) {
  TDateTime dt = 0;
  ASSERT_TRUE(DateTimeFromHost(&kStampWithSubMs, dt));
  DateTimeParts parts;
  ASSERT_TRUE(TryDecodeDateTime(dt, parts));
  EXPECT_EQ(parts.year, 2009);
  EXPECT_EQ(parts.hour, 14);
  EXPECT_EQ(parts.second, 9);
  EXPECT_EQ(parts.millisecond, 123);
  FILETIME epoch{0xA90CC000, 0x014F35A9};  // 1899-12-30 00:00
  ASSERT_TRUE(DateTimeFromHost(&epoch, dt));
  EXPECT_EQ(dt, 0.0);
}

TEST(HostCallsTime, RejectsWhatTheCalendarCannotHold) {
  TDateTime dt = 42;
  EXPECT_FALSE(DateTimeFromHost(nullptr, dt));
  FILETIME topBit{0, 0x80000000};
  EXPECT_FALSE(DateTimeFromHost(&topBit, dt));
  FILETIME year30000{0xFFFFFFFF, 0x7FFFFFFF};
  EXPECT_FALSE(DateTimeFromHost(&year30000, dt));
  EXPECT_EQ(dt, 42);
}

TEST(HostCallsTime, DateTimeToFileTime) {
  FILETIME stamp = DateTimeToHost(StampDateTime());
  EXPECT_EQ(stamp.dwLowDateTime, kStampMs.dwLowDateTime);
  EXPECT_EQ(stamp.dwHighDateTime, kStampMs.dwHighDateTime);
  // Before 1601 there is no FILETIME: zero rather than stale bytes.
  FILETIME early = DateTimeToHost(EncodeDate(1500, 1, 1));
  EXPECT_EQ(early.dwLowDateTime, 0u);
  EXPECT_EQ(early.dwHighDateTime, 0u);
}

TEST(HostCallsArguments, NullTextsAreEmptyAndFlagsAreNonZero) {
  ClientSettings settings = SettingsFromHost(nullptr, 70000, 5, "x", nullptr, 2, 0, nullptr);
  EXPECT_EQ(settings.Host, "");
  EXPECT_EQ(settings.Port, 70000);  // whole: the log shows it so
  EXPECT_TRUE(settings.SetClock);
  EXPECT_FALSE(settings.DebugLog);

  TFakeClient client;
  EXPECT_TRUE(RegisterChannelCall(client, nullptr, 5, 0x80, 0, nullptr, "pre", nullptr, nullptr,
                                  nullptr, 3, nullptr));
  ASSERT_EQ(client.Channels.size(), 1u);
  EXPECT_EQ(client.Channels[0].Addr, "");
  EXPECT_TRUE(client.Channels[0].WriteEnable);
  EXPECT_EQ(client.Channels[0].Prefix, "pre");
  client.Result = false;
  EXPECT_FALSE(RegisterChannelCall(client, "K", 0, 0, 0, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, 0, nullptr));
}

TEST(HostCallsRegisterValue, BooleanTrueArrivesAsOne) {
  TFakeClient client;
  VARIANT flag = Scalar(VT_BOOL, 0xFFFF);
  ASSERT_TRUE(RegisterValueCall(client, "K1", &kStampWithSubMs, 192, flag));
  EXPECT_EQ(flag.boolVal, -1);  // the host's variant is not changed
  ASSERT_TRUE(RegisterValueCall(client, "K1", &kStampWithSubMs, 0, Scalar(VT_BOOL, 0)));
  ASSERT_TRUE(RegisterValueCall(client, "K1", &kStampWithSubMs, 0, Scalar(VT_I2, 0xFFFF)));
  ASSERT_EQ(client.Values.size(), 3u);
  EXPECT_EQ(client.Values[0].Value.Kind(), varBoolean);
  EXPECT_EQ(client.Values[0].Value.ToBooleanWord(), 1);
  EXPECT_EQ(client.Values[0].Quality, 192);
  EXPECT_EQ(client.Values[0].DT, StampDateTime());
  EXPECT_EQ(client.Values[1].Value.ToBooleanWord(), 0);
  EXPECT_EQ(client.Values[2].Value.Kind(), varSmallint);
  EXPECT_EQ(client.Values[2].Value.ToInt32(), -1);
}

TEST(HostCallsRegisterValue, BadArgumentsNeverReachTheClient) {
  TFakeClient client;
  FILETIME topBit{0, 0x80000000};
  EXPECT_FALSE(RegisterValueCall(client, "K1", nullptr, 0, Scalar(VT_I4, 1)));
  EXPECT_FALSE(RegisterValueCall(client, "K1", &topBit, 0, Scalar(VT_I4, 1)));
  EXPECT_FALSE(RegisterValueCall(client, "K1", &kStampMs, 0, Scalar(VT_DISPATCH, 0)));
  EXPECT_TRUE(client.Values.empty());
  // A null address is the empty address, not a crash.
  TOwnedVariant text(Text(u"x"));
  EXPECT_TRUE(RegisterValueCall(client, nullptr, &kStampMs, 0, text.v));
  ASSERT_EQ(client.Values.size(), 1u);
  EXPECT_EQ(client.Values[0].Addr, "");
  EXPECT_EQ(client.Values[0].Value.ToWide(), u"x");
}

TEST(HostCallsRegisterAttribute, ValuePassesUnnormalised) {
  TFakeClient client;
  EXPECT_TRUE(RegisterAttributeCall(client, "K1", 7, 11, Scalar(VT_BOOL, 0xFFFF)));
  EXPECT_FALSE(RegisterAttributeCall(client, "K1", 7, 11, Scalar(VT_UNKNOWN, 0)));
  ASSERT_EQ(client.Attributes.size(), 1u);
  EXPECT_EQ(client.Attributes[0].Id, 7);
  EXPECT_EQ(client.Attributes[0].Type, 11);
  EXPECT_EQ(client.Attributes[0].Value.ToBooleanWord(), 0xFFFF);
}

namespace {

ControlRequest Control(std::string addr, std::uint32_t number, Variant value) {
  ControlRequest control;
  control.Addr = std::move(addr);
  control.Number = number;
  control.DT = EncodeDate(2009, 3, 5) + EncodeTime(14, 7, 9, 123);
  control.Quality = 0x8001;
  control.Value = std::move(value);
  return control;
}

}  // namespace

TEST(HostCallsReceiveControl, FillsEveryOutParameter) {
  TFakeClient client;
  client.Controls.push_back(
      Control(std::string("Котёл"_cp), 17, Variant::FromAnsi(std::string("Вкл"_cp))));
  char addr[16];
  kv_uint32 number = 0;
  FILETIME time{};
  unsigned short quality = 0;
  VARIANT value;
  std::memset(&value, 0xCC, sizeof value);  // stale contents are overwritten, not cleared
  ASSERT_TRUE(ReceiveControlCall(client, addr, sizeof addr, &number, &time, &quality, &value));
  TOwnedVariant owned(value);
  EXPECT_STREQ(addr, "Котёл"_cp.data());
  EXPECT_EQ(number, 17u);
  EXPECT_EQ(time.dwLowDateTime, kStampMs.dwLowDateTime);
  EXPECT_EQ(time.dwHighDateTime, kStampMs.dwHighDateTime);
  EXPECT_EQ(quality, 0x8001);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(Units(value.bstrVal), u"\u0412\u043A\u043B");
  EXPECT_TRUE(client.Controls.empty());
}

TEST(HostCallsReceiveControl, NullOutParametersStillConsumeOneRequest) {
  TFakeClient client;
  client.Controls.push_back(Control("ABCDEFGHIJ", 1, Variant(5)));
  client.Controls.push_back(Control("SECOND", 2, Variant(6)));
  client.Controls.push_back(Control("THIRD", 3, Variant(7)));
  EXPECT_TRUE(ReceiveControlCall(client, nullptr, 0, nullptr, nullptr, nullptr, nullptr));

  char addr[8] = "zzzzzzz";
  kv_uint32 number = 0;
  EXPECT_TRUE(ReceiveControlCall(client, addr, 0, &number, nullptr, nullptr, nullptr));
  EXPECT_EQ(number, 2u);
  EXPECT_STREQ(addr, "zzzzzzz");

  char small[5];
  std::memset(small, 'x', sizeof small);
  EXPECT_TRUE(ReceiveControlCall(client, small, 5, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ(small, "THIR");
  EXPECT_TRUE(client.Controls.empty());
}

TEST(HostCallsReceiveControl, EmptyQueueTouchesNothing) {
  TFakeClient client;
  char addr[4] = "abc";
  kv_uint32 number = 99;
  FILETIME time{1, 2};
  unsigned short quality = 3;
  VARIANT value = Scalar(VT_I4, 4);
  EXPECT_FALSE(ReceiveControlCall(client, addr, 4, &number, &time, &quality, &value));
  EXPECT_STREQ(addr, "abc");
  EXPECT_EQ(number, 99u);
  EXPECT_EQ(time.dwLowDateTime, 1u);
  EXPECT_EQ(quality, 3);
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 4);
}

TEST(HostCallsReceiveControl, ArraysAndOldDates) {
  TFakeClient client;
  Variant array = Variant::CreateArray(varInteger, 1, 2);
  array.SetElement(2, Variant(-9));
  ControlRequest control = Control("A", 0, array);
  control.DT = EncodeDate(1600, 12, 31);
  client.Controls.push_back(control);
  FILETIME time{5, 5};
  VARIANT value;
  ASSERT_TRUE(ReceiveControlCall(client, nullptr, 0, nullptr, &time, nullptr, &value));
  TOwnedVariant owned(value);
  EXPECT_EQ(time.dwLowDateTime, 0u);
  EXPECT_EQ(time.dwHighDateTime, 0u);
  ASSERT_EQ(value.vt, VT_ARRAY | VT_I4);
  EXPECT_EQ(value.parray->rgsabound[0].lLbound, 1);
  EXPECT_EQ(ElementOf<std::int32_t>(value.parray, 1), -9);
}
