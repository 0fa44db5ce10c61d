#pragma once
// TValuePath: how a channel's time stamp, quality and value go from the
// host's value call into its master channel and out again, to the worker's
// send pass and to readers; and the pending record through which the worker
// learns that a channel has something to send. Part of the channel list,
// which owns the store of master channels and hands it in.
//
// THE INVARIANT. A master channel's time stamp, quality and value change only
// through this unit, one writer at a time, and every change sets
// NeedSendValue and records the channel as pending once the new state is in
// place. The send pass clears NeedSendValue only after it has copied the
// state, marks the channel again when the state moved on meanwhile, and
// remembers the state it sent, so that a late mark for a state already sent
// sends nothing. So every state stored is either sent or still marked, none
// is sent twice, and no copy mixes two states.
//
// Who may touch the state, and how:
// - Every master belongs to one of kStripes stripes, picked by the
//   case-blind hash of its address; each stripe has a lock, which guards its
//   share of the address index, and the addresses and types of its
//   channels. Host threads (value calls, readers) hold it shared, so that
//   calls on different channels never wait for each other, not even for a
//   thread that lost its processor in the middle of a call.
// - Each master's state has a lock of its own, taken under the stripe's:
//   its sequence number, odd while held (LockState). Value calls write,
//   and readers read, the state under it.
// - The list's own updates (re-registration, updates from the server) hold
//   the list's lock and the stripe's lock exclusively together; so do
//   changes of an address or a type, which decide stripes and conversions.
//   Holding either lock reads addresses and types. Lock order: the list's
//   lock, then stripes in increasing order, then a state lock.
// - With the history on, value calls hold their stripe exclusively: the
//   history's records are kept per stripe.
// - The send pass holds the list's lock and copies the state without the
//   stripe's or the state's lock: it reads the channel's sequence number,
//   and reads again while the number was odd or moved. So the worker never makes a host wait, which
//   matters because the worker may lose its processor at any moment, for a whole time slice.
//   (Copying under the stripe's lock instead was measured: a host call then
//   waited 5 ms behind a preempted worker, where 50 us are allowed.)
//
// Holds are short whatever the value. Values share their heap blocks
// (Variant), so copying one in or out counts a reference. The host's call
// of a text or an array finds the channel in a first hold and takes its type
// (and, when time stamp and quality are the ones held, a reference to its
// value); it converts, checks the size and compares outside any lock; in a
// second hold it finds the channel again and, if it still has the type
// converted for, publishes the new state (otherwise it starts over). A
// number for a channel that holds numbers takes one hold: a few
// instructions. (With one lock per stripe held exclusively, a scalar call
// slept, a few times a second, for a whole time slice behind an array call
// on another channel of its stripe whose thread had lost its processor.)
//
// Heap blocks the send pass reads. The pass counts its reference to a block
// it read without a lock; so a host that replaces a value while a send pass
// copies keeps the old value's reference in a retire list instead of
// dropping it, and the pass empties that list when it stops copying (fences
// on both sides order the host's publication against the pass's mark). Only
// the pass empties it: a host that saw the pass not copying cannot tell that
// it has not begun since.
//
// Storage. Value calls read the store of channels and the pending record
// while the list appends to them under its lock; their storage moves (when
// it doubles) only under every stripe lock (MakeRoom).
//
// The pending hook is called when the record goes from empty to non-empty;
// it must be cheap, must not block and must not call back into the list. It
// is set under every lock.
//
// The history (TValueHistory, ValueHistory.h), when the client turned it
// on, keeps a state that a channel cannot send at once: Publish keeps it in
// the same hold, and a call that took the history past its bound drops the
// oldest kept values after its hold, taking one stripe's lock at a time.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "channels/Channel.h"
#include "channels/ChannelIndex.h"
#include "channels/ChannelStore.h"
#include "channels/PositionSet.h"
#include "channels/ValueHistory.h"
#include "runtime/Calendar.h"
#include "runtime/SpinLock.h"
#include "runtime/Variant.h"

namespace kv {

// What a value call did. Callers may map these to reasons: keep their
// meanings.
enum class TStoreResult {
  NotListed,  // no channel has the address
  Refused,    // the check refused the value; nothing changed
  Unchanged,  // time stamp, quality and value were the ones held
  Stored,     // stored and marked for sending
  Replaced,   // stored, replacing a value that had not gone out yet
};

// A channel's time stamp, quality and value at one moment.
struct TValueSnapshot {
  TDateTime DT = 0;
  std::uint16_t Quality = 0;
  Variant Value;
};

class TValuePath {
 public:
  static constexpr std::size_t kStripes = 64;

  // Whether a value, converted to the channel's type, may be stored.
  using TValueCheck = bool (*)(const Variant& converted);
  using TPendingHook = void (*)(void* context) noexcept;

  explicit TValuePath(TChannelStore& store) : store_(store), history_(store) {}
  TValuePath(const TValuePath&) = delete;
  TValuePath& operator=(const TValuePath&) = delete;
  ~TValuePath() { FreeRetired(); }

  // --- host threads and readers, holding no lock of the list ---

