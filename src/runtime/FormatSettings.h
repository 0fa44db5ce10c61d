#pragma once
// The regional settings snapshot every text conversion of the runtime uses:
// separators and the short date and long time patterns, in Windows pattern
// letters (dd.MM.yyyy, H:mm:ss, h:mm:ss tt). Read from the platform on first
// use; tests set it explicitly. It is meant to be set before any other thread
// runs and read-only afterwards.
#include <string>

namespace kv {

struct FormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "M/d/yyyy";
  std::string LongTimeFormat = "h:mm:ss tt";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";

  // Russian (0x0419): decimal ',', thousands U+00A0, dd.MM.yyyy, H:mm:ss.
  static FormatSettings Russian();
  // US English (0x0409): decimal '.', thousands ',', M/d/yyyy, h:mm:ss tt.
  static FormatSettings UsEnglish();
  // The user's settings as the platform reports them.
  static FormatSettings FromPlatform();
};

const FormatSettings& CurrentFormatSettings();
void SetFormatSettings(const FormatSettings& settings);

}  // namespace kv
