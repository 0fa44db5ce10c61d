#pragma once
// A millisecond interval timer over the wrapping 32-bit tick count (read
// through the clock seam, platform/Clock.h). Each reading adds the ticks
// since the previous one modulo 2^32 to a 64-bit counter, so a wrap between
// two readings is absorbed; an interval stays right as long as the timer is
// read at least once every 2^32 ms (about 49.7 days).
//
// Not locked: each object belongs to one thread (the worker thread).
#include <cstdint>

namespace kv {

class TTimeInterval {
 public:
  // Adds the ticks since the previous reading (since tick 0 for the first
  // one) and returns the counter, which never goes back and never reads 0.
  std::uint64_t GetTicks();
  // Remembers the counter as the start of an interval.
  void Start();
  // Milliseconds since Start.
  std::uint64_t GetElapsed();
  // Whole seconds since Start, rounded down.
  std::uint64_t GetElapsedSeconds();

 private:
  std::uint32_t lastTick_ = 0;
  std::uint64_t counter_ = 0;
  std::uint64_t startMark_ = 0;
};

}  // namespace kv
