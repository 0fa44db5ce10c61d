#pragma once
// A channel of the host: address and number, data type, current value with
// its time stamp and quality, the switches the server needs, an open list of
// typed attributes, and the Flags word that tells the worker thread what it
// still has to send.
//
// Ownership: a channel owns its attributes (held by value). A channel object
// is either private to one thread or a master copy owned by the channel list;
// master copies are read and written only under the list's locks: time
// stamp, quality and value under the lock of the channel's stripe and its
// own state lock (see TValuePath), everything else under the list's lock
// (see TChannelList2).
// The channel itself takes no lock and never sets or clears a send flag on
// its own.
//
// Layout: the list keeps 100 000 channels and more, and a host's value call
// touches one of them at random, so the object is kept to two cache lines
// (the address held inside it), with everything such a call and the send
// pass read in the first.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelAttribute.h"
#include "channels/ChannelProperties.h"
#include "channels/ChannelText.h"
#include "runtime/Calendar.h"
#include "runtime/CompactString.h"
#include "runtime/Variant.h"

namespace kv {

// Send bits of TChannel2::Flags. Whoever sets one on a master channel while
// holding the list's lock must tell the list (TChannelList2::MarkPending), or
// set it through the list (SetSendFlags, or inside ChangeByAddress).
inline constexpr std::uint16_t NeedRegister = 0x4000;
inline constexpr std::uint16_t NeedSendValue = 0x8000;

// Field mask of TChannel2::Assign and of the list's updates.
namespace ChannelField {
inline constexpr std::uint16_t Addr = 0x0001;
inline constexpr std::uint16_t Number = 0x0002;
inline constexpr std::uint16_t Type = 0x0004;
inline constexpr std::uint16_t MergeAttributes = 0x0008;
inline constexpr std::uint16_t ReplaceAttributes = 0x0010;  // implies the merge
inline constexpr std::uint16_t Active = 0x0020;
inline constexpr std::uint16_t UserValue = 0x0040;  // with UserData1 and UserData2
inline constexpr std::uint16_t Owner = 0x0080;
inline constexpr std::uint16_t DT = 0x0100;
inline constexpr std::uint16_t Quality = 0x0200;
inline constexpr std::uint16_t Value = 0x0400;
inline constexpr std::uint16_t Creator = 0x0800;
inline constexpr std::uint16_t WriteEnable = 0x1000;
inline constexpr std::uint16_t Flags = 0x2000;
inline constexpr std::uint16_t SaveValue = 0x4000;
inline constexpr std::uint16_t Groups = 0x8000;
inline constexpr std::uint16_t All = 0xFFFF;
// Time stamp, quality and value: on a master channel only the value path
// reads them safely while host threads store (TChannelList2::CopyOut).
inline constexpr std::uint16_t ValueState = DT | Quality | Value;
}  // namespace ChannelField

// Attribute identifiers behind the channel's properties.
namespace ChannelAttr {
inline constexpr std::uint16_t EUType = 7;
inline constexpr std::uint16_t EUInfo1 = 9;
inline constexpr std::uint16_t EUInfo2 = 10;
inline constexpr std::uint16_t EUInfo3 = 11;
inline constexpr std::uint16_t Unit = 100;
inline constexpr std::uint16_t Comments = 101;
inline constexpr std::uint16_t Prefix = 112;
inline constexpr std::uint16_t SoundFile = 205;
inline constexpr std::uint16_t AlarmMessage = 301;
inline constexpr std::uint16_t Deadband = 306;
inline constexpr std::uint16_t HiHiLimit = 307;
inline constexpr std::uint16_t HiLimit = 308;
inline constexpr std::uint16_t LoLimit = 309;
inline constexpr std::uint16_t LoLoLimit = 310;
inline constexpr std::uint16_t WatchLimits = 314;
inline constexpr std::uint16_t Description = 5000;
inline constexpr std::uint16_t ConnectionQuality = 5001;
inline constexpr std::uint16_t FormatString = 5002;
inline constexpr std::uint16_t Masked = 5003;
inline constexpr std::uint16_t DTYPE = 5004;
inline constexpr std::uint16_t SYSM = 5005;
inline constexpr std::uint16_t AlarmID = 5006;
inline constexpr std::uint16_t Signification = 5009;
// 5100 + q holds the channel's own text for quality q.
inline constexpr std::uint16_t QualityTextBase = 5100;
}  // namespace ChannelAttr

// Data type a property setter gives an attribute it has to create.
std::uint16_t AttributeTypeOf(std::uint16_t id) noexcept;

class TChannelList2;

// The attribute-backed properties (TChannelProperties) and the texts
// (TChannelText) are bases without data of their own, in their own files.
class TChannel2 : public TChannelProperties, public TChannelText {
 public:
  // The state after Clear().
  TChannel2();
  // A full copy of source (Assign(source, All) over zeroed fields); the same
  // as TChannel2() when source is null.
  explicit TChannel2(const TChannel2* source);
  TChannel2(const TChannel2&) = delete;
  TChannel2& operator=(const TChannel2&) = delete;
  ~TChannel2();

