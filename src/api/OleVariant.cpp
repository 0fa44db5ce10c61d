#include "api/OleVariant.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "api/OleRuntime.h"
#include "runtime/Exception.h"

namespace kv {
namespace {

// The typed-value kind of an OLE kind the bridge takes, 0xFFFF otherwise.
constexpr std::uint16_t kNoKind = 0xFFFF;

std::uint16_t KindOfOle(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
      return varEmpty;
    case VT_I1:
      return varShortInt;
    case VT_UI1:
      return varByte;
    case VT_I2:
      return varSmallint;
    case VT_UI2:
      return varWord;
    case VT_I4:
    case VT_INT:
      return varInteger;
    case VT_UI4:
    case VT_UINT:
      return varLongWord;
    case VT_R4:
      return varSingle;
    case VT_R8:
      return varDouble;
    case VT_DATE:
      return varDate;
    case VT_BSTR:
      return varOleStr;
    case VT_BOOL:
      return varBoolean;
    default:
      return kNoKind;
  }
}

VARTYPE OleKindOf(std::uint16_t kind) {
  switch (kind) {
    case varEmpty:
      return VT_EMPTY;
    case varShortInt:
      return VT_I1;
    case varByte:
      return VT_UI1;
    case varSmallint:
      return VT_I2;
    case varWord:
      return VT_UI2;
    case varInteger:
      return VT_I4;
    case varLongWord:
      return VT_UI4;
    case varSingle:
      return VT_R4;
    case varDouble:
      return VT_R8;
    case varDate:
      return VT_DATE;
    case varOleStr:
    case varString:
      return VT_BSTR;
    case varBoolean:
      return VT_BOOL;
    default:
      throw Exception("Could not convert variant of type (" + VarTypeName(kind) +
                      ") into type (Variant)");
  }
}

template <class T>
T Load(const void* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

template <class T>
void Store(void* bytes, T value) {
  std::memcpy(bytes, &value, sizeof value);
}

// One value of kind vt (a kind KindOfOle takes, not VT_EMPTY) from the bytes
// of a variant's value field or of an array element.
Variant ReadValue(VARTYPE vt, const void* bytes) {
  switch (vt) {
    case VT_I1:
      return Variant::FromInt8(Load<std::int8_t>(bytes));
    case VT_UI1:
      return Variant::FromUInt8(Load<std::uint8_t>(bytes));
    case VT_I2:
      return Variant::FromInt16(Load<std::int16_t>(bytes));
    case VT_UI2:
      return Variant::FromUInt16(Load<std::uint16_t>(bytes));
    case VT_I4:
    case VT_INT:
      return Variant::FromInt32(Load<std::int32_t>(bytes));
    case VT_UI4:
    case VT_UINT:
      return Variant::FromUInt32(Load<std::uint32_t>(bytes));
    case VT_R4:
      return Variant::FromSingle(Load<float>(bytes));
    case VT_R8:
      return Variant::FromDouble(Load<double>(bytes));
    case VT_DATE:
      return Variant::FromDate(Load<double>(bytes));
    case VT_BOOL:
      return Variant::FromBooleanWord(Load<std::uint16_t>(bytes));
    case VT_BSTR:
      return Variant::FromWide(ole::ReadString(Load<BSTR>(bytes)));
    default:
      return Variant();
  }
}

// Writes value (whose kind maps to vt) into the bytes of a variant's value
// field or of an array element; a text becomes a new BSTR owned there.
void WriteValue(const Variant& value, VARTYPE vt, void* bytes) {
  switch (vt) {
    case VT_I1:
      Store(bytes, value.ToInt8());
      break;
    case VT_UI1:
      Store(bytes, value.ToUInt8());
      break;
    case VT_I2:
      Store(bytes, value.ToInt16());
      break;
    case VT_UI2:
      Store(bytes, value.ToUInt16());
      break;
    case VT_I4:
      Store(bytes, value.ToInt32());
      break;
    case VT_UI4:
      Store(bytes, value.ToUInt32());
      break;
    case VT_R4:
      Store(bytes, value.ToSingle());
      break;
    case VT_R8:
      Store(bytes, value.ToDouble());
      break;
    case VT_DATE:
      Store(bytes, value.ToDate());
      break;
    case VT_BOOL:
      Store(bytes, value.ToBooleanWord());
      break;
    case VT_BSTR:
      Store(bytes, ole::AllocString(value.ToWide()));
      break;
    default:
      break;
  }
}

// Holds a safe array's data lock for one scope.
class TArrayAccess {
 public:
  explicit TArrayAccess(SAFEARRAY* array) : array_(array), data_(ole::AccessData(array)) {}
  ~TArrayAccess() {
    if (data_ != nullptr) ole::UnaccessData(array_);
  }
  TArrayAccess(const TArrayAccess&) = delete;
  TArrayAccess& operator=(const TArrayAccess&) = delete;
  unsigned char* Data() const { return static_cast<unsigned char*>(data_); }

 private:
  SAFEARRAY* array_;
  void* data_;
};

std::optional<Variant> ArrayFromOle(VARTYPE elementVt, SAFEARRAY* array) {
  std::uint16_t kind = KindOfOle(elementVt);
  std::uint32_t size = ole::ElementSize(elementVt);
  if (kind == kNoKind || kind == varEmpty || array == nullptr) return std::nullopt;
  if (array->cDims != 1 || array->cbElements != size) return std::nullopt;
  std::int64_t low = array->rgsabound[0].lLbound;
  std::int64_t high = low + array->rgsabound[0].cElements - 1;
  // The typed value keeps both bounds as 32-bit indexes.
  if (high > INT32_MAX || high < std::int64_t{INT32_MIN}) return std::nullopt;
  Variant result =
      Variant::CreateArray(kind, static_cast<std::int32_t>(low), static_cast<std::int32_t>(high));
  if (high < low) return result;
  TArrayAccess access(array);
  if (access.Data() == nullptr) return std::nullopt;
  for (std::int64_t i = low; i <= high; ++i) {
    const unsigned char* element = access.Data() + static_cast<std::size_t>(i - low) * size;
    result.SetElement(static_cast<std::int32_t>(i), ReadValue(elementVt, element));
  }
  return result;
}

SAFEARRAY* ArrayToOle(const Variant& value, VARTYPE elementVt) {
  auto count = static_cast<std::uint32_t>(value.ArrayCount());
  SAFEARRAY* array = ole::CreateVector(elementVt, value.ArrayLow(), count);
  if (count == 0) return array;
  try {
    TArrayAccess access(array);
    if (access.Data() == nullptr) throw std::bad_alloc();
    std::uint32_t size = ole::ElementSize(elementVt);
    for (std::uint32_t i = 0; i < count; ++i)
      WriteValue(value.GetElement(value.ArrayLow() + static_cast<std::int32_t>(i)), elementVt,
                 access.Data() + std::size_t{i} * size);
  } catch (...) {
    ole::DestroyArray(array);  // frees the texts already stored
    throw;
  }
  return array;
}

}  // namespace

std::optional<Variant> VariantFromOle(const VARIANT& source) {
  if (source.vt & VT_BYREF) return std::nullopt;
  if (source.vt & VT_ARRAY)
    return ArrayFromOle(static_cast<VARTYPE>(source.vt & ~VT_ARRAY), source.parray);
  if (KindOfOle(source.vt) == kNoKind) return std::nullopt;
  if (source.vt == VT_EMPTY) return Variant();
  return ReadValue(source.vt, &source.llVal);
}

VARIANT VariantToOle(const Variant& value) {
  VARIANT result;
  std::memset(&result, 0, sizeof result);
  VARTYPE vt = OleKindOf(value.ElementKind());
  if (value.IsArray()) {
    result.parray = ArrayToOle(value, vt);
    result.vt = static_cast<VARTYPE>(VT_ARRAY | vt);
  } else {
    WriteValue(value, vt, &result.llVal);
    result.vt = vt;
  }
  return result;
}

void NormalizeValueBoolean(VARIANT& value) noexcept {
  if (value.vt == VT_BOOL && value.boolVal != 0) value.boolVal = 1;
}

}  // namespace kv
