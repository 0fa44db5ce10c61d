#include "channels/Channel.h"

#include <utility>

#include "channels/OwnerId.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

namespace kv {

namespace {

constexpr std::int16_t kOwnerLocalDriver = -32768;
constexpr std::uint8_t kQualityUndefined = 2;

}  // namespace

std::uint16_t AttributeTypeOf(std::uint16_t id) noexcept {
  switch (id) {
    case ChannelAttr::EUType:
    case ChannelAttr::ConnectionQuality:
      return 2;  // Int2
    case ChannelAttr::EUInfo1:
      return 0x1005;  // array of Float8
    case ChannelAttr::EUInfo2:
      return 0x1100;  // array of String
    case ChannelAttr::EUInfo3:
      return 3;  // Int4
    case ChannelAttr::Unit:
    case ChannelAttr::Comments:
    case ChannelAttr::Prefix:
    case ChannelAttr::Description:
    case ChannelAttr::FormatString:
      return 256;  // String
    case ChannelAttr::Masked:
      return 11;  // Boolean
    case ChannelAttr::DTYPE:
    case ChannelAttr::SYSM:
    case ChannelAttr::Signification:
      return 17;  // UInt1
    case ChannelAttr::AlarmID:
      return 0x1003;  // array of Int4
    // The alarm settings have no fixed type on the wire; they are created as
    // what their getters read back: texts for the sound file and the alarm
    // message, Float8 for the limits and the deadband (any number fits),
    // Boolean for the switch.
    case ChannelAttr::SoundFile:
    case ChannelAttr::AlarmMessage:
      return 256;
    case ChannelAttr::Deadband:
    case ChannelAttr::HiHiLimit:
    case ChannelAttr::HiLimit:
    case ChannelAttr::LoLimit:
    case ChannelAttr::LoLoLimit:
      return 5;  // Float8
    case ChannelAttr::WatchLimits:
      return 11;
    default:
      return 0;
  }
}

TChannel2::TChannel2() { Clear(); }

TChannel2::TChannel2(const TChannel2* source) {
  if (source == nullptr) {
    Clear();
    return;
  }
  Assign(source, ChannelField::All);
}

TChannel2::~TChannel2() = default;

void TChannel2::Clear() {
  creator_ = CurrentClientOwnerID();
  addr_.Assign({});
  number_ = 0;
  type_ = 0;
  ClearAttributes();
  active_ = false;
  writeEnable_ = false;
  saveValue_ = false;
  owner_ = kOwnerLocalDriver;
  dt_ = 0;
  quality_ = kQualityUndefined;
  value_ = Variant();
  user_.reset();
  SetFlags(0);
}

// The order matters: Type is copied before Value so that the value is
// converted to the new type, and the attributes are dropped before the merge.
void TChannel2::Assign(const TChannel2* source, std::uint16_t mask) {
  if (source == nullptr || source == this) return;
  const TChannel2& s = *source;
  if (mask & ChannelField::Creator) creator_ = s.creator_;
  if (mask & ChannelField::Addr) addr_ = s.addr_;
  if (mask & ChannelField::Number) number_ = s.number_;
  if (mask & ChannelField::Type) type_ = s.type_;
  AssignAttributes(s, mask);
  if (mask & ChannelField::Active) active_ = s.active_;
  if (mask & ChannelField::WriteEnable) writeEnable_ = s.writeEnable_;
  if (mask & ChannelField::SaveValue) saveValue_ = s.saveValue_;
  if (mask & ChannelField::Groups) SetGroups(s.Groups());
  if (mask & ChannelField::UserValue) {
    SetUserValue(s.UserValue());
    SetUserData1(s.UserData1());
    SetUserData2(s.UserData2());
  }
  if (mask & ChannelField::Flags) SetFlags(s.Flags());
  if (mask & ChannelField::Owner) owner_ = s.owner_;
  if (mask & ChannelField::DT) dt_ = s.dt_;
  if (mask & ChannelField::Quality) quality_ = s.quality_;
  if (mask & ChannelField::Value) SetValue(s.value_);
}

void TChannel2::AssignAttributes(const TChannel2& source, std::uint16_t mask) {
  if (mask & ChannelField::ReplaceAttributes) ClearAttributes();
  if (!(mask & (ChannelField::MergeAttributes | ChannelField::ReplaceAttributes))) return;
  if (attributes_.empty()) attributes_.reserve(source.attributes_.size());
  for (const TChannelAttribute& attribute : source.attributes_) MergeAttribute(&attribute);
}

std::string TChannel2::NumberStr() const { return std::to_string(number_); }

std::string TChannel2::TypeText() const { return DataTypeToText(type_); }

void TChannel2::SetValue(const Variant& value) {
  Variant converted = value;
  if (ConvertForStore(converted, type_)) value_ = std::move(converted);
}

std::int32_t TChannel2::ValueCount() const { return value_.IsArray() ? value_.ArrayCount() : 1; }

Variant TChannel2::GetValueAt(std::int32_t index) const {
  if (!value_.IsArray()) return value_;
  if (index < value_.ArrayLow() || index > value_.ArrayHigh()) return Variant();
  return value_.GetElement(index);
}

void TChannel2::CopySendFields(const TChannel2& source, bool allAttributes,
                               bool displayAttributes) {
  if (allAttributes) {
    attributes_ = source.attributes_;  // reuses what this channel held
  } else {
    attributes_.clear();
    if (displayAttributes)
      for (const TChannelAttribute& attribute : source.attributes_)
        if (IsDisplayAttribute(attribute.ID())) attributes_.push_back(attribute);
  }
  addr_ = source.addr_;
  number_ = source.number_;
  type_ = source.type_;
  active_ = source.active_;
  writeEnable_ = source.writeEnable_;
  saveValue_ = source.saveValue_;
  SetFlags(source.Flags());
  owner_ = source.owner_;
  creator_ = source.creator_;
}

bool TChannel2::IsDisplayAttribute(std::uint16_t id) noexcept {
  switch (id) {
    case ChannelAttr::EUType:
    case ChannelAttr::EUInfo2:
    case ChannelAttr::EUInfo3:
    case ChannelAttr::FormatString:
    case ChannelAttr::DTYPE:
      return true;
    default:
      // The channel's own text for a quality.
      return id >= ChannelAttr::QualityTextBase && id <= ChannelAttr::QualityTextBase + 0xFF;
  }
}

}  // namespace kv

