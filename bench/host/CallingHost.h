#pragma once
// A host thread that hands over a new value for every channel in turn, as
// fast as it can, and times each call while told to record. The calls it
// makes are noted in the session's ledger; read the ledger, the samples and
// the counts only after Stop.
//
// With `watchMachine`, each recorded call is followed by a moment of the
// thread's own work without a call (the machine's pause: what the system
// and the virtual machine take from any thread), and the thread's
// involuntary context switches are read after each round: a call during
// which the system gave the processor to another thread is counted as
// preempted. A call that waits for a lock sleeps (a voluntary switch): it
// is not excluded, but counted, and the longest call that neither was
// preempted nor slept is kept beside it.
#include <atomic>
#include <cstdint>
#include <thread>

#include "Session.h"
#include "Stats.h"

namespace kv::bench {

// The calling thread's context switches so far: `slept` when it waited
// (for a lock, say), `preempted` when the system gave its processor to
// another thread.
struct TSwitches {
  long slept = 0;
  long preempted = 0;
};
TSwitches Switches();
inline long InvoluntarySwitches() { return Switches().preempted; }

class TCallingHost {
 public:
  TCallingHost(TSession& session, std::size_t expectedSamples, bool watchMachine = false);
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
  // With watchMachine: the longest recorded call and the longest pause of
  // the thread's own work among the rounds without preemption (ticks), and
  // the number of rounds with one.
  std::uint64_t LongestKept() const { return longestKept_; }
  std::uint64_t LongestMachinePause() const { return longestPause_; }
  std::uint64_t Preempted() const { return preempted_; }
  // Of those, the calls that slept, and the longest call that did not.
  std::uint64_t Slept() const { return slept_; }
  std::uint64_t LongestAwake() const { return longestAwake_; }

 private:
  void Run();

  TSession& session_;
  const bool watchMachine_;
  TSamples samples_;
  std::uint64_t longestKept_ = 0;
  std::uint64_t longestPause_ = 0;
  std::uint64_t preempted_ = 0;
  std::uint64_t slept_ = 0;
  std::uint64_t longestAwake_ = 0;
  std::uint64_t refused_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> recording_{false};
  std::atomic<std::size_t> recorded_{0};
  std::atomic<std::uint64_t> calls_{0};
  std::thread thread_;
};

}  // namespace kv::bench
