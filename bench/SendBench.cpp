// The host's value registration and the worker's send pass over a large
// channel list (each channel with three texts): an idle pass must cost next
// to nothing whatever the number of channels, a busy one must touch only
// what changed, and sending the whole list again after a login must stay
// well below a tenth of a second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channels/Channel.h"
#include "client/ClientThread.h"
#include "support/WorkerProbe.h"

namespace kv {
namespace {

constexpr int kChannels = 100000;

std::string Address(int i) { return "CH" + std::to_string(i); }

// A client with kChannels registered and active channels, no connection.
std::unique_ptr<TOpros2Thread> MakeClient() {
  auto client = std::make_unique<TOpros2Thread>();
  for (int i = 0; i < kChannels; ++i) {
    client->RegisterChannel({.Addr = Address(i),
                             .Type = 5,
                             .Comments = "temperature of the boiler",
                             .Unit = "degrees Celsius",
                             .Description = "north wing, second floor"});
    TChannel2 change;
    change.SetAddr(Address(i));
    change.SetNumber(static_cast<std::uint32_t>(i + 1));
    change.SetActive(true);
    client->Channels().Update(&change, ChannelField::Number | ChannelField::Active, true, false);
  }
  test::TWorkerProbe worker(*client);
  worker.KVProcessSend();  // sends the registrations once
  worker.SendBuffer().Clear();
  return client;
}

TOpros2Thread& Client() {
  static std::unique_ptr<TOpros2Thread> client = MakeClient();
  return *client;
}

void BM_RegisterValueByID(benchmark::State& state) {
  TOpros2Thread& client = Client();
  test::TWorkerProbe worker(client);
  double value = 0;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        client.RegisterValueByID(Address(i), 0, 45000.0, Variant::FromDouble(value += 1)));
    if (++i == kChannels) i = 0;
  }
  worker.KVProcessSend();
  worker.SendBuffer().Clear();
}
BENCHMARK(BM_RegisterValueByID);

// Nothing pending: no timing pauses, which would cost more than the pass.
void BM_IdleSendPass(benchmark::State& state) {
  TOpros2Thread& client = Client();
  test::TWorkerProbe worker(client);
  for (auto _ : state) worker.KVProcessSend();
}
BENCHMARK(BM_IdleSendPass);

void BM_SendPass(benchmark::State& state) {
  TOpros2Thread& client = Client();
  test::TWorkerProbe worker(client);
  const int changed = static_cast<int>(state.range(0));
  const int step = changed > 0 ? kChannels / changed : 1;
  double value = 0;
  for (auto _ : state) {
    state.PauseTiming();
    value += 1;
    for (int k = 0; k < changed; ++k)
      client.RegisterValueByID(Address(k * step), 0, 45000.0, Variant::FromDouble(value));
    state.ResumeTiming();
    worker.KVProcessSend();
    state.PauseTiming();
    worker.SendBuffer().Clear();
    state.ResumeTiming();
  }
  state.counters["changed"] = changed;
}
BENCHMARK(BM_SendPass)->Arg(1)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// After a login every channel is registered and its value sent again: the
// passes it takes until nothing is left pending (the socket writes, which
// fail here without a connection, are not part of it).
void BM_ReRegistration(benchmark::State& state) {
  TOpros2Thread& client = Client();
  test::TWorkerProbe worker(client);
  for (auto _ : state) {
    worker.NeedRegisterAllChannels();
    do {
      worker.KVProcessSend();
      worker.SendBuffer().Clear();
    } while (client.Channels().PendingCount() > 0);
  }
}
BENCHMARK(BM_ReRegistration)->Unit(benchmark::kMillisecond);

// Call times in 10-ns steps up to 100 us, and the longest.
class THistogram {
 public:
  void Add(std::int64_t ns) {
    ++counts_[static_cast<std::size_t>(std::min<std::int64_t>(ns / 10, kBuckets - 1))];
    longest_ = std::max(longest_, ns);
    ++total_;
  }
  double Percentile(double fraction) const {
    const auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(total_));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i)
      if ((seen += counts_[i]) > wanted) return static_cast<double>(i * 10);
    return static_cast<double>(longest_);
  }
  std::uint64_t Above(std::int64_t ns) const {
    std::uint64_t count = 0;
    for (std::size_t i = static_cast<std::size_t>(ns / 10); i < counts_.size(); ++i)
      count += counts_[i];
    return count;
  }
  std::int64_t Longest() const { return longest_; }
  std::uint64_t Total() const { return total_; }

 private:
  static constexpr std::int64_t kBuckets = 10001;
  std::vector<std::uint64_t> counts_ = std::vector<std::uint64_t>(kBuckets);
  std::int64_t longest_ = 0;
  std::uint64_t total_ = 0;
};

// A host thread hands over values without pause while the worker sends the
// whole list again (a login's worth of passes), with debug lines (1) or
// without (0): how long the host's calls take meanwhile, the longest above
// all, which is the wait behind the worker's hold of the list (or the
// system's scheduler on a busy machine).
void BM_HostCallDuringResend(benchmark::State& state) {
  TOpros2Thread& client = Client();
  test::TWorkerProbe worker(client);
  client.Settings().DebugLog = state.range(0) != 0;
  static const std::vector<std::string> addresses = [] {
    std::vector<std::string> all;
    for (int i = 0; i < kChannels; ++i) all.push_back(Address(i));
    return all;
  }();
  std::atomic<bool> stop{false};
  THistogram times;
  std::thread host([&] {
    double value = 0;
    std::size_t i = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      const auto start = std::chrono::steady_clock::now();
      client.RegisterValueByID(addresses[i], 0, 45000.0, Variant::FromDouble(value += 1));
      times.Add((std::chrono::steady_clock::now() - start).count());
      if (++i == addresses.size()) i = 0;
    }
  });
  for (auto _ : state) {
    worker.NeedRegisterAllChannels();
    for (int pass = 0; pass < 8; ++pass) {
      worker.KVProcessSend();
      worker.SendBuffer().Clear();
    }
  }
  stop = true;
  host.join();
  client.Settings().DebugLog = false;
  state.counters["calls"] = static_cast<double>(times.Total());
  state.counters["median_ns"] = times.Percentile(0.5);
  state.counters["p999_ns"] = times.Percentile(0.999);
  state.counters["p9999_ns"] = times.Percentile(0.9999);
  state.counters["over_50us"] = static_cast<double>(times.Above(50000));
  state.counters["max_us"] = static_cast<double>(times.Longest()) / 1000;
}
BENCHMARK(BM_HostCallDuringResend)->Arg(0)->Arg(1)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv

BENCHMARK_MAIN();
