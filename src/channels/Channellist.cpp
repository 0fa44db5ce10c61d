#include "channels/Channellist.h"

#include <initializer_list>
#include <utility>

#include "platform/Clock.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"

namespace kv {

namespace {

// Field bits whose change alters the list's configuration (the value,
// quality, time stamp, owner, user value and flags do not).
constexpr std::uint16_t kConfigurationFields = 0xD83F;

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

const TChannelList2::TList& TChannelList2::LockList() { return TThreadList::LockList(); }

void TChannelList2::UnlockList() { TThreadList::UnlockList(); }

void TChannelList2::Clear() {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  try {
    for (auto& channel : Items()) {
      channel.reset();
      SetModified(true);
    }
  } catch (...) {
    // Clearing goes on regardless: nothing may stay half-indexed.
  }
  Items().clear();
  addressIndex_.clear();
  numberIndex_.clear();
  pending_.Clear();
}

// --- Add ---

bool TChannelList2::Add(TChannel2* channel, bool update, bool refuseDuplicate,
                        std::uint16_t mask, bool takeNumber) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  lastError_.clear();
  try {
    if (channel == nullptr) throw Exception("неверный параметр"_cp);
    if (channel->Addr().empty()) throw Exception("адрес канала не задан"_cp);
    if (update) {
      if (TChannel2* existing = Find(channel->Addr(), channel->Number())) {
        if (takeNumber) channel->SetNumber(existing->Number());
        UpdateExisting(*existing, *channel, mask);
        SetModified(true);
        return true;
      }
    }
    AddNew(*channel, !update && refuseDuplicate);
    SetModified(true);
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
    if (channel.Number() != 0 && numberIndex_.count(channel.Number()) != 0) channel.SetNumber(0);
  }
  const bool handedOut = AssignNumber(channel);
  auto master = std::make_unique<TChannel2>(&channel);
  TChannel2* added = master.get();
  added->listPosition_ = Items().size();
  added->numberHandedOut_ = handedOut;
  Items().push_back(std::move(master));
  addressIndex_[AnsiUpper(added->Addr())].push_back(added);
  // A number another channel already holds stays with that channel.
  numberIndex_.emplace(added->Number(), added);
  MarkPending(added);
  return added;
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
  } while (numberIndex_.count(lastNumber_) != 0);
  channel.SetNumber(lastNumber_);
  return true;
}

// The indexes follow a changed address or number on this path too, so that
// a look-up never finds a channel under a key it no longer has.
TNumberLoss TChannelList2::UpdateExisting(TChannel2& existing, const TChannel2& channel,
                                          std::uint16_t mask) {
  TNumberLoss loss = Reindex(existing, channel, mask);
  existing.Assign(&channel, mask);
  MarkPending(&existing);
  return loss;
}

// --- UpdateOrRaise ---

TNumberLoss TChannelList2::UpdateOrRaise(const TChannel2* channel, std::uint16_t mask,
                                         bool byAddress, bool requireActive, TChannel2* after,
                                         TChannel2* before) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  if (channel == nullptr) throw Exception("объект канала не задан"_cp);
  if (mask == 0) throw Exception("маска обновления не задана"_cp);
  TChannel2& existing = FindForUpdate(*channel, byAddress);
  if (before != nullptr) before->Assign(&existing);
  if (requireActive && !existing.Active())
    RaiseChannelState(*channel, byAddress, " не активен"_cp);
  TNumberLoss loss = UpdateExisting(existing, *channel, mask);
  if (mask & kConfigurationFields) SetModified(true);
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

// Moves existing's index entries to the address and number it is about to
// take. The number index holds one channel per number, and the number an
// update gives wins: whoever held it before is left without a number (0) and
// named in the result.
TNumberLoss TChannelList2::Reindex(TChannel2& existing, const TChannel2& channel,
                                   std::uint16_t mask) {
  TNumberLoss loss;
  const std::uint32_t newNumber = channel.Number();
  // A number an update gives, even the one the channel holds, is no longer
  // one the list handed out.
  if (mask & ChannelField::Number) existing.numberHandedOut_ = false;
  if ((mask & ChannelField::Number) && existing.Number() != newNumber) {
    const auto old = numberIndex_.find(existing.Number());
    if (old != numberIndex_.end() && old->second == &existing) numberIndex_.erase(old);
    if (newNumber != 0) {
      TChannel2*& holder = numberIndex_[newNumber];
      if (holder != nullptr && holder != &existing) {
        loss = {holder->Addr(), newNumber, holder->numberHandedOut_};
        holder->SetNumber(0);
        holder->numberHandedOut_ = false;
      }
      holder = &existing;
    }
  }
  // Exact comparison: a change of letter case alone also re-enters the
  // address, as the last entry under its key.
  if ((mask & ChannelField::Addr) && existing.Addr() != channel.Addr()) {
    RemoveAddressEntry(existing);
    addressIndex_[AnsiUpper(channel.Addr())].push_back(&existing);
  }
  return loss;
}

