#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/Exception.h"
#include "runtime/Format.h"
#include "runtime/FormatSettings.h"

namespace kv {
namespace {

// Every test starts from US English settings and leaves the snapshot as it
// found it.
class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = CurrentFormatSettings();
    SetFormatSettings(FormatSettings::UsEnglish());
  }
  void TearDown() override { SetFormatSettings(saved_); }

 private:
  FormatSettings saved_;
};

std::string Refusal(std::string_view format) {
  return "Format '" + std::string(format) + "' invalid or incompatible with argument";
}

template <typename F>
void ExpectRefused(std::string_view format, F call) {
  try {
    call();
    ADD_FAILURE() << "accepted: " << format;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), Refusal(format));
  }
}

std::uint32_t Word(std::int32_t v) { return static_cast<std::uint32_t>(v); }

// 2009-03-05 (a Thursday) at the given time.
TDateTime March5(int h, int mi, int s, int ms) {
  return EncodeDate(2009, 3, 5) + EncodeTime(h, mi, s, ms);
}

using FormatIntegerTest = FormatTest;

TEST_F(FormatIntegerTest, SignedAndUnsignedReadingsOfTheWord) {
  EXPECT_EQ(FormatInteger("%d", Word(-5)), "-5");
  EXPECT_EQ(FormatInteger("%u", Word(-1)), "4294967295");
  EXPECT_EQ(FormatInteger("%i", 0x80000000u), "-2147483648");
  EXPECT_EQ(FormatInteger("%x", 255), "ff");
  EXPECT_EQ(FormatInteger("%X", Word(-1)), "FFFFFFFF");
  EXPECT_EQ(FormatInteger("%o", 8), "10");
  EXPECT_EQ(FormatInteger("%ld", Word(-1)), "-1");
  EXPECT_EQ(FormatInteger("%I32u", 7), "7");
}

TEST_F(FormatIntegerTest, SizePrefixesNarrowTheWord) {
  EXPECT_EQ(FormatInteger("%hd", 0x12345678u), "22136");
  EXPECT_EQ(FormatInteger("%hd", 0xFFFF8000u), "-32768");
  EXPECT_EQ(FormatInteger("%hu", Word(-1)), "65535");
  EXPECT_EQ(FormatInteger("%hhd", 0x1FFu), "-1");
  EXPECT_EQ(FormatInteger("%hhu", 0x1FFu), "255");
}

TEST_F(FormatIntegerTest, FlagsWidthAndPrecision) {
  EXPECT_EQ(FormatInteger("%05d", Word(-5)), "-0005");
  EXPECT_EQ(FormatInteger("%5d|", 42), "   42|");
  EXPECT_EQ(FormatInteger("%-5d|", 42), "42   |");
  EXPECT_EQ(FormatInteger("%-05d|", 42), "42   |");
  EXPECT_EQ(FormatInteger("%+d", 5), "+5");
  EXPECT_EQ(FormatInteger("% d", 5), " 5");
  EXPECT_EQ(FormatInteger("%+u", 5), "5");
  EXPECT_EQ(FormatInteger("%.3d", 7), "007");
  EXPECT_EQ(FormatInteger("%06.3d", 7), "   007");  // a precision turns 0 off
  EXPECT_EQ(FormatInteger("[%.0d]", 0), "[]");
  EXPECT_EQ(FormatInteger("%#x", 255), "0xff");
  EXPECT_EQ(FormatInteger("%#X", 0), "0");
  EXPECT_EQ(FormatInteger("%#o", 8), "010");
  EXPECT_EQ(FormatInteger("%#08x", 255), "0x0000ff");
}

TEST_F(FormatIntegerTest, LiteralTextPercentAndCharacters) {
  EXPECT_EQ(FormatInteger("", 5), "");
  EXPECT_EQ(FormatInteger("abc", 5), "abc");
  EXPECT_EQ(FormatInteger("%d%% of %%", 7), "7% of %");
  EXPECT_EQ(FormatInteger("%c", 'A'), "A");
  EXPECT_EQ(FormatInteger("%3c", 'A'), "  A");
  EXPECT_EQ(FormatInteger("a%cb", 0), "a");  // the zero byte ends the C text
}

