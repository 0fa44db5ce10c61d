#include "channels/Channellist.h"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <thread>
#include <utility>

#include "platform/Clock.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"

namespace kv {

namespace {

// Field bits whose change alters the list's configuration (the value,
// quality, time stamp, owner, user value and flags do not).
constexpr std::uint16_t kConfigurationFields = 0xD83F;

// One hold of the send pass copies about this many channels plus
// attributes: a few microseconds at most, which a waiting host thread spins
// through rather than sleeps.
constexpr std::size_t kSendBatchCost = 16;
// One hold of SetSendFlagsOnAll marks this many channels.
constexpr std::size_t kMarkBatch = 512;

// Fields that StoreValue reads or writes: an update of any of them, and a
// full copy of a channel, also takes the value lock.
constexpr std::uint16_t kValueLockFields = ChannelField::Addr | ChannelField::Type |
                                           ChannelField::DT | ChannelField::Quality |
                                           ChannelField::Value | ChannelField::Flags;
constexpr std::uint16_t kValueStateFields =
    ChannelField::DT | ChannelField::Quality | ChannelField::Value;

using TValueGuard = TLockGuard<TSpinParkLock>;

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text.append(part);
  return text;
}

[[noreturn]] void RaiseChannelState(const TChannel2& channel, bool byAddress,
                                    std::string_view state) {
  if (byAddress) throw Exception(Join({"канал "_cp, channel.Addr(), state}));
  throw Exception(Join({"канал №"_cp, channel.NumberStr(), state}));
}

}  // namespace

TChannelList2::~TChannelList2() {
  Clear();
  FreeRetired();
}

const TChannelList2::TList& TChannelList2::LockList() {
  lock_.lock();
  return items_;
}

void TChannelList2::UnlockList() { lock_.unlock(); }

void TChannelList2::Clear() {
  TGuard guard(lock_);
  TValueGuard valueGuard(valueLock_);
  if (!items_.empty()) SetModifiedLocked(true);
  items_.Clear();
  addressIndex_.Clear();
  numberIndex_.Clear();
  pending_.Clear();
}

// --- Add ---

bool TChannelList2::Add(TChannel2* channel, bool update, bool refuseDuplicate, std::uint16_t mask,
                        bool takeNumber) {
  TGuard guard(lock_);
  TValueGuard valueGuard(valueLock_);
  lastError_.clear();
  try {
    if (channel == nullptr) throw Exception("неверный параметр"_cp);
    if (channel->Addr().empty()) throw Exception("адрес канала не задан"_cp);
    if (update) {
      if (TChannel2* existing = Find(channel->Addr(), channel->Number())) {
        if (takeNumber) channel->SetNumber(existing->Number());
        UpdateExisting(*existing, *channel, mask);
        SetModifiedLocked(true);
        return true;
      }
    }
    AddNew(*channel, !update && refuseDuplicate);
    SetModifiedLocked(true);
    return true;
  } catch (const Exception& e) {
    lastError_ = e.Message();
  } catch (...) {
    lastError_ = "неизвестная ошибка"_cp;
  }
  return false;
}

TChannel2* TChannelList2::AddNew(TChannel2& channel, bool refuseDuplicate) {
  if (refuseDuplicate) {
    if (Find(channel.Addr(), 0) != nullptr)
      throw Exception(Join({"канал с адресом \""_cp, channel.Addr(), "\" уже есть в списке"_cp}));
    // A taken number is not refused: the channel gets a new one.
    if (channel.Number() != 0 && numberIndex_.Contains(channel.Number())) channel.SetNumber(0);
  }
  const auto position = static_cast<std::uint32_t>(items_.size());
  // Everything that may fail for want of memory happens before the channel
  // is stored, so that a failure leaves no channel half-entered.
  pending_.Reserve(position + 1);
  addressIndex_.Reserve(std::size_t{position} + 1);
  numberIndex_.Reserve(std::size_t{position} + 1);
  const bool handedOut = AssignNumber(channel);
  TChannel2& added = items_.Append(channel);
  added.listPosition_ = position;
  added.numberHandedOut_ = handedOut;
  addressIndex_.Insert(added.Addr(), position, items_);
  // A number another channel already holds stays with that channel.
  if (added.Number() != 0 && !numberIndex_.Contains(added.Number()))
    numberIndex_.Set(added.Number(), position);
  RecordPending(added);
  return &added;
}

bool TChannelList2::AssignNumber(TChannel2& channel) {
  if (channel.Number() != 0) {
    if (channel.Number() > lastNumber_) lastNumber_ = channel.Number();
    return false;
  }
  // Numbers only rise; after the last one there is none to hand out, and
  // wrapping to 0 would give a channel the "no number" mark. A number an
  // update gave some channel is skipped: it would be taken from it again.
  do {
    if (lastNumber_ == UINT32_MAX) throw Exception("номера каналов исчерпаны"_cp);
    ++lastNumber_;
  } while (numberIndex_.Contains(lastNumber_));
  channel.SetNumber(lastNumber_);
  return true;
}

