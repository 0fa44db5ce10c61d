#include "client/Statistics.h"

#include <chrono>

#include "client/ClientThread.h"

namespace kv {

std::uint64_t UnixTimeMs() noexcept {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

void TClientCounters::LoggedIn() noexcept {
  Add(logins);
  connectedSince.store(UnixTimeMs(), std::memory_order_relaxed);
}

void TClientCounters::Failed(int error) noexcept {
  if (error == 0) return;
  lastError.store(static_cast<std::uint32_t>(error), std::memory_order_relaxed);
  lastErrorTime.store(UnixTimeMs(), std::memory_order_relaxed);
}

ClientStatistics TClientCounters::Read() const noexcept {
  constexpr auto kRelaxed = std::memory_order_relaxed;
  ClientStatistics s;
  s.ConnectedSinceMs = connectedSince.load(kRelaxed);
  s.Logins = logins.load(kRelaxed);
  for (int i = 0; i < kDropReasons; ++i) s.Drops[i] = drops[i].load(kRelaxed);
  s.BytesSent = bytesSent.load(kRelaxed);
  s.BytesReceived = bytesReceived.load(kRelaxed);
  s.RecordsSent = recordsSent.load(kRelaxed);
  s.RecordsReceived = recordsReceived.load(kRelaxed);
  s.ControlsReceived = controlsReceived.load(kRelaxed);
  s.ControlsRefused = controlsRefused.load(kRelaxed);
  s.LastError = lastError.load(kRelaxed);
  s.LastErrorTimeMs = lastErrorTime.load(kRelaxed);
  s.ServerIndex = serverIndex.load(kRelaxed);
  s.ServerSwitches = serverSwitches.load(kRelaxed);
  return s;
}

// Walks the list once under its lock and counts the queue under its own:
// a host that asks for statistics holds the others off that long, which is
// why the counting happens only here and never on the value path.
ClientStatistics TOpros2Thread::Statistics() {
  ClientStatistics s = counters_.Read();
  s.ValuesCoalesced = channels_.ValuesReplaced();
  const TValueHistory::TFigures history = channels_.HistoryFigures();
  s.HistoryValues = history.values;
  s.HistoryBytes = history.bytes;
  s.HistoryDroppedBound = history.droppedBound;
  s.HistoryDroppedAge = history.droppedAge;
  s.HistorySent = history.sent;
  {
    const TChannelList2::TList& list = channels_.LockList();
    for (const TChannel2& channel : list) {
      ++s.ChannelsRegistered;
      if (channel.Active() && channel.Number() != 0) ++s.ChannelsActive;
      if ((channel.Flags() & (NeedRegister | NeedSendValue)) != 0) ++s.ChannelsWaiting;
    }
    channels_.UnlockList();
  }
  s.ControlsWaiting = controls_.Size();
  return s;
}

}  // namespace kv
