#pragma once
// The JSON lines of `kvsim --json`: one object per line, built field by
// field. Texts come in as Windows-1251 and go out as UTF-8 with the escapes
// JSON needs. Values of the wire's data types map onto JSON: numbers, true
// and false, texts, arrays, null for Empty, date-times as local ISO texts
// ("2024-03-05T14:07:09.123"), and numbers JSON has no form for (nan, inf)
// as texts. No state: any thread.
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv::sim {

// A quoted, escaped JSON string of UTF-8 text.
std::string JsonString(std::string_view utf8);
std::string JsonDateTime(TDateTime value);
std::string JsonValue(const Variant& value, std::uint16_t type);

class TJsonObject {
 public:
  TJsonObject& Text(std::string_view name, std::string_view ansi);
  TJsonObject& Number(std::string_view name, std::int64_t value);
  TJsonObject& Bool(std::string_view name, bool value);
  // A value already in JSON form.
  TJsonObject& Raw(std::string_view name, std::string_view json);
  std::string Str() const { return body_.empty() ? "{}" : body_ + "}"; }

 private:
  std::string body_;
};

}  // namespace kv::sim
