#include "Table.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "BenchServer.h"
#include "Scenarios.h"
#include "Stats.h"

extern char** environ;

namespace kv::bench {
namespace {

enum class TGoal { AtMost, AtLeast, None };

struct TRow {
  const char* label;
  const char* result;  // the RESULT name; its suffix gives the unit
  const char* target;  // as printed
  TGoal goal;
  double limit;  // in the result's unit
  // A figure of the machine itself that bounds what the row can show: an
  // AtMost row whose figure is over its limit but, in most runs, not over
  // this one's in the same run is met "on this machine" (printed so).
  const char* machine = nullptr;
};

// The figures in the order of the table. Indented labels belong to the row
// above them.
const TRow kRows[] = {
    {"c_RegisterValueByID cost, median", "call_median_ns", "<= 110 ns", TGoal::AtMost, 110},
    {"  mean per call in batches of 1000", "call_batch_ns", "", TGoal::None, 0},
    {"  with a log callback set (Debug off)", "callback_median_ns", "= without", TGoal::None, 0},
    {"  without it, same run, in turns", "callback_without_median_ns", "", TGoal::None, 0},
    {"  p99.9 with a log callback set", "callback_p999_ns", "= without", TGoal::None, 0},
    {"  p99.9 without it, same run", "callback_without_p999_ns", "", TGoal::None, 0},
    {"  p99.9, worker sending as usual", "call_p999_ns", "<= 5 us", TGoal::AtMost, 5000},
    {"  p99.9 while a send pass of every channel runs", "pass_p999_ns", "<= 5 us", TGoal::AtMost,
     5000},
    {"  p99.9 the same, Debug on", "pass_debug_p999_ns", "<= 5 us", TGoal::AtMost, 5000},
    {"  p99.9 with the server stalled", "stall_p999_ns", "<= 5 us", TGoal::AtMost, 5000},
    {"longest host call behind the worker, Debug off", "pass_max_us", "<= 50 us", TGoal::AtMost, 50,
     "pass_machine_max_us"},
    {"  the machine's own longest pause meanwhile", "pass_machine_max_us", "", TGoal::None, 0},
    {"  Debug on", "pass_debug_max_us", "<= 50 us", TGoal::AtMost, 50, "pass_debug_machine_max_us"},
    {"  the machine's own longest pause meanwhile", "pass_debug_machine_max_us", "", TGoal::None,
     0},
    {"  server stalled", "stall_max_us", "<= 50 us", TGoal::AtMost, 50, "stall_machine_max_us"},
    {"  the machine's own longest pause meanwhile", "stall_machine_max_us", "", TGoal::None, 0},
    {"  Debug off, calls the system preempted included", "pass_raw_max_us", "", TGoal::None, 0},
    {"  worker sending as usual", "call_max_us", "", TGoal::None, 0},
    {"  one send pass after a reconnect (Debug off)", "pass_burst_ms", "", TGoal::None, 0},
    {"  the same, Debug on", "pass_debug_burst_ms", "", TGoal::None, 0},
    {"values delivered to the server, one host thread", "delivered_mps", ">= 3 M/s", TGoal::AtLeast,
     3},
    {"  host calls made meanwhile", "host_calls_mps", "", TGoal::None, 0},
    {"host threads on channels of their own, calls: 1", "threads1_mps", "", TGoal::None, 0},
    {"  2 threads", "threads2_mps", "", TGoal::None, 0},
    {"  4 threads", "threads4_mps", "", TGoal::None, 0},
    {"  8 threads", "threads8_mps", "", TGoal::None, 0},
    {"  2 threads against 1", "threads_2_to_1", ">= 1", TGoal::AtLeast, 1},
    {"  p99.9 of the slowest thread: 1 thread", "threads1_p999_ns", "", TGoal::None, 0},
    {"  2 threads", "threads2_p999_ns", "", TGoal::None, 0},
    {"  4 threads", "threads4_p999_ns", "", TGoal::None, 0},
    {"  8 threads", "threads8_p999_ns", "", TGoal::None, 0},
    {"  longest call of the slowest thread: 1 thread", "threads1_max_us", "", TGoal::None, 0},
    {"  2 threads", "threads2_max_us", "", TGoal::None, 0},
    {"  4 threads", "threads4_max_us", "", TGoal::None, 0},
    {"  8 threads", "threads8_max_us", "", TGoal::None, 0},
    {"scalar calls beside 2 400-element arrays, p99.9", "arrays_scalar_p999_ns", "<= 5 us",
     TGoal::AtMost, 5000},
    {"  longest", "arrays_scalar_max_us", "<= 100 us", TGoal::AtMost, 100, "arrays_machine_max_us"},
    {"  the machine's own longest pause meanwhile", "arrays_machine_max_us", "", TGoal::None, 0},
    {"  scalar calls that slept waiting for a lock", "arrays_scalar_slept", "", TGoal::None, 0},
    {"  longest call that neither slept nor was preempted", "arrays_scalar_awake_max_us", "",
     TGoal::None, 0},
    {"  preemptions included", "arrays_scalar_raw_max_us", "", TGoal::None, 0},
    {"  array calls made meanwhile", "arrays_per_s", "", TGoal::None, 0},
    {"worker CPU while idle, 1 000 000 active channels", "idle_cpu_pct", "<= 0.2 %", TGoal::AtMost,
     0.2},
    {"  wake-ups", "idle_wakeups_per_s", "<= 20 /s", TGoal::AtMost, 20},
    {"latency host call -> bytes at the server, p50", "latency_p50_us", "<= 60 us", TGoal::AtMost,
     60},
    {"  p99", "latency_p99_us", "<= 500 us", TGoal::AtMost, 500},
    {"  max", "latency_max_us", "", TGoal::None, 0},
    {"memory per channel, three text attributes", "memory_model_bytes", "<= 600 B", TGoal::AtMost,
     600},
    {"  connected, registered, one value each", "memory_connected_bytes", "", TGoal::None, 0},
    {"re-registration of every channel after a reconnect", "reregister_ms", "<= 100 ms",
     TGoal::AtMost, 100},
    {"  of which until the login request arrived", "reregister_login_ms", "", TGoal::None, 0},
    {"  until their values are back too", "reregister_values_ms", "", TGoal::None, 0},
    {"c_RegisterValueByID while logged out, no history", "down_median_ns", "", TGoal::None, 0},
    {"  with the value history, median", "history_median_ns", "<= 2 x call", TGoal::AtMost, 300},
    {"  p99.9", "history_p999_ns", "", TGoal::None, 0},
    {"  at the bound (each call drops the oldest)", "history_bound_median_ns", "", TGoal::None, 0},
    {"kept values sent after the login", "history_drain_mps", ">= 1 M/s", TGoal::AtLeast, 1},
    {"heap per kept Float8 value", "history_value_bytes", "", TGoal::None, 0},
    {"test server, CPU for every channel's registration", "server_registrations_ms", "",
     TGoal::None, 0},
    {"  the same again (re-registration)", "server_reregistrations_ms", "", TGoal::None, 0},
    {"  values it takes per second of CPU", "server_values_mps", "", TGoal::None, 0},
};

bool EndsWith(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// A figure with its unit; times in the most readable unit.
std::string Format(const std::string& name, double value) {
  char text[64];
  double ns = -1;
  if (EndsWith(name, "_ns")) ns = value;
  if (EndsWith(name, "_us")) ns = value * 1e3;
  if (EndsWith(name, "_ms")) ns = value * 1e6;
  if (ns >= 0) {
    if (ns < 1e3)
      std::snprintf(text, sizeof text, "%.0f ns", ns);
    else if (ns < 1e6)
      std::snprintf(text, sizeof text, "%.3g us", ns / 1e3);
    else
      std::snprintf(text, sizeof text, "%.4g ms", ns / 1e6);
  } else if (EndsWith(name, "_mps")) {
    std::snprintf(text, sizeof text, "%.3g M/s", value);
  } else if (EndsWith(name, "_pct")) {
    std::snprintf(text, sizeof text, "%.3g %%", value);
  } else if (EndsWith(name, "_per_s")) {
    std::snprintf(text, sizeof text, "%.4g /s", value);
  } else if (EndsWith(name, "_bytes")) {
    std::snprintf(text, sizeof text, "%.0f B", value);
  } else {
    std::snprintf(text, sizeof text, "%.4g", value);
  }
  return text;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

struct TRun {
  int exitCode = 1;
  std::map<std::string, double> results;
};

// Runs one scenario in a fresh process of this program; its reader's lines
// are passed through, its RESULT lines collected.
TRun RunChild(const std::string& scenario, const TTableOptions& options,
              const std::string& library) {
  TRun run;
  int out[2];
  if (pipe(out) != 0) return run;
  std::vector<std::string> args = {"bench_host", scenario};
  if (options.smoke) args.push_back("--smoke");
  if (!library.empty()) {
    args.push_back("--library");
    args.push_back(library);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    std::fprintf(stderr, "cannot start a run: %s\n", std::strerror(spawned));
    return run;
  }
  FILE* lines = fdopen(out[0], "r");
  char line[1024];
  while (std::fgets(line, sizeof line, lines) != nullptr) {
    char name[128];
    double value = 0;
    if (std::sscanf(line, "RESULT %127s %lf", name, &value) == 2)
      run.results[name] = value;
    else
      std::printf("    %s", line);
  }
  std::fclose(lines);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

using TFigures = std::map<std::string, std::vector<double>>;

// The baseline's median of a figure, "-" when it has none.
std::string BaselineMedian(const TFigures& before, const char* result) {
  const auto found = before.find(result);
  if (found == before.end() || found->second.empty()) return "-";
  return Format(result, Median(found->second));
}

void PrintTable(const TFigures& figures, const TFigures& before, const TTableOptions& options) {
  const bool baseline = !options.baseline.empty();
  std::printf("\n%-52s %s%-12s %-24s %-10s %s\n", "figure", baseline ? "before       " : "",
              baseline ? "after" : "median", "spread (min - max, runs)", "target", "met");
  std::printf("%s\n", std::string(baseline ? 123 : 110, '-').c_str());
  for (const TRow& row : kRows) {
    const std::string was = baseline ? BaselineMedian(before, row.result) : "";
    if (baseline) std::printf("%-52s %-12s ", row.label, was.c_str());
    if (!baseline) std::printf("%-52s ", row.label);
    const auto found = figures.find(row.result);
    if (found == figures.end() || found->second.empty()) {
      std::printf("%-12s %-24s %-10s\n", "-", "", row.target);
      continue;
    }
    const std::vector<double>& values = found->second;
    const double median = Median(values);
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    const std::string spread = Format(row.result, *low) + " - " + Format(row.result, *high) + " (" +
                               std::to_string(values.size()) + ")";
    const char* met = row.goal == TGoal::None ? ""
                      : (row.goal == TGoal::AtMost ? median <= row.limit : median >= row.limit)
                          ? "yes"
                          : "NO";
    // Each run reports the call and the machine's pause together, so the
    // two lists pair run by run; most runs must be within their own pause.
    if (row.machine != nullptr && std::strcmp(met, "NO") == 0) {
      const auto machine = figures.find(row.machine);
      if (machine != figures.end() && machine->second.size() == values.size()) {
        std::size_t within = 0;
        for (std::size_t i = 0; i < values.size(); ++i)
          if (values[i] <= std::max(row.limit, machine->second[i])) ++within;
        if (2 * within > values.size()) met = "machine";
      }
    }
    std::printf("%-12s %-24s %-10s %s\n", Format(row.result, median).c_str(), spread.c_str(),
                row.target, met);
  }
  if (baseline)
    std::printf("\nbefore: the medians of %s, run beside each run of the library measured.\n",
                options.baseline.c_str());
  const TSizes sizes(options.smoke);
  std::printf(
      "\n%zu channels (idle: %zu), %zu timed calls per figure, light load: %zu values "
      "over %zu channels at 1000 a second.\n",
      sizes.channels, sizes.idleChannels, sizes.calls, sizes.latencyValues, sizes.latencyChannels);
  std::printf(
      "Longest calls: the system's preemptions left out; \"machine\": over the target, but in "
      "most runs not over the longest pause the machine itself gave the same thread in that "
      "run.\n");
  if (options.smoke) std::printf("SMOKE RUN: reduced sizes, the figures mean nothing.\n");
}

}  // namespace

int RunTable(const TTableOptions& options) {
  std::printf("bench_host: %d run(s) of each scenario; %ld processors; load average %s\n",
              options.runs, sysconf(_SC_NPROCESSORS_ONLN), LoadAverage().c_str());
  std::fflush(stdout);
  TFigures figures;
  TFigures before;
  std::vector<std::string> lost;
  std::vector<std::string> failed;
  for (const TScenario& scenario : Scenarios()) {
    if (!options.only.empty() &&
        std::find(options.only.begin(), options.only.end(), scenario.name) == options.only.end())
      continue;
    for (int run = 1; run <= options.runs; ++run) {
      std::printf("%s (%s), run %d of %d\n", scenario.name, scenario.what, run, options.runs);
      std::fflush(stdout);
      // The baseline runs beside each run, so that both see the same load.
      if (!options.baseline.empty()) {
        std::printf("  baseline %s\n", options.baseline.c_str());
        std::fflush(stdout);
        const TRun previous = RunChild(scenario.name, options, options.baseline);
        for (const auto& [name, value] : previous.results) before[name].push_back(value);
        std::printf("  measured\n");
        std::fflush(stdout);
      }
      const TRun result = RunChild(scenario.name, options, options.library);
      for (const auto& [name, value] : result.results) figures[name].push_back(value);
      const std::string which = std::string(scenario.name) + " run " + std::to_string(run);
      if (result.exitCode == kExitLost)
        lost.push_back(which);
      else if (result.exitCode != 0)
        failed.push_back(which + " (exit " + std::to_string(result.exitCode) + ")");
    }
  }
  PrintTable(figures, before, options);
  std::printf("load average at the end %s\n", LoadAverage().c_str());
  for (const std::string& which : failed) std::printf("FAILED to measure: %s\n", which.c_str());
  if (!lost.empty()) {
    std::printf("\n################################################################\n");
    for (const std::string& which : lost) std::printf("### DATA LOST in %s\n", which.c_str());
    std::printf("################################################################\n");
    return kExitLost;
  }
  return failed.empty() ? 0 : 1;
}

}  // namespace kv::bench