TEST_F(FormatIntegerTest, RefusesWhatDoesNotTakeOneInteger) {
  for (std::string_view f : {"%s", "%f", "%n", "%p", "%e", "%d %d", "%u%x", "%lld", "%I64d", "%*d",
                             "%.*d", "50%", "%lc", "%hc", "%q", "%L"})
    ExpectRefused(f, [f] { FormatInteger(f, 1); });
}

TEST_F(FormatIntegerTest, TextNeverExceedsNinetyNineCharacters) {
  EXPECT_EQ(FormatInteger("%200d", 1), std::string(99, ' '));
  std::string left = FormatInteger("%-150d", 1);
  EXPECT_EQ(left.size(), 99u);
  EXPECT_EQ(left.front(), '1');
  EXPECT_EQ(FormatInteger(std::string(150, 'x') + "%d", 1), std::string(99, 'x'));
  EXPECT_EQ(FormatInteger("%.120d", 3), std::string(99, '0'));
  EXPECT_EQ(FormatInteger("%99999999999999999999d", 1).size(), 99u);
  EXPECT_EQ(FormatInteger(std::string(98, 'x') + "%d", 12345), std::string(98, 'x') + "1");
}

using FormatFloatTest = FormatTest;

TEST_F(FormatFloatTest, FixedUsesTheLocaleDecimalSeparator) {
  EXPECT_EQ(FormatFloat("%.2f", 3.14159), "3.14");
  EXPECT_EQ(FormatFloat("%f", 2.5), "2.50");
  EXPECT_EQ(FormatFloat("%.0f", 2.4), "2");
  EXPECT_EQ(FormatFloat("%.3f", -0.5), "-0.500");
  EXPECT_EQ(FormatFloat("%.2f", 1e20), "100000000000000000000.00");
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(FormatFloat("%.2f", 3.14159), "3,14");
  EXPECT_EQ(FormatFloat("%.1f", 20.0), "20,0");
}

TEST_F(FormatFloatTest, RoundsHalfAwayFromZeroOnEighteenDigits) {
  EXPECT_EQ(FormatFloat("%.0f", 2.5), "3");
  EXPECT_EQ(FormatFloat("%.0f", -2.5), "-3");
  EXPECT_EQ(FormatFloat("%.2f", 0.125), "0.13");
  EXPECT_EQ(FormatFloat("%.1f", 0.05), "0.1");
  EXPECT_EQ(FormatFloat("%.2f", 1.005), "1.00");  // the double lies below 1.005
  EXPECT_EQ(FormatFloat("%.2f", 99.999), "100.00");
  EXPECT_EQ(FormatFloat("%.2f", 0.004), "0.00");
  EXPECT_EQ(FormatFloat("%.2f", -0.001), "0.00");
  EXPECT_EQ(FormatFloat("%.2f", 0.0), "0.00");
}

TEST_F(FormatFloatTest, GeneralPicksFixedOrScientific) {
  EXPECT_EQ(FormatFloat("%g", 2.5), "2.5");
  EXPECT_EQ(FormatFloat("%g", 100.0), "100");
  EXPECT_EQ(FormatFloat("%g", 0.0), "0");
  EXPECT_EQ(FormatFloat("%g", -0.001234), "-0.001234");
  EXPECT_EQ(FormatFloat("%g", 0.00001), "0.00001");
  EXPECT_EQ(FormatFloat("%g", 0.000001), "1E-006");
  EXPECT_EQ(FormatFloat("%g", 1e14), "100000000000000");
  EXPECT_EQ(FormatFloat("%g", 1e15), "1E015");
  EXPECT_EQ(FormatFloat("%g", 1.0 / 3), "0.333333333333333");
  EXPECT_EQ(FormatFloat("%.2g", 123456789.123456789), "1.2E008");
  EXPECT_EQ(FormatFloat("%.6g", 123456789.123456789), "1.23457E008");
  EXPECT_EQ(FormatFloat("%.3g", 99.96), "100");
  EXPECT_EQ(FormatFloat("%g", 1.5e-300), "1.5E-300");
  // A binary32 widened exactly shows its binary value.
  EXPECT_EQ(FormatFloat("%g", static_cast<double>(0.1f)), "0.100000001490116");
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(FormatFloat("%g", 2.5), "2,5");
  EXPECT_EQ(FormatFloat("%g", 1.5e-7), "1,5E-007");
}

