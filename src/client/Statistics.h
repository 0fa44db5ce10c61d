#pragma once
// The client's running counters, for a host that wants to see how its link
// fares (c_GetStatistics). Each counter is a relaxed atomic written by the
// thread that sees the event (the worker, or a host thread for values it
// replaces) and never read under a lock: counting costs the host's path one
// uncontended add, and a reader may see one counter a moment ahead of
// another. The gauges (channels, controls waiting) are not kept here: they
// are counted from the list and the queue when asked (TOpros2Thread's
// Statistics), under their own locks.
#include <atomic>
#include <cstdint>

namespace kv {

// Why a connection (or a login on it) ended.
enum class TDropReason { ClosedByServer, Reset, WriteTimeout, LinkTest, Protocol, LoginRefused };
inline constexpr int kDropReasons = 6;

// One reading of everything, as plain numbers.
struct ClientStatistics {
  std::uint64_t ConnectedSinceMs = 0;  // Unix time (UTC ms) of the login; 0 when not logged in
  std::uint64_t Logins = 0;
  std::uint64_t Drops[kDropReasons] = {};  // indexed by TDropReason
  std::uint64_t BytesSent = 0;
  std::uint64_t BytesReceived = 0;
  std::uint64_t RecordsSent = 0;
  std::uint64_t RecordsReceived = 0;
  std::uint64_t ValuesCoalesced = 0;
  std::uint64_t ChannelsRegistered = 0;
  std::uint64_t ChannelsActive = 0;
  std::uint64_t ChannelsWaiting = 0;
  std::uint64_t ControlsReceived = 0;
  std::uint64_t ControlsWaiting = 0;
  std::uint64_t ControlsRefused = 0;
  std::uint64_t LastError = 0;        // WinSock number of the last network failure
  std::uint64_t LastErrorTimeMs = 0;  // Unix time (UTC ms) of it; 0 when none
  std::uint64_t ServerIndex = 0;      // in the host's list, of the current or last login
  std::uint64_t ServerSwitches = 0;   // logins at another server than the previous one
  // The value history: values kept now and their bytes (gauges), values
  // dropped at the bound and for their age, values sent from it.
  std::uint64_t HistoryValues = 0;
  std::uint64_t HistoryBytes = 0;
  std::uint64_t HistoryDroppedBound = 0;
  std::uint64_t HistoryDroppedAge = 0;
  std::uint64_t HistorySent = 0;
};

// Milliseconds since 1970-01-01 UTC, from the system's wall clock.
std::uint64_t UnixTimeMs() noexcept;

class TClientCounters {
 public:
  static void Add(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) noexcept {
    counter.fetch_add(n, std::memory_order_relaxed);
  }
  void LoggedIn() noexcept;
  void LoggedOut() noexcept { connectedSince.store(0, std::memory_order_relaxed); }
  void Dropped(TDropReason reason) noexcept { Add(drops[static_cast<int>(reason)]); }
  // A failure with a WinSock number; 0 is no error and is not recorded.
  void Failed(int error) noexcept;
  // The counters (gauges left at 0).
  ClientStatistics Read() const noexcept;

  std::atomic<std::uint64_t> connectedSince{0};
  std::atomic<std::uint64_t> logins{0};
  std::atomic<std::uint64_t> drops[kDropReasons] = {};
  std::atomic<std::uint64_t> bytesSent{0};
  std::atomic<std::uint64_t> bytesReceived{0};
  std::atomic<std::uint64_t> recordsSent{0};
  std::atomic<std::uint64_t> recordsReceived{0};
  std::atomic<std::uint64_t> controlsReceived{0};
  std::atomic<std::uint64_t> controlsRefused{0};
  std::atomic<std::uint64_t> lastError{0};
  std::atomic<std::uint64_t> lastErrorTime{0};
  std::atomic<std::uint64_t> serverIndex{0};
  std::atomic<std::uint64_t> serverSwitches{0};
};

}  // namespace kv
