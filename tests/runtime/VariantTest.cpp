#include "runtime/Variant.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/FormatSettings.h"
#include "runtime/NumberText.h"

namespace kv {
namespace {

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.Message();
  }
  return {};
}

// Runs each test under a known locale and restores US English afterwards.
class RussianLocale : public ::testing::Test {
 protected:
  void SetUp() override { SetFormatSettings(FormatSettings::Russian()); }
  void TearDown() override { SetFormatSettings(FormatSettings::UsEnglish()); }
};

class EnglishLocale : public ::testing::Test {
 protected:
  void SetUp() override { SetFormatSettings(FormatSettings::UsEnglish()); }
};

TEST(VariantArray, BoundsAndZeroElements) {
  Variant array = Variant::CreateArray(varInteger, -2, 1);
  EXPECT_TRUE(array.IsArray());
  EXPECT_EQ(array.Kind(), varArray | varInteger);
  EXPECT_EQ(array.ArrayLow(), -2);
  EXPECT_EQ(array.ArrayHigh(), 1);
  EXPECT_EQ(array.ArrayCount(), 4);
  EXPECT_EQ(array.GetElement(-2).Kind(), varInteger);
  EXPECT_EQ(array.GetElement(1).ToInt32(), 0);

  Variant none = Variant::CreateArray(varDouble, 5, 4);
  EXPECT_EQ(none.ArrayCount(), 0);
  EXPECT_EQ(none.ArrayHigh(), 4);
}

TEST(VariantArray, RefusesBadKindsBoundsAndScalars) {
  EXPECT_THROW(Variant::CreateArray(varEmpty, 0, 1), Exception);
  EXPECT_THROW(Variant::CreateArray(varString, 0, 1), Exception);  // text arrays hold OLE texts
  EXPECT_THROW(Variant::CreateArray(9, 0, 1), Exception);
  EXPECT_THROW(Variant::CreateArray(varInteger, 0, -2), Exception);

  Variant array = Variant::CreateArray(varSmallint, 1, 2);
  EXPECT_EQ(ErrorOf([&] { array.GetElement(0); }), "Variant or safe array index out of bounds");
  EXPECT_EQ(ErrorOf([&] { array.GetElement(3); }), "Variant or safe array index out of bounds");
  EXPECT_EQ(ErrorOf([&] { array.SetElement(3, Variant(1)); }),
            "Variant or safe array index out of bounds");
  Variant scalar(1);
  EXPECT_EQ(ErrorOf([&] { scalar.ArrayCount(); }), "Variant is not an array");
  EXPECT_EQ(ErrorOf([&] { scalar.GetElement(0); }), "Variant is not an array");
}

TEST(VariantArray, SetElementConvertsToTheElementKind) {
  SetFormatSettings(FormatSettings::UsEnglish());
  Variant flags = Variant::CreateArray(varBoolean, 0, 1);
  flags.SetElement(0, Variant::FromUInt16(1));
  EXPECT_EQ(flags.GetElement(0).Kind(), varBoolean);
  EXPECT_EQ(flags.GetElement(0).ToBooleanWord(), 0xFFFF);

  Variant texts = Variant::CreateArray(varOleStr, 0, 0);
  texts.SetElement(0, Variant::FromAnsi("Ёж"_cp.data()));
  EXPECT_EQ(texts.GetElement(0).Kind(), varOleStr);
  EXPECT_EQ(texts.GetElement(0).ToWide(), u"Ёж");

  Variant bytes = Variant::CreateArray(varByte, 0, 0);
  bytes.SetElement(0, Variant(7));
  EXPECT_EQ(ErrorOf([&] { bytes.SetElement(0, Variant(256)); }),
            "Overflow while converting variant of type (Integer) into type (Byte)");
  EXPECT_EQ(bytes.GetElement(0).ToInt32(), 7);  // the failed store left it
  EXPECT_EQ(ErrorOf([&] { bytes.SetElement(0, Variant::CreateArray(varByte, 0, 0)); }),
            "Could not convert variant of type (Array Byte) into type (Byte)");
}

TEST(VariantArray, CopiesAreIndependent) {
  Variant original = Variant::CreateArray(varInteger, 0, 1);
  Variant copy = original;
  copy.SetElement(0, Variant(5));
  EXPECT_EQ(original.GetElement(0).ToInt32(), 0);
  EXPECT_EQ(copy.GetElement(0).ToInt32(), 5);
}