TEST_F(FormatFloatTest, ScientificKeepsAllDigitsAndASignedExponent) {
  EXPECT_EQ(FormatFloat("%e", 3.14159), "3.14159000000000E+000");
  EXPECT_EQ(FormatFloat("%.3e", 12345.0), "1.23E+004");
  EXPECT_EQ(FormatFloat("%.2e", -0.00012345), "-1.2E-004");
  EXPECT_EQ(FormatFloat("%.1e", 9.9), "1E+001");
  EXPECT_EQ(FormatFloat("%.3e", 0.0), "0.00E+000");
  EXPECT_EQ(FormatFloat("%.4e", 1e300), "1.000E+300");
}

TEST_F(FormatFloatTest, NumberAndMoneyGroupThousands) {
  EXPECT_EQ(FormatFloat("%n", 1234567.891), "1,234,567.89");
  EXPECT_EQ(FormatFloat("%.0n", -999.5), "-1,000");
  EXPECT_EQ(FormatFloat("%.1n", 999.0), "999.0");
  EXPECT_EQ(FormatFloat("%m", 1234.5), "1,234.50");
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(FormatFloat("%n", 1234567.891),
            "1\xA0"
            "234\xA0"
            "567,89");
}

TEST_F(FormatFloatTest, WidthIndexCaseAndSurroundingText) {
  EXPECT_EQ(FormatFloat("%8.2f", 3.14159), "    3.14");
  EXPECT_EQ(FormatFloat("%-8.2f|", 3.14159), "3.14    |");
  EXPECT_EQ(FormatFloat("%2.2f", 3.14159), "3.14");
  EXPECT_EQ(FormatFloat("U=%.1F V, 100%%", 12.34), "U=12.3 V, 100%");
  EXPECT_EQ(FormatFloat("%0:G", 2.5), "2.5");
  EXPECT_EQ(FormatFloat("%f %0:.1f", 2.5), "2.50 2.5");
  EXPECT_EQ(FormatFloat("no directive", 1.0), "no directive");
  EXPECT_EQ(FormatFloat("%6g", std::numeric_limits<double>::quiet_NaN()), "   NAN");
  EXPECT_EQ(FormatFloat("%f", std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(FormatFloat("%e", -std::numeric_limits<double>::infinity()), "-INF");
}

TEST_F(FormatFloatTest, RefusesConversionsThatDoNotTakeAFloat) {
  for (std::string_view f :
       {"%d", "%u", "%x", "%s", "%p", "%D", "%*f", "%.*f", "%f %f", "%", "%.2", "%1:f", "%k"})
    ExpectRefused(f, [f] { FormatFloat(f, 1.0); });
}

using FormatDateTimeTest = FormatTest;

TEST_F(FormatDateTimeTest, PlainPatternShowsMillisecondsWithAndWithoutPadding) {
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.z", March5(14, 7, 9, 5)), "2009-03-05 14:07:09.5");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.z", March5(14, 7, 9, 123)),
            "2009-03-05 14:07:09.123");
  EXPECT_EQ(FormatDateTime("yyyymmdd'T'hhnnss.zzz", March5(4, 7, 9, 5)), "20090305T040709.005");
  EXPECT_EQ(FormatDateTime("d.m.yy h:n:s", March5(4, 7, 9, 5)), "5.3.09 4:7:9");
}

