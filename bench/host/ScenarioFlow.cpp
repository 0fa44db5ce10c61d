// Values on their way to the server: how many one host thread gets
// delivered per second, how long one takes under light load, and how long
// the client needs to register every channel again after a reconnect.
#include <atomic>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "CallingHost.h"
#include "Scenarios.h"
#include "Session.h"
#include "Stats.h"

namespace kv::bench {
namespace {

constexpr TDuration kDeliveryLimit = 120s;
constexpr TDuration kReconnectLimit = 120s;

// Arrival times the server's observer stamps, by the value's sequence number.
struct TArrivals {
  TArrivals(double firstValue, std::size_t values) : first(firstValue), at(values, 0) {}
  double first;  // the value of sequence number 0
  std::vector<std::int64_t> at;
  std::atomic<std::size_t> count{0};
};

}  // namespace

int RunThroughput(const TScenarioContext& context) {
  TSessionConfig config;
  config.channels = context.sizes.channels;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  TBenchServer& server = session.Server();

  TCallingHost host(session, 0);
  host.Start();
  std::this_thread::sleep_for(TDuration(context.sizes.smoke ? 100 : 500));  // warms up
  const std::uint64_t values0 = server.Values();
  const std::uint64_t calls0 = host.Calls();
  const std::int64_t start = SteadyNs();
  std::this_thread::sleep_for(std::chrono::duration<double>(context.sizes.throughputSeconds));
  const std::uint64_t values1 = server.Values();
  const std::uint64_t calls1 = host.Calls();
  const double seconds = static_cast<double>(SteadyNs() - start) / 1e9;
  host.Stop();
  if (host.Refused() > 0) return Fail("calls handing over a changed value were refused");
  std::printf("throughput: %.0f values reached the server in %.2f s from %.0f host calls\n",
              static_cast<double>(values1 - values0), seconds,
              static_cast<double>(calls1 - calls0));
  Report("delivered_mps", static_cast<double>(values1 - values0) / seconds / 1e6);
  Report("host_calls_mps", static_cast<double>(calls1 - calls0) / seconds / 1e6);
  return CheckDelivery(server, session.Ledger(), TCountRule::AtMost, kDeliveryLimit, "throughput")
             ? 0
             : kExitLost;
}

int RunLatency(const TScenarioContext& context) {
  const std::size_t count = context.sizes.latencyValues;
  // Every value so far is a sequence number: the session's first values are
  // 1..channels, so the measured ones follow them.
  auto arrivals =
      std::make_shared<TArrivals>(static_cast<double>(context.sizes.latencyChannels) + 1, count);
  TSessionConfig config;
  config.channels = context.sizes.latencyChannels;
  config.keepRecords = true;  // the observer sees records only when they are kept
  config.observer = [arrivals](const sim::TReceivedRecord& record) {
    if (record.kind != sim::TRecordKind::Value) return;
    const std::int64_t now = SteadyNs();
    const double sequence = record.value.value.ToDouble() - arrivals->first;
    if (sequence < 0 || sequence >= static_cast<double>(arrivals->at.size())) return;
    arrivals->at[static_cast<std::size_t>(sequence)] = now;
    arrivals->count.fetch_add(1, std::memory_order_release);
  };
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;

  std::this_thread::sleep_for(300ms);  // the last activations settle
  // One value a millisecond, each call stamped just before it is made.
  std::vector<std::int64_t> sent(count, 0);
  const auto start = TSteady::now();
  for (std::size_t k = 0; k < count; ++k) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(k));
    const double value = session.NextValue();
    if (value != arrivals->first + static_cast<double>(k)) return Fail("values out of sequence");
    sent[k] = SteadyNs();
    if (!session.Send(k % session.Channels(), value)) return Fail("a changed value was refused");
  }
  const auto deadline = TSteady::now() + kDeliveryLimit;
  while (arrivals->count.load(std::memory_order_acquire) < count && TSteady::now() < deadline)
    std::this_thread::sleep_for(1ms);
  // A value passes its channel's check as soon as its last one arrives, so
  // the exact count per channel is what proves none went missing.
  if (!CheckDelivery(session.Server(), session.Ledger(), TCountRule::Exact, kDeliveryLimit,
                     "latency"))
    return kExitLost;
  if (arrivals->count.load(std::memory_order_acquire) < count)
    return Fail("the server's observer did not see every value");

  TSamples latency(1.0);
  latency.Reserve(count);
  for (std::size_t k = 0; k < count; ++k)
    latency.Add(static_cast<std::uint64_t>(std::max<std::int64_t>(arrivals->at[k] - sent[k], 0)));
  std::printf("latency: %zu values over %zu channels at 1000 a second\n", count,
              session.Channels());
  Report("latency_p50_us", latency.QuantileNs(0.5) / 1000);
  Report("latency_p99_us", latency.QuantileNs(0.99) / 1000);
  Report("latency_max_us", latency.MaxNs() / 1000);
  return 0;
}

int RunReregister(const TScenarioContext& context) {
  TSessionConfig config;
  config.channels = context.sizes.channels;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  TBenchServer& server = session.Server();
  const std::uint64_t channels = session.Channels();

  std::vector<double> loggedIn;
  std::vector<double> registered;
  std::vector<double> valued;
  for (int cycle = 0; cycle < context.sizes.reconnects; ++cycle) {
    std::this_thread::sleep_for(200ms);
    const int logins = server.Logins();
    const std::uint64_t registrations = server.Registrations();
    const std::uint64_t values = server.Values();
    const std::int64_t start = SteadyNs();
    if (!server.Sim().Drop()) return Fail("the server had no connection to drop");
    if (!server.Sim().WaitForLogins(logins + 1, kReconnectLimit))
      return Fail("the client did not log in again in time");
    loggedIn.push_back(static_cast<double>(SteadyNs() - start) / 1e6);
    if (!server.WaitTotals(registrations + channels, 0, kReconnectLimit))
      return Fail("the channels were not registered again in time");
    registered.push_back(static_cast<double>(SteadyNs() - start) / 1e6);
    if (!server.WaitTotals(registrations + channels, values + channels, kReconnectLimit))
      return Fail("the values were not sent again in time");
    valued.push_back(static_cast<double>(SteadyNs() - start) / 1e6);
  }
  std::printf("reregister: %d reconnects of %llu channels\n", context.sizes.reconnects,
              static_cast<unsigned long long>(channels));
  Report("reregister_login_ms", Median(loggedIn));
  Report("reregister_ms", Median(registered));
  Report("reregister_values_ms", Median(valued));

  // Every login registers every channel once and sends its value once more.
  for (std::uint32_t& accepted : session.Ledger().accepted)
    accepted += static_cast<std::uint32_t>(context.sizes.reconnects);
  if (!CheckDelivery(server, session.Ledger(), TCountRule::Exact, kDeliveryLimit, "reregister"))
    return kExitLost;
  const std::uint64_t expected =
      channels * static_cast<std::uint64_t>(context.sizes.reconnects + 1);
  if (server.Registrations() != expected) {
    std::fprintf(
        stderr, "\n*** LOST: reregister: the server received %llu registrations, expected %llu\n\n",
        static_cast<unsigned long long>(server.Registrations()),
        static_cast<unsigned long long>(expected));
    return kExitLost;
  }
  return 0;
}

}  // namespace kv::bench
