#include "kvsim/Utf8.h"

#include "runtime/Codepage.h"

namespace kv::sim {

std::string Utf8FromAnsi(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() * 2);
  // Every Windows-1251 character lies in the basic plane: at most 3 bytes.
  for (const char16_t unit : AnsiToWide(ansi)) {
    const unsigned c = unit;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string AnsiFromUtf8(std::string_view utf8) {
  std::u16string wide;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
    ++i;
    if (extra < 0) {
      wide += u'?';
      continue;
    }
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    bool broken = false;
    for (int k = 0; k < extra; ++k, ++i) {
      if (i >= utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
        broken = true;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
    }
    wide += (broken || cp > 0xFFFF) ? u'?' : static_cast<char16_t>(cp);
  }
  return WideToAnsi(wide);
}

}  // namespace kv::sim
