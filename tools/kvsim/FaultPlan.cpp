#include "kvsim/FaultPlan.h"

#include <algorithm>

namespace kv::sim {
namespace {

struct TKindInfo {
  const char* name;
  int weight;  // how often among the short, or among the long ones
  bool isLong;
};

// In the order of TFaultKind. Faults that cost a reconnection dominate, so
// that a soak reaches many reconnections.
constexpr TKindInfo kKinds[kFaultKinds] = {
    {"close", 3, false},        {"reset", 3, false},    {"stall", 2, false},
    {"slow-reader", 1, false},  {"split", 2, false},    {"merged", 2, false},
    {"unknown", 2, false},      {"burst", 2, false},    {"late-login", 2, false},
    {"refused-login", 3, true}, {"link-test", 2, true},
};

const TKindInfo& Info(TFaultKind kind) { return kKinds[static_cast<int>(kind)]; }

}  // namespace

const char* FaultName(TFaultKind kind) { return Info(kind).name; }

bool FaultByName(const std::string& name, TFaultKind& kind) {
  for (int i = 0; i < kFaultKinds; ++i) {
    if (name == kKinds[i].name) {
      kind = static_cast<TFaultKind>(i);
      return true;
    }
  }
  return false;
}

bool IsLongFault(TFaultKind kind) { return Info(kind).isLong; }

std::uint64_t TRandom::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::int64_t TRandom::Between(std::int64_t low, std::int64_t high) {
  if (high <= low) return low;
  const auto span = static_cast<std::uint64_t>(high - low) + 1;
  return low + static_cast<std::int64_t>(Next() % span);
}

TFaultPlan::TFaultPlan(std::uint64_t seed, const TPlanOptions& options)
    : random_(seed), options_(options) {}

TFaultKind TFaultPlan::Pick(bool longOne) {
  int total = 0;
  for (int i = 0; i < kFaultKinds; ++i)
    if ((options_.kinds & (1u << i)) && kKinds[i].isLong == longOne) total += kKinds[i].weight;
  if (total == 0) return TFaultKind::Close;
  std::int64_t pick = random_.Between(0, total - 1);
  for (int i = 0; i < kFaultKinds; ++i) {
    if (!(options_.kinds & (1u << i)) || kKinds[i].isLong != longOne) continue;
    pick -= kKinds[i].weight;
    if (pick < 0) return static_cast<TFaultKind>(i);
  }
  return TFaultKind::Close;
}

void TFaultPlan::Size(TFaultStep& step) {
  const std::int64_t timeout = std::max(options_.clientTimeoutMs, 100);
  switch (step.kind) {
    case TFaultKind::SlowReader:
      step.variant = static_cast<int>(random_.Between(64, 2048));
      step.amount = random_.Between(timeout * 3 / 10, timeout * 8 / 10);
      break;
    case TFaultKind::Split:
      step.variant = static_cast<int>(random_.Between(0, 2));
      step.amount = random_.Between(2, 12);
      break;
    case TFaultKind::Merged:
      step.amount = random_.Between(10, 200);
      break;
    case TFaultKind::UnknownStructure: {
      step.variant = static_cast<int>(random_.Between(0, 3) == 0 ? 1 : 0);
      // Ids without a size: 0, 23, 26-30, 36-39, 45-50, 67-99, 101-255.
      static constexpr int kUnknownIds[] = {0,  23, 26, 29, 36,  39,  45,
                                            50, 67, 80, 99, 101, 200, 255};
      step.amount = step.variant == 1 ? random_.Between(0, 2)
                                      : kUnknownIds[random_.Between(0, std::size(kUnknownIds) - 1)];
      break;
    }
    case TFaultKind::ControlBurst:
      step.amount = random_.Between(1, std::max(options_.maxBurst, 1));
      step.variant = random_.Between(0, 1) == 0 ? 0 : static_cast<int>(random_.Between(1, 500));
      break;
    case TFaultKind::DelayedLogin:
      step.amount = random_.Between(timeout / 10, timeout * 6 / 10);
      step.variant = static_cast<int>(random_.Between(0, 1));
      break;
    case TFaultKind::RefusedLogin:
      step.variant = static_cast<int>(random_.Between(0, kRefusals - 1));
      step.amount = random_.Between(0, 7);
      break;
    case TFaultKind::LinkTest:
      step.variant = static_cast<int>(random_.Between(0, 1));
      break;
    case TFaultKind::Close:
    case TFaultKind::Reset:
    case TFaultKind::Stall:
      break;
  }
}

TFaultStep TFaultPlan::Next() {
  TFaultStep step;
  step.calmMs = random_.Between(options_.calmMinMs, options_.calmMaxMs);
  const bool longDue = options_.longEvery > 0 && sinceLong_ >= options_.longEvery;
  bool anyLong = false;
  for (int i = 0; i < kFaultKinds; ++i) anyLong |= (options_.kinds & (1u << i)) && kKinds[i].isLong;
  bool anyShort = false;
  for (int i = 0; i < kFaultKinds; ++i)
    anyShort |= (options_.kinds & (1u << i)) && !kKinds[i].isLong;
  const bool longOne = (longDue && anyLong) || !anyShort;
  step.kind = Pick(longOne);
  sinceLong_ = longOne ? 0 : sinceLong_ + 1;
  Size(step);
  return step;
}

}  // namespace kv::sim
