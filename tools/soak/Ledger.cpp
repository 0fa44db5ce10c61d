#include "soak/Ledger.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <cmath>

#include "kvsim/Describe.h"
#include "runtime/Calendar.h"
#include "runtime/Exception.h"
#include "values/DataTypes.h"

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

TLedger::TLedger(std::vector<TSoakChannel> channels, int servers, bool history)
    : soakChannels_(std::move(channels)),
      servers_(std::clamp(servers, 1, kMaxSoakServers)),
      history_(history),
      books_(std::make_unique<TBook[]>(soakChannels_.size())),
      seen_(std::make_unique<TSeen[]>(soakChannels_.size() * servers_)),
      byNumber_(servers_),
      streams_(servers_) {
  for (std::size_t i = 0; i < soakChannels_.size(); ++i)
    index_.emplace(soakChannels_[i].addr, static_cast<int>(i));
  if (history_) historyBooks_ = std::make_unique<THistoryBook[]>(soakChannels_.size());
  for (int s = 0; s < servers_; ++s) streams_[s].taken = s * kControlStream;
}

std::string TLedger::Where(int server) const {
  return servers_ > 1 ? " at server " + std::to_string(server + 1) : std::string();
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

void TLedger::ValueOwed(int channel, std::int64_t k) {
  ++historyOwed_;
  THistoryBook& book = historyBooks_[channel];
  std::lock_guard lock(book.mutex);
  if (k > book.arrived) {
    if (!book.owed.empty() && book.owed.back().second + 1 == k)
      book.owed.back().second = k;
    else
      book.owed.emplace_back(k, k);
    return;
  }
  // Told after the value went out (the host thread lost its processor).
  const std::int64_t back = book.arrived - k;
  if (back < static_cast<std::int64_t>(book.window.size()) &&
      book.window[static_cast<std::size_t>(back)])
    ++historyArrived_;
  else
    OwedMissed(channel, k, book.session, book.session);
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
  const std::uint64_t server = (un - 1) / kControlStream;
  if (server >= static_cast<std::uint64_t>(servers_)) {
    ++figures_.controlsPhantom;
    Problem("control " + std::to_string(n) + " of no server was taken");
    return;
  }
  TStream& stream = streams_[server];
  if (un <= stream.taken) {
    ++(un == stream.taken ? figures_.controlsDuplicated : figures_.controlsReordered);
    Problem("control " + std::to_string(n) + " taken after control " +
            std::to_string(stream.taken));
    return;
  }
  TBatch* batch = BatchOf(stream, un);
  if (batch != nullptr && !batch->placed)
    placed_.wait_for(lock, kPlacementWait,
                     [&] { return (batch = BatchOf(stream, un)) == nullptr || batch->placed; });
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
  Missing(stream, un, batch->session);
  stream.taken = un;
  while (!stream.batches.empty() && stream.batches.front().Last() <= stream.taken)
    stream.batches.pop_front();
}

// ---------------------------------------------------------------------------
// The server's records and the fault mode

void TLedger::Observe(const sim::TReceivedRecord& record, int server) {
  switch (record.kind) {
    case sim::TRecordKind::Connected: {
      std::lock_guard lock(mutex_);
      streams_[server].sessions[record.session];
      return;
    }
    case sim::TRecordKind::Disconnected: {
      std::lock_guard lock(mutex_);
      streams_[server].sessions[record.session].end = record.end;
      ++figures_.sessionEnds[record.end];
      return;
    }
    case sim::TRecordKind::Registration: {
      const int index = IndexOf(record.registration.addr);
      if (record.channelNumber != 0 && index >= 0) byNumber_[server][record.channelNumber] = index;
      return;
    }
    case sim::TRecordKind::Value:
      CheckValue(record, server);
      return;
    default:
      return;
  }
}

void TLedger::CheckValue(const sim::TReceivedRecord& record, int server) {
  const auto found = byNumber_[server].find(record.channelNumber);
  if (found == byNumber_[server].end()) return;
  const TSoakChannel& channel = soakChannels_[found->second];
  TSeen& seen = seen_[server * soakChannels_.size() + found->second];
  ++valuesChecked_;
  const std::int64_t k = StepOf(record.value.dt, kValueEpoch);
  if (k < 1 || record.value.type != channel.type || record.value.quality != (QualityOf(k) & 0xFF) ||
      !ValueIs(record.value.value, channel.type, ValueOf(k))) {
    ++valuesCorrupt_;
    std::lock_guard lock(mutex_);
    Problem("value of " + channel.addr + " at step " + std::to_string(k) + " arrived as " +
            sim::ValueText(record.value.value) + " quality " +
            std::to_string(record.value.quality) + Where(server));
    return;
  }
  if (history_) NoteArrival(found->second, k, record.session);
  // One server never gets an older value than it had: every login sends
  // the current ones. With the history a connection may repeat the last
  // value once (the current one after the same kept one).
  const std::int64_t last = seen.received;
  const bool sameLink = seen.session == record.session;
  const bool repeat = history_ && sameLink && k == last && !seen.repeated;
  seen.repeated = repeat || (seen.repeated && sameLink && k == last);
  if (!repeat && ((sameLink && k <= last) || (!sameLink && k < last))) {
    ++valuesStale_;
    std::lock_guard lock(mutex_);
    Problem("value " + std::to_string(k) + " of " + channel.addr + " arrived after value " +
            std::to_string(last) +
            (sameLink ? " on the same connection" : " of an earlier connection") + Where(server));
  }
  // The newest the server ever had is what nothing may undercut.
  seen.received = std::max(k, last);
  seen.session = record.session;
}

void TLedger::FaultBegun(std::uint32_t session, sim::TFaultKind kind, int server) {
  std::lock_guard lock(mutex_);
  streams_[server].sessions[session].faults |= sim::FaultBit(kind);
}

void TLedger::ControlsComing(const sim::TControlBatch& batch, int server) {
  std::lock_guard lock(mutex_);
  streams_[server].batches.push_back(TBatch{batch, false, 0});
}

void TLedger::ControlsSent(std::uint64_t first, std::uint32_t session, int server) {
  {
    std::lock_guard lock(mutex_);
    std::deque<TBatch>& batches = streams_[server].batches;
    for (auto it = batches.rbegin(); it != batches.rend(); ++it) {
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
// The value history

void TLedger::NoteArrival(int channel, std::int64_t k, std::uint32_t session) {
  THistoryBook& book = historyBooks_[channel];
  std::lock_guard lock(book.mutex);
  if (k <= book.arrived) {
    const std::int64_t back = book.arrived - k;
    if (back < static_cast<std::int64_t>(book.window.size()))
      book.window.set(static_cast<std::size_t>(back));
    return;
  }
  // The owed values this one passes: it, or values that never came.
  while (!book.owed.empty() && book.owed.front().first <= k) {
    auto& [from, to] = book.owed.front();
    for (; from <= to && from <= k; ++from) {
      if (from == k)
        ++historyArrived_;
      else
        OwedMissed(channel, from, book.session, session);
    }
    if (from > to) book.owed.pop_front();
  }
  const std::int64_t shift = k - book.arrived;
  if (shift < static_cast<std::int64_t>(book.window.size()))
    book.window <<= static_cast<std::size_t>(shift);
  else
    book.window.reset();
  book.window.set(0);
  book.arrived = k;
  book.session = session;
}

void TLedger::OwedMissed(int channel, std::int64_t v, std::uint32_t from, std::uint32_t to) {
  // The channel's value before it came on `from`, the one after it on `to`:
  // on a later connection, after one a fault ended, it may have been lost
  // on the way.
  std::lock_guard lock(mutex_);
  const TStream& stream = streams_[0];
  bool excused = false;
  for (auto it = stream.sessions.lower_bound(from);
       from != to && it != stream.sessions.end() && it->first < to; ++it)
    excused = excused || Excused(stream, it->first);
  if (excused) {
    ++historyInFlight_;
  } else if (++historyMissing_ <= 3) {
    figures_.historyMissingSamples.push_back(std::to_string(v) + " of " +
                                             soakChannels_[channel].addr);
  }
}

// ---------------------------------------------------------------------------
// Controls that never arrived

TLedger::TBatch* TLedger::BatchOf(TStream& stream, std::uint64_t n) {
  for (TBatch& batch : stream.batches)
    if (n >= batch.controls.first && n <= batch.Last()) return &batch;
  return nullptr;
}

bool TLedger::Excused(const TStream& stream, std::uint32_t session) {
  const auto it = stream.sessions.find(session);
  if (it == stream.sessions.end()) return false;
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

void TLedger::Missing(TStream& stream, std::uint64_t next, std::uint32_t nextSession) {
  for (const TBatch& batch : stream.batches) {
    if (batch.controls.first >= next) break;
    const std::uint64_t from = std::max(batch.controls.first, stream.taken + 1);
    const std::uint64_t to = std::min(batch.Last(), next - 1);
    if (from > to || batch.session == 0) continue;
    const std::uint64_t count = to - from + 1;
    // A gap before a control that came later on the same connection is no
    // loss in transit: the bytes after it arrived.
    if (batch.session != nextSession && Excused(stream, batch.session)) {
      figures_.controlsLostInTransit += count;
      continue;
    }
    figures_.controlsLost += count;
    const auto end = stream.sessions.find(batch.session);
    Problem(
        "controls " + std::to_string(from) + ".." + std::to_string(to) + " of connection " +
        std::to_string(batch.session) + " never arrived (connection " +
        sim::SessionEndText(end == stream.sessions.end() ? TSessionEnd::None : end->second.end) +
        ")");
  }
}

std::uint64_t TLedger::LastOwed(const TStream& stream) {
  std::uint64_t last = stream.taken;
  for (const TBatch& batch : stream.batches)
    if (batch.session != 0 && !Excused(stream, batch.session)) last = std::max(last, batch.Last());
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
  for (const TStream& stream : streams_)
    if (stream.taken < LastOwed(stream)) return false;
  return true;
}

TLedgerFigures TLedger::Close(const std::vector<sim::TSimChannel>& server) {
  std::unordered_map<std::string, const sim::TSimChannel*> seen;
  for (const sim::TSimChannel& channel : server) seen.emplace(channel.addr, &channel);
  // Owed values that never came at all (each book's lock before the
  // ledger's, as the arrivals take them).
  std::vector<std::string> neverCame;
  if (history_) {
    for (std::size_t channel = 0; channel < soakChannels_.size(); ++channel) {
      THistoryBook& book = historyBooks_[channel];
      std::lock_guard bookLock(book.mutex);
      for (const auto& [from, to] : book.owed) {
        historyMissing_ += static_cast<std::uint64_t>(to - from + 1);
        neverCame.push_back(std::to_string(from) + " of " + soakChannels_[channel].addr);
      }
      book.owed.clear();
    }
  }
  std::lock_guard lock(mutex_);
  for (TStream& stream : streams_) {
    Missing(stream, std::numeric_limits<std::uint64_t>::max(), 0);
    stream.batches.clear();
  }
  for (std::string& sample : neverCame)
    if (figures_.historyMissingSamples.size() < 3)
      figures_.historyMissingSamples.push_back(std::move(sample));
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
  figures.historyOwed = historyOwed_;
  figures.historyArrived = historyArrived_;
  figures.historyInFlight = historyInFlight_;
  figures.historyMissing = historyMissing_;
  return figures;
}

}  // namespace kv::soak
