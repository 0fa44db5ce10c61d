#include <gtest/gtest.h>

#include "runtime/Calendar.h"
#include "runtime/Exception.h"
#include "runtime/FormatSettings.h"
#include "values/ValueText.h"

namespace kv {
namespace {

// Windows-1251 bytes of the texts checked below.
const std::string kOk = "\xCE\xCA";
const std::string kRecorderFault =
    "\xCD\xE5\xE8\xF1\xEF\xF0\xE0\xE2\xE5\xED \xF0\xE5\xE3\xE8\xF1\xF2\xF0\xE0\xF2\xEE\xF0";
const std::string kUndefined = "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED\xEE";
const std::string kFlowRate =
    "\xCC\xE3\xED\xEE\xE2\xE5\xED\xED\xFB\xE9 (\xF2\xE5\xEA\xF3\xF9\xE8\xE9) "
    "\xF0\xE0\xF1\xF5\xEE\xE4";
const std::string kYes = "\xE4\xE0";
const std::string kNo = "\xED\xE5\xF2";
const std::string kBadType = "\xED\xE5\xE2\xE5\xF0\xED\xFB\xE9 \xF2\xE8\xEF ";

constexpr std::uint16_t kInt2 = 2, kInt4 = 3, kFloat4 = 4, kFloat8 = 5, kDate = 7, kBoolean = 11,
                        kInt1 = 16, kUInt1 = 17, kUInt2 = 18, kUInt4 = 19, kString = 256;

class ValueTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = CurrentFormatSettings();
    SetFormatSettings(FormatSettings::UsEnglish());
  }
  void TearDown() override { SetFormatSettings(saved_); }

 private:
  FormatSettings saved_;
};

using QualityText = ValueTextTest;

TEST_F(QualityText, TableEndsAtEight) {
  EXPECT_EQ(QualityToText(0), kOk);
  EXPECT_EQ(QualityToText(8), kRecorderFault);
  EXPECT_EQ(QualityToText(9), "Quality=9");
  EXPECT_EQ(QualityToText(255), "Quality=255");
}

TEST_F(QualityText, SignificationTableEndsAtSixteen) {
  EXPECT_EQ(SignificationToText(0), kUndefined);
  EXPECT_EQ(SignificationToText(16), kFlowRate);
  EXPECT_EQ(SignificationToText(17), "17");
  EXPECT_EQ(SignificationToText(65535), "65535");
}

using FormatTables = ValueTextTest;

TEST_F(FormatTables, ArrayFlagIsIgnored) {
  EXPECT_EQ(DefaultValueFormat(0x1004), "%.1f");
  EXPECT_EQ(PlainValueFormat(0x1004), "%g");
  EXPECT_EQ(DefaultValueFormat(0x1000 | kUInt2), "%u");
  EXPECT_EQ(DefaultValueFormat(kFloat8), "%.2f");
  EXPECT_EQ(DefaultValueFormat(kBoolean), "%d");
  EXPECT_EQ(PlainValueFormat(kBoolean), "");
  EXPECT_EQ(DefaultValueFormat(kString), "");
  EXPECT_EQ(DefaultValueFormat(9), "");
  EXPECT_EQ(PlainValueFormat(0), "");
}

TEST_F(FormatTables, DateFormatFollowsTheSettingsAtEachCall) {
  EXPECT_EQ(DefaultValueFormat(kDate), "M/d/yyyy h:mm:ss tt");
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(DefaultValueFormat(kDate), "dd.MM.yyyy H:mm:ss");
  EXPECT_EQ(PlainValueFormat(kDate), "yyyy-mm-dd hh:nn:ss.z");
}

using FormatValueTest = ValueTextTest;

TEST_F(FormatValueTest, IntegersWidenBySignednessOfTheirType) {
  EXPECT_EQ(FormatValue(kInt1, "%u", Variant(-1)), "4294967295");
  EXPECT_EQ(FormatValue(kInt2, "%u", Variant(-1)), "4294967295");
  EXPECT_EQ(FormatValue(kUInt1, "%d", Variant(255)), "255");
  EXPECT_EQ(FormatValue(kUInt2, "%d", Variant(65535)), "65535");
  EXPECT_EQ(FormatValue(kUInt4, "%d", Variant::FromUInt32(0xFFFFFFFFu)), "-1");
  EXPECT_EQ(FormatValue(kInt4, "%05d", Variant(-5)), "-0005");
  EXPECT_EQ(FormatValue(0x1000 | kInt4, "[%d]", Variant(7)), "[7]");
  EXPECT_EQ(FormatValue(kInt4, "", Variant(7)), "");
  EXPECT_EQ(FormatValue(kInt4, "%x", Variant(3.0)), "3");
}

