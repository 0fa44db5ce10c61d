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
// Locks. The list lock (LockList) guards the store, the number index,
// LastNumber, LastError, Modified, ModifiedTick and every field of every
// master channel except time stamp, quality and value, which belong to the
// value path (TValuePath, ValuePath.h: striped locks that the host's value
// call takes, never the list lock). The list lock is re-entrant: the thread
// that holds it may call any operation. Every public operation takes it for
// its whole run, except Find, which the caller calls inside its own
// LockList/UnlockList (or TLockedList), and StoreValue and ReadValue, which
// take only the value path's. A pointer from Find or from the store is
// valid only until the lock is released. Waiters spin briefly before they
// sleep (see TSpinParkLock), and every hold is short and bounded: the worker
// holds it for at most one small batch of channels (TakePending,
// SetSendFlagsOnAll).
//
// Reading a master's time stamp, quality or value under the list lock alone
// is a race with the host's value calls: ReadValue takes them consistently,
// as do GetByAddress and GetByNumber in their full copies.
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
// The history (TValueHistory, when the client turned it on) keeps the values
// a channel could not send at once. While a channel has kept values, the
// send pass holds its current value back; the worker takes the kept values
// out with TakeKept and confirms or reverts each, and the channel's current
// value goes out once the last of them went.
//
// The pending hook. A worker that sleeps while nothing is pending must learn
// of the first new mark: the list calls its owner's hook whenever the record
// goes from empty to non-empty (and only then, so a burst of marks costs one
// call). The hook runs on the marking thread, under the list lock or right
// after a value call's hold: it must be cheap, must not block and must not
// call back into the list.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "channels/Channel.h"
#include "channels/ChannelIndex.h"
#include "channels/ChannelStore.h"
#include "channels/ValuePath.h"
#include "runtime/LockedList.h"
#include "runtime/SpinLock.h"

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

// One kept value that TakeKept took for sending: what its value record
// needs (number, type, time stamp, quality and value), and the handle that
// confirms or reverts it.
struct TKeptSnapshot {
  TChannel2 Channel;
  TValueHistory::TTaken Taken;
};

// Whether a channel is listed, and active.
enum class TListedState { NotListed, Inactive, Active };

class TChannelList2 {
 public:
  using TList = TChannelStore;

  TChannelList2() : values_(items_) {}
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

  // Under the lock and the lock of the channel's stripe, change(master) on
  // the channel listed under addr, then the pending rule applied to it
  // (also when change raises, which then goes on to the caller); change's
  // result, or notListed. change must not change the address or the type.
  template <class R, class Change>
  R ChangeByAddress(std::string_view addr, R notListed, Change change);

  // The host's value call (see TValuePath::Store); takes only the value
  // path's lock of the channel's stripe (shared) and the channel's state
  // lock, twice, for a few stores each.
  using TValueCheck = TValuePath::TValueCheck;
  TStoreResult StoreValue(std::string_view addr, std::uint16_t quality, TDateTime dt,
                          const Variant& value, TValueCheck check) {
    return values_.Store(addr, quality, dt, value, check);
  }
  // Time stamp, quality and value of the channel listed under addr, taken
  // together; nothing when it is not listed. The one safe way to read them
  // while host threads may store.
  std::optional<TValueSnapshot> ReadValue(std::string_view addr) const {
    return values_.Read(addr);
  }

  // By number when it is not 0, else by address (never for an empty one),
  // under the list lock alone.
  TListedState ListedState(std::string_view addr, std::uint32_t number) const;

  int Count() const;
  int ActiveCount() const;
  // Rises whenever a listed channel's registration may have changed (an
  // update, a re-registration, ChangeByAddress): work prepared from a copy
  // outside the lock is still good if it has not risen since.
  std::uint32_t RegistrationChanges() const;

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
  // values' text reads) and then clears the bits of those records:
  // NeedRegister, and NeedSendValue when its value goes out (together with
  // the value's copy, see TValuePath). A change the host makes afterwards
  // marks the channel again. A copy that fails (for want of memory) raises
  // and leaves that channel marked and recorded. Moves `cursor` past the
  // last channel looked at and returns how many entries of `batch` it
  // filled; 0 when nothing is left from `cursor` on. `batch` only grows, so
  // its channels keep their storage from one batch to the next.
  std::size_t TakePending(std::size_t& cursor, std::deque<TSendSnapshot>& batch, bool forLog);
  // Recorded positions (channels without work not yet dropped included).
  std::size_t PendingCount() const;

