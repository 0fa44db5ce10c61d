#include "values/DataTypes.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/FormatSettings.h"

namespace kv {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The message of the kv::Exception that call raises ("" if none).
std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.Message();
  }
  return {};
}

Bytes Encode(const Variant& value, std::uint16_t code, bool withType, std::int32_t room = 64) {
  Bytes buffer(static_cast<std::size_t>(room));
  std::int32_t written = -1;
  VariantToBinary2(value, code, buffer.data(), room, &written, withType);
  buffer.resize(static_cast<std::size_t>(written));
  return buffer;
}

Variant Decode(const Bytes& bytes, std::uint16_t code, bool withType, std::int32_t* consumed) {
  Variant value;
  BinaryToVariant2(&value, code, bytes.data(), static_cast<std::int32_t>(bytes.size()), consumed,
                   withType);
  return value;
}

Variant Int2Array(std::initializer_list<std::int16_t> items, std::int32_t low = 0) {
  Variant array =
      Variant::CreateArray(varSmallint, low, low + static_cast<std::int32_t>(items.size()) - 1);
  std::int32_t i = low;
  for (std::int16_t item : items) array.SetElement(i++, Variant::FromInt16(item));
  return array;
}

TEST(DataTypeNames, ScalarArrayAndUnnamedCodes) {
  EXPECT_EQ(DataTypeToText(3), "Int4");
  EXPECT_EQ(DataTypeToText(0x1003), "Array of Int4");
  EXPECT_EQ(DataTypeToText(9), "9");
  EXPECT_EQ(DataTypeToText(0x1009), "Array of 9");
  EXPECT_EQ(DataTypeToText(0), "Empty");
  EXPECT_EQ(DataTypeToText(11), "Boolean");
  EXPECT_EQ(DataTypeToText(0x1100), "Array of String");
  EXPECT_EQ(DataTypeToText(17), "UInt1");
}

TEST(DataTypeOfKind, ArrayFlagAndOleTextAreMapped) {
  EXPECT_EQ(VarTypeToDataType(0x2008), 0x1100);
  EXPECT_EQ(VarTypeToDataType(8), 256);
  EXPECT_EQ(VarTypeToDataType(0x2003), 0x1003);
  EXPECT_EQ(VarTypeToDataType(0x200B), 0x100B);
  EXPECT_EQ(VarTypeToDataType(19), 19);
  EXPECT_EQ(VarTypeToDataType(256), 256);
}

TEST(TypedArrayCreation, BoundsZeroValuesAndTextElements) {
  Variant ints = CreateTypedArray(0x1003, 3);
  EXPECT_EQ(ints.Kind(), varArray | varInteger);
  EXPECT_EQ(ints.ArrayLow(), 0);
  EXPECT_EQ(ints.ArrayHigh(), 2);
  EXPECT_EQ(ints.GetElement(2).ToInt32(), 0);
  Variant texts = CreateTypedArray(0x1100, 2);
  EXPECT_EQ(texts.Kind(), varArray | varOleStr);
  EXPECT_EQ(texts.GetElement(1).ToWide(), u"");
  EXPECT_EQ(CreateTypedArray(0x100B, 1).GetElement(0).ToBooleanWord(), 0);
  EXPECT_EQ(CreateTypedArray(0x1002, 0).ArrayCount(), 0);
  EXPECT_THROW(CreateTypedArray(0x1002, -1), Exception);
  EXPECT_THROW(CreateTypedArray(0x1000, 1), Exception);  // no array of Empty
}

TEST(ConvertToType, ArrayToScalarIsRefusedWithBothTypeNames) {
  Variant ints = Int2Array({1, 2});
  EXPECT_EQ(ErrorOf([&] { ConvertToType(ints, 3); }),
            "ConvertToType: присвоение массива Int2 простому типу данных Int4"_cp);
  Variant texts = CreateTypedArray(0x1100, 1);
  EXPECT_EQ(ErrorOf([&] { ConvertToType(texts, 256); }),
            "ConvertToType: присвоение массива 8 простому типу данных String"_cp);
  EXPECT_EQ(ints.ArrayCount(), 2);  // left as it was
}

