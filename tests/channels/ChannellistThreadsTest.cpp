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
#include "channels/Channellist.h"
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
// and increments the shared channel's value under the list's lock.
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
    TLockedList locked(list);
    TChannel2* shared = list.Find(kShared, 0);
    shared->SetValue(Variant::FromInt32(shared->Value().ToInt32() + 1));
    list.SetSendFlags(shared, NeedSendValue);
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
  EXPECT_EQ(list.Find(kShared, 0)->Value().ToInt32(), kHosts * kIncrementsPerHost);
}

// A list of active, numbered channels whose registrations went out: even
// positions hold Float8 values, odd ones texts.
void AddValueChannels(TChannelList2& list, int count) {
  for (int i = 0; i < count; ++i) {
    TChannel2 channel;
    channel.SetAddr("V" + std::to_string(i));
    channel.SetType(i % 2 == 0 ? 5 : 256);
    channel.SetActive(true);
    ASSERT_TRUE(list.Add(&channel, false, true, ChannelField::All, true));
  }
  std::deque<TSendSnapshot> batch;
  std::size_t cursor = 0;
  while (list.TakePending(cursor, batch, false) != 0) {
  }
}

Variant Counted(int i, int k) {
  return i % 2 == 0 ? Variant(static_cast<double>(k)) : Variant::FromAnsi(std::to_string(k));
}

// A host's value call takes no lock the worker holds while it copies
// channels or renumbers them, so it never waits for a worker that lost its
// processor.
TEST_F(ChannelListThreadsTest, ValueCallDoesNotWaitForTheListLock) {
  TChannelList2 list;
  AddValueChannels(list, 2);
  std::future<TStoreResult> stored;
  {
    TLockedList locked(list);
    stored = std::async(std::launch::async, [&] {
      return list.StoreValue("v1", 0, kKnownNow, Counted(1, 7), nullptr);
    });
    ASSERT_EQ(stored.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  }
  EXPECT_EQ(stored.get(), TStoreResult::Stored);
  EXPECT_EQ(list.StoreValue("V1", 0, kKnownNow, Counted(1, 7), nullptr), TStoreResult::Unchanged);
  EXPECT_EQ(list.StoreValue("V1", 0, kKnownNow, Counted(1, 8), nullptr), TStoreResult::Replaced);
  EXPECT_EQ(list.StoreValue("W", 0, kKnownNow, Counted(1, 8), nullptr), TStoreResult::NotListed);
}

// Host threads hand over rising values (numbers and texts, whose old heap
// blocks the send pass may be copying) while the worker takes them out and
// the server renumbers channels: every value copied out is whole, none goes
// out twice or after a newer one, and each channel's last value goes out.
TEST_F(ChannelListThreadsTest, ValuesCopiedOutWhileHostsStoreAreWholeOnceAndInOrder) {
  constexpr int kChannels = 64;
  constexpr int kValues = 4000;
  TChannelList2 list;
  AddValueChannels(list, kChannels);
  std::atomic<int> hostsRunning{2};
  std::vector<std::thread> hosts;
  for (int host = 0; host < 2; ++host)
    hosts.emplace_back([&, host] {
      for (int k = 1; k <= kValues; ++k)
        for (int i = host; i < kChannels; i += 2) {
          const int channel = (i / 2) % 2 == 0 ? i : (i ^ 1);  // both kinds on each host
          list.StoreValue("V" + std::to_string(channel), 0, kKnownNow, Counted(channel, k),
                          nullptr);
        }
      --hostsRunning;
    });
  std::map<std::string, int> last;
  int failures = 0;
  std::deque<TSendSnapshot> batch;
  auto sendPass = [&] {
    std::size_t cursor = 0;
    while (std::size_t taken = list.TakePending(cursor, batch, true))
      for (std::size_t i = 0; i < taken; ++i) {
        const TChannel2& channel = batch[i].Channel;
        if (!batch[i].Value) continue;
        const bool text = channel.Type() == 256;
        const int k = text ? std::stoi(channel.Value().ToAnsi())
                           : static_cast<int>(channel.Value().ToDouble());
        if (channel.Value().Kind() != (text ? varString : varDouble) ||
            k <= last[std::string(channel.Addr())])
          ++failures;
        last[std::string(channel.Addr())] = k;
      }
  };
  for (std::uint32_t round = 0; hostsRunning.load() > 0; ++round) {
    sendPass();
    TChannel2 renumber;
    renumber.SetAddr("V" + std::to_string(round % kChannels));
    renumber.SetNumber(1000 + round);
    renumber.SetActive(true);
    list.Update(&renumber, ChannelField::Number | ChannelField::Active, true, false);
  }
  for (auto& thread : hosts) thread.join();
  sendPass();
  EXPECT_EQ(failures, 0);
  ASSERT_EQ(last.size(), static_cast<std::size_t>(kChannels));
  for (const auto& [addr, k] : last) EXPECT_EQ(k, kValues) << addr;
}

}  // namespace
}  // namespace kv
