#include "api/OleVariant.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "OleTestUtil.h"
#include "runtime/Codepage.h"

using namespace kv;
using namespace kv::test;

namespace {

Variant FromHost(const VARIANT& v) {
  std::optional<Variant> result = VariantFromOle(v);
  EXPECT_TRUE(result.has_value()) << "kind " << v.vt;
  return result.value_or(Variant());
}

}  // namespace

TEST(OleVariantFromHost, ScalarKindsKeepKindAndBits) {
  Variant i1 = FromHost(Scalar(VT_I1, 0xFF));
  EXPECT_EQ(i1.Kind(), varShortInt);
  EXPECT_EQ(i1.ToInt32(), -1);
  Variant ui1 = FromHost(Scalar(VT_UI1, 0xFF));
  EXPECT_EQ(ui1.Kind(), varByte);
  EXPECT_EQ(ui1.ToInt32(), 255);
  Variant i2 = FromHost(Scalar(VT_I2, 0x8000));
  EXPECT_EQ(i2.Kind(), varSmallint);
  EXPECT_EQ(i2.ToInt32(), -32768);
  Variant ui2 = FromHost(Scalar(VT_UI2, 0xFFFF));
  EXPECT_EQ(ui2.Kind(), varWord);
  EXPECT_EQ(ui2.ToInt32(), 65535);
  Variant i4 = FromHost(Scalar(VT_I4, 0x80000000));
  EXPECT_EQ(i4.Kind(), varInteger);
  EXPECT_EQ(i4.ToInt32(), INT32_MIN);
  Variant ui4 = FromHost(Scalar(VT_UI4, 0xFFFFFFFF));
  EXPECT_EQ(ui4.Kind(), varLongWord);
  EXPECT_EQ(ui4.ToUInt32(), 0xFFFFFFFFu);
  EXPECT_EQ(FromHost(Scalar(VT_INT, 0xFFFFFFFE)).Kind(), varInteger);
  EXPECT_EQ(FromHost(Scalar(VT_UINT, 0xFFFFFFFE)).ToUInt32(), 0xFFFFFFFEu);
  // Only the low 32 bits of the value field belong to a 32-bit kind.
  Variant dirty = FromHost(Scalar(VT_I4, 0x1234567800000005));
  EXPECT_EQ(dirty.ToInt32(), 5);
}

TEST(OleVariantFromHost, FloatsDatesAndBooleans) {
  VARIANT r4{};
  r4.vt = VT_R4;
  r4.fltVal = 1.5f;
  EXPECT_EQ(FromHost(r4).Kind(), varSingle);
  EXPECT_EQ(FromHost(r4).ToSingle(), 1.5f);
  VARIANT r8{};
  r8.vt = VT_R8;
  r8.dblVal = -2.25;
  EXPECT_EQ(FromHost(r8).ToDouble(), -2.25);
  VARIANT date{};
  date.vt = VT_DATE;
  date.date = 39877.5;
  EXPECT_EQ(FromHost(date).Kind(), varDate);
  EXPECT_EQ(FromHost(date).ToDate(), 39877.5);
  // The boolean word is kept as given, not folded to 0xFFFF.
  Variant one = FromHost(Scalar(VT_BOOL, 1));
  EXPECT_EQ(one.Kind(), varBoolean);
  EXPECT_EQ(one.ToBooleanWord(), 1);
  EXPECT_EQ(FromHost(Scalar(VT_BOOL, 0xFFFF)).ToBooleanWord(), 0xFFFF);
  EXPECT_TRUE(FromHost(Scalar(VT_EMPTY, 0)).IsEmpty());
}

