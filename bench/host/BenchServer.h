#pragma once
// The test server on loopback in this process, as the benchmarks use it: it
// numbers and activates every channel at once and, unless asked to keep its
// history, only counts what it receives and keeps each channel's last value,
// so it can take millions of values a second.
//
// TLedger is the host's side of the account: per channel, how many calls the
// library accepted and the last value accepted. CheckDelivery compares the
// two and tells loudly what was lost.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kvsim/KavrelServer.h"

namespace kv::bench {

using namespace std::chrono_literals;
using TDuration = std::chrono::milliseconds;

class TBenchServer {
 public:
  struct TConfig {
    bool keepRecords = false;
    sim::TKavrelServer::TObserver observer;  // called on the server thread
    std::uint16_t port = 0;                  // 0: an ephemeral one
  };
  explicit TBenchServer(TConfig config);
  bool Start(std::string& error);
  std::uint16_t Port() const { return server_->Port(); }
  sim::TKavrelServer& Sim() { return *server_; }

  // Logins since the start.
  int Logins() const;
  // Counts over all channels since the start.
  std::uint64_t Registrations() const;
  std::uint64_t Values() const;
  // Until both counts reach at least the given numbers; false after limit.
  bool WaitTotals(std::uint64_t registrations, std::uint64_t values, TDuration limit);

 private:
  std::unique_ptr<sim::TKavrelServer> server_;
};

struct TLedger {
  explicit TLedger(std::size_t channels) : last(channels, 0), accepted(channels, 0) {}
  void Accept(std::size_t channel, double value) {
    last[channel] = value;
    ++accepted[channel];
  }
  std::vector<double> last;
  std::vector<std::uint32_t> accepted;
};

// What the server's count of values per channel must be.
enum class TCountRule {
  Any,     // reconnects resend values: only the last value is checked
  AtMost,  // values may be merged, never duplicated
  Exact,   // one value per accepted call
};

// Waits until every channel of the ledger is known to the server and holds
// the host's last accepted value, with a count that keeps the rule. On
// failure prints what was lost to stderr, under a banner naming `scenario`,
// and returns false.
bool CheckDelivery(TBenchServer& server, const TLedger& ledger, TCountRule rule, TDuration limit,
                   const std::string& scenario);

// A loopback port nobody listens on (for the moment); 0 when none was had.
std::uint16_t FreeLoopbackPort();

// Exit code of a scenario whose delivery check failed.
inline constexpr int kExitLost = 2;

}  // namespace kv::bench
