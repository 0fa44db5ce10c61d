#pragma once
// An ordered set of list positions (small non-negative integers) kept as a
// two-level bitmap: one bit per position, and one summary bit per 64-bit word
// that has any bit set. Insert, Erase and Contains are O(1); finding the next
// member skips empty stretches 4096 positions at a time, so walking a set of
// k members among n positions costs about k + n / 4096 steps, and an empty
// set answers at once. The channel list records with it which channels have
// send work pending.
//
// Threads: InsertReserved and Erase may run at the same time as each other
// and as Insert, Contains, NextFrom and Count on other threads (the bits are
// changed with atomic operations, and no member is ever lost: a word that
// gains a bit while another thread empties it keeps its summary bit).
// Reserve, Insert, Contains, NextFrom and Count read or change the set's
// size: one thread at a time, and while InsertReserved runs elsewhere only a
// Reserve that HasRoomFor says moves nothing. Clear needs the set to itself.
// Its owner's locks see to that.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv {

class TPositionSet {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Makes room for positions below `count`: inserting one of them never
  // allocates afterwards.
  void Reserve(std::size_t count);
  // Whether Reserve(count) would leave the set's storage where it is.
  bool HasRoomFor(std::size_t count) const noexcept;
  // True when the set was empty before (as far as the count tells at once;
  // Count() may lag a racing Erase by a moment, never for good).
  bool Insert(std::size_t position);
  // Insert of a position below the reserved count; reads nothing that
  // Reserve changes.
  bool InsertReserved(std::size_t position) noexcept;
  void Erase(std::size_t position) noexcept;
  // Erase without the count, for a thread that erases many in a row and
  // counts them at the end with Uncount (one atomic step instead of one per
  // member; meanwhile Count() tells too many, never too few). True when
  // `position` was a member.
  bool EraseUncounted(std::size_t position) noexcept;
  void Uncount(std::size_t erased) noexcept;
  bool Contains(std::size_t position) const noexcept;
  // The smallest member not below `from`, or npos.
  std::size_t NextFrom(std::size_t from) const noexcept;
  std::size_t Count() const noexcept;
  bool Empty() const noexcept { return Count() == 0; }
  void Clear() noexcept;

 private:
  std::size_t NextWordFrom(std::size_t word) const noexcept;

  std::vector<std::uint64_t> words_;    // bit p % 64 of word p / 64
  std::vector<std::uint64_t> summary_;  // bit w % 64 of summary w / 64: word w non-zero
  // Inserts minus erases, modulo 2^N: an Erase may count before the Insert
  // it undoes, so the sum passes through "minus one" for a moment.
  std::size_t count_ = 0;
};

}  // namespace kv
