#pragma once
// TValueHistory: values that a channel could not send at once, kept in the
// order they were handed over until the worker sends them (the client's
// opt-in history). Part of the value path (TValuePath), which keeps a value
// here while it publishes it under its stripe's lock.
//
// What is kept. With the history on, a value call that stores a new state
// while its channel cannot send at once - the client is not logged in, the
// channel is not active with a number, or values of it are still kept -
// keeps that state (time stamp, quality, value, and the type it has) as a
// record. The records take at most the bound's bytes, each counting its own
// size and its value's heap blocks: a record that takes the total past the
// bound makes room by dropping the oldest records (by hand-over, of all
// channels), itself last. A record older than the age limit (counted from
// its hand-over) is dropped instead of sent.
//
// Order. Each stripe of the value path keeps its records in one queue, in
// the order its value calls made them. A channel's records all live in its
// stripe's queue, so they stay in hand-over order. The worker walks the
// queues in sweeps: it takes a record when its channel may send and no
// earlier record of the channel was passed over in the same sweep; a
// channel passed over waits for a later sweep, which starts from the front
// once a channel with records became able to send. Each channel counts its
// records not yet taken; while the count is not 0 its current value is held
// back (TChannelList2::TakePending), so its kept values go out first and
// its current value last.
//
// A record the worker took is sending: nobody drops it, and it stays where
// it is until the socket took its bytes (Confirm: gone) or the connection
// ended before (Revert: kept again, for the next login). Only kept records
// are dropped.
//
// Threads and memory. Records live in chunks of kSlots, linked from the
// oldest. Host threads add to and drop from a stripe's queue only under
// that stripe's lock (TValuePath's), one at a time. The worker holds no
// stripe lock: it reads a queue as it was published (a record's state is
// stored last, with release) and takes a record by exchanging its state
// (kept -> sending, or kept -> gone), as a dropping host does, so every
// record has one owner at a time.
//
// The links between chunks change only under the stripe's lock. A chunk
// whose records are all gone is unlinked (never the last one, to which hosts
// add): by a host under the lock, from the front or from behind a chunk that
// stays, and by the worker from the front, under the lock if it gets it at
// once (try_lock: one store of the front pointer, never a wait). A host frees
// what it unlinked at once unless the worker is reading (TReading: then the
// worker frees it when it is not); the worker frees what it unlinked itself
// after the store (no host can reach it then). Fences on both sides order the
// unlinking against the worker's mark, as in TValuePath's retire list. So the
// worker keeps no chunk pointer from one reading to the next but those of
// records it is sending (whose chunks stay): it keeps its place in a queue as
// a chunk's serial number and a slot, and finds the chunk again.
//
// A chunk behind a kept record of a channel that may not send (passed over)
// stays until that record goes; the bound drops it in time, oldest first.
//
// Finding the oldest. Hand-over orders are 64-bit and never wrap. A ring as
// long as the bound holds records tells each order's stripe, and dropFrom_
// the next order to drop: a host at the bound locks that order's stripe and
// drops its first kept record when it is that order (or older: one the
// worker gave back, which lowers dropFrom_ too). An order that went
// otherwise (sent, aged) is stepped past; after a few such misses, or when
// the ring was written over, the stripes' summaries (count and a lower
// bound of their oldest order) are scanned instead.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>

#include "channels/Channel.h"
#include "channels/ChannelStore.h"
#include "runtime/Calendar.h"
#include "runtime/Variant.h"

namespace kv {

class TValueHistory {
 public:
  static constexpr std::size_t kStripes = 64;
  static constexpr std::uint32_t kSlots = 64;  // records a chunk

  struct TLimits {
    std::uint64_t bytes = 0;     // the bound; 0: no history
    std::uint32_t maxAgeMs = 0;  // 0: no age limit
  };

  // One kept value.
  struct TRecord {
    TDateTime dt = 0;
    Variant value;
    std::uint64_t order = 0;       // hand-over order among all records
    std::uint32_t position = 0;    // the channel's list position
    std::uint32_t handedOver = 0;  // tick of the clock seam
    std::uint32_t bytes = 0;       // what it counts against the bound
    std::uint16_t type = 0;
    std::uint8_t quality = 0;
    std::atomic<std::uint8_t> state{0};
  };