TEST_F(FormatDateTimeTest, LettersInAnyCaseAndMinutesAfterAnHour) {
  EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", March5(14, 7, 9, 0)), "2009-03-05 14:07:09");
  EXPECT_EQ(FormatDateTime("hh:mm", March5(14, 7, 9, 0)), "14:07");
  EXPECT_EQ(FormatDateTime("mm", March5(14, 7, 9, 0)), "03");
  EXPECT_EQ(FormatDateTime("hh:mm dd.mm", March5(14, 7, 9, 0)), "14:07 05.03");
}

TEST_F(FormatDateTimeTest, WindowsPatternsOfTheSettings) {
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(FormatDateTime("dd.MM.yyyy H:mm:ss", March5(4, 7, 9, 0)), "05.03.2009 4:07:09");
  SetFormatSettings(FormatSettings::UsEnglish());
  EXPECT_EQ(FormatDateTime("M/d/yyyy h:mm:ss tt", March5(14, 7, 9, 0)), "3/5/2009 2:07:09 PM");
  EXPECT_EQ(FormatDateTime("h:mm tt", March5(0, 5, 0, 0)), "12:05 AM");
  EXPECT_EQ(FormatDateTime("hh:mm t", March5(12, 0, 0, 0)), "12:00 P");
  EXPECT_EQ(FormatDateTime("HH:mm", March5(0, 5, 0, 0)), "00:05");
}

TEST_F(FormatDateTimeTest, SeparatorsComeFromTheSettings) {
  FormatSettings odd = FormatSettings::UsEnglish();
  odd.DateSeparator = '-';
  odd.TimeSeparator = '.';
  SetFormatSettings(odd);
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:nn", March5(14, 7, 0, 0)), "05-03-2009 14.07");
}

TEST_F(FormatDateTimeTest, QuotedTextAndOtherCharactersAreCopied) {
  EXPECT_EQ(FormatDateTime("'mm' \"hh\" d", March5(14, 7, 0, 0)), "mm hh 5");
  EXPECT_EQ(FormatDateTime("'\xC4\xE0\xF2\xE0:' d", March5(14, 7, 0, 0)), "\xC4\xE0\xF2\xE0: 5");
  EXPECT_EQ(FormatDateTime("[d] #x", March5(14, 7, 0, 0)), "[5] #x");
  EXPECT_EQ(FormatDateTime("'open", March5(14, 7, 0, 0)), "open");
}

TEST_F(FormatDateTimeTest, NamesAmPmAndTheDefaultForm) {
  EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", March5(0, 0, 0, 0)), "Thu Thursday Mar March");
  EXPECT_EQ(FormatDateTime("h:nn am/pm", March5(14, 7, 0, 0)), "2:07 pm");
  EXPECT_EQ(FormatDateTime("h A/P", March5(9, 0, 0, 0)), "9 A");
  EXPECT_EQ(FormatDateTime("h ampm", March5(13, 0, 0, 0)), "1 PM");
  EXPECT_EQ(FormatDateTime("ddddd", March5(13, 0, 0, 0)), "3/5/2009");
  EXPECT_EQ(DateTimeToStr(March5(0, 0, 0, 0)), "3/5/2009");
  EXPECT_EQ(FormatDateTime("", March5(0, 0, 0, 0)), "3/5/2009");
  EXPECT_EQ(DateTimeToStr(March5(14, 7, 9, 0)), "3/5/2009 2:07:09 PM");
  SetFormatSettings(FormatSettings::Russian());
  EXPECT_EQ(DateTimeToStr(March5(14, 7, 9, 0)), "05.03.2009 14:07:09");
}

TEST_F(FormatDateTimeTest, DatesBeforeTheEpochAndRefusedValues) {
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn", -1.25), "1899-12-29 06:00");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", -693593.0), "0001-01-01");
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), 1e10, -700000.0}) {
    try {
      FormatDateTime("yyyy", bad);
      ADD_FAILURE() << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Invalid argument to date encode");
    }
  }
}

}  // namespace
}  // namespace kv