  // Creator = the client's owner number, Owner -32768, Quality 2, everything
  // else zero or empty; frees the attributes.
  void Clear();
  // Copies the fields of source that `mask` selects (ChannelField bits).
  // Null source, or this channel itself, changes nothing.
  void Assign(const TChannel2* source, std::uint16_t mask = ChannelField::All);

  // --- plain fields ---
  std::int16_t Creator() const noexcept { return creator_; }
  void SetCreator(std::int16_t v) noexcept { creator_ = v; }
  std::uint32_t Number() const noexcept { return number_; }
  void SetNumber(std::uint32_t v) noexcept { number_ = v; }
  std::string NumberStr() const;
  // ID and Addr are the same field. The view lasts until the address changes.
  std::string_view ID() const noexcept { return addr_.View(); }
  void SetID(std::string_view v) { addr_.Assign(v); }
  std::string_view Addr() const noexcept { return addr_.View(); }
  void SetAddr(std::string_view v) { addr_.Assign(v); }
  std::uint16_t Type() const noexcept { return type_; }
  void SetType(std::uint16_t v) noexcept { type_ = v; }
  std::string TypeText() const;
  bool Active() const noexcept { return active_; }
  void SetActive(bool v) noexcept { active_ = v; }
  bool WriteEnable() const noexcept { return writeEnable_; }
  void SetWriteEnable(bool v) noexcept { writeEnable_ = v; }
  bool SaveValue() const noexcept { return saveValue_; }
  void SetSaveValue(bool v) noexcept { saveValue_ = v; }
  std::uint32_t Groups() const noexcept { return user_ ? user_->groups : 0; }
  void SetGroups(std::uint32_t v) { SetUserNumber(&TUserFields::groups, v); }
  std::int16_t Owner() const noexcept { return owner_; }
  void SetOwner(std::int16_t v) noexcept { owner_ = v; }
  TDateTime DT() const noexcept { return dt_; }
  void SetDT(TDateTime v) noexcept { dt_ = v; }
  // One byte, published as 16 bits: writing keeps the low 8 bits.
  std::uint16_t Quality() const noexcept { return quality_; }
  void SetQuality(std::uint16_t v) noexcept { quality_ = static_cast<std::uint8_t>(v); }
  std::string_view UserValue() const noexcept {
    return user_ ? user_->value.View() : std::string_view();
  }
  void SetUserValue(std::string_view v) {
    if (!v.empty() || user_) User().value.Assign(v);
  }
  // The Flags word is atomic: on a master channel the host's value calls set
  // NeedSendValue while the worker clears send bits under the list's lock,
  // so a change of some bits must never write back others it read earlier.
  std::uint16_t Flags() const noexcept { return flags_.load(std::memory_order_relaxed); }
  void SetFlags(std::uint16_t v) noexcept { flags_.store(v, std::memory_order_relaxed); }
  // Set / clear bits in one atomic step; the word as it was before.
  std::uint16_t AddFlags(std::uint16_t bits) noexcept { return flags_.fetch_or(bits); }
  std::uint16_t RemoveFlags(std::uint16_t bits) noexcept {
    return flags_.fetch_and(static_cast<std::uint16_t>(~bits));
  }
  std::uint32_t UserData1() const noexcept { return user_ ? user_->data1 : 0; }
  void SetUserData1(std::uint32_t v) { SetUserNumber(&TUserFields::data1, v); }
  std::uint32_t UserData2() const noexcept { return user_ ? user_->data2 : 0; }
  void SetUserData2(std::uint32_t v) { SetUserNumber(&TUserFields::data2, v); }

