#include "channels/PositionSet.h"

#include <atomic>
#include <bit>

namespace kv {

namespace {

constexpr std::size_t kBits = 64;

constexpr std::uint64_t Bit(std::size_t index) noexcept {
  return std::uint64_t{1} << (index % kBits);
}

using TWord = std::atomic_ref<std::uint64_t>;
using TCount = std::atomic_ref<std::size_t>;

std::uint64_t Load(const std::uint64_t& word) noexcept {
  return TWord(const_cast<std::uint64_t&>(word)).load(std::memory_order_acquire);
}

}  // namespace

void TPositionSet::Reserve(std::size_t count) {
  if (count == 0) return;
  const std::size_t word = (count - 1) / kBits;
  if (word < words_.size()) return;
  words_.resize(word + 1, 0);
  summary_.resize(word / kBits + 1, 0);
}

bool TPositionSet::HasRoomFor(std::size_t count) const noexcept {
  if (count == 0) return true;
  const std::size_t word = (count - 1) / kBits;
  return word < words_.capacity() && word / kBits < summary_.capacity();
}

bool TPositionSet::Insert(std::size_t position) {
  Reserve(position + 1);
  return InsertReserved(position);
}

bool TPositionSet::InsertReserved(std::size_t position) noexcept {
  const std::size_t word = position / kBits;
  const std::uint64_t before = TWord(words_[word]).fetch_or(Bit(position));
  if (before & Bit(position)) return false;
  // A word that held a member has its summary bit already: an Erase that
  // empties it later sees this member and leaves the bit.
  if (before == 0) TWord(summary_[word / kBits]).fetch_or(Bit(word));
  return TCount(count_).fetch_add(1) == 0;
}

void TPositionSet::Erase(std::size_t position) noexcept {
  if (EraseUncounted(position)) TCount(count_).fetch_sub(1);
}

void TPositionSet::Uncount(std::size_t erased) noexcept {
  if (erased != 0) TCount(count_).fetch_sub(erased);
}

bool TPositionSet::EraseUncounted(std::size_t position) noexcept {
  const std::size_t word = position / kBits;
  if (word >= words_.size()) return false;
  const std::uint64_t before = TWord(words_[word]).fetch_and(~Bit(position));
  if (!(before & Bit(position))) return false;
  if ((before & ~Bit(position)) != 0) return true;
  // The word looked empty: its summary bit goes, and comes back at once if
  // an Insert filled the word meanwhile (its own summary update may have
  // come before this one).
  TWord summary(summary_[word / kBits]);
  summary.fetch_and(~Bit(word));
  if (TWord(words_[word]).load() != 0) summary.fetch_or(Bit(word));
  return true;
}

bool TPositionSet::Contains(std::size_t position) const noexcept {
  const std::size_t word = position / kBits;
  return word < words_.size() && (Load(words_[word]) & Bit(position)) != 0;
}

std::size_t TPositionSet::Count() const noexcept {
  const std::size_t count = TCount(const_cast<std::size_t&>(count_)).load();
  // "Minus one" while an Erase runs ahead of its Insert: nothing to take.
  return count > words_.size() * kBits ? 0 : count;
}

std::size_t TPositionSet::NextFrom(std::size_t from) const noexcept {
  std::size_t word = from / kBits;
  if (word >= words_.size()) return npos;
  // Bits of the first word below `from` are masked off.
  const std::uint64_t rest = Load(words_[word]) & (~std::uint64_t{0} << (from % kBits));
  if (rest != 0) return word * kBits + static_cast<std::size_t>(std::countr_zero(rest));
  for (word = NextWordFrom(word + 1); word != npos; word = NextWordFrom(word + 1)) {
    // A word may empty between the summary's look and this one.
    if (const std::uint64_t bits = Load(words_[word]); bits != 0)
      return word * kBits + static_cast<std::size_t>(std::countr_zero(bits));
  }
  return npos;
}

// The first word at or after `word` that the summary marks non-empty.
std::size_t TPositionSet::NextWordFrom(std::size_t word) const noexcept {
  std::size_t block = word / kBits;
  if (block >= summary_.size()) return npos;
  std::uint64_t bits = Load(summary_[block]) & (~std::uint64_t{0} << (word % kBits));
  while (bits == 0) {
    if (++block >= summary_.size()) return npos;
    bits = Load(summary_[block]);
  }
  return block * kBits + static_cast<std::size_t>(std::countr_zero(bits));
}

void TPositionSet::Clear() noexcept {
  words_.clear();
  summary_.clear();
  count_ = 0;
}

}  // namespace kv
