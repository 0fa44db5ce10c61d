#pragma once
// The few OLE automation primitives the VARIANT bridge needs, one
// implementation per platform: oleaut32 on Windows, the library's own kv_
// helpers on Linux (whose VARIANT, BSTR and SAFEARRAY layout the public
// header defines). Stateless; any thread may call them on values it alone
// uses.
#include <cstdint>
#include <string>
#include <string_view>

#include "kvopros2.h"

namespace kv::ole {

// A new BSTR holding text (an empty BSTR, never null, for an empty text).
// Raises std::bad_alloc when out of memory.
BSTR AllocString(std::u16string_view text);
void FreeString(BSTR text) noexcept;
// The units of text; empty for a null BSTR.
std::u16string ReadString(BSTR text);

// A one-dimensional array of count zeroed elements of kind vt, indexed from
// low. Raises std::bad_alloc when the system cannot make it.
SAFEARRAY* CreateVector(VARTYPE vt, std::int32_t low, std::uint32_t count);
// Frees the array and the texts in it; null is ignored.
void DestroyArray(SAFEARRAY* array) noexcept;
// The element block of a locked array, or null when it cannot be locked
// (the array is then left unlocked).
void* AccessData(SAFEARRAY* array) noexcept;
void UnaccessData(SAFEARRAY* array) noexcept;

// Frees what the variant owns and makes it VT_EMPTY.
void Clear(VARIANT& value) noexcept;

// Bytes per element of a safe array of kind vt, 0 for a kind that has no
// fixed element size.
constexpr std::uint32_t ElementSize(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_I8:
    case VT_UI8:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

}  // namespace kv::ole
