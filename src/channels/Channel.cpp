#include "channels/Channel.h"

#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <thread>
#include <utility>

#include "channels/OwnerId.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "values/Channelutils.h"
#include "values/Utils.h"
#include "values/ValueText.h"

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

std::uint32_t TChannel2::CopySendFields(const TChannel2& source, bool allAttributes,
                                        bool displayAttributes) {
  addr_ = source.addr_;
  number_ = source.number_;
  type_ = source.type_;
  active_ = source.active_;
  writeEnable_ = source.writeEnable_;
  saveValue_ = source.saveValue_;
  SetFlags(source.Flags());
  owner_ = source.owner_;
  creator_ = source.creator_;
  // A sequence lock: the state is read again until no write began or ended
  // while it was read. A writer holds it for a few stores.
  auto& from = const_cast<TChannel2&>(source);
  std::uint32_t sequence = 0;
  Variant::TBits bits;
  for (int tries = 0;; ++tries) {
    sequence = from.valueSequence_.load(std::memory_order_acquire);
    if ((sequence & 1) == 0) {
      dt_ = std::atomic_ref<TDateTime>(from.dt_).load(std::memory_order_relaxed);
      quality_ = std::atomic_ref<std::uint8_t>(from.quality_).load(std::memory_order_relaxed);
      bits = source.value_.LoadPublished();
      std::atomic_thread_fence(std::memory_order_acquire);
      if (from.valueSequence_.load(std::memory_order_relaxed) == sequence) break;
    }
    // The writer lost its processor in the middle: let it finish.
    if (tries >= 64) std::this_thread::yield();
  }
  value_ = Variant::CopyOfBits(bits);
  if (allAttributes) {
    attributes_ = source.attributes_;  // reuses what this channel held
    return sequence;
  }
  attributes_.clear();
  if (!displayAttributes) return sequence;
  for (const TChannelAttribute& attribute : source.attributes_)
    if (IsDisplayAttribute(attribute.ID(), quality_)) attributes_.push_back(attribute);
  return sequence;
}

void TChannel2::PublishValue(TDateTime dt, std::uint8_t quality, Variant* value) noexcept {
  const std::uint32_t sequence = valueSequence_.load(std::memory_order_relaxed);
  valueSequence_.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  std::atomic_ref<TDateTime>(dt_).store(dt, std::memory_order_relaxed);
  std::atomic_ref<std::uint8_t>(quality_).store(quality, std::memory_order_relaxed);
  if (value != nullptr) value_.SwapPublished(*value);
  valueSequence_.store(sequence + 2, std::memory_order_release);
}

