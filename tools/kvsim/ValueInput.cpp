#include "kvsim/ValueInput.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

namespace kv::sim {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string Quote(std::string_view text) { return "'" + std::string(text) + "'"; }

bool ReadDouble(std::string_view text, double& value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

std::string NotANumber(std::string_view text) {
  return Quote(text) + " is not a number" +
         (text.find(',') != std::string_view::npos ? " (write the decimal point as '.')" : "");
}

std::string OutOfRange(std::string_view text, std::int64_t low, std::int64_t high) {
  return Quote(text) + " is out of range (" + std::to_string(low) + " to " + std::to_string(high) +
         ")";
}

bool WholeIn(std::string_view text, std::int64_t low, std::int64_t high, std::int64_t& value,
             std::string& error) {
  text = Trim(text);
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (ec == std::errc() && ptr == end && !digits.empty()) {
    if (value < low || value > high) return error = OutOfRange(text, low, high), false;
    return true;
  }
  // 1e3 and 7.0 are whole numbers too.
  double number = 0;
  if (!ReadDouble(text, number)) return error = NotANumber(text), false;
  if (std::trunc(number) != number) return error = Quote(text) + " is not a whole number", false;
  if (number < static_cast<double>(low) || number > static_cast<double>(high))
    return error = OutOfRange(text, low, high), false;
  value = static_cast<std::int64_t>(number);
  return true;
}

bool ParseInteger(std::string_view text, std::uint16_t type, Variant& value, std::string& error) {
  const TElementType* element = FindElementType(type);
  if (element == nullptr || !element->IsInteger()) return false;
  std::int64_t number = 0;
  if (!WholeIn(text, element->Low, element->High, number, error)) return false;
  // Within the type's range, so exact as a double and converted without loss.
  value = Variant(static_cast<double>(number));
  ConvertToType(value, type);
  return true;
}

bool ParseScalar(std::string_view text, std::uint16_t type, Variant& value, std::string& error) {
  const std::string_view trimmed = Trim(text);
  switch (type) {
    case dtEmpty:
      if (!trimmed.empty() && Lower(trimmed) != "empty")
        return error = Quote(text) + " is not Empty", false;
      value = Variant();
      return true;
    case dtFloat4:
    case dtFloat8: {
      double number = 0;
      if (!ReadDouble(trimmed, number)) return error = NotANumber(trimmed), false;
      if (type == dtFloat8) {
        value = Variant::FromDouble(number);
        return true;
      }
      if (std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max())
        return error = Quote(trimmed) + " is out of range for Float4", false;
      value = Variant::FromSingle(static_cast<float>(number));
      return true;
    }
    case dtBoolean: {
      const std::string word = Lower(trimmed);
      if (word == "true" || word == "1" || word == "on" || word == "yes") {
        value = Variant::FromBoolean(true);
      } else if (word == "false" || word == "0" || word == "off" || word == "no") {
        value = Variant::FromBoolean(false);
      } else {
        return error = Quote(trimmed) + " is not a boolean (true or false)", false;
      }
      return true;
    }
    case dtDate: {
      TDateTime dt = 0;
      if (!ParseDateTime(std::string(trimmed), dt, error)) return false;
      value = Variant::FromDate(dt);
      return true;
    }
    case dtString:
      value = Variant::FromAnsi(text);
      return true;
    default:
      if (ParseInteger(trimmed, type, value, error)) return true;
      if (error.empty()) error = "no value of type " + DataTypeToText(type) + " can be given";
      return false;
  }
}

// The elements of "[a, b, "c, d"]"; quotes keep commas inside an element.
bool SplitArray(std::string_view text, std::vector<std::string>& elements, std::string& error) {
  text = Trim(text);
  if (text.size() < 2 || text.front() != '[' || text.back() != ']')
    return error = Quote(text) + " is not an array (write [a, b, c])", false;
  text = Trim(text.substr(1, text.size() - 2));
  if (text.empty()) return true;
  std::string element;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      elements.emplace_back(Trim(element));
      element.clear();
    } else {
      element += c;
    }
  }
  elements.emplace_back(Trim(element));
  return true;
}

bool ReadDigits(std::string_view& text, std::size_t count, int& value) {
  if (text.size() < count) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(count);
  return true;
}

