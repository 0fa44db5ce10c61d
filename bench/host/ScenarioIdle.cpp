// What the worker costs while nothing happens: a million active channels,
// every value delivered, no host calls. CPU time comes from the thread's
// scheduler statistics (nanoseconds) with utime + stime as a cross-check,
// wake-ups from its context switches.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Scenarios.h"
#include "Session.h"
#include "Stats.h"

namespace kv::bench {
namespace {

struct TThreadStats {
  std::uint64_t runNs = 0;       // schedstat: time on a CPU
  std::uint64_t clockTicks = 0;  // stat: utime + stime
  std::uint64_t switches = 0;    // status: voluntary + involuntary
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint64_t StatusField(const std::string& status, const std::string& field) {
  const std::size_t at = status.find(field + ":");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + field.size() + 1));
}

bool ReadThreadStats(int tid, TThreadStats& stats) {
  const std::string dir = "/proc/self/task/" + std::to_string(tid) + "/";
  const std::string schedstat = ReadFile(dir + "schedstat");
  const std::string stat = ReadFile(dir + "stat");
  const std::string status = ReadFile(dir + "status");
  const std::size_t name = stat.rfind(')');
  if (schedstat.empty() || name == std::string::npos || status.empty()) return false;
  stats.runNs = std::stoull(schedstat);
  // After the name: state is field 3, utime and stime are fields 14 and 15.
  std::istringstream fields(stat.substr(name + 2));
  std::string field;
  for (int number = 3; number <= 15 && fields >> field; ++number)
    if (number == 14 || number == 15) stats.clockTicks += std::stoull(field);
  stats.switches = StatusField(status, "voluntary_ctxt_switches") +
                   StatusField(status, "nonvoluntary_ctxt_switches");
  return true;
}

bool ReadAll(const std::vector<int>& tids, TThreadStats& total) {
  total = {};
  for (int tid : tids) {
    TThreadStats one;
    if (!ReadThreadStats(tid, one)) return false;
    total.runNs += one.runNs;
    total.clockTicks += one.clockTicks;
    total.switches += one.switches;
  }
  return true;
}

}  // namespace

int RunIdle(const TScenarioContext& context) {
  TSessionConfig config;
  config.channels = context.sizes.idleChannels;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  const std::vector<int>& worker = session.NewThreads();
  if (worker.empty()) {
    std::fprintf(stderr, "cannot measure: c_CreateOpros started no thread\n");
    return 1;
  }
  if (worker.size() > 1)
    std::printf("idle: c_CreateOpros started %zu threads; their sum is measured\n", worker.size());
  if (!CheckDelivery(session.Server(), session.Ledger(), TCountRule::Exact, 300s, "idle"))
    return kExitLost;

  std::this_thread::sleep_for(TDuration(context.sizes.smoke ? 100 : 1000));  // settles
  TThreadStats before;
  TThreadStats after;
  const auto unreadable = [] {
    std::fprintf(stderr, "cannot measure: the worker's statistics cannot be read\n");
    return 1;
  };
  const std::int64_t start = SteadyNs();
  if (!ReadAll(worker, before)) return unreadable();
  std::this_thread::sleep_for(std::chrono::duration<double>(context.sizes.idleSeconds));
  if (!ReadAll(worker, after)) return unreadable();
  const double seconds = static_cast<double>(SteadyNs() - start) / 1e9;

  const double cpu = static_cast<double>(after.runNs - before.runNs) / 1e9 / seconds * 100;
  const double cpuTicks = static_cast<double>(after.clockTicks - before.clockTicks) /
                          static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds * 100;
  std::printf(
      "idle: %zu active channels, %.1f s: %.3f %% CPU (utime+stime: %.2f %%), %.0f wake-ups\n",
      session.Channels(), seconds, cpu, cpuTicks,
      static_cast<double>(after.switches - before.switches));
  Report("idle_cpu_pct", cpu);
  Report("idle_wakeups_per_s", static_cast<double>(after.switches - before.switches) / seconds);
  // Nothing was handed over meanwhile: the server still holds exactly one
  // value per channel.
  return CheckDelivery(session.Server(), session.Ledger(), TCountRule::Exact, 300s, "idle")
             ? 0
             : kExitLost;
}

}  // namespace kv::bench
