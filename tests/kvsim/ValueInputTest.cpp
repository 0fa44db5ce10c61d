// Value texts as commands and scripts take them, the same in every locale,
// and the JSON and terminal forms of values.
#include "kvsim/ValueInput.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "kvsim/Describe.h"
#include "kvsim/Json.h"
#include "runtime/FormatSettings.h"
#include "values/DataTypes.h"

namespace {

using namespace kv;
using namespace kv::sim;

class ValueInput : public ::testing::Test {
 protected:
  // A locale whose decimal separator is the comma must change nothing.
  void SetUp() override {
    saved_ = CurrentFormatSettings();
    SetFormatSettings(FormatSettings::Russian());
  }
  void TearDown() override { SetFormatSettings(saved_); }

  // The value, or the error text.
  std::string Read(const std::string& text, std::uint16_t type) {
    Variant value;
    std::string error;
    if (!ParseValue(text, type, value, error)) return "error: " + error;
    return DataTypeToText(VarTypeToDataType(value.Kind())) + " " + ValueText(value, type);
  }

  FormatSettings saved_;
};

TEST_F(ValueInput, DecimalPointIsAlwaysThePoint) {
  EXPECT_EQ(Read("12.5", dtFloat8), "Float8 12.5");
  EXPECT_EQ(Read("-1e-3", dtFloat4), "Float4 -0.001");
  EXPECT_EQ(Read("12,5", dtFloat8),
            "error: '12,5' is not a number (write the decimal point as '.')");
  EXPECT_EQ(Read("1,250", dtInt4),
            "error: '1,250' is not a number (write the decimal point as '.')");
  EXPECT_EQ(Read("1e40", dtFloat4), "error: '1e40' is out of range for Float4");
}

TEST_F(ValueInput, WholeNumbersWithinTheirType) {
  EXPECT_EQ(Read("+7", dtInt1), "Int1 7");
  EXPECT_EQ(Read("1e3", dtInt4), "Int4 1000");
  EXPECT_EQ(Read("4294967295", dtUInt4), "UInt4 4294967295");
  EXPECT_EQ(Read("256", dtUInt1), "error: '256' is out of range (0 to 255)");
  EXPECT_EQ(Read("-1", dtUInt2), "error: '-1' is out of range (0 to 65535)");
  EXPECT_EQ(Read("2.5", dtInt2), "error: '2.5' is not a whole number");
}

TEST_F(ValueInput, BooleansDatesTextsAndArrays) {
  EXPECT_EQ(Read("On", dtBoolean), "Boolean true");
  EXPECT_EQ(Read("no", dtBoolean), "Boolean false");
  EXPECT_EQ(Read("maybe", dtBoolean), "error: 'maybe' is not a boolean (true or false)");
  EXPECT_EQ(Read("2024-03-05 14:07:09.123", dtDate), "Date 2024-03-05 14:07:09.123");
  EXPECT_EQ(Read("2024-03-05T14:07", dtDate), "Date 2024-03-05 14:07:00.000");
  EXPECT_EQ(Read("20240305T140709.1230", dtDate), "Date 2024-03-05 14:07:09.123");
  EXPECT_EQ(Read("2024-02-30", dtDate).rfind("error: '2024-02-30' is not a date", 0), 0u);
  EXPECT_EQ(Read(" a, b ", dtString), "String \" a, b \"");
  EXPECT_EQ(Read("[1.5, 2]", dtFloat8 | dtArray), "Array of Float8 [1.5, 2]");
  EXPECT_EQ(Read("[\"a, b\", c]", dtString | dtArray), "Array of String [\"a, b\", \"c\"]");
  EXPECT_EQ(Read("1.5", dtFloat8 | dtArray), "error: '1.5' is not an array (write [a, b, c])");
}

TEST_F(ValueInput, TypeNamesAndComparison) {
  std::uint16_t type = 0;
  ASSERT_TRUE(ParseDataType("float8[]", type));
  EXPECT_EQ(type, dtFloat8 | dtArray);
  ASSERT_TRUE(ParseDataType("Array of Int4", type));
  EXPECT_EQ(type, dtInt4 | dtArray);
  ASSERT_TRUE(ParseDataType("256", type));
  EXPECT_EQ(type, dtString);
  EXPECT_FALSE(ParseDataType("Float16", type));

  Variant expected;
  std::string error;
  ASSERT_TRUE(ParseValue("12.3", dtFloat4, expected, error));
  EXPECT_TRUE(SameValue(Variant::FromSingle(12.3f), expected, dtFloat4));
  EXPECT_FALSE(SameValue(Variant::FromSingle(12.31f), expected, dtFloat4));
  ASSERT_TRUE(ParseValue("true", dtBoolean, expected, error));
  EXPECT_TRUE(SameValue(Variant::FromUInt16(0xFFFF), expected, dtBoolean)) << "a word on the wire";
}

TEST_F(ValueInput, JsonForms) {
  EXPECT_EQ(JsonValue(Variant::FromDouble(0.1), dtFloat8), "0.1");
  EXPECT_EQ(JsonValue(Variant::FromUInt16(0), dtBoolean), "false");
  EXPECT_EQ(JsonValue(Variant(), dtEmpty), "null");
  EXPECT_EQ(JsonValue(Variant::FromDouble(std::numeric_limits<double>::infinity()), dtFloat8),
            "\"inf\"");
  EXPECT_EQ(JsonValue(Variant::FromDate(2.5), dtDate), "\"1900-01-01T12:00:00.000\"");
  // "Ёж" in Windows-1251, a quote and a tab.
  EXPECT_EQ(JsonValue(Variant::FromAnsi("\xA8\xE6\"\t"), dtString), "\"\xD0\x81\xD0\xB6\\\"\\t\"");
}

}  // namespace
