// Several host threads at once: 1, 2, 4 and 8 threads on channels of their
// own (the calls they make together, and each one's tail), and one thread
// storing large arrays beside one storing scalars (the scalar thread's
// tail).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "CallingHost.h"
#include "Scenarios.h"
#include "Session.h"
#include "Stats.h"

namespace kv::bench {
namespace {

constexpr TDuration kDeliveryLimit = 120s;
constexpr int kThreadCounts[] = {1, 2, 4, 8};
constexpr std::uint32_t kArrayElements = 2400;
constexpr unsigned short kFloat8Array = 0x1005;
constexpr const char* kArrayChannel = "ARRAY";

// What one host thread of a phase did.
struct TPhaseThread {
  TSamples samples;
  std::uint64_t calls = 0;
  std::uint64_t refused = 0;
  std::uint64_t longestKept = 0;  // ticks; watched phases only
};

// Hands over a new value for the channels first..end - 1 in turn until told
// to stop. Timed phases keep every call's time; watched ones
// read the thread's involuntary switches after each call and keep the
// longest call the system did not preempt.
void CallChannels(TSession& session, std::size_t first, std::size_t end, double base, bool watch,
                  const std::atomic<bool>& stop, TPhaseThread& out) {
  const THostApi& api = session.Api();
  std::size_t channel = first;
  double value = base;
  long switches = watch ? InvoluntarySwitches() : 0;
  while (!stop.load(std::memory_order_relaxed)) {
    value += 1;
    const std::uint64_t start = TTicks::Now();
    const bool accepted =
        api.value(session.Address(channel), session.Stamp(), 0, DoubleValue(value)) != 0;
    const std::uint64_t ticks = TTicks::Now() - start;
    if (watch) {
      const long now = InvoluntarySwitches();
      if (now == switches) out.longestKept = std::max(out.longestKept, ticks);
      switches = now;
    } else {
      out.samples.Add(ticks);
    }
    if (accepted)
      session.Ledger().Accept(channel, value);
    else
      ++out.refused;
    ++out.calls;
    if (++channel == end) channel = first;
  }
}

struct TPhase {
  double mps = 0;
  double p999Ns = 0;  // of the thread with the highest
  double maxUs = 0;   // the same
  std::uint64_t refused = 0;
};

// `threads` threads on channels of their own for `seconds`, each on a block
// of neighbouring channels, as a host with one thread per field bus calls
// (and so that the bench's own ledger entries of two threads do not share
// cache lines). Every phase hands over values of its own range, so that
// each call changes its channel.
TPhase RunPhase(TSession& session, int threads, int phase, double seconds, bool watch) {
  std::vector<TPhaseThread> results(static_cast<std::size_t>(threads));
  if (!watch)
    for (TPhaseThread& result : results)
      result.samples.Reserve(static_cast<std::size_t>(seconds * 8e6 / threads));
  std::atomic<bool> stop{false};
  std::vector<std::thread> pool;
  const std::int64_t start = SteadyNs();
  const std::size_t block = session.Channels() / static_cast<std::size_t>(threads);
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      const std::size_t first = block * static_cast<std::size_t>(t);
      const std::size_t end = t + 1 == threads ? session.Channels() : first + block;
      CallChannels(session, first, end, phase * 1e12 + t * 1e10, watch, stop,
                   results[static_cast<std::size_t>(t)]);
    });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (std::thread& thread : pool) thread.join();
  const double elapsed = static_cast<double>(SteadyNs() - start) / 1e9;
  TPhase result;
  std::uint64_t calls = 0;
  for (TPhaseThread& thread : results) {
    calls += thread.calls;
    result.refused += thread.refused;
    if (watch)
      result.maxUs = std::max(result.maxUs, TTicks::ToNs(thread.longestKept) / 1000);
    else
      result.p999Ns = std::max(result.p999Ns, thread.samples.QuantileNs(0.999));
  }
  result.mps = static_cast<double>(calls) / elapsed / 1e6;
  return result;
}

}  // namespace

