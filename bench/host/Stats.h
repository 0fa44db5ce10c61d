#pragma once
// Time stamps cheap enough to put around every single call, and the
// percentiles of what they measured.
//
// TTicks reads the processor's time-stamp counter (constant rate on the
// machines we measure on) and is calibrated against the steady clock once;
// elsewhere it falls back to the steady clock. Any thread.
#include <chrono>
#include <cstdint>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace kv::bench {

using TSteady = std::chrono::steady_clock;

inline std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(TSteady::now().time_since_epoch())
      .count();
}

class TTicks {
 public:
  static std::uint64_t Now() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned aux;
    return __rdtscp(&aux);  // waits for the instructions before it
#else
    return static_cast<std::uint64_t>(SteadyNs());
#endif
  }
  // Nanoseconds per tick, measured on the first call (about 50 ms).
  static double NsPerTick();
  static double ToNs(std::uint64_t ticks) { return static_cast<double>(ticks) * NsPerTick(); }
  // What an empty measurement (two reads back to back) costs, in ns.
  static double OverheadNs();
};

// Durations, one per measured call: in ticks unless told another unit.
class TSamples {
 public:
  TSamples() = default;
  explicit TSamples(double nsPerUnit) : nsPerUnit_(nsPerUnit) {}
  void Reserve(std::size_t count) { ticks_.reserve(count); }
  void Add(std::uint64_t ticks) { ticks_.push_back(ticks); }
  void Append(const TSamples& other);
  std::size_t Count() const { return ticks_.size(); }
  // The q-quantile (0..1) in ns, by the nearest rank; 0 without samples.
  // Sorts the samples.
  double QuantileNs(double q);
  double MaxNs() const;

 private:
  double ToNs(std::uint64_t units) const {
    return nsPerUnit_ > 0 ? static_cast<double>(units) * nsPerUnit_ : TTicks::ToNs(units);
  }

  double nsPerUnit_ = 0;  // 0: ticks
  std::vector<std::uint64_t> ticks_;
  bool sorted_ = false;
};

// The median of a few numbers (the mean of the middle two for an even
// count); 0 for none.
double Median(std::vector<double> values);

}  // namespace kv::bench
