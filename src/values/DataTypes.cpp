#include "values/DataTypes.h"

#include <bit>
#include <algorithm>
#include <string_view>

#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/LittleEndian.h"

namespace kv {
namespace {

constexpr std::string_view kArrayOf = "Array of";
constexpr auto kAssignArray = "ConvertToType: присвоение массива "_cp;
constexpr auto kToScalarType = " простому типу данных "_cp;

constexpr auto kEncBadParam = "VariantToBinary: неверный параметр"_cp;
constexpr auto kEncShortBuffer = "VariantToBinary: недостаточный размер буфера"_cp;
constexpr auto kEncBadType = "VariantToBinary: неверный тип данных ("_cp;
constexpr auto kEncTextTooLong = "VariantToBinary: текст длиннее 65535 байт"_cp;
constexpr auto kEnc2BadParam = "VariantToBinary2: неверный параметр"_cp;
constexpr auto kEnc2NoBuffer = "VariantToBinary2: буфер пуст"_cp;
constexpr auto kEnc2NoRoomForType = "VariantToBinary2: буфер не задан"_cp;
constexpr auto kEnc2ArrayTooLong = "VariantToBinary2: массив длиннее 65535 элементов"_cp;

constexpr auto kDecBadParam = "BinaryToVariant: неверный параметр"_cp;
constexpr auto kDecNoBuffer = "BinaryToVariant: буфер пуст"_cp;
constexpr auto kDecArray = "BinaryToVariant: массив недопустим"_cp;
constexpr auto kDecShortData = "BinaryToVariant: недостаточно данных"_cp;
constexpr auto kDecBadType = "BinaryToVariant: неверный тип данных ("_cp;
constexpr auto kDec2BadParam = "BinaryToVariant2: неверный параметр"_cp;
constexpr auto kDec2NoBuffer = "BinaryToVariant2: буфер пуст"_cp;
constexpr auto kDec2NoRoomForType = "BinaryToVariant2: буфер не задан"_cp;
constexpr auto kDec2ShortData = "BinaryToVariant2: недостаточно данных"_cp;

[[noreturn]] void Fail(std::string_view text) { throw Exception(text); }

[[noreturn]] void FailWithNumber(std::string_view text, unsigned number) {
  std::string message(text);
  message += std::to_string(number);
  message += ')';
  throw Exception(std::move(message));
}

// Payload bytes of a fixed-width element type; 0 for the others.
int FixedWidth(std::uint16_t element) {
  const TElementType* type = FindElementType(element);
  return type == nullptr ? 0 : type->Width;
}

// The bit pattern a fixed-width scalar is stored with.
std::uint64_t PayloadBits(const Variant& value) {
  switch (value.ElementKind()) {
    case varSingle:
      return std::bit_cast<std::uint32_t>(value.ToSingle());
    case varDouble:
      return std::bit_cast<std::uint64_t>(value.ToDouble());
    case varDate:
      return std::bit_cast<std::uint64_t>(value.ToDate());
    case varBoolean:
      return value.ToBooleanWord();  // the raw word as held
    case varShortInt:
      return static_cast<std::uint8_t>(value.ToInt8());
    case varByte:
      return value.ToUInt8();
    case varSmallint:
      return static_cast<std::uint16_t>(value.ToInt16());
    case varWord:
      return value.ToUInt16();
    case varInteger:
      return static_cast<std::uint32_t>(value.ToInt32());
    default:
      return value.ToUInt32();
  }
}

std::int64_t ScalarSize(const Variant& value) {
  const std::uint16_t kind = value.Kind();
  if (kind == varEmpty) return 0;
  if (kind == varOleStr || kind == varString)
    return 2 + static_cast<std::int64_t>(value.TextLength());
  const int width = FixedWidth(kind);
  return width == 0 ? -1 : width;
}

std::int32_t WriteText(const Variant& value, std::uint8_t* buffer, std::int32_t room) {
  std::string text = value.ToAnsi();
  if (text.size() > static_cast<std::size_t>(kMaxBinaryCount)) Fail(kEncTextTooLong);
  auto n = static_cast<std::int32_t>(text.size());
  if (room < n + 2) Fail(kEncShortBuffer);
  StoreLEBits(buffer, static_cast<std::uint64_t>(n), 2);
  std::copy(text.begin(), text.end(), buffer + 2);
  return n + 2;
}

std::int32_t WriteScalar(const Variant& value, std::uint8_t* buffer, std::int32_t room) {
  std::uint16_t kind = value.Kind();
  if (kind == varEmpty) return 0;
  if (kind == varOleStr || kind == varString) return WriteText(value, buffer, room);
  int width = FixedWidth(kind);
  if (width == 0) FailWithNumber(kEncBadType, kind);
  if (room < width) Fail(kEncShortBuffer);
  StoreLEBits(buffer, PayloadBits(value), width);
  return width;
}

Variant ReadFixed(std::uint16_t element, const std::uint8_t* buffer) {
  std::uint64_t bits = LoadLEBits(buffer, FixedWidth(element));
  switch (element) {
    case dtInt1:
      return Variant::FromInt8(static_cast<std::int8_t>(bits));
    case dtUInt1:
      return Variant::FromUInt8(static_cast<std::uint8_t>(bits));
    case dtInt2:
      return Variant::FromInt16(static_cast<std::int16_t>(bits));
    case dtUInt2:
    case dtBoolean:
      return Variant::FromUInt16(static_cast<std::uint16_t>(bits));
    case dtInt4:
      return Variant::FromInt32(static_cast<std::int32_t>(bits));
    case dtUInt4:
      return Variant::FromUInt32(static_cast<std::uint32_t>(bits));
    case dtFloat4:
      return Variant::FromSingle(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    case dtFloat8:
      return Variant::FromDouble(std::bit_cast<double>(bits));
    default:
      return Variant::FromDate(std::bit_cast<double>(bits));
  }
}

}  // namespace

const TElementType* FindElementType(std::uint16_t element) noexcept {
  for (const TElementType& type : kElementTypes)
    if (type.Code == element) return &type;
  return nullptr;
}

bool HasBinaryForm(std::uint16_t code) noexcept {
  if (code & ~(dtTypeMask | dtArray)) return false;
  const std::uint16_t element = code & dtTypeMask;
  if (element == dtEmpty) return (code & dtArray) == 0;  // no array of nothing
  return element == dtString || FixedWidth(element) != 0;
}

std::int64_t BinarySize(const Variant& value) {
  if (!value.IsArray()) return ScalarSize(value);
  std::int64_t total = 2;
  for (std::int32_t i = value.ArrayLow(); i <= value.ArrayHigh(); ++i) {
    const std::int64_t size = ScalarSize(value.GetElement(i));
    if (size < 0) return -1;
    total += size;
  }
  return total;
}

std::string DataTypeToText(std::uint16_t code) {
  std::uint16_t element = code & dtTypeMask;
  const TElementType* type = FindElementType(element);
  std::string text = type != nullptr ? std::string(type->Name) : std::to_string(element);
  if (code & dtArray) return std::string(kArrayOf) + " " + text;
  return text;
}

std::uint16_t VarTypeToDataType(std::uint16_t kind) {
  if (kind & varArray) kind = static_cast<std::uint16_t>((kind & dtTypeMask) | dtArray);
  if ((kind & dtTypeMask) == varOleStr)
    kind = static_cast<std::uint16_t>((kind & ~dtTypeMask) | dtString);
  return kind;
}

Variant CreateTypedArray(std::uint16_t code, std::int32_t n) {
  std::uint16_t element = code & dtTypeMask;
  if (element == dtString) element = varOleStr;
  return Variant::CreateArray(element, 0, static_cast<std::int32_t>(std::int64_t{n} - 1));
}

bool ConvertToType(Variant& value, std::uint16_t code) {
  std::uint16_t element = code & dtTypeMask;
  bool toArray = (code & dtArray) != 0;
  if (value.IsArray() && !toArray) {
    std::string message(kAssignArray);
    message += DataTypeToText(value.ElementKind());
    message += kToScalarType;
    message += DataTypeToText(element);
    throw Exception(std::move(message));
  }
  // The scalar is not carried into the new array.
  if (!value.IsArray() && toArray) value = CreateTypedArray(code, 1);
  if (VarTypeToDataType(value.ElementKind()) == element) return false;
  if (!value.IsArray()) {
    value = value.ChangeType(element);
    return true;
  }
  Variant converted = CreateTypedArray(code, value.ArrayCount());
  for (std::int32_t i = 0; i < value.ArrayCount(); ++i)
    converted.SetElement(i, value.GetElement(value.ArrayLow() + i).ChangeType(element));
  value = std::move(converted);
  return true;
}

void VariantToBinary(const Variant& value, std::uint8_t* buffer, std::int32_t room,
                     std::int32_t* written) {
  if (buffer == nullptr || written == nullptr || room < 0) Fail(kEncBadParam);
  std::int32_t total = 0;
  if (value.IsArray()) {
    for (std::int32_t i = 0; i < value.ArrayCount(); ++i)
      total += WriteScalar(value.GetElement(value.ArrayLow() + i), buffer + total, room - total);
  } else {
    total = WriteScalar(value, buffer, room);
  }
  *written = total;
}

void VariantToBinary2(const Variant& value, std::uint16_t code, std::uint8_t* buffer,
                      std::int32_t room, std::int32_t* written, bool withType) {
  if (written == nullptr) Fail(kEnc2BadParam);
  if (code != dtEmpty && buffer == nullptr) Fail(kEnc2NoBuffer);
  if (withType && room < 2) Fail(kEnc2NoRoomForType);
  // Code 0 with no buffer: nothing may be stored, not even the type word.
  if (buffer == nullptr) Fail(kEncBadParam);
  Variant local = value;
  ConvertToType(local, code);
  std::int32_t position = 0;
  if (withType) {
    StoreLEBits(buffer, code, 2);
    position = 2;
  }
  if (local.IsArray()) {
    if (local.ArrayCount() > kMaxBinaryCount) Fail(kEnc2ArrayTooLong);
    if (room - position < 2) Fail(kEncBadParam);
    StoreLEBits(buffer + position, static_cast<std::uint64_t>(local.ArrayCount()), 2);
    position += 2;
  }
  std::int32_t n = 0;
  VariantToBinary(local, buffer + position, room - position, &n);
  *written = position + n;
}

void BinaryToVariant(Variant* value, std::uint16_t code, const std::uint8_t* buffer,
                     std::int32_t size, std::int32_t* consumed) {
  if (value == nullptr || consumed == nullptr || size < 0) Fail(kDecBadParam);
  if (code != dtEmpty && buffer == nullptr) Fail(kDecNoBuffer);
  if (code & dtArray) Fail(kDecArray);
  std::uint16_t element = code & dtTypeMask;
  if (element == dtEmpty) {
    *consumed = 0;
    return;
  }
  if (element == dtString) {
    if (size < 2) Fail(kDecShortData);
    auto n = static_cast<std::int32_t>(LoadLEBits(buffer, 2));
    if (n > size - 2) Fail(kDecShortData);
    *value = Variant::FromAnsi(
        std::string(reinterpret_cast<const char*>(buffer) + 2, static_cast<std::size_t>(n)));
    *consumed = n + 2;
    return;
  }
  int width = FixedWidth(element);
  if (width == 0) FailWithNumber(kDecBadType, code);
  if (size < width) Fail(kDecShortData);
  *value = ReadFixed(element, buffer);
  *consumed = width;
}

void BinaryToVariant2(Variant* value, std::uint16_t code, const std::uint8_t* buffer,
                      std::int32_t size, std::int32_t* consumed, bool withType) {
  if (value == nullptr || consumed == nullptr) Fail(kDec2BadParam);
  if ((code != dtEmpty || withType) && buffer == nullptr) Fail(kDec2NoBuffer);
  if (withType && size < 2) Fail(kDec2NoRoomForType);
  std::int32_t position = 0;
  if (withType) {
    code = static_cast<std::uint16_t>(LoadLEBits(buffer, 2));
    position = 2;
  }
  std::int32_t n = 0;
  if (!(code & dtArray)) {
    BinaryToVariant(value, code & dtTypeMask, buffer + position, size - position, &n);
    *consumed = position + n;
    return;
  }
  if (size - position < 2) Fail(kDec2ShortData);
  // An element type without a payload form cannot be read, and its array
  // could not be made either: refuse it with the decoder's type error.
  std::uint16_t element = code & dtTypeMask;
  if (element != dtString && FixedWidth(element) == 0) FailWithNumber(kDecBadType, element);
  auto count = static_cast<std::int32_t>(LoadLEBits(buffer + position, 2));
  position += 2;
  Variant array = CreateTypedArray(code, count);
  for (std::int32_t i = 0; i < count; ++i) {
    Variant item;
    BinaryToVariant(&item, element, buffer + position, size - position, &n);
    position += n;
    array.SetElement(i, item);  // converts to the element kind
  }
  *value = std::move(array);
  *consumed = position;
}

}  // namespace kv
