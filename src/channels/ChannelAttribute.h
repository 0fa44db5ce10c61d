#pragma once
// One typed attribute of a channel: an identifier, a data type code, a value
// always held converted to that type, the owner that set it and the local
// date-time of its last change.
//
// Ownership: a channel owns its attributes (held by value, 32 bytes each).
// No lock: an attribute is touched only through its channel, which is
// private to one thread or used only while the channel list is locked.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv {

class TChannelAttribute {
 public:
  // ID 0, Type Empty, Empty value, Owner = the client's owner number now,
  // LastChange 0.
  TChannelAttribute();
  // Exact copies, the value as it is held; Assign converts it instead.
  TChannelAttribute(const TChannelAttribute&) = default;
  TChannelAttribute& operator=(const TChannelAttribute&) = default;
  TChannelAttribute(TChannelAttribute&&) noexcept = default;
  TChannelAttribute& operator=(TChannelAttribute&&) noexcept = default;

  std::uint16_t ID() const noexcept { return id_; }
  void SetID(std::uint16_t id) noexcept { id_ = id; }
  // Data type code: low 12 bits the element type, 0x1000 = array of it.
  std::uint16_t Type() const noexcept { return type_; }
  void SetType(std::uint16_t type) noexcept { type_ = type; }
  std::string TypeText() const;

  const Variant& Value() const noexcept { return value_; }
  // Stores the value converted to Type. A value that does not convert is
  // dropped and the old one stays; Owner and LastChange are not touched.
  void SetValue(const Variant& value);

  std::int16_t Owner() const noexcept { return owner_; }
  void SetOwner(std::int16_t owner) noexcept { owner_ = owner; }
  TDateTime LastChange() const noexcept { return lastChange_; }
  void SetLastChange(TDateTime lastChange) noexcept { lastChange_ = lastChange; }
  // "d.mm.yyyy h:nn:ss"; empty for a date-time the calendar cannot split.
  std::string LastChangeText() const;

  // ValueToText(none, false).
  std::string ValueText() const;
  // The value in the display format of Type (the plain format when exact),
  // array elements joined by `separator` (one space when none is given).
  // Never raises: a failing element ends the text where it failed.
  std::string ValueToText(std::optional<std::string_view> separator, bool exact) const;

  // Takes ID, Type, Value (converted to the new Type), Owner and LastChange
  // of source, in this order.
  void Assign(const TChannelAttribute& source);

 private:
  std::uint16_t id_ = 0;
  std::uint16_t type_ = 0;
  std::int16_t owner_;
  TDateTime lastChange_ = 0;
  Variant value_;
};

// Converts value to the data type code `type` as a channel or attribute
// stores it; false (value unchanged) when the conversion fails. A stored
// array always starts at index 0.
bool ConvertForStore(Variant& value, std::uint16_t type) noexcept;

}  // namespace kv