TEST(ConvertToType, ScalarGivenArrayCodeBecomesOneZeroElement) {
  // The new array already has the element type asked for, so no element
  // conversion is reported.
  Variant value(5);
  EXPECT_FALSE(ConvertToType(value, 0x1002));
  ASSERT_EQ(value.Kind(), varArray | varSmallint);
  EXPECT_EQ(value.ArrayCount(), 1);
  EXPECT_EQ(value.GetElement(0).ToInt32(), 0);

  Variant text = Variant::FromAnsi("x");
  EXPECT_FALSE(ConvertToType(text, 0x1100));
  EXPECT_EQ(text.Kind(), varArray | varOleStr);
  EXPECT_EQ(text.GetElement(0).ToWide(), u"");
}

TEST(ConvertToType, SameTypeReportsNoChange) {
  Variant value = Variant::FromInt16(9);
  EXPECT_FALSE(ConvertToType(value, 2));
  Variant ole = Variant::FromWide(u"x");
  EXPECT_FALSE(ConvertToType(ole, 256));  // OLE text counts as String
  EXPECT_EQ(ole.Kind(), varOleStr);
}

TEST(ConvertToType, ScalarsFollowTheRuntimeCoercion) {
  Variant value(7);
  EXPECT_TRUE(ConvertToType(value, dtBoolean));
  EXPECT_EQ(value.ToBooleanWord(), 0xFFFF);
  Variant real(2.5);
  ConvertToType(real, dtInt4);
  EXPECT_EQ(real.ToInt32(), 2);
  Variant text = Variant::FromWide(u" 12 ");
  EXPECT_TRUE(ConvertToType(text, dtUInt1));
  EXPECT_EQ(text.Kind(), varByte);
  EXPECT_EQ(text.ToInt32(), 12);
  Variant number = Variant::FromInt16(-3);
  EXPECT_TRUE(ConvertToType(number, dtString));
  EXPECT_EQ(number.Kind(), varString);
  EXPECT_EQ(number.ToAnsi(), "-3");
  Variant big(70000);
  EXPECT_EQ(ErrorOf([&] { ConvertToType(big, dtInt2); }),
            "Overflow while converting variant of type (Integer) into type (Smallint)");
  EXPECT_EQ(big.ToInt32(), 70000);
}

TEST(ConvertToType, ArraysAreRebasedAndConvertedElementWise) {
  Variant source = Int2Array({10, -20, 30}, 1);
  EXPECT_TRUE(ConvertToType(source, 0x1005));
  ASSERT_EQ(source.Kind(), varArray | varDouble);
  EXPECT_EQ(source.ArrayLow(), 0);
  EXPECT_EQ(source.ArrayHigh(), 2);
  EXPECT_EQ(source.GetElement(0).ToDouble(), 10.0);
  EXPECT_EQ(source.GetElement(1).ToDouble(), -20.0);
  EXPECT_EQ(source.GetElement(2).ToDouble(), 30.0);

  Variant texts = Int2Array({1, -2});
  ConvertToType(texts, 0x1100);
  EXPECT_EQ(texts.Kind(), varArray | varOleStr);
  EXPECT_EQ(texts.GetElement(1).ToWide(), u"-2");

  Variant tooBig = Int2Array({1, 300});
  EXPECT_EQ(ErrorOf([&] { ConvertToType(tooBig, 0x1011); }),
            "Overflow while converting variant of type (Smallint) into type (Byte)");
}

TEST(ValueEncoding, ExamplesOfTheWireForm) {
  EXPECT_EQ(Encode(Int2Array({1, -2}), 0x1002, true),
            (Bytes{0x02, 0x10, 0x02, 0x00, 0x01, 0x00, 0xFE, 0xFF}));
  EXPECT_EQ(Encode(Variant::FromAnsi("AB"), 256, true),
            (Bytes{0x00, 0x01, 0x02, 0x00, 0x41, 0x42}));
  EXPECT_EQ(Encode(Variant(1), dtBoolean, false), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(Encode(Variant(), 0, false), Bytes{});
  EXPECT_EQ(Encode(Variant(7), 2, false), (Bytes{0x07, 0x00}));
  EXPECT_EQ(Encode(Variant(7), 2, true), (Bytes{0x02, 0x00, 0x07, 0x00}));
  EXPECT_EQ(Encode(Variant(5), 0x1002, false), (Bytes{0x01, 0x00, 0x00, 0x00}));
}

TEST(ValueEncoding, EveryScalarTypeLittleEndian) {
  EXPECT_EQ(Encode(Variant(-1), dtInt1, false), (Bytes{0xFF}));
  EXPECT_EQ(Encode(Variant(200), dtUInt1, false), (Bytes{0xC8}));
  EXPECT_EQ(Encode(Variant(0x1234), dtUInt2, false), (Bytes{0x34, 0x12}));
  EXPECT_EQ(Encode(Variant(0x12345678), dtInt4, false), (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(Encode(Variant::FromUInt32(0xFFFFFFFE), dtUInt4, false),
            (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Encode(Variant(1.5), dtFloat4, false), (Bytes{0x00, 0x00, 0xC0, 0x3F}));
  EXPECT_EQ(Encode(Variant(1.5), dtFloat8, false),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F}));
  EXPECT_EQ(Encode(Variant::FromDate(-1.5), dtDate, false),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0xBF}));
  EXPECT_EQ(Encode(Variant::FromAnsi("Да"_cp.data()), dtString, false),
            (Bytes{0x02, 0x00, 0xC4, 0xE0}));
  EXPECT_EQ(Encode(Variant::FromWide(u"Я"), dtString, false), (Bytes{0x01, 0x00, 0xDF}));
}

