#include "channels/ChannelList.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
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
// One hold of TakeKept looks at this many kept values at most: a few
// microseconds.
constexpr std::size_t kKeptVisits = 512;

// Fields that the value path reads or writes under a stripe's lock: an
// update of any of them takes that lock as well.
constexpr std::uint16_t kValuePathFields = ChannelField::Addr | ChannelField::Type |
                                           ChannelField::DT | ChannelField::Quality |
                                           ChannelField::Value | ChannelField::Flags;

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

TChannelList2::~TChannelList2() { Clear(); }

const TChannelList2::TList& TChannelList2::LockList() {
  lock_.lock();
  return items_;
}

void TChannelList2::UnlockList() { lock_.unlock(); }

void TChannelList2::Clear() {
  TGuard guard(lock_);
  if (!items_.empty()) SetModifiedLocked(true);
  ++registrationChanges_;
  values_.Clear();
  numberIndex_.Clear();
}

// --- Add ---

bool TChannelList2::Add(TChannel2* channel, bool update, bool refuseDuplicate, std::uint16_t mask,
                        bool takeNumber) {
  TGuard guard(lock_);
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
  values_.MakeRoom(std::size_t{position} + 1, channel.Addr());
  numberIndex_.Reserve(std::size_t{position} + 1);
  const bool handedOut = AssignNumber(channel);
  TChannel2& added = items_.Append(channel);
  added.SetListPosition(TChannel2::TListKey(), position);
  added.SetNumberHandedOut(TChannel2::TListKey(), handedOut);
  values_.Enter(added, position);
  // A number another channel already holds stays with that channel.
  if (added.Number() != 0 && !numberIndex_.Contains(added.Number()))
    numberIndex_.Set(added.Number(), position);
  values_.SyncSendable(added);
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
// a look-up never finds a channel under a key it no longer has. What the
// value path reads changes under its stripe locks as well (the address
// index following the address there), the rest under the list's lock only.
TNumberLoss TChannelList2::UpdateExisting(TChannel2& existing, const TChannel2& channel,
                                          std::uint16_t mask) {
  TNumberLoss loss;
  if ((mask & ChannelField::Number) && existing.Number() != channel.Number())
    loss = Renumber(existing, channel.Number());
  // A number an update gives, even the one the channel holds, is no longer
  // one the list handed out.
  if (mask & ChannelField::Number) existing.SetNumberHandedOut(TChannel2::TListKey(), false);
  ++registrationChanges_;
  existing.Assign(&channel, mask & ~kValuePathFields);
  if (mask & kValuePathFields) {
    // Exact comparison: a change of letter case alone also re-enters the
    // address, as the last entry under its key.
    std::optional<std::string_view> readdress;
    if ((mask & ChannelField::Addr) && existing.Addr() != channel.Addr())
      readdress = channel.Addr();
    values_.Change(existing, readdress, (mask & ChannelField::ValueState) != 0,
                   [&] { existing.Assign(&channel, mask & kValuePathFields); });
  }
  if (mask & (ChannelField::Active | ChannelField::Number)) values_.SyncSendable(existing);
  RecordPending(existing);
  return loss;
}

// The number index holds one channel per number, and the number an update
// gives wins: whoever held it before is left without a number (0) and named
// in the result.
TNumberLoss TChannelList2::Renumber(TChannel2& existing, std::uint32_t number) {
  numberIndex_.Reserve(items_.size());  // nothing below fails half-way
  TNumberLoss loss;
  if (numberIndex_.Find(existing.Number()) == existing.ListPosition())
    numberIndex_.Erase(existing.Number());
  if (number != 0) {
    const std::uint32_t holder = numberIndex_.Find(number);
    if (holder != kNoEntry && holder != existing.ListPosition()) {
      TChannel2& previous = items_[holder];
      loss = {std::string(previous.Addr()), number, previous.NumberHandedOut()};
      previous.SetNumber(0);
      previous.SetNumberHandedOut(TChannel2::TListKey(), false);
      values_.SyncSendable(previous);
    }
    numberIndex_.Set(number, existing.ListPosition());
  }
  return loss;
}

// --- UpdateOrRaise ---

TNumberLoss TChannelList2::UpdateOrRaise(const TChannel2* channel, std::uint16_t mask,
                                         bool byAddress, bool requireActive, TChannel2* after,
                                         TChannel2* before) {
  TGuard guard(lock_);
  return UpdateLocked(channel, mask, byAddress, requireActive, after, before);
}

TNumberLoss TChannelList2::UpdateLocked(const TChannel2* channel, std::uint16_t mask,
                                        bool byAddress, bool requireActive, TChannel2* after,
                                        TChannel2* before) {
  if (channel == nullptr) throw Exception("объект канала не задан"_cp);
  if (mask == 0) throw Exception("маска обновления не задана"_cp);
  TChannel2& existing = FindForUpdate(*channel, byAddress);
  if (before != nullptr) CopyOut(existing, *before);
  if (requireActive && !existing.Active()) RaiseChannelState(*channel, byAddress, " не активен"_cp);
  TNumberLoss loss = UpdateExisting(existing, *channel, mask);
  if (mask & kConfigurationFields) SetModifiedLocked(true);
  if (after != nullptr) CopyOut(existing, *after);
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
  const std::uint32_t position = number != 0 ? numberIndex_.Find(number) : values_.Find(addr);
  return position == kNoEntry ? nullptr : &items_[position];
}

bool TChannelList2::GetByAddress(std::string_view addr, TChannel2* target) {
  if (addr.empty() || target == nullptr) return false;
  return GetFound(addr, 0, *target);
}

bool TChannelList2::GetByNumber(std::uint32_t number, TChannel2* target) {
  if (number == 0 || target == nullptr) return false;
  return GetFound({}, number, *target);
}

bool TChannelList2::GetFound(std::string_view addr, std::uint32_t number, TChannel2& target) {
  TGuard guard(lock_);
  const TChannel2* existing = Find(addr, number);
  if (existing == nullptr) return false;
  try {
    CopyOut(*existing, target);
    return true;
  } catch (...) {
    return false;  // out of memory for the copy's texts or attributes
  }
}

void TChannelList2::CopyOut(const TChannel2& existing, TChannel2& target) {
  target.Assign(&existing,
                static_cast<std::uint16_t>(ChannelField::All & ~ChannelField::ValueState));
  values_.CopyValue(existing, target);
}

TListedState TChannelList2::ListedState(std::string_view addr, std::uint32_t number) const {
  if (number == 0 && addr.empty()) return TListedState::NotListed;
  TGuard guard(lock_);
  const TChannel2* existing = Find(addr, number);
  if (existing == nullptr) return TListedState::NotListed;
  return existing->Active() ? TListedState::Active : TListedState::Inactive;
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

std::uint32_t TChannelList2::RegistrationChanges() const {
  TGuard guard(lock_);
  return registrationChanges_;
}

// --- the pending record ---

bool TChannelList2::IsMaster(const TChannel2* channel) const {
  return channel != nullptr && channel->ListPosition() < items_.size() &&
         &items_[channel->ListPosition()] == channel;
}

void TChannelList2::MarkPending(TChannel2* channel) {
  TGuard guard(lock_);
  if (IsMaster(channel)) RecordPending(*channel);
}

void TChannelList2::SetPendingHook(TPendingHook hook, void* context) {
  TGuard guard(lock_);
  values_.SetPendingHook(hook, context);
}

void TChannelList2::SetSendFlags(TChannel2* channel, std::uint16_t bits) {
  TGuard guard(lock_);
  if (!IsMaster(channel)) return;
  if (bits & NeedSendValue) TValuePath::ForgetSent(*channel);
  channel->AddFlags(bits);
  RecordPending(*channel);
}

void TChannelList2::ClearSendFlags(TChannel2* channel, std::uint16_t bits) {
  TGuard guard(lock_);
  if (!IsMaster(channel)) return;
  channel->RemoveFlags(bits);
  // Erased before the look, so that a value call that sets a bit meanwhile
  // finds the channel recorded again.
  values_.Pending().Erase(channel->ListPosition());
  RecordPending(*channel);
}

void TChannelList2::SetSendFlagsOnAll(std::uint16_t bits) {
  for (std::size_t start = 0;; start += kMarkBatch) {
    TGuard guard(lock_);
    const std::size_t end = std::min(items_.size(), start + kMarkBatch);
    if (start >= end) return;
    for (std::size_t position = start; position < end; ++position) {
      TChannel2& channel = items_[position];
      if (bits & NeedSendValue) TValuePath::ForgetSent(channel);
      channel.AddFlags(bits);
      RecordPending(channel);
    }
  }
}

std::size_t TChannelList2::TakePending(std::size_t& cursor, std::deque<TSendSnapshot>& batch,
                                       bool forLog) {
  TGuard guard(lock_);
  const TValuePath::TCopying copying(values_);
  TPositionSet& pending = values_.Pending();
  struct TUncount {
    TPositionSet& pending;
    std::size_t erased = 0;
    ~TUncount() { pending.Uncount(erased); }
  } uncount{pending};
  std::size_t taken = 0;
  std::size_t cost = 0;
  for (std::size_t position = pending.NextFrom(cursor);
       position != TPositionSet::npos && cost < kSendBatchCost;
       position = pending.NextFrom(position + 1)) {
    cursor = position + 1;
    TChannel2& master = items_[position];
    // The record first, the marks after the copy: a host's value call that
    // comes in between records the channel again.
    if (pending.EraseUncounted(position)) ++uncount.erased;
    // The work HasSendWork tells, from one read of the bits.
    const std::uint16_t flags = master.Flags();
    const bool registration = (flags & NeedRegister) != 0;
    bool value = (flags & NeedSendValue) != 0 && master.Active() && master.Number() != 0;
    if (!registration && !value) continue;
    // The marks stay until the copy is made: one that fails (for want of
    // memory) leaves the channel due. What was taken before it goes out
    // first; the failure comes again with the next call.
    std::uint32_t sequence = 0;
    try {
      if (taken == batch.size()) batch.emplace_back();
      TSendSnapshot& snapshot = batch[taken];
      snapshot.Channel.CopySendFields(master, registration, forLog && value);
      if (value) sequence = values_.CopyForSend(master, snapshot.Channel);
    } catch (...) {
      RecordPending(master);
      if (taken == 0) throw;
      cursor = position;
      return taken;
    }
    if (registration) master.RemoveFlags(NeedRegister);
    // Kept values of the channel go first: the current value waits, and
    // the channel is recorded again once the last of them went. Read after
    // the copy, which a host that kept a value published after counting it.
    if (value && TValueHistory::HeldBack(master)) value = false;
    if (value) value = values_.Sent(master, sequence);
    if (!registration && !value) continue;
    TSendSnapshot& snapshot = batch[taken];
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
  return values_.Pending().Count();
}

std::size_t TChannelList2::TakeKept(std::deque<TKeptSnapshot>& batch, std::size_t most) {
  if (batch.size() < most) batch.resize(most);  // nothing allocates once values are taken
  // What the sweep asks of the list, inside this hold.
  struct THandler {
    TChannelList2& list;
    std::deque<TKeptSnapshot>& batch;
    std::size_t taken = 0;
    bool MayTake(std::uint32_t position) const NO_THREAD_SAFETY_ANALYSIS {
      const TChannel2& master = list.items_[position];
      return master.Active() && master.Number() != 0;
    }
    void Take(const TValueHistory::TTaken& kept, bool lastOfChannel) NO_THREAD_SAFETY_ANALYSIS {
      const TValueHistory::TRecord& record = kept.Record();
      TChannel2& master = list.items_[record.position];
      TKeptSnapshot& snapshot = batch[taken++];
      snapshot.Channel.SetKeptValue(TChannel2::TListKey(), master.Number(), record.type, record.dt,
                                    record.quality, record.value);
      snapshot.Taken = kept;
      if (lastOfChannel) list.RecordPending(master);
    }
    void Released(std::uint32_t position) NO_THREAD_SAFETY_ANALYSIS {
      list.RecordPending(list.items_[position]);
    }
  } handler{*this, batch};
  TGuard guard(lock_);
  const TValueHistory::TReading reading(values_.History());
  values_.ReclaimHistory();
  values_.History().Sweep(kKeptVisits, most, platform::TickCount(), handler);
  return handler.taken;
}

void TChannelList2::ReclaimHistory() {
  const TValueHistory::TReading reading(values_.History());
  values_.ReclaimHistory();
}

void TChannelList2::TrimHistory() {
  const TValueHistory::TReading reading(values_.History());
  values_.ReclaimHistory();
  values_.History().DropAged(platform::TickCount());
}

}  // namespace kv