// Copies share their block, counted: threads may copy, change and drop
// copies of one value at the same time (the sanitizers watch the counts).
TEST(VariantArray, CopiesOnSeveralThreadsStayIndependent) {
  const Variant array = Variant::CreateArray(varOleStr, 0, 1);
  const Variant text = Variant::FromAnsi(std::string(40, 'x'));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        Variant copy = array;
        copy.SetElement(0, text);
        Variant again = copy;
        if (again.GetElement(0).TextLength() != 40 || array.GetElement(0).TextLength() != 0)
          ++failures;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(VariantArrayConversion, ElementWiseWithBoundsKept) {
  Variant source = Variant::CreateArray(varDouble, 3, 4);
  source.SetElement(3, Variant(2.5));
  source.SetElement(4, Variant(-3.5));
  Variant ints = source.ChangeType(varArray | varInteger);
  EXPECT_EQ(ints.Kind(), varArray | varInteger);
  EXPECT_EQ(ints.ArrayLow(), 3);
  EXPECT_EQ(ints.GetElement(3).ToInt32(), 2);
  EXPECT_EQ(ints.GetElement(4).ToInt32(), -4);
  // Arrays of single-byte text are held as OLE texts.
  EXPECT_EQ(source.ChangeType(varArray | varString).Kind(), varArray | varOleStr);
}

TEST(VariantArrayConversion, NeverBetweenArrayAndScalar) {
  Variant array = Variant::CreateArray(varSmallint, 0, 0);
  EXPECT_EQ(ErrorOf([&] { array.ChangeType(varInteger); }),
            "Could not convert variant of type (Array Smallint) into type (Integer)");
  EXPECT_EQ(ErrorOf([&] { Variant(1).ChangeType(varArray | varInteger); }),
            "Could not convert variant of type (Integer) into type (Array Integer)");
  EXPECT_EQ(ErrorOf([&] { Variant(1).ChangeType(6); }),
            "Could not convert variant of type (Integer) into type (6)");
}

TEST(VariantText, SingleByteAndOleTextGoThroughTheCodePage) {
  Variant ansi = Variant::FromAnsi("Привет"_cp.data());
  EXPECT_EQ(ansi.ToWide(), u"Привет");
  Variant wide = ansi.ChangeType(varOleStr);
  EXPECT_EQ(wide.Kind(), varOleStr);
  EXPECT_EQ(wide.ChangeType(varString).ToAnsi(), "Привет"_cp);
  // A character the code page lacks becomes '?'.
  EXPECT_EQ(Variant::FromWide(u"a\u4E2Db").ToAnsi(), "a?b");
}

TEST(VariantText, CopiesAndMovesOwnTheirText) {
  Variant text = Variant::FromAnsi("канал"_cp);
  Variant copy = text;
  text = Variant(7);  // frees the first text; the copy keeps its own
  EXPECT_EQ(copy.ToAnsi(), "канал"_cp);
  Variant moved = std::move(copy);
  EXPECT_TRUE(copy.IsEmpty());
  EXPECT_EQ(moved.ToAnsi(), "канал"_cp);
  const Variant& same = moved;
  moved = same;
  EXPECT_EQ(moved.ToAnsi(), "канал"_cp);
  const Variant empty = Variant::FromWide(u"");
  EXPECT_EQ(empty.Kind(), varOleStr);
  EXPECT_EQ(empty.TextLength(), 0u);
  EXPECT_TRUE(empty == Variant::FromAnsi(""));
  EXPECT_FALSE(Variant::FromWide(u"Да") == Variant::FromAnsi("Д"_cp));
}

TEST(VariantBoolean, RawWordAndTextForms) {
  SetFormatSettings(FormatSettings::UsEnglish());
  Variant odd = Variant::FromBooleanWord(1);
  EXPECT_TRUE(odd.ToBoolean());
  EXPECT_EQ(odd.ToBooleanWord(), 1);
  EXPECT_EQ(odd.ToUInt16(), 1);
  EXPECT_EQ(odd.ToAnsi(), "1");
  EXPECT_EQ(Variant::FromBoolean(true).ToAnsi(), "-1");
  EXPECT_EQ(Variant::FromAnsi(" FALSE ").ToBooleanWord(), 0);
  EXPECT_EQ(Variant::FromAnsi("TRUE").ToBooleanWord(), 0xFFFF);
  EXPECT_EQ(Variant(std::nan("")).ToBooleanWord(), 0xFFFF);
}

TEST(VariantEquality, ValuesAcrossKinds) {
  EXPECT_TRUE(Variant() == Variant());
  EXPECT_FALSE(Variant() == Variant(0));  // Empty is not zero: assigning 0 is a change
  EXPECT_TRUE(Variant(3) == Variant::FromUInt8(3));
  EXPECT_TRUE(Variant(3) == Variant(3.0));
  EXPECT_FALSE(Variant(3) == Variant(3.5));
  EXPECT_FALSE(Variant::FromSingle(0.1f) == Variant(0.1));
  EXPECT_TRUE(Variant(std::nan("")) == Variant(std::nan("")));
  EXPECT_TRUE(Variant::FromUInt32(4294967295u) == Variant(4294967295.0));
  EXPECT_FALSE(Variant::FromUInt32(4294967295u) == Variant(-1));
  EXPECT_TRUE(Variant::FromBoolean(true) == Variant::FromBooleanWord(0xFFFF));
  EXPECT_FALSE(Variant::FromBoolean(true) == Variant::FromBooleanWord(1));
  EXPECT_FALSE(Variant::FromBoolean(true) == Variant(-1));
  EXPECT_TRUE(Variant::FromAnsi("Да"_cp.data()) == Variant::FromWide(u"Да"));
  EXPECT_FALSE(Variant::FromAnsi("1") == Variant(1));
  EXPECT_FALSE(Variant::FromAnsi("a") == Variant::FromAnsi("A"));

  Variant a = Variant::CreateArray(varInteger, 0, 1);
  Variant b = Variant::CreateArray(varInteger, 0, 1);
  EXPECT_TRUE(a == b);
  b.SetElement(1, Variant(1));
  EXPECT_FALSE(a == b);
  EXPECT_FALSE(a == Variant::CreateArray(varInteger, 1, 2));
  EXPECT_FALSE(a == Variant::CreateArray(varSmallint, 0, 1));
}

TEST(VariantKindNames, AsInConversionErrors) {
  EXPECT_EQ(VarTypeName(varSmallint), "Smallint");
  EXPECT_EQ(VarTypeName(varLongWord), "LongWord");
  EXPECT_EQ(VarTypeName(varString), "String");
  EXPECT_EQ(VarTypeName(varArray | varOleStr), "Array OleStr");
  EXPECT_EQ(VarTypeName(30), "30");
}

TEST_F(RussianLocale, NumberTextsUseTheCommaAndSpaces) {
  EXPECT_EQ(Variant(1234.5).ToAnsi(), "1234,5");
  EXPECT_EQ(Variant::FromAnsi("1\xA0"
                              "234,5")
                .ToDouble(),
            1234.5);
  EXPECT_EQ(Variant::FromAnsi("\t-1,5e2 ").ToDouble(), -150.0);
  EXPECT_EQ(Variant::FromAnsi("&O17").ToInt32(), 15);
  EXPECT_EQ(Variant::FromAnsi("&hff").ToInt32(), 255);
  EXPECT_EQ(ErrorOf([] { Variant::FromAnsi("1e").ToDouble(); }),
            "Could not convert variant of type (String) into type (Double)");
  EXPECT_EQ(ErrorOf([] { Variant::FromAnsi(" 1").ToInt32(); }), "");
  EXPECT_EQ(ErrorOf([] { Variant::FromAnsi(",5 5").ToDouble(); }),
            "Could not convert variant of type (String) into type (Double)");
  EXPECT_EQ(ErrorOf([] { Variant::FromAnsi("1e400").ToDouble(); }),
            "Overflow while converting variant of type (String) into type (Double)");
  EXPECT_EQ(ErrorOf([] { Variant::FromAnsi("1e39").ToSingle(); }),
            "Overflow while converting variant of type (String) into type (Single)");
  EXPECT_EQ(Variant::FromAnsi("1e-400").ToDouble(), 0.0);
}

TEST(VariantFloatText, SignificantDigitsLikePrintfG) {
  EXPECT_EQ(FloatToText(0.1 + 0.2, 15, '.'), "0.3");
  EXPECT_EQ(FloatToText(123456789012345678.0, 15, '.'), "1.23456789012346E+17");
  EXPECT_EQ(FloatToText(0.0001, 15, ','), "0,0001");
  EXPECT_EQ(FloatToText(0.00001, 15, ','), "1E-05");
  EXPECT_EQ(FloatToText(1e100, 15, '.'), "1E+100");
  EXPECT_EQ(FloatToText(1234567.0, 7, '.'), "1234567");
  EXPECT_EQ(FloatToText(12345678.0, 7, '.'), "1.234568E+07");
  EXPECT_EQ(FloatToText(-INFINITY, 15, '.'), "-INF");
  EXPECT_EQ(FloatToText(NAN, 15, '.'), "NAN");
}

TEST(VariantFloatConversion, NonFiniteValuesNeverBecomeIntegers) {
  EXPECT_EQ(ErrorOf([] { Variant(std::nan("")).ToInt32(); }),
            "Overflow while converting variant of type (Double) into type (Integer)");
  EXPECT_EQ(ErrorOf([] { Variant(INFINITY).ToUInt8(); }),
            "Overflow while converting variant of type (Double) into type (Byte)");
  EXPECT_EQ(ErrorOf([] { Variant(INFINITY).ToDate(); }),
            "Overflow while converting variant of type (Double) into type (Date)");
}

TEST_F(RussianLocale, DateTexts) {
  EXPECT_EQ(Variant::FromDate(0).ToAnsi(), "0:00:00");
  EXPECT_EQ(Variant::FromDate(39877).ToAnsi(), "05.03.2009");
  EXPECT_EQ(Variant::FromDate(-1.25).ToAnsi(), "29.12.1899 6:00:00");
  EXPECT_EQ(Variant::FromDate(-0.5).ToAnsi(), "12:00:00");
  // Rounding to the second carries into the next day.
  EXPECT_EQ(Variant::FromDate(1.9999999).ToAnsi(), "01.01.1900");
  EXPECT_EQ(Variant::FromDate(2958465.9999999).ToAnsi(), "31.12.9999 23:59:59");
  EXPECT_EQ(ErrorOf([] { Variant::FromDate(1e10).ToAnsi(); }),
            "Could not convert variant of type (Date) into type (String)");
}

TEST_F(RussianLocale, TextToDate) {
  EXPECT_NEAR(Variant::FromAnsi("05.03.2009 14:07:09").ToDate(), 39877.588298611, 1e-8);
  EXPECT_NEAR(Variant::FromAnsi("14:07").ToDate(), (14 * 60 + 7) / 1440.0, 1e-12);
  EXPECT_EQ(Variant::FromAnsi("5.3.09").ToDate(), 39877.0);
  EXPECT_EQ(Variant::FromAnsi("5/3/2009").ToDate(), 39877.0);
  EXPECT_EQ(Variant::FromAnsi("2009-03-05").ToDate(), 39877.0);
  EXPECT_EQ(Variant::FromAnsi("29.12.1899 06:00").ToDate(), -1.25);
  for (const char* bad :
       {"31.02.2009", "05.03", "05.03.2009 25:00", "05.03-2009", "05.03.2009 x", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ErrorOf([&] { Variant::FromAnsi(bad).ToDate(); }),
              "Could not convert variant of type (String) into type (Date)");
  }
}

TEST_F(EnglishLocale, DateTextsRoundTrip) {
  EXPECT_EQ(Variant::FromDate(39877.5).ToAnsi(), "3/5/2009 12:00:00 PM");
  EXPECT_EQ(Variant::FromDate(39877.25).ToAnsi(), "3/5/2009 6:00:00 AM");
  EXPECT_EQ(Variant::FromAnsi("3/5/2009 12:00:00 PM").ToDate(), 39877.5);
  EXPECT_EQ(Variant::FromAnsi("3/5/2009 12:00 am").ToDate(), 39877.0);
  EXPECT_EQ(Variant::FromAnsi("3/5/2009 6:00:00 AM").ToDate(), 39877.25);
  EXPECT_THROW(Variant::FromAnsi("3/5/2009 13:00 PM").ToDate(), Exception);
}

}  // namespace
}  // namespace kv
