#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace kv::bench {

double TTicks::NsPerTick() {
  static const double ratio = [] {
    const std::int64_t ns0 = SteadyNs();
    const std::uint64_t t0 = Now();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::int64_t ns1 = SteadyNs();
    const std::uint64_t t1 = Now();
    return t1 > t0 ? static_cast<double>(ns1 - ns0) / static_cast<double>(t1 - t0) : 1.0;
  }();
  return ratio;
}

double TTicks::OverheadNs() {
  static const double overhead = [] {
    TSamples samples;
    samples.Reserve(100000);
    for (int i = 0; i < 100000; ++i) {
      const std::uint64_t start = Now();
      samples.Add(Now() - start);
    }
    return samples.QuantileNs(0.5);
  }();
  return overhead;
}

void TSamples::Append(const TSamples& other) {
  ticks_.insert(ticks_.end(), other.ticks_.begin(), other.ticks_.end());
  sorted_ = false;
}

double TSamples::QuantileNs(double q) {
  if (ticks_.empty()) return 0;
  if (!sorted_) {
    std::sort(ticks_.begin(), ticks_.end());
    sorted_ = true;
  }
  const double rank = std::ceil(q * static_cast<double>(ticks_.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return ToNs(ticks_[std::min(index, ticks_.size() - 1)]);
}

double TSamples::MaxNs() const {
  if (ticks_.empty()) return 0;
  return ToNs(sorted_ ? ticks_.back() : *std::max_element(ticks_.begin(), ticks_.end()));
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace kv::bench
