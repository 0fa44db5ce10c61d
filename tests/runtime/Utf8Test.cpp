#include <gtest/gtest.h>

#include <string>

#include "runtime/Utf8.h"

namespace kv {
namespace {

TEST(Utf8Ansi, RussianTextsBecomeWindows1251Bytes) {
  EXPECT_EQ(AnsiFromUtf8("Стоп\tПуск"), "\xD1\xF2\xEE\xEF\t\xCF\xF3\xF1\xEA");
  EXPECT_EQ(AnsiFromUtf8("°C"),
            "\xB0"
            "C");
  EXPECT_EQ(AnsiFromUtf8("Котельная"), "\xCA\xEE\xF2\xE5\xEB\xFC\xED\xE0\xFF");
  EXPECT_EQ(AnsiFromUtf8("Ёё№"), "\xA8\xB8\xB9");
}

TEST(Utf8Ansi, EveryDefinedByteSurvivesTheTerminalRoundTrip) {
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(AnsiFromUtf8(Utf8FromAnsi(one)), one) << "byte " << b;
  }
  EXPECT_EQ(Utf8FromAnsi("\xB9"), "\xE2\x84\x96");
  EXPECT_EQ(Utf8FromAnsi(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8Ansi, WhatCannotBeShownBecomesAQuestionMark) {
  EXPECT_EQ(Utf8FromAnsi("\x98"), "?");
  EXPECT_EQ(AnsiFromUtf8("日x"), "?x");
  EXPECT_EQ(AnsiFromUtf8("\xD0"), "?");              // cut sequence
  EXPECT_EQ(AnsiFromUtf8("\xC0\xAF"), "??");         // overlong '/'
  EXPECT_EQ(AnsiFromUtf8("\xED\xA0\x80z"), "???z");  // encoded surrogate
  EXPECT_EQ(AnsiFromUtf8("\xD0\x41"), "?A");         // the next character is kept
}

TEST(Utf8Wide, SurrogatePairsAndLoneSurrogates) {
  EXPECT_EQ(Utf16FromUtf8("\xF0\x9D\x84\x9E"), std::u16string({0xD834, 0xDD1E}));
  EXPECT_EQ(Utf8FromUtf16(std::u16string({0xD834, 0xDD1E})), "\xF0\x9D\x84\x9E");
  EXPECT_EQ(Utf8FromUtf16(std::u16string({0xD834, u'a'})), "?a");
  EXPECT_EQ(Utf8FromUtf16(std::u16string({0xDD1E})), "?");
  EXPECT_EQ(Utf8FromUtf16(u"Пуск"), "Пуск");
  EXPECT_EQ(Utf16FromUtf8("\xFFz"), u"?z");
}

}  // namespace
}  // namespace kv