 private:
  struct TChunk;

 public:
  // A record the worker took, until it is confirmed or reverted.
  struct TTaken {
    TChunk* chunk = nullptr;
    std::uint32_t slot = 0;
    std::uint32_t stripe = 0;
    const TRecord& Record() const noexcept;
  };

  // What the history holds and did.
  struct TFigures {
    std::uint64_t values = 0;  // kept or sending
    std::uint64_t bytes = 0;
    std::uint64_t droppedBound = 0;
    std::uint64_t droppedAge = 0;
    std::uint64_t sent = 0;
  };

  // What a host's drop did.
  struct TDrop {
    bool dropped = false;        // a record of the stripe went
    bool lastOfChannel = false;  // its channel has no records left
    std::uint32_t position = 0;
  };

  explicit TValueHistory(TChannelStore& store) : store_(store) {}
  TValueHistory(const TValueHistory&) = delete;
  TValueHistory& operator=(const TValueHistory&) = delete;
  ~TValueHistory() { Clear(); }

  // Before any value call, while no thread uses the history. Allocates the
  // index of hand-over: a byte for each record the bound holds.
  void SetLimits(TLimits limits);
  bool On() const noexcept { return limits_.bytes != 0; }
  // Sequentially consistent, like HeldBack: a host that dropped a channel's
  // last record and then sees the link down relies on the worker seeing
  // that record gone once it set the link up and looks.
  bool LinkUp() const noexcept { return linkUp_.load(); }
  TLimits Limits() const noexcept { return limits_; }

  // --- host threads, holding the lock of the stripe of the channel ---

  // Whether a state stored now for master must be kept as well.
  bool MustKeep(const TChannel2& master) const noexcept {
    if (!linkUp_.load(std::memory_order_relaxed)) return true;
    const std::uint32_t state = master.historyState_.load(std::memory_order_relaxed);
    return (state & kSendable) == 0 || (state & kCountMask) != 0;
  }
  // Counts one more record of master; before its new state is published,
  // so that a send pass that copies that state sees the count.
  static void Announce(TChannel2& master) noexcept {
    master.historyState_.fetch_add(1, std::memory_order_relaxed);
  }
  // Keeps master's state, just published, as a record of `stripe`. False
  // when no memory was left for it: the record is counted as dropped and
  // the announcement withdrawn.
  bool Keep(std::size_t stripe, TChannel2& master, std::uint32_t position) noexcept;
  // The records take more than the bound.
  bool OverBound() const noexcept {
    return bytes_.load(std::memory_order_relaxed) > static_cast<std::int64_t>(limits_.bytes);
  }

  // --- host threads, to make room ---

  // Where the oldest record probably is: the stripe (kStripes when none has
  // a record that may be dropped) and the order no older record has (none:
  // `rival` false), as the index of hand-over tells (`fromIndex`: its next
  // order to drop, and that order's stripe), or as the stripes tell.
  struct TVictim {
    std::size_t stripe = kStripes;
    bool rival = false;
    std::uint64_t rivalOrder = 0;
    bool fromIndex = false;
  };
  // One look at the index; the stripes' word when it cannot tell.
  TVictim NextVictim() const noexcept;
  // A look at every stripe.
  TVictim OldestStripe() const noexcept;
  // Under the victim stripe's lock: drops its oldest kept record if it is
  // no newer than rivalOrder (otherwise the stripe tells its oldest better
  // from now on, the index moves past an order that is gone, and nothing is
  // dropped).
  TDrop DropOldest(const TVictim& victim) noexcept;

  // --- the worker ---

  // The client logged in (true) or out. Logging in starts a sweep from the
  // front; a value call that comes after logging out keeps its value.
  void SetLinkUp(bool up) noexcept;
  // Under the list's lock (which guards Active and Number): master may now
  // send or not. One that may and has records starts a new sweep once the
  // current one is through.
  void SetSendable(TChannel2& master, bool sendable) noexcept;
  static bool HeldBack(const TChannel2& master) noexcept {
    return (master.historyState_.load() & kCountMask) != 0;
  }