TEST_F(FormatValueTest, IntegerFormatsThatDoNotFitAreRefused) {
  for (std::string_view f : {"%s", "%f", "%d %d", "%n"}) {
    try {
      FormatValue(kInt4, f, Variant(1));
      ADD_FAILURE() << f;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(),
                "Format '" + std::string(f) + "' invalid or incompatible with argument");
    }
  }
  EXPECT_EQ(FormatValue(kUInt4, "%150u", Variant(1)).size(), 99u);
}

TEST_F(FormatValueTest, ValuesOutsideTheTypeRaiseTheConversionError) {
  EXPECT_THROW(FormatValue(kInt1, "%d", Variant(200)), Exception);
  EXPECT_THROW(FormatValue(kUInt2, "%d", Variant(-1)), Exception);
  EXPECT_THROW(FormatValue(kInt4, "%d", Variant::FromAnsi("abc")), Exception);
}

TEST_F(FormatValueTest, FloatsUseTheLocaleSeparator) {
  EXPECT_EQ(FormatValue(kFloat8, PlainValueFormat(kFloat8), Variant(2.5)), "2.5");
  EXPECT_EQ(FormatValue(kFloat4, DefaultValueFormat(kFloat4), Variant(0.25)), "0.3");
  EXPECT_EQ(FormatValue(kFloat8, "%.3f", Variant(7)), "7.000");
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(FormatValue(kFloat8, PlainValueFormat(kFloat8), Variant(2.5)), "2,5");
  EXPECT_EQ(FormatValue(kFloat8, "%.2f", Variant(3.14159)), "3,14");
  EXPECT_THROW(FormatValue(kFloat8, "%d", Variant(2.5)), Exception);
}

TEST_F(FormatValueTest, FloatFourIsNarrowedToBinary32First) {
  EXPECT_EQ(FormatValue(kFloat4, "%g", Variant(0.1)), "0.100000001490116");
  EXPECT_EQ(FormatValue(kFloat8, "%g", Variant(0.1)), "0.1");
}

TEST_F(FormatValueTest, DatesWithTheSettingsAndThePlainPattern) {
  Variant when = Variant::FromDate(EncodeDate(2009, 3, 5) + EncodeTime(14, 7, 9, 5));
  EXPECT_EQ(FormatValue(kDate, PlainValueFormat(kDate), when), "2009-03-05 14:07:09.5");
  EXPECT_EQ(FormatValue(kDate, DefaultValueFormat(kDate), when), "3/5/2009 2:07:09 PM");
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(FormatValue(kDate, DefaultValueFormat(kDate), when), "05.03.2009 14:07:09");
}

TEST_F(FormatValueTest, BooleanTextAndEmptyIgnoreOrEchoTheFormat) {
  EXPECT_EQ(FormatValue(kBoolean, "%d", Variant::FromBoolean(true)), kYes);
  EXPECT_EQ(FormatValue(kBoolean, "%s %f", Variant::FromBoolean(false)), kNo);
  EXPECT_EQ(FormatValue(kBoolean, "", Variant(5)), kYes);
  EXPECT_EQ(FormatValue(kString, "%d", Variant::FromAnsi("\xC0\xC1 x")), "\xC0\xC1 x");
  EXPECT_EQ(FormatValue(kString, "", Variant(42)), "42");
  EXPECT_EQ(FormatValue(0, "abc", Variant(1)), "abc");
  EXPECT_EQ(FormatValue(0x1000, "%d", Variant()), "%d");
}

TEST_F(FormatValueTest, UnknownTypesGiveATextNotAnError) {
  EXPECT_EQ(FormatValue(9, "%d", Variant(1)), kBadType + "9");
  EXPECT_EQ(FormatValue(0x1009, "%d", Variant(1)), kBadType + "4105");
  EXPECT_EQ(FormatValue(0xFFFF, "", Variant()), kBadType + "65535");
}

}  // namespace
}  // namespace kv
