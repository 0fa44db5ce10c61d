#pragma once
// The host side of the soak: threads that reach the library only through
// its exported functions, as a data-acquisition host does. Each value
// thread declares its channels (and a few more as time goes on), attaches
// an attribute now and then, and hands over values whose steps rise by one
// per call (Ledger.h); a collector thread takes the controls. Every call is
// watched by the watchdog and reported to the ledger.
//
// Flood: while the server stops reading, the value threads change every
// channel on every pass, without pausing, so that the client's sends
// certainly fill the connection and block.
//
// Threads: Start, Stop* and SetFlood from the controlling thread (SetFlood
// from any).
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "HostLibrary.h"
#include "soak/Ledger.h"
#include "soak/Watchdog.h"

namespace kv::soak {

struct THostOptions {
  int valueThreads = 3;
  int channels = 24;       // declared by each value thread at its start
  int maxChannels = 36;    // declared by each value thread in the end
  int updatesPerPass = 8;  // values per pass of a value thread
  int passPauseMs = 2;
  std::size_t bulkBytes = 1500;  // the length of each thread's bulk text channel's values
  // The client keeps values through outages: a value accepted while it was
  // surely logged out is owed to the server (TLedger::ValueOwed).
  bool history = false;
};

// Every channel the hosts may declare, in ledger order: for each thread
// maxChannels channels (Float8, Int4 and String by turns), then one bulk
// text channel per thread.
std::vector<TSoakChannel> SoakChannels(const THostOptions& options);

class THosts {
 public:
  THosts(const demo::TKvExports& api, TLedger& ledger, TWatchdog& watchdog, THostOptions options);
  ~THosts();
  THosts(const THosts&) = delete;
  THosts& operator=(const THosts&) = delete;

  void Start();
  void StopValues();
  void StopControls();
  void SetFlood(bool flood) { flood_.store(flood); }

 private:
  class TValueThread;
  void Collect();

  const demo::TKvExports& api_;
  TLedger& ledger_;
  TWatchdog& watchdog_;
  const THostOptions options_;
  std::atomic<bool> flood_{false};
  std::atomic<bool> stopValues_{false};
  std::atomic<bool> stopControls_{false};
  std::vector<std::thread> valueThreads_;
  std::thread collector_;
};

}  // namespace kv::soak
