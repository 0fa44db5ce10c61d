// The OLE primitives on Linux: our own BSTR, VARIANT and SAFEARRAY helpers
// with the layout of the public header, exported for hosts as kv_*.
//
// Memory: a BSTR is one malloc block [uint32 byte length][units][0]; a safe
// array made here is one calloc block, the descriptor followed by the
// elements. These are the C-interface allocations the host frees through
// the same helpers, hence malloc/free rather than new/delete.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "api/OleRuntime.h"

namespace {

constexpr std::uint16_t kFeatureBstr = 0x0100;     // FADF_BSTR
constexpr std::uint16_t kFeatureVariant = 0x0800;  // FADF_VARIANT
constexpr std::size_t kDataOffset = (sizeof(SAFEARRAY) + 7) / 8 * 8;
constexpr std::uint32_t kMaxBstrUnits = (UINT32_MAX - 8) / 2;

std::uint32_t* BstrHeader(BSTR text) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(text) - sizeof(std::uint32_t));
}

unsigned char* ElementAt(SAFEARRAY* array, std::uint32_t offset) {
  return static_cast<unsigned char*>(array->pvData) + std::size_t{offset} * array->cbElements;
}

// The element offset of index, or false outside the bounds.
bool ElementOffset(const SAFEARRAY* array, const std::int32_t* index, std::uint32_t& offset) {
  if (index == nullptr) return false;
  std::int64_t relative = std::int64_t{*index} - array->rgsabound[0].lLbound;
  if (relative < 0 || relative >= std::int64_t{array->rgsabound[0].cElements}) return false;
  offset = static_cast<std::uint32_t>(relative);
  return true;
}

// Frees the texts and variants held by the elements of an array made here.
void ReleaseElements(SAFEARRAY* array) {
  std::uint32_t count = array->rgsabound[0].cElements;
  for (std::uint32_t i = 0; i < count; ++i) {
    unsigned char* element = ElementAt(array, i);
    if (array->fFeatures & kFeatureBstr) {
      BSTR text;
      std::memcpy(&text, element, sizeof text);
      kv_SysFreeString(text);
    } else if (array->fFeatures & kFeatureVariant) {
      kv_VariantClear(reinterpret_cast<VARIANT*>(element));
    }
  }
}

BSTR CopyString(BSTR text) {
  return text == nullptr ? nullptr : kv_SysAllocStringLen(text, kv_SysStringLen(text));
}

// Copies count elements of kind vt from source into the zeroed block target.
bool CopyElements(VARTYPE vt, const unsigned char* source, unsigned char* target,
                  std::uint32_t count) {
  std::uint32_t size = kv::ole::ElementSize(vt);
  if (vt != VT_BSTR && vt != VT_VARIANT) {
    if (count != 0) std::memcpy(target, source, std::size_t{count} * size);
    return true;
  }
  for (std::uint32_t i = 0; i < count; ++i, source += size, target += size) {
    if (vt == VT_VARIANT) {
      if (kv_VariantCopy(reinterpret_cast<VARIANT*>(target),
                         reinterpret_cast<const VARIANT*>(source)) != KV_S_OK)
        return false;
      continue;
    }
    BSTR text;
    std::memcpy(&text, source, sizeof text);
    BSTR copy = CopyString(text);
    if (text != nullptr && copy == nullptr) return false;
    std::memcpy(target, &copy, sizeof copy);
  }
  return true;
}

int32_t CopyArray(VARTYPE vt, const SAFEARRAY* source, SAFEARRAY** target) {
  if (source->cDims != 1 || source->cbElements != kv::ole::ElementSize(vt)) return KV_E_INVALIDARG;
  std::uint32_t count = source->rgsabound[0].cElements;
  if (count != 0 && source->pvData == nullptr) return KV_E_INVALIDARG;
  SAFEARRAY* copy = kv_SafeArrayCreateVector(vt, source->rgsabound[0].lLbound, count);
  if (copy == nullptr) return KV_E_OUTOFMEMORY;
  if (!CopyElements(vt, static_cast<const unsigned char*>(source->pvData),
                    static_cast<unsigned char*>(copy->pvData), count)) {
    kv_SafeArrayDestroy(copy);
    return KV_E_OUTOFMEMORY;
  }
  *target = copy;
  return KV_S_OK;
}

}  // namespace