bool Take(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

bool ReadDateTime(std::string_view text, DateTimeParts& p) {
  if (!ReadDigits(text, 4, p.year)) return false;
  const bool dashed = Take(text, '-');
  if (!ReadDigits(text, 2, p.month) || (dashed && !Take(text, '-')) || !ReadDigits(text, 2, p.day))
    return false;
  if (text.empty()) return true;
  if (!Take(text, 'T') && !Take(text, 't') && !(dashed && Take(text, ' '))) return false;
  if (!ReadDigits(text, 2, p.hour) || (dashed && !Take(text, ':')) ||
      !ReadDigits(text, 2, p.minute))
    return false;
  if (text.empty()) return true;
  if ((!dashed || Take(text, ':')) && !ReadDigits(text, 2, p.second)) return false;
  if (text.empty()) return true;
  if (!Take(text, '.') || text.empty()) return false;
  // Milliseconds from the first three digits; further ones are finer than the calendar.
  for (int i = 0; i < 3; ++i) {
    int digit = 0;
    if (!text.empty() && !ReadDigits(text, 1, digit)) return false;
    p.millisecond = p.millisecond * 10 + digit;
  }
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool ParseWhole(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& value) {
  std::string error;
  return WholeIn(text, low, high, value, error);
}

bool ParseDateTime(const std::string& text, TDateTime& value, std::string& error) {
  if (Lower(Trim(text)) == "now") {
    value = Now();
    return true;
  }
  DateTimeParts parts;
  if (!ReadDateTime(Trim(text), parts) || !TryEncodeDateTime(parts, value))
    return error = Quote(text) + " is not a date and time (write 2024-03-05 14:07:09.123)", false;
  return true;
}

bool ParseDataType(const std::string& text, std::uint16_t& type) {
  std::string name = Lower(Trim(text));
  std::uint16_t array = 0;
  if (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
    name.resize(name.size() - 2);
    array = dtArray;
  } else if (name.rfind("array of ", 0) == 0) {
    name = Lower(Trim(name.substr(9)));
    array = dtArray;
  }
  for (const TElementType& element : kElementTypes) {
    if (Lower(element.Name) == name) {
      type = static_cast<std::uint16_t>(element.Code | array);
      return HasBinaryForm(type);
    }
  }
  std::int64_t code = 0;
  if (array != 0 || !ParseWhole(name, 0, 0xFFFF, code)) return false;
  type = static_cast<std::uint16_t>(code);
  return HasBinaryForm(type);
}

bool ParseValue(const std::string& text, std::uint16_t type, Variant& value, std::string& error) {
  error.clear();
  const auto element = static_cast<std::uint16_t>(type & dtTypeMask);
  if ((type & dtArray) == 0) return ParseScalar(text, element, value, error);
  std::vector<std::string> elements;
  if (!SplitArray(text, elements, error)) return false;
  try {
    Variant array = CreateTypedArray(type, static_cast<std::int32_t>(elements.size()));
    for (std::size_t i = 0; i < elements.size(); ++i) {
      Variant item;
      if (!ParseScalar(elements[i], element, item, error)) return false;
      array.SetElement(static_cast<std::int32_t>(i), item);
    }
    value = std::move(array);
    return true;
  } catch (const Exception&) {
    error = "no array of " + DataTypeToText(element) + " can be given";
    return false;
  }
}

bool SameValue(const Variant& got, const Variant& expected, std::uint16_t type) {
  try {
    if (got.IsArray() || expected.IsArray()) {
      if (!got.IsArray() || !expected.IsArray() || got.ArrayCount() != expected.ArrayCount())
        return false;
      const auto element = static_cast<std::uint16_t>(type & dtTypeMask);
      for (std::int32_t i = 0; i < got.ArrayCount(); ++i)
        if (!SameValue(got.GetElement(got.ArrayLow() + i),
                       expected.GetElement(expected.ArrayLow() + i), element))
          return false;
      return true;
    }
    if (got.IsEmpty() || expected.IsEmpty()) return got.IsEmpty() && expected.IsEmpty();
    switch (type & dtTypeMask) {
      case dtBoolean:
        return got.ToBoolean() == expected.ToBoolean();
      case dtString:
        return got.ToAnsi() == expected.ToAnsi();
      case dtDate:
        return std::fabs(got.ToDate() - expected.ToDate()) * kMSecsPerDay < 0.5;
      case dtFloat4: {
        const float a = got.ToSingle(), b = expected.ToSingle();
        return a == b || (std::isnan(a) && std::isnan(b));
      }
      default: {
        const double a = got.ToDouble(), b = expected.ToDouble();
        return a == b || (std::isnan(a) && std::isnan(b));
      }
    }
  } catch (const Exception&) {
    return false;
  }
}

}  // namespace kv::sim
