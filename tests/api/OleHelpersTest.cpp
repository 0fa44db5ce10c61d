// The Linux kv_ helpers that hosts use to make and free the OLE types.
// (On Windows the host uses oleaut32 itself.)
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstring>

#include "kvopros2.h"

namespace {

const OLECHAR kHello[] = {'h', 'e', 'l', 'l', 'o', 0};

std::uint32_t PrefixOf(BSTR text) {
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - 4, 4);
  return bytes;
}

}  // namespace

TEST(OleHelpersString, LengthPrefixAndTerminator) {
  BSTR text = kv_SysAllocString(kHello);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(PrefixOf(text), 10u);
  EXPECT_EQ(kv_SysStringLen(text), 5u);
  EXPECT_EQ(text[5], 0);
  kv_SysFreeString(text);

  BSTR zeros = kv_SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(kv_SysStringLen(zeros), 3u);
  EXPECT_EQ(zeros[0] | zeros[1] | zeros[2] | zeros[3], 0);
  kv_SysFreeString(zeros);

  EXPECT_EQ(kv_SysAllocString(nullptr), nullptr);
  EXPECT_EQ(kv_SysStringLen(nullptr), 0u);
  kv_SysFreeString(nullptr);
  EXPECT_EQ(kv_SysAllocStringLen(kHello, 0xFFFFFFFF), nullptr);
}

// Leaks and double frees in these show up under the sanitizer build.
TEST(OleHelpersVariant, ClearFreesWhatTheVariantOwns) {
  VARIANT text;
  kv_VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = kv_SysAllocString(kHello);
  EXPECT_EQ(kv_VariantClear(&text), KV_S_OK);
  EXPECT_EQ(text.vt, VT_EMPTY);
  EXPECT_EQ(text.llVal, 0);

  VARIANT array;
  kv_VariantInit(&array);
  array.vt = VT_ARRAY | VT_BSTR;
  array.parray = kv_SafeArrayCreateVector(VT_BSTR, 0, 2);
  EXPECT_EQ(kv_VariantClear(&array), KV_S_OK);
  EXPECT_EQ(array.vt, VT_EMPTY);

  // A by-reference value points at the host's storage: never freed.
  std::int32_t storage = 5;
  std::int32_t* pointer = &storage;
  VARIANT byRef;
  kv_VariantInit(&byRef);
  byRef.vt = VT_I4 | VT_BYREF;
  std::memcpy(&byRef.llVal, &pointer, sizeof pointer);
  EXPECT_EQ(kv_VariantClear(&byRef), KV_S_OK);
  EXPECT_EQ(byRef.vt, VT_EMPTY);
  EXPECT_EQ(kv_VariantClear(nullptr), KV_E_INVALIDARG);
}

TEST(OleHelpersVariant, CopyIsDeep) {
  VARIANT source;
  kv_VariantInit(&source);
  source.vt = VT_ARRAY | VT_BSTR;
  source.parray = kv_SafeArrayCreateVector(VT_BSTR, -1, 1);
  std::int32_t index = -1;
  BSTR hello = kv_SysAllocString(kHello);
  ASSERT_EQ(kv_SafeArrayPutElement(source.parray, &index, hello), KV_S_OK);
  kv_SysFreeString(hello);  // PutElement stored its own copy

  VARIANT copy;
  kv_VariantInit(&copy);
  ASSERT_EQ(kv_VariantCopy(&copy, &source), KV_S_OK);
  ASSERT_NE(copy.parray, source.parray);
  EXPECT_EQ(copy.parray->rgsabound[0].lLbound, -1);
  EXPECT_EQ(kv_VariantClear(&source), KV_S_OK);  // the copy must survive this

  BSTR element = nullptr;
  ASSERT_EQ(kv_SafeArrayGetElement(copy.parray, &index, &element), KV_S_OK);
  EXPECT_EQ(kv_SysStringLen(element), 5u);
  EXPECT_EQ(element[0], 'h');
  kv_SysFreeString(element);
  EXPECT_EQ(kv_VariantClear(&copy), KV_S_OK);
}

TEST(OleHelpersArray, BoundsLocksAndKinds) {
  SAFEARRAY* array = kv_SafeArrayCreateVector(VT_I2, 10, 2);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->cbElements, 2u);
  std::int16_t value = -5;
  std::int32_t index = 11;
  EXPECT_EQ(kv_SafeArrayPutElement(array, &index, &value), KV_S_OK);
  std::int16_t read = 0;
  EXPECT_EQ(kv_SafeArrayGetElement(array, &index, &read), KV_S_OK);
  EXPECT_EQ(read, -5);
  for (std::int32_t outside : {9, 12, INT32_MIN, INT32_MAX})
    EXPECT_EQ(kv_SafeArrayGetElement(array, &outside, &read), KV_DISP_E_BADINDEX) << outside;

  void* data = nullptr;
  ASSERT_EQ(kv_SafeArrayAccessData(array, &data), KV_S_OK);
  EXPECT_EQ(static_cast<std::int16_t*>(data)[1], -5);
  EXPECT_EQ(kv_SafeArrayDestroy(array), KV_DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(kv_SafeArrayUnaccessData(array), KV_S_OK);
  EXPECT_EQ(kv_SafeArrayUnaccessData(array), KV_E_INVALIDARG);
  EXPECT_EQ(kv_SafeArrayDestroy(array), KV_S_OK);

  EXPECT_EQ(kv_SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
  EXPECT_EQ(kv_SafeArrayCreateVector(VT_DISPATCH, 0, 1), nullptr);
}
#endif
