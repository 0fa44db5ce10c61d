// The OLE primitives on Windows: oleaut32.
#include <cstring>
#include <new>

#include "api/OleRuntime.h"

namespace kv::ole {

BSTR AllocString(std::u16string_view text) {
  static_assert(sizeof(OLECHAR) == sizeof(char16_t));
  // SysAllocStringLen copies length units from a null source as zeros; the
  // units are then copied bytewise so no OLECHAR is read as char16_t.
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
  if (result == nullptr) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(result, text.data(), text.size() * sizeof(char16_t));
  return result;
}

void FreeString(BSTR text) noexcept { SysFreeString(text); }

std::u16string ReadString(BSTR text) {
  std::u16string result(SysStringLen(text), u'\0');
  if (!result.empty()) std::memcpy(result.data(), text, result.size() * sizeof(char16_t));
  return result;
}

SAFEARRAY* CreateVector(VARTYPE vt, std::int32_t low, std::uint32_t count) {
  SAFEARRAY* array = SafeArrayCreateVector(vt, low, count);
  if (array == nullptr) throw std::bad_alloc();
  return array;
}

void DestroyArray(SAFEARRAY* array) noexcept {
  if (array != nullptr) SafeArrayDestroy(array);
}

void* AccessData(SAFEARRAY* array) noexcept {
  void* data = nullptr;
  return SUCCEEDED(SafeArrayAccessData(array, &data)) ? data : nullptr;
}

void UnaccessData(SAFEARRAY* array) noexcept { SafeArrayUnaccessData(array); }

void Clear(VARIANT& value) noexcept { VariantClear(&value); }

}  // namespace kv::ole
