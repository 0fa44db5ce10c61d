#include "Session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Stats.h"

namespace kv::bench {
namespace {

constexpr unsigned short kFloat8 = 5;
// Long enough that a stalled server never makes the client give up.
constexpr int kTimeoutSec = 60;

TBenchServer::TConfig ServerConfig(const TSessionConfig& config) {
  TBenchServer::TConfig server;
  server.keepRecords = config.keepRecords;
  server.observer = config.observer;
  return server;
}

}  // namespace

std::vector<int> ThreadIds() {
  std::vector<int> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.push_back(std::atoi(entry.path().filename().c_str()));
  std::sort(ids.begin(), ids.end());
  return ids;
}

TSession::TSession(const THostApi& api, TSessionConfig config)
    : api_(api),
      config_(std::move(config)),
      server_(ServerConfig(config_)),
      ledger_(config_.channels) {
  addresses_.reserve(config_.channels);
  for (std::size_t i = 0; i < config_.channels; ++i) addresses_.push_back(ChannelAddress(i));
  if (config_.debug)
    logFile_ =
        (std::filesystem::temp_directory_path() / ("kvbench-" + std::to_string(getpid()) + ".log"))
            .string();
}

TSession::~TSession() {
  if (created_) api_.destroy();
  if (!logFile_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(logFile_, ignored);
  }
}

bool TSession::Open(std::string& error) {
  if (!server_.Start(error)) return false;
  const std::vector<int> before = ThreadIds();
  created_ = api_.create("127.0.0.1", server_.Port(), kTimeoutSec, "bench", "", 0,
                         config_.debug ? 1 : 0, logFile_.c_str()) != 0;
  if (!created_) {
    error = "c_CreateOpros failed";
    return false;
  }
  for (int id : ThreadIds())
    if (!std::binary_search(before.begin(), before.end(), id)) newThreads_.push_back(id);
  for (std::size_t i = 0; i < Channels(); ++i) {
    if (api_.channel(Address(i), kFloat8, 0, 0, "", "", "", "", "", 0, "") == 0) {
      error = "c_RegisterChannel refused " + addresses_[i];
      return false;
    }
  }
  const auto deadline = TSteady::now() + config_.setupLimit;
  while (api_.connected() == 0 && TSteady::now() < deadline) std::this_thread::sleep_for(1ms);
  const auto left = [&] {
    return std::chrono::duration_cast<TDuration>(
        std::max(deadline - TSteady::now(), TSteady::duration{}));
  };
  if (api_.connected() == 0 || !server_.WaitTotals(Channels(), 0, left())) {
    error = "the client did not log in and register its channels in time";
    return false;
  }
  for (std::size_t i = 0; i < Channels(); ++i) {
    if (!Send(i, NextValue())) {
      error = "c_RegisterValueByID refused a first value";
      return false;
    }
  }
  if (!server_.WaitTotals(Channels(), Channels(), left())) {
    error = "the first values did not reach the server in time";
    return false;
  }
  if (!CheckDelivery(server_, ledger_, TCountRule::Any, left(), "setup")) {
    setupLost_ = true;
    error = "the first values were lost";
    return false;
  }
  // A login sends every channel's value, so a channel declared before it
  // may have sent its empty value as well: what the server holds now is
  // where the counting starts.
  server_.Sim().WaitFor(
      [&](const sim::TServerView& v) {
        for (const sim::TSimChannel& channel : v.state.Channels()) {
          const long index = ChannelIndex(channel.addr);
          if (index >= 0 && static_cast<std::size_t>(index) < Channels())
            ledger_.accepted[static_cast<std::size_t>(index)] =
                static_cast<std::uint32_t>(channel.values);
        }
        return true;
      },
      TDuration{0});
  return true;
}

int TSession::OpenOrExit() {
  std::string error;
  if (Open(error)) return 0;
  std::fprintf(stderr, "cannot measure: %s\n", error.c_str());
  return setupLost_ ? kExitLost : 1;
}

}  // namespace kv::bench
