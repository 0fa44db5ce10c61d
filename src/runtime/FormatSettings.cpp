#include "runtime/FormatSettings.h"

#include "platform/Locale.h"

namespace kv {
namespace {

FormatSettings& Snapshot() {
  static FormatSettings settings = FormatSettings::FromPlatform();
  return settings;
}

}  // namespace

FormatSettings FormatSettings::Russian() {
  FormatSettings s;
  s.DecimalSeparator = ',';
  s.ThousandSeparator = '\xA0';
  s.DateSeparator = '.';
  s.TimeSeparator = ':';
  s.ShortDateFormat = "dd.MM.yyyy";
  s.LongTimeFormat = "H:mm:ss";
  s.TimeAMString = "";
  s.TimePMString = "";
  return s;
}

FormatSettings FormatSettings::UsEnglish() { return FormatSettings{}; }

FormatSettings FormatSettings::FromPlatform() {
  platform::LocaleInfo info = platform::ReadUserLocale();
  FormatSettings s;
  s.DecimalSeparator = info.decimalSeparator;
  s.ThousandSeparator = info.thousandSeparator;
  s.DateSeparator = info.dateSeparator;
  s.TimeSeparator = info.timeSeparator;
  s.ShortDateFormat = info.shortDatePattern;
  s.LongTimeFormat = info.longTimePattern;
  s.TimeAMString = info.amText;
  s.TimePMString = info.pmText;
  return s;
}

const FormatSettings& CurrentFormatSettings() { return Snapshot(); }

void SetFormatSettings(const FormatSettings& settings) { Snapshot() = settings; }

}  // namespace kv
