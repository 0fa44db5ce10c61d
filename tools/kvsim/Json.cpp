#include "kvsim/Json.h"

#include <cmath>
#include <cstdio>

#include "kvsim/Describe.h"
#include "runtime/Exception.h"
#include "runtime/Utf8.h"
#include "values/DataTypes.h"

namespace kv::sim {
namespace {

std::string ScalarJson(const Variant& value, bool boolean) {
  if (value.IsEmpty()) return "null";
  if (boolean || value.Kind() == varBoolean) return value.ToBoolean() ? "true" : "false";
  switch (value.Kind()) {
    case varDate:
      return JsonDateTime(value.ToDate());
    case varString:
    case varOleStr:
      return JsonString(Utf8FromAnsi(value.ToAnsi()));
    case varSingle:
    case varDouble: {
      const double number = value.ToDouble();
      if (!std::isfinite(number)) return JsonString(NumberText(value));
      return NumberText(value);
    }
    default:
      return NumberText(value);
  }
}

}  // namespace

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string JsonDateTime(TDateTime value) {
  std::string text = DateTimeText(value);
  if (text.size() > 10 && text[10] == ' ') text[10] = 'T';
  return JsonString(text);
}

std::string JsonValue(const Variant& value, std::uint16_t type) {
  const bool boolean = (type & dtTypeMask) == dtBoolean;
  try {
    if (!value.IsArray()) return ScalarJson(value, boolean);
    std::string text = "[";
    for (std::int32_t i = value.ArrayLow(); i <= value.ArrayHigh(); ++i) {
      if (i > value.ArrayLow()) text += ",";
      text += ScalarJson(value.GetElement(i), boolean);
    }
    return text + "]";
  } catch (const Exception&) {
    return "null";
  }
}

TJsonObject& TJsonObject::Raw(std::string_view name, std::string_view json) {
  body_ += body_.empty() ? "{" : ",";
  body_ += JsonString(name);
  body_ += ':';
  body_ += json;
  return *this;
}

TJsonObject& TJsonObject::Text(std::string_view name, std::string_view ansi) {
  return Raw(name, JsonString(Utf8FromAnsi(ansi)));
}

TJsonObject& TJsonObject::Number(std::string_view name, std::int64_t value) {
  return Raw(name, std::to_string(value));
}

TJsonObject& TJsonObject::Bool(std::string_view name, bool value) {
  return Raw(name, value ? "true" : "false");
}

}  // namespace kv::sim