  // --- value ---
  // DT, Quality and Value of a master channel belong to the value path:
  // read them through TChannelList2::ReadValue or a copy of the channel.
  const Variant& Value() const noexcept { return value_; }
  // Stores the value converted to Type; a value that does not convert is
  // dropped and the old one stays. Quality, DT and Owner are not touched.
  void SetValue(const Variant& value);
  // Elements of an array value, else 1 (Empty included).
  std::int32_t ValueCount() const;
  // A scalar value whatever the index; an array element inside the bounds;
  // Empty otherwise.
  Variant GetValueAt(std::int32_t index) const;

  // --- attributes (linear search in insertion order) ---
  // A pointer to an attribute lasts until an attribute is added or removed.
  std::uint16_t AttributeCount() const noexcept;
  TChannelAttribute* AttributeByIndex(int index) noexcept;
  const TChannelAttribute* AttributeByIndex(int index) const noexcept;
  TChannelAttribute* FindAttribute(std::uint16_t id) noexcept;
  const TChannelAttribute* FindAttribute(std::uint16_t id) const noexcept;
  void ClearAttributes() noexcept;
  // A copy of the attribute's value, Empty when there is none.
  Variant GetAttributeValue(std::uint16_t id) const;
  // SetOwnedAttributeValue(id, Creator, value).
  void SetAttributeValue(std::uint16_t id, const Variant& value);
  // Writes value into the attribute (converted to its type; a new attribute
  // gets AttributeTypeOf(id)) and stamps owner and the current local time,
  // even when the value did not convert.
  void SetOwnedAttributeValue(std::uint16_t id, std::int16_t owner, const Variant& value);
  // Copies attribute into the first one with its ID, or appends a copy;
  // true only when it appended. The caller keeps its object.
  bool MergeAttribute(const TChannelAttribute* attribute);
  // MergeAttribute of an attribute built from the arguments.
  bool SetAttribute(std::uint16_t id, std::uint16_t type, const Variant& value, std::int16_t owner,
                    TDateTime lastChange);
  // The attribute exists and holds a value.
  bool HasNonEmptyAttribute(std::uint16_t id) const;

  // --- predicates ---
  bool IsFromDriver() const noexcept { return owner_ < 0; }
  bool IsFromServer() const noexcept { return owner_ == 0; }
  bool IsFromNetwork() const noexcept { return owner_ > 0; }
  bool Valid() const noexcept { return !addr_.Empty(); }
  // The send pass has something to do: a registration, or a value of an
  // active channel that has a number (values travel by number).
  bool HasSendWork() const noexcept {
    const std::uint16_t flags = Flags();
    return (flags & NeedRegister) != 0 || ((flags & NeedSendValue) != 0 && active_ && number_ != 0);
  }

  // What the send pass needs of source besides time stamp, quality and
  // value (which TValuePath copies), copied exactly: address,
  // number, type, switches, flags, owner and creator; with `allAttributes`
  // every attribute, with `displayAttributes` those that ValuesText may
  // read, otherwise none. Reuses the storage this channel holds.
  void CopySendFields(const TChannel2& source, bool allAttributes, bool displayAttributes);
  // Whether ValuesText may read attribute id (whatever the quality).
  static bool IsDisplayAttribute(std::uint16_t id) noexcept;

