#include <gtest/gtest.h>

#include "runtime/Codepage.h"

namespace kv {
namespace {

TEST(CodepageLiteral, GivesWindows1251Bytes) {
  constexpr std::string_view text = "Пароль Ёё №"_cp;
  EXPECT_EQ(text, std::string_view("\xCF\xE0\xF0\xEE\xEB\xFC \xA8\xB8 \xB9"));
  EXPECT_EQ(text.data()[text.size()], '\0');
  EXPECT_EQ("ASCII only"_cp, "ASCII only");
}

TEST(CodepageConversion, RoundTripsEveryByteButTheHole) {
  for (int b = 0; b < 256; ++b) {
    std::string one(1, static_cast<char>(b));
    std::u16string wide = AnsiToWide(one);
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_EQ(WideToAnsi(wide), one) << "byte " << b;
  }
  EXPECT_EQ(AnsiToWide("\xC0\xFF\xB9\x88"), u"Ая№€");
  EXPECT_EQ(WideToAnsi(u"中"), "?");
}

TEST(CodepageUpper, FollowsTheRussianAnsiRules) {
  EXPECT_EQ(AnsiUpper("abc xyz"_cp), "ABC XYZ");
  EXPECT_EQ(AnsiUpper("датчик ёж і ї є ґ ў џ"_cp), "ДАТЧИК ЁЖ І Ї Є Ґ Ў Џ"_cp);
  EXPECT_EQ(AnsiUpper("№ µ 1_"_cp), "№ µ 1_"_cp);
}

}  // namespace
}  // namespace kv
