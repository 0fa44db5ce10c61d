// The worker thread end to end, against a lean server on loopback that
// activates every channel it is sent and counts (or times) the values it
// receives:
//   - how long a value takes from the host's call to the server;
//   - how many values one host thread gets delivered with every channel
//     changing all the time;
//   - what an idle worker costs (wake-ups and CPU time of its thread; Linux).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientThread.h"
#include "kvsim/SimRecords.h"
#include "platform/Socket.h"
#include "protocol/CommandCatalogue.h"
#include "runtime/LittleEndian.h"

namespace kv {
namespace {

using SteadyClock = std::chrono::steady_clock;

double StampNs() {
  return static_cast<double>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch())
          .count());
}

// Serves one client: answers its login and status requests, activates every
// channel it registers, counts its values and, when asked, times them (the
// value is the host's steady-clock stamp in nanoseconds).
class TSinkServer {
 public:
  TSinkServer() {
    platform::TSocketApi& api = platform::SystemSockets();
    api.Startup();
    platform::Ipv4Address local;
    local.address = platform::MakeIpv4(127, 0, 0, 1);
    api.OpenTcp(listener_);
    api.Bind(listener_, local);
    api.Listen(listener_, 1);
    api.LocalName(listener_, local);
    port_ = platform::NetToHost16(local.port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TSinkServer() {
    thread_.join();
    platform::SystemSockets().Close(listener_);
    platform::SystemSockets().Cleanup();
  }

  std::uint16_t Port() const { return port_; }
  std::atomic<std::uint64_t> values{0};
  std::atomic<bool> timing{false};
  // Written by the server thread while timing; read after the values came.
  std::vector<double> latenciesNs;

 private:
  void Serve() {
    platform::TSocketApi& api = platform::SystemSockets();
    platform::SocketHandle peer = platform::SocketHandle::None;
    platform::Ipv4Address from;
    if (api.Accept(listener_, peer, from).Failed()) return;
    std::vector<char> chunk(1 << 18);
    TKavrelCmdParser in;
    TKavrelCmdParser out;
    for (;;) {
      platform::SocketResult r = api.Receive(peer, chunk.data(), static_cast<int>(chunk.size()));
      if (r.Failed() || r.value == 0) break;
      in.Append(chunk.data(), r.value);
      Dispatch(in, out);
      for (std::int32_t sent = 0; sent < out.Size();) {
        platform::SocketResult s = api.Send(peer, out.Data() + sent, out.Size() - sent);
        if (s.Failed()) break;
        sent += s.value;
      }
      out.Clear();
    }
    api.Close(peer);
  }

  void Dispatch(TKavrelCmdParser& in, TKavrelCmdParser& out) {
    while (const std::uint8_t* p = in.Data()) {
      const std::int32_t size = in.Size();
      const std::uint8_t id = p[0];
      if (id == kStructLoginRequest) {
        if (size < kLoginRequestSize) return;
        in.Skip(kLoginRequestSize);
        const std::string reply = sim::BuildLoginReply(sim::GrantedLoginReply());
        out.Append(reply.data(), static_cast<std::int32_t>(reply.size()));
        continue;
      }
      if (id == kStructStatusRequest) {
        in.Skip(1);
        const std::string reply = sim::BuildStatusReply(kStructStatusRequest);
        out.Append(reply.data(), static_cast<std::int32_t>(reply.size()));
        continue;
      }
      if (size < 3) return;
      const std::int32_t length = LoadLE<std::uint16_t>(p + 1);
      if (size < length) return;
      if (id == kCmdChannelValue) {
        values.fetch_add(1, std::memory_order_relaxed);
        if (timing.load(std::memory_order_relaxed)) {
          TKavrelCmdParser record(length);
          record.Append(p, length);
          latenciesNs.push_back(StampNs() - sim::ReadValueRecord(record).value.ToDouble());
        }
      } else if (id == kCmdChannelRegister) {
        TKavrelCmdParser record(length);
        record.Append(p, length);
        sim::TChannelChange change;
        change.addr = sim::ReadRegistration(record).addr;
        change.number = ++lastNumber_;
        sim::AppendChannelChange(out, change);
      }
      in.Skip(length);
    }
  }

  platform::SocketHandle listener_ = platform::SocketHandle::None;
  std::uint16_t port_ = 0;
  std::uint32_t lastNumber_ = 0;
  std::thread thread_;
};

std::string Address(int i) { return "CH" + std::to_string(i); }

// The threads of this process (Linux).
std::set<std::string> TaskIds() {
  std::set<std::string> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(entry.path().filename().string());
  return ids;
}

struct TThreadCost {
  std::uint64_t switches = 0;  // voluntary: the thread went to sleep
  std::uint64_t runNs = 0;     // time on a processor
};

TThreadCost CostOf(const std::string& tid) {
  TThreadCost cost;
  std::ifstream status("/proc/self/task/" + tid + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
      cost.switches = std::stoull(line.substr(24));
  std::ifstream schedstat("/proc/self/task/" + tid + "/schedstat");
  schedstat >> cost.runNs;
  return cost;
}

// A running client logged in to `server` with `channels` active Float8
// channels; the id of its worker thread goes to `workerTid` (Linux).
std::unique_ptr<TOpros2Thread> StartClient(TSinkServer& server, int channels,
                                           std::string* workerTid = nullptr) {
  auto client = std::make_unique<TOpros2Thread>();
  client->Settings().Port = server.Port();
  for (int i = 0; i < channels; ++i) client->RegisterChannel({.Addr = Address(i), .Type = 5});
  const std::set<std::string> before = TaskIds();
  client->Resume();
  if (workerTid != nullptr) {
    for (const std::string& id : TaskIds())
      if (before.count(id) == 0) *workerTid = id;
  }
  while (client->Channels().ActiveCount() < channels)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return client;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// One value at a time, with a pause between, so that each finds the worker
// idle, as a host that polls its devices would.
void BM_HostToServerLatency(benchmark::State& state) {
  TSinkServer server;
  auto client = StartClient(server, 1000);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> pauseUs(50, 500);
  server.timing = true;
  std::uint64_t sent = server.values.load();
  int i = 0;
  for (auto _ : state) {
    client->RegisterValueByID(Address(i++ % 1000), 0, 45000.0, Variant::FromDouble(StampNs()));
    ++sent;
    while (server.values.load() < sent) std::this_thread::yield();
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
    state.ResumeTiming();
  }
  server.timing = false;
  state.counters["p50_us"] = Percentile(server.latenciesNs, 0.5) / 1000;
  state.counters["p99_us"] = Percentile(server.latenciesNs, 0.99) / 1000;
  client.reset();
}
BENCHMARK(BM_HostToServerLatency)->Iterations(5000)->Unit(benchmark::kMicrosecond);

// One host thread changes every channel in turn for a second.
void BM_DeliveredValues(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  TSinkServer server;
  auto client = StartClient(server, channels);
  for (auto _ : state) {
    const std::uint64_t before = server.values.load();
    const auto start = SteadyClock::now();
    const auto end = start + std::chrono::seconds(1);
    std::uint64_t registered = 0;
    double value = 0;
    while (SteadyClock::now() < end) {
      for (int i = 0; i < channels; ++i)
        registered += client->RegisterValueByID(Address(i), 0, 45000.0, Variant::FromDouble(value));
      value += 1;
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    state.counters["registered_per_s"] = static_cast<double>(registered) / seconds;
    state.counters["delivered_per_s"] =
        static_cast<double>(server.values.load() - before) / seconds;
  }
  client.reset();
}
BENCHMARK(BM_DeliveredValues)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

// A logged-in worker with nothing to do, over five seconds.
void BM_IdleWorker(benchmark::State& state) {
  TSinkServer server;
  std::string worker;
  auto client = StartClient(server, static_cast<int>(state.range(0)), &worker);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (auto _ : state) {
    const TThreadCost before = CostOf(worker);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const TThreadCost after = CostOf(worker);
    state.counters["wakeups_per_s"] = static_cast<double>(after.switches - before.switches) / 5;
    state.counters["cpu_percent"] = static_cast<double>(after.runNs - before.runNs) / 5e9 * 100;
  }
  client.reset();
}
BENCHMARK(BM_IdleWorker)->Arg(1000000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kv

BENCHMARK_MAIN();
