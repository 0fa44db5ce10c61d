#include "soak/Ledger.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <cmath>

#include "kvsim/Describe.h"
#include "runtime/Calendar.h"
#include "runtime/Exception.h"
#include "values/Channelutils.h"

namespace kv::soak {
namespace {

using sim::TSessionEnd;

constexpr std::size_t kProblemsKept = 20;
// How long a host that took a control waits for the fault mode to say
// where it went: the send has ended by then, save on a stuck server.
constexpr auto kPlacementWait = std::chrono::seconds(10);

// Faults after which the client drops the connection, or may.
constexpr std::uint32_t kDroppingFaults =
    sim::FaultBit(sim::TFaultKind::UnknownStructure) | sim::FaultBit(sim::TFaultKind::Stall) |
    sim::FaultBit(sim::TFaultKind::SlowReader) | sim::FaultBit(sim::TFaultKind::LinkTest);

// The leading decimal digits of a text, or -1.
std::int64_t LeadingNumber(const std::string& text) {
  std::int64_t n = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 18; ++i)
    n = n * 10 + (text[i] - '0');
  return i == 0 ? -1 : n;
}

bool ValueIs(const Variant& value, std::uint16_t type, std::int64_t expected) {
  try {
    if (type == dtString) return LeadingNumber(value.ToAnsi()) == expected;
    return value.ToDouble() == static_cast<double>(expected);
  } catch (const Exception&) {
    return false;
  }
}

const sim::TSimAttribute* AttributeOf(const sim::TSimChannel& channel, std::uint16_t id) {
  for (const sim::TSimAttribute& attribute : channel.attributes)
    if (attribute.id == id) return &attribute;
  return nullptr;
}

}  // namespace

std::uint16_t QualityOf(std::int64_t k) {
  if (k % 7 == 3) return 5;
  if (k % 13 == 6) return 256;  // kept as 0, but the value is not taken either
  return 0;
}

std::int64_t ValueOf(std::int64_t k) {
  while (k > 0 && QualityOf(k) != 0) --k;
  return k;
}

std::int64_t StepOf(double dateTime, double epoch) {
  const double ms = (dateTime - epoch) * kMSecsPerDay;
  const double k = std::round(ms);
  return std::fabs(ms - k) < 0.01 ? static_cast<std::int64_t>(k) : -1;
}

TLedger::TLedger(std::vector<TSoakChannel> channels)
    : soakChannels_(std::move(channels)), books_(std::make_unique<TBook[]>(soakChannels_.size())) {
  for (std::size_t i = 0; i < soakChannels_.size(); ++i)
    index_.emplace(soakChannels_[i].addr, static_cast<int>(i));
}

int TLedger::IndexOf(const std::string& addr) const {
  const auto it = index_.find(addr);
  return it == index_.end() ? -1 : it->second;
}

// ---------------------------------------------------------------------------
// Hosts

void TLedger::ValueAccepted(int channel, std::int64_t k) {
  books_[channel].accepted.store(k);
  ++valuesAccepted_;
}

void TLedger::ValueRefused(int channel, std::int64_t k) {
  ++valuesRefused_;
  std::lock_guard lock(mutex_);
  Problem("the library refused value " + std::to_string(k) + " of " + soakChannels_[channel].addr);
}

void TLedger::CallRefused(const std::string& what) {
  std::lock_guard lock(mutex_);
  ++figures_.callsRefused;
  Problem("the library refused " + what);
}

void TLedger::AttributeAccepted(int channel, std::int64_t value) {
  books_[channel].attribute.store(value);
}

void TLedger::ControlTaken(const TTakenControl& control) {
  std::unique_lock lock(mutex_);
  ++figures_.controlsTaken;
  const std::int64_t n = control.value;
  if (n <= 0) {
    ++figures_.controlsCorrupt;
    Problem("a control without its number, for " + control.addr + " #" +
            std::to_string(control.number));
    return;
  }
  const auto un = static_cast<std::uint64_t>(n);
  if (un <= taken_) {
    ++(un == taken_ ? figures_.controlsDuplicated : figures_.controlsReordered);
    Problem("control " + std::to_string(n) + " taken after control " + std::to_string(taken_));
    return;
  }
  TBatch* batch = BatchOf(un);
  if (batch != nullptr && !batch->placed)
    placed_.wait_for(lock, kPlacementWait,
                     [&] { return (batch = BatchOf(un)) == nullptr || batch->placed; });
  if (batch == nullptr || batch->session == 0) {
    ++figures_.controlsPhantom;
    Problem("control " + std::to_string(n) + " was taken but never sent");
    return;
  }
  const sim::TControlTarget& target =
      (*batch->controls.targets)[un % batch->controls.targets->size()];
  const bool byNumber = (un & 1) != 0 && target.number != 0;
  const bool named = byNumber ? control.number == target.number && control.addr.empty()
                              : control.addr == target.addr && control.number == 0;
  if (!named || control.timeMs != n || control.quality != (un & 0xFF)) {
    ++figures_.controlsCorrupt;
    Problem("control " + std::to_string(n) + " arrived as " + control.addr + " #" +
            std::to_string(control.number) + " at +" + std::to_string(control.timeMs) +
            " ms, quality " + std::to_string(control.quality) + "; sent to " + target.addr + " #" +
            std::to_string(target.number));
  }
  Missing(un, batch->session);
  taken_ = un;
  while (!batches_.empty() && batches_.front().Last() <= taken_) batches_.pop_front();
}