TEST(ValueEncoding, BooleanKeepsItsRawWord) {
  std::int32_t written = 0;
  std::uint8_t buffer[2] = {};
  VariantToBinary(Variant::FromBooleanWord(1), buffer, 2, &written);
  EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x01, 0x00}));
  EXPECT_EQ(Encode(Variant::FromBooleanWord(1), dtBoolean, false), (Bytes{0x01, 0x00}));
  EXPECT_EQ(Encode(Variant::FromBoolean(false), dtBoolean, false), (Bytes{0x00, 0x00}));
}

TEST(ValueEncoding, TextAndOleTextWithoutConversion) {
  // VariantToBinary writes OLE texts exactly like single-byte texts.
  std::uint8_t buffer[8] = {};
  std::int32_t written = 0;
  VariantToBinary(Variant::FromWide(u"ok"), buffer, 8, &written);
  EXPECT_EQ(written, 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x02, 0x00, 'o', 'k'}));
  VariantToBinary(Variant(), buffer, 0, &written);
  EXPECT_EQ(written, 0);
  VariantToBinary(CreateTypedArray(0x1003, 0), buffer, 0, &written);
  EXPECT_EQ(written, 0);
}

TEST(ValueEncodingLimits, RoomIsCheckedForEveryPayload) {
  const std::string shortBuffer(
      reinterpret_cast<const char*>("VariantToBinary: недостаточный размер буфера"_cp.data()));
  std::uint8_t buffer[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  std::int32_t written = 0;
  struct Case {
    Variant value;
    std::int32_t width;
  };
  for (const Case& c :
       {Case{Variant::FromInt8(1), 1}, Case{Variant::FromUInt16(1), 2}, Case{Variant(1), 4},
        Case{Variant::FromSingle(1), 4}, Case{Variant(1.0), 8}, Case{Variant::FromDate(1), 8},
        Case{Variant::FromBoolean(true), 2}, Case{Variant::FromAnsi("abc"), 5}}) {
    SCOPED_TRACE(c.width);
    EXPECT_EQ(ErrorOf([&] { VariantToBinary(c.value, buffer, c.width - 1, &written); }),
              shortBuffer);
    EXPECT_EQ(ErrorOf([&] { VariantToBinary(c.value, buffer, c.width, &written); }), "");
    EXPECT_EQ(written, c.width);
  }
  // An array stops at the element that does not fit; the earlier ones stay.
  std::uint8_t three[3] = {};
  EXPECT_EQ(ErrorOf([&] { VariantToBinary(Int2Array({7, 8}), three, 3, &written); }), shortBuffer);
  EXPECT_EQ(three[0], 7);
}

TEST(ValueEncodingLimits, LongTextsFitExactlyAndNoFurther) {
  Bytes buffer(20000);
  std::int32_t written = 0;
  VariantToBinary(Variant::FromAnsi(std::string(19998, 'x')), buffer.data(), 20000, &written);
  EXPECT_EQ(written, 20000);
  EXPECT_EQ(buffer[0], 0x1E);
  EXPECT_EQ(buffer[1], 0x4E);
  EXPECT_EQ(ErrorOf([&] {
              VariantToBinary(Variant::FromAnsi(std::string(19999, 'x')), buffer.data(), 20000,
                              &written);
            }),
            "VariantToBinary: недостаточный размер буфера"_cp);
}

TEST(ValueEncodingLimits, CountsBeyondSixteenBitsAreRefused) {
  Bytes buffer(200000);
  std::int32_t written = 0;
  VariantToBinary(Variant::FromAnsi(std::string(65535, 'x')), buffer.data(), 200000, &written);
  EXPECT_EQ(written, 65537);
  EXPECT_EQ(ErrorOf([&] {
              VariantToBinary(Variant::FromAnsi(std::string(65536, 'x')), buffer.data(), 200000,
                              &written);
            }),
            "VariantToBinary: текст длиннее 65535 байт"_cp);
  Variant big = CreateTypedArray(0x1011, 65536);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(big, 0x1011, buffer.data(), 200000, &written, false); }),
            "VariantToBinary2: массив длиннее 65535 элементов"_cp);
  Variant largest = CreateTypedArray(0x1011, 65535);
  VariantToBinary2(largest, 0x1011, buffer.data(), 200000, &written, false);
  EXPECT_EQ(written, 65537);
  EXPECT_EQ(buffer[0], 0xFF);
  EXPECT_EQ(buffer[1], 0xFF);
}

