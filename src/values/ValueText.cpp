#include "values/ValueText.h"

#include <iterator>

#include "runtime/Codepage.h"
#include "runtime/Format.h"
#include "runtime/FormatSettings.h"
#include "values/DataTypes.h"

namespace kv {
namespace {

constexpr std::string_view kQualityTexts[] = {
    "ОК"_cp,
    "Выключен"_cp,
    "Состояние не определено"_cp,
    "Неисправен датчик"_cp,
    "Неисправен контроллер"_cp,
    "Значение недостоверно"_cp,
    "Датчик не подключен"_cp,
    "Нет связи"_cp,
    "Неисправен регистратор"_cp,
};

constexpr std::string_view kSignificationTexts[] = {
    "Не определено"_cp,
    "Интегратор в импульсах"_cp,
    "Интегратор в физических единицах"_cp,
    "Канал управления"_cp,
    "Канал контроля"_cp,
    "Охранный датчик"_cp,
    "Пожарный датчик"_cp,
    "Состояние охраны"_cp,
    "Газовый датчик"_cp,
    "Датчик температуры"_cp,
    "Пожарный ручной извещатель"_cp,
    "Датчик затопления"_cp,
    "Лифт"_cp,
    "Датчик давления"_cp,
    "Мощность"_cp,
    "Энтальпия"_cp,
    "Мгновенный (текущий) расход"_cp,
};

constexpr std::string_view kTrueText = "да"_cp;
constexpr std::string_view kFalseText = "нет"_cp;
constexpr std::string_view kBadTypeText = "неверный тип "_cp;

}  // namespace

std::string QualityToText(std::uint8_t quality) {
  if (quality < std::size(kQualityTexts)) return std::string(kQualityTexts[quality]);
  return "Quality=" + std::to_string(quality);
}

std::string SignificationToText(std::uint16_t signification) {
  if (signification < std::size(kSignificationTexts))
    return std::string(kSignificationTexts[signification]);
  return std::to_string(signification);
}

std::string DefaultValueFormat(std::uint16_t code) {
  const std::uint16_t element = code & dtTypeMask;
  if (element == dtDate) {
    const FormatSettings& fs = CurrentFormatSettings();
    return fs.ShortDateFormat + " " + fs.LongTimeFormat;
  }
  const TElementType* type = FindElementType(element);
  return type == nullptr ? std::string() : std::string(type->DefaultFormat);
}

std::string PlainValueFormat(std::uint16_t code) {
  const TElementType* type = FindElementType(code & dtTypeMask);
  return type == nullptr ? std::string() : std::string(type->PlainFormat);
}

std::string FormatValue(std::uint16_t code, std::string_view format, const Variant& value) {
  switch (code & dtTypeMask) {
    case dtEmpty:
      return std::string(format);
    case dtInt1:  // widened with the sign, then read as the 32-bit word
      return FormatInteger(format, static_cast<std::uint32_t>(std::int32_t{value.ToInt8()}));
    case dtInt2:
      return FormatInteger(format, static_cast<std::uint32_t>(std::int32_t{value.ToInt16()}));
    case dtInt4:
      return FormatInteger(format, static_cast<std::uint32_t>(value.ToInt32()));
    case dtUInt1:
      return FormatInteger(format, value.ToUInt8());
    case dtUInt2:
      return FormatInteger(format, value.ToUInt16());
    case dtUInt4:
      return FormatInteger(format, value.ToUInt32());
    case dtFloat4:
      return FormatFloat(format, static_cast<double>(value.ToSingle()));
    case dtFloat8:
      return FormatFloat(format, value.ToDouble());
    case dtDate:
      return FormatDateTime(format, value.ToDate());
    case dtBoolean:
      return std::string(value.ToBoolean() ? kTrueText : kFalseText);
    case dtString:
      return value.ToAnsi();
    default:
      return std::string(kBadTypeText) + std::to_string(code);
  }
}

}  // namespace kv