  // The host's value call: on the channel listed under addr, unless time
  // stamp, quality and value are the ones it holds, stores the time stamp
  // and the quality's low byte, and with quality 0 the value too
  // (converted to the channel's type; one that does not convert leaves the
  // old value), then sets NeedSendValue and records the channel. With
  // quality 0 and a converted value that `check` refuses, changes nothing.
  // Raises what comparing the value raises, before anything changed.
  TStoreResult Store(std::string_view addr, std::uint16_t quality, TDateTime dt,
                     const Variant& value, TValueCheck check);
  // The state of the channel listed under addr; nothing when not listed.
  std::optional<TValueSnapshot> Read(std::string_view addr) const;

  // How many value calls replaced a state that had not gone out yet.
  std::uint64_t Replaced() const noexcept;

  // --- the channel list, holding its lock ---

  // The position of the channel listed under addr, or kNoEntry.
  std::uint32_t Find(std::string_view addr) const noexcept;
  // Makes room for `count` channels in the store and the pending record,
  // and for one more address in the stripe of addr, so that Append and
  // Enter allocate nothing that value calls read. The address index grows
  // outside the stripe's lock and is swapped in under it.
  void MakeRoom(std::size_t count, std::string_view addr);
  // Enters the master just appended at `position` under its address.
  void Enter(TChannel2& master, std::uint32_t position);
  // Runs change() under the lock of master's stripe, as a writer of the
  // state (`state`: change may change time stamp, quality or value). With
  // newAddr, change gives master exactly that address: the lock of its
  // stripe is held as well, and the index follows (back again, when change
  // raises).
  template <class F>
  void Change(TChannel2& master, std::optional<std::string_view> newAddr, bool state, F&& change);
  // Copies time stamp, quality and value of master into target, exactly.
  void CopyValue(const TChannel2& master, TChannel2& target) const noexcept;
  // Frees every master channel of the store and forgets them.
  void Clear() noexcept;

  // --- the send pass, holding the list's lock ---

  // Marks the send pass as copying for its lifetime (one batch).
  class TCopying {
   public:
    explicit TCopying(TValuePath& path) noexcept;
    ~TCopying();
    TCopying(const TCopying&) = delete;
    TCopying& operator=(const TCopying&) = delete;

   private:
    TValuePath& path_;
  };
  // Time stamp, quality and value of master into copy, without the stripe's
  // lock (while a TCopying lives); the result is the sequence of the state
  // copied.
  std::uint32_t CopyForSend(const TChannel2& master, TChannel2& copy) const noexcept;
  // Once the copy made at `sequence` is safely taken: clears NeedSendValue,
  // and marks and records the channel again when its state moved on since.
  // False when that state went out before (nothing new to send).
  bool Sent(TChannel2& master, std::uint32_t sequence) noexcept;
  // The next NeedSendValue sends the state even if it went out before.
  static void ForgetSent(TChannel2& master) noexcept {
    master.sentSequence_ = TChannel2::kNothingSent;
  }

  // --- the history ---

  // The history; its limits are set before any value call.
  TValueHistory& History() noexcept { return history_; }
  const TValueHistory& History() const noexcept { return history_; }
  // Under the list's lock, after master's Active or Number may have
  // changed: tells the history whether master may send.
  void SyncSendable(TChannel2& master) noexcept {
    if (history_.On()) history_.SetSendable(master, master.Active() && master.Number() != 0);
  }
  // The worker, inside the history's TReading: unlinks and frees the
  // history's chunks whose values are all gone, taking a stripe's lock only
  // when it gets it at once, for one store.
  void ReclaimHistory() noexcept {
    history_.Reclaim([this](std::size_t stripe) { return TryLockStripe(stripe); },
                     [this](std::size_t stripe) { UnlockStripe(stripe); });
  }

  // --- the pending record ---

  // Positions of master channels that may have send work. Record calls the
  // hook when the record was empty.
  void Record(std::uint32_t position) noexcept;
  TPositionSet& Pending() noexcept { return pending_; }
  const TPositionSet& Pending() const noexcept { return pending_; }
  void SetPendingHook(TPendingHook hook, void* context) noexcept;

 private:
  struct alignas(64) TStripe {
    mutable TSharedSpinParkLock lock;
    TAddressIndex index;  // the stripe's addresses
    // One count per stripe: a count shared by all host threads would move
    // its cache line between their processors on nearly every call.
    std::atomic<std::uint64_t> replaced{0};
  };
  using TGuard = TLockGuard<TSharedSpinParkLock>;
  // A value call's hold of its stripe: shared, or exclusive while the
  // history is on.
  class SCOPED_CAPABILITY THold {
   public:
    THold(TSharedSpinParkLock& lock, bool exclusive) ACQUIRE_SHARED(lock) NO_THREAD_SAFETY_ANALYSIS
        : lock_(lock),
          exclusive_(exclusive) {
      if (exclusive_)
        lock_.lock();
      else
        lock_.lock_shared();
    }
    ~THold() RELEASE_GENERIC() NO_THREAD_SAFETY_ANALYSIS {
      if (exclusive_)
        lock_.unlock();
      else
        lock_.unlock_shared();
    }
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;

