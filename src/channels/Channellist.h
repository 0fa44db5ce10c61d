#pragma once
// The master copy of every channel the client knows, in the order they were
// added, with look-up by address (case-insensitive by the ANSI rules of the
// Russian code page) and by number, the handing out of channel numbers,
// masked copies in and out, and the record of which channels have send work
// pending.
//
// Ownership: the list owns its master channels. They are created only by Add,
// as full copies of the caller's object, and live until Clear or the list's
// destruction; callers get copies (GetBy*, CopyBy*) or, while holding the
// lock, the master itself (Find, ChangeByAddress, LockList).
//
// Locks. The list lock (LockList) guards the store, both indexes, the
// pending record, LastNumber, LastError, Modified, ModifiedTick and every
// field of every master channel. It is re-entrant: the thread that holds it
// may call any operation. Every public operation takes it for its whole run,
// except Find, which the caller calls inside its own LockList/UnlockList (or
// TLockedList), and StoreValue. A pointer from Find or from the store is
// valid only until the lock is released. Waiters spin briefly before they
// sleep (see TSpinParkLock), and every hold is short and bounded: the worker
// holds it for at most one small batch of channels (TakePending,
// SetSendFlagsOnAll).
//
// The value lock. A host's value call (StoreValue) must never wait for the
// worker: a worker that loses its processor while it holds a lock would
// hold the host up for a whole time slice. So StoreValue takes only the
// value lock, which the worker's send pass and its handling of the server's
// numbering never take. It guards the address index, the store's shape and
// the address, type, time stamp, quality and value of every master channel:
// whoever changes those, or copies a whole master channel, holds both locks
// (list lock first). The send pass copies time stamp, quality and value
// under the list lock alone, through the channel's sequence lock
// (TChannel2::PublishValue); the Flags word and the pending record are
// changed with atomic operations. So the values of master channels read
// through LockList may change meanwhile: GetByAddress and GetByNumber copy
// them consistently.
//
// Numbers. Add hands out 1, 2, 3... to channels that come without one,
// skipping numbers held at the time; an update may give any number. The
// number an update gives always wins: a channel that held it loses its
// number (Number 0; still listed and found by address) until an update
// numbers it again. So the server, which numbers channels through updates,
// overrides the list's own numbering, and of two channels it gives the same
// number the later one holds it.
//
// The pending record. The worker's send pass must not walk every channel to
// find the few with work. So the list keeps, in list order, the positions of
// the master channels that may have send work (HasSendWork: NeedRegister, or
// NeedSendValue on an Active channel with a number). RULE: whoever, holding
// the lock, sets NeedRegister or NeedSendValue on a master channel, or makes
// one Active, must then call MarkPending(channel) — or use SetSendFlags or
// ChangeByAddress, which do it. Add and Update keep the record right by
// themselves. An inactive or unnumbered channel whose only pending bit is
// NeedSendValue keeps its bit but leaves the record until an Update (or a
// MarkPending) activates or numbers it.
//
// StoreValue records every channel whose value it changes: the send pass
// drops the position of one that turns out to have no send work.
//
// The pending hook. A worker that sleeps while nothing is pending must learn
// of the first new mark: the list calls its owner's hook whenever the record
// goes from empty to non-empty (and only then, so a burst of marks costs one
// call). The hook runs under one of the list's locks on the marking thread:
// it must be cheap, must not block and must not call back into the list.
#include <cstddef>
#include <deque>
#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "channels/Channel.h"
#include "channels/ChannelIndex.h"
#include "channels/ChannelStore.h"
#include "channels/PositionSet.h"
#include "runtime/SpinLock.h"
#include "runtime/ThreadList.h"

namespace kv {

// The channel an update took its new number from.
struct TNumberLoss {
  std::string Addr;          // empty: no other channel held the number
  std::uint32_t Number = 0;  // the number it lost
  bool HandedOut = false;    // the list had handed that number out itself
};

// One channel's send work, taken from the list by TakePending: a copy of
// what its records need, made under the lock, so that encoding and log
// lines run after it is released.
struct TSendSnapshot {
  TChannel2 Channel;
  bool Registration = false;         // its registration record is due
  bool Value = false;                // its value record is due
  std::uint16_t AttributeCount = 0;  // of the master channel
};

// What StoreValue did.
enum class TStoreResult {
  NotListed,  // no channel has the address
  Refused,    // the check refused the value; nothing changed
  Unchanged,  // time stamp, quality and value were the ones held
  Stored,     // stored and marked for sending
  Replaced,   // stored, replacing a value that had not gone out yet
};

// Whether a channel is listed, and active.
enum class TListedState { NotListed, Inactive, Active };

class TChannelList2 {
 public:
  using TList = TChannelStore;

