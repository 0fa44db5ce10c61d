// bench_host: the figures of the host interface, measured through the
// shared library's exports against the test server on loopback.
//
//   bench_host table [--runs N] [--only a,b] [--smoke] [--library PATH] [--baseline PATH]
//   bench_host SCENARIO [--smoke] [--library PATH]
//   bench_host list
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "Scenarios.h"
#include "Table.h"

namespace {

using namespace kv::bench;

constexpr const char* kUsage =
    "usage: bench_host table [--runs N] [--only NAME,NAME] [--smoke] [--library PATH]\n"
    "                        [--baseline PATH]\n"
    "       bench_host SCENARIO [--smoke] [--library PATH]\n"
    "       bench_host list\n"
    "table runs every scenario N times (default 3), each run in its own process, and prints\n"
    "the median and spread of every figure beside its target. --smoke: tiny sizes, a few\n"
    "seconds, figures meaningless. --library: the libkvopros2.so to measure. --baseline:\n"
    "another one, run beside each run of it; the table shows both medians.\n"
    "Exit 0: measured; 1: could not measure; 2: the server did not get what the host sent.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 1;
}

std::vector<std::string> SplitNames(const std::string& text) {
  std::vector<std::string> names;
  std::istringstream in(text);
  for (std::string name; std::getline(in, name, ',');)
    if (!name.empty()) names.push_back(name);
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  TTableOptions table;
  table.library = KV_BENCH_LIBRARY;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--smoke")
      table.smoke = true;
    else if (arg == "--runs" && hasValue)
      table.runs = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--only" && hasValue)
      table.only = SplitNames(argv[++i]);
    else if (arg == "--library" && hasValue)
      table.library = argv[++i];
    else if (arg == "--baseline" && hasValue)
      table.baseline = argv[++i];
    else
      return Usage();
  }
  if (command == "table") return RunTable(table);
  if (command == "list") {
    for (const TScenario& scenario : Scenarios())
      std::printf("%-12s %s\n", scenario.name, scenario.what);
    return 0;
  }
  for (const TScenario& scenario : Scenarios()) {
    if (command != scenario.name) continue;
    std::string error;
    const THostApi* api = LoadHostApi(table.library, error);
    if (api == nullptr) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    return scenario.run(TScenarioContext{*api, TSizes(table.smoke)});
  }
  return Usage();
}