   private:
    TSharedSpinParkLock& lock_;
    const bool exclusive_;
  };
  // A master's state lock, under its stripe's lock: returns the (even)
  // sequence the state had. Unlock gives it back; Publish moves it on.
  static std::uint32_t LockState(const TChannel2& master) noexcept;
  static void UnlockState(const TChannel2& master, std::uint32_t sequence) noexcept {
    const_cast<TChannel2&>(master).valueSequence_.store(sequence, std::memory_order_release);
  }
  // The pending hook's call, made after a value call's hold.
  struct TWake {
    TPendingHook hook = nullptr;
    void* context = nullptr;
    void operator()() const noexcept {
      if (hook != nullptr) hook(context);
    }
  };
  // Old values whose heap block the send pass may be copying.
  struct TRetired {
    Variant value;
    TRetired* next = nullptr;
  };

  static std::size_t StripeOf(std::uint32_t hash) noexcept { return hash >> 26; }
  static std::size_t StripeOf(std::string_view addr) noexcept {
    return StripeOf(TAddressIndex::Hash(addr));
  }
  static_assert(kStripes == std::size_t{1} << (32 - 26));
  void Lock(std::size_t a, std::size_t b) const noexcept NO_THREAD_SAFETY_ANALYSIS;
  void Unlock(std::size_t a, std::size_t b) const noexcept NO_THREAD_SAFETY_ANALYSIS;
  bool TryLockStripe(std::size_t stripe) noexcept NO_THREAD_SAFETY_ANALYSIS {
    return stripes_[stripe].lock.try_lock();
  }
  void UnlockStripe(std::size_t stripe) noexcept NO_THREAD_SAFETY_ANALYSIS {
    stripes_[stripe].lock.unlock();
  }
  void LockAll() const noexcept NO_THREAD_SAFETY_ANALYSIS;
  void UnlockAll() const noexcept NO_THREAD_SAFETY_ANALYSIS;
  // What a value call of a text or an array took from the channel in its
  // first hold.
  struct TLarge {
    std::uint16_t type = 0;
    bool sameState = false;  // time stamp and quality are the ones held
    Variant held;            // the value held, when sameState
  };
  static void Look(const TChannel2& master, std::uint16_t quality, TDateTime dt,
                   TLarge& large) noexcept;
  TStoreResult StoreLarge(TStripe& stripe, std::uint32_t hash, std::string_view addr,
                          std::uint16_t quality, TDateTime dt, const Variant& value,
                          TValueCheck check, TLarge& large);
  // Room for one more address in the stripe's index.
  void MakeIndexRoom(TStripe& stripe);
  // Under the stripe's lock and master's state lock, taken at `sequence`:
  // the new state in (and kept in the history when the channel cannot send
  // it at once: `kept`), the state lock released, NeedSendValue set, the
  // channel recorded (the hook's call left in `wake`). With `stored`, the
  // value is exchanged with `next`.
  TStoreResult Publish(std::size_t stripe, TChannel2& master, std::uint32_t position,
                       std::uint32_t sequence, TDateTime dt, std::uint16_t quality, bool stored,
                       Variant& next, TWake& wake, bool& kept) noexcept;
  // After a hold that kept a value: drops the oldest kept values until the
  // history is within its bound again.
  void DropToBound() noexcept;
  // After Publish, outside the lock: `old` is dropped by its owner, or
  // retired when the send pass may be copying it.
  void Retire(Variant& old) noexcept;
  void FreeRetired() noexcept;
  static void BumpSequence(TChannel2& master) noexcept {
    master.valueSequence_.store(master.valueSequence_.load(std::memory_order_relaxed) + 2,
                                std::memory_order_relaxed);
  }

  TChannelStore& store_;
  TStripe stripes_[kStripes];
  static_assert(kStripes == TValueHistory::kStripes);
  TValueHistory history_;
  TPositionSet pending_;
  TPendingHook hook_ = nullptr;
  void* hookContext_ = nullptr;
  std::atomic<TRetired*> retired_{nullptr};
  std::atomic<bool> copying_{false};  // a TCopying lives
};

template <class F>
void TValuePath::Change(TChannel2& master, std::optional<std::string_view> newAddr, bool state,
                        F&& change) {
  const std::size_t from = StripeOf(master.Addr());
  if (!newAddr) {
    TGuard guard(stripes_[from].lock);
    change();
    if (state) BumpSequence(master);
    return;
  }
  const std::size_t to = StripeOf(*newAddr);
  MakeIndexRoom(stripes_[to]);
  Lock(from, to);
  struct TUnlock {
    const TValuePath& path;
    std::size_t a, b;
    ~TUnlock() { path.Unlock(a, b); }
  } unlock{*this, from, to};
  const std::uint32_t position = master.listPosition_;
  stripes_[from].index.Erase(master.Addr(), position, store_);
  try {
    change();
  } catch (...) {
    stripes_[from].index.Insert(master.Addr(), position, store_);
    throw;
  }
  stripes_[to].index.Insert(master.Addr(), position, store_);
  if (state) BumpSequence(master);
}

}  // namespace kv
