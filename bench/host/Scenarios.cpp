#include "Scenarios.h"

#include <malloc.h>

#include <cstdio>

namespace kv::bench {

int Fail(const std::string& why) {
  std::fprintf(stderr, "cannot measure: %s\n", why.c_str());
  return 1;
}

double HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

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
      {"callback", "the same with a log callback set and without, in turns", RunCallback},
      {"pass", "host calls while reconnects make the worker send every channel", RunPass},
      {"pass-debug", "the same with the library's debug log on", RunPassDebug},
      {"stall", "host calls while the server stops reading", RunStall},
      {"throughput", "values delivered to the server, one host thread", RunThroughput},
      {"threads", "1, 2, 4 and 8 host threads calling on channels of their own", RunThreads},
      {"arrays", "a host thread's calls beside one storing 2 400-element arrays", RunArrays},
      {"idle", "worker CPU and wake-ups while idle with a million active channels", RunIdle},
      {"latency", "host call to bytes at the server, light load", RunLatency},
      {"memory", "heap per channel with three text attributes", RunMemory},
      {"reregister", "re-registration of every channel after a reconnect", RunReregister},
      {"down", "c_RegisterValueByID cost while logged out, no history", RunDown},
      {"history", "the same with the value history; the kept values after the login", RunHistory},
      {"history-bound", "the same with the history at its bound: each call drops one",
       RunHistoryBound},
      {"server", "the test server's own capacity, without client and sockets", RunServer},
  };
  return scenarios;
}

}  // namespace kv::bench