int RunThreads(const TScenarioContext& context) {
  TSessionConfig config;
  config.channels = context.sizes.channels;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  const double seconds = context.sizes.smoke ? 0.1 : 1.0;
  std::uint64_t refused = 0;
  double single = 0;
  int phase = 1;
  for (int threads : kThreadCounts) {
    const TPhase timed = RunPhase(session, threads, phase++, seconds, false);
    const TPhase watched = RunPhase(session, threads, phase++, seconds, true);
    refused += timed.refused + watched.refused;
    const std::string name = "threads" + std::to_string(threads);
    std::printf("%s: %d host thread(s) on channels of their own, %.1f s timed, %.1f s watched\n",
                name.c_str(), threads, seconds, seconds);
    Report((name + "_mps").c_str(), timed.mps);
    Report((name + "_p999_ns").c_str(), timed.p999Ns);
    Report((name + "_max_us").c_str(), watched.maxUs);
    if (threads == 1) single = timed.mps;
    if (threads == 2 && single > 0) Report("threads_2_to_1", timed.mps / single);
  }
  if (refused > 0)
    return Fail(std::to_string(refused) + " calls handing over a changed value were refused");
  return CheckDelivery(session.Server(), session.Ledger(), TCountRule::AtMost, kDeliveryLimit,
                       "threads")
             ? 0
             : kExitLost;
}

int RunArrays(const TScenarioContext& context) {
  TSessionConfig config;
  config.channels = context.sizes.channels;
  TSession session(context.api, config);
  if (const int failed = session.OpenOrExit()) return failed;
  const THostApi& api = session.Api();
  TBenchServer& server = session.Server();
  const std::uint64_t registered = server.Registrations();
  if (api.channel(kArrayChannel, kFloat8Array, 0, 0, "", "", "", "", "", 0, "") == 0)
    return Fail("c_RegisterChannel refused the array channel");
  if (!server.WaitTotals(registered + 1, 0, 30s))
    return Fail("the array channel was not registered in time");
  SAFEARRAY* array = api.createVector(VT_R8, 0, kArrayElements);
  double* elements = nullptr;
  if (array == nullptr || api.accessData(array, reinterpret_cast<void**>(&elements)) != 0)
    return Fail("no safe array");
  for (std::uint32_t i = 0; i < kArrayElements; ++i) elements[i] = i;
  api.unaccessData(array);

  // The array thread changes one element per call, so that every call
  // stores; the export copies the whole array each time.
  std::atomic<bool> stop{false};
  std::uint64_t arrayCalls = 0;
  std::uint64_t arrayRefused = 0;
  std::thread arrays([&] {
    double k = kArrayElements;
    while (!stop.load(std::memory_order_relaxed)) {
      api.accessData(array, reinterpret_cast<void**>(&elements));
      elements[0] = ++k;
      api.unaccessData(array);
      VARIANT value{};
      value.vt = VT_ARRAY | VT_R8;
      value.parray = array;
      if (api.value(kArrayChannel, session.Stamp(), 0, value) == 0) ++arrayRefused;
      ++arrayCalls;
    }
  });
  const double seconds = context.sizes.smoke ? 0.3 : 3.0;
  TCallingHost host(session, static_cast<std::size_t>(seconds * 2e6), true);
  host.Start();
  host.Record(true);
  const std::int64_t start = SteadyNs();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  host.Record(false);
  host.Stop();
  const double elapsed = static_cast<double>(SteadyNs() - start) / 1e9;
  stop.store(true);
  arrays.join();
  api.destroyArray(array);
  if (host.Refused() > 0 || arrayRefused > 0)
    return Fail("calls handing over a changed value were refused");
  std::printf("arrays: %.0f calls of %u-element arrays a second beside the scalar thread\n",
              static_cast<double>(arrayCalls) / elapsed, kArrayElements);
  std::printf("arrays: %llu scalar calls preempted by the system\n",
              static_cast<unsigned long long>(host.Preempted()));
  Report("arrays_scalar_p999_ns", host.Samples().QuantileNs(0.999));
  Report("arrays_scalar_max_us", TTicks::ToNs(host.LongestKept()) / 1000);
  Report("arrays_scalar_raw_max_us", host.Samples().MaxNs() / 1000);
  Report("arrays_machine_max_us", TTicks::ToNs(host.LongestMachinePause()) / 1000);
  Report("arrays_scalar_slept", static_cast<double>(host.Slept()));
  Report("arrays_scalar_awake_max_us", TTicks::ToNs(host.LongestAwake()) / 1000);
  Report("arrays_per_s", static_cast<double>(arrayCalls) / elapsed);
  return CheckDelivery(server, session.Ledger(), TCountRule::AtMost, kDeliveryLimit, "arrays")
             ? 0
             : kExitLost;
}

}  // namespace kv::bench
