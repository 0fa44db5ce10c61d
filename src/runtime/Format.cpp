#include "runtime/Format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "runtime/Exception.h"
#include "runtime/FormatSettings.h"

namespace kv {
namespace {

std::string FormatError(std::string_view format) {
  std::string text = "Format '";
  text += format;
  text += "' invalid or incompatible with argument";
  return text;
}

// Appends to a text that may not grow beyond its limit; everything past the
// limit is dropped, so an absurd width costs nothing.
class TCappedText {
 public:
  explicit TCappedText(std::size_t limit) : limit_(limit) {}
  void Put(char c, std::size_t count = 1) {
    std::size_t room = limit_ - text_.size();
    text_.append(count < room ? count : room, c);
  }
  void Put(std::string_view s) { text_.append(s.substr(0, limit_ - text_.size())); }
  std::string Take() { return std::move(text_); }

 private:
  std::size_t limit_;
  std::string text_;
};

struct IntSpec {
  bool left = false, plus = false, space = false, alternate = false, zero = false;
  std::size_t width = 0;
  bool hasPrecision = false;
  std::size_t precision = 0;
  int size = 0;  // 0 none, 1 short (h), 2 char (hh), 3 int (l, I32)
  char conversion = 0;
};

constexpr std::size_t kNumberCap = 100000;  // larger widths are cut anyway

std::size_t ReadNumber(std::string_view f, std::size_t& i) {
  std::size_t n = 0;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
    n = n * 10 + static_cast<std::size_t>(f[i++] - '0');
    if (n > kNumberCap) n = kNumberCap;
  }
  return n;
}

// Parses one directive after its '%'; false when it does not take one int.
bool ParseIntSpec(std::string_view f, std::size_t& i, IntSpec& s) {
  for (; i < f.size(); ++i) {
    char c = f[i];
    if (c == '-')
      s.left = true;
    else if (c == '+')
      s.plus = true;
    else if (c == ' ')
      s.space = true;
    else if (c == '#')
      s.alternate = true;
    else if (c == '0')
      s.zero = true;
    else
      break;
  }
  s.width = ReadNumber(f, i);
  if (i < f.size() && f[i] == '.') {
    ++i;
    s.hasPrecision = true;
    s.precision = ReadNumber(f, i);
  }
  if (f.substr(i, 2) == "hh") {
    s.size = 2;
    i += 2;
  } else if (i < f.size() && f[i] == 'h') {
    s.size = 1;
    ++i;
  } else if (f.substr(i, 3) == "I32") {
    s.size = 3;
    i += 3;
  } else if (i < f.size() && f[i] == 'l' && f.substr(i, 2) != "ll") {
    s.size = 3;
    ++i;
  }
  if (i >= f.size()) return false;
  s.conversion = f[i++];
  if (s.conversion == 'c') return s.size == 0;  // %lc and %hc take other character types
  return std::string_view("diuxXo").find(s.conversion) != std::string_view::npos;
}

std::string Digits(std::uint32_t v, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string d;
  do {
    d.insert(d.begin(), set[v % base]);
    v /= base;
  } while (v != 0);
  return d;
}

// The argument as the directive reads it: the 32-bit word, narrowed by h or
// hh, signed or unsigned by the conversion.
std::int64_t ReadArgument(const IntSpec& s, std::uint32_t word, bool isSigned) {
  switch (s.size) {
    case 1:
      return isSigned ? std::int64_t{static_cast<std::int16_t>(word)}
                      : std::int64_t{static_cast<std::uint16_t>(word)};
    case 2:
      return isSigned ? std::int64_t{static_cast<std::int8_t>(word)}
                      : std::int64_t{static_cast<std::uint8_t>(word)};
    default:
      return isSigned ? std::int64_t{static_cast<std::int32_t>(word)} : std::int64_t{word};
  }
}

void PutInteger(TCappedText& out, const IntSpec& s, std::uint32_t word) {
  bool isSigned = s.conversion == 'd' || s.conversion == 'i';
  std::int64_t value = ReadArgument(s, word, isSigned);
  std::string prefix;
  if (isSigned && value < 0)
    prefix = "-";
  else if (isSigned && s.plus)
    prefix = "+";
  else if (isSigned && s.space)
    prefix = " ";
  auto magnitude = static_cast<std::uint32_t>(value < 0 ? -value : value);
  unsigned base = s.conversion == 'o' ? 8 : (s.conversion == 'x' || s.conversion == 'X') ? 16 : 10;
  std::string digits = Digits(magnitude, base, s.conversion == 'X');
  if (s.hasPrecision && s.precision == 0 && magnitude == 0) digits.clear();
  if (s.alternate && base == 16 && magnitude != 0) prefix = s.conversion == 'X' ? "0X" : "0x";
  std::size_t precision = s.hasPrecision ? s.precision : 1;
  if (s.alternate && base == 8 && (digits.empty() || digits[0] != '0'))
    precision = std::max(precision, digits.size() + 1);
  std::size_t zeros = precision > digits.size() ? precision - digits.size() : 0;
  std::size_t length = prefix.size() + zeros + digits.size();
  std::size_t pad = s.width > length ? s.width - length : 0;
  bool zeroPad = s.zero && !s.left && !s.hasPrecision;
  if (!s.left && !zeroPad) out.Put(' ', pad);
  out.Put(prefix);
  if (zeroPad) out.Put('0', pad);
  out.Put('0', zeros);
  out.Put(digits);
  if (s.left) out.Put(' ', pad);
}

void PutChar(TCappedText& out, const IntSpec& s, std::uint32_t word) {
  std::size_t pad = s.width > 1 ? s.width - 1 : 0;
  if (!s.left) out.Put(s.zero ? '0' : ' ', pad);
  out.Put(static_cast<char>(word & 0xFF));
  if (s.left) out.Put(' ', pad);
}

// --- Floats ---

// A finite value as 0.d1d2d3... x 10^exponent; no trailing zero digits, so
// zero has no digits.
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

void TrimZeros(Decimal& d) {
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  if (d.digits.empty()) d.exponent = 0;
}

// 18 significant digits, as many as the runtime's extended type carries.
Decimal ToDecimal(double value) {
  Decimal d;
  d.negative = std::signbit(value);
  if (value == 0) return d;
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                              std::chars_format::scientific, 17);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::size_t e = text.find('e');
  for (char c : text.substr(0, e))
    if (c != '.') d.digits += c;
  int exponent = 0;
  std::string_view exp = text.substr(e + 1);
  if (exp.front() == '+') exp.remove_prefix(1);
  std::from_chars(exp.data(), exp.data() + exp.size(), exponent);
  d.exponent = exponent + 1;
  TrimZeros(d);
  return d;
}