// ---------------------------------------------------------------------------
// The server's records and the fault mode

void TLedger::Observe(const sim::TReceivedRecord& record) {
  switch (record.kind) {
    case sim::TRecordKind::Connected: {
      std::lock_guard lock(mutex_);
      sessions_[record.session];
      return;
    }
    case sim::TRecordKind::Disconnected: {
      std::lock_guard lock(mutex_);
      sessions_[record.session].end = record.end;
      ++figures_.sessionEnds[record.end];
      return;
    }
    case sim::TRecordKind::Registration: {
      const int index = IndexOf(record.registration.addr);
      if (record.channelNumber != 0 && index >= 0) byNumber_[record.channelNumber] = index;
      return;
    }
    case sim::TRecordKind::Value:
      CheckValue(record);
      return;
    default:
      return;
  }
}

void TLedger::CheckValue(const sim::TReceivedRecord& record) {
  const auto found = byNumber_.find(record.channelNumber);
  if (found == byNumber_.end()) return;
  const TSoakChannel& channel = soakChannels_[found->second];
  TBook& book = books_[found->second];
  ++valuesChecked_;
  const std::int64_t k = StepOf(record.value.dt, kValueEpoch);
  if (k < 1 || record.value.type != channel.type || record.value.quality != (QualityOf(k) & 0xFF) ||
      !ValueIs(record.value.value, channel.type, ValueOf(k))) {
    ++valuesCorrupt_;
    std::lock_guard lock(mutex_);
    Problem("value of " + channel.addr + " at step " + std::to_string(k) + " arrived as " +
            sim::ValueText(record.value.value) + " quality " +
            std::to_string(record.value.quality));
    return;
  }
  const std::int64_t last = book.received.load();
  const bool sameLink = book.session == record.session;
  if ((sameLink && k <= last) || (!sameLink && k < last)) {
    ++valuesStale_;
    std::lock_guard lock(mutex_);
    Problem("value " + std::to_string(k) + " of " + channel.addr + " arrived after value " +
            std::to_string(last) +
            (sameLink ? " on the same connection" : " of an earlier connection"));
  }
  // The newest the server ever had is what nothing may undercut.
  book.received.store(std::max(k, last));
  book.session = record.session;
}

void TLedger::FaultBegun(std::uint32_t session, sim::TFaultKind kind) {
  std::lock_guard lock(mutex_);
  sessions_[session].faults |= sim::FaultBit(kind);
}

void TLedger::ControlsComing(const sim::TControlBatch& batch) {
  std::lock_guard lock(mutex_);
  batches_.push_back(TBatch{batch, false, 0});
}

void TLedger::ControlsSent(std::uint64_t first, std::uint32_t session) {
  {
    std::lock_guard lock(mutex_);
    for (auto it = batches_.rbegin(); it != batches_.rend(); ++it) {
      if (it->controls.first != first) continue;
      it->placed = true;
      it->session = session;
      if (session != 0) figures_.controlsSent += it->controls.count;
      break;
    }
  }
  placed_.notify_all();
}

// ---------------------------------------------------------------------------
// Controls that never arrived

TLedger::TBatch* TLedger::BatchOf(std::uint64_t n) {
  for (TBatch& batch : batches_)
    if (n >= batch.controls.first && n <= batch.Last()) return &batch;
  return nullptr;
}

bool TLedger::Excused(std::uint32_t session) const {
  const auto it = sessions_.find(session);
  if (it == sessions_.end()) return false;
  switch (it->second.end) {
    case TSessionEnd::ServerReset:
    case TSessionEnd::ClientGone:
    case TSessionEnd::ServerClosed:
      return true;
    case TSessionEnd::ClientClosed:
    case TSessionEnd::ClientFailed:
      return (it->second.faults & kDroppingFaults) != 0;
    default:
      return false;
  }
}

