#include "channels/ChannelIndex.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "channels/ChannelStore.h"
#include "runtime/Codepage.h"

namespace kv {
namespace {

constexpr std::size_t kFirstCapacity = 16;

// A table is never more than four fifths full: probe runs stay a few slots
// long, within one or two cache lines. The capacity for `entries`, or the
// current one when that suffices.
std::size_t CapacityFor(std::size_t entries, std::size_t current) {
  std::size_t capacity = std::max(current, kFirstCapacity);
  while (entries * 5 > capacity * 4) capacity *= 2;
  return capacity;
}

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;

inline std::uint64_t Mix(std::uint64_t h, std::uint64_t word) {
  h = (h ^ word) * kMultiplier;
  return h ^ (h >> 29);
}

inline unsigned char Upper(char c) { return static_cast<unsigned char>(AnsiUpperChar(c)); }

// Eight upper-cased characters (fewer at the end) as one word.
inline std::uint64_t UpperWord(const char* text, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t k = 0; k < count; ++k) word |= std::uint64_t{Upper(text[k])} << (8 * k);
  return word;
}

// Linear probing: is the home `home` of an entry at `at` outside the stretch
// (gap, at], so that the entry may move down into the gap?
bool MayMoveTo(std::size_t gap, std::size_t at, std::size_t home) {
  return gap <= at ? (home <= gap || home > at) : (home <= gap && home > at);
}

}  // namespace

// --- TAddressIndex ---

std::uint32_t TAddressIndex::Hash(std::string_view addr) noexcept {
  std::uint64_t h = addr.size();
  std::size_t i = 0;
  for (; i + 8 <= addr.size(); i += 8) h = Mix(h, UpperWord(addr.data() + i, 8));
  if (i < addr.size()) h = Mix(h, UpperWord(addr.data() + i, addr.size() - i));
  h *= kMultiplier;
  return static_cast<std::uint32_t>(h >> 32);
}

bool TAddressIndex::SameAddress(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  // A host names a channel the same way every time: the exact bytes first.
  if (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::uint32_t TAddressIndex::Find(std::string_view addr, std::uint32_t hash,
                                  const TChannelStore& store) const noexcept {
  if (count_ == 0) return kNoEntry;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const TSlot& slot = slots_[i];
    if (slot.position == kNoEntry) return kNoEntry;
    if (slot.hash == hash && SameAddress(addr, store[slot.position].Addr())) return slot.position;
  }
}

bool TAddressIndex::HasRoomFor(std::size_t entries) const noexcept {
  return CapacityFor(entries, slots_.size()) == slots_.size();
}

void TAddressIndex::Reserve(std::size_t entries) {
  const std::size_t capacity = CapacityFor(entries, slots_.size());
  if (capacity != slots_.size()) Rehash(capacity);
}

void TAddressIndex::Insert(std::string_view addr, std::uint32_t position,
                           const TChannelStore& store) {
  Reserve(count_ + 1);
  const std::uint32_t hash = Hash(addr);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    TSlot& slot = slots_[i];
    if (slot.position == kNoEntry) {
      slot = {hash, position};
      ++count_;
      return;
    }
    if (slot.hash == hash && SameAddress(addr, store[slot.position].Addr())) {
      hidden_.push_back(slot.position);
      slot.position = position;
      return;
    }
  }
}

void TAddressIndex::Erase(std::string_view addr, std::uint32_t position,
                          const TChannelStore& store) {
  if (count_ == 0) return;
  const std::uint32_t hash = Hash(addr);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    TSlot& slot = slots_[i];
    if (slot.position == kNoEntry) break;
    if (slot.position != position) continue;
    // The entry found now: the latest hidden one of the same address takes
    // its place, if any.
    for (auto it = hidden_.rbegin(); it != hidden_.rend(); ++it) {
      if (SameAddress(addr, store[*it].Addr())) {
        slot.position = *it;
        hidden_.erase(std::next(it).base());
        return;
      }
    }
    RemoveSlot(i);
    return;
  }
  const auto it = std::find(hidden_.begin(), hidden_.end(), position);
  if (it != hidden_.end()) hidden_.erase(it);
}

void TAddressIndex::Clear() noexcept {
  slots_.clear();
  slots_.shrink_to_fit();
  hidden_.clear();
  count_ = 0;
}

// Backward-shift deletion: no tombstones, so probe runs never lengthen.
void TAddressIndex::RemoveSlot(std::size_t gap) noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = (gap + 1) & mask; slots_[at].position != kNoEntry; at = (at + 1) & mask) {
    if (MayMoveTo(gap, at, slots_[at].hash & mask)) {
      slots_[gap] = slots_[at];
      gap = at;
    }
  }
  slots_[gap] = TSlot{};
  --count_;
}

void TAddressIndex::Rehash(std::size_t capacity) {
  const std::vector<TSlot> previous = std::exchange(slots_, std::vector<TSlot>(capacity));
  const std::size_t mask = slots_.size() - 1;
  for (const TSlot& entry : previous) {
    if (entry.position == kNoEntry) continue;
    std::size_t i = entry.hash & mask;
    while (slots_[i].position != kNoEntry) i = (i + 1) & mask;
    slots_[i] = entry;
  }
}

// --- TNumberIndex ---

std::size_t TNumberIndex::Home(std::uint32_t number) const noexcept {
  return static_cast<std::size_t>((number * kMultiplier) >> 32) & (slots_.size() - 1);
}

std::uint32_t TNumberIndex::Find(std::uint32_t number) const noexcept {
  if (count_ == 0 || number == 0) return kNoEntry;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = Home(number);; i = (i + 1) & mask) {
    if (slots_[i].number == number) return slots_[i].position;
    if (slots_[i].number == 0) return kNoEntry;
  }
}

void TNumberIndex::Reserve(std::size_t entries) {
  const std::size_t capacity = CapacityFor(entries, slots_.size());
  if (capacity != slots_.size()) Rehash(capacity);
}

void TNumberIndex::Set(std::uint32_t number, std::uint32_t position) {
  if (number == 0) return;
  Reserve(count_ + 1);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = Home(number);; i = (i + 1) & mask) {
    TSlot& slot = slots_[i];
    if (slot.number == number) {
      slot.position = position;
      return;
    }
    if (slot.number == 0) {
      slot = {number, position};
      ++count_;
      return;
    }
  }
}

void TNumberIndex::Erase(std::uint32_t number) noexcept {
  if (count_ == 0 || number == 0) return;
  const std::size_t mask = slots_.size() - 1;
  std::size_t gap = Home(number);
  for (;; gap = (gap + 1) & mask) {
    if (slots_[gap].number == 0) return;
    if (slots_[gap].number == number) break;
  }
  for (std::size_t at = (gap + 1) & mask; slots_[at].number != 0; at = (at + 1) & mask) {
    if (MayMoveTo(gap, at, Home(slots_[at].number))) {
      slots_[gap] = slots_[at];
      gap = at;
    }
  }
  slots_[gap] = TSlot{};
  --count_;
}

void TNumberIndex::Clear() noexcept {
  slots_.clear();
  slots_.shrink_to_fit();
  count_ = 0;
}

void TNumberIndex::Rehash(std::size_t capacity) {
  const std::vector<TSlot> previous = std::exchange(slots_, std::vector<TSlot>(capacity));
  const std::size_t mask = slots_.size() - 1;
  for (const TSlot& entry : previous) {
    if (entry.number == 0) continue;
    std::size_t i = Home(entry.number);
    while (slots_[i].number != 0) i = (i + 1) & mask;
    slots_[i] = entry;
  }
}

}  // namespace kv
