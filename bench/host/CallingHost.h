#pragma once
// A host thread that hands over a new value for every channel in turn, as
// fast as it can, and times each call while told to record. The calls it
// makes are noted in the session's ledger; read the ledger, the samples and
// the counts only after Stop.
#include <atomic>
#include <cstdint>
#include <thread>

#include "Session.h"
#include "Stats.h"

namespace kv::bench {

class TCallingHost {
 public:
  TCallingHost(TSession& session, std::size_t expectedSamples);
  ~TCallingHost() { Stop(); }
  TCallingHost(const TCallingHost&) = delete;
  TCallingHost& operator=(const TCallingHost&) = delete;

  void Start();
  void Record(bool on) { recording_.store(on, std::memory_order_relaxed); }
  std::size_t Recorded() const { return recorded_.load(std::memory_order_relaxed); }
  std::uint64_t Calls() const { return calls_.load(std::memory_order_relaxed); }
  void Stop();

  TSamples& Samples() { return samples_; }
  std::uint64_t Refused() const { return refused_; }

 private:
  void Run();

  TSession& session_;
  TSamples samples_;
  std::uint64_t refused_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> recording_{false};
  std::atomic<std::size_t> recorded_{0};
  std::atomic<std::uint64_t> calls_{0};
  std::thread thread_;
};

}  // namespace kv::bench
