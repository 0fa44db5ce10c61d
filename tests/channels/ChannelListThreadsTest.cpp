#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChannelTestSupport.h"
#include "channels/ChannelList.h"
#include "runtime/Codepage.h"

namespace kv {
namespace {

using ChannelListThreadsTest = testing::ChannelTestBase;

constexpr int kHosts = 4;
constexpr int kChannelsPerHost = 100;
constexpr int kIncrementsPerHost = 500;
constexpr std::string_view kShared = "ОБЩИЙ"_cp;

std::string HostAddress(int host, int i) {
  return std::string("Т"_cp).append(std::to_string(host)).append("-").append(std::to_string(i));
}

// One host thread: registers its channels, activates them, reads them back,
// and increments the shared channel's value under the list's locks.
void RunHost(TChannelList2& list, int host, std::atomic<int>& failures) {
  for (int i = 0; i < kChannelsPerHost; ++i) {
    TChannel2 channel;
    channel.SetAddr(HostAddress(host, i));
    channel.SetFlags(NeedRegister | 1);
    if (!list.Add(&channel, true, true, ChannelField::All, true)) ++failures;
    TChannel2 activate;
    activate.SetAddr(AnsiUpper(HostAddress(host, i)));
    activate.SetActive(true);
    if (!list.Update(&activate, ChannelField::Active, true, false)) ++failures;
    TChannel2 copy;
    if (!list.GetByAddress(HostAddress(host, i), &copy) || copy.Number() != channel.Number())
      ++failures;
  }
  for (int k = 0; k < kIncrementsPerHost; ++k) {
    list.ChangeByAddress(kShared, false, [](TChannel2& shared) {
      shared.SetValue(Variant::FromInt32(shared.Value().ToInt32() + 1));
      shared.AddFlags(NeedSendValue);
      return true;
    });
  }
}

TEST_F(ChannelListThreadsTest, HostsAndWorkerShareTheListWithoutLosingAnything) {
  TChannelList2 list;
  TChannel2 shared;
  shared.SetAddr(std::string(kShared));
  shared.SetType(3);
  shared.SetValue(Variant::FromInt32(0));
  shared.SetActive(true);
  shared.SetFlags(NeedRegister);
  ASSERT_TRUE(list.Add(&shared, true, true, ChannelField::All, true));

  std::atomic<int> failures{0};
  std::atomic<int> hostsRunning{kHosts};
  std::set<std::string> registered;  // worker thread only until joined
  std::deque<TSendSnapshot> batch;
  auto sendPass = [&] {
    std::size_t cursor = 0;
    while (std::size_t taken = list.TakePending(cursor, batch, true))
      for (std::size_t i = 0; i < taken; ++i)
        if (batch[i].Registration) registered.emplace(batch[i].Channel.Addr());
  };
  std::thread worker([&] {
    while (hostsRunning.load() > 0) {
      sendPass();
      if (list.ActiveCount() > list.Count()) ++failures;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> hosts;
  for (int host = 0; host < kHosts; ++host)
    hosts.emplace_back([&, host] {
      RunHost(list, host, failures);
      --hostsRunning;
    });
  for (auto& thread : hosts) thread.join();
  worker.join();
  sendPass();

  EXPECT_EQ(failures.load(), 0);
  const int total = kHosts * kChannelsPerHost + 1;
  EXPECT_EQ(list.Count(), total);
  EXPECT_EQ(list.ActiveCount(), total);
  EXPECT_EQ(static_cast<int>(registered.size()), total);
  EXPECT_EQ(list.PendingCount(), 0u);
  TLockedList locked(list);
  std::set<std::uint32_t> numbers;
  for (const TChannel2& channel : locked.Items()) {
    numbers.insert(channel.Number());
    EXPECT_EQ(channel.Flags() & (NeedRegister | NeedSendValue), 0);
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(total));
  EXPECT_EQ(*numbers.begin(), 1u);
  EXPECT_EQ(*numbers.rbegin(), static_cast<std::uint32_t>(total));
  EXPECT_EQ(list.ReadValue(kShared)->Value.ToInt32(), kHosts * kIncrementsPerHost);
}

}  // namespace
}  // namespace kv
