#include "CallingHost.h"

namespace kv::bench {

TCallingHost::TCallingHost(TSession& session, std::size_t expectedSamples) : session_(session) {
  samples_.Reserve(expectedSamples + expectedSamples / 2);
}

void TCallingHost::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TCallingHost::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void TCallingHost::Run() {
  const THostApi& api = session_.Api();
  const std::size_t channels = session_.Channels();
  std::size_t channel = 0;
  std::uint64_t calls = 0;
  while (!stop_.load(std::memory_order_relaxed)) {
    const double value = session_.NextValue();
    const char* addr = session_.Address(channel);
    const std::uint64_t start = TTicks::Now();
    const bool accepted = api.value(addr, session_.Stamp(), 0, DoubleValue(value)) != 0;
    const std::uint64_t end = TTicks::Now();
    if (recording_.load(std::memory_order_relaxed)) {
      samples_.Add(end - start);
      recorded_.store(samples_.Count(), std::memory_order_relaxed);
    }
    if (accepted)
      session_.Ledger().Accept(channel, value);
    else
      ++refused_;
    calls_.store(++calls, std::memory_order_relaxed);
    if (++channel == channels) channel = 0;
  }
}

}  // namespace kv::bench
