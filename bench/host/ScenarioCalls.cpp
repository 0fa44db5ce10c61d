// What one c_RegisterValueByID costs the host: while the worker sends as
// usual, while reconnects make it register and send every channel (with and
// without its debug log), and while the server has stopped reading.
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

int Fail(const std::string& why) {
  std::fprintf(stderr, "cannot measure: %s\n", why.c_str());
  return 1;
}

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
