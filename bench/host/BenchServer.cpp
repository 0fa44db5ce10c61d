#include "BenchServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "HostApi.h"

namespace kv::bench {
namespace {

// What one look at the server's channels found.
struct TVerdict {
  bool complete = false;  // every channel right
  bool broken = false;    // wrong in a way more time cannot mend
  std::size_t wrong = 0;
  std::vector<std::string> examples;
};

constexpr std::size_t kExamples = 10;

void Note(TVerdict& verdict, const std::string& what) {
  ++verdict.wrong;
  if (verdict.examples.size() < kExamples) verdict.examples.push_back(what);
}

std::string Describe(const sim::TSimChannel& channel, double expected, std::uint32_t accepted) {
  char text[256];
  std::snprintf(text, sizeof text,
                "%s: server has %s%.17g after %d values; host's last accepted %.17g after %u calls",
                channel.addr.c_str(), channel.hasValue ? "" : "no value, ",
                channel.hasValue ? channel.value.ToDouble() : 0.0, channel.values, expected,
                accepted);
  return text;
}

TVerdict Inspect(const sim::TSimState& state, const TLedger& ledger, TCountRule rule,
                 bool detailed) {
  TVerdict verdict;
  std::vector<bool> seen(ledger.last.size(), false);
  for (const sim::TSimChannel& channel : state.Channels()) {
    const long index = ChannelIndex(channel.addr);
    if (index < 0 || static_cast<std::size_t>(index) >= seen.size()) continue;
    seen[static_cast<std::size_t>(index)] = true;
    const double expected = ledger.last[static_cast<std::size_t>(index)];
    const std::uint32_t accepted = ledger.accepted[static_cast<std::size_t>(index)];
    if (accepted == 0) continue;
    const auto values = static_cast<std::uint32_t>(channel.values);
    const bool tooMany =
        (rule == TCountRule::AtMost || rule == TCountRule::Exact) && values > accepted;
    const bool tooFew = rule == TCountRule::Exact && values < accepted;
    const bool right = channel.hasValue && channel.value == Variant(expected) && !tooFew;
    if (tooMany) verdict.broken = true;
    if (tooMany || !right) {
      if (!detailed) return verdict;
      Note(verdict, Describe(channel, expected, accepted));
    }
  }
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (seen[i]) continue;
    if (!detailed) return verdict;
    Note(verdict, ChannelAddress(i) + ": never registered at the server");
  }
  verdict.complete = verdict.wrong == 0;
  return verdict;
}

}  // namespace

TBenchServer::TBenchServer(TConfig config) {
  sim::TServerOptions options;
  options.port = config.port;
  options.protocol.keepChannelRecords = config.keepRecords;
  server_ = std::make_unique<sim::TKavrelServer>(options);
  if (config.observer) server_->SetObserver(std::move(config.observer));
}

bool TBenchServer::Start(std::string& error) {
  if (server_->Start()) return true;
  error = "the test server cannot listen, error " + std::to_string(server_->LastError());
  return false;
}

int TBenchServer::Logins() const {
  int count = 0;
  server_->WaitFor([&](const sim::TServerView& v) { return count = v.state.Logins(), true; },
                   TDuration{0});
  return count;
}

std::uint64_t TBenchServer::Registrations() const {
  std::uint64_t count = 0;
  server_->WaitFor([&](const sim::TServerView& v) { return count = v.state.Registrations(), true; },
                   TDuration{0});
  return count;
}

std::uint64_t TBenchServer::Values() const {
  std::uint64_t count = 0;
  server_->WaitFor([&](const sim::TServerView& v) { return count = v.state.Values(), true; },
                   TDuration{0});
  return count;
}

bool TBenchServer::WaitTotals(std::uint64_t registrations, std::uint64_t values, TDuration limit) {
  return server_->WaitFor(
      [&](const sim::TServerView& v) {
        return v.state.Registrations() >= registrations && v.state.Values() >= values;
      },
      limit);
}

bool CheckDelivery(TBenchServer& server, const TLedger& ledger, TCountRule rule, TDuration limit,
                   const std::string& scenario) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  TVerdict verdict;
  for (;;) {
    const bool last = std::chrono::steady_clock::now() >= deadline;
    server.Sim().WaitFor(
        [&](const sim::TServerView& v) {
          verdict = Inspect(v.state, ledger, rule, last);
          return true;
        },
        TDuration{0});
    if (verdict.complete) return true;
    if (last || verdict.broken) break;
    // The whole view is walked under the server's lock: not too often.
    std::this_thread::sleep_for(50ms);
  }
  server.Sim().WaitFor(
      [&](const sim::TServerView& v) {
        return verdict = Inspect(v.state, ledger, rule, true), true;
      },
      TDuration{0});
  std::fprintf(stderr,
               "\n****************************************************************\n"
               "*** LOST: %s: %zu of %zu channels do not hold what the host handed over\n",
               scenario.c_str(), verdict.wrong, ledger.last.size());
  for (const std::string& example : verdict.examples)
    std::fprintf(stderr, "***   %s\n", example.c_str());
  std::fprintf(stderr, "****************************************************************\n\n");
  return false;
}

std::uint16_t FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  std::uint16_t port = 0;
  if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  if (s >= 0) close(s);
  return port;
}

}  // namespace kv::bench
