#include "kvsim/Describe.h"

#include <charconv>
#include <cstdio>
#include <iterator>

#include "runtime/Exception.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

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
      return NumberText(value);
  }
}

template <class T>
std::string Shortest(T number) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, number);
  return std::string(text, result.ptr);
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

std::string ValueRecordText(const TReceivedRecord& record, const std::string& addr) {
  const TValueRecord& v = record.value;
  const bool byNumber = (v.flags & 1) != 0;
  const std::string known = byNumber && !addr.empty()
                                ? " " + Quoted(addr)
                                : " (#" + std::to_string(record.channelNumber) + ")";
  return "value " + std::to_string(record.id) + " " + ChannelRef(v.number, v.addr, byNumber) +
         known + " " + DateTimeText(v.dt) + " quality " + std::to_string(v.quality) + " " +
         DataTypeToText(v.type) + " = " + ValueText(v.value, v.type);
}

}  // namespace

std::string NumberText(const Variant& value) {
  switch (value.Kind()) {
    case varSingle:
      return Shortest(value.ToSingle());
    case varDouble:
      return Shortest(value.ToDouble());
    case varShortInt:
    case varSmallint:
    case varInteger:
      return std::to_string(value.ToInt32());
    case varByte:
    case varWord:
    case varLongWord:
      return std::to_string(value.ToUInt32());
    default:
      return value.ToAnsi();
  }
}

std::string RefusalReason(std::uint8_t code) {
  static const char* const kReasons[] = {"OK",
                                         "account type does not match",
                                         "account already connected from another address",
                                         "account resources busy",
                                         "wrong login or password",
                                         "wrong server version"};
  if (code < std::size(kReasons)) return kReasons[code];
  return "unknown code " + std::to_string(code);
}

std::string LoginAnswerText(const TReceivedRecord& record) {
  const TLoginReply& reply = record.loginReply;
  switch (record.loginAnswer) {
    case TLoginAnswer::Unanswered:
      return "not answered";
    case TLoginAnswer::Broken:
      return "answered with a broken reply";
    case TLoginAnswer::Closed:
      return "answered by closing the connection";
    case TLoginAnswer::Reply:
      break;
  }
  if (reply.clientId < 0)
    return "refused: " + RefusalReason(reply.resultCode) + " (code " +
           std::to_string(reply.resultCode) + ")";
  if (reply.clientId == 0) return "answered with client id 0, which does not log in";
  std::string text = "granted as client " + std::to_string(reply.clientId);
  if (reply.versionMajor < 4)
    text += " by server version " + std::to_string(reply.versionMajor) + "." +
            std::to_string(reply.versionMinor) + ", too old for the client";
  return text;
}

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

std::string DescribeRecord(const TReceivedRecord& record, const std::string& addr) {
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
             std::to_string(record.login.libraryMinor) + ": " + LoginAnswerText(record);
      break;
    case TRecordKind::StatusRequest:
      text = "status request 18";
      break;
    case TRecordKind::Registration:
      text = RegistrationText(record);
      break;
    case TRecordKind::Value:
      text = ValueRecordText(record, addr);
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
