#include "HostVariant.h"

#include <cstdio>
#include <vector>

#include "HostTime.h"
#include "runtime/Utf8.h"

namespace kv::demo {
namespace {

// The two OLE runtimes differ only in their names.
#ifdef _WIN32
void OleInit(VARIANT* v) { VariantInit(v); }
void OleClear(VARIANT* v) { VariantClear(v); }
BSTR OleAllocString(const OLECHAR* text, std::uint32_t length) {
  return SysAllocStringLen(text, static_cast<UINT>(length));
}
std::uint32_t OleStringLen(BSTR text) { return SysStringLen(text); }
#else
void OleInit(VARIANT* v) { kv_VariantInit(v); }
void OleClear(VARIANT* v) { kv_VariantClear(v); }
BSTR OleAllocString(const OLECHAR* text, std::uint32_t length) {
  return kv_SysAllocStringLen(text, length);
}
std::uint32_t OleStringLen(BSTR text) { return kv_SysStringLen(text); }
#endif

std::string Number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string BstrText(BSTR text) {
  std::u16string wide;
  const std::uint32_t length = OleStringLen(text);
  wide.reserve(length);
  for (std::uint32_t i = 0; i < length; ++i) wide += static_cast<char16_t>(text[i]);
  return Utf8FromUtf16(wide);
}

// Appended piecewise: gcc 12 at -O3 warns falsely (-Wrestrict) about
// "\"" + text + "\"".
std::string Quoted(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace

TOwnedVariant::TOwnedVariant() { OleInit(&value_); }
TOwnedVariant::~TOwnedVariant() { OleClear(&value_); }

TOwnedVariant::TOwnedVariant(TOwnedVariant&& other) noexcept : value_(other.value_) {
  OleInit(&other.value_);
}

VARIANT* TOwnedVariant::Reset() {
  OleClear(&value_);
  return &value_;
}

TOwnedVariant TOwnedVariant::Double(double value) {
  TOwnedVariant v;
  v.value_.vt = VT_R8;
  v.value_.dblVal = value;
  return v;
}

TOwnedVariant TOwnedVariant::Int32(std::int32_t value) {
  TOwnedVariant v;
  v.value_.vt = VT_I4;
  v.value_.lVal = value;
  return v;
}

TOwnedVariant TOwnedVariant::Boolean(bool value) {
  TOwnedVariant v;
  v.value_.vt = VT_BOOL;
  v.value_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

TOwnedVariant TOwnedVariant::Text(std::string_view utf8) {
  const std::u16string wide = Utf16FromUtf8(utf8);
  std::vector<OLECHAR> units(wide.begin(), wide.end());
  TOwnedVariant v;
  v.value_.bstrVal = OleAllocString(units.data(), static_cast<std::uint32_t>(units.size()));
  // Out of memory leaves an Empty variant rather than a BSTR that is null.
  if (v.value_.bstrVal) v.value_.vt = VT_BSTR;
  return v;
}

std::string VariantText(const VARIANT& value) {
  if (value.vt & VT_ARRAY) {
    const SAFEARRAY* array = value.parray;
    const unsigned count = array && array->cDims == 1 ? array->rgsabound[0].cElements : 0;
    return "[array of " + std::to_string(count) + ", VT " + Hex(value.vt) + "]";
  }
  switch (value.vt) {
    case VT_EMPTY:
      return "Empty";
    case VT_NULL:
      return "Null";
    case VT_I1:
      return std::to_string(static_cast<int>(static_cast<signed char>(value.cVal)));
    case VT_UI1:
      return std::to_string(value.bVal);
    case VT_I2:
      return std::to_string(value.iVal);
    case VT_UI2:
      return std::to_string(value.uiVal);
    case VT_I4:
      return std::to_string(value.lVal);
    case VT_UI4:
      return std::to_string(value.ulVal);
    case VT_INT:
      return std::to_string(value.intVal);
    case VT_UINT:
      return std::to_string(value.uintVal);
    case VT_R4:
      return Number("%g", value.fltVal);
    case VT_R8:
      return Number("%.15g", value.dblVal);
    case VT_DATE:
      return OleDateText(value.date);
    case VT_BOOL:
      return value.boolVal ? "true" : "false";
    case VT_BSTR:
      return Quoted(BstrText(value.bstrVal));
    default:
      return "<VT " + Hex(value.vt) + ">";
  }
}

std::optional<bool> VariantFlag(const VARIANT& value) {
  switch (value.vt) {
    case VT_BOOL:
      return value.boolVal != 0;
    case VT_I1:
      return value.cVal != 0;
    case VT_UI1:
      return value.bVal != 0;
    case VT_I2:
      return value.iVal != 0;
    case VT_UI2:
      return value.uiVal != 0;
    case VT_I4:
      return value.lVal != 0;
    case VT_UI4:
      return value.ulVal != 0;
    case VT_INT:
      return value.intVal != 0;
    case VT_UINT:
      return value.uintVal != 0;
    case VT_R4:
      return value.fltVal != 0;
    case VT_R8:
      return value.dblVal != 0;
    default:
      return std::nullopt;
  }
}

FILETIME FileTimeFromTicks(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<std::uint32_t>(ticks);
  time.dwHighDateTime = static_cast<std::uint32_t>(ticks >> 32);
  return time;
}

std::uint64_t TicksFromFileTime(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string FileTimeText(const FILETIME& time) {
  return CivilText(CivilFromTicks(TicksFromFileTime(time)));
}

}  // namespace kv::demo
