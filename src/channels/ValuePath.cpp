#include "channels/ValuePath.h"

#include <algorithm>
#include <new>
#include <thread>
#include <utility>

#include "channels/ChannelAttribute.h"
#include "values/DataTypes.h"

namespace kv {

namespace {

// Whether storing `value` into a channel of `type` takes a few instructions
// whatever the value: a number (or boolean, or nothing) into a channel of a
// scalar type that is no text. Texts and arrays take time that grows with
// their size.
bool Small(const Variant& value, std::uint16_t type) noexcept {
  const std::uint16_t kind = value.ElementKind();
  return !value.IsArray() && kind != varString && kind != varOleStr && (type & dtArray) == 0 &&
         (type & dtTypeMask) != dtString;
}

// The value a call stores (`stored` false: none, it keeps the old one), or
// false when `check` refuses it.
bool Prepare(const Variant& value, std::uint16_t quality, std::uint16_t type,
             TValuePath::TValueCheck check, Variant& next, bool& stored) {
  stored = false;
  if (quality != 0) return true;
  next = value;
  stored = ConvertForStore(next, type);
  return !stored || check == nullptr || check(next);
}

}  // namespace

TStoreResult TValuePath::Store(std::string_view addr, std::uint16_t quality, TDateTime dt,
                               const Variant& value, TValueCheck check) {
  const std::uint32_t hash = TAddressIndex::Hash(addr);
  TStripe& stripe = stripes_[StripeOf(hash)];
  std::optional<TLarge> large;
  Variant next;  // the new value, and after the swap the old one, dropped last
  bool stored = false;
  TWake wake;
  TStoreResult result = TStoreResult::Stored;
  bool kept = false;
  {
    THold hold(stripe.lock, history_.On());
    const std::uint32_t position = stripe.index.Find(addr, hash, store_);
    if (position == kNoEntry) return TStoreResult::NotListed;
    TChannel2& master = store_[position];
    if (!Small(value, master.type_)) {
      Look(master, quality, dt, large.emplace());
    } else {
      // A few instructions whatever the value: all in this hold.
      if (!Prepare(value, quality, master.type_, check, next, stored)) return TStoreResult::Refused;
      const std::uint32_t sequence = LockState(master);
      if (master.dt_ == dt && master.quality_ == quality && master.value_ == value) {
        UnlockState(master, sequence);
        return TStoreResult::Unchanged;
      }
      result = Publish(StripeOf(hash), master, position, sequence, dt, quality, stored, next, wake,
                       kept);
    }
  }
  if (large) return StoreLarge(stripe, hash, addr, quality, dt, value, check, *large);
  if (stored) Retire(next);
  if (kept && history_.OverBound()) DropToBound();
  // Waking the worker is a system call: other host threads need not wait
  // for it.
  wake();
  return result;
}

// The stored quality is one byte, so a quality above 255 never counts as
// unchanged.
void TValuePath::Look(const TChannel2& master, std::uint16_t quality, TDateTime dt,
                      TLarge& large) noexcept {
  large.type = master.type_;
  const std::uint32_t sequence = LockState(master);
  large.sameState = master.dt_ == dt && master.quality_ == quality;
  large.held = large.sameState ? master.value_ : Variant();
  UnlockState(master, sequence);
}

TStoreResult TValuePath::StoreLarge(TStripe& stripe, std::uint32_t hash, std::string_view addr,
                                    std::uint16_t quality, TDateTime dt, const Variant& value,
                                    TValueCheck check, TLarge& large) {
  for (;;) {
    // Converted, checked and compared outside any lock.
    Variant next;
    bool stored = false;
    if (!Prepare(value, quality, large.type, check, next, stored)) return TStoreResult::Refused;
    if (large.sameState && large.held == value) return TStoreResult::Unchanged;
    TWake wake;
    TStoreResult result;
    bool kept = false;
    {
      THold hold(stripe.lock, history_.On());
      const std::uint32_t position = stripe.index.Find(addr, hash, store_);
      if (position == kNoEntry) return TStoreResult::NotListed;
      TChannel2& master = store_[position];
      if (master.type_ != large.type) {
        // Converted for a type the channel no longer has: again.
        Look(master, quality, dt, large);
        continue;
      }
      result = Publish(StripeOf(hash), master, position, LockState(master), dt, quality, stored,
                       next, wake, kept);
    }
    if (stored) Retire(next);
    if (kept && history_.OverBound()) DropToBound();
    wake();
    return result;
  }
}

TStoreResult TValuePath::Publish(std::size_t stripe, TChannel2& master, std::uint32_t position,
                                 std::uint32_t sequence, TDateTime dt, std::uint16_t quality,
                                 bool stored, Variant& next, TWake& wake, bool& kept) noexcept {
  // Counted before the state is published: a send pass that copies this
  // state also sees that the channel's kept values come first.
  kept = history_.On() && history_.MustKeep(master);
  if (kept) TValueHistory::Announce(master);
  // The send pass reads these without a lock: it reads again while the
  // sequence is odd (as the state lock leaves it) or has moved.
  std::atomic_thread_fence(std::memory_order_release);
  std::atomic_ref<TDateTime>(master.dt_).store(dt, std::memory_order_relaxed);
  std::atomic_ref<std::uint8_t>(master.quality_)
      .store(static_cast<std::uint8_t>(quality), std::memory_order_relaxed);
  if (stored) master.value_.SwapPublished(next);
  master.valueSequence_.store(sequence + 2, std::memory_order_release);
  if (kept) kept = history_.Keep(stripe, master, position);
  const std::uint16_t before = master.AddFlags(NeedSendValue);
  if (pending_.InsertReserved(position)) wake = {hook_, hookContext_};
  if ((before & NeedSendValue) == 0) return TStoreResult::Stored;
  stripes_[stripe].replaced.fetch_add(1, std::memory_order_relaxed);
  return TStoreResult::Replaced;
}

std::uint32_t TValuePath::LockState(const TChannel2& master) noexcept {
  std::atomic<std::uint32_t>& lock = const_cast<TChannel2&>(master).valueSequence_;
  for (int tries = 0;; ++tries) {
    std::uint32_t sequence = lock.load(std::memory_order_relaxed);
    if ((sequence & 1) == 0 &&
        lock.compare_exchange_weak(sequence, sequence + 1, std::memory_order_acquire,
                                   std::memory_order_relaxed))
      return sequence;
    // Another thread's call on this channel, a few instructions long,
    // unless its thread lost its processor: then let it finish.
    if (tries >= 64) std::this_thread::yield();
  }
}

std::uint64_t TValuePath::Replaced() const noexcept {
  std::uint64_t sum = 0;
  for (const TStripe& stripe : stripes_) sum += stripe.replaced.load(std::memory_order_relaxed);
  return sum;
}

std::optional<TValueSnapshot> TValuePath::Read(std::string_view addr) const {
  const std::uint32_t hash = TAddressIndex::Hash(addr);
  const TStripe& stripe = stripes_[StripeOf(hash)];
  TSharedGuard guard(stripe.lock);
  const std::uint32_t position = stripe.index.Find(addr, hash, store_);
  if (position == kNoEntry) return std::nullopt;
  const TChannel2& master = store_[position];
  const std::uint32_t sequence = LockState(master);
  TValueSnapshot snapshot{master.dt_, master.quality_, master.value_};
  UnlockState(master, sequence);
  return snapshot;
}

std::uint32_t TValuePath::Find(std::string_view addr) const noexcept {
  const std::uint32_t hash = TAddressIndex::Hash(addr);
  return stripes_[StripeOf(hash)].index.Find(addr, hash, store_);
}

void TValuePath::MakeRoom(std::size_t count, std::string_view addr) {
  // Rare (the storage doubles), and short: only the storage moves.
  if (!store_.HasRoomFor(count) || !pending_.HasRoomFor(count)) {
    LockAll();
    try {
      store_.Reserve(count);
      pending_.Reserve(count);
    } catch (...) {
      UnlockAll();
      throw;
    }
    UnlockAll();
  }
  pending_.Reserve(count);  // within its storage now
  MakeIndexRoom(stripes_[StripeOf(TAddressIndex::Hash(addr))]);
}

void TValuePath::MakeIndexRoom(TStripe& stripe) {
  const std::size_t entries = stripe.index.Count() + 1;
  if (stripe.index.HasRoomFor(entries)) return;
  // Built from the table while value calls read it too; only the exchange
  // needs the lock, and the old table is freed after it.
  TAddressIndex grown = stripe.index;
  grown.Reserve(entries);
  TGuard guard(stripe.lock);
  std::swap(stripe.index, grown);
}

void TValuePath::Enter(TChannel2& master, std::uint32_t position) {
  TStripe& stripe = stripes_[StripeOf(master.Addr())];
  TGuard guard(stripe.lock);
  stripe.index.Insert(master.Addr(), position, store_);
}

void TValuePath::CopyValue(const TChannel2& master, TChannel2& target) const noexcept {
  Variant previous = std::move(target.value_);  // freed after the hold
  TSharedGuard guard(stripes_[StripeOf(master.Addr())].lock);
  const std::uint32_t sequence = LockState(master);
  target.dt_ = master.dt_;
  target.quality_ = master.quality_;
  target.value_ = master.value_;
  UnlockState(master, sequence);
}

TValuePath::TCopying::TCopying(TValuePath& path) noexcept : path_(path) {
  path_.FreeRetired();
  path_.copying_.store(true);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

// The send pass is the only thread that copies (under the list's lock): once
// it stopped, nothing reaches what was retired meanwhile.
TValuePath::TCopying::~TCopying() {
  path_.copying_.store(false, std::memory_order_release);
  path_.FreeRetired();
}

std::uint32_t TValuePath::CopyForSend(const TChannel2& master, TChannel2& copy) const noexcept {
  auto& from = const_cast<TChannel2&>(master);
  std::uint32_t sequence = 0;
  Variant::TBits bits;
  for (int tries = 0;; ++tries) {
    sequence = from.valueSequence_.load(std::memory_order_acquire);
    if ((sequence & 1) == 0) {
      copy.dt_ = std::atomic_ref<TDateTime>(from.dt_).load(std::memory_order_relaxed);
      copy.quality_ = std::atomic_ref<std::uint8_t>(from.quality_).load(std::memory_order_relaxed);
      bits = master.value_.LoadPublished();
      std::atomic_thread_fence(std::memory_order_acquire);
      if (from.valueSequence_.load(std::memory_order_relaxed) == sequence) break;
    }
    // The writer lost its processor in the middle: let it finish.
    if (tries >= 64) std::this_thread::yield();
  }
  // The block is alive: its value is published, or retired while copying.
  copy.value_ = Variant::CopyOfBits(bits);
  return sequence;
}

bool TValuePath::Sent(TChannel2& master, std::uint32_t sequence) noexcept {
  master.RemoveFlags(NeedSendValue);
  // A host that published after the copy may have set its mark before the
  // line above took it away. One that holds the state lock now sets its
  // mark after this (it publishes before it marks), or changes nothing.
  if ((master.valueSequence_.load(std::memory_order_acquire) & ~1u) != sequence) {
    master.AddFlags(NeedSendValue);
    Record(master.listPosition_);
  }
  if (sequence == master.sentSequence_) return false;
  master.sentSequence_ = sequence;
  return true;
}

void TValuePath::DropToBound() noexcept {
  // The index of hand-over names the oldest value's stripe at once, unless
  // values went otherwise (sent, dropped for their age): after a few misses
  // every stripe is asked. Each try drops a value or corrects what a stripe
  // or the index tells, so a few rounds settle it; a value the worker is
  // sending cannot be dropped, and then the bound waits for it.
  constexpr int kIndexMisses = 4;
  int misses = 0;
  for (std::size_t tries = 0; tries < 4 * kStripes && history_.OverBound(); ++tries) {
    const TValueHistory::TVictim victim =
        misses < kIndexMisses ? history_.NextVictim() : history_.OldestStripe();
    if (victim.stripe == kStripes) return;
    TWake wake;
    bool dropped = false;
    {
      TGuard guard(stripes_[victim.stripe].lock);
      const TValueHistory::TDrop drop = history_.DropOldest(victim);
      dropped = drop.dropped;
      // A channel whose last kept value went may send its current one (a
      // login marks every channel anyway).
      if (drop.lastOfChannel && history_.LinkUp() && pending_.InsertReserved(drop.position))
        wake = {hook_, hookContext_};
    }
    wake();
    if (!dropped && victim.fromIndex) ++misses;
  }
}

void TValuePath::Clear() noexcept {
  LockAll();
  history_.Clear();
  store_.Clear();
  for (TStripe& stripe : stripes_) stripe.index.Clear();
  pending_.Clear();
  UnlockAll();
}

// Called after the publication. The send pass may be copying the old value
// right now; if it is not, no later copy can reach it (fences on both sides
// order the publication against the pass's mark). Values others retired are
// the pass's to free: a host that saw it not copying cannot tell that it has
// not begun since, and may be holding one of them.
void TValuePath::Retire(Variant& old) noexcept {
  if (!old.OwnsHeap()) return;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (!copying_.load()) return;  // the caller drops `old`
  TRetired* node = new (std::nothrow) TRetired;
  if (node == nullptr) {
    // No memory for the record: wait for the copying to end instead.
    while (copying_.load()) std::this_thread::yield();
    return;
  }
  node->value = std::move(old);
  node->next = retired_.load(std::memory_order_relaxed);
  while (!retired_.compare_exchange_weak(node->next, node, std::memory_order_release,
                                         std::memory_order_relaxed)) {
  }
}

// Only while the send pass is not copying, so only by the pass itself (its
// copies begin and end under the list's lock), and at the end.
void TValuePath::FreeRetired() noexcept {
  TRetired* node = retired_.exchange(nullptr, std::memory_order_acquire);
  while (node != nullptr) {
    TRetired* next = node->next;
    delete node;
    node = next;
  }
}

void TValuePath::Record(std::uint32_t position) noexcept {
  if (pending_.InsertReserved(position) && hook_ != nullptr) hook_(hookContext_);
}

void TValuePath::SetPendingHook(TPendingHook hook, void* context) noexcept {
  LockAll();
  hook_ = hook;
  hookContext_ = context;
  UnlockAll();
}

void TValuePath::Lock(std::size_t a, std::size_t b) const noexcept {
  stripes_[std::min(a, b)].lock.lock();
  if (a != b) stripes_[std::max(a, b)].lock.lock();
}

void TValuePath::Unlock(std::size_t a, std::size_t b) const noexcept {
  stripes_[a].lock.unlock();
  if (a != b) stripes_[b].lock.unlock();
}

void TValuePath::LockAll() const noexcept {
  for (const TStripe& stripe : stripes_) stripe.lock.lock();
}

void TValuePath::UnlockAll() const noexcept {
  for (const TStripe& stripe : stripes_) stripe.lock.unlock();
}

}  // namespace kv
