#include "platform/Locale.h"

#include <windows.h>

namespace kv::platform {
namespace {

bool Read(LCTYPE item, std::string& out) {
  char buf[128];
  int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, item, buf, sizeof buf);
  if (n <= 1) return false;
  out.assign(buf, static_cast<std::size_t>(n - 1));
  return true;
}

void ReadChar(LCTYPE item, char& out) {
  std::string s;
  if (Read(item, s) && !s.empty()) out = s[0];
}

}  // namespace

LocaleInfo ReadUserLocale() {
  LocaleInfo info;
  ReadChar(LOCALE_SDECIMAL, info.decimalSeparator);
  ReadChar(LOCALE_STHOUSAND, info.thousandSeparator);
  ReadChar(LOCALE_SDATE, info.dateSeparator);
  ReadChar(LOCALE_STIME, info.timeSeparator);
  Read(LOCALE_SSHORTDATE, info.shortDatePattern);
  Read(LOCALE_STIMEFORMAT, info.longTimePattern);
  Read(LOCALE_S1159, info.amText);
  Read(LOCALE_S2359, info.pmText);
  return info;
}

}  // namespace kv::platform
