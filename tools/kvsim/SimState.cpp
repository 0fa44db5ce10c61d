#include "kvsim/SimState.h"

#include "protocol/Channelcmd.h"
#include "runtime/Codepage.h"

namespace kv::sim {

TSimChannel* TSimState::Register(const TRegistration& registration, bool& isNew) {
  isNew = false;
  TSimChannel* channel = (registration.flags & RegisterFlag::ByNumber) ? FindNumber(registration.number)
                                                                       : Find(registration.addr);
  if (channel == nullptr) {
    if (registration.flags & RegisterFlag::ByNumber) return nullptr;
    TSimChannel fresh;
    fresh.addr = registration.addr;
    fresh.number = nextNumber_++;
    byAddress_.emplace(AnsiUpper(fresh.addr), channels_.size());
    channels_.push_back(std::move(fresh));
    channel = &channels_.back();
    isNew = true;
  }
  channel->type = registration.type;
  channel->registerFlags = registration.flags;
  channel->attributes = registration.attributes;
  ++channel->registrations;
  ++registrations_;
  return channel;
}

TSimChannel* TSimState::ApplyValue(const TValueRecord& record) {
  TSimChannel* channel =
      (record.flags & ValueFlag::ByNumber) ? FindNumber(record.number) : Find(record.addr);
  if (channel == nullptr) return nullptr;
  channel->hasValue = true;
  channel->dt = record.dt;
  channel->quality = record.quality;
  channel->value = record.value;
  ++channel->values;
  ++values_;
  return channel;
}

void TSimState::Add(TReceivedRecord record) {
  if (maxRecords_ > 0 && records_.size() >= maxRecords_)
    records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(records_.size() / 2 + 1));
  records_.push_back(std::move(record));
  ++added_;
}

TSimChannel* TSimState::Find(const std::string& addr) {
  const std::string key = AnsiUpper(addr);
  // Clients register their channels in the same order every time: the one
  // after the channel found last is tried before the index.
  if (hint_ < channels_.size() && AnsiUpper(channels_[hint_].addr) == key) return &channels_[hint_++];
  const auto found = byAddress_.find(key);
  if (found == byAddress_.end()) return nullptr;
  hint_ = found->second + 1;
  return &channels_[found->second];
}

const TSimChannel* TSimState::Find(const std::string& addr) const {
  return const_cast<TSimState*>(this)->Find(addr);
}

TSimChannel* TSimState::FindNumber(std::uint32_t number) {
  // Numbers are handed out in the order channels are added, so a number
  // is its channel's position.
  if (number < firstNumber_ || number - firstNumber_ >= channels_.size() || number == 0) return nullptr;
  return &channels_[number - firstNumber_];
}

const TSimChannel* TSimState::FindNumber(std::uint32_t number) const {
  return const_cast<TSimState*>(this)->FindNumber(number);
}

}  // namespace kv::sim
