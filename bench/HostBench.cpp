// The host's path through the C interface of the shared library, against
// the test server on loopback: the cost of one c_RegisterValueByID over
// 100 000 channels (median, p99, p99.9 and longest call, each call timed on
// its own), quiet and while the worker sends a full list after each of
// repeated logins, with and without debug lines, and with the server no
// longer reading; and the heap a channel with three texts costs.
//
// The library is loaded at run time, as a host loads it: the one built with
// this program, and, when KV_BENCH_BASELINE names another build of it, that
// one as well, so that both are measured in the same run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kvopros2.h"

#include "BenchServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kChannels = 100000;
constexpr int kFloat8 = 5;

struct TExports {
  std::string label;
  kv_CreateOprosFn create = nullptr;
  kv_DestroyOprosFn destroy = nullptr;
  kv_IsServerConnectedFn connected = nullptr;
  kv_RegisterChannelFn channel = nullptr;
  kv_RegisterValueByIDFn value = nullptr;
};

template <class Fn>
void Bind(void* library, const char* name, Fn& slot) {
  void* address = dlsym(library, name);
  if (address == nullptr) {
    std::fprintf(stderr, "%s not exported\n", name);
    std::exit(1);
  }
  std::memcpy(&slot, &address, sizeof slot);
}

// Never unloaded: a library's static storage must outlive the process's
// last call into it.
TExports Load(const std::string& path, std::string label) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "dlopen %s: %s\n", path.c_str(), dlerror());
    std::exit(1);
  }
  TExports api;
  api.label = std::move(label);
  Bind(library, "c_CreateOpros", api.create);
  Bind(library, "c_DestroyOpros", api.destroy);
  Bind(library, "c_IsServerConnected", api.connected);
  Bind(library, "c_RegisterChannel", api.channel);
  Bind(library, "c_RegisterValueByID", api.value);
  return api;
}

// 17 characters, as hosts name their channels.
std::string Address(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "PLANT.UNIT.%06d", i);
  return text;
}

const std::vector<std::string>& Addresses() {
  static const std::vector<std::string> addresses = [] {
    std::vector<std::string> all;
    for (int i = 0; i < kChannels; ++i) all.push_back(Address(i));
    return all;
  }();
  return addresses;
}

void RegisterAll(const TExports& api) {
  for (const std::string& addr : Addresses())
    api.channel(addr.c_str(), kFloat8, 0, 0, "temperature of the boiler", "", "degrees Celsius", "",
                "north wing, second floor", 0, "");
}

enum class TScenario { Quiet, Relogin, ReloginDebug, Stalled };

const char* Name(TScenario scenario) {
  switch (scenario) {
    case TScenario::Quiet:
      return "quiet";
    case TScenario::Relogin:
      return "relogin";
    case TScenario::ReloginDebug:
      return "relogin_debug";
    case TScenario::Stalled:
      return "stalled";
  }
  return "";
}

// A client with every channel registered and activated by the server.
class TSession {
 public:
  TSession(const TExports& api, bool debug) : api_(api) {
    server_ = std::make_unique<kv::bench::TBenchServer>();
    const std::string log =
        debug ? (std::filesystem::temp_directory_path() / "kv_bench_host.log").string() : "";
    if (!log.empty()) std::remove(log.c_str());
    api_.create("127.0.0.1", server_->Port(), 10, "bench", "", 0, debug ? 1 : 0, log.c_str());
    RegisterAll(api_);
    const auto until = Clock::now() + 120s;
    while (server_->Activated() < kChannels && Clock::now() < until)
      std::this_thread::sleep_for(10ms);
    if (server_->Activated() < kChannels) {
      std::fprintf(stderr, "the server never activated every channel\n");
      std::exit(1);
    }
    std::this_thread::sleep_for(500ms);  // the client takes in the last activations
  }
  ~TSession() {
    stop_ = true;
    if (background_.joinable()) background_.join();
    api_.destroy();
  }

  kv::bench::TBenchServer& Server() { return *server_; }

  // Drops the connection every `period`: each new login sends the whole
  // list again.
  void Relogin(std::chrono::milliseconds period) {
    background_ = std::thread([this, period] {
      while (!stop_) {
        std::this_thread::sleep_for(period);
        server_->Drop();
      }
    });
  }

 private:
  const TExports& api_;
  std::unique_ptr<kv::bench::TBenchServer> server_;
  std::atomic<bool> stop_{false};
  std::thread background_;
};

