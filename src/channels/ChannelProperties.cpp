#include "channels/ChannelProperties.h"

#include "channels/Channel.h"
#include "values/DataTypes.h"
#include "values/ValueText.h"

namespace kv {

TChannel2& TChannelProperties::Self() noexcept { return static_cast<TChannel2&>(*this); }
const TChannel2& TChannelProperties::Self() const noexcept {
  return static_cast<const TChannel2&>(*this);
}

std::int16_t TChannelProperties::EUType() const {
  return Self().GetAttributeValue(ChannelAttr::EUType).ToInt16();
}
void TChannelProperties::SetEUType(std::int16_t v) {
  Self().SetAttributeValue(ChannelAttr::EUType, Variant::FromInt16(v));
}
Variant TChannelProperties::EUInfo1() const {
  return Self().GetAttributeValue(ChannelAttr::EUInfo1);
}
void TChannelProperties::SetEUInfo1(const Variant& v) {
  Self().SetAttributeValue(ChannelAttr::EUInfo1, v);
}
Variant TChannelProperties::EUInfo2() const {
  return Self().GetAttributeValue(ChannelAttr::EUInfo2);
}
void TChannelProperties::SetEUInfo2(const Variant& v) {
  Self().SetAttributeValue(ChannelAttr::EUInfo2, v);
}
std::int32_t TChannelProperties::EUInfo3() const {
  return Self().GetAttributeValue(ChannelAttr::EUInfo3).ToInt32();
}
void TChannelProperties::SetEUInfo3(std::int32_t v) {
  Self().SetAttributeValue(ChannelAttr::EUInfo3, Variant::FromInt32(v));
}

std::string TChannelProperties::TextAttribute(std::uint16_t id) const {
  return Self().GetAttributeValue(id).ToAnsi();
}
void TChannelProperties::SetTextAttribute(std::uint16_t id, std::string_view v) {
  Self().SetAttributeValue(id, Variant::FromAnsi(std::string(v)));
}

std::string TChannelProperties::Unit() const { return TextAttribute(ChannelAttr::Unit); }
void TChannelProperties::SetUnit(std::string_view v) { SetTextAttribute(ChannelAttr::Unit, v); }
std::string TChannelProperties::Comments() const { return TextAttribute(ChannelAttr::Comments); }
void TChannelProperties::SetComments(std::string_view v) {
  SetTextAttribute(ChannelAttr::Comments, v);
}
std::string TChannelProperties::Prefix() const { return TextAttribute(ChannelAttr::Prefix); }
void TChannelProperties::SetPrefix(std::string_view v) { SetTextAttribute(ChannelAttr::Prefix, v); }
std::string TChannelProperties::Description() const {
  return TextAttribute(ChannelAttr::Description);
}
void TChannelProperties::SetDescription(std::string_view v) {
  SetTextAttribute(ChannelAttr::Description, v);
}
std::int16_t TChannelProperties::ConnectionQuality() const {
  return Self().GetAttributeValue(ChannelAttr::ConnectionQuality).ToInt16();
}
void TChannelProperties::SetConnectionQuality(std::int16_t v) {
  Self().SetAttributeValue(ChannelAttr::ConnectionQuality, Variant::FromInt16(v));
}
std::string TChannelProperties::FormatString() const {
  const Variant format = Self().GetAttributeValue(ChannelAttr::FormatString);
  if (format.IsEmpty()) return DefaultValueFormat(Self().Type());
  return format.ToAnsi();
}
void TChannelProperties::SetFormatString(std::string_view v) {
  SetTextAttribute(ChannelAttr::FormatString, v);
}
bool TChannelProperties::Masked() const {
  return Self().GetAttributeValue(ChannelAttr::Masked).ToBoolean();
}
void TChannelProperties::SetMasked(bool v) {
  Self().SetAttributeValue(ChannelAttr::Masked, Variant::FromBoolean(v));
}
std::uint16_t TChannelProperties::DTYPE() const {
  return Self().GetAttributeValue(ChannelAttr::DTYPE).ToUInt16();
}
void TChannelProperties::SetDTYPE(std::uint16_t v) {
  Self().SetAttributeValue(ChannelAttr::DTYPE, Variant::FromUInt16(v));
}
std::uint16_t TChannelProperties::SYSM() const {
  return Self().GetAttributeValue(ChannelAttr::SYSM).ToUInt16();
}
void TChannelProperties::SetSYSM(std::uint16_t v) {
  Self().SetAttributeValue(ChannelAttr::SYSM, Variant::FromUInt16(v));
}
std::uint16_t TChannelProperties::Signification() const {
  return Self().GetAttributeValue(ChannelAttr::Signification).ToUInt16();
}
void TChannelProperties::SetSignification(std::uint16_t v) {
  Self().SetAttributeValue(ChannelAttr::Signification, Variant::FromUInt16(v));
}

namespace {
constexpr int kAlarmIdCount = 3;
}  // namespace

std::int32_t TChannelProperties::AlarmID(int index) const {
  if (index < 0 || index >= kAlarmIdCount) return 0;
  const TChannelAttribute* attribute = Self().FindAttribute(ChannelAttr::AlarmID);
  if (attribute == nullptr || !attribute->Value().IsArray()) return 0;
  const Variant& ids = attribute->Value();
  if (index < ids.ArrayLow() || index > ids.ArrayHigh()) return 0;
  return ids.GetElement(index).ToInt32();
}

void TChannelProperties::SetAlarmID(int index, std::int32_t v) {
  if (index < 0 || index >= kAlarmIdCount) return;
  const TChannelAttribute* attribute = Self().FindAttribute(ChannelAttr::AlarmID);
  Variant ids = attribute && attribute->Value().IsArray()
                    ? attribute->Value()
                    : CreateTypedArray(AttributeTypeOf(ChannelAttr::AlarmID), kAlarmIdCount);
  // A shorter array than three raises its index error to the caller.
  ids.SetElement(index, Variant::FromInt32(v));
  Self().SetAttributeValue(ChannelAttr::AlarmID, ids);
}

std::string TChannelProperties::AlarmMessage() const {
  return TextAttribute(ChannelAttr::AlarmMessage);
}
void TChannelProperties::SetAlarmMessage(std::string_view v) {
  SetTextAttribute(ChannelAttr::AlarmMessage, v);
}
std::string TChannelProperties::SoundFile() const { return TextAttribute(ChannelAttr::SoundFile); }
void TChannelProperties::SetSoundFile(std::string_view v) {
  SetTextAttribute(ChannelAttr::SoundFile, v);
}
Variant TChannelProperties::Deadband() const {
  return Self().GetAttributeValue(ChannelAttr::Deadband);
}
void TChannelProperties::SetDeadband(const Variant& v) {
  Self().SetAttributeValue(ChannelAttr::Deadband, v);
}
Variant TChannelProperties::HiHiLimit() const {
  return Self().GetAttributeValue(ChannelAttr::HiHiLimit);
}
void TChannelProperties::SetHiHiLimit(const Variant& v) {
  Self().SetAttributeValue(ChannelAttr::HiHiLimit, v);
}
Variant TChannelProperties::HiLimit() const {
  return Self().GetAttributeValue(ChannelAttr::HiLimit);
}
void TChannelProperties::SetHiLimit(const Variant& v) {
  Self().SetAttributeValue(ChannelAttr::HiLimit, v);
}
Variant TChannelProperties::LoLimit() const {
  return Self().GetAttributeValue(ChannelAttr::LoLimit);
}
void TChannelProperties::SetLoLimit(const Variant& v) {
  Self().SetAttributeValue(ChannelAttr::LoLimit, v);
}
Variant TChannelProperties::LoLoLimit() const {
  return Self().GetAttributeValue(ChannelAttr::LoLoLimit);
}
void TChannelProperties::SetLoLoLimit(const Variant& v) {
  Self().SetAttributeValue(ChannelAttr::LoLoLimit, v);
}
bool TChannelProperties::WatchLimits() const {
  return Self().GetAttributeValue(ChannelAttr::WatchLimits).ToBoolean();
}
void TChannelProperties::SetWatchLimits(bool v) {
  Self().SetAttributeValue(ChannelAttr::WatchLimits, Variant::FromBoolean(v));
}

}  // namespace kv
