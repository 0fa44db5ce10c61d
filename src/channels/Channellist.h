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
// lock, the master itself (Find, LockList).
//
// Lock: the one re-entrant lock of the base guards the inner list, both
// indexes, the pending record, LastNumber, LastError, Modified, ModifiedTick
// and every field of every master channel. Every public operation takes it
// for its whole run, except Find, which the caller calls inside its own
// LockList/UnlockList (or TLockedList). A pointer from Find or from the inner
// list is valid only until the lock is released.
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
// one Active, must then call MarkPending(channel) — or use SetSendFlags,
// which does both. Add and Update keep the record right by themselves. An
// inactive or unnumbered channel whose only pending bit is NeedSendValue
// keeps its bit but leaves the record until an Update (or a MarkPending)
// activates or numbers it.
//
// The pending hook. A worker that sleeps while nothing is pending must learn
// of the first new mark: the list calls its owner's hook whenever the record
// goes from empty to non-empty (and only then, so a burst of marks costs one
// call). The hook runs under the list's lock on the marking thread: it must
// be cheap, must not block and must not call back into the list.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "channels/Channel.h"
#include "channels/PositionSet.h"
#include "runtime/ThreadList.h"

namespace kv {

// The channel an update took its new number from.
struct TNumberLoss {
  std::string Addr;          // empty: no other channel held the number
  std::uint32_t Number = 0;  // the number it lost
  bool HandedOut = false;    // the list had handed that number out itself
};

class TChannelList2 : protected TThreadList<TChannel2> {
 public:
  using TList = TThreadList<TChannel2>::TList;

  TChannelList2() = default;
  ~TChannelList2() override;

  // Enters the lock and gives the master channels in list order. The list's
  // shape may only be changed through the operations below; the channels
  // themselves may be changed while the lock is held (see the pending rule).
  const TList& LockList();
  void UnlockList();

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
  TChannel2* Find(std::string_view addr, std::uint32_t number) const;
  // Full copies of a listed channel into target; false when not listed, for
  // an empty address or number 0 (without locking), a null target, or any
  // failure.
  bool GetByAddress(std::string_view addr, TChannel2* target);
  bool GetByNumber(std::uint32_t number, TChannel2* target);
  // A new full copy owned by the caller, or nullptr.
  std::unique_ptr<TChannel2> CopyByAddress(std::string_view addr);
  std::unique_ptr<TChannel2> CopyByNumber(std::uint32_t number);

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
  void SetSendFlags(TChannel2* channel, std::uint16_t bits);
  void ClearSendFlags(TChannel2* channel, std::uint16_t bits);
  // Sets bits on every master channel (the one full walk, after a login).
  void SetSendFlagsOnAll(std::uint16_t bits);
  // Calls visit(TChannel2&) under the lock for each recorded channel that
  // has send work, in list order; visit returns false to stop the walk.
  // Channels left without work are dropped from the record. visit may
  // change channels and call any operation except Clear.
  template <class Visit>
  void ForEachPending(Visit visit);
  // Recorded positions (channels without work not yet dropped included).
  std::size_t PendingCount() const;
  // Installs the pending hook (nullptr: none); context is handed to it.
  using TPendingHook = void (*)(void* context) noexcept;
  void SetPendingHook(TPendingHook hook, void* context);

 private:
  using TAddressIndex = std::unordered_map<std::string, std::vector<TChannel2*>>;

  TChannel2* AddNew(TChannel2& channel, bool refuseDuplicate);
  // True when it handed a number out (the caller's channel had none).
  bool AssignNumber(TChannel2& channel);
  TNumberLoss UpdateExisting(TChannel2& existing, const TChannel2& channel, std::uint16_t mask);
  TChannel2& FindForUpdate(const TChannel2& channel, bool byAddress) const;
  TNumberLoss Reindex(TChannel2& existing, const TChannel2& channel, std::uint16_t mask);
  void RemoveAddressEntry(TChannel2& channel);
  bool IsMaster(const TChannel2* channel) const;
  // Records a position, calling the hook when the record was empty.
  void RecordPending(std::size_t position);

  // Guarded by the base's lock.
  std::string lastError_;
  bool modified_ = false;
  std::uint32_t modifiedTick_ = 0;
  TAddressIndex addressIndex_;  // key: address upper-cased; the last entry wins
  std::unordered_map<std::uint32_t, TChannel2*> numberIndex_;
  std::uint32_t lastNumber_ = 0;
  TPositionSet pending_;
  TPendingHook pendingHook_ = nullptr;
  void* pendingContext_ = nullptr;
};

template <class Visit>
void TChannelList2::ForEachPending(Visit visit) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  for (std::size_t pos = pending_.NextFrom(0); pos != TPositionSet::npos;
       pos = pending_.NextFrom(pos + 1)) {
    TChannel2& channel = *Items()[pos];
    const bool goOn = !channel.HasSendWork() || visit(channel);
    if (pos >= Items().size()) return;  // the visitor cleared the list
    if (!channel.HasSendWork()) pending_.Erase(pos);
    if (!goOn) return;
  }
}

}  // namespace kv