  // The worker's reading of the queues: from its start to its end the
  // hosts leave the chunks they unlink to the worker, and the worker may
  // hold chunk pointers. Its start frees what waits to be freed. Sweep,
  // DropAged and Reclaim run inside one.
  class TReading {
   public:
    explicit TReading(TValueHistory& history) noexcept;
    ~TReading();
    TReading(const TReading&) = delete;
    TReading& operator=(const TReading&) = delete;

   private:
    TValueHistory& history_;
  };

  // Holding the list's lock: visits at most `visits` records from the
  // cursors, stripe after stripe, and takes at most `most`. A kept record
  // past the age limit (`now`) is dropped; one whose channel
  // handler.MayTake(position) allows, and whose channel was not passed over
  // earlier in this sweep, becomes sending and goes to handler.Take(taken,
  // lastOfChannel); otherwise its channel is passed over until the next
  // sweep. A channel whose last record was dropped goes to
  // handler.Released(position). Returns the records taken.
  template <class Handler>
  std::size_t Sweep(std::size_t visits, std::size_t most, std::uint32_t now, Handler& handler);
  // Whether a sweep may find work now: records added past the cursors, a
  // sweep not through, or a new one due.
  bool HasWork() const noexcept;
  // Drops the kept records past the age limit at the front of each queue
  // (the worker, while logged out).
  void DropAged(std::uint32_t now) noexcept;
  // The socket took a taken record's bytes (or, `sent` false, it can never
  // go out): it is gone. No lock needed.
  void Confirm(const TTaken& taken, bool sent) noexcept;
  // Under the list's lock: a taken record goes back to the history (the
  // connection ended before it was written).
  void Revert(const TTaken& taken) noexcept;
  // Unlinks and frees the chunks at the front of the queues whose records
  // are all gone, for each queue whose lock `tryLock(stripe)` gets at once
  // (then `unlock(stripe)`).
  template <class TryLock, class Unlock>
  void Reclaim(TryLock&& tryLock, Unlock&& unlock) noexcept;

  TFigures Figures() const noexcept;
  // Frees every record; no other thread may use the history meanwhile.
  void Clear() noexcept;

 private:
  static constexpr std::uint32_t kSendable = 0x80000000u;
  static constexpr std::uint32_t kCountMask = 0x7FFFFFFFu;
  // Record states.
  static constexpr std::uint8_t kEmpty = 0;
  static constexpr std::uint8_t kKept = 1;
  static constexpr std::uint8_t kSending = 2;
  static constexpr std::uint8_t kGone = 3;

  struct TChunk {
    std::atomic<TChunk*> next{nullptr};  // changed by hosts under the lock
    std::uint64_t serial = 0;            // rises along a queue
    std::atomic<std::uint32_t> used{0};  // records written (by hosts, under the lock)
    std::atomic<std::uint32_t> gone{0};  // records gone (the last touch of whoever ends one)
    bool unlinked = false;               // under the lock
    TChunk* freeNext = nullptr;          // in a list of chunks to free
    TRecord slots[kSlots];
  };

  struct alignas(64) TQueue {
    std::atomic<TChunk*> first{nullptr};  // hosts under the lock, and the worker
    TChunk* last = nullptr;               // hosts under the lock
    std::uint64_t serials = 0;            // hosts under the lock
    std::atomic<std::uint64_t> added{0};  // records ever added
    // Hosts, under the lock: no kept record lies before this slot of the
    // chunk of this serial (unless `reverts` moved since).
    std::uint64_t frontSerial = 0;
    std::uint32_t frontSlot = 0;
    std::uint32_t frontReverts = 0;
    std::atomic<std::uint32_t> reverts{0};  // records the worker gave back
  };
  // What a queue tells the others of its kept records (those that may be
  // dropped): how many, and a lower bound of their orders. Apart from the
  // queues, so that looking for the oldest reads a few cache lines.
  struct TSummary {
    std::atomic<std::uint32_t> kept{0};
    std::atomic<std::uint64_t> oldest{0};
  };

