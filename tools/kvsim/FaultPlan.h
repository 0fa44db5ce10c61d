#pragma once
// The fault mode's schedule: which fault comes next, with which variant and
// size, and how long the connection lives before it. It is drawn from a
// seeded generator of our own (the standard library's distributions differ
// between implementations), so one seed gives one sequence of faults on
// every system. When they happen is up to the network; what happens is not.
//
// Plain values; one thread at a time.
#include <cstdint>
#include <string>

namespace kv::sim {

enum class TFaultKind : std::uint8_t {
  Close,             // finish sending, then wait for the client to close
  Reset,             // abortive close
  Stall,             // read nothing until the client gives up
  SlowReader,        // read a few bytes at a time for a while
  Split,             // a batch of messages, one byte per write
  Merged,            // a batch of messages in one write
  UnknownStructure,  // bytes no message begins with: the client must drop the connection
  ControlBurst,      // many controls at once
  DelayedLogin,      // the next login reply comes late, within the client's time-out
  RefusedLogin,      // the next login fails: the client waits out its minute
  LinkTest,          // a silent minute: the client's link test, answered or not
};
inline constexpr int kFaultKinds = 11;
inline constexpr std::uint32_t kAllFaults = (1u << kFaultKinds) - 1;

constexpr std::uint32_t FaultBit(TFaultKind kind) { return 1u << static_cast<unsigned>(kind); }
// "close", "reset", "stall", "slow-reader", "split", "merged", "unknown",
// "burst", "late-login", "refused-login", "link-test".
const char* FaultName(TFaultKind kind);
bool FaultByName(const std::string& name, TFaultKind& kind);
// The faults that cost the client a minute (its login gate, its link test).
bool IsLongFault(TFaultKind kind);

// Variants of RefusedLogin: how the login fails.
enum class TRefusal { Refused, Silent, Short, WrongId, OldVersion, Closed, ZeroId };
inline constexpr int kRefusals = 7;

// SplitMix64: small, fast and the same everywhere.
class TRandom {
 public:
  explicit TRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // In [low, high]; low when high < low.
  std::int64_t Between(std::int64_t low, std::int64_t high);

 private:
  std::uint64_t state_;
};

struct TFaultStep {
  TFaultKind kind = TFaultKind::Close;
  std::int64_t calmMs = 0;  // how long the connection lives before the fault
  // By kind:
  //   SlowReader: variant = bytes per read, amount = duration in ms
  //   Split: variant = pause between bytes in ms, amount = messages
  //   Merged: amount = messages
  //   UnknownStructure: variant 0 = an unknown id (amount), 1 = a command
  //     whose length word (amount) is below its header
  //   ControlBurst: amount = controls, variant = controls per write (0: one write)
  //   DelayedLogin: amount = delay in ms, variant 0 = reconnect by finishing, 1 = by reset
  //   RefusedLogin: variant = TRefusal, amount = the refusal code
  //   LinkTest: variant 0 = unanswered, 1 = answered
  int variant = 0;
  std::int64_t amount = 0;
};

struct TPlanOptions {
  std::uint32_t kinds = kAllFaults;  // FaultBit set of the kinds to inject
  // One long fault after every this many short ones; 0: no long faults.
  int longEvery = 0;
  int clientTimeoutMs = 2000;  // the client's network time-out; sizes delays
  int calmMinMs = 100;
  int calmMaxMs = 450;
  int maxBurst = 3000;
};

class TFaultPlan {
 public:
  TFaultPlan(std::uint64_t seed, const TPlanOptions& options);
  // The next step; a plan without any kind enabled answers Close steps
  // that the driver never runs (see TFaultDriver).
  TFaultStep Next();

 private:
  TFaultKind Pick(bool longOne);
  void Size(TFaultStep& step);

  TRandom random_;
  TPlanOptions options_;
  int sinceLong_ = 0;
};

}  // namespace kv::sim
