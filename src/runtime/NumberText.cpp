#include "runtime/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace kv {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || c == '\t'; }

bool IsThousandSeparator(char c, const FormatSettings& settings) {
  if (c == settings.ThousandSeparator) return true;
  // A no-break space is hard to type: a plain space stands for it.
  return settings.ThousandSeparator == '\xA0' && c == ' ';
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// "&H1F" or "&O17"; the text is already trimmed.
bool TryRadixNumber(std::string_view text, double& value) {
  if (text.size() < 3 || text[0] != '&') return false;
  int radix = 0;
  if (text[1] == 'H' || text[1] == 'h') radix = 16;
  if (text[1] == 'O' || text[1] == 'o') radix = 8;
  if (radix == 0) return false;
  double result = 0;
  for (char c : text.substr(2)) {
    int digit = DigitValue(c);
    if (digit >= radix) return false;
    result = result * radix + digit;
  }
  value = result;
  return true;
}

// Copies the decimal number into `plain` as "[-]digits[.digits][e[-]digits]"
// for from_chars, dropping thousands separators. False on any other text.
bool Normalize(std::string_view text, const FormatSettings& settings, std::string& plain) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') plain += '-';
    ++i;
  }
  int digits = 0;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      plain += text[i];
      ++digits;
    } else if (digits == 0 || !IsThousandSeparator(text[i], settings)) {
      break;
    }
  }
  if (i < text.size() && text[i] == settings.DecimalSeparator) {
    plain += '.';
    for (++i; i < text.size() && IsDigit(text[i]); ++i, ++digits) plain += text[i];
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      if (text[i] == '-') plain += '-';
      ++i;
    }
    int expDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++expDigits) plain += text[i];
    if (expDigits == 0) return false;
  }
  return i == text.size();
}

}  // namespace

std::string FloatToText(double value, int digits, char decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
  std::string text(buffer, result.ptr);
  for (char& c : text) {
    if (c == 'e') c = 'E';
    if (c == '.') c = decimalSeparator;
  }
  return text;
}

bool TryTextToNumber(std::string_view text, const FormatSettings& settings, double& value) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  if (TryRadixNumber(text, value)) return true;
  std::string plain;
  if (!Normalize(text, settings, plain)) return false;
  double parsed = 0;
  auto result = std::from_chars(plain.data(), plain.data() + plain.size(), parsed);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large for a double: report infinity so the caller's range check
    // raises its overflow; underflow is zero.
    bool negative = plain[0] == '-';
    bool tiny = plain.find("e-") != std::string::npos;
    parsed = tiny ? (negative ? -0.0 : 0.0) : (negative ? -HUGE_VAL : HUGE_VAL);
  } else if (result.ec != std::errc() || result.ptr != plain.data() + plain.size()) {
    return false;
  }
  value = parsed;
  return true;
}

}  // namespace kv