  // The worker's place in a queue.
  struct TCursor {
    TChunk* chunk = nullptr;  // within a reading; found again by serial
    std::uint64_t serial = 0;
    std::uint32_t slot = 0;
    std::uint64_t seen = 0;  // `added` when the sweep last reached the end
  };

  static bool Exhausted(const TChunk& chunk) noexcept {
    return chunk.gone.load(std::memory_order_acquire) == kSlots;
  }
  bool Aged(const TRecord& record, std::uint32_t now) const noexcept {
    return limits_.maxAgeMs != 0 && now - record.handedOver > limits_.maxAgeMs;
  }
  // A record leaves (dropped or confirmed).
  void Finish(TChunk& chunk, TRecord& record) noexcept;
  // Takes away a kept record the caller exchanged to gone; true when its
  // channel has no records left.
  bool Dropped(std::size_t stripe, TChunk& chunk, TRecord& record,
               std::atomic<std::uint64_t>& counter) noexcept;
  static void Lower(TSummary& summary, std::uint64_t order) noexcept;
  // Hosts, under the lock: the first kept record of a queue and its chunk
  // (with the chunk before it); null when none.
  static TRecord* FirstKept(TQueue& queue, TChunk*& chunk, TChunk*& before) noexcept;
  // Hosts, under the lock: unlinks the chunks at the front whose records
  // are all gone, or the one chunk `chunk` behind `before` (null: the front).
  void UnlinkFront(std::size_t stripe) noexcept;
  void UnlinkOne(std::size_t stripe, TChunk* before, TChunk* chunk) noexcept;
  // Hosts: frees chunks this thread unlinked, or leaves them to a reading
  // worker.
  void HostFree(TChunk* list) noexcept;
  // The index's next order to drop moves from `order` on (past it: `order`
  // is gone) / to at least `next`, or back to `order` (a record kept again).
  void Passed(std::uint64_t order) noexcept;
  void DropFromAtLeast(std::uint64_t next) noexcept;
  void DropFromAtMost(std::uint64_t order) noexcept;
  // The worker, in a reading: the cursor's chunk, found again.
  TChunk* CursorChunk(std::size_t stripe) noexcept;
  // The worker: the cursor reached the end of its queue for now.
  void AtEnd(std::size_t stripe, std::uint64_t added) noexcept;
  static void Free(TChunk* list) noexcept;
  void FreeRetired() noexcept;