TEST(ValueEncodingLimits, WhichTypesHaveABinaryFormAndHowLongItIs) {
  for (std::uint16_t code : {0, 2, 3, 4, 5, 7, 11, 16, 17, 18, 19, 256, 0x1002, 0x100B, 0x1100})
    EXPECT_TRUE(HasBinaryForm(code)) << code;
  for (std::uint16_t code : {1, 6, 8, 20, 30, 255, 257, 0x1000, 0x1008, 0x1014, 0x2003, 0x8005})
    EXPECT_FALSE(HasBinaryForm(code)) << code;
  Variant texts = CreateTypedArray(0x1100, 2);
  texts.SetElement(1, Variant::FromWide(u"ёж"));
  for (const Variant& value :
       {Variant(), Variant(1), Variant::FromBoolean(true), Variant::FromDate(2),
        Variant::FromAnsi("abc"), Variant::FromWide(u"Привет"), Int2Array({1, 2, 3}), texts,
        CreateTypedArray(0x1005, 0)}) {
    SCOPED_TRACE(value.Kind());
    EXPECT_EQ(BinarySize(value), static_cast<std::int64_t>(
                                     Encode(value, VarTypeToDataType(value.Kind()), false).size()));
  }
  EXPECT_EQ(BinarySize(Variant::FromAnsi(std::string(70000, 'x'))), 70002);
}

TEST(ValueEncodingErrors, BadArguments) {
  std::uint8_t buffer[8] = {};
  std::int32_t written = 0;
  const std::string badParam(
      reinterpret_cast<const char*>("VariantToBinary: неверный параметр"_cp.data()));
  EXPECT_EQ(ErrorOf([&] { VariantToBinary(Variant(1), nullptr, 8, &written); }), badParam);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary(Variant(1), buffer, 8, nullptr); }), badParam);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary(Variant(), buffer, -1, &written); }), badParam);

  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Variant(1), 3, buffer, 8, nullptr, true); }),
            "VariantToBinary2: неверный параметр"_cp);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Variant(1), 3, nullptr, 8, &written, false); }),
            "VariantToBinary2: буфер пуст"_cp);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Variant(1), 3, buffer, 1, &written, true); }),
            "VariantToBinary2: буфер не задан"_cp);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Variant(), 0, nullptr, 8, &written, true); }), badParam);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Variant(), 0, nullptr, 8, &written, false); }),
            badParam);
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Variant(1), 3, buffer, -1, &written, false); }),
            badParam);
}

TEST(ValueEncodingErrors, NoRoomForTheCountWritesNoCount) {
  std::uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  std::int32_t written = 77;
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Int2Array({1}), 0x1002, buffer, 3, &written, true); }),
            "VariantToBinary: неверный параметр"_cp);
  EXPECT_EQ(buffer[2], 0xAA);
  EXPECT_EQ(written, 77);
}

TEST(ValueEncodingErrors, ConversionErrorsPassThrough) {
  std::uint8_t buffer[8] = {};
  std::int32_t written = 0;
  EXPECT_EQ(ErrorOf([&] {
              VariantToBinary2(Variant::FromAnsi("abc"), dtInt4, buffer, 8, &written, false);
            }),
            "Could not convert variant of type (String) into type (Integer)");
  EXPECT_EQ(ErrorOf([&] { VariantToBinary2(Variant(1), 9, buffer, 8, &written, false); }),
            "Could not convert variant of type (Integer) into type (9)");
}