// --- attributes ---

namespace kv {

std::uint16_t TChannel2::AttributeCount() const noexcept {
  return static_cast<std::uint16_t>(attributes_.size());
}

TChannelAttribute* TChannel2::AttributeByIndex(int index) noexcept {
  if (index < 0 || static_cast<std::size_t>(index) >= attributes_.size()) return nullptr;
  return &attributes_[static_cast<std::size_t>(index)];
}

const TChannelAttribute* TChannel2::AttributeByIndex(int index) const noexcept {
  return const_cast<TChannel2*>(this)->AttributeByIndex(index);
}

TChannelAttribute* TChannel2::FindAttribute(std::uint16_t id) noexcept {
  for (TChannelAttribute& attribute : attributes_)
    if (attribute.ID() == id) return &attribute;
  return nullptr;
}

const TChannelAttribute* TChannel2::FindAttribute(std::uint16_t id) const noexcept {
  return const_cast<TChannel2*>(this)->FindAttribute(id);
}

void TChannel2::ClearAttributes() noexcept { attributes_.clear(); }

Variant TChannel2::GetAttributeValue(std::uint16_t id) const {
  const TChannelAttribute* attribute = FindAttribute(id);
  return attribute ? attribute->Value() : Variant();
}

bool TChannel2::HasNonEmptyAttribute(std::uint16_t id) const {
  const TChannelAttribute* attribute = FindAttribute(id);
  return attribute != nullptr && !attribute->Value().IsEmpty();
}

void TChannel2::SetAttributeValue(std::uint16_t id, const Variant& value) {
  SetOwnedAttributeValue(id, creator_, value);
}

void TChannel2::SetOwnedAttributeValue(std::uint16_t id, std::int16_t owner, const Variant& value) {
  const TDateTime now = Now();
  if (TChannelAttribute* attribute = FindAttribute(id)) {
    // An existing attribute keeps its own type; the stamp is applied even
    // when the value did not convert.
    attribute->SetValue(value);
    attribute->SetOwner(owner);
    attribute->SetLastChange(now);
    return;
  }
  // Built aside first: `value` may belong to one of this channel's own
  // attributes, which growing the list would move.
  TChannelAttribute created;
  created.SetID(id);
  created.SetType(AttributeTypeOf(id));
  created.SetValue(value);
  created.SetOwner(owner);
  created.SetLastChange(now);
  attributes_.push_back(std::move(created));
}

bool TChannel2::MergeAttribute(const TChannelAttribute* attribute) {
  if (attribute == nullptr) return false;
  if (TChannelAttribute* existing = FindAttribute(attribute->ID())) {
    existing->Assign(*attribute);
    return false;
  }
  // Built aside first: `attribute` may be one of this channel's own.
  TChannelAttribute copy;
  copy.Assign(*attribute);
  attributes_.push_back(std::move(copy));
  return true;
}

bool TChannel2::SetAttribute(std::uint16_t id, std::uint16_t type, const Variant& value,
                             std::int16_t owner, TDateTime lastChange) {
  TChannelAttribute temporary;
  temporary.SetID(id);
  temporary.SetType(type);
  temporary.SetValue(value);
  temporary.SetOwner(owner);
  temporary.SetLastChange(lastChange);
  return MergeAttribute(&temporary);
}

}  // namespace kv