extern "C" {

BSTR kv_SysAllocStringLen(const OLECHAR* text, uint32_t length) {
  if (length > kMaxBstrUnits) return nullptr;
  std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
  void* block = std::malloc(sizeof(std::uint32_t) + bytes + sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  auto byteLength = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &byteLength, sizeof byteLength);
  auto* units = reinterpret_cast<OLECHAR*>(static_cast<char*>(block) + sizeof(std::uint32_t));
  if (text != nullptr && bytes != 0)
    std::memcpy(units, text, bytes);
  else
    std::memset(units, 0, bytes);
  units[length] = 0;
  return units;
}

BSTR kv_SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  std::uint32_t length = 0;
  while (text[length] != 0) ++length;
  return kv_SysAllocStringLen(text, length);
}

void kv_SysFreeString(BSTR text) {
  if (text != nullptr) std::free(BstrHeader(text));
}

uint32_t kv_SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t byteLength;
  std::memcpy(&byteLength, BstrHeader(text), sizeof byteLength);
  return byteLength / sizeof(OLECHAR);
}

void kv_VariantInit(VARIANT* value) {
  if (value != nullptr) std::memset(value, 0, sizeof *value);
}

int32_t kv_VariantClear(VARIANT* value) {
  if (value == nullptr) return KV_E_INVALIDARG;
  if (!(value->vt & VT_BYREF)) {
    if (value->vt & VT_ARRAY) {
      if (value->parray != nullptr) {
        int32_t result = kv_SafeArrayDestroy(value->parray);
        if (result != KV_S_OK) return result;
      }
    } else if (value->vt == VT_BSTR) {
      kv_SysFreeString(value->bstrVal);
    }
  }
  kv_VariantInit(value);
  return KV_S_OK;
}

int32_t kv_VariantCopy(VARIANT* dest, const VARIANT* source) {
  if (dest == nullptr || source == nullptr) return KV_E_INVALIDARG;
  if (dest == source) return KV_S_OK;
  VARIANT copy = *source;
  if (!(source->vt & VT_BYREF)) {
    if ((source->vt & VT_ARRAY) && source->parray != nullptr) {
      auto elementKind = static_cast<VARTYPE>(source->vt & ~VT_ARRAY);
      int32_t result = CopyArray(elementKind, source->parray, &copy.parray);
      if (result != KV_S_OK) return result;
    } else if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
      copy.bstrVal = CopyString(source->bstrVal);
      if (copy.bstrVal == nullptr) return KV_E_OUTOFMEMORY;
    }
  }
  int32_t result = kv_VariantClear(dest);
  if (result != KV_S_OK) {
    kv_VariantClear(&copy);
    return result;
  }
  *dest = copy;
  return KV_S_OK;
}

SAFEARRAY* kv_SafeArrayCreateVector(VARTYPE vt, int32_t lowerBound, uint32_t count) {
  std::uint32_t size = kv::ole::ElementSize(vt);
  if (size == 0 || count > (SIZE_MAX - kDataOffset) / size) return nullptr;
  std::size_t dataBytes = std::size_t{count} * size;
  void* block = std::calloc(1, kDataOffset + dataBytes);
  if (block == nullptr) return nullptr;
  auto* array = static_cast<SAFEARRAY*>(block);
  array->cDims = 1;
  array->fFeatures = vt == VT_BSTR ? kFeatureBstr : vt == VT_VARIANT ? kFeatureVariant : 0;
  array->cbElements = size;
  array->pvData = static_cast<char*>(block) + kDataOffset;
  array->rgsabound[0].cElements = count;
  array->rgsabound[0].lLbound = lowerBound;
  return array;
}

int32_t kv_SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) return KV_S_OK;
  if (array->cLocks != 0) return KV_DISP_E_ARRAYISLOCKED;
  ReleaseElements(array);
  std::free(array);
  return KV_S_OK;
}

int32_t kv_SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (array == nullptr || data == nullptr) return KV_E_INVALIDARG;
  if (array->cLocks == UINT32_MAX) return KV_E_INVALIDARG;
  ++array->cLocks;
  *data = array->pvData;
  return KV_S_OK;
}