  TChannelList2() = default;
  TChannelList2(const TChannelList2&) = delete;
  TChannelList2& operator=(const TChannelList2&) = delete;
  ~TChannelList2();

  // Enters the lock and gives the master channels in list order. The list's
  // shape may only be changed through the operations below; the channels
  // themselves may be changed while the lock is held (see the pending rule).
  const TList& LockList() ACQUIRE(lock_);
  void UnlockList() RELEASE(lock_);
  // The lock LockList takes, for the thread-safety analysis only.
  TReentrantLock& LockCapability() const RETURN_CAPABILITY(lock_) { return lock_; }

  // Frees every master channel; numbers handed out stay used.
  void Clear();

  // Adds a copy of channel, or with `update` changes the listed channel that
  // channel names (by number when it has one, else by address). May write
  // the number into channel. False with the reason in LastError on failure;
  // never raises.
  bool Add(TChannel2* channel, bool update, bool refuseDuplicate, std::uint16_t mask,
           bool takeNumber);
  // Copies the fields of channel selected by mask into the listed channel of
  // the same number (or address, with byAddress). after / before, when
  // given, receive full copies of the listed channel after / before the
  // change. Raises kv::Exception; a failed update changes nothing in the
  // list (before may already hold its copy). A number another channel holds
  // is taken from it (see Numbers above), and the result names that channel.
  TNumberLoss UpdateOrRaise(const TChannel2* channel, std::uint16_t mask, bool byAddress,
                            bool requireActive, TChannel2* after = nullptr,
                            TChannel2* before = nullptr);
  // UpdateOrRaise with its kv::Exception turned into false.
  bool Update(const TChannel2* channel, std::uint16_t mask, bool byAddress, bool requireActive,
              TChannel2* after = nullptr, TChannel2* before = nullptr);

  // The master channel by number (when not 0) or else by address; nullptr
  // when not listed. The caller must hold the lock.
  TChannel2* Find(std::string_view addr, std::uint32_t number) const REQUIRES(lock_);
  // Full copies of a listed channel into target; false when not listed, for
  // an empty address or number 0 (without locking), a null target, or any
  // failure.
  bool GetByAddress(std::string_view addr, TChannel2* target);
  bool GetByNumber(std::uint32_t number, TChannel2* target);
  // A new full copy owned by the caller, or nullptr.
  std::unique_ptr<TChannel2> CopyByAddress(std::string_view addr);
  std::unique_ptr<TChannel2> CopyByNumber(std::uint32_t number);

  // Under the lock, change(master) on the channel listed under addr, then the
  // pending rule applied to it (also when change raises, which then goes on
  // to the caller); change's result, or notListed. One look-up, one hold:
  // the host's registrations of values and attributes.
  template <class R, class Change>
  R ChangeByAddress(std::string_view addr, R notListed, Change change);

  // The host's value call: on the channel listed under addr, unless
  // time stamp, quality and value are the ones it holds, stores the time
  // stamp and the quality's low byte, and with quality 0 the value too
  // (converted to the channel's type; one that does not convert leaves the
  // old value), then sets NeedSendValue and records the channel. With
  // quality 0 and a `fits` that refuses the value for the channel's type,
  // changes nothing. Takes only the value lock (see Locks above). Raises
  // what comparing or copying the value raises, before anything changed.
  using TValueCheck = bool (*)(const Variant& value, std::uint16_t type);
  TStoreResult StoreValue(std::string_view addr, std::uint16_t quality, TDateTime dt,
                          const Variant& value, TValueCheck fits);

  // By number when it is not 0, else by address (never for an empty one),
  // under the list lock alone.
  TListedState ListedState(std::string_view addr, std::uint32_t number) const;

  int Count() const;
  int ActiveCount() const;

  // Modified = value; setting it true stamps ModifiedTick with the tick count.
  void SetModified(bool value);
  bool Modified() const;
  std::uint32_t ModifiedTick() const;
  std::string LastError() const;
  std::uint32_t LastNumber() const;

