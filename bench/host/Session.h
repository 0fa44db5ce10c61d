#pragma once
// A host session set up for a measurement: the test server in this process,
// the client created through c_CreateOpros, `channels` Float8 channels
// declared through c_RegisterChannel, logged in, and every channel
// registered, activated and holding one value at the server.
//
// One session per process at a time (the library keeps one client). The
// destructor ends the client with c_DestroyOpros.
#include <cstddef>
#include <string>
#include <vector>

#include "BenchServer.h"
#include "HostApi.h"

namespace kv::bench {

struct TSessionConfig {
  std::size_t channels = 100000;
  bool debug = false;  // the library's debug lines, into a log file in the temp folder
  bool keepRecords = false;
  sim::TKavrelServer::TObserver observer;
  TDuration setupLimit = 300s;
};

class TSession {
 public:
  TSession(const THostApi& api, TSessionConfig config);
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  bool Open(std::string& error);
  // Open, or the scenario's exit code when it failed (after saying why).
  int OpenOrExit();

  const THostApi& Api() const { return api_; }
  TBenchServer& Server() { return server_; }
  TLedger& Ledger() { return ledger_; }
  std::size_t Channels() const { return addresses_.size(); }
  const char* Address(std::size_t channel) const { return addresses_[channel].c_str(); }
  // A value no call has handed over before.
  double NextValue() { return value_ += 1; }
  // One c_RegisterValueByID; the ledger notes it when accepted.
  bool Send(std::size_t channel, double value) {
    const bool accepted = api_.value(Address(channel), &stamp_, 0, DoubleValue(value)) != 0;
    if (accepted) ledger_.Accept(channel, value);
    return accepted;
  }
  const FILETIME* Stamp() const { return &stamp_; }
  // The threads that appeared with c_CreateOpros: the library's worker.
  const std::vector<int>& NewThreads() const { return newThreads_; }

 private:
  const THostApi& api_;
  TSessionConfig config_;
  TBenchServer server_;
  TLedger ledger_;
  std::vector<std::string> addresses_;
  std::string logFile_;
  std::vector<int> newThreads_;
  FILETIME stamp_ = FileTimeOf(kStampTicks);
  double value_ = 0;
  bool created_ = false;
  bool setupLost_ = false;
};

// The ids of this process's threads.
std::vector<int> ThreadIds();

}  // namespace kv::bench
