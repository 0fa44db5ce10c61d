// The host's value registration and the worker's send pass over a large
// channel list (each channel with three texts): an idle pass must cost next
// to nothing whatever the number of channels, a busy one must touch only
// what changed, and sending the whole list again after a login must stay
// well below a tenth of a second.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "channels/Channel.h"
#include "client/Servercon.h"

namespace kv {
namespace {

constexpr int kChannels = 100000;

std::string Address(int i) { return "CH" + std::to_string(i); }

// A client with kChannels registered and active channels, no connection.
std::unique_ptr<TOpros2Thread> MakeClient() {
  auto client = std::make_unique<TOpros2Thread>();
  for (int i = 0; i < kChannels; ++i) {
    client->RegisterChannel(Address(i), 5, false, false, "temperature of the boiler", "",
                            "degrees Celsius", "", "north wing, second floor", 0, "");
    TChannel2 change;
    change.SetAddr(Address(i));
    change.SetNumber(static_cast<std::uint32_t>(i + 1));
    change.SetActive(true);
    client->Channels().Update(&change, ChannelField::Number | ChannelField::Active, true, false);
  }
  client->KVProcessSend();  // sends the registrations once
  client->SendBuffer().Clear();
  return client;
}

TOpros2Thread& Client() {
  static std::unique_ptr<TOpros2Thread> client = MakeClient();
  return *client;
}

void BM_RegisterValueByID(benchmark::State& state) {
  TOpros2Thread& client = Client();
  double value = 0;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        client.RegisterValueByID(Address(i), 0, 45000.0, Variant::FromDouble(value += 1)));
    if (++i == kChannels) i = 0;
  }
  client.KVProcessSend();
  client.SendBuffer().Clear();
}
BENCHMARK(BM_RegisterValueByID);

// Nothing pending: no timing pauses, which would cost more than the pass.
void BM_IdleSendPass(benchmark::State& state) {
  TOpros2Thread& client = Client();
  for (auto _ : state) client.KVProcessSend();
}
BENCHMARK(BM_IdleSendPass);

void BM_SendPass(benchmark::State& state) {
  TOpros2Thread& client = Client();
  const int changed = static_cast<int>(state.range(0));
  const int step = changed > 0 ? kChannels / changed : 1;
  double value = 0;
  for (auto _ : state) {
    state.PauseTiming();
    value += 1;
    for (int k = 0; k < changed; ++k)
      client.RegisterValueByID(Address(k * step), 0, 45000.0, Variant::FromDouble(value));
    state.ResumeTiming();
    client.KVProcessSend();
    state.PauseTiming();
    client.SendBuffer().Clear();
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
  for (auto _ : state) {
    client.NeedRegisterAllChannels();
    do {
      client.KVProcessSend();
      client.SendBuffer().Clear();
    } while (client.Channels().PendingCount() > 0);
  }
}
BENCHMARK(BM_ReRegistration)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv

BENCHMARK_MAIN();
