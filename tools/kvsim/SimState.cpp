#include "kvsim/SimState.h"

#include "protocol/Channelcmd.h"
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
  TSimChannel* channel = (registration.flags & RegisterFlag::ByNumber) ? FindNumber(registration.number)
                                                                       : Find(registration.addr);
  if (channel == nullptr) {
    if (registration.flags & RegisterFlag::ByNumber) return nullptr;
    TSimChannel fresh;
    fresh.addr = registration.addr;
    fresh.number = nextNumber_++;
    channels_.push_back(std::move(fresh));
    channel = &channels_.back();
    isNew = true;
  }
  channel->type = registration.type;
  channel->registerFlags = registration.flags;
  channel->attributes = registration.attributes;
  ++channel->registrations;
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
  return channel;
}

void TSimState::Add(TReceivedRecord record) {
  if (maxRecords_ > 0 && records_.size() >= maxRecords_)
    records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(records_.size() / 2 + 1));
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
  for (TSimChannel& channel : channels_)
    if (AnsiUpper(channel.addr) == key) return &channel;
  return nullptr;
}

const TSimChannel* TSimState::Find(const std::string& addr) const {
  return const_cast<TSimState*>(this)->Find(addr);
}

TSimChannel* TSimState::FindNumber(std::uint32_t number) {
  if (number == 0) return nullptr;
  for (TSimChannel& channel : channels_)
    if (channel.number == number) return &channel;
  return nullptr;
}

const TSimChannel* TSimState::FindNumber(std::uint32_t number) const {
  return const_cast<TSimState*>(this)->FindNumber(number);
}

}  // namespace kv::sim