TEST(ValueDecoding, ExamplesOfTheWireForm) {
  std::int32_t consumed = 0;
  Variant word = Decode({0x0B, 0x00, 0xFF, 0xFF}, 0, true, &consumed);
  EXPECT_EQ(word.Kind(), varWord);
  EXPECT_EQ(word.ToUInt16(), 65535);
  EXPECT_EQ(consumed, 4);

  Variant flags = Decode({0x01, 0x00, 0xFF, 0xFF}, 0x100B, false, &consumed);
  ASSERT_EQ(flags.Kind(), varArray | varBoolean);
  EXPECT_EQ(flags.ArrayCount(), 1);
  EXPECT_TRUE(flags.GetElement(0).ToBoolean());
  EXPECT_EQ(consumed, 4);

  Variant kept(42);
  Bytes empty{0x00, 0x00};
  BinaryToVariant2(&kept, 7, empty.data(), 2, &consumed, true);
  EXPECT_EQ(consumed, 2);
  EXPECT_EQ(kept.Kind(), varInteger);
  EXPECT_EQ(kept.ToInt32(), 42);
}

TEST(ValueDecoding, ScalarKindsAndTexts) {
  std::int32_t consumed = 0;
  Variant i1 = Decode({0xFE}, dtInt1, false, &consumed);
  EXPECT_EQ(i1.Kind(), varShortInt);
  EXPECT_EQ(i1.ToInt32(), -2);
  Variant u4 = Decode({0xFE, 0xFF, 0xFF, 0xFF}, dtUInt4, false, &consumed);
  EXPECT_EQ(u4.Kind(), varLongWord);
  EXPECT_EQ(u4.ToUInt32(), 0xFFFFFFFEu);
  Variant date = Decode({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0xBF}, dtDate, false, &consumed);
  EXPECT_EQ(date.Kind(), varDate);
  EXPECT_EQ(date.ToDate(), -1.5);
  Variant text = Decode({0x02, 0x00, 0xC4, 0xE0, 0x99}, dtString, false, &consumed);
  EXPECT_EQ(text.Kind(), varString);
  EXPECT_EQ(text.ToAnsi(), "Да"_cp);
  EXPECT_EQ(consumed, 4);

  Variant texts = Decode({0x02, 0x00, 0x01, 0x00, 'a', 0x00, 0x00}, 0x1100, false, &consumed);
  ASSERT_EQ(texts.Kind(), varArray | varOleStr);
  EXPECT_EQ(texts.GetElement(0).ToWide(), u"a");
  EXPECT_EQ(texts.GetElement(1).ToWide(), u"");
  EXPECT_EQ(consumed, 7);
}

TEST(ValueDecodingErrors, TypesWithoutPayloadForm) {
  Variant value;
  std::int32_t consumed = 0;
  std::uint8_t bytes[4] = {};
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(&value, 8, bytes, 4, &consumed); }),
            "BinaryToVariant: неверный тип данных (8)"_cp);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(&value, 30, bytes, 4, &consumed); }),
            "BinaryToVariant: неверный тип данных (30)"_cp);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(&value, 0x1002, bytes, 4, &consumed); }),
            "BinaryToVariant: массив недопустим"_cp);
  // An array of a type without payload form, even with no elements.
  Bytes noElements{0x00, 0x00};
  EXPECT_EQ(
      ErrorOf([&] { BinaryToVariant2(&value, 0x1009, noElements.data(), 2, &consumed, false); }),
      "BinaryToVariant: неверный тип данных (9)"_cp);
}

TEST(ValueDecodingErrors, ShortDataConsumesNothing) {
  Variant value(1);
  std::int32_t consumed = 55;
  const std::string shortData(
      reinterpret_cast<const char*>("BinaryToVariant: недостаточно данных"_cp.data()));
  Bytes longText{0x05, 0x00, 'a', 'b', 'c', 'd'};
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(&value, dtString, longText.data(), 6, &consumed); }),
            shortData);
  EXPECT_EQ(consumed, 55);
  EXPECT_EQ(value.ToInt32(), 1);
  Bytes eight(8);
  for (std::pair<std::uint16_t, int> c : {std::pair<std::uint16_t, int>{dtInt1, 1},
                                          {dtUInt2, 2},
                                          {dtBoolean, 2},
                                          {dtInt4, 4},
                                          {dtFloat4, 4},
                                          {dtFloat8, 8},
                                          {dtDate, 8},
                                          {dtString, 2}}) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(
        ErrorOf([&] { BinaryToVariant(&value, c.first, eight.data(), c.second - 1, &consumed); }),
        shortData);
  }
  // A truncated array element fails the same way.
  Bytes truncated{0x02, 0x00, 0x01, 0x00, 0x02};
  EXPECT_EQ(
      ErrorOf([&] { BinaryToVariant2(&value, 0x1002, truncated.data(), 5, &consumed, false); }),
      shortData);
  EXPECT_EQ(
      ErrorOf([&] { BinaryToVariant2(&value, 0x1002, truncated.data(), 1, &consumed, false); }),
      "BinaryToVariant2: недостаточно данных"_cp);
  EXPECT_EQ(value.ToInt32(), 1);
}

