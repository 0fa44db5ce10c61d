#pragma once
// The channel's properties that live in its attributes (unit, comments,
// limits, alarm identifiers...): each reads or writes the attribute of its
// identifier (ChannelAttr), converted to the property's type. A base of
// TChannel2 without data of its own, so that the channel class keeps to its
// fields and the attribute list, and these forty-odd accessors sit apart.
// Getters raise the conversion errors of the attribute's value; a setter
// creates a missing attribute with AttributeTypeOf(id).
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Variant.h"

namespace kv {

class TChannel2;

class TChannelProperties {
 public:
  std::int16_t EUType() const;
  void SetEUType(std::int16_t v);
  Variant EUInfo1() const;
  void SetEUInfo1(const Variant& v);
  Variant EUInfo2() const;
  void SetEUInfo2(const Variant& v);
  std::int32_t EUInfo3() const;
  void SetEUInfo3(std::int32_t v);
  std::string Unit() const;
  void SetUnit(std::string_view v);
  std::string Comments() const;
  void SetComments(std::string_view v);
  std::string Prefix() const;
  void SetPrefix(std::string_view v);
  std::string Description() const;
  void SetDescription(std::string_view v);
  std::int16_t ConnectionQuality() const;
  void SetConnectionQuality(std::int16_t v);
  // The display format of Type while the attribute is absent or Empty.
  std::string FormatString() const;
  void SetFormatString(std::string_view v);
  bool Masked() const;
  void SetMasked(bool v);
  std::uint16_t DTYPE() const;
  void SetDTYPE(std::uint16_t v);
  std::uint16_t SYSM() const;
  void SetSYSM(std::uint16_t v);
  std::uint16_t Signification() const;
  void SetSignification(std::uint16_t v);
  // Three alarm identifiers; an index outside 0..2 reads 0 and writes nothing.
  std::int32_t AlarmID(int index) const;
  void SetAlarmID(int index, std::int32_t v);
  std::string AlarmMessage() const;
  void SetAlarmMessage(std::string_view v);
  std::string SoundFile() const;
  void SetSoundFile(std::string_view v);
  Variant Deadband() const;
  void SetDeadband(const Variant& v);
  Variant HiHiLimit() const;
  void SetHiHiLimit(const Variant& v);
  Variant HiLimit() const;
  void SetHiLimit(const Variant& v);
  Variant LoLimit() const;
  void SetLoLimit(const Variant& v);
  Variant LoLoLimit() const;
  void SetLoLoLimit(const Variant& v);
  bool WatchLimits() const;
  void SetWatchLimits(bool v);

 protected:
  TChannelProperties() = default;
  ~TChannelProperties() = default;

 private:
  TChannel2& Self() noexcept;
  const TChannel2& Self() const noexcept;
  std::string TextAttribute(std::uint16_t id) const;
  void SetTextAttribute(std::uint16_t id, std::string_view v);
};

}  // namespace kv
