#pragma once
// UTF-8, the coding of terminals, command lines and our source files, and
// its conversions to the library's texts: Windows-1251 and UTF-16. What
// cannot be shown or is broken becomes '?'. Stateless, any thread.
#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

inline constexpr char32_t kBrokenUtf8 = 0xFFFFFFFF;

// Decodes the character at `pos` and moves past it; kBrokenUtf8 (having
// moved one byte) for a cut, overlong or surrogate sequence. constexpr so
// that the `_cp` literal decodes its source text with it at compile time.
constexpr char32_t NextUtf8(std::string_view text, std::size_t& pos) noexcept {
  const auto lead = static_cast<unsigned char>(text[pos++]);
  if (lead < 0x80) return lead;
  int extra = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, minimum = 0x10000;
  } else {
    return kBrokenUtf8;
  }
  std::size_t next = pos;
  for (int i = 0; i < extra; ++i, ++next) {
    if (next >= text.size()) return kBrokenUtf8;
    const auto byte = static_cast<unsigned char>(text[next]);
    if ((byte & 0xC0) != 0x80) return kBrokenUtf8;
    cp = (cp << 6) | (byte & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kBrokenUtf8;
  pos = next;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp);

// The byte the code page leaves undefined (0x98) becomes '?'.
std::string Utf8FromAnsi(std::string_view ansi);
// A character the code page lacks becomes '?'.
std::string AnsiFromUtf8(std::string_view utf8);
// A lone surrogate becomes '?'.
std::string Utf8FromUtf16(std::u16string_view wide);
std::u16string Utf16FromUtf8(std::string_view utf8);

}  // namespace kv