TEST(OleVariantFromHost, TextsAreOleTexts) {
  TOwnedVariant text(Text(u"\u041A\u0430\u043D\u0430\u043B 1"));  // "Канал 1"
  Variant v = FromHost(text.v);
  EXPECT_EQ(v.Kind(), varOleStr);
  EXPECT_EQ(v.ToAnsi(), "Канал 1"_cp);
  // A text with an embedded zero keeps its full length.
  TOwnedVariant zero(Text(std::u16string_view(u"a\0b", 3)));
  EXPECT_EQ(FromHost(zero.v).ToWide(), std::u16string(u"a\0b", 3));
  // Hosts may pass a null BSTR for an empty text.
  VARIANT null{};
  null.vt = VT_BSTR;
  null.bstrVal = nullptr;
  EXPECT_EQ(FromHost(null).Kind(), varOleStr);
  EXPECT_EQ(FromHost(null).ToWide(), u"");
}

TEST(OleVariantFromHost, RefusesKindsItCannotHold) {
  std::int32_t target = 7;
  VARIANT byRef{};
  byRef.vt = VT_I4 | VT_BYREF;
  std::memcpy(&byRef.llVal, &target, sizeof target);  // whatever the pointer, never read
  EXPECT_FALSE(VariantFromOle(byRef));
  for (VARTYPE vt :
       std::initializer_list<VARTYPE>{VT_NULL, VT_CY, VT_DISPATCH, VT_ERROR, VT_VARIANT, VT_UNKNOWN,
                                      VT_DECIMAL, VT_I8, VT_UI8, 15, 24, 0x0FFF})
    EXPECT_FALSE(VariantFromOle(Scalar(vt, 0))) << "kind " << vt;
}

TEST(OleVariantFromHost, ArraysKeepBoundsAndElements) {
  const std::int16_t shorts[] = {-1, 2, 300};
  TOwnedVariant a(Array(VT_I2, -2, 3, shorts));
  Variant v = FromHost(a.v);
  ASSERT_TRUE(v.IsArray());
  EXPECT_EQ(v.ElementKind(), varSmallint);
  EXPECT_EQ(v.ArrayLow(), -2);
  EXPECT_EQ(v.ArrayHigh(), 0);
  EXPECT_EQ(v.GetElement(-2).ToInt32(), -1);
  EXPECT_EQ(v.GetElement(0).ToInt32(), 300);

  const double doubles[] = {0.5, 1e300};
  TOwnedVariant d(Array(VT_R8, 1, 2, doubles));
  Variant dv = FromHost(d.v);
  EXPECT_EQ(dv.ArrayLow(), 1);
  EXPECT_EQ(dv.GetElement(2).ToDouble(), 1e300);

  const std::uint16_t words[] = {1, 0xFFFF, 0};
  TOwnedVariant b(Array(VT_BOOL, 0, 3, words));
  Variant bv = FromHost(b.v);
  EXPECT_EQ(bv.ElementKind(), varBoolean);
  EXPECT_EQ(bv.GetElement(0).ToBooleanWord(), 1);
  EXPECT_EQ(bv.GetElement(1).ToBooleanWord(), 0xFFFF);

  TOwnedVariant empty(Array(VT_UI4, 5, 0, nullptr));
  Variant ev = FromHost(empty.v);
  EXPECT_EQ(ev.ArrayCount(), 0);
  EXPECT_EQ(ev.ArrayLow(), 5);
}

TEST(OleVariantFromHost, TextArraysWithNullElements) {
  BSTR texts[] = {ole::AllocString(u"\u0410"), nullptr};
  TOwnedVariant a(Array(VT_BSTR, 0, 2, texts));  // the array now owns the BSTRs
  Variant v = FromHost(a.v);
  EXPECT_EQ(v.ElementKind(), varOleStr);
  EXPECT_EQ(v.GetElement(0).ToAnsi(), "А"_cp);
  EXPECT_EQ(v.GetElement(1).ToWide(), u"");
}

