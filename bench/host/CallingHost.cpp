#include "CallingHost.h"

#include <sys/resource.h>

#include <algorithm>

namespace kv::bench {

TSwitches Switches() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return {usage.ru_nvcsw, usage.ru_nivcsw};
}

namespace {

// About as long as a call: dependent multiplications the compiler must keep.
void OwnWork() {
  volatile double x = 1.0;
  for (int i = 0; i < 48; ++i) x = x * 1.0000001;
}

}  // namespace

TCallingHost::TCallingHost(TSession& session, std::size_t expectedSamples, bool watchMachine)
    : session_(session), watchMachine_(watchMachine) {
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
  TSwitches switches;
  bool wasRecording = false;
  while (!stop_.load(std::memory_order_relaxed)) {
    const double value = session_.NextValue();
    const char* addr = session_.Address(channel);
    const bool recording = recording_.load(std::memory_order_relaxed);
    // The count of switches is read only while recording: from the round
    // before, or here when recording begins.
    if (watchMachine_ && recording && !wasRecording) switches = Switches();
    wasRecording = recording;
    const std::uint64_t start = TTicks::Now();
    const bool accepted = api.value(addr, session_.Stamp(), 0, DoubleValue(value)) != 0;
    const std::uint64_t end = TTicks::Now();
    if (recording) {
      samples_.Add(end - start);
      recorded_.store(samples_.Count(), std::memory_order_relaxed);
      if (watchMachine_) {
        const std::uint64_t workStart = TTicks::Now();
        OwnWork();
        const std::uint64_t pause = TTicks::Now() - workStart;
        const TSwitches now = Switches();
        if (now.preempted != switches.preempted) {
          ++preempted_;
        } else {
          longestKept_ = std::max(longestKept_, end - start);
          longestPause_ = std::max(longestPause_, pause);
          if (now.slept != switches.slept)
            ++slept_;
          else
            longestAwake_ = std::max(longestAwake_, end - start);
        }
        switches = now;
      }
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
