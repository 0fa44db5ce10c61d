// The value history as a host sees it: what c_RegisterValueByID costs while
// the client cannot reach its server, without the history and with it
// (below the bound, and at the bound, where every call drops the oldest
// value), the heap one kept value takes, and how fast the kept values reach
// the server once it is there.

#include <cstdio>
#include <thread>

#include "BenchServer.h"
#include "Scenarios.h"
#include "Stats.h"

namespace kv::bench {
namespace {

constexpr unsigned short kFloat8 = 5;
constexpr TDuration kDrainLimit = 300s;

// A client against a port nobody listens on yet, with `channels` Float8
// channels, the history set to `bytes` (0: none).
class TLoggedOut {
 public:
  TLoggedOut(const THostApi& api, std::size_t channels, std::uint64_t bytes)
      : api_(api), port_(FreeLoopbackPort()) {
    for (std::size_t i = 0; i < channels; ++i) addresses_.push_back(ChannelAddress(i));
    bytes_ = bytes;
  }
  ~TLoggedOut() {
    if (created_) api_.destroy();
  }

  std::string Open() {
    if (port_ == 0) return "no free loopback port";
    if (bytes_ != 0 &&
        (api_.setOption == nullptr ||
         !api_.setOption(KVOPROS2_OPTION_HISTORY_BYTES, static_cast<kv_int64>(bytes_))))
      return "the library takes no value history";
    created_ = api_.create("127.0.0.1", port_, 60, "bench", "", 0, 0, "") != 0;
    if (!created_) return "c_CreateOpros failed";
    for (const std::string& addr : addresses_)
      if (api_.channel(addr.c_str(), kFloat8, 0, 0, "", "", "", "", "", 0, "") == 0)
        return "c_RegisterChannel refused " + addr;
    return {};
  }

  // `count` calls one by one, the channels in turn, each with a new value;
  // false when one was refused.
  bool Calls(std::size_t count, TSamples* samples) {
    for (std::size_t k = 0; k < count; ++k) {
      const char* addr = addresses_[channel_].c_str();
      const VARIANT value = DoubleValue(value_ += 1);
      const std::uint64_t start = TTicks::Now();
      const bool accepted = api_.value(addr, &stamp_, 0, value) != 0;
      if (samples != nullptr) samples->Add(TTicks::Now() - start);
      if (!accepted) return false;
      if (++channel_ == addresses_.size()) channel_ = 0;
    }
    return true;
  }

  kv_statistics Statistics() const {
    kv_statistics s{};
    s.size = sizeof s;
    if (api_.statistics != nullptr) api_.statistics(&s);
    return s;
  }
  std::uint16_t Port() const { return port_; }
  std::size_t Channels() const { return addresses_.size(); }

 private:
  const THostApi& api_;
  std::uint16_t port_;
  std::uint64_t bytes_ = 0;
  std::vector<std::string> addresses_;
  bool created_ = false;
  std::size_t channel_ = 0;
  double value_ = 0;
  FILETIME stamp_ = FileTimeOf(kStampTicks);
};

void ReportMedian(const char* name, TSamples& samples) {
  std::printf("%s: %zu calls timed one by one (clock overhead %.0f ns included)\n", name,
              samples.Count(), TTicks::OverheadNs());
  Report((std::string(name) + "_median_ns").c_str(), samples.QuantileNs(0.5));
  Report((std::string(name) + "_p999_ns").c_str(), samples.QuantileNs(0.999));
}

// The calls while logged out, history of `bytes` (0: none).
int TimeLoggedOut(const TScenarioContext& context, std::uint64_t bytes, const char* name) {
  TLoggedOut client(context.api, context.sizes.channels, bytes);
  if (const std::string error = client.Open(); !error.empty()) return Fail(error);
  if (!client.Calls(client.Channels(), nullptr)) return Fail("a first value was refused");
  TSamples samples;
  samples.Reserve(context.sizes.calls);
  if (!client.Calls(context.sizes.calls, &samples)) return Fail("a value was refused");
  ReportMedian(name, samples);
  return 0;
}

}  // namespace

int RunDown(const TScenarioContext& context) { return TimeLoggedOut(context, 0, "down"); }

int RunHistoryBound(const TScenarioContext& context) {
  return TimeLoggedOut(context, 65536, "history_bound");
}

int RunHistory(const TScenarioContext& context) {
  constexpr std::uint64_t kBound = 512ull << 20;
  TLoggedOut client(context.api, context.sizes.channels, kBound);
  if (const std::string error = client.Open(); !error.empty()) return Fail(error);
  if (!client.Calls(client.Channels(), nullptr)) return Fail("a first value was refused");
  TSamples samples;
  samples.Reserve(context.sizes.calls);
  const double heapBefore = HeapBytes();
  if (!client.Calls(context.sizes.calls, &samples)) return Fail("a value was refused");
  const double heapAfter = HeapBytes();
  const kv_statistics kept = client.Statistics();
  if (kept.historyDroppedBound != 0) return Fail("the bound dropped values");
  ReportMedian("history", samples);
  Report("history_value_bytes",
         (heapAfter - heapBefore) / static_cast<double>(context.sizes.calls));
  std::printf("history: %llu values kept in %llu bytes\n",
              static_cast<unsigned long long>(kept.historyValues),
              static_cast<unsigned long long>(kept.historyBytes));

  // The server comes: every kept value, then each channel's current one.
  TBenchServer::TConfig config;
  config.port = client.Port();
  TBenchServer server(config);
  std::string error;
  if (!server.Start(error)) return Fail(error);
  if (!server.WaitTotals(client.Channels(), 0, kDrainLimit))
    return Fail("the channels were not registered in time");
  const std::int64_t start = SteadyNs();
  if (!server.WaitTotals(client.Channels(), kept.historyValues + client.Channels(), kDrainLimit))
    return Fail("the kept values did not reach the server in time");
  const double seconds = static_cast<double>(SteadyNs() - start) / 1e9;
  const kv_statistics after = client.Statistics();
  std::printf("history: %llu kept values sent in %.3f s after the registrations\n",
              static_cast<unsigned long long>(after.historySent), seconds);
  Report("history_drain_mps", static_cast<double>(kept.historyValues) / seconds / 1e6);
  if (after.historySent != kept.historyValues || after.historyValues != 0)
    return Fail("not every kept value went out");
  return 0;
}

}  // namespace kv::bench
