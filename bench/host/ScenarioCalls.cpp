// What one c_RegisterValueByID costs the host: while the worker sends as
// usual, with a log callback set and without, while reconnects make it
// register and send every channel (with and without its debug log), and
// while the server has stopped reading.
#include <atomic>
#include <cstdio>
#include <thread>

#include "CallingHost.h"
#include "Scenarios.h"
#include "Session.h"
#include "Stats.h"

namespace kv::bench {
namespace {

constexpr std::size_t kBatch = 1000;
// Bounds of waits that normally end far sooner.
constexpr TDuration kBurstLimit = 120s;
constexpr TDuration kDeliveryLimit = 120s;

int Refused(std::uint64_t refused) {
  return Fail(std::to_string(refused) + " calls handing over a changed value were refused");
}

void ReportCalls(const char* prefix, TSamples& samples, bool withMax = true) {
  const std::string name(prefix);
  std::printf("%s: %zu calls timed one by one (clock overhead %.0f ns included)\n", prefix,
              samples.Count(), TTicks::OverheadNs());
  Report((name + "_median_ns").c_str(), samples.QuantileNs(0.5));
  Report((name + "_p999_ns").c_str(), samples.QuantileNs(0.999));
  if (withMax) Report((name + "_max_us").c_str(), samples.MaxNs() / 1000);
}

// The longest call is the longest the system did not preempt; the longest
// with preemptions and the machine's own longest pause go beside it.
void ReportHostCalls(const char* prefix, TCallingHost& host) {
  const std::string name(prefix);
  ReportCalls(prefix, host.Samples(), false);
  std::printf("%s: %llu calls preempted by the system\n", prefix,
              static_cast<unsigned long long>(host.Preempted()));
  Report((name + "_raw_max_us").c_str(), host.Samples().MaxNs() / 1000);
  Report((name + "_max_us").c_str(), TTicks::ToNs(host.LongestKept()) / 1000);
  Report((name + "_machine_max_us").c_str(), TTicks::ToNs(host.LongestMachinePause()) / 1000);
}

// Reconnects until enough calls were timed while the worker sent every
// channel again: each burst runs from the server's drop of the connection
// until the server holds every registration again.
int RunBursts(const TScenarioContext& context, bool debug) {
  const char* name = debug ? "pass_debug" : "pass";
  TSessionConfig config;
  config.channels = context.sizes.channels;
  config.debug = debug;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  TBenchServer& server = session.Server();

  TCallingHost host(session, context.sizes.passSamples, true);
  host.Start();
  std::vector<double> bursts;
  while (static_cast<int>(bursts.size()) < context.sizes.minPassCycles ||
         (static_cast<int>(bursts.size()) < context.sizes.passCycles &&
          host.Recorded() < context.sizes.passSamples)) {
    const std::uint64_t base = server.Registrations();
    host.Record(true);
    const std::int64_t start = SteadyNs();
    if (!server.Sim().Drop()) return Fail("the server had no connection to drop");
    if (!server.WaitTotals(base + session.Channels(), 0, kBurstLimit))
      return Fail("the channels were not registered again in time");
    bursts.push_back(static_cast<double>(SteadyNs() - start) / 1e6);
    host.Record(false);
    std::this_thread::sleep_for(100ms);
  }
  host.Stop();
  if (host.Refused() > 0) return Refused(host.Refused());
  std::printf("%s: %zu reconnects of %zu channels, %.0f ms each (median)\n", name, bursts.size(),
              session.Channels(), Median(bursts));
  ReportHostCalls(name, host);
  Report((std::string(name) + "_burst_ms").c_str(), Median(bursts));
  // Values in flight when a connection drops are sent again after the
  // login: only the last value per channel is certain.
  return CheckDelivery(server, session.Ledger(), TCountRule::Any, kDeliveryLimit, name) ? 0
                                                                                        : kExitLost;
}

}  // namespace

int RunCalls(const TScenarioContext& context) {
  TSessionConfig config;
  config.channels = context.sizes.channels;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  const THostApi& api = context.api;
  const std::size_t channels = session.Channels();
  std::uint64_t refused = 0;

  TSamples single;
  single.Reserve(context.sizes.calls);
  std::size_t channel = 0;
  for (std::size_t k = 0; k < context.sizes.calls; ++k) {
    const double value = session.NextValue();
    const char* addr = session.Address(channel);
    const std::uint64_t start = TTicks::Now();
    const bool accepted = api.value(addr, session.Stamp(), 0, DoubleValue(value)) != 0;
    single.Add(TTicks::Now() - start);
    if (accepted)
      session.Ledger().Accept(channel, value);
    else
      ++refused;
    if (++channel == channels) channel = 0;
  }

  std::vector<double> batches;
  for (std::size_t b = 0; b < context.sizes.calls / kBatch; ++b) {
    const std::uint64_t start = TTicks::Now();
    for (std::size_t k = 0; k < kBatch; ++k) {
      refused += session.Send(channel, session.NextValue()) ? 0 : 1;
      if (++channel == channels) channel = 0;
    }
    batches.push_back(TTicks::ToNs(TTicks::Now() - start) / kBatch);
  }
  if (refused > 0) return Refused(refused);
  ReportCalls("call", single);
  std::printf("call: %zu batches of %zu calls\n", batches.size(), kBatch);
  Report("call_batch_ns", Median(batches));
  return CheckDelivery(session.Server(), session.Ledger(), TCountRule::AtMost, kDeliveryLimit,
                       "calls")
             ? 0
             : kExitLost;
}

// The log callback the host sets: it only counts.
void KVOPROS2_CALL CountLine(void* context, int, const char*) {
  static_cast<std::atomic<std::uint64_t>*>(context)->fetch_add(1, std::memory_order_relaxed);
}

// The same calls with and without a log callback (debug lines off), in
// alternating blocks of one run, so that the machine's drift falls on both.
int RunCallback(const TScenarioContext& context) {
  const THostApi& api = context.api;
  if (api.setLogCallback == nullptr) return Fail("the library has no c_SetLogCallback");
  TSessionConfig config;
  config.channels = context.sizes.channels;
  TSession session(api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  constexpr int kBlocks = 10;
  const std::size_t perBlock = context.sizes.calls / kBlocks;
  TSamples without;
  TSamples with;
  without.Reserve(perBlock * kBlocks / 2);
  with.Reserve(perBlock * kBlocks / 2);
  std::atomic<std::uint64_t> lines{0};
  std::uint64_t refused = 0;
  std::size_t channel = 0;
  for (int block = 0; block < kBlocks; ++block) {
    const bool set = block % 2 == 1;
    api.setLogCallback(set ? &CountLine : nullptr, &lines);
    TSamples& samples = set ? with : without;
    for (std::size_t k = 0; k < perBlock; ++k) {
      const double value = session.NextValue();
      const char* addr = session.Address(channel);
      const std::uint64_t start = TTicks::Now();
      const bool accepted = api.value(addr, session.Stamp(), 0, DoubleValue(value)) != 0;
      samples.Add(TTicks::Now() - start);
      if (accepted)
        session.Ledger().Accept(channel, value);
      else
        ++refused;
      if (++channel == session.Channels()) channel = 0;
    }
  }
  api.setLogCallback(nullptr, nullptr);
  if (refused > 0) return Refused(refused);
  std::printf("callback: %llu log lines reached the callback meanwhile\n",
              static_cast<unsigned long long>(lines.load()));
  ReportCalls("callback_without", without, false);
  ReportCalls("callback", with, false);
  return CheckDelivery(session.Server(), session.Ledger(), TCountRule::AtMost, kDeliveryLimit,
                       "callback")
             ? 0
             : kExitLost;
}

int RunPass(const TScenarioContext& context) { return RunBursts(context, false); }

int RunPassDebug(const TScenarioContext& context) { return RunBursts(context, true); }

int RunStall(const TScenarioContext& context) {
  TSessionConfig config;
  config.channels = context.sizes.channels;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  TBenchServer& server = session.Server();

  TCallingHost host(session, context.sizes.passSamples, true);
  host.Start();
  int stalls = 0;
  while (stalls < context.sizes.minPassCycles ||
         (stalls < context.sizes.passCycles && host.Recorded() < context.sizes.passSamples)) {
    host.Record(true);
    server.Sim().SetReading(false);
    std::this_thread::sleep_for(TDuration(context.sizes.stallMs));
    server.Sim().SetReading(true);
    host.Record(false);
    ++stalls;
    std::this_thread::sleep_for(300ms);  // lets the client catch up
  }
  host.Stop();
  if (host.Refused() > 0) return Refused(host.Refused());
  std::printf("stall: %d stalls of %d ms\n", stalls, context.sizes.stallMs);
  ReportHostCalls("stall", host);
  return CheckDelivery(server, session.Ledger(), TCountRule::AtMost, kDeliveryLimit, "stall")
             ? 0
             : kExitLost;
}

}  // namespace kv::bench
