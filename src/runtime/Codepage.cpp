#include "runtime/Codepage.h"

#include <array>

namespace kv {
namespace {

// Reverse table built once: UTF-16 unit -> byte for the upper half.
struct WideToAnsiTable {
  std::array<unsigned char, 0x10000> bytes{};
  WideToAnsiTable() {
    bytes.fill('?');
    for (int i = 0; i < 0x80; ++i) bytes[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 0x80; ++i)
      bytes[codepage_detail::kHighHalf[i]] = static_cast<unsigned char>(0x80 + i);
  }
};

const WideToAnsiTable& ReverseTable() {
  static const WideToAnsiTable table;
  return table;
}

}  // namespace

char16_t AnsiCharToWide(unsigned char c) noexcept {
  return c < 0x80 ? static_cast<char16_t>(c) : codepage_detail::kHighHalf[c - 0x80];
}

char WideCharToAnsi(char16_t c) noexcept { return static_cast<char>(ReverseTable().bytes[c]); }

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    out[i] = AnsiCharToWide(static_cast<unsigned char>(text[i]));
  return out;
}

std::string WideToAnsi(std::u16string_view text) {
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = WideCharToAnsi(text[i]);
  return out;
}

std::string AnsiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AnsiUpperChar(c);
  return out;
}

}  // namespace kv
