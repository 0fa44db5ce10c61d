// The test server's own capacity, so that a figure the server cannot keep
// up with is not taken for the client's: registrations and values as the
// client encodes them, fed to the server's dispatcher in the chunks its
// socket reads, without sockets and without the client; processor time.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "Scenarios.h"
#include "Stats.h"
#include "channels/Channel.h"
#include "kvsim/SimDispatch.h"
#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/PacketBuffer.h"

namespace kv::bench {
namespace {

constexpr std::size_t kChunk = 65536;  // what the server reads at once
constexpr int kRounds = 10;            // values per channel

// CPU time of this thread: on a busy machine the server's capacity is what
// its thread needs, not how long it waited for a processor.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Feeds `bytes` to the dispatcher; the processor seconds it took.
double Feed(const std::string& bytes, sim::TSimState& state) {
  sim::TProtocolOptions options;
  options.keepChannelRecords = false;
  TKavrelCmdParser received;
  const double start = ThreadSeconds();
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::size_t size = std::min(kChunk, bytes.size() - at);
    received.Append(bytes.data() + at, static_cast<std::int32_t>(size));
    sim::TDispatchResult result;
    sim::DispatchReceived(received, options, state, result);
  }
  return ThreadSeconds() - start;
}

std::string Pending(TKavrelCmdParser& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.Data()),
                     static_cast<std::size_t>(buffer.Size()));
}

}  // namespace

int RunServer(const TScenarioContext& context) {
  const std::size_t count = context.sizes.channels;
  TKavrelCmdParser registrations;
  TKavrelCmdParser values;
  for (std::size_t i = 0; i < count; ++i) {
    TChannel2 channel;
    channel.SetAddr(ChannelAddress(i));
    channel.SetType(5);
    channel.SetNumber(static_cast<std::uint32_t>(i + 1));
    channel.SetDT(45000.5);
    SetChannelRegisterCmd(registrations, &channel, RegisterFlag::Client, kAnyOwner, true, false);
  }
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < count; ++i) {
      TChannel2 channel;
      channel.SetType(5);
      channel.SetNumber(static_cast<std::uint32_t>(i + 1));
      channel.SetDT(45000.5);
      channel.SetValue(Variant(static_cast<double>(round)));
      SetChannelValueCmd(values, &channel, ValueFlag::Client, false, kCmdChannelValue);
    }
  }
  sim::TSimState state(1);
  const double registering = Feed(Pending(registrations), state);
  const double again = Feed(Pending(registrations), state);
  const double valuing = Feed(Pending(values), state);
  if (state.Registrations() != 2 * count || state.Values() != count * kRounds) {
    std::fprintf(stderr, "cannot measure: the server took %llu registrations and %llu values\n",
                 static_cast<unsigned long long>(state.Registrations()),
                 static_cast<unsigned long long>(state.Values()));
    return 1;
  }
  std::printf(
      "server: %zu registrations in %.1f ms (again: %.1f ms), %zu values in %.1f ms of CPU\n",
      count, registering * 1e3, again * 1e3, count * kRounds, valuing * 1e3);
  Report("server_registrations_ms", registering * 1e3);
  Report("server_reregistrations_ms", again * 1e3);
  Report("server_values_mps", static_cast<double>(count * kRounds) / valuing / 1e6);
  return 0;
}

}  // namespace kv::bench