double Percentile(std::vector<std::int64_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return static_cast<double>(sorted[index]);
}

// The least a call can be measured at: two clock readings back to back.
double ClockOverhead() {
  std::vector<std::int64_t> samples(100000);
  for (auto& sample : samples) {
    const auto start = Clock::now();
    sample = (Clock::now() - start).count();
  }
  std::sort(samples.begin(), samples.end());
  return Percentile(samples, 0.5);
}

void BM_HostValue(benchmark::State& state, const TExports* api, TScenario scenario) {
  const bool debug = scenario == TScenario::ReloginDebug;
  TSession session(*api, debug);
  if (scenario == TScenario::Relogin || scenario == TScenario::ReloginDebug)
    session.Relogin(std::chrono::milliseconds(200));
  if (scenario == TScenario::Stalled) session.Server().SetReading(false);
  const std::vector<std::string>& addresses = Addresses();
  std::vector<std::int64_t> times;
  times.reserve(static_cast<std::size_t>(state.max_iterations));
  // 100-ns units from 2024-01-01, a millisecond further each call.
  std::uint64_t ticks = 133485408000000000ULL;
  VARIANT value;
  std::memset(&value, 0, sizeof value);
  value.vt = VT_R8;
  std::size_t i = 0;
  const std::uint64_t loginsBefore = session.Server().Logins();
  for (auto _ : state) {
    ticks += 10000;
    FILETIME time{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
    value.dblVal += 1;
    const auto start = Clock::now();
    kv_bool stored = api->value(addresses[i].c_str(), &time, 0, value);
    times.push_back((Clock::now() - start).count());
    benchmark::DoNotOptimize(stored);
    if (++i == addresses.size()) i = 0;
  }
  state.counters["logins"] = static_cast<double>(session.Server().Logins() - loginsBefore);
  std::sort(times.begin(), times.end());
  state.counters["median_ns"] = Percentile(times, 0.5);
  state.counters["p99_ns"] = Percentile(times, 0.99);
  state.counters["p999_ns"] = Percentile(times, 0.999);
  state.counters["max_us"] = times.empty() ? 0 : static_cast<double>(times.back()) / 1000;
  state.counters["clock_ns"] = ClockOverhead();
  state.SetLabel(api->label);
}

// The heap that 100 000 channels with three texts of about 20 characters
// take, per channel; measured without a server, so nothing is being sent.
void BM_MemoryPerChannel(benchmark::State& state, const TExports* api) {
  for (auto _ : state) {
    api->create("127.0.0.1", 1, 10, "bench", "", 0, 0, "");
    Addresses();
    malloc_trim(0);
    const struct mallinfo2 before = mallinfo2();
    RegisterAll(*api);
    const struct mallinfo2 after = mallinfo2();
    state.counters["bytes_per_channel"] =
        static_cast<double>(after.uordblks + after.hblkhd - before.uordblks - before.hblkhd) /
        kChannels;
    api->destroy();
  }
  state.SetLabel(api->label);
}

// Loaded once for the program's life.
std::vector<std::unique_ptr<TExports>>& Libraries() {
  static std::vector<std::unique_ptr<TExports>> libraries;
  return libraries;
}

// Registered before the benchmark library parses the command line.
int RegisterHostBenchmarks() {
  const char* own = std::getenv("KV_BENCH_LIBRARY");
  Libraries().push_back(std::make_unique<TExports>(Load(own ? own : KV_BENCH_LIBRARY, "current")));
  if (const char* baseline = std::getenv("KV_BENCH_BASELINE"))
    Libraries().push_back(std::make_unique<TExports>(Load(baseline, "baseline")));
  for (const auto& library : Libraries()) {
    const std::string suffix = "/" + library->label;
    for (TScenario scenario :
         {TScenario::Quiet, TScenario::Relogin, TScenario::ReloginDebug, TScenario::Stalled}) {
      const bool relogin = scenario == TScenario::Relogin || scenario == TScenario::ReloginDebug;
      benchmark::RegisterBenchmark(("BM_HostValue/" + std::string(Name(scenario)) + suffix).c_str(),
                                   BM_HostValue, library.get(), scenario)
          ->Iterations(relogin ? 5000000 : 2000000)
          ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark(("BM_MemoryPerChannel" + suffix).c_str(), BM_MemoryPerChannel,
                                 library.get())
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}

const int registered = RegisterHostBenchmarks();

}  // namespace