TEST(ValueDecodingErrors, BadArguments) {
  Variant value;
  std::int32_t consumed = 0;
  std::uint8_t bytes[4] = {};
  const std::string badParam(
      reinterpret_cast<const char*>("BinaryToVariant: неверный параметр"_cp.data()));
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(nullptr, 2, bytes, 4, &consumed); }), badParam);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(&value, 2, bytes, 4, nullptr); }), badParam);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(&value, 2, bytes, -1, &consumed); }), badParam);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant(&value, 2, nullptr, 4, &consumed); }),
            "BinaryToVariant: буфер пуст"_cp);
  BinaryToVariant(&value, 0, nullptr, 0, &consumed);  // Empty reads nothing
  EXPECT_EQ(consumed, 0);

  EXPECT_EQ(ErrorOf([&] { BinaryToVariant2(nullptr, 2, bytes, 4, &consumed, false); }),
            "BinaryToVariant2: неверный параметр"_cp);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant2(&value, 2, bytes, 4, nullptr, false); }),
            "BinaryToVariant2: неверный параметр"_cp);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant2(&value, 2, nullptr, 4, &consumed, false); }),
            "BinaryToVariant2: буфер пуст"_cp);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant2(&value, 0, nullptr, 4, &consumed, true); }),
            "BinaryToVariant2: буфер пуст"_cp);
  EXPECT_EQ(ErrorOf([&] { BinaryToVariant2(&value, 2, bytes, 1, &consumed, true); }),
            "BinaryToVariant2: буфер не задан"_cp);
}

TEST(ValueRoundTrip, EveryTypeWithTypeWord) {
  SetFormatSettings(FormatSettings::UsEnglish());
  struct Case {
    Variant value;
    std::uint16_t code;
  };
  Variant doubles = CreateTypedArray(0x1005, 2);
  doubles.SetElement(0, Variant(0.1));
  doubles.SetElement(1, Variant(-1e300));
  Variant texts = CreateTypedArray(0x1100, 2);
  texts.SetElement(0, Variant::FromAnsi("Привет"_cp.data()));
  for (const Case& c :
       {Case{Variant::FromInt8(-128), dtInt1}, Case{Variant::FromUInt8(255), dtUInt1},
        Case{Variant::FromInt16(-32768), dtInt2}, Case{Variant::FromUInt16(65535), dtUInt2},
        Case{Variant(-2147483647 - 1), dtInt4}, Case{Variant::FromUInt32(4294967295u), dtUInt4},
        Case{Variant::FromSingle(3.25f), dtFloat4}, Case{Variant(1.0 / 3), dtFloat8},
        Case{Variant::FromDate(39877.588298611), dtDate},
        Case{Variant::FromAnsi("Текст"_cp.data()), dtString}, Case{Int2Array({1, -2, 3}), 0x1002},
        Case{doubles, 0x1005}, Case{texts, 0x1100}, Case{CreateTypedArray(0x1013, 0), 0x1013}}) {
    SCOPED_TRACE(c.code);
    Bytes bytes = Encode(c.value, c.code, true, 128);
    std::int32_t consumed = 0;
    Bytes withTail = bytes;
    withTail.push_back(0x5A);  // bytes after the value are not read
    Variant back = Decode(withTail, 0, true, &consumed);
    EXPECT_EQ(consumed, static_cast<std::int32_t>(bytes.size()));
    EXPECT_EQ(back.Kind(), c.value.Kind());
    EXPECT_TRUE(back == c.value);
  }
}

TEST(ValueRoundTrip, BooleanComesBackAsWordUntilConverted) {
  Bytes bytes = Encode(Variant::FromBoolean(true), dtBoolean, true);
  std::int32_t consumed = 0;
  Variant back = Decode(bytes, 0, true, &consumed);
  EXPECT_EQ(back.Kind(), varWord);
  EXPECT_TRUE(ConvertToType(back, dtBoolean));
  EXPECT_EQ(back.ToBooleanWord(), 0xFFFF);
}

}  // namespace
}  // namespace kv
