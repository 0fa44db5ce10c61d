#include "channels/ChannelAttribute.h"

#include <cstdio>
#include <utility>

#include "channels/OwnerId.h"
#include "values/DataTypes.h"
#include "values/ValueText.h"

namespace kv {

namespace {

// Arrays keep index 0 as their first element, whatever bounds they came
// with, so that every reader can walk them from 0.
void RebaseToZero(Variant& value) {
  if (!value.IsArray() || value.ArrayLow() == 0) return;
  const std::int32_t low = value.ArrayLow();
  const std::int32_t count = value.ArrayCount();
  Variant rebased = Variant::CreateArray(value.ElementKind(), 0, count - 1);
  for (std::int32_t i = 0; i < count; ++i) rebased.SetElement(i, value.GetElement(low + i));
  value = std::move(rebased);
}

}  // namespace

bool ConvertForStore(Variant& value, std::uint16_t type) noexcept {
  try {
    ConvertToType(value, type);
    RebaseToZero(value);
    return true;
  } catch (...) {
    // A value that does not fit the declared type is dropped without a word.
    return false;
  }
}

TChannelAttribute::TChannelAttribute() : owner_(CurrentClientOwnerID()) {}

std::string TChannelAttribute::TypeText() const { return DataTypeToText(type_); }

void TChannelAttribute::SetValue(const Variant& value) {
  Variant converted = value;
  if (ConvertForStore(converted, type_)) value_ = std::move(converted);
}

std::string TChannelAttribute::ValueText() const { return ValueToText(std::nullopt, false); }

std::string TChannelAttribute::ValueToText(std::optional<std::string_view> separator,
                                           bool exact) const {
  std::string text;
  try {
    const std::string format = exact ? PlainValueFormat(type_) : DefaultValueFormat(type_);
    if (!value_.IsArray()) {
      text = FormatValue(type_, format, value_);
      return text;
    }
    const std::string_view sep = separator.value_or(" ");
    for (std::int32_t i = value_.ArrayLow(); i <= value_.ArrayHigh(); ++i) {
      if (i > value_.ArrayLow()) text += sep;
      text += FormatValue(type_, format, value_.GetElement(i));
    }
  } catch (...) {
    // The text built so far is the answer.
  }
  return text;
}

std::string TChannelAttribute::LastChangeText() const {
  DateTimeParts parts;
  if (!TryDecodeDateTime(lastChange_, parts)) return {};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%u.%02u.%04u %u:%02u:%02u",
                static_cast<unsigned>(parts.day), static_cast<unsigned>(parts.month),
                static_cast<unsigned>(parts.year), static_cast<unsigned>(parts.hour),
                static_cast<unsigned>(parts.minute), static_cast<unsigned>(parts.second));
  return buffer;
}

void TChannelAttribute::Assign(const TChannelAttribute& source) {
  if (&source == this) return;
  id_ = source.id_;
  type_ = source.type_;
  SetValue(source.value_);
  owner_ = source.owner_;
  lastChange_ = source.lastChange_;
}

}  // namespace kv