// The indexes follow a changed address or number on this path too, so that
// a look-up never finds a channel under a key it no longer has. The address
// leaves the index while the channel still has it and is entered again once
// the channel has the new one (the index reads addresses from the channels).
TNumberLoss TChannelList2::UpdateExisting(TChannel2& existing, const TChannel2& channel,
                                          std::uint16_t mask) {
  TNumberLoss loss;
  if ((mask & ChannelField::Number) && existing.Number() != channel.Number())
    loss = Renumber(existing, channel.Number());
  // A number an update gives, even the one the channel holds, is no longer
  // one the list handed out.
  if (mask & ChannelField::Number) existing.numberHandedOut_ = false;
  // Exact comparison: a change of letter case alone also re-enters the
  // address, as the last entry under its key.
  const bool readdress = (mask & ChannelField::Addr) && existing.Addr() != channel.Addr();
  if (readdress) addressIndex_.Erase(existing.Addr(), existing.listPosition_, items_);
  try {
    existing.Assign(&channel, mask);
  } catch (...) {
    if (readdress) addressIndex_.Insert(existing.Addr(), existing.listPosition_, items_);
    throw;
  }
  if (readdress) addressIndex_.Insert(existing.Addr(), existing.listPosition_, items_);
  if (mask & kValueStateFields) existing.BumpValueSequence();
  RecordPending(existing);
  return loss;
}

// The number index holds one channel per number, and the number an update
// gives wins: whoever held it before is left without a number (0) and named
// in the result.
TNumberLoss TChannelList2::Renumber(TChannel2& existing, std::uint32_t number) {
  numberIndex_.Reserve(items_.size());  // nothing below fails half-way
  TNumberLoss loss;
  if (numberIndex_.Find(existing.Number()) == existing.listPosition_)
    numberIndex_.Erase(existing.Number());
  if (number != 0) {
    const std::uint32_t holder = numberIndex_.Find(number);
    if (holder != kNoEntry && holder != existing.listPosition_) {
      TChannel2& previous = items_[holder];
      loss = {std::string(previous.Addr()), number, previous.numberHandedOut_};
      previous.SetNumber(0);
      previous.numberHandedOut_ = false;
    }
    numberIndex_.Set(number, existing.listPosition_);
  }
  return loss;
}

// --- UpdateOrRaise ---

TNumberLoss TChannelList2::UpdateOrRaise(const TChannel2* channel, std::uint16_t mask,
                                         bool byAddress, bool requireActive, TChannel2* after,
                                         TChannel2* before) {
  TGuard guard(lock_);
  // The server's numbering changes neither values nor addresses, and must
  // not wait for a host's value call.
  if ((mask & kValueLockFields) != 0 || after != nullptr || before != nullptr) {
    TValueGuard valueGuard(valueLock_);
    return UpdateLocked(channel, mask, byAddress, requireActive, after, before);
  }
  return UpdateLocked(channel, mask, byAddress, requireActive, after, before);
}

TNumberLoss TChannelList2::UpdateLocked(const TChannel2* channel, std::uint16_t mask,
                                        bool byAddress, bool requireActive, TChannel2* after,
                                        TChannel2* before) {
  if (channel == nullptr) throw Exception("объект канала не задан"_cp);
  if (mask == 0) throw Exception("маска обновления не задана"_cp);
  TChannel2& existing = FindForUpdate(*channel, byAddress);
  if (before != nullptr) before->Assign(&existing);
  if (requireActive && !existing.Active()) RaiseChannelState(*channel, byAddress, " не активен"_cp);
  TNumberLoss loss = UpdateExisting(existing, *channel, mask);
  if (mask & kConfigurationFields) SetModifiedLocked(true);
  if (after != nullptr) after->Assign(&existing);
  return loss;
}

TChannel2& TChannelList2::FindForUpdate(const TChannel2& channel, bool byAddress) const {
  TChannel2* existing = nullptr;
  if (byAddress) {
    if (channel.Addr().empty()) throw Exception("адрес канала не задан"_cp);
    existing = Find(channel.Addr(), 0);
  } else {
    if (channel.Number() == 0) throw Exception("номер канала не задан"_cp);
    existing = Find({}, channel.Number());
  }
  if (existing == nullptr) RaiseChannelState(channel, byAddress, " не найден"_cp);
  return *existing;
}

