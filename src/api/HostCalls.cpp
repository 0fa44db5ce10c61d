#include "api/HostCalls.h"

#include <algorithm>
#include <cstring>

#include "api/OleVariant.h"
#include "values/DateTime.h"

namespace kv {

std::string TextArg(const char* text) { return text == nullptr ? std::string() : text; }

std::string_view TextView(const char* text) noexcept {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

void CopyAddress(std::string_view addr, char* buffer, int size) noexcept {
  if (buffer == nullptr || size <= 0) return;
  std::size_t count = std::min(addr.size(), static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, addr.data(), count);
  buffer[count] = '\0';
  buffer[size - 1] = '\0';
}

bool DateTimeFromHost(const FILETIME* time, TDateTime& result) noexcept {
  if (time == nullptr) return false;
  try {
    FileTime fileTime{static_cast<std::uint32_t>(time->dwLowDateTime),
                      static_cast<std::uint32_t>(time->dwHighDateTime)};
    result = FileTimeToDateTime(&fileTime);
    return true;
  } catch (...) {
    return false;
  }
}

FILETIME DateTimeToHost(TDateTime value) noexcept {
  FileTime fileTime;
  FILETIME result{};
  if (DateTimeToFileTime(value, &fileTime)) {
    result.dwLowDateTime = fileTime.lowDateTime;
    result.dwHighDateTime = fileTime.highDateTime;
  }
  return result;
}

ClientSettings SettingsFromHost(const char* host, int port, int timeoutSec, const char* login,
                                const char* password, unsigned char setClock,
                                unsigned char debugLog, const char* logFile) {
  ClientSettings settings;
  settings.Host = TextArg(host);
  settings.Port = port;
  settings.TimeoutSec = timeoutSec;
  settings.Login = TextArg(login);
  settings.Password = TextArg(password);
  settings.SetClock = setClock != 0;
  settings.DebugLog = debugLog != 0;
  settings.LogFile = TextArg(logFile);
  return settings;
}

bool RegisterChannelCall(TClientFacade& client, const char* addr, unsigned short type,
                         unsigned char writeEnable, unsigned char saveValue, const char* comments,
                         const char* prefix, const char* unit, const char* formatString,
                         const char* description, unsigned short signification,
                         const char* enumTexts, TCallResult* why) {
  ChannelDeclaration channel;
  channel.Addr = TextArg(addr);
  channel.Type = type;
  channel.WriteEnable = writeEnable != 0;
  channel.SaveValue = saveValue != 0;
  channel.Comments = TextArg(comments);
  channel.Prefix = TextArg(prefix);
  channel.Unit = TextArg(unit);
  channel.FormatString = TextArg(formatString);
  channel.Description = TextArg(description);
  channel.Signification = signification;
  channel.EnumTexts = TextArg(enumTexts);
  return Report(why, client.RegisterChannel(channel));
}

bool RegisterValueCall(TClientFacade& client, const char* addr, const FILETIME* time,
                       unsigned short quality, VARIANT value, TCallResult* why) {
  NormalizeValueBoolean(value);  // our copy: the host's variant is not touched
  TDateTime dt;
  if (!DateTimeFromHost(time, dt)) return Report(why, TCallResult::BadTime);
  std::optional<Variant> typed = VariantFromOle(value);
  if (!typed) {
    // Only a good quality stores the value. Another one still carries its
    // time and quality with a value of a kind the library does not take
    // (a "sensor fault" with VT_NULL), as it does with VT_EMPTY.
    if (quality == 0) return Report(why, TCallResult::NotConvertible);
    typed.emplace();
  }
  return Report(why, client.RegisterValueByID(TextView(addr), quality, dt, *typed));
}

bool RegisterAttributeCall(TClientFacade& client, const char* addr, unsigned short id,
                           unsigned short type, const VARIANT& value, TCallResult* why) {
  std::optional<Variant> typed = VariantFromOle(value);
  if (!typed) return Report(why, TCallResult::NotConvertible);
  return Report(why, client.RegisterAttribute(TextView(addr), id, type, *typed));
}

bool ReceiveControlCall(TClientFacade& client, char* addrBuf, int addrBufSize, kv_uint32* number,
                        FILETIME* time, unsigned short* quality, VARIANT* value, TCallResult* why) {
  std::optional<ControlRequest> control = client.PopControl();
  if (!control) return Report(why, TCallResult::QueueEmpty);
  // The only step that can fail runs before anything is written, so the
  // host never sees half-filled out-parameters.
  VARIANT newValue{};
  if (value != nullptr) newValue = VariantToOle(control->Value);
  CopyAddress(control->Addr, addrBuf, addrBufSize);
  if (number != nullptr) *number = control->Number;
  if (time != nullptr) *time = DateTimeToHost(control->DT);
  if (quality != nullptr) *quality = control->Quality;
  if (value != nullptr) *value = newValue;
  return Report(why, TCallResult::Ok);
}

}  // namespace kv