  // --- the history (see above and ValueHistory.h) ---
  // Before the first channel is added: keeps values a channel cannot send
  // at once within these limits.
  void SetHistoryLimits(TValueHistory::TLimits limits) { values_.History().SetLimits(limits); }
  bool HistoryOn() const { return values_.History().On(); }
  std::uint64_t HistoryLimitBytes() const { return values_.History().Limits().bytes; }
  // The worker: the client logged in (after marking every channel) or out.
  void SetHistoryLinkUp(bool up) { values_.History().SetLinkUp(up); }
  // The worker: one batch of kept values whose channels may send, at most
  // `most`, in hand-over order per channel, copied into `batch` (grown to
  // `most` entries first); each is then sending until ConfirmKept or
  // RevertKept. Drops those past the age limit on the way. Returns how many
  // it filled; 0 when none may go now.
  std::size_t TakeKept(std::deque<TKeptSnapshot>& batch, std::size_t most);
  // The worker: the socket took a taken value's bytes (`sent`), or the
  // value can never go out.
  void ConfirmKept(const TValueHistory::TTaken& taken, bool sent) {
    values_.History().Confirm(taken, sent);
  }
  // The worker: taken values go back to the history, for the next login.
  template <class Range, class Get>
  void RevertKept(const Range& range, Get get);
  // The worker: whether TakeKept may find something now.
  bool HistoryHasWork() const { return values_.History().HasWork(); }
  // The worker, logged out: drops kept values past the age limit and frees
  // what their going left.
  void TrimHistory();
  // The worker: frees what kept values that went left.
  void ReclaimHistory();
  TValueHistory::TFigures HistoryFigures() const { return values_.History().Figures(); }
  // How many value calls replaced a value that had not gone out yet.
  std::uint64_t ValuesReplaced() const noexcept { return values_.Replaced(); }
  // Installs the pending hook (nullptr: none); context is handed to it.
  using TPendingHook = TValuePath::TPendingHook;
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
    if (master.HasSendWork()) values_.Record(master.ListPosition());
  }
  void SetModifiedLocked(bool value) REQUIRES(lock_);
  TNumberLoss UpdateLocked(const TChannel2* channel, std::uint16_t mask, bool byAddress,
                           bool requireActive, TChannel2* after, TChannel2* before) REQUIRES(lock_);
  // A full copy of a master into target.
  void CopyOut(const TChannel2& existing, TChannel2& target) REQUIRES(lock_);
  // CopyOut of the channel Find(addr, number) gives, under the list's lock;
  // false when there is none or the copy failed.
  bool GetFound(std::string_view addr, std::uint32_t number, TChannel2& target);

  mutable TReentrantLock lock_;
  // Host threads read the store and the value path on every value call;
  // the worker writes the list lock's owner and depth on every batch: kept
  // off one cache line.
  alignas(64) TChannelStore items_ GUARDED_BY(lock_);
  TNumberIndex numberIndex_ GUARDED_BY(lock_);
  // The address index, the pending record and the hook live in the value
  // path, with their own rules; it reads items_ under its stripe locks.
  alignas(64) TValuePath values_;
  std::string lastError_ GUARDED_BY(lock_);
  bool modified_ GUARDED_BY(lock_) = false;
  std::uint32_t modifiedTick_ GUARDED_BY(lock_) = 0;
  std::uint32_t lastNumber_ GUARDED_BY(lock_) = 0;
  std::uint32_t registrationChanges_ GUARDED_BY(lock_) = 0;
};

template <class Range, class Get>
void TChannelList2::RevertKept(const Range& range, Get get) {
  TGuard guard(lock_);
  for (const auto& item : range) values_.History().Revert(get(item));
}

template <class R, class Change>
R TChannelList2::ChangeByAddress(std::string_view addr, R notListed, Change change) {
  TGuard guard(lock_);
  const std::uint32_t position = values_.Find(addr);
  if (position == kNoEntry) return notListed;
  TChannel2& master = items_[position];
  struct TRecord {
    TChannelList2& list;
    TChannel2& master;
    // Runs before the guard's release; the analysis cannot see that
    // through the destructor of a local type.
    ~TRecord() NO_THREAD_SAFETY_ANALYSIS {
      ++list.registrationChanges_;
      list.RecordPending(master);
    }
  } record{*this, master};
  std::optional<R> result;
  values_.Change(master, std::nullopt, true, [&] { result.emplace(change(master)); });
  return *result;
}

}  // namespace kv
