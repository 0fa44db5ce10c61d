#include "Scenarios.h"

#include <cstdio>

namespace kv::bench {

TSizes::TSizes(bool smokeRun)
    : smoke(smokeRun),
      channels(smokeRun ? 2000 : 100000),
      calls(smokeRun ? 20000 : 1000000),
      passSamples(smokeRun ? 20000 : 1000000),
      minPassCycles(smokeRun ? 1 : 3),
      passCycles(smokeRun ? 2 : 30),
      stallMs(smokeRun ? 200 : 1000),
      throughputSeconds(smokeRun ? 0.3 : 3.0),
      idleChannels(smokeRun ? 20000 : 1000000),
      idleSeconds(smokeRun ? 0.5 : 10.0),
      latencyChannels(smokeRun ? 100 : 1000),
      latencyValues(smokeRun ? 300 : 5000),
      reconnects(smokeRun ? 2 : 5) {}

void Report(const char* name, double value) {
  std::printf("RESULT %s %.6g\n", name, value);
  std::fflush(stdout);
}

const std::vector<TScenario>& Scenarios() {
  static const std::vector<TScenario> scenarios = {
      {"calls", "c_RegisterValueByID cost, channels all changing, worker sending", RunCalls},
      {"pass", "host calls while reconnects make the worker send every channel", RunPass},
      {"pass-debug", "the same with the library's debug log on", RunPassDebug},
      {"stall", "host calls while the server stops reading", RunStall},
      {"throughput", "values delivered to the server, one host thread", RunThroughput},
      {"idle", "worker CPU and wake-ups while idle with a million active channels", RunIdle},
      {"latency", "host call to bytes at the server, light load", RunLatency},
      {"memory", "heap per channel with three text attributes", RunMemory},
      {"reregister", "re-registration of every channel after a reconnect", RunReregister},
      {"server", "the test server's own capacity, without client and sockets", RunServer},
  };
  return scenarios;
}

}  // namespace kv::bench