bool TChannelList2::Update(const TChannel2* channel, std::uint16_t mask, bool byAddress,
                           bool requireActive, TChannel2* after, TChannel2* before) {
  try {
    UpdateOrRaise(channel, mask, byAddress, requireActive, after, before);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

// --- look-ups and copies ---

TChannel2* TChannelList2::Find(std::string_view addr, std::uint32_t number) const {
  const std::uint32_t position =
      number != 0 ? numberIndex_.Find(number) : addressIndex_.Find(addr, items_);
  return position == kNoEntry ? nullptr : &items_[position];
}

bool TChannelList2::GetByAddress(std::string_view addr, TChannel2* target) {
  if (addr.empty() || target == nullptr) return false;
  TGuard guard(lock_);
  return CopyOut(Find(addr, 0), target);
}

bool TChannelList2::GetByNumber(std::uint32_t number, TChannel2* target) {
  if (number == 0 || target == nullptr) return false;
  TGuard guard(lock_);
  return CopyOut(Find({}, number), target);
}

bool TChannelList2::CopyOut(TChannel2* existing, TChannel2* target) {
  if (existing == nullptr) return false;
  try {
    TValueGuard valueGuard(valueLock_);
    target->Assign(existing);
    return true;
  } catch (...) {
    return false;
  }
}

TListedState TChannelList2::ListedState(std::string_view addr, std::uint32_t number) const {
  if (number == 0 && addr.empty()) return TListedState::NotListed;
  TGuard guard(lock_);
  const TChannel2* existing = Find(addr, number);
  if (existing == nullptr) return TListedState::NotListed;
  return existing->Active() ? TListedState::Active : TListedState::Inactive;
}

// The host's value path. Its one lock is one the worker's send pass never
// takes (see the header); the look-up reads what the value lock guards, and
// the analysis, which knows one guard per field, cannot see that.
TStoreResult TChannelList2::StoreValue(std::string_view addr, std::uint16_t quality, TDateTime dt,
                                       const Variant& value,
                                       TValueCheck fits) NO_THREAD_SAFETY_ANALYSIS {
  TStoreResult result;
  TPendingHook hook = nullptr;
  {
    TValueGuard valueGuard(valueLock_);
    const std::uint32_t position = addressIndex_.Find(addr, items_);
    if (position == kNoEntry) return TStoreResult::NotListed;
    TChannel2& master = items_[position];
    if (quality == 0 && fits != nullptr && !fits(value, master.Type()))
      return TStoreResult::Refused;
    // The stored quality is one byte, so a quality above 255 never counts as
    // unchanged.
    if (master.DT() == dt && master.Quality() == quality && master.Value() == value)
      return TStoreResult::Unchanged;
    Variant next;
    bool storeValue = false;
    if (quality == 0) {
      next = value;
      storeValue = ConvertForStore(next, master.Type());
    }
    master.PublishValue(dt, static_cast<std::uint8_t>(quality), storeValue ? &next : nullptr);
    const std::uint16_t before = master.AddFlags(NeedSendValue);
    if (pending_.Insert(position)) hook = pendingHook_;
    if (storeValue && next.OwnsHeap()) Retire(next);
    result = (before & NeedSendValue) != 0 ? TStoreResult::Replaced : TStoreResult::Stored;
  }
  // Waking the worker is a system call: other host threads need not wait
  // for it.
  if (hook != nullptr) hook(pendingContext_);
  return result;
}

// Called under the value lock, after the new value was published. The send
// pass may be copying the old one right now; if it is not, no later copy
// can reach it (fences on both sides order the publication against the
// pass's mark).
void TChannelList2::Retire(Variant& old) noexcept {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (!copying_.load()) {
    FreeRetired();
    return;  // the caller frees `old`
  }
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

// Only while the send pass is not copying: by its own thread before it
// starts, or by a host's value call that saw it was not.
void TChannelList2::FreeRetired() noexcept {
  TRetired* node = retired_.exchange(nullptr, std::memory_order_acquire);
  while (node != nullptr) {
    TRetired* next = node->next;
    delete node;
    node = next;
  }
}

std::unique_ptr<TChannel2> TChannelList2::CopyByAddress(std::string_view addr) {
  auto copy = std::make_unique<TChannel2>();
  if (!GetByAddress(addr, copy.get())) return nullptr;
  return copy;
}

std::unique_ptr<TChannel2> TChannelList2::CopyByNumber(std::uint32_t number) {
  auto copy = std::make_unique<TChannel2>();
  if (!GetByNumber(number, copy.get())) return nullptr;
  return copy;
}

// --- counters and markers ---

int TChannelList2::Count() const {
  TGuard guard(lock_);
  return static_cast<int>(items_.size());
}

int TChannelList2::ActiveCount() const {
  TGuard guard(lock_);
  int count = 0;
  for (const TChannel2& channel : items_)
    if (channel.Active()) ++count;
  return count;
}

// Takes the lock as well: host threads and the worker both set the marker.
void TChannelList2::SetModified(bool value) {
  TGuard guard(lock_);
  SetModifiedLocked(value);
}

void TChannelList2::SetModifiedLocked(bool value) {
  modified_ = value;
  if (value) modifiedTick_ = platform::TickCount();
}

bool TChannelList2::Modified() const {
  TGuard guard(lock_);
  return modified_;
}

std::uint32_t TChannelList2::ModifiedTick() const {
  TGuard guard(lock_);
  return modifiedTick_;
}

std::string TChannelList2::LastError() const {
  TGuard guard(lock_);
  return lastError_;
}

std::uint32_t TChannelList2::LastNumber() const {
  TGuard guard(lock_);
  return lastNumber_;
}

// --- the pending record ---

bool TChannelList2::IsMaster(const TChannel2* channel) const {
  return channel != nullptr && channel->listPosition_ < items_.size() &&
         &items_[channel->listPosition_] == channel;
}

void TChannelList2::MarkPending(TChannel2* channel) {
  TGuard guard(lock_);
  if (IsMaster(channel)) RecordPending(*channel);
}

void TChannelList2::SetPendingHook(TPendingHook hook, void* context) {
  TGuard guard(lock_);
  TValueGuard valueGuard(valueLock_);
  pendingHook_ = hook;
  pendingContext_ = context;
}

void TChannelList2::SetSendFlags(TChannel2* channel, std::uint16_t bits) {
  TGuard guard(lock_);
  if (!IsMaster(channel)) return;
  if (bits & NeedSendValue) channel->sentSequence_ = TChannel2::kNothingSent;
  channel->AddFlags(bits);
  RecordPending(*channel);
}

void TChannelList2::ClearSendFlags(TChannel2* channel, std::uint16_t bits) {
  TGuard guard(lock_);
  if (!IsMaster(channel)) return;
  channel->RemoveFlags(bits);
  // Erased before the look, so that a value call that sets a bit meanwhile
  // finds the channel recorded again.
  pending_.Erase(channel->listPosition_);
  RecordPending(*channel);
}

void TChannelList2::SetSendFlagsOnAll(std::uint16_t bits) {
  for (std::size_t start = 0;; start += kMarkBatch) {
    TGuard guard(lock_);
    const std::size_t end = std::min(items_.size(), start + kMarkBatch);
    if (start >= end) return;
    for (std::size_t position = start; position < end; ++position) {
      TChannel2& channel = items_[position];
      if (bits & NeedSendValue) channel.sentSequence_ = TChannel2::kNothingSent;
      channel.AddFlags(bits);
      RecordPending(channel);
    }
  }
}

std::size_t TChannelList2::TakePending(std::size_t& cursor, std::deque<TSendSnapshot>& batch,
                                       bool forLog) {
  TGuard guard(lock_);
  FreeRetired();
  copying_.store(true);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  struct TBatchEnds {
    std::atomic<bool>& copying;
    TPositionSet& pending;
    std::size_t erased = 0;
    ~TBatchEnds() {
      copying.store(false, std::memory_order_release);
      pending.Uncount(erased);
    }
  } batchEnds{copying_, pending_};
  std::size_t taken = 0;
  std::size_t cost = 0;
  for (std::size_t position = pending_.NextFrom(cursor);
       position != TPositionSet::npos && cost < kSendBatchCost;
       position = pending_.NextFrom(position + 1)) {
    cursor = position + 1;
    TChannel2& master = items_[position];
    // The record first, the bits after: a host's value call that comes in
    // between sets the bit and records the channel again.
    if (pending_.EraseUncounted(position)) ++batchEnds.erased;
    // The work HasSendWork tells, from one read of the bits.
    const std::uint16_t flags = master.Flags();
    const bool registration = (flags & NeedRegister) != 0;
    bool value = (flags & NeedSendValue) != 0 && master.Active() && master.Number() != 0;
    if (!registration && !value) continue;
    master.RemoveFlags(static_cast<std::uint16_t>((registration ? NeedRegister : 0) |
                                                  (value ? NeedSendValue : 0)));
    if (taken == batch.size()) batch.emplace_back();
    TSendSnapshot& snapshot = batch[taken];
    const std::uint32_t sequence =
        snapshot.Channel.CopySendFields(master, registration, forLog && value);
    if (value && sequence == master.sentSequence_) value = false;  // copied out already
    if (value) master.sentSequence_ = sequence;
    if (!registration && !value) continue;
    snapshot.Registration = registration;
    snapshot.Value = value;
    snapshot.AttributeCount = master.AttributeCount();
    ++taken;
    cost += 1 + snapshot.Channel.AttributeCount();
  }
  return taken;
}

std::size_t TChannelList2::PendingCount() const {
  TGuard guard(lock_);
  return pending_.Count();
}

}  // namespace kv