void TChannelList2::RemoveAddressEntry(TChannel2& channel) {
  const auto entry = addressIndex_.find(AnsiUpper(channel.Addr()));
  if (entry == addressIndex_.end()) return;
  auto& holders = entry->second;
  for (auto it = holders.end(); it != holders.begin();) {
    if (*--it == &channel) {
      holders.erase(it);
      break;
    }
  }
  if (holders.empty()) addressIndex_.erase(entry);
}

// --- look-ups and copies ---

TChannel2* TChannelList2::Find(std::string_view addr, std::uint32_t number) const {
  if (number != 0) {
    const auto entry = numberIndex_.find(number);
    return entry == numberIndex_.end() ? nullptr : entry->second;
  }
  const auto entry = addressIndex_.find(AnsiUpper(addr));
  return entry == addressIndex_.end() ? nullptr : entry->second.back();
}

bool TChannelList2::GetByAddress(std::string_view addr, TChannel2* target) {
  if (addr.empty() || target == nullptr) return false;
  try {
    std::lock_guard<std::recursive_mutex> guard(Mutex());
    const TChannel2* existing = Find(addr, 0);
    if (existing == nullptr) return false;
    target->Assign(existing);
    return true;
  } catch (...) {
    return false;
  }
}

bool TChannelList2::GetByNumber(std::uint32_t number, TChannel2* target) {
  if (number == 0 || target == nullptr) return false;
  try {
    std::lock_guard<std::recursive_mutex> guard(Mutex());
    const TChannel2* existing = Find({}, number);
    if (existing == nullptr) return false;
    target->Assign(existing);
    return true;
  } catch (...) {
    return false;
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
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  return static_cast<int>(Items().size());
}

int TChannelList2::ActiveCount() const {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  int count = 0;
  for (const auto& channel : Items())
    if (channel->Active()) ++count;
  return count;
}

// Takes the lock as well: host threads and the worker both set the marker.
void TChannelList2::SetModified(bool value) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  modified_ = value;
  if (value) modifiedTick_ = platform::TickCount();
}

bool TChannelList2::Modified() const {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  return modified_;
}

std::uint32_t TChannelList2::ModifiedTick() const {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  return modifiedTick_;
}

std::string TChannelList2::LastError() const {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  return lastError_;
}

std::uint32_t TChannelList2::LastNumber() const {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  return lastNumber_;
}

// --- the pending record ---

bool TChannelList2::IsMaster(const TChannel2* channel) const {
  return channel != nullptr && channel->listPosition_ < Items().size() &&
         Items()[channel->listPosition_].get() == channel;
}

void TChannelList2::MarkPending(TChannel2* channel) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  if (IsMaster(channel) && channel->HasSendWork()) RecordPending(channel->listPosition_);
}

void TChannelList2::RecordPending(std::size_t position) {
  const bool wasEmpty = pending_.Empty();
  pending_.Insert(position);
  if (wasEmpty && pendingHook_ != nullptr) pendingHook_(pendingContext_);
}

void TChannelList2::SetPendingHook(TPendingHook hook, void* context) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  pendingHook_ = hook;
  pendingContext_ = context;
}

void TChannelList2::SetSendFlags(TChannel2* channel, std::uint16_t bits) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  if (!IsMaster(channel)) return;
  channel->SetFlags(channel->Flags() | bits);
  MarkPending(channel);
}

void TChannelList2::ClearSendFlags(TChannel2* channel, std::uint16_t bits) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  if (!IsMaster(channel)) return;
  channel->SetFlags(channel->Flags() & static_cast<std::uint16_t>(~bits));
  if (!channel->HasSendWork()) pending_.Erase(channel->listPosition_);
}

void TChannelList2::SetSendFlagsOnAll(std::uint16_t bits) {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  for (const auto& channel : Items()) {
    channel->SetFlags(channel->Flags() | bits);
    if (channel->HasSendWork()) RecordPending(channel->listPosition_);
  }
}

std::size_t TChannelList2::PendingCount() const {
  std::lock_guard<std::recursive_mutex> guard(Mutex());
  return pending_.Count();
}

}  // namespace kv
