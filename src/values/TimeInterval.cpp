#include "values/TimeInterval.h"

#include "platform/Clock.h"

namespace kv {

std::uint64_t TTimeInterval::GetTicks() {
  std::uint32_t now = platform::TickCount();
  counter_ += static_cast<std::uint32_t>(now - lastTick_);  // modulo 2^32
  lastTick_ = now;
  if (counter_ == 0) counter_ = 1;
  return counter_;
}

void TTimeInterval::Start() { startMark_ = GetTicks(); }

std::uint64_t TTimeInterval::GetElapsed() { return GetTicks() - startMark_; }

std::uint64_t TTimeInterval::GetElapsedSeconds() { return GetElapsed() / 1000; }

}  // namespace kv