  TChannelStore& store_;
  TLimits limits_;
  std::array<TQueue, kStripes> queues_;
  alignas(64) std::array<TSummary, kStripes> summaries_;
  alignas(64) std::atomic<std::int64_t> bytes_{0};
  std::atomic<std::uint64_t> orders_{0};
  // The index of hand-over: the stripe of each order, in a ring as long as
  // the bound holds records, and the next order to drop (every older one is
  // gone, as far as the droppers saw).
  std::unique_ptr<std::atomic<std::uint8_t>[]> stripeOf_;
  std::uint64_t indexSize_ = 0;  // a power of 2
  std::atomic<std::uint64_t> dropFrom_{0};
  std::atomic<bool> linkUp_{false};
  std::atomic<bool> reading_{false};
  std::atomic<TChunk*> retired_{nullptr};  // unlinked by hosts while the worker read
  // Figures.
  std::atomic<std::uint64_t> values_{0};
  std::atomic<std::uint64_t> droppedBound_{0};
  std::atomic<std::uint64_t> droppedAge_{0};
  std::atomic<std::uint64_t> sent_{0};
  // The worker's.
  std::array<TCursor, kStripes> cursors_{};
  std::uint64_t atEnd_ = 0;                       // stripes whose end this sweep reached
  std::size_t nextStripe_ = 0;                    // where the next Sweep starts
  std::unordered_set<std::uint32_t> passedOver_;  // channels passed over in this sweep
  std::atomic<bool> rescan_{false};               // a channel with records became able to send
};

template <class Handler>
std::size_t TValueHistory::Sweep(std::size_t visits, std::size_t most, std::uint32_t now,
                                 Handler& handler) {
  constexpr std::uint64_t kAll = ~std::uint64_t{0};
  if (atEnd_ == kAll && rescan_.exchange(false)) {
    for (TCursor& cursor : cursors_) cursor = TCursor{};
    atEnd_ = 0;
    passedOver_.clear();
  }
  std::size_t taken = 0;
  for (std::size_t turn = 0; turn < kStripes; ++turn) {
    const std::size_t stripe = (nextStripe_ + turn) % kStripes;
    TQueue& queue = queues_[stripe];
    TCursor& cursor = cursors_[stripe];
    for (;;) {
      if (visits == 0 || taken == most) {
        nextStripe_ = stripe;
        return taken;
      }
      // Read before the chunk's count: what is added after it is not seen.
      const std::uint64_t added = queue.added.load(std::memory_order_acquire);
      TChunk* chunk = CursorChunk(stripe);
      if (chunk == nullptr) {
        AtEnd(stripe, added);
        break;
      }
      if (cursor.slot < chunk->used.load(std::memory_order_acquire)) {
        --visits;
        TRecord& record = chunk->slots[cursor.slot];
        const TTaken here{chunk, cursor.slot, static_cast<std::uint32_t>(stripe)};
        if (record.state.load(std::memory_order_acquire) != kKept) {
          ++cursor.slot;
          continue;
        }
        std::uint8_t expected = kKept;
        if (Aged(record, now)) {
          const std::uint32_t position = record.position;
          if (record.state.compare_exchange_strong(expected, kGone) &&
              Dropped(stripe, *chunk, record, droppedAge_))
            handler.Released(position);
        } else if (passedOver_.count(record.position) != 0 || !handler.MayTake(record.position)) {
          try {
            passedOver_.insert(record.position);
          } catch (...) {
            // Not remembered, so not passed: the sweep stops before it.
            nextStripe_ = stripe;
            return taken;
          }
        } else if (record.state.compare_exchange_strong(expected, kSending)) {
          summaries_[stripe].kept.fetch_sub(1, std::memory_order_relaxed);
          TChannel2& master = store_[record.position];
          handler.Take(here, (master.historyState_.fetch_sub(1) & kCountMask) == 1);
          ++taken;
        }
        ++cursor.slot;
        continue;
      }
      TChunk* next = cursor.slot == kSlots ? chunk->next.load(std::memory_order_acquire) : nullptr;
      if (next == nullptr) {
        AtEnd(stripe, added);
        break;
      }
      cursor.chunk = next;
      cursor.serial = next->serial;
      cursor.slot = 0;
    }
  }
  return taken;
}

template <class TryLock, class Unlock>
void TValueHistory::Reclaim(TryLock&& tryLock, Unlock&& unlock) noexcept {
  for (std::size_t stripe = 0; stripe < kStripes; ++stripe) {
    TQueue& queue = queues_[stripe];
    TChunk* const first = queue.first.load(std::memory_order_acquire);
    // Found without the lock (the reading keeps what a host unlinks alive);
    // the lock's short hold checks that nothing changed and unlinks.
    TChunk* end = first;
    while (end != nullptr && end != cursors_[stripe].chunk && Exhausted(*end)) {
      TChunk* next = end->next.load(std::memory_order_acquire);
      if (next == nullptr) break;  // the last one stays: hosts add to it
      end = next;
    }
    if (end == first || !tryLock(stripe)) continue;
    const bool unchanged = queue.first.load(std::memory_order_relaxed) == first && !end->unlinked;
    if (unchanged) queue.first.store(end, std::memory_order_release);
    unlock(stripe);
    if (!unchanged) continue;
    // Out of every host's reach now. Hosts may have unlinked some of them
    // from behind others before: those are theirs, and no longer on the way.
    const std::uint64_t endSerial = end->serial;
    for (TChunk* chunk = first; chunk->serial < endSerial;) {
      TChunk* next = chunk->next.load(std::memory_order_acquire);
      delete chunk;
      chunk = next;
    }
  }
}

}  // namespace kv
