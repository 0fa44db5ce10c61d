#include "channels/ChannelStore.h"

#include <algorithm>

namespace kv {

static_assert(sizeof(TChannel2) <= 128, "a channel should fill at most two cache lines");

void TChannelStore::Reserve(std::size_t count) {
  if (HasRoomFor(count)) return;
  chunks_.reserve(std::max(BlocksFor(count), 2 * chunks_.capacity()));
}

TChannel2& TChannelStore::Append(const TChannel2& source) {
  if ((size_ >> kChunkBits) == chunks_.size())
    chunks_.push_back(std::make_unique<TSlot[]>(kChunkSize));
  TSlot& slot = chunks_[size_ >> kChunkBits][size_ & kChunkMask];
  TChannel2* channel = new (slot.bytes) TChannel2(&source);
  ++size_;
  return *channel;
}

void TChannelStore::Clear() noexcept {
  for (std::size_t position = 0; position < size_; ++position) (*this)[position].~TChannel2();
  size_ = 0;
  chunks_.clear();
}

}  // namespace kv