TEST(OleVariantFromHost, RefusesBrokenOrForeignArrays) {
  VARIANT nullArray{};
  nullArray.vt = VT_ARRAY | VT_I4;
  EXPECT_FALSE(VariantFromOle(nullArray));

  const std::int32_t ints[] = {1, 2};
  TOwnedVariant variants(Array(VT_I4, 0, 2, ints));
  variants.v.vt = VT_ARRAY | VT_VARIANT;
  EXPECT_FALSE(VariantFromOle(variants.v));
  variants.v.vt = VT_ARRAY | VT_EMPTY;
  EXPECT_FALSE(VariantFromOle(variants.v));
  variants.v.vt = VT_ARRAY | VT_I4 | VT_BYREF;
  EXPECT_FALSE(VariantFromOle(variants.v));
  // Elements narrower than the kind claims would be read past the block.
  variants.v.vt = VT_ARRAY | VT_R8;
  EXPECT_FALSE(VariantFromOle(variants.v));
  variants.v.vt = VT_ARRAY | VT_I4;

  // Two dimensions: a stack descriptor, as a C host could hand over.
  struct {
    SAFEARRAY head;
    SAFEARRAYBOUND second;
  } twoDims{};
  twoDims.head.cDims = 2;
  twoDims.head.cbElements = 4;
  twoDims.head.pvData = const_cast<std::int32_t*>(ints);
  twoDims.head.rgsabound[0] = {1, 0};
  twoDims.second = {2, 0};
  VARIANT matrix{};
  matrix.vt = VT_ARRAY | VT_I4;
  matrix.parray = &twoDims.head;
  EXPECT_FALSE(VariantFromOle(matrix));
}

TEST(OleVariantFromHost, RefusesBoundsBeyondTheIndexRange) {
  const std::int32_t ints[] = {1, 2};
  TOwnedVariant a(Array(VT_I4, 0, 2, ints));
  a.v.parray->rgsabound[0].lLbound = INT32_MAX;  // the second element's index overflows
  EXPECT_FALSE(VariantFromOle(a.v));
  a.v.parray->rgsabound[0].lLbound = INT32_MAX - 1;
  std::optional<Variant> last = VariantFromOle(a.v);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->ArrayHigh(), INT32_MAX);
  // No elements below INT32_MIN: the upper bound would be INT32_MIN - 1.
  TOwnedVariant empty(Array(VT_I4, INT32_MIN, 0, nullptr));
  EXPECT_FALSE(VariantFromOle(empty.v));
  a.v.parray->rgsabound[0].lLbound = 0;
}

