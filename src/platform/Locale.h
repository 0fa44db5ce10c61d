#pragma once
// The user's regional settings as the operating system reports them, with
// the date and time patterns already in Windows pattern letters
// (dd.MM.yyyy, H:mm:ss, h:mm:ss tt). Read once by the runtime.
#include <string>

namespace kv::platform {

struct LocaleInfo {
  char decimalSeparator = '.';
  char thousandSeparator = ',';
  char dateSeparator = '/';
  char timeSeparator = ':';
  std::string shortDatePattern = "M/d/yyyy";
  std::string longTimePattern = "h:mm:ss tt";
  std::string amText = "AM";
  std::string pmText = "PM";
};

// Never fails: falls back to the defaults above for anything it cannot read.
LocaleInfo ReadUserLocale();

}  // namespace kv::platform
