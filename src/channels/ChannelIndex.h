#pragma once
// The channel list's two look-ups, address -> position and number ->
// position, as open-addressing hash tables with linear probing over 8-byte
// slots: about 10 bytes a channel each, and a look-up nearly always reads
// one cache line of the table, then the channel itself. The address index
// keeps no copy of the addresses: it compares against the channels in the
// store, so an address is held once, in its channel.
//
// No lock of their own: their owner guards them. Look-ups only read, so
// several threads may look up at once while no one changes the table.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kv {

class TChannelStore;

// What a look-up answers for a key not entered.
inline constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;

// Addresses compared without regard to case by the ANSI rules of the Russian
// code page. Several channels may share an address: the one entered last is
// found; when it leaves, the one entered before it is found again.
class TAddressIndex {
 public:
  // The case-blind hash of an address.
  static std::uint32_t Hash(std::string_view addr) noexcept;
  static bool SameAddress(std::string_view a, std::string_view b) noexcept;

  std::uint32_t Find(std::string_view addr, const TChannelStore& store) const noexcept {
    return Find(addr, Hash(addr), store);
  }
  // The same with the address's Hash already at hand.
  std::uint32_t Find(std::string_view addr, std::uint32_t hash,
                     const TChannelStore& store) const noexcept;
  std::size_t Count() const noexcept { return count_; }
  // Makes room for `entries` entries: entering that many allocates nothing
  // more (unless addresses are shared).
  void Reserve(std::size_t entries);
  // Whether Reserve(entries) would leave the table as it is.
  bool HasRoomFor(std::size_t entries) const noexcept;
  // Enters `position`, whose channel in `store` now has address `addr`.
  void Insert(std::string_view addr, std::uint32_t position, const TChannelStore& store);
  // Removes `position`, entered under `addr` (its channel still has it).
  void Erase(std::string_view addr, std::uint32_t position, const TChannelStore& store);
  void Clear() noexcept;

 private:
  struct TSlot {
    std::uint32_t hash = 0;
    std::uint32_t position = kNoEntry;  // kNoEntry: empty
  };

  void Rehash(std::size_t capacity);
  void RemoveSlot(std::size_t gap) noexcept;

  std::vector<TSlot> slots_;  // a power of two in size, or empty
  std::size_t count_ = 0;
  // Positions hidden behind a later entry of the same address, oldest
  // first. Empty unless channels share addresses, which no caller of the
  // library makes.
  std::vector<std::uint32_t> hidden_;
};

// One channel per number; 0 is never entered.
class TNumberIndex {
 public:
  std::uint32_t Find(std::uint32_t number) const noexcept;
  // Makes room for `entries` entries: setting that many allocates nothing.
  void Reserve(std::size_t entries);
  // Maps number to position, replacing whatever it mapped to.
  void Set(std::uint32_t number, std::uint32_t position);
  void Erase(std::uint32_t number) noexcept;
  bool Contains(std::uint32_t number) const noexcept { return Find(number) != kNoEntry; }
  void Clear() noexcept;

 private:
  struct TSlot {
    std::uint32_t number = 0;  // 0: empty
    std::uint32_t position = kNoEntry;
  };

  std::size_t Home(std::uint32_t number) const noexcept;
  void Rehash(std::size_t capacity);

  std::vector<TSlot> slots_;
  std::size_t count_ = 0;
};

}  // namespace kv
