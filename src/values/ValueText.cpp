#include "values/ValueText.h"

#include <iterator>

#include "runtime/Codepage.h"
#include "runtime/Format.h"
#include "runtime/FormatSettings.h"
#include "values/Channelutils.h"

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
constexpr std::string_view kPlainDateFormat = "yyyy-mm-dd hh:nn:ss.z";

// The format of the integer types, the same in both tables; nullptr for the
// other types.
const char* IntegerFormat(std::uint16_t type) {
  switch (type) {
    case dtInt1:
    case dtInt2:
    case dtInt4:
      return "%d";
    case dtUInt1:
    case dtUInt2:
    case dtUInt4:
      return "%u";
    default:
      return nullptr;
  }
}

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
  std::uint16_t type = code & dtTypeMask;
  if (const char* f = IntegerFormat(type)) return f;
  switch (type) {
    case dtFloat4:
      return "%.1f";
    case dtFloat8:
      return "%.2f";
    case dtBoolean:
      return "%d";
    case dtDate: {
      const FormatSettings& fs = CurrentFormatSettings();
      return fs.ShortDateFormat + " " + fs.LongTimeFormat;
    }
    default:
      return {};
  }
}

std::string PlainValueFormat(std::uint16_t code) {
  std::uint16_t type = code & dtTypeMask;
  if (const char* f = IntegerFormat(type)) return f;
  switch (type) {
    case dtFloat4:
    case dtFloat8:
      return "%g";
    case dtDate:
      return std::string(kPlainDateFormat);
    default:
      return {};
  }
}

std::string FormatValue(std::uint16_t code, std::string_view format, Variant value) {
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