  // --- the pending record (see above) ---
  // Records a master channel of this list that has send work; anything else
  // is ignored.
  void MarkPending(TChannel2* channel);
  // Sets / clears Flags bits on a master channel and keeps the record right.
  // Setting NeedSendValue sends the value even if it went out before.
  void SetSendFlags(TChannel2* channel, std::uint16_t bits);
  void ClearSendFlags(TChannel2* channel, std::uint16_t bits);
  // Sets bits on every master channel (after a login), a batch of channels
  // per hold of the lock; NeedSendValue sends every value again.
  void SetSendFlagsOnAll(std::uint16_t bits);
  // One batch of the send pass: from list position `cursor` on, in list
  // order, the recorded channels that have send work, as many as one short
  // hold of the lock copies (at least one). For each it copies the fields
  // its due records need into `batch` (with `forLog` also the attributes its
  // values' text reads) and clears the bits of those records: NeedRegister,
  // and NeedSendValue when its value goes out. A change the host makes
  // afterwards marks the channel again. Moves `cursor` past the last channel
  // looked at and returns how many entries of `batch` it filled; 0 when
  // nothing is left from `cursor` on. `batch` only grows, so its channels
  // keep their storage from one batch to the next. A value already copied
  // out once is not copied again until it changes (a host's call that came
  // between the clearing of the bit and the copy marked it a second time).
  std::size_t TakePending(std::size_t& cursor, std::deque<TSendSnapshot>& batch, bool forLog);
  // Recorded positions (channels without work not yet dropped included).
  std::size_t PendingCount() const;
  // Installs the pending hook (nullptr: none); context is handed to it.
  using TPendingHook = void (*)(void* context) noexcept;
  void SetPendingHook(TPendingHook hook, void* context);

 private:
  using TGuard = TLockGuard<TReentrantLock>;

  TChannel2* AddNew(TChannel2& channel, bool refuseDuplicate) REQUIRES(lock_);
  // True when it handed a number out (the caller's channel had none).
  bool AssignNumber(TChannel2& channel) REQUIRES(lock_);
  TNumberLoss UpdateExisting(TChannel2& existing, const TChannel2& channel, std::uint16_t mask)
      REQUIRES(lock_);
  TChannel2& FindForUpdate(const TChannel2& channel, bool byAddress) const REQUIRES(lock_);
  TNumberLoss Renumber(TChannel2& existing, std::uint32_t number) REQUIRES(lock_);
  bool IsMaster(const TChannel2* channel) const REQUIRES(lock_);
  // Records a master channel that has send work, calling the hook when the
  // record was empty. Allocates nothing (AddNew made room for every
  // position), so it may run while unwinding.
  void RecordPending(const TChannel2& master) noexcept REQUIRES(lock_) {
    if (!master.HasSendWork()) return;
    if (pending_.Insert(master.listPosition_) && pendingHook_ != nullptr)
      pendingHook_(pendingContext_);
  }
  void SetModifiedLocked(bool value) REQUIRES(lock_);
  TNumberLoss UpdateLocked(const TChannel2* channel, std::uint16_t mask, bool byAddress,
                           bool requireActive, TChannel2* after, TChannel2* before) REQUIRES(lock_);
  bool CopyOut(TChannel2* existing, TChannel2* target) REQUIRES(lock_);

  // Old values with a heap block that StoreValue replaced while the send
  // pass may have been copying them: freed once it cannot be.
  struct TRetired {
    Variant value;
    TRetired* next = nullptr;
  };
  void Retire(Variant& old) noexcept;
  void FreeRetired() noexcept;

  mutable TReentrantLock lock_;
  // The value lock (see above); taken after the list lock.
  mutable TSpinParkLock valueLock_ ACQUIRED_AFTER(lock_);
  TChannelStore items_ GUARDED_BY(lock_);
  TAddressIndex addressIndex_ GUARDED_BY(lock_);
  TNumberIndex numberIndex_ GUARDED_BY(lock_);
  // Changed under either lock (atomically); grown and cleared under both.
  TPositionSet pending_;
  std::string lastError_ GUARDED_BY(lock_);
  bool modified_ GUARDED_BY(lock_) = false;
  std::uint32_t modifiedTick_ GUARDED_BY(lock_) = 0;
  std::uint32_t lastNumber_ GUARDED_BY(lock_) = 0;
  // Set under both locks, read under either.
  TPendingHook pendingHook_ = nullptr;
  void* pendingContext_ = nullptr;
  std::atomic<TRetired*> retired_{nullptr};
  // True while the send pass copies values out (TakePending).
  std::atomic<bool> copying_{false};
};

template <class R, class Change>
R TChannelList2::ChangeByAddress(std::string_view addr, R notListed, Change change) {
  TGuard guard(lock_);
  TLockGuard<TSpinParkLock> valueGuard(valueLock_);
  const std::uint32_t position = addressIndex_.Find(addr, items_);
  if (position == kNoEntry) return notListed;
  TChannel2& master = items_[position];
  struct TRecord {
    TChannelList2& list;
    TChannel2& master;
    // Runs before the guard's release; the analysis cannot see that
    // through the destructor of a local type.
    ~TRecord() NO_THREAD_SAFETY_ANALYSIS { list.RecordPending(master); }
  } record{*this, master};
  return change(master);
}

}  // namespace kv
