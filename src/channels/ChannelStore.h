#pragma once
// TChannelStore: the channel list's master channels in list order, held in
// blocks of a fixed number of channels. A channel never moves once stored,
// a position maps to its channel with two loads, and neighbours in the list
// are neighbours in memory, so the send pass, which walks them in order,
// reads memory the processor can fetch ahead. No heap block per channel.
//
// Positions count from 0 in the order channels were appended; only Clear
// removes channels. No lock of its own: its owner guards it. A reader may
// look up a stored channel while Append runs on another thread, as long as
// the directory of blocks stays where it is: HasRoomFor tells, and Reserve
// makes room (moving the directory) while no one reads.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "channels/Channel.h"

namespace kv {

class TChannelStore {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TChannel2;
    using difference_type = std::ptrdiff_t;
    using pointer = TChannel2*;
    using reference = TChannel2&;

    Iterator(const TChannelStore* store, std::size_t position)
        : store_(store), position_(position) {}
    TChannel2& operator*() const { return (*store_)[position_]; }
    TChannel2* operator->() const { return &(*store_)[position_]; }
    Iterator& operator++() {
      ++position_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return position_ == other.position_; }

   private:
    const TChannelStore* store_;
    std::size_t position_;
  };

  TChannelStore() = default;
  TChannelStore(const TChannelStore&) = delete;
  TChannelStore& operator=(const TChannelStore&) = delete;
  ~TChannelStore() { Clear(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // The channel at a position below size(). A stored channel may be changed
  // through a const store: constness covers the list's shape only.
  TChannel2& operator[](std::size_t position) const noexcept {
    TSlot& slot = chunks_[position >> kChunkBits][position & kChunkMask];
    return *std::launder(reinterpret_cast<TChannel2*>(slot.bytes));
  }
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size_); }

  // Whether `count` channels fit without moving the directory of blocks.
  bool HasRoomFor(std::size_t count) const noexcept {
    return BlocksFor(count) <= chunks_.capacity();
  }
  // Room in the directory for at least `count` channels (doubling it).
  void Reserve(std::size_t count);
  // Stores a full copy of source (TChannel2(&source)) at position size().
  TChannel2& Append(const TChannel2& source);
  // Destroys every channel in list order.
  void Clear() noexcept;

 private:
  static constexpr std::size_t kChunkBits = 8;  // 256 channels, 32 KiB a block
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kChunkMask = kChunkSize - 1;
  static std::size_t BlocksFor(std::size_t count) noexcept {
    return (count + kChunkMask) >> kChunkBits;
  }
  // Whole cache lines per channel, so that no channel straddles more lines
  // than it fills.
  struct alignas(64) TSlot {
    unsigned char bytes[(sizeof(TChannel2) + 63) / 64 * 64];
  };

  std::vector<std::unique_ptr<TSlot[]>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace kv
