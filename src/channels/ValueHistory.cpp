#include "channels/ValueHistory.h"

#include <algorithm>
#include <bit>
#include <new>

#include "platform/Clock.h"

namespace kv {

void TValueHistory::SetLimits(TLimits limits) {
  limits_ = limits;
  if (limits.bytes == 0) return;
  indexSize_ = std::bit_ceil(std::max<std::uint64_t>(64, limits.bytes / sizeof(TRecord)));
  stripeOf_ = std::make_unique<std::atomic<std::uint8_t>[]>(static_cast<std::size_t>(indexSize_));
}

void TValueHistory::Clear() noexcept {
  FreeRetired();
  for (std::size_t stripe = 0; stripe < kStripes; ++stripe) {
    TQueue& queue = queues_[stripe];
    TChunk* chunk = queue.first.exchange(nullptr);
    while (chunk != nullptr) {
      TChunk* next = chunk->next.load();
      delete chunk;
      chunk = next;
    }
    queue.last = nullptr;
    summaries_[stripe].kept.store(0);
    cursors_[stripe] = TCursor{};
  }
  atEnd_ = 0;
  passedOver_.clear();
  bytes_.store(0);
  values_.store(0);
  dropFrom_.store(orders_.load());
}

const TValueHistory::TRecord& TValueHistory::TTaken::Record() const noexcept {
  return chunk->slots[slot];
}

// --- host threads ---

bool TValueHistory::Keep(std::size_t stripe, TChannel2& master, std::uint32_t position) noexcept {
  TQueue& queue = queues_[stripe];
  TChunk* chunk = queue.last;
  if (chunk == nullptr || chunk->used.load(std::memory_order_relaxed) == kSlots) {
    TChunk* fresh = new (std::nothrow) TChunk;
    if (fresh == nullptr) {
      droppedBound_.fetch_add(1, std::memory_order_relaxed);
      master.historyState_.fetch_sub(1);
      return false;
    }
    fresh->serial = ++queue.serials;
    if (chunk == nullptr)
      queue.first.store(fresh, std::memory_order_release);
    else
      chunk->next.store(fresh, std::memory_order_release);
    queue.last = fresh;
    chunk = fresh;
    // Once a chunk: the front's chunks whose records are all gone leave.
    UnlinkFront(stripe);
  }
  const std::uint32_t slot = chunk->used.load(std::memory_order_relaxed);
  TRecord& record = chunk->slots[slot];
  record.dt = master.dt_;
  record.quality = master.quality_;
  record.type = master.type_;
  record.value = master.value_;  // shares its heap block
  record.position = position;
  record.order = orders_.fetch_add(1, std::memory_order_relaxed);
  stripeOf_[record.order & (indexSize_ - 1)].store(static_cast<std::uint8_t>(stripe),
                                                   std::memory_order_relaxed);
  record.handedOver = limits_.maxAgeMs != 0 ? platform::TickCount() : 0;
  record.bytes = static_cast<std::uint32_t>(sizeof(TRecord) + record.value.HeapBytes());
  TSummary& summary = summaries_[stripe];
  if (summary.kept.load(std::memory_order_relaxed) == 0)
    summary.oldest.store(record.order, std::memory_order_relaxed);
  summary.kept.fetch_add(1, std::memory_order_relaxed);
  bytes_.fetch_add(record.bytes, std::memory_order_relaxed);
  values_.fetch_add(1, std::memory_order_relaxed);
  record.state.store(kKept, std::memory_order_release);
  chunk->used.store(slot + 1, std::memory_order_release);
  queue.added.fetch_add(1, std::memory_order_release);
  return true;
}

TValueHistory::TVictim TValueHistory::NextVictim() const noexcept {
  const std::uint64_t next = dropFrom_.load(std::memory_order_relaxed);
  const std::uint64_t end = orders_.load(std::memory_order_relaxed);
  // Beyond the ring's length its entry was written over.
  if (next >= end || end - next > indexSize_) return OldestStripe();
  TVictim victim;
  victim.stripe = stripeOf_[next & (indexSize_ - 1)].load(std::memory_order_relaxed);
  victim.rival = true;
  victim.rivalOrder = next;
  victim.fromIndex = true;
  return victim;
}

TValueHistory::TVictim TValueHistory::OldestStripe() const noexcept {
  // The two smallest of order * kStripes + stripe, stripes without kept
  // records counting as the largest; without branches on the orders, which
  // follow no pattern.
  constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::uint64_t first = kNone;
  std::uint64_t second = kNone;
  for (std::size_t stripe = 0; stripe < kStripes; ++stripe) {
    const TSummary& summary = summaries_[stripe];
    const std::uint64_t key = summary.oldest.load(std::memory_order_relaxed) * kStripes + stripe;
    const std::uint64_t candidate = summary.kept.load(std::memory_order_relaxed) != 0 ? key : kNone;
    second = std::min(second, std::max(first, candidate));
    first = std::min(first, candidate);
  }
  TVictim victim;
  if (first == kNone) return victim;
  victim.stripe = static_cast<std::size_t>(first % kStripes);
  victim.rival = second != kNone;
  victim.rivalOrder = second / kStripes;
  return victim;
}

TValueHistory::TRecord* TValueHistory::FirstKept(TQueue& queue, TChunk*& chunk,
                                                 TChunk*& before) noexcept {
  before = nullptr;
  // Where the last search ended, as long as the front chunk is the same and
  // the worker gave nothing back.
  const std::uint32_t reverts = queue.reverts.load(std::memory_order_acquire);
  chunk = queue.first.load(std::memory_order_acquire);
  std::uint32_t from = 0;
  if (chunk != nullptr && chunk->serial == queue.frontSerial && reverts == queue.frontReverts)
    from = queue.frontSlot;
  for (; chunk != nullptr;
       before = chunk, chunk = chunk->next.load(std::memory_order_acquire), from = 0) {
    const std::uint32_t used = chunk->used.load(std::memory_order_acquire);
    if (chunk->gone.load(std::memory_order_acquire) == used) continue;
    for (std::uint32_t slot = from; slot < used; ++slot) {
      if (chunk->slots[slot].state.load(std::memory_order_acquire) != kKept) continue;
      if (before == nullptr) {
        queue.frontSerial = chunk->serial;
        queue.frontSlot = slot;
        queue.frontReverts = reverts;
      }
      return &chunk->slots[slot];
    }
  }
  return nullptr;
}

TValueHistory::TDrop TValueHistory::DropOldest(const TVictim& victim) noexcept {
  const std::size_t stripe = victim.stripe;
  TDrop drop;
  TQueue& queue = queues_[stripe];
  TSummary& summary = summaries_[stripe];
  TChunk* chunk = nullptr;
  TChunk* before = nullptr;
  TRecord* record = FirstKept(queue, chunk, before);
  const std::uint64_t order = record != nullptr ? record->order : orders_.load();
  // What the stripe tells of its oldest is a lower bound: now exact.
  std::uint64_t bound = summary.oldest.load(std::memory_order_relaxed);
  while (bound < order &&
         !summary.oldest.compare_exchange_weak(bound, order, std::memory_order_relaxed)) {
  }
  std::uint8_t expected = kKept;
  if (record == nullptr || (victim.rival && victim.rivalOrder < order) ||
      !record->state.compare_exchange_strong(expected, kGone)) {
    // The index's order was in this stripe: when the stripe's oldest is
    // newer, that order is gone.
    if (victim.fromIndex && victim.rivalOrder < order) Passed(victim.rivalOrder);
    return drop;
  }
  drop.dropped = true;
  drop.position = record->position;
  drop.lastOfChannel = Dropped(stripe, *chunk, *record, droppedBound_);
  DropFromAtLeast(order + 1);
  if (Exhausted(*chunk) && chunk->next.load(std::memory_order_relaxed) != nullptr)
    UnlinkOne(stripe, before, chunk);
  return drop;
}

bool TValueHistory::Dropped(std::size_t stripe, TChunk& chunk, TRecord& record,
                            std::atomic<std::uint64_t>& counter) noexcept {
  summaries_[stripe].kept.fetch_sub(1, std::memory_order_relaxed);
  TChannel2& master = store_[record.position];
  const bool last = (master.historyState_.fetch_sub(1) & kCountMask) == 1;
  counter.fetch_add(1, std::memory_order_relaxed);
  Finish(chunk, record);
  return last;
}

void TValueHistory::Finish(TChunk& chunk, TRecord& record) noexcept {
  bytes_.fetch_sub(record.bytes, std::memory_order_relaxed);
  values_.fetch_sub(1, std::memory_order_relaxed);
  record.value = Variant();
  // The last touch outside the lock: a chunk whose records are all gone may
  // be freed at once.
  chunk.gone.fetch_add(1, std::memory_order_acq_rel);
}

void TValueHistory::UnlinkFront(std::size_t stripe) noexcept {
  TQueue& queue = queues_[stripe];
  TChunk* end = queue.first.load(std::memory_order_relaxed);
  TChunk* list = nullptr;
  while (Exhausted(*end)) {
    TChunk* next = end->next.load(std::memory_order_relaxed);
    if (next == nullptr) break;  // the last one stays: records are added to it
    end->unlinked = true;
    end->freeNext = list;
    list = end;
    end = next;
  }
  if (list == nullptr) return;
  queue.first.store(end, std::memory_order_release);
  HostFree(list);
}

void TValueHistory::UnlinkOne(std::size_t stripe, TChunk* before, TChunk* chunk) noexcept {
  TQueue& queue = queues_[stripe];
  TChunk* next = chunk->next.load(std::memory_order_relaxed);
  if (before == nullptr)
    queue.first.store(next, std::memory_order_release);
  else
    before->next.store(next, std::memory_order_release);
  chunk->unlinked = true;
  chunk->freeNext = nullptr;
  HostFree(chunk);
}

void TValueHistory::HostFree(TChunk* list) noexcept {
  // The worker may be reading them: then it frees them when it is not.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (!reading_.load()) {
    Free(list);
    return;
  }
  while (list != nullptr) {
    TChunk* next = list->freeNext;
    list->freeNext = retired_.load(std::memory_order_relaxed);
    while (!retired_.compare_exchange_weak(list->freeNext, list, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
    list = next;
  }
}

void TValueHistory::Passed(std::uint64_t order) noexcept {
  std::uint64_t expected = order;
  dropFrom_.compare_exchange_strong(expected, order + 1, std::memory_order_relaxed);
}

void TValueHistory::DropFromAtLeast(std::uint64_t next) noexcept {
  std::uint64_t now = dropFrom_.load(std::memory_order_relaxed);
  while (now < next && !dropFrom_.compare_exchange_weak(now, next, std::memory_order_relaxed)) {
  }
}

void TValueHistory::DropFromAtMost(std::uint64_t order) noexcept {
  std::uint64_t now = dropFrom_.load(std::memory_order_relaxed);
  while (order < now && !dropFrom_.compare_exchange_weak(now, order, std::memory_order_relaxed)) {
  }
}

void TValueHistory::Free(TChunk* list) noexcept {
  while (list != nullptr) {
    TChunk* next = list->freeNext;
    delete list;
    list = next;
  }
}

// --- the worker ---

void TValueHistory::SetLinkUp(bool up) noexcept {
  if (up) {
    // Records taken back at the end of the last connection lie behind the
    // cursors: the sweep starts again from the front.
    for (TCursor& cursor : cursors_) cursor = TCursor{};
    atEnd_ = 0;
    passedOver_.clear();
    rescan_.store(false, std::memory_order_relaxed);
  }
  linkUp_.store(up);
}

void TValueHistory::SetSendable(TChannel2& master, bool sendable) noexcept {
  if (!sendable) {
    master.historyState_.fetch_and(kCountMask);
    return;
  }
  const std::uint32_t before = master.historyState_.fetch_or(kSendable);
  if ((before & kSendable) == 0 && (before & kCountMask) != 0)
    rescan_.store(true, std::memory_order_relaxed);
}

TValueHistory::TReading::TReading(TValueHistory& history) noexcept : history_(history) {
  history_.FreeRetired();
  history_.reading_.store(true);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

TValueHistory::TReading::~TReading() {
  // No chunk pointer outlives the reading: hosts may free the chunks now.
  for (TCursor& cursor : history_.cursors_) cursor.chunk = nullptr;
  history_.reading_.store(false, std::memory_order_release);
}

void TValueHistory::FreeRetired() noexcept {
  Free(retired_.exchange(nullptr, std::memory_order_acquire));
}

TValueHistory::TChunk* TValueHistory::CursorChunk(std::size_t stripe) noexcept {
  TCursor& cursor = cursors_[stripe];
  if (cursor.chunk != nullptr) return cursor.chunk;
  // Chunks before the cursor's may have gone, its own too (then every
  // record in it had gone: the cursor goes on at the next one).
  for (TChunk* chunk = queues_[stripe].first.load(std::memory_order_acquire); chunk != nullptr;
       chunk = chunk->next.load(std::memory_order_acquire)) {
    if (chunk->serial < cursor.serial) continue;
    if (chunk->serial > cursor.serial) {
      cursor.serial = chunk->serial;
      cursor.slot = 0;
    }
    cursor.chunk = chunk;
    return chunk;
  }
  return nullptr;
}

void TValueHistory::AtEnd(std::size_t stripe, std::uint64_t added) noexcept {
  atEnd_ |= std::uint64_t{1} << stripe;
  cursors_[stripe].seen = added;
}

bool TValueHistory::HasWork() const noexcept {
  constexpr std::uint64_t kAll = ~std::uint64_t{0};
  if (atEnd_ != kAll) return true;
  if (rescan_.load(std::memory_order_relaxed)) return true;
  for (std::size_t stripe = 0; stripe < kStripes; ++stripe)
    if (queues_[stripe].added.load(std::memory_order_relaxed) != cursors_[stripe].seen) return true;
  return false;
}

void TValueHistory::DropAged(std::uint32_t now) noexcept {
  if (limits_.maxAgeMs == 0) return;
  for (std::size_t stripe = 0; stripe < kStripes; ++stripe) {
    TQueue& queue = queues_[stripe];
    bool young = false;
    for (TChunk* chunk = queue.first.load(std::memory_order_acquire); chunk != nullptr && !young;
         chunk = chunk->next.load(std::memory_order_acquire)) {
      const std::uint32_t used = chunk->used.load(std::memory_order_acquire);
      for (std::uint32_t slot = 0; slot < used && !young; ++slot) {
        TRecord& record = chunk->slots[slot];
        if (record.state.load(std::memory_order_acquire) != kKept) continue;
        young = !Aged(record, now);
        std::uint8_t expected = kKept;
        if (!young && record.state.compare_exchange_strong(expected, kGone))
          Dropped(stripe, *chunk, record, droppedAge_);
      }
    }
  }
}

void TValueHistory::Confirm(const TTaken& taken, bool sent) noexcept {
  TRecord& record = taken.chunk->slots[taken.slot];
  record.state.store(kGone, std::memory_order_release);
  if (sent) sent_.fetch_add(1, std::memory_order_relaxed);
  Finish(*taken.chunk, record);
}

void TValueHistory::Revert(const TTaken& taken) noexcept {
  TRecord& record = taken.chunk->slots[taken.slot];
  store_[record.position].historyState_.fetch_add(1);
  queues_[taken.stripe].reverts.fetch_add(1, std::memory_order_release);
  TSummary& summary = summaries_[taken.stripe];
  if (summary.kept.fetch_add(1, std::memory_order_relaxed) == 0)
    summary.oldest.store(record.order, std::memory_order_relaxed);
  else
    Lower(summary, record.order);
  DropFromAtMost(record.order);
  // Dropped from now on, like any kept record.
  record.state.store(kKept, std::memory_order_release);
}

void TValueHistory::Lower(TSummary& summary, std::uint64_t order) noexcept {
  std::uint64_t bound = summary.oldest.load(std::memory_order_relaxed);
  while (order < bound &&
         !summary.oldest.compare_exchange_weak(bound, order, std::memory_order_relaxed)) {
  }
}

TValueHistory::TFigures TValueHistory::Figures() const noexcept {
  TFigures figures;
  figures.values = values_.load(std::memory_order_relaxed);
  const std::int64_t bytes = bytes_.load(std::memory_order_relaxed);
  figures.bytes = bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
  figures.droppedBound = droppedBound_.load(std::memory_order_relaxed);
  figures.droppedAge = droppedAge_.load(std::memory_order_relaxed);
  figures.sent = sent_.load(std::memory_order_relaxed);
  return figures;
}

}  // namespace kv
