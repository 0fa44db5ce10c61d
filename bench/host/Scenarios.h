#pragma once
// The measurements. Each scenario runs once in its own process (the library
// keeps one client per process, and the heap and thread figures must not
// carry over from another scenario), prints what it sees for a reader and
// each figure as a line "RESULT <name> <value>" on standard output.
//
// Exit codes: 0 measured; 1 could not measure (the reason on standard
// error); kExitLost (2) the server did not receive what the host handed
// over (what was lost on standard error, under a banner).
#include <cstddef>
#include <string>
#include <vector>

#include "HostApi.h"

namespace kv::bench {

// The sizes of a run: the real ones, or a few seconds' worth for a smoke
// run that only proves the scenarios still work.
struct TSizes {
  explicit TSizes(bool smoke);
  bool smoke;
  std::size_t channels;      // 100 000: the call, pass, throughput, memory and reconnect scenarios
  std::size_t calls;         // single calls timed (and as many again in batches)
  std::size_t passSamples;   // calls timed while send passes run
  int minPassCycles;         // at least this many reconnects or stalls,
  int passCycles;            // at most this many to get the samples
  int stallMs;               // one stall of the server
  double throughputSeconds;  // measured stream of values
  std::size_t idleChannels;  // 1 000 000 active channels while the worker idles
  double idleSeconds;
  std::size_t latencyChannels;  // light load: values spread over these channels
  std::size_t latencyValues;    // one per millisecond
  int reconnects;               // re-registrations timed
};

// Says why on standard error; the exit code of a scenario that could not
// measure.
int Fail(const std::string& why);
// Heap in use: small blocks from the arenas plus the large ones mapped alone.
double HeapBytes();

struct TScenarioContext {
  const THostApi& api;
  TSizes sizes;
};

// "RESULT name value" on standard output, and the same for a reader.
void Report(const char* name, double value);

int RunCalls(const TScenarioContext& context);
int RunCallback(const TScenarioContext& context);
int RunPass(const TScenarioContext& context);
int RunPassDebug(const TScenarioContext& context);
int RunStall(const TScenarioContext& context);
int RunThroughput(const TScenarioContext& context);
int RunLatency(const TScenarioContext& context);
int RunIdle(const TScenarioContext& context);
int RunMemory(const TScenarioContext& context);
int RunReregister(const TScenarioContext& context);
int RunServer(const TScenarioContext& context);
int RunThreads(const TScenarioContext& context);
int RunArrays(const TScenarioContext& context);
int RunDown(const TScenarioContext& context);
int RunHistory(const TScenarioContext& context);
int RunHistoryBound(const TScenarioContext& context);

struct TScenario {
  const char* name;
  const char* what;
  int (*run)(const TScenarioContext&);
};
// Every scenario, in the order the table runs them.
const std::vector<TScenario>& Scenarios();

}  // namespace kv::bench