// Keeps `keep` leading digits, rounding half away from zero.
void RoundDigits(Decimal& d, int keep) {
  if (keep >= static_cast<int>(d.digits.size())) return;
  if (keep < 0) {
    d.digits.clear();
    d.exponent = 0;
    return;
  }
  bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
  d.digits.resize(static_cast<std::size_t>(keep));
  if (up) {
    int i = keep - 1;
    while (i >= 0 && d.digits[static_cast<std::size_t>(i)] == '9')
      d.digits[static_cast<std::size_t>(i--)] = '0';
    if (i >= 0) {
      ++d.digits[static_cast<std::size_t>(i)];
    } else {
      d.digits.insert(d.digits.begin(), '1');
      ++d.exponent;
    }
  }
  TrimZeros(d);
}

char DigitAt(const Decimal& d, int index) {
  return index >= 0 && index < static_cast<int>(d.digits.size())
             ? d.digits[static_cast<std::size_t>(index)]
             : '0';
}

std::string Sign(const Decimal& d) { return d.negative && !d.digits.empty() ? "-" : ""; }

std::string FixedText(Decimal d, int decimals, bool grouped, const FormatSettings& fs) {
  RoundDigits(d, d.exponent + decimals);
  std::string whole;
  for (int i = 0; i < std::max(d.exponent, 1); ++i) whole += d.exponent > 0 ? DigitAt(d, i) : '0';
  if (grouped)
    for (int at = static_cast<int>(whole.size()) - 3; at > 0; at -= 3)
      whole.insert(static_cast<std::size_t>(at), 1, fs.ThousandSeparator);
  std::string text = Sign(d) + whole;
  if (decimals > 0) {
    text += fs.DecimalSeparator;
    for (int i = 0; i < decimals; ++i) text += DigitAt(d, d.exponent + i);
  }
  return text;
}

std::string ExponentText(int exponent, bool plusSign) {
  std::string digits = std::to_string(exponent < 0 ? -exponent : exponent);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  return std::string("E") + (exponent < 0 ? "-" : plusSign ? "+" : "") + digits;
}

std::string ScientificText(Decimal d, int precision, const FormatSettings& fs) {
  RoundDigits(d, precision);
  std::string text = Sign(d) + DigitAt(d, 0);
  if (precision > 1) text += fs.DecimalSeparator;
  for (int i = 1; i < precision; ++i) text += DigitAt(d, i);
  return text + ExponentText(d.digits.empty() ? 0 : d.exponent - 1, true);
}