TEST(OleVariantToHost, SingleByteTextBecomesBstr) {
  TOwnedVariant v(VariantToOle(Variant::FromAnsi(std::string("Привет"_cp))));
  ASSERT_EQ(v.v.vt, VT_BSTR);
  EXPECT_EQ(Units(v.v.bstrVal), u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(BytePrefix(v.v.bstrVal), 12u);
  EXPECT_EQ(v.v.bstrVal[6], 0);  // zero-terminated for hosts that read it as C text
  TOwnedVariant empty(VariantToOle(Variant::FromAnsi("")));
  ASSERT_EQ(empty.v.vt, VT_BSTR);
  ASSERT_NE(empty.v.bstrVal, nullptr);
  EXPECT_EQ(BytePrefix(empty.v.bstrVal), 0u);
}

TEST(OleVariantToHost, ScalarsTakeTheirOleKinds) {
  TOwnedVariant i1(VariantToOle(Variant::FromInt8(-3)));
  EXPECT_EQ(i1.v.vt, VT_I1);
  EXPECT_EQ(static_cast<std::int8_t>(i1.v.bVal), -3);
  TOwnedVariant ui4(VariantToOle(Variant::FromUInt32(0xFFFFFFFF)));
  EXPECT_EQ(ui4.v.vt, VT_UI4);
  EXPECT_EQ(ui4.v.ulVal, 0xFFFFFFFFu);
  TOwnedVariant i4(VariantToOle(Variant(-7)));
  EXPECT_EQ(i4.v.vt, VT_I4);
  EXPECT_EQ(i4.v.lVal, -7);
  TOwnedVariant date(VariantToOle(Variant::FromDate(40000.25)));
  EXPECT_EQ(date.v.vt, VT_DATE);
  EXPECT_EQ(date.v.date, 40000.25);
  TOwnedVariant flag(VariantToOle(Variant::FromBooleanWord(1)));
  EXPECT_EQ(flag.v.vt, VT_BOOL);
  EXPECT_EQ(flag.v.boolVal, 1);
  TOwnedVariant empty(VariantToOle(Variant()));
  EXPECT_EQ(empty.v.vt, VT_EMPTY);
}

TEST(OleVariantToHost, ArraysBecomeSafeArraysWithTheirBounds) {
  Variant source = Variant::CreateArray(varWord, -1, 1);
  source.SetElement(-1, Variant::FromUInt16(7));
  source.SetElement(1, Variant::FromUInt16(65535));
  TOwnedVariant v(VariantToOle(source));
  ASSERT_EQ(v.v.vt, VT_ARRAY | VT_UI2);
  SAFEARRAY* array = v.v.parray;
  EXPECT_EQ(array->cDims, 1);
  EXPECT_EQ(array->cbElements, 2u);
  EXPECT_EQ(array->rgsabound[0].lLbound, -1);
  EXPECT_EQ(array->rgsabound[0].cElements, 3u);
  EXPECT_EQ(ElementOf<std::uint16_t>(array, 0), 7);
  EXPECT_EQ(ElementOf<std::uint16_t>(array, 1), 0);
  EXPECT_EQ(ElementOf<std::uint16_t>(array, 2), 65535);
  EXPECT_EQ(array->cLocks, 0u);  // handed over unlocked, so the host can clear it

  TOwnedVariant none(VariantToOle(Variant::CreateArray(varDouble, 3, 2)));
  ASSERT_EQ(none.v.vt, VT_ARRAY | VT_R8);
  EXPECT_EQ(none.v.parray->rgsabound[0].cElements, 0u);
  EXPECT_EQ(none.v.parray->rgsabound[0].lLbound, 3);
}

TEST(OleVariantToHost, TextArraysRoundTrip) {
  Variant source = Variant::CreateArray(varOleStr, 0, 1);
  source.SetElement(0, Variant::FromAnsi(std::string("Да"_cp)));
  TOwnedVariant v(VariantToOle(source));
  ASSERT_EQ(v.v.vt, VT_ARRAY | VT_BSTR);
  EXPECT_EQ(Units(ElementOf<BSTR>(v.v.parray, 0)), u"\u0414\u0430");
  EXPECT_EQ(Units(ElementOf<BSTR>(v.v.parray, 1)), u"");
  std::optional<Variant> back = VariantFromOle(v.v);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, source);
}

TEST(OleVariantBoolean, TrueBecomesOneOnlyForPlainBooleans) {
  VARIANT minusOne = Scalar(VT_BOOL, 0xFFFF);
  NormalizeValueBoolean(minusOne);
  EXPECT_EQ(minusOne.boolVal, 1);
  VARIANT other = Scalar(VT_BOOL, 0x1234);
  NormalizeValueBoolean(other);
  EXPECT_EQ(other.boolVal, 1);
  VARIANT zero = Scalar(VT_BOOL, 0);
  NormalizeValueBoolean(zero);
  EXPECT_EQ(zero.boolVal, 0);
  VARIANT i2 = Scalar(VT_I2, 0xFFFF);
  NormalizeValueBoolean(i2);
  EXPECT_EQ(i2.iVal, -1);
  // Flags combined with VT_BOOL: the pointer bits must not be rewritten.
  VARIANT byRef = Scalar(VT_BOOL | VT_BYREF, 0x0000000012345678);
  NormalizeValueBoolean(byRef);
  EXPECT_EQ(byRef.llVal, 0x12345678);
  VARIANT array = Scalar(VT_BOOL | VT_ARRAY, 0x0000000012345678);
  NormalizeValueBoolean(array);
  EXPECT_EQ(array.llVal, 0x12345678);
}