bool TChannel2::IsDisplayAttribute(std::uint16_t id, std::uint8_t quality) noexcept {
  switch (id) {
    case ChannelAttr::EUType:
    case ChannelAttr::EUInfo2:
    case ChannelAttr::EUInfo3:
    case ChannelAttr::FormatString:
    case ChannelAttr::DTYPE:
      return true;
    default:
      return id == ChannelAttr::QualityTextBase + quality;
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

// --- attribute-backed properties ---

std::int16_t TChannel2::EUType() const { return GetAttributeValue(ChannelAttr::EUType).ToInt16(); }
void TChannel2::SetEUType(std::int16_t v) {
  SetAttributeValue(ChannelAttr::EUType, Variant::FromInt16(v));
}
Variant TChannel2::EUInfo1() const { return GetAttributeValue(ChannelAttr::EUInfo1); }
void TChannel2::SetEUInfo1(const Variant& v) { SetAttributeValue(ChannelAttr::EUInfo1, v); }
Variant TChannel2::EUInfo2() const { return GetAttributeValue(ChannelAttr::EUInfo2); }
void TChannel2::SetEUInfo2(const Variant& v) { SetAttributeValue(ChannelAttr::EUInfo2, v); }
std::int32_t TChannel2::EUInfo3() const {
  return GetAttributeValue(ChannelAttr::EUInfo3).ToInt32();
}
void TChannel2::SetEUInfo3(std::int32_t v) {
  SetAttributeValue(ChannelAttr::EUInfo3, Variant::FromInt32(v));
}

std::string TChannel2::TextAttribute(std::uint16_t id) const {
  return GetAttributeValue(id).ToAnsi();
}
void TChannel2::SetTextAttribute(std::uint16_t id, std::string_view v) {
  SetAttributeValue(id, Variant::FromAnsi(std::string(v)));
}

std::string TChannel2::Unit() const { return TextAttribute(ChannelAttr::Unit); }
void TChannel2::SetUnit(std::string_view v) { SetTextAttribute(ChannelAttr::Unit, v); }
std::string TChannel2::Comments() const { return TextAttribute(ChannelAttr::Comments); }
void TChannel2::SetComments(std::string_view v) { SetTextAttribute(ChannelAttr::Comments, v); }
std::string TChannel2::Prefix() const { return TextAttribute(ChannelAttr::Prefix); }
void TChannel2::SetPrefix(std::string_view v) { SetTextAttribute(ChannelAttr::Prefix, v); }
std::string TChannel2::Description() const { return TextAttribute(ChannelAttr::Description); }
void TChannel2::SetDescription(std::string_view v) {
  SetTextAttribute(ChannelAttr::Description, v);
}
std::int16_t TChannel2::ConnectionQuality() const {
  return GetAttributeValue(ChannelAttr::ConnectionQuality).ToInt16();
}
void TChannel2::SetConnectionQuality(std::int16_t v) {
  SetAttributeValue(ChannelAttr::ConnectionQuality, Variant::FromInt16(v));
}
std::string TChannel2::FormatString() const {
  const Variant format = GetAttributeValue(ChannelAttr::FormatString);
  if (format.IsEmpty()) return DefaultValueFormat(type_);
  return format.ToAnsi();
}
void TChannel2::SetFormatString(std::string_view v) {
  SetTextAttribute(ChannelAttr::FormatString, v);
}
bool TChannel2::Masked() const { return GetAttributeValue(ChannelAttr::Masked).ToBoolean(); }
void TChannel2::SetMasked(bool v) {
  SetAttributeValue(ChannelAttr::Masked, Variant::FromBoolean(v));
}
std::uint16_t TChannel2::DTYPE() const { return GetAttributeValue(ChannelAttr::DTYPE).ToUInt16(); }
void TChannel2::SetDTYPE(std::uint16_t v) {
  SetAttributeValue(ChannelAttr::DTYPE, Variant::FromUInt16(v));
}
std::uint16_t TChannel2::SYSM() const { return GetAttributeValue(ChannelAttr::SYSM).ToUInt16(); }
void TChannel2::SetSYSM(std::uint16_t v) {
  SetAttributeValue(ChannelAttr::SYSM, Variant::FromUInt16(v));
}
std::uint16_t TChannel2::Signification() const {
  return GetAttributeValue(ChannelAttr::Signification).ToUInt16();
}
void TChannel2::SetSignification(std::uint16_t v) {
  SetAttributeValue(ChannelAttr::Signification, Variant::FromUInt16(v));
}

namespace {
constexpr int kAlarmIdCount = 3;
}  // namespace

std::int32_t TChannel2::AlarmID(int index) const {
  if (index < 0 || index >= kAlarmIdCount) return 0;
  const TChannelAttribute* attribute = FindAttribute(ChannelAttr::AlarmID);
  if (attribute == nullptr || !attribute->Value().IsArray()) return 0;
  const Variant& ids = attribute->Value();
  if (index < ids.ArrayLow() || index > ids.ArrayHigh()) return 0;
  return ids.GetElement(index).ToInt32();
}

void TChannel2::SetAlarmID(int index, std::int32_t v) {
  if (index < 0 || index >= kAlarmIdCount) return;
  const TChannelAttribute* attribute = FindAttribute(ChannelAttr::AlarmID);
  Variant ids = attribute && attribute->Value().IsArray()
                    ? attribute->Value()
                    : CreateTypedArray(AttributeTypeOf(ChannelAttr::AlarmID), kAlarmIdCount);
  // A shorter array than three raises its index error to the caller.
  ids.SetElement(index, Variant::FromInt32(v));
  SetAttributeValue(ChannelAttr::AlarmID, ids);
}

std::string TChannel2::AlarmMessage() const { return TextAttribute(ChannelAttr::AlarmMessage); }
void TChannel2::SetAlarmMessage(std::string_view v) {
  SetTextAttribute(ChannelAttr::AlarmMessage, v);
}
std::string TChannel2::SoundFile() const { return TextAttribute(ChannelAttr::SoundFile); }
void TChannel2::SetSoundFile(std::string_view v) { SetTextAttribute(ChannelAttr::SoundFile, v); }
Variant TChannel2::Deadband() const { return GetAttributeValue(ChannelAttr::Deadband); }
void TChannel2::SetDeadband(const Variant& v) { SetAttributeValue(ChannelAttr::Deadband, v); }
Variant TChannel2::HiHiLimit() const { return GetAttributeValue(ChannelAttr::HiHiLimit); }
void TChannel2::SetHiHiLimit(const Variant& v) { SetAttributeValue(ChannelAttr::HiHiLimit, v); }
Variant TChannel2::HiLimit() const { return GetAttributeValue(ChannelAttr::HiLimit); }
void TChannel2::SetHiLimit(const Variant& v) { SetAttributeValue(ChannelAttr::HiLimit, v); }
Variant TChannel2::LoLimit() const { return GetAttributeValue(ChannelAttr::LoLimit); }
void TChannel2::SetLoLimit(const Variant& v) { SetAttributeValue(ChannelAttr::LoLimit, v); }
Variant TChannel2::LoLoLimit() const { return GetAttributeValue(ChannelAttr::LoLoLimit); }
void TChannel2::SetLoLoLimit(const Variant& v) { SetAttributeValue(ChannelAttr::LoLoLimit, v); }
bool TChannel2::WatchLimits() const {
  return GetAttributeValue(ChannelAttr::WatchLimits).ToBoolean();
}
void TChannel2::SetWatchLimits(bool v) {
  SetAttributeValue(ChannelAttr::WatchLimits, Variant::FromBoolean(v));
}

}  // namespace kv

// --- texts ---

namespace kv {

namespace {

constexpr std::int16_t kEUTypeStates = 2;     // first value names a state of EUInfo2
constexpr std::int16_t kEUTypeDevice = 3;     // first value in the device form
constexpr std::uint8_t kPackedCounters = 12;  // alarm, attention and fault counters follow
constexpr std::uint8_t kPackedGasLevel = 15;  // a gas level in per cent of the lower limit follows

// Each label followed by its number, left-justified in four characters (the
// printf form %-4u).
std::string LabelledFields(std::initializer_list<std::string_view> labels,
                           std::initializer_list<unsigned> values) {
  std::string text;
  auto value = values.begin();
  for (std::string_view label : labels) {
    char number[16];
    std::snprintf(number, sizeof number, "%-4u", *value++);
    text.append(label).append(number);
  }
  return text;
}

}  // namespace

std::string TChannel2::FullComments() const {
  std::string text = Prefix();
  if (!text.empty() && text.back() != ' ') text += ' ';
  return text + Comments();
}

std::string TChannel2::SignificationText() const { return SignificationToText(Signification()); }

std::string TChannel2::FormatEUType3(std::uint16_t quality, const Variant& v) const {
  if (quality != 0) return "?";
  return v.ToAnsi();
}

std::string TChannel2::QualityText() const {
  if (EUType() == kEUTypeDevice && HasNonEmptyAttribute(ChannelAttr::EUInfo3))
    return FormatEUType3(quality_, Variant::FromInt32(0));
  const auto ownText = static_cast<std::uint16_t>(ChannelAttr::QualityTextBase + quality_);
  if (const TChannelAttribute* attribute = FindAttribute(ownText))
    return attribute->Value().ToAnsi();
  return QualityToText(quality_);
}

std::string TChannel2::ValueToText(std::int32_t index, bool exact) const {
  static constexpr std::string_view kStatePrefix = "Value=";
  try {
    const Variant v = GetValueAt(index);
    if (index == 0 && EUType() == kEUTypeStates) {
      const Variant states = EUInfo2();
      if (!states.IsEmpty()) {
        const std::int32_t n = v.ToInt32();
        if (states.IsArray() && n >= states.ArrayLow() && n <= states.ArrayHigh())
          return states.GetElement(n).ToAnsi();
        return std::string(kStatePrefix) + std::to_string(n);
      }
    }
    if (index == 0 && EUType() == kEUTypeDevice && HasNonEmptyAttribute(ChannelAttr::EUInfo3))
      return FormatEUType3(quality_, v);
    const std::string format = exact ? PlainValueFormat(type_) : FormatString();
    return FormatValue(type_, format, v);
  } catch (const Exception& e) {
    return e.Message();
  } catch (...) {
    return std::string("неизвестное исключение!"_cp);
  }
}

std::string TChannel2::ValuesText() const { return ValuesToText(std::nullopt, false); }

std::string TChannel2::ValuesToText(std::optional<std::string_view> separator, bool exact) const {
  if (quality_ != 0) return QualityText();
  const std::int32_t count = ValueCount();
  const bool packed = !exact && (type_ & 0x1000) != 0 && (count == 3 || count == 5 || count == 8) &&
                      HasNonEmptyAttribute(ChannelAttr::DTYPE) && EUType() == kEUTypeDevice;
  if (packed) {
    const std::uint8_t kind = GetAttributeValue(ChannelAttr::DTYPE).ToUInt8();
    if (kind == kPackedCounters || kind == kPackedGasLevel) return PackedStatesText(kind);
  }
  const std::string_view sep = separator.value_or(" ");
  std::string text;
  for (std::int32_t i = 0; i < count; ++i) {
    if (i > 0) text += sep;
    text += ValueToText(i, exact);
  }
  return text;
}

// Device states packed into the value array: element 0 the state, element 1
// the layout of the rest.
std::string TChannel2::PackedStatesText(std::uint8_t kind) const {
  static constexpr std::string_view kAlarm = " А="_cp, kFault = " П="_cp;
  static constexpr std::string_view kAlarm1 = " А1="_cp, kAttention1 = " Ч1="_cp,
                                    kAlarm2 = " А2="_cp, kAttention2 = " Ч2="_cp,
                                    kFault1 = " П1="_cp, kFault2 = " П2="_cp;
  static constexpr std::string_view kGasLevel = " %НКПР="_cp;
  auto byteAt = [this](std::int32_t i) -> unsigned { return GetValueAt(i).ToUInt8(); };
  std::string text = ValueToText(0, false);
  const unsigned layout = byteAt(1);
  if (kind == kPackedCounters) {
    if (layout == 1) text += LabelledFields({kAlarm, kFault}, {byteAt(2), byteAt(3)});
    if (layout == 2)
      text += LabelledFields({kAlarm1, kAttention1, kAlarm2, kAttention2, kFault1, kFault2},
                             {byteAt(2), byteAt(3), byteAt(4), byteAt(5), byteAt(6), byteAt(7)});
  } else if (layout == 1) {
    text += std::string(kGasLevel) + std::to_string(GetValueAt(2).ToInt32());
  }
  return text;
}

}  // namespace kv