  // --- kept by the owning list only ---
  // What the list keeps in its master channels; only the list can make the
  // key, so only it writes them, while anyone may read them.
  class TListKey {
    friend class TChannelList2;
    TListKey() = default;
  };
  // Position in the owning list; kNoPosition for a channel it does not own.
  static constexpr std::uint32_t kNoPosition = 0xFFFFFFFF;
  std::uint32_t ListPosition() const noexcept { return listPosition_; }
  void SetListPosition(TListKey, std::uint32_t position) noexcept { listPosition_ = position; }
  // The list handed Number out itself (rather than taking it from the caller
  // or an update).
  bool NumberHandedOut() const noexcept { return numberHandedOut_; }
  void SetNumberHandedOut(TListKey, bool v) noexcept { numberHandedOut_ = v; }
  // A kept value of the history as the send pass encodes it (the value
  // shares its heap block).
  void SetKeptValue(TListKey, std::uint32_t number, std::uint16_t type, TDateTime dt,
                    std::uint8_t quality, const Variant& value) {
    number_ = number;
    type_ = type;
    dt_ = dt;
    quality_ = quality;
    value_ = value;
  }

 private:
  void AssignAttributes(const TChannel2& source, std::uint16_t mask);

  // First cache line: what a value registration, the change test and the
  // send pass read.
  TCompactString addr_;
  alignas(8) TDateTime dt_ = 0;  // loaded as one atomic word
  Variant value_;
  std::uint32_t number_ = 0;
  std::uint16_t type_ = 0;
  std::atomic<std::uint16_t> flags_ = 0;
  std::uint8_t quality_ = 0;
  bool active_ : 1 = false;
  bool writeEnable_ : 1 = false;
  bool saveValue_ : 1 = false;
  // Never copied (see NumberHandedOut).
  bool numberHandedOut_ : 1 = false;
  std::int16_t owner_ = 0;
  std::int16_t creator_ = 0;
  // The rest.
  std::vector<TChannelAttribute> attributes_;
  // Fields the library itself never sets: held apart, and only once one of
  // them is set, so that a channel keeps to its two cache lines.
  struct TUserFields {
    TCompactString value;
    std::uint32_t groups = 0;
    std::uint32_t data1 = 0;
    std::uint32_t data2 = 0;
  };
  TUserFields& User() {
    if (!user_) user_ = std::make_unique<TUserFields>();
    return *user_;
  }
  // A zero needs no block of its own.
  void SetUserNumber(std::uint32_t TUserFields::*field, std::uint32_t v) {
    if (v != 0 || user_) User().*field = v;
  }
  std::unique_ptr<TUserFields> user_;
  // Never copied by Assign (see ListPosition).
  std::uint32_t listPosition_ = kNoPosition;
  // Kept by the value path only, never copied (see TValuePath): rises by 2
  // with every change of time stamp, quality or value on a master channel,
  // and is odd while a host's call holds the channel's state lock.
  std::atomic<std::uint32_t> valueSequence_ = 0;
  // The sequence number of the value state the send pass last sent: a value
  // marked again after it was copied out is not sent twice. kNothingSent:
  // none since the last full resend.
  static constexpr std::uint32_t kNothingSent = 1;
  std::uint32_t sentSequence_ = kNothingSent;
  // Kept by the value path's history only, never copied (see
  // TValueHistory): whether the channel may send, and how many of its
  // values the history keeps that the worker has not taken yet.
  std::atomic<std::uint32_t> historyState_ = 0;

  // The value path owns time stamp, quality and value of master channels and
  // their sequence numbers (a sequence lock): it reads and writes the fields
  // themselves.
  friend class TValuePath;
  friend class TValueHistory;
};

}  // namespace kv
