#include "channels/ChannelText.h"

#include <cstdio>
#include <initializer_list>

#include "channels/Channel.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "values/DataTypes.h"
#include "values/ValueText.h"

namespace kv {

const TChannel2& TChannelText::Self() const noexcept {
  return static_cast<const TChannel2&>(*this);
}

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

// A device-form value: "?" unless the quality is good.
std::string FormatEUType3(std::uint16_t quality, const Variant& v) {
  if (quality != 0) return "?";
  return v.ToAnsi();
}

}  // namespace

std::string TChannelText::FullComments() const {
  const TChannel2& channel = Self();
  std::string text = channel.Prefix();
  if (!text.empty() && text.back() != ' ') text += ' ';
  return text + channel.Comments();
}

std::string TChannelText::SignificationText() const {
  return SignificationToText(Self().Signification());
}

std::string TChannelText::QualityText() const {
  const TChannel2& channel = Self();
  if (channel.EUType() == kEUTypeDevice && channel.HasNonEmptyAttribute(ChannelAttr::EUInfo3))
    return FormatEUType3(channel.Quality(), Variant::FromInt32(0));
  const auto ownText = static_cast<std::uint16_t>(ChannelAttr::QualityTextBase + channel.Quality());
  if (const TChannelAttribute* attribute = channel.FindAttribute(ownText))
    return attribute->Value().ToAnsi();
  return QualityToText(channel.Quality());
}

std::string TChannelText::ValueToText(std::int32_t index, bool exact) const {
  const TChannel2& channel = Self();
  static constexpr std::string_view kStatePrefix = "Value=";
  try {
    const Variant v = channel.GetValueAt(index);
    if (index == 0 && channel.EUType() == kEUTypeStates) {
      const Variant states = channel.EUInfo2();
      if (!states.IsEmpty()) {
        const std::int32_t n = v.ToInt32();
        if (states.IsArray() && n >= states.ArrayLow() && n <= states.ArrayHigh())
          return states.GetElement(n).ToAnsi();
        return std::string(kStatePrefix) + std::to_string(n);
      }
    }
    if (index == 0 && channel.EUType() == kEUTypeDevice &&
        channel.HasNonEmptyAttribute(ChannelAttr::EUInfo3))
      return FormatEUType3(channel.Quality(), v);
    const std::string format = exact ? PlainValueFormat(channel.Type()) : channel.FormatString();
    return FormatValue(channel.Type(), format, v);
  } catch (const Exception& e) {
    return e.Message();
  } catch (...) {
    return std::string("неизвестное исключение!"_cp);
  }
}

std::string TChannelText::ValuesText() const { return ValuesToText(std::nullopt, false); }

std::string TChannelText::ValuesToText(std::optional<std::string_view> separator,
                                       bool exact) const {
  const TChannel2& channel = Self();
  if (channel.Quality() != 0) return QualityText();
  const std::int32_t count = channel.ValueCount();
  const bool packed =
      !exact && (channel.Type() & 0x1000) != 0 && (count == 3 || count == 5 || count == 8) &&
      channel.HasNonEmptyAttribute(ChannelAttr::DTYPE) && channel.EUType() == kEUTypeDevice;
  if (packed) {
    const std::uint8_t kind = channel.GetAttributeValue(ChannelAttr::DTYPE).ToUInt8();
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
std::string TChannelText::PackedStatesText(std::uint8_t kind) const {
  const TChannel2& channel = Self();
  static constexpr std::string_view kAlarm = " А="_cp, kFault = " П="_cp;
  static constexpr std::string_view kAlarm1 = " А1="_cp, kAttention1 = " Ч1="_cp,
                                    kAlarm2 = " А2="_cp, kAttention2 = " Ч2="_cp,
                                    kFault1 = " П1="_cp, kFault2 = " П2="_cp;
  static constexpr std::string_view kGasLevel = " %НКПР="_cp;
  auto byteAt = [&channel](std::int32_t i) -> unsigned { return channel.GetValueAt(i).ToUInt8(); };
  std::string text = ValueToText(0, false);
  const unsigned layout = byteAt(1);
  if (kind == kPackedCounters) {
    if (layout == 1) text += LabelledFields({kAlarm, kFault}, {byteAt(2), byteAt(3)});
    if (layout == 2)
      text += LabelledFields({kAlarm1, kAttention1, kAlarm2, kAttention2, kFault1, kFault2},
                             {byteAt(2), byteAt(3), byteAt(4), byteAt(5), byteAt(6), byteAt(7)});
  } else if (layout == 1) {
    text += std::string(kGasLevel) + std::to_string(channel.GetValueAt(2).ToInt32());
  }
  return text;
}

}  // namespace kv