int32_t kv_SafeArrayUnaccessData(SAFEARRAY* array) {
  if (array == nullptr || array->cLocks == 0) return KV_E_INVALIDARG;
  --array->cLocks;
  return KV_S_OK;
}

int32_t kv_SafeArrayGetElement(SAFEARRAY* array, const int32_t* index, void* value) {
  std::uint32_t offset;
  if (array == nullptr || value == nullptr || array->cDims != 1) return KV_E_INVALIDARG;
  if (!ElementOffset(array, index, offset)) return KV_DISP_E_BADINDEX;
  const unsigned char* element = ElementAt(array, offset);
  if (array->fFeatures & kFeatureVariant) {
    kv_VariantInit(static_cast<VARIANT*>(value));
    return kv_VariantCopy(static_cast<VARIANT*>(value), reinterpret_cast<const VARIANT*>(element));
  }
  if (array->fFeatures & kFeatureBstr) {
    BSTR text;
    std::memcpy(&text, element, sizeof text);
    BSTR copy = CopyString(text);
    if (text != nullptr && copy == nullptr) return KV_E_OUTOFMEMORY;
    std::memcpy(value, &copy, sizeof copy);
    return KV_S_OK;
  }
  std::memcpy(value, element, array->cbElements);
  return KV_S_OK;
}

int32_t kv_SafeArrayPutElement(SAFEARRAY* array, const int32_t* index, const void* value) {
  std::uint32_t offset;
  if (array == nullptr || array->cDims != 1) return KV_E_INVALIDARG;
  if (!ElementOffset(array, index, offset)) return KV_DISP_E_BADINDEX;
  unsigned char* element = ElementAt(array, offset);
  if (array->fFeatures & kFeatureVariant) {
    if (value == nullptr) return KV_E_INVALIDARG;
    return kv_VariantCopy(reinterpret_cast<VARIANT*>(element), static_cast<const VARIANT*>(value));
  }
  if (array->fFeatures & kFeatureBstr) {
    // As with oleaut32, value is the BSTR itself.
    BSTR copy = CopyString(static_cast<BSTR>(const_cast<void*>(value)));
    if (value != nullptr && copy == nullptr) return KV_E_OUTOFMEMORY;
    BSTR old;
    std::memcpy(&old, element, sizeof old);
    kv_SysFreeString(old);
    std::memcpy(element, &copy, sizeof copy);
    return KV_S_OK;
  }
  if (value == nullptr) return KV_E_INVALIDARG;
  std::memcpy(element, value, array->cbElements);
  return KV_S_OK;
}

}  // extern "C"

namespace kv::ole {

BSTR AllocString(std::u16string_view text) {
  if (text.size() > kMaxBstrUnits) throw std::bad_alloc();
  // char16_t and OLECHAR are both 16-bit units; copy the bytes rather than
  // alias one type as the other.
  BSTR result = kv_SysAllocStringLen(nullptr, static_cast<std::uint32_t>(text.size()));
  if (result == nullptr) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(result, text.data(), text.size() * sizeof(char16_t));
  return result;
}

void FreeString(BSTR text) noexcept { kv_SysFreeString(text); }

std::u16string ReadString(BSTR text) {
  std::u16string result(kv_SysStringLen(text), u'\0');
  if (!result.empty()) std::memcpy(result.data(), text, result.size() * sizeof(char16_t));
  return result;
}

SAFEARRAY* CreateVector(VARTYPE vt, std::int32_t low, std::uint32_t count) {
  SAFEARRAY* array = kv_SafeArrayCreateVector(vt, low, count);
  if (array == nullptr) throw std::bad_alloc();
  return array;
}

void DestroyArray(SAFEARRAY* array) noexcept { kv_SafeArrayDestroy(array); }

void* AccessData(SAFEARRAY* array) noexcept {
  void* data = nullptr;
  return kv_SafeArrayAccessData(array, &data) == KV_S_OK ? data : nullptr;
}

void UnaccessData(SAFEARRAY* array) noexcept { kv_SafeArrayUnaccessData(array); }

void Clear(VARIANT& value) noexcept { kv_VariantClear(&value); }

}  // namespace kv::ole