std::string GeneralText(Decimal d, int precision, const FormatSettings& fs) {
  RoundDigits(d, precision);
  if (d.digits.empty()) return "0";
  int count = static_cast<int>(d.digits.size());
  if (d.exponent <= precision && d.exponent >= -4) {
    std::string text = Sign(d);
    for (int i = 0; i < std::max(d.exponent, 1); ++i) text += d.exponent > 0 ? DigitAt(d, i) : '0';
    if (count > d.exponent) {
      text += fs.DecimalSeparator;
      for (int i = std::min(d.exponent, 0); i < 0; ++i) text += '0';
      for (int i = std::max(d.exponent, 0); i < count; ++i) text += DigitAt(d, i);
    }
    return text;
  }
  std::string text = Sign(d) + DigitAt(d, 0);
  if (count > 1) text += fs.DecimalSeparator + d.digits.substr(1);
  return text + ExponentText(d.exponent - 1, false);
}

struct FloatSpec {
  bool left = false;
  std::size_t width = 0;
  int precision = -1;  // none given
  char letter = 0;
};

// Parses one directive after its '%'; false when it cannot take the float.
bool ParseFloatSpec(std::string_view f, std::size_t& i, FloatSpec& s, int& argIndex) {
  std::size_t start = i;
  std::size_t number = ReadNumber(f, i);
  if (i > start && i < f.size() && f[i] == ':') {
    argIndex = static_cast<int>(std::min<std::size_t>(number, 1000));
    ++i;
  } else {
    i = start;
  }
  if (i < f.size() && f[i] == '-') {
    s.left = true;
    ++i;
  }
  if (i < f.size() && f[i] == '*') return false;  // would take an integer argument
  s.width = ReadNumber(f, i);
  if (i < f.size() && f[i] == '.') {
    ++i;
    if (i < f.size() && f[i] == '*') return false;
    s.precision = static_cast<int>(std::min<std::size_t>(ReadNumber(f, i), 1000));
  }
  if (i >= f.size()) return false;
  s.letter = static_cast<char>(f[i++] | 0x20);
  return argIndex == 0 && std::string_view("efgnm").find(s.letter) != std::string_view::npos;
}

std::string FloatText(const FloatSpec& s, double value, const FormatSettings& fs) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  Decimal d = ToDecimal(value);
  switch (s.letter) {
    case 'e':
      return ScientificText(d, std::clamp(s.precision < 0 ? 15 : s.precision, 1, 18), fs);
    case 'g':
      return GeneralText(d, std::clamp(s.precision < 0 ? 15 : s.precision, 1, 18), fs);
    default:  // f, n, m
      return FixedText(d, std::clamp(s.precision < 0 ? 2 : s.precision, 0, 18), s.letter != 'f',
                       fs);
  }
}

}  // namespace

std::string FormatFloat(std::string_view format, double value) {
  const FormatSettings& fs = CurrentFormatSettings();
  std::string out;
  int argIndex = 0;
  for (std::size_t i = 0; i < format.size();) {
    char c = format[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i < format.size() && format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    FloatSpec conv;
    if (!ParseFloatSpec(format, i, conv, argIndex)) throw Exception(FormatError(format));
    ++argIndex;
    std::string text = FloatText(conv, value, fs);
    std::size_t pad = conv.width > text.size() ? conv.width - text.size() : 0;
    if (!conv.left) out.append(pad, ' ');
    out += text;
    if (conv.left) out.append(pad, ' ');
  }
  return out;
}

std::string FormatInteger(std::string_view format, std::uint32_t word) {
  std::string_view f = format.substr(0, format.find('\0'));  // a C format ends at its zero
  TCappedText out(kMaxIntegerTextLength);
  bool used = false;
  for (std::size_t i = 0; i < f.size();) {
    char c = f[i++];
    if (c != '%') {
      out.Put(c);
      continue;
    }
    if (i < f.size() && f[i] == '%') {
      out.Put('%');
      ++i;
      continue;
    }
    IntSpec conv;
    if (used || !ParseIntSpec(f, i, conv)) throw Exception(FormatError(format));
    used = true;
    if (conv.conversion == 'c')
      PutChar(out, conv, word);
    else
      PutInteger(out, conv, word);
  }
  std::string text = out.Take();
  return text.substr(0, text.find('\0'));
}

}  // namespace kv
