// How long the worker holds the channel list's lock: each batch that a send
// pass copies out under one hold, timed alone, while the whole list of
// 100 000 channels (three texts each) goes out again as after a login. A
// host's call waits at most one such hold. And, to read the tails of these
// figures, how often this machine interrupts a microsecond's work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "channels/ChannelList.h"

namespace kv {
namespace {

constexpr int kChannels = 100000;

TChannelList2& List() {
  static TChannelList2* list = [] {
    auto* made = new TChannelList2();
    for (int i = 0; i < kChannels; ++i) {
      TChannel2 channel;
      channel.SetAddr("PLANT.UNIT." + std::to_string(i));
      channel.SetType(5);
      channel.SetComments("temperature of the boiler");
      channel.SetUnit("degrees Celsius");
      channel.SetDescription("north wing, second floor");
      channel.SetActive(true);
      channel.SetValue(Variant::FromDouble(i));
      channel.SetQuality(0);
      made->Add(&channel, true, true, ChannelField::All, true);
    }
    return made;
  }();
  return *list;
}

// 0: registrations and values; 1: the same with the attributes the debug
// lines read; 2: values only.
void BM_WorkerHold(benchmark::State& state) {
  TChannelList2& list = List();
  const bool forLog = state.range(0) == 1;
  const std::uint16_t marks = state.range(0) == 2 ? NeedSendValue : NeedRegister | NeedSendValue;
  std::deque<TSendSnapshot> batch;
  std::vector<double> holds;
  std::size_t batches = 0;
  for (auto _ : state) {
    list.SetSendFlagsOnAll(marks);
    std::size_t cursor = 0;
    for (;;) {
      const auto start = std::chrono::steady_clock::now();
      const std::size_t taken = list.TakePending(cursor, batch, forLog);
      holds.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
      if (taken == 0) break;
      ++batches;
    }
  }
  std::sort(holds.begin(), holds.end());
  state.counters["batches_per_pass"] =
      static_cast<double>(batches) / static_cast<double>(state.iterations());
  state.counters["median_us"] = holds[holds.size() / 2];
  state.counters["p999_us"] = holds[holds.size() * 999 / 1000];
  state.counters["max_us"] = holds.back();
}
BENCHMARK(BM_WorkerHold)->Arg(0)->Arg(1)->Arg(2)->Iterations(10)->Unit(benchmark::kMillisecond);

// The machine's own interruptions, for reading the tails above: a piece of
// work of about a microsecond, timed 2 000 000 times, touching no lock.
void BM_MachineNoise(benchmark::State& state) {
  std::vector<double> times;
  times.reserve(2000000);
  double sink = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < 300; ++k) benchmark::DoNotOptimize(sink += 1.0);
    times.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  state.counters["median_us"] = times[times.size() / 2];
  state.counters["p999_us"] = times[times.size() * 999 / 1000];
  state.counters["over_50us"] =
      static_cast<double>(times.end() - std::upper_bound(times.begin(), times.end(), 50.0));
  state.counters["max_us"] = times.back();
}
BENCHMARK(BM_MachineNoise)->Iterations(2000000);

}  // namespace
}  // namespace kv
