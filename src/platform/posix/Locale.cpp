#include "platform/Locale.h"

#include <langinfo.h>
#include <locale.h>

#include <string_view>

namespace kv::platform {
namespace {

// Translates an strftime pattern (%d.%m.%Y, %H:%M:%S, %r ...) into Windows
// pattern letters. Conversions without an equivalent are dropped.
std::string TranslateStrftime(std::string_view fmt) {
  std::string out;
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (++i >= fmt.size()) break;
    char k = fmt[i];
    if (k == 'E' || k == 'O' || k == '-' || k == '_' || k == '0') {
      if (++i >= fmt.size()) break;
      k = fmt[i];
    }
    switch (k) {
      case 'd':
        out += "dd";
        break;
      case 'e':
        out += "d";
        break;
      case 'm':
        out += "MM";
        break;
      case 'Y':
        out += "yyyy";
        break;
      case 'y':
        out += "yy";
        break;
      case 'H':
        out += "HH";
        break;
      case 'k':
        out += "H";
        break;
      case 'I':
        out += "hh";
        break;
      case 'l':
        out += "h";
        break;
      case 'M':
        out += "mm";
        break;
      case 'S':
        out += "ss";
        break;
      case 'p':
        out += "tt";
        break;
      case 'T':
        out += "HH:mm:ss";
        break;
      case 'D':
        out += "MM/dd/yy";
        break;
      case 'F':
        out += "yyyy-MM-dd";
        break;
      case 'r':
        out += "hh:mm:ss tt";
        break;
      case 'R':
        out += "HH:mm";
        break;
      case '%':
        out += '%';
        break;
      default:
        break;
    }
  }
  return out;
}

char FirstSeparator(const std::string& pattern, std::string_view letters, char fallback) {
  for (char c : pattern)
    if (letters.find(c) == std::string_view::npos && c != ' ' && c != '\'') return c;
  return fallback;
}

}  // namespace

LocaleInfo ReadUserLocale() {
  LocaleInfo info;
  locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return info;
  auto read = [loc](nl_item item) { return std::string(nl_langinfo_l(item, loc)); };
  std::string dec = read(RADIXCHAR);
  std::string sep = read(THOUSEP);
  if (dec.size() == 1) info.decimalSeparator = dec[0];
  // A multi-byte separator (U+00A0 or U+202F in UTF-8) is a non-breaking space.
  if (sep.size() == 1)
    info.thousandSeparator = sep[0];
  else if (!sep.empty())
    info.thousandSeparator = '\xA0';
  std::string date = TranslateStrftime(read(D_FMT));
  std::string time = TranslateStrftime(read(T_FMT));
  if (!date.empty()) info.shortDatePattern = date;
  if (!time.empty()) info.longTimePattern = time;
  info.dateSeparator = FirstSeparator(info.shortDatePattern, "dMy", info.dateSeparator);
  info.timeSeparator = FirstSeparator(info.longTimePattern, "hHmst", info.timeSeparator);
  std::string am = read(AM_STR), pm = read(PM_STR);
  info.amText = am;
  info.pmText = pm;
  freelocale(loc);
  return info;
}

}  // namespace kv::platform
