#include "kvsim/SimState.h"

#include "protocol/ChannelRecords.h"
#include "runtime/Codepage.h"

namespace kv::sim {

const char* SessionEndText(TSessionEnd end) {
  switch (end) {
    case TSessionEnd::None:
      return "still open";
    case TSessionEnd::ClientClosed:
      return "closed by the client";
    case TSessionEnd::ClientFailed:
      return "reset by the client";
    case TSessionEnd::ClientGone:
      return "given up by the client";
    case TSessionEnd::ServerClosed:
      return "closed by the server";
    case TSessionEnd::ServerFinished:
      return "finished by the server";
    case TSessionEnd::ServerReset:
      return "reset by the server";
    case TSessionEnd::Stopped:
      return "server stopped";
  }
  return "?";
}

TSimChannel* TSimState::Register(const TRegistration& registration, bool& isNew) {
  isNew = false;
  TSimChannel* channel = (registration.flags & RegisterFlag::ByNumber)
                             ? FindNumber(registration.number)
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
    records_.erase(records_.begin(),
                   records_.begin() + static_cast<std::ptrdiff_t>(records_.size() / 2 + 1));
  record.session = static_cast<std::uint32_t>(sessions_);
  records_.push_back(std::move(record));
  ++added_;
}

void TSimState::CountEnd(TSessionEnd end) {
  constexpr std::size_t kEndsKept = 64;
  if (ends_.size() == kEndsKept) ends_.pop_front();
  ends_.emplace_back(static_cast<std::uint32_t>(sessions_), end);
}

TSessionEnd TSimState::EndOf(std::uint32_t session) const {
  for (const auto& [which, end] : ends_)
    if (which == session) return end;
  return TSessionEnd::None;
}

TSimChannel* TSimState::Find(const std::string& addr) {
  const std::string key = AnsiUpper(addr);
  // Clients register their channels in the same order every time: the one
  // after the channel found last is tried before the index.
  if (hint_ < channels_.size() && AnsiUpper(channels_[hint_].addr) == key)
    return &channels_[hint_++];
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
  if (number < firstNumber_ || number - firstNumber_ >= channels_.size() || number == 0)
    return nullptr;
  return &channels_[number - firstNumber_];
}

const TSimChannel* TSimState::FindNumber(std::uint32_t number) const {
  return const_cast<TSimState*>(this)->FindNumber(number);
}

}  // namespace kv::sim
