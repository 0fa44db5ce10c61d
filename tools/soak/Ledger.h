#pragma once
// TLedger: what the soak knows and checks. The hosts' threads tell it
// every value, attribute and control the library accepted or handed out;
// the test server's observer tells it every record the server received and
// how each connection ended; the fault mode tells it every control it sent
// and on which connection. From these it counts, as they happen:
//   - values whose time, quality and value do not belong together (corrupt),
//   - values that go back, or repeat, on one connection, or go back from
//     one connection to the next (stale);
//   - controls taken twice (duplicated), out of order (reordered), altered
//     (corrupt), or never sent (phantom);
//   - controls that never arrived: "lost in transit at a fault" when the
//     connection that carried them was reset, given up, or dropped by the
//     client after a fault that makes it drop (those bytes may be lost on
//     the way), otherwise lost.
// At the end Close compares each channel's last value and attribute at the
// server with the hosts' last accepted ones.
//
// With the client's value history on, the hosts also tell which values they
// handed over while the client was surely logged out (ValueOwed): each must
// arrive, in order, unless it was in flight on a connection a fault ended
// (the connection of the channel's value before it and of the one after it
// differ, and one between ended so), or the library dropped it (the ledger
// counts what is missing beside the library's count of values dropped). A
// connection may repeat a channel's last value once (its current value
// after the same kept one).
//
// The value model: a host's k-th value of a channel has the time
// kValueEpoch + k ms, the quality QualityOf(k) and the value k; the library
// keeps the previous value when the quality is not 0, so the value that
// travels is ValueOf(k).
//
// With two servers (a client with a main server and a reserve) each server
// has its own connections, channel numbers and stream of controls, checked
// on its own: controls of server s are numbered from s * kControlStream + 1
// on; values may not go back on one server. At the end the server of the
// last login must hold every channel's last value.
//
// Threads: every member may be called from any thread; the book-keeping of
// controls and connections is guarded by one mutex, the per-channel figures
// are atomic or belong to their server's thread.
#include <atomic>
#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kvsim/FaultDriver.h"
#include "kvsim/SimState.h"

namespace kv::soak {

inline constexpr double kValueEpoch = 45658.0;  // 2025-01-01 00:00, local
inline constexpr std::uint16_t kSoakAttribute = 400;
inline constexpr int kMaxSoakServers = 2;
// Control numbers a server may use: exact as Int4 and Float8 values.
inline constexpr std::uint64_t kControlStream = std::uint64_t{1} << 30;

std::uint16_t QualityOf(std::int64_t k);
std::int64_t ValueOf(std::int64_t k);
// The k of a time, or -1 for a time off the millisecond grid.
std::int64_t StepOf(double dateTime, double epoch);

struct TSoakChannel {
  std::string addr;  // Windows-1251
  std::uint16_t type = 0;
  std::size_t padding = 0;  // String values: digits, then dots up to this length
};

// A control as the host took it.
struct TTakenControl {
  std::string addr;
  std::uint32_t number = 0;
  std::int64_t timeMs = 0;  // milliseconds after the controls' epoch
  std::uint16_t quality = 0;
  std::int64_t value = -1;  // -1: not a number
};

struct TLedgerFigures {
  std::uint64_t callsRefused = 0, valuesAccepted = 0, valuesRefused = 0, valuesChecked = 0;
  std::uint64_t valuesCorrupt = 0, valuesStale = 0;
  std::uint64_t channelsChecked = 0, valuesLost = 0, attributesLost = 0;
  std::uint64_t controlsSent = 0, controlsTaken = 0, controlsDuplicated = 0, controlsReordered = 0;
  std::uint64_t controlsCorrupt = 0, controlsPhantom = 0, controlsLostInTransit = 0,
                controlsLost = 0;
  // With the value history: values owed, arrived, in flight at a fault, missing.
  std::uint64_t historyOwed = 0, historyArrived = 0, historyInFlight = 0, historyMissing = 0;
  std::vector<std::string> historyMissingSamples;  // the first few, "k of ADDR"
  std::map<sim::TSessionEnd, int> sessionEnds;
  std::vector<std::string> problems;  // the first few, described
};

class TLedger {
 public:
  explicit TLedger(std::vector<TSoakChannel> channels, int servers = 1, bool history = false);

  const std::vector<TSoakChannel>& Channels() const { return soakChannels_; }
  int IndexOf(const std::string& addr) const;

  // --- host threads ---
  void ValueAccepted(int channel, std::int64_t k);
  void ValueRefused(int channel, std::int64_t k);
  // Value k was accepted while the client was surely logged out (its own
  // channel's thread).
  void ValueOwed(int channel, std::int64_t k);
  void AttributeAccepted(int channel, std::int64_t value);
  // A registration of a channel or an attribute that returned false.
  void CallRefused(const std::string& what);
  void ControlTaken(const TTakenControl& control);

