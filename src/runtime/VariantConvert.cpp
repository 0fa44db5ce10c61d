// Variant::ChangeType: the OLE automation coercion between the scalar kinds,
// and element-wise conversion of arrays.
#include <cfloat>
#include <cmath>
#include <limits>

#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/NumberText.h"
#include "runtime/VariantInternal.h"

namespace kv {
namespace {

constexpr std::string_view kCouldNotConvert = "Could not convert variant of type (";
constexpr std::string_view kOverflow = "Overflow while converting variant of type (";
constexpr std::string_view kIntoType = ") into type (";

// The day range of the runtime's dates: year 100 to the end of 9999.
constexpr double kMinDate = -657435.0;  // exclusive
constexpr double kMaxDate = 2958466.0;  // exclusive

struct IntegerKind {
  int bits;
  bool isSigned;
};

bool IsIntegerKind(std::uint16_t kind) {
  switch (kind) {
    case varShortInt:
    case varByte:
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
      return true;
    default:
      return false;
  }
}

IntegerKind IntegerKindOf(std::uint16_t kind) {
  switch (kind) {
    case varShortInt:
      return {8, true};
    case varByte:
      return {8, false};
    case varSmallint:
      return {16, true};
    case varWord:
      return {16, false};
    case varInteger:
      return {32, true};
    default:
      return {32, false};
  }
}

bool IsText(std::uint16_t kind) { return kind == varOleStr || kind == varString; }
bool IsReal(std::uint16_t kind) {
  return kind == varSingle || kind == varDouble || kind == varDate;
}

std::int64_t MinOf(IntegerKind k) { return k.isSigned ? -(std::int64_t{1} << (k.bits - 1)) : 0; }
std::int64_t MaxOf(IntegerKind k) {
  return (std::int64_t{1} << (k.isSigned ? k.bits - 1 : k.bits)) - 1;
}

// Keeps the low bits of value and reads them as the target kind.
std::int64_t Reinterpret(std::int64_t value, IntegerKind k) {
  std::uint64_t mask = (std::uint64_t{1} << k.bits) - 1;
  std::uint64_t bits = static_cast<std::uint64_t>(value) & mask;
  if (k.isSigned && (bits >> (k.bits - 1)) != 0) bits |= ~mask;
  return static_cast<std::int64_t>(bits);
}

double RoundHalfEven(double x) {
  double floor = std::floor(x);
  double diff = x - floor;
  if (diff > 0.5) return floor + 1;
  if (diff < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

std::string TextOf(const Variant& v) {
  return v.Kind() == varString ? std::string(VariantAccess::Ansi(v))
                               : WideToAnsi(VariantAccess::Wide(v));
}

// The number a text stands for; "Could not convert" when it is none.
double ParseNumber(const Variant& v, std::uint16_t target) {
  double value = 0;
  if (!TryTextToNumber(TextOf(v), CurrentFormatSettings(), value))
    ThrowCouldNotConvert(v.Kind(), target);
  return value;
}

// The boolean word read as the signed number it stands for (true = -1).
std::int64_t BooleanNumber(const Variant& v) {
  return static_cast<std::int16_t>(VariantAccess::Int(v));
}

// The value of a numeric, boolean, empty or text source as a double; the
// common path for the float kinds.
double RealOf(const Variant& v, std::uint16_t target) {
  std::uint16_t kind = v.Kind();
  if (kind == varEmpty) return 0;
  if (kind == varBoolean) return static_cast<double>(BooleanNumber(v));
  if (IsReal(kind)) return VariantAccess::Real(v);
  if (IsText(kind)) return ParseNumber(v, target);
  return static_cast<double>(VariantAccess::Int(v));
}

std::int64_t RealToInteger(double value, IntegerKind k, std::uint16_t from, std::uint16_t to) {
  double rounded = RoundHalfEven(value);
  if (!(rounded >= static_cast<double>(MinOf(k)) && rounded <= static_cast<double>(MaxOf(k))))
    ThrowVariantOverflow(from, to);
  return static_cast<std::int64_t>(rounded);
}

Variant ToInteger(const Variant& v, std::uint16_t target) {
  IntegerKind k = IntegerKindOf(target);
  std::uint16_t kind = v.Kind();
  std::int64_t result = 0;
  if (kind == varBoolean) {
    result = Reinterpret(BooleanNumber(v), k);
  } else if (IsIntegerKind(kind)) {
    std::int64_t value = VariantAccess::Int(v);
    if (IntegerKindOf(kind).bits == k.bits) {
      result = Reinterpret(value, k);  // same width: the bits are kept
    } else if (value < MinOf(k) || value > MaxOf(k)) {
      ThrowVariantOverflow(kind, target);
    } else {
      result = value;
    }
  } else if (kind != varEmpty) {
    result = RealToInteger(RealOf(v, target), k, kind, target);
  }
  return VariantAccess::MakeInt(target, result);
}

Variant ToSingle(const Variant& v) {
  double value = RealOf(v, varSingle);
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) ThrowVariantOverflow(v.Kind(), varSingle);
  if (std::isinf(value)) ThrowVariantOverflow(v.Kind(), varSingle);
  return VariantAccess::MakeReal(varSingle, static_cast<float>(value));
}

Variant ToDouble(const Variant& v) {
  double value = RealOf(v, varDouble);
  if (IsText(v.Kind()) && std::isinf(value)) ThrowVariantOverflow(v.Kind(), varDouble);
  return VariantAccess::MakeReal(varDouble, value);
}

Variant ToDate(const Variant& v) {
  std::uint16_t kind = v.Kind();
  double value = 0;
  if (IsText(kind)) {
    if (!TryTextToDate(TextOf(v), CurrentFormatSettings(), value))
      ThrowCouldNotConvert(kind, varDate);
    return VariantAccess::MakeReal(varDate, value);
  }
  value = RealOf(v, varDate);
  // A Single is taken over unchecked, as the runtime does; other numbers
  // must lie in the calendar's range.
  if (kind != varSingle && !(value > kMinDate && value < kMaxDate))
    ThrowVariantOverflow(kind, varDate);
  return VariantAccess::MakeReal(varDate, value);
}

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (AnsiUpperChar(text[i]) != AnsiUpperChar(word[i])) return false;
  return true;
}

Variant ToBoolean(const Variant& v) {
  std::uint16_t kind = v.Kind();
  if (kind == varBoolean) return v;
  bool value = false;
  if (IsText(kind)) {
    std::string text = TextOf(v);
    std::string_view trimmed = text;
    while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
    if (EqualsIgnoringCase(trimmed, "True")) {
      value = true;
    } else if (!EqualsIgnoringCase(trimmed, "False")) {
      value = ParseNumber(v, varBoolean) != 0;
    }
  } else if (IsReal(kind)) {
    value = VariantAccess::Real(v) != 0;
  } else {
    value = VariantAccess::Int(v) != 0;
  }
  return Variant::FromBoolean(value);
}

std::string PrintText(const Variant& v, std::uint16_t target) {
  const FormatSettings& settings = CurrentFormatSettings();
  std::uint16_t kind = v.Kind();
  switch (kind) {
    case varEmpty:
      return {};
    case varBoolean:
      return std::to_string(BooleanNumber(v));
    case varSingle:
      return FloatToText(VariantAccess::Real(v), 7, settings.DecimalSeparator);
    case varDouble:
      return FloatToText(VariantAccess::Real(v), 15, settings.DecimalSeparator);
    case varDate: {
      std::string text;
      if (!TryDateToText(VariantAccess::Real(v), settings, text))
        ThrowCouldNotConvert(kind, target);
      return text;
    }
    default:
      return std::to_string(VariantAccess::Int(v));
  }
}

Variant ToText(const Variant& v, std::uint16_t target) {
  std::uint16_t kind = v.Kind();
  if (target == varString) {
    if (kind == varOleStr) return Variant::FromAnsi(WideToAnsi(VariantAccess::Wide(v)));
    return Variant::FromAnsi(PrintText(v, target));
  }
  if (kind == varString) return Variant::FromWide(AnsiToWide(VariantAccess::Ansi(v)));
  return Variant::FromWide(AnsiToWide(PrintText(v, target)));
}

Variant ConvertScalar(const Variant& v, std::uint16_t target) {
  if (IsIntegerKind(target)) return ToInteger(v, target);
  switch (target) {
    case varEmpty:
      return Variant();
    case varSingle:
      return ToSingle(v);
    case varDouble:
      return ToDouble(v);
    case varDate:
      return ToDate(v);
    case varBoolean:
      return ToBoolean(v);
    case varOleStr:
    case varString:
      return ToText(v, target);
    default:
      ThrowCouldNotConvert(v.Kind(), target);
  }
}

Variant ConvertArray(const Variant& v, std::uint16_t target) {
  std::uint16_t element = target & varTypeMask;
  // Text arrays hold OLE texts; array kinds without an element form fail.
  if (element == varString) element = varOleStr;
  if (element == varEmpty || !IsKnownScalarKind(element)) ThrowCouldNotConvert(v.Kind(), target);
  std::vector<Variant> converted;
  converted.reserve(VariantAccess::Elements(v).size());
  for (const Variant& item : VariantAccess::Elements(v))
    converted.push_back(ConvertScalar(item, element));
  return VariantAccess::MakeArray(element, VariantAccess::Low(v), std::move(converted));
}

}  // namespace

void ThrowCouldNotConvert(std::uint16_t from, std::uint16_t to) {
  std::string text(kCouldNotConvert);
  text += VarTypeName(from);
  text += kIntoType;
  text += VarTypeName(to);
  text += ')';
  throw Exception(std::move(text));
}

void ThrowVariantOverflow(std::uint16_t from, std::uint16_t to) {
  std::string text(kOverflow);
  text += VarTypeName(from);
  text += kIntoType;
  text += VarTypeName(to);
  text += ')';
  throw Exception(std::move(text));
}

Variant Variant::ChangeType(std::uint16_t kind) const {
  if (kind == kind_) return *this;
  bool toArray = (kind & varArray) != 0;
  if (IsArray() != toArray) ThrowCouldNotConvert(kind_, kind);
  if (toArray) return ConvertArray(*this, kind);
  return ConvertScalar(*this, kind);
}

}  // namespace kv
