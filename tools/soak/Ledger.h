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
// The value model: a host's k-th value of a channel has the time
// kValueEpoch + k ms, the quality QualityOf(k) and the value k; the library
// keeps the previous value when the quality is not 0, so the value that
// travels is ValueOf(k).
//
// Threads: every member may be called from any thread; the book-keeping of
// controls and connections is guarded by one mutex, the per-channel figures
// are atomic or belong to the server thread.
#include <atomic>
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
  std::map<sim::TSessionEnd, int> sessionEnds;
  std::vector<std::string> problems;  // the first few, described
};

class TLedger {
 public:
  explicit TLedger(std::vector<TSoakChannel> channels);

  const std::vector<TSoakChannel>& Channels() const { return soakChannels_; }
  int IndexOf(const std::string& addr) const;

  // --- host threads ---
  void ValueAccepted(int channel, std::int64_t k);
  void ValueRefused(int channel, std::int64_t k);
  void AttributeAccepted(int channel, std::int64_t value);
  // A registration of a channel or an attribute that returned false.
  void CallRefused(const std::string& what);
  void ControlTaken(const TTakenControl& control);

  // --- the server's observer (server thread) ---
  void Observe(const sim::TReceivedRecord& record);

  // --- the fault mode's listener ---
  void FaultBegun(std::uint32_t session, sim::TFaultKind kind);
  void ControlsComing(const sim::TControlBatch& batch);
  void ControlsSent(std::uint64_t first, std::uint32_t session);

  // --- the controlling thread, once faults and hosts have stopped ---
  // True when the server holds every channel's last value and attribute
  // and every control that must arrive has.
  bool Settled(const std::vector<sim::TSimChannel>& server);
  // Counts what is still missing as lost and gives the figures.
  TLedgerFigures Close(const std::vector<sim::TSimChannel>& server);
  TLedgerFigures Figures() const;

 private:
  struct TBook {
    std::atomic<std::int64_t> accepted{0};   // last k the library accepted
    std::atomic<std::int64_t> attribute{0};  // last attribute value it accepted
    std::atomic<std::int64_t> received{0};   // last k the server received
    std::uint32_t session = 0;               // server thread: connection of `received`
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

  void CheckValue(const sim::TReceivedRecord& record);
  void Problem(std::string text);  // with mutex_ held
  // Controls after taken_ and before `next` never arrived; `nextSession`
  // carried `next` (0 at the end). With mutex_ held.
  void Missing(std::uint64_t next, std::uint32_t nextSession);
  bool Excused(std::uint32_t session) const;
  TBatch* BatchOf(std::uint64_t n);
  // The last control that must still arrive; taken_ when none must.
  std::uint64_t LastOwed() const;

  const std::vector<TSoakChannel> soakChannels_;
  std::unordered_map<std::string, int> index_;
  std::unique_ptr<TBook[]> books_;

  // Server thread only.
  std::unordered_map<std::uint32_t, int> byNumber_;

  std::atomic<std::uint64_t> valuesAccepted_{0}, valuesRefused_{0}, valuesChecked_{0};
  std::atomic<std::uint64_t> valuesCorrupt_{0}, valuesStale_{0};

  // The figures so far; the caller holds mutex_.
  TLedgerFigures FiguresLocked() const;

  mutable std::mutex mutex_;
  TLedgerFigures figures_;  // the control and end counts
  std::map<std::uint32_t, TSession> sessions_;
  std::condition_variable placed_;
  std::deque<TBatch> batches_;  // from the oldest not wholly taken
  std::uint64_t taken_ = 0;     // the last control number taken
};

}  // namespace kv::soak
