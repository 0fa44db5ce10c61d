#include "channels/ChannelAttribute.h"

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "runtime/Calendar.h"

namespace kv {
namespace {

using AttributeTest = testing::ChannelTestBase;

Variant IntArray(std::int32_t low, std::initializer_list<std::int32_t> items) {
  Variant array = Variant::CreateArray(varInteger, low, low + static_cast<int>(items.size()) - 1);
  std::int32_t i = low;
  for (std::int32_t item : items) array.SetElement(i++, Variant::FromInt32(item));
  return array;
}

TEST_F(AttributeTest, NewAttributeIsEmptyAndOwnedByTheClientNumberOfItsTime) {
  ClientOwnerID.store(-1);
  TChannelAttribute beforeLogin;
  EXPECT_EQ(beforeLogin.ID(), 0);
  EXPECT_EQ(beforeLogin.Type(), 0);
  EXPECT_TRUE(beforeLogin.Value().IsEmpty());
  EXPECT_EQ(beforeLogin.Owner(), -1);
  EXPECT_EQ(beforeLogin.LastChange(), 0.0);
  ClientOwnerID.store(1);
  TChannelAttribute afterLogin;
  EXPECT_EQ(afterLogin.Owner(), 1);
}

TEST_F(AttributeTest, ValueIsConvertedToTheTypeAndABadValueKeepsTheOldOne) {
  TChannelAttribute attribute;
  attribute.SetType(3);  // Int4
  attribute.SetOwner(3);
  attribute.SetValue(Variant(2.5));
  EXPECT_EQ(attribute.Value().Kind(), varInteger);
  EXPECT_EQ(attribute.Value().ToInt32(), 2);  // ties to even
  attribute.SetValue(Variant::FromAnsi("abc"));
  EXPECT_EQ(attribute.Value().Kind(), varInteger);
  EXPECT_EQ(attribute.Value().ToInt32(), 2);
  EXPECT_EQ(attribute.Owner(), 3);  // writing the value stamps nothing
  EXPECT_EQ(attribute.LastChange(), 0.0);
}

TEST_F(AttributeTest, ArraysAreStoredFromIndexZero) {
  TChannelAttribute attribute;
  attribute.SetType(0x1003);
  attribute.SetValue(Variant::FromInt32(5));  // a scalar becomes a one-element array
  ASSERT_TRUE(attribute.Value().IsArray());
  EXPECT_EQ(attribute.Value().ArrayCount(), 1);
  attribute.SetValue(IntArray(1, {4, 5, 6}));  // already Int4, but based at 1
  ASSERT_TRUE(attribute.Value().IsArray());
  EXPECT_EQ(attribute.Value().ArrayLow(), 0);
  EXPECT_EQ(attribute.ValueText(), "4 5 6");
}

TEST_F(AttributeTest, ValueTextJoinsArrayElementsWithTheSeparator) {
  TChannelAttribute attribute;
  attribute.SetType(0x1003);
  attribute.SetValue(IntArray(0, {1, 2, 3}));
  EXPECT_EQ(attribute.ValueText(), "1 2 3");
  EXPECT_EQ(attribute.ValueToText(";", false), "1;2;3");
  attribute.SetType(5);
  attribute.SetValue(Variant(3.14159));
  EXPECT_EQ(attribute.ValueToText(std::nullopt, false), "3.14");    // display format
  EXPECT_EQ(attribute.ValueToText(std::nullopt, true), "3.14159");  // plain format
  EXPECT_EQ(attribute.TypeText(), "Float8");
}

TEST_F(AttributeTest, LastChangeTextPadsMonthMinutesSecondsAndYearOnly) {
  TChannelAttribute attribute;
  EXPECT_EQ(attribute.LastChangeText(), "30.12.1899 0:00:00");
  attribute.SetLastChange(EncodeDate(2009, 3, 5) + EncodeTime(4, 7, 9, 999));
  EXPECT_EQ(attribute.LastChangeText(), "5.03.2009 4:07:09");
  DateTimeParts early;
  early.year = 987;
  early.month = 11;
  early.day = 25;
  early.hour = 23;
  early.minute = 59;
  TDateTime value = 0;
  ASSERT_TRUE(TryEncodeDateTime(early, value));
  attribute.SetLastChange(value);
  EXPECT_EQ(attribute.LastChangeText(), "25.11.0987 23:59:00");
}

TEST_F(AttributeTest, AssignCopiesTheTypeBeforeTheValue) {
  TChannelAttribute source;
  source.SetID(7);
  source.SetType(3);
  source.SetValue(Variant::FromInt32(42));
  source.SetOwner(12);
  source.SetLastChange(kKnownNow);
  TChannelAttribute target;
  target.SetType(256);
  target.SetValue(Variant::FromAnsi("old"));
  target.Assign(source);
  EXPECT_EQ(target.ID(), 7);
  EXPECT_EQ(target.Type(), 3);
  EXPECT_EQ(target.Value().Kind(), varInteger);
  EXPECT_EQ(target.Value().ToInt32(), 42);
  EXPECT_EQ(target.Owner(), 12);
  EXPECT_EQ(target.LastChange(), kKnownNow);
}

}  // namespace
}  // namespace kv
