#pragma once
// The soak's command line:
//   --seconds N | --minutes N   how long faults are injected (default 60 s)
//   --seed N                    the fault plan's seed (default 1)
//   --without KIND              leave a fault out (repeatable; see kvsim --help)
//   --no-stall                  the same as --without stall
//   --long-every N              a fault that costs the client a minute after
//                               every N others (default: none below 10
//                               minutes, else 300)
//   --servers N                 1, or 2: a main server and a reserve, each with a
//                               fault plan of its own, named to the client as a
//                               list (long faults then default to one after
//                               every 8 others, so that the client fails over)
//   --timeout SECONDS           the client's network time-out (default 2)
//   --threads N                 host threads handing over values (default 3)
//   --warm-up N                 reconnections before the first resource
//                               sample (default 30)
//   --history BYTES             the client keeps values through outages
//                               (KVOPROS2_OPTION_HISTORY_BYTES, 65536 to
//                               536870912; one server only), and the ledger
//                               checks that they arrive in order
//   --record DIR                keep what each connection was sent in DIR
//   --log PATH                  keep the library's log at PATH
//   --verbose                   print every fault as it ends
//   --help
#include <cstdint>
#include <string>
#include <vector>

#include "kvsim/FaultPlan.h"

namespace kv::soak {

struct TSoakOptions {
  int seconds = 60;
  std::uint64_t seed = 1;
  std::uint32_t kinds = sim::kAllFaults;
  int longEvery = -1;  // -1: by the duration and the servers
  int servers = 1;
  int timeoutSec = 2;
  int threads = 3;
  int warmUp = 30;
  std::uint64_t historyBytes = 0;  // 0: no history
  std::string recordDir;
  std::string logPath;
  bool verbose = false;
  bool help = false;
};

bool ParseOptions(const std::vector<std::string>& args, TSoakOptions& options, std::string& error);
std::string UsageText();

}  // namespace kv::soak
