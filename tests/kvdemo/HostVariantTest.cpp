#include <gtest/gtest.h>

#include "HostVariant.h"

namespace kv::demo {
namespace {

VARIANT Make(VARTYPE vt) {
  VARIANT v{};
  v.vt = vt;
  return v;
}

TEST(HostVariantText, ScalarKinds) {
  VARIANT v = Make(VT_I1);
  v.cVal = static_cast<char>(-5);
  EXPECT_EQ(VariantText(v), "-5");
  v = Make(VT_UI1);
  v.bVal = 200;
  EXPECT_EQ(VariantText(v), "200");
  v = Make(VT_UI4);
  v.ulVal = 4000000000u;
  EXPECT_EQ(VariantText(v), "4000000000");
  v = Make(VT_R8);
  v.dblVal = 0.1;
  EXPECT_EQ(VariantText(v), "0.1");
  v = Make(VT_R4);
  v.fltVal = 2.5f;
  EXPECT_EQ(VariantText(v), "2.5");
  v = Make(VT_DATE);
  v.date = 45000.5;
  EXPECT_EQ(VariantText(v), "2023-03-15 12:00:00.000");
  EXPECT_EQ(VariantText(Make(VT_EMPTY)), "Empty");
  EXPECT_EQ(VariantText(Make(VT_DISPATCH)), "<VT 0x0009>");
}

TEST(HostVariantText, BooleansAreTrueWhateverTheirNonZeroWord) {
  VARIANT v = Make(VT_BOOL);
  v.boolVal = VARIANT_TRUE;
  EXPECT_EQ(VariantText(v), "true");
  EXPECT_EQ(VariantFlag(v), true);
  v.boolVal = 1;
  EXPECT_EQ(VariantFlag(v), true);
  v.boolVal = 0;
  EXPECT_EQ(VariantText(v), "false");
  EXPECT_EQ(VariantFlag(v), false);
}

TEST(HostVariantText, FlagsOnlyForNumbersAndBooleans) {
  VARIANT v = Make(VT_R8);
  v.dblVal = 0.0;
  EXPECT_EQ(VariantFlag(v), false);
  v.dblVal = -0.5;
  EXPECT_EQ(VariantFlag(v), true);
  const TOwnedVariant text = TOwnedVariant::Text("1");
  EXPECT_EQ(VariantFlag(text.Get()), std::nullopt);
  EXPECT_EQ(VariantFlag(Make(VT_EMPTY)), std::nullopt);
  EXPECT_EQ(VariantFlag(Make(VT_ARRAY | VT_I4)), std::nullopt);
}

TEST(HostVariantOwned, TextsTravelAsBstr) {
  const TOwnedVariant text = TOwnedVariant::Text("Пуск 𝄞");
  ASSERT_EQ(text.Get().vt, VT_BSTR);
  const BSTR bstr = text.Get().bstrVal;
  const OLECHAR expected[] = {0x041F, 0x0443, 0x0441, 0x043A, 0x20, 0xD834, 0xDD1E, 0};
  for (std::size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i)
    EXPECT_EQ(bstr[i], expected[i]) << "unit " << i;
  EXPECT_EQ(VariantText(text.Get()), "\"Пуск 𝄞\"");
}

TEST(HostVariantOwned, ResetClearsAndGivesAnEmptyVariant) {
  TOwnedVariant value = TOwnedVariant::Text("held before");
  VARIANT* slot = value.Reset();
  EXPECT_EQ(slot->vt, VT_EMPTY);
  EXPECT_EQ(slot, &value.Get());
}

TEST(HostVariantOwned, ArraysShowTheirSize) {
  TOwnedVariant value;
  VARIANT* slot = value.Reset();
#ifdef _WIN32
  slot->parray = SafeArrayCreateVector(VT_R8, 0, 3);
#else
  slot->parray = kv_SafeArrayCreateVector(VT_R8, 0, 3);
#endif
  ASSERT_NE(slot->parray, nullptr);
  slot->vt = VT_ARRAY | VT_R8;
  EXPECT_EQ(VariantText(value.Get()), "[array of 3, VT 0x2005]");
}

}  // namespace
}  // namespace kv::demo
