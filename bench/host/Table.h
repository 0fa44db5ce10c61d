#pragma once
// The table: runs every scenario several times, each run in a fresh process
// of this program, and prints the median and the spread of every figure
// beside its target. Says loudly when a run lost something.
#include <string>
#include <vector>

namespace kv::bench {

struct TTableOptions {
  int runs = 3;
  bool smoke = false;
  std::string library;            // passed on to every run
  std::string baseline;           // a library measured beside it in the same runs
  std::vector<std::string> only;  // scenario names; empty: all
};

// 0 when every run measured and lost nothing, kExitLost when a run lost
// something, 1 when a run could not measure.
int RunTable(const TTableOptions& options);

}  // namespace kv::bench