void TLedger::Missing(std::uint64_t next, std::uint32_t nextSession) {
  for (const TBatch& batch : batches_) {
    if (batch.controls.first >= next) break;
    const std::uint64_t from = std::max(batch.controls.first, taken_ + 1);
    const std::uint64_t to = std::min(batch.Last(), next - 1);
    if (from > to || batch.session == 0) continue;
    const std::uint64_t count = to - from + 1;
    // A gap before a control that came later on the same connection is no
    // loss in transit: the bytes after it arrived.
    if (batch.session != nextSession && Excused(batch.session)) {
      figures_.controlsLostInTransit += count;
      continue;
    }
    figures_.controlsLost += count;
    const auto end = sessions_.find(batch.session);
    Problem("controls " + std::to_string(from) + ".." + std::to_string(to) + " of connection " +
            std::to_string(batch.session) + " never arrived (connection " +
            sim::SessionEndText(end == sessions_.end() ? TSessionEnd::None : end->second.end) +
            ")");
  }
}

std::uint64_t TLedger::LastOwed() const {
  std::uint64_t last = taken_;
  for (const TBatch& batch : batches_)
    if (batch.session != 0 && !Excused(batch.session)) last = std::max(last, batch.Last());
  return last;
}

void TLedger::Problem(std::string text) {
  if (figures_.problems.size() < kProblemsKept) figures_.problems.push_back(std::move(text));
}

// ---------------------------------------------------------------------------
// The end

bool TLedger::Settled(const std::vector<sim::TSimChannel>& server) {
  std::unordered_map<std::string, const sim::TSimChannel*> seen;
  for (const sim::TSimChannel& channel : server) seen.emplace(channel.addr, &channel);
  for (std::size_t i = 0; i < soakChannels_.size(); ++i) {
    const std::int64_t accepted = books_[i].accepted.load();
    if (accepted == 0) continue;
    const auto it = seen.find(soakChannels_[i].addr);
    if (it == seen.end() || !it->second->hasValue ||
        StepOf(it->second->dt, kValueEpoch) != accepted)
      return false;
    const std::int64_t attribute = books_[i].attribute.load();
    const sim::TSimAttribute* sent = AttributeOf(*it->second, kSoakAttribute);
    if (attribute != 0 && (sent == nullptr || !ValueIs(sent->value, dtInt4, attribute)))
      return false;
  }
  std::lock_guard lock(mutex_);
  return taken_ >= LastOwed();
}

TLedgerFigures TLedger::Close(const std::vector<sim::TSimChannel>& server) {
  std::unordered_map<std::string, const sim::TSimChannel*> seen;
  for (const sim::TSimChannel& channel : server) seen.emplace(channel.addr, &channel);
  std::lock_guard lock(mutex_);
  Missing(std::numeric_limits<std::uint64_t>::max(), 0);
  batches_.clear();
  figures_.channelsChecked = figures_.valuesLost = figures_.attributesLost = 0;
  for (std::size_t i = 0; i < soakChannels_.size(); ++i) {
    const std::int64_t accepted = books_[i].accepted.load();
    if (accepted == 0) continue;
    ++figures_.channelsChecked;
    const auto it = seen.find(soakChannels_[i].addr);
    const sim::TSimChannel* channel = it == seen.end() ? nullptr : it->second;
    const std::int64_t held = channel && channel->hasValue ? StepOf(channel->dt, kValueEpoch) : 0;
    if (held != accepted || channel->quality != (QualityOf(held) & 0xFF) ||
        !ValueIs(channel->value, soakChannels_[i].type, ValueOf(held))) {
      ++figures_.valuesLost;
      Problem(soakChannels_[i].addr + ": the server holds step " + std::to_string(held) +
              ", the host's last was " + std::to_string(accepted));
    }
    const std::int64_t attribute = books_[i].attribute.load();
    const sim::TSimAttribute* sent = channel ? AttributeOf(*channel, kSoakAttribute) : nullptr;
    if (attribute != 0 && (sent == nullptr || !ValueIs(sent->value, dtInt4, attribute))) {
      ++figures_.attributesLost;
      Problem(soakChannels_[i].addr + ": the server lacks attribute value " +
              std::to_string(attribute));
    }
  }
  return FiguresLocked();
}

TLedgerFigures TLedger::Figures() const {
  std::lock_guard lock(mutex_);
  return FiguresLocked();
}

TLedgerFigures TLedger::FiguresLocked() const {
  TLedgerFigures figures = figures_;
  figures.valuesAccepted = valuesAccepted_;
  figures.valuesRefused = valuesRefused_;
  figures.valuesChecked = valuesChecked_;
  figures.valuesCorrupt = valuesCorrupt_;
  figures.valuesStale = valuesStale_;
  return figures;
}

}  // namespace kv::soak
