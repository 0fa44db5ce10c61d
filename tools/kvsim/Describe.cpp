#include "kvsim/Describe.h"

#include <cstdio>

#include "runtime/Exception.h"
#include "values/Channelutils.h"
#include "values/Utils.h"

namespace kv::sim {
namespace {

constexpr std::int32_t kDumpLimit = 32;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Hex16(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
  return text;
}

std::string ScalarText(const Variant& value, bool boolean) {
  if (boolean && value.Kind() != varEmpty) return value.ToBoolean() ? "true" : "false";
  switch (value.Kind()) {
    case varEmpty:
      return "Empty";
    case varBoolean:
      return value.ToBoolean() ? "true" : "false";
    case varDate:
      return DateTimeText(value.ToDate());
    case varString:
    case varOleStr:
      return Quoted(value.ToAnsi());
    default:
      return value.ToAnsi();
  }
}

std::string AttributeText(const TSimAttribute& attribute) {
  return "    attribute " + std::to_string(attribute.id) + " " + DataTypeToText(attribute.type) +
         " = " + ValueText(attribute.value, attribute.type) + " (" +
         DateTimeText(attribute.lastChange) + ")";
}

std::string ChannelRef(std::uint32_t number, const std::string& addr, bool byNumber) {
  if (!byNumber) return Quoted(addr);
  std::string text = "#";
  text += std::to_string(number);
  return text;
}

std::string RegistrationText(const TReceivedRecord& record) {
  const TRegistration& reg = record.registration;
  std::string text = "register 51 " + ChannelRef(reg.number, reg.addr, (reg.flags & 1) != 0) +
                     " -> #" + std::to_string(record.channelNumber) + " type " +
                     DataTypeToText(reg.type) + " flags " + Hex16(reg.flags) + " attributes " +
                     std::to_string(reg.attributes.size());
  for (const TSimAttribute& attribute : reg.attributes) {
    text += "\n";
    text += AttributeText(attribute);
  }
  return text;
}

std::string ValueRecordText(const TReceivedRecord& record) {
  const TValueRecord& v = record.value;
  return "value " + std::to_string(record.id) + " " +
         ChannelRef(v.number, v.addr, (v.flags & 1) != 0) + " (#" +
         std::to_string(record.channelNumber) + ") " + DateTimeText(v.dt) + " quality " +
         std::to_string(v.quality) + " " + DataTypeToText(v.type) + " = " +
         ValueText(v.value, v.type);
}

}  // namespace

std::string DateTimeText(TDateTime value) {
  DateTimeParts p;
  if (!TryDecodeDateTime(value, p)) return std::to_string(value);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  return text;
}

std::string ValueText(const Variant& value, std::uint16_t type) {
  const bool boolean = (type & dtTypeMask) == dtBoolean;
  try {
    if (!value.IsArray()) return ScalarText(value, boolean);
    std::string text = "[";
    for (std::int32_t i = value.ArrayLow(); i <= value.ArrayHigh(); ++i) {
      if (i > value.ArrayLow()) text += ", ";
      text += ScalarText(value.GetElement(i), boolean);
    }
    return text + "]";
  } catch (const Exception& e) {
    return "<" + e.Message() + ">";
  }
}

std::string DescribeRecord(const TReceivedRecord& record) {
  std::string text;
  switch (record.kind) {
    case TRecordKind::Connected:
      return "connected: " + record.note;
    case TRecordKind::Disconnected:
      return "disconnected: " + record.note;
    case TRecordKind::Login:
      text = "login 42: login " + Quoted(record.login.login) + " password " +
             Quoted(record.login.password) + " library " +
             std::to_string(record.login.libraryMajor) + "." +
             std::to_string(record.login.libraryMinor);
      break;
    case TRecordKind::StatusRequest:
      text = "status request 18";
      break;
    case TRecordKind::Registration:
      text = RegistrationText(record);
      break;
    case TRecordKind::Value:
      text = ValueRecordText(record);
      break;
    case TRecordKind::OtherStruct:
      text = "structure " + std::to_string(record.id) + ", " + std::to_string(record.bytes.size()) +
             " bytes, skipped";
      break;
    case TRecordKind::OtherCommand:
      text = "command " + std::to_string(record.id) + ", " + std::to_string(record.bytes.size()) +
             " bytes, skipped";
      break;
    case TRecordKind::ProtocolError: {
      const auto shown = static_cast<std::int32_t>(
          record.bytes.size() < kDumpLimit ? record.bytes.size() : kDumpLimit);
      text = "protocol error at id " + std::to_string(record.id) + ", " +
             std::to_string(record.bytes.size()) +
             " bytes: " + BytesToHex(record.bytes.data(), shown);
      break;
    }
  }
  if (!record.note.empty()) text += " [" + record.note + "]";
  return text;
}

std::string DescribeChannel(const TSimChannel& channel) {
  std::string text = std::string("#") + std::to_string(channel.number) + " " +
                     Quoted(channel.addr) + " " + DataTypeToText(channel.type) +
                     (channel.activeSent ? " active" : " inactive") + ", registrations " +
                     std::to_string(channel.registrations) + ", values " +
                     std::to_string(channel.values);
  if (channel.hasValue)
    text += std::string(", last ") + ValueText(channel.value, channel.type) + " quality " +
            std::to_string(channel.quality) + " at " + DateTimeText(channel.dt);
  for (const TSimAttribute& attribute : channel.attributes) {
    text += "\n";
    text += AttributeText(attribute);
  }
  return text;
}

}  // namespace kv::sim
