#pragma once
// Windows-1251 <-> UTF-16 conversion by our own 256-entry table (no iconv,
// no locale), the ANSI upper-casing used for case-insensitive addresses, and
// the `_cp` literal that turns a UTF-8 source literal into Windows-1251 bytes
// at compile time with every compiler we build with.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Utf8.h"

namespace kv {

// UTF-16 unit of one Windows-1251 byte. Byte 0x98 has no character and maps
// to U+0098, as the platform's converter does.
char16_t AnsiCharToWide(unsigned char c) noexcept;
// Windows-1251 byte of one UTF-16 unit; '?' for a unit the code page lacks.
char WideCharToAnsi(char16_t c) noexcept;

std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);

// Upper case by the ANSI rules of the Russian code page: Latin and Cyrillic
// letters (Ё, the Ukrainian, Belarusian and Serbian letters included).
inline char AnsiUpperChar(char c) noexcept;
std::string AnsiUpper(std::string_view text);

namespace codepage_detail {

// Unicode code points of bytes 0x80..0xFF.
inline constexpr char16_t kHighHalf[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

constexpr int EncodeCodePoint(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  for (int i = 0; i < 128; ++i)
    if (kHighHalf[i] == cp) return 0x80 + i;
  return -1;
}

// A UTF-8 string literal as a structural template argument.
template <std::size_t N>
struct Utf8Lit {
  char bytes[N]{};
  constexpr Utf8Lit(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) bytes[i] = s[i];
  }
};

template <std::size_t N>
struct Encoded {
  char bytes[N]{};
  std::size_t size = 0;
};

// Decodes UTF-8 and maps every code point to its Windows-1251 byte. A code
// point the code page lacks, or broken UTF-8, stops compilation.
template <std::size_t N>
consteval Encoded<N> Encode(const Utf8Lit<N>& lit) {
  Encoded<N> out{};
  const std::string_view text(lit.bytes, N - 1);  // the terminator is not encoded
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = NextUtf8(text, pos);
    if (cp == kBrokenUtf8) throw "broken UTF-8 in literal";
    const int byte = EncodeCodePoint(cp);
    if (byte < 0) throw "literal has a character outside Windows-1251";
    out.bytes[out.size++] = static_cast<char>(byte);
  }
  out.bytes[out.size] = '\0';
  return out;
}

template <Utf8Lit L>
struct EncodedHolder {
  static constexpr Encoded<sizeof(L.bytes)> value = Encode(L);
};

constexpr char16_t WideUpper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0x0430 && c <= 0x044F) return static_cast<char16_t>(c - 32);  // а..я
  if (c >= 0x0450 && c <= 0x045F) return static_cast<char16_t>(c - 80);  // ѐ..џ
  if (c == 0x0491) return 0x0490;                                        // ґ
  return c;
}

struct UpperTable {
  unsigned char bytes[256]{};
};

// Built at compile time, so that address look-ups upper-case a character
// with one load.
constexpr UpperTable MakeUpperTable() {
  UpperTable table;
  for (int i = 0; i < 256; ++i) {
    const char16_t wide = i < 0x80 ? static_cast<char16_t>(i) : kHighHalf[i - 0x80];
    const int upper = EncodeCodePoint(WideUpper(wide));
    // A byte whose capital the code page lacks stays as it is.
    table.bytes[i] = static_cast<unsigned char>(upper < 0 ? i : upper);
  }
  return table;
}

inline constexpr UpperTable kUpper = MakeUpperTable();

}  // namespace codepage_detail

inline char AnsiUpperChar(char c) noexcept {
  return static_cast<char>(codepage_detail::kUpper.bytes[static_cast<unsigned char>(c)]);
}

inline namespace literals {
// "Пароль"_cp: the Windows-1251 bytes of a UTF-8 literal, zero-terminated.
template <codepage_detail::Utf8Lit L>
constexpr std::string_view operator""_cp() {
  return {codepage_detail::EncodedHolder<L>::value.bytes,
          codepage_detail::EncodedHolder<L>::value.size};
}
}  // namespace literals

}  // namespace kv