  // --- a server's observer (that server's thread) ---
  void Observe(const sim::TReceivedRecord& record, int server = 0);

  // --- a server's fault mode's listener ---
  void FaultBegun(std::uint32_t session, sim::TFaultKind kind, int server = 0);
  void ControlsComing(const sim::TControlBatch& batch, int server = 0);
  void ControlsSent(std::uint64_t first, std::uint32_t session, int server = 0);

  // --- the controlling thread, once faults and hosts have stopped ---
  // True when the server (the one of the last login) holds every channel's
  // last value and attribute and every control that must arrive has.
  bool Settled(const std::vector<sim::TSimChannel>& server);
  // Counts what is still missing as lost and gives the figures.
  TLedgerFigures Close(const std::vector<sim::TSimChannel>& server);
  TLedgerFigures Figures() const;

 private:
  struct TBook {
    std::atomic<std::int64_t> accepted{0};   // last k the library accepted
    std::atomic<std::int64_t> attribute{0};  // last attribute value it accepted
  };
  // What one server received of one channel; its server thread only.
  struct TSeen {
    std::int64_t received = 0;  // last k
    std::uint32_t session = 0;  // the connection of `received`
    bool repeated = false;      // `received` came twice on it
  };
  // With the history, one channel's owed values and what arrived, checked
  // as values arrive (a channel's values arrive in rising order).
  struct THistoryBook {
    std::mutex mutex;
    std::deque<std::pair<std::int64_t, std::int64_t>> owed;  // from..to, not yet due
    std::int64_t arrived = 0;                                // the last value that arrived
    std::uint32_t session = 0;                               // its connection
    std::bitset<4096> window;                                // bit i: value `arrived` - i arrived
  };

  struct TSession {
    sim::TSessionEnd end = sim::TSessionEnd::None;
    std::uint32_t faults = 0;  // FaultBit set
  };
  struct TBatch {
    sim::TControlBatch controls;
    bool placed = false;
    std::uint32_t session = 0;  // once placed; 0: it never went out
    std::uint64_t Last() const { return controls.first + controls.count - 1; }
  };
  // One server's connections and controls.
  struct TStream {
    std::map<std::uint32_t, TSession> sessions;
    std::deque<TBatch> batches;  // from the oldest not wholly taken
    std::uint64_t taken = 0;     // the last control number taken
  };

  void CheckValue(const sim::TReceivedRecord& record, int server);
  // With the history: value k of a channel arrived on a connection; owed
  // values it passed went missing, or were in flight at a fault.
  void NoteArrival(int channel, std::int64_t k, std::uint32_t session);
  // Owed value v did not arrive: in flight when a connection from `from` on,
  // before `to`, ended at a fault. With the book's mutex held.
  void OwedMissed(int channel, std::int64_t v, std::uint32_t from, std::uint32_t to);
  void Problem(std::string text);  // with mutex_ held
  // Controls of `stream` after its taken and before `next` never arrived;
  // `nextSession` carried `next` (0 at the end). With mutex_ held.
  void Missing(TStream& stream, std::uint64_t next, std::uint32_t nextSession);
  static bool Excused(const TStream& stream, std::uint32_t session);
  static TBatch* BatchOf(TStream& stream, std::uint64_t n);
  // The last control that must still arrive; taken when none must.
  static std::uint64_t LastOwed(const TStream& stream);
  std::string Where(int server) const;  // for problems, with two servers

  const std::vector<TSoakChannel> soakChannels_;
  const int servers_;
  const bool history_;
  std::unordered_map<std::string, int> index_;
  std::unique_ptr<TBook[]> books_;
  std::unique_ptr<TSeen[]> seen_;  // [server * channels + channel]

  // Each server's thread its own.
  std::vector<std::unordered_map<std::uint32_t, int>> byNumber_;

  std::atomic<std::uint64_t> valuesAccepted_{0}, valuesRefused_{0}, valuesChecked_{0};
  std::atomic<std::uint64_t> valuesCorrupt_{0}, valuesStale_{0};

  // The figures so far; the caller holds mutex_.
  TLedgerFigures FiguresLocked() const;

  // With the history, by channel.
  std::unique_ptr<THistoryBook[]> historyBooks_;
  std::atomic<std::uint64_t> historyOwed_{0}, historyArrived_{0}, historyInFlight_{0},
      historyMissing_{0};

  mutable std::mutex mutex_;
  TLedgerFigures figures_;  // the control and end counts
  std::vector<TStream> streams_;
  std::condition_variable placed_;
};

}  // namespace kv::soak
