#include "channels/PositionSet.h"

#include <bit>

namespace kv {

namespace {

constexpr std::size_t kBits = 64;

constexpr std::uint64_t Bit(std::size_t index) noexcept {
  return std::uint64_t{1} << (index % kBits);
}

}  // namespace

void TPositionSet::Reserve(std::size_t count) {
  if (count == 0) return;
  const std::size_t word = (count - 1) / kBits;
  if (word < words_.size()) return;
  words_.resize(word + 1, 0);
  summary_.resize(word / kBits + 1, 0);
}

void TPositionSet::Insert(std::size_t position) {
  Reserve(position + 1);
  const std::size_t word = position / kBits;
  if (words_[word] & Bit(position)) return;
  words_[word] |= Bit(position);
  summary_[word / kBits] |= Bit(word);
  ++count_;
}

void TPositionSet::Erase(std::size_t position) {
  const std::size_t word = position / kBits;
  if (word >= words_.size() || !(words_[word] & Bit(position))) return;
  words_[word] &= ~Bit(position);
  if (words_[word] == 0) summary_[word / kBits] &= ~Bit(word);
  --count_;
}

bool TPositionSet::Contains(std::size_t position) const noexcept {
  const std::size_t word = position / kBits;
  return word < words_.size() && (words_[word] & Bit(position)) != 0;
}

std::size_t TPositionSet::NextFrom(std::size_t from) const noexcept {
  if (count_ == 0) return npos;
  std::size_t word = from / kBits;
  if (word >= words_.size()) return npos;
  // Bits of the first word below `from` are masked off.
  const std::uint64_t rest = words_[word] & (~std::uint64_t{0} << (from % kBits));
  if (rest != 0) return word * kBits + static_cast<std::size_t>(std::countr_zero(rest));
  word = NextWordFrom(word + 1);
  if (word == npos) return npos;
  return word * kBits + static_cast<std::size_t>(std::countr_zero(words_[word]));
}

// The first non-empty word at or after `word`, found through the summary.
std::size_t TPositionSet::NextWordFrom(std::size_t word) const noexcept {
  std::size_t block = word / kBits;
  if (block >= summary_.size()) return npos;
  std::uint64_t bits = summary_[block] & (~std::uint64_t{0} << (word % kBits));
  while (bits == 0) {
    if (++block >= summary_.size()) return npos;
    bits = summary_[block];
  }
  return block * kBits + static_cast<std::size_t>(std::countr_zero(bits));
}

void TPositionSet::Clear() noexcept {
  words_.clear();
  summary_.clear();
  count_ = 0;
}

}  // namespace kv
