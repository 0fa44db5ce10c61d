// The value path: what a host's value call, the send pass and readers of a
// channel's value may count on while they run at the same time.
#include "channels/ValuePath.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ChannelTestSupport.h"
#include "FailingAllocation.h"
#include "channels/ChannelList.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using ValuePathTest = testing::ChannelTestBase;

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
TEST_F(ValuePathTest, ValueCallDoesNotWaitForTheListLock) {
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
TEST_F(ValuePathTest, ValuesCopiedOutWhileHostsStoreAreWholeOnceAndInOrder) {
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

// A check that holds up the first value call reaching it until the test
// lets it go on.
struct TGate {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  bool inside = false;
  bool open = false;
};
TGate* gate = nullptr;

bool HeldUpCheck(const Variant&) {
  std::unique_lock<std::mutex> lock(gate->mutex);
  if (gate->calls++ > 0) return true;
  gate->inside = true;
  gate->changed.notify_all();
  gate->changed.wait(lock, [] { return gate->open; });
  return true;
}

// A call that converts and checks a text or an array holds no lock
// meanwhile: other calls, on the same channel too, go through. When the
// channel's type changes under it, it converts again for the new type.
TEST_F(ValuePathTest, NoValueCallWaitsForAnotherOnesConversion) {
  TChannelList2 list;
  AddValueChannels(list, 4);
  TGate held;
  gate = &held;
  auto first = std::async(std::launch::async, [&] {
    return list.StoreValue("V1", 0, kKnownNow, Variant::FromAnsi("15"), &HeldUpCheck);
  });
  {
    std::unique_lock<std::mutex> lock(held.mutex);
    ASSERT_TRUE(held.changed.wait_for(lock, 30s, [&] { return held.inside; }));
  }
  auto others = std::async(std::launch::async, [&] {
    return list.StoreValue("V3", 0, kKnownNow, Counted(3, 2), nullptr) == TStoreResult::Stored &&
           list.StoreValue("V1", 0, kKnownNow + 1, Counted(1, 3), nullptr) == TStoreResult::Stored;
  });
  const bool passed = others.wait_for(30s) == std::future_status::ready;
  if (passed) {
    TChannel2 retyped;
    retyped.SetAddr("V1");
    retyped.SetType(3);  // Int4
    EXPECT_TRUE(list.Update(&retyped, ChannelField::Type, true, false));
  }
  {
    std::lock_guard<std::mutex> lock(held.mutex);
    held.open = true;
  }
  held.changed.notify_all();
  EXPECT_EQ(first.get(), TStoreResult::Replaced);
  ASSERT_TRUE(passed);
  EXPECT_TRUE(others.get());
  const std::optional<TValueSnapshot> v1 = list.ReadValue("V1");
  ASSERT_TRUE(v1);
  EXPECT_EQ(v1->DT, kKnownNow);
  EXPECT_EQ(v1->Value.Kind(), varInteger);
  EXPECT_EQ(v1->Value.ToInt32(), 15);
  gate = nullptr;
}

// A number's call, converted and checked in its one hold, holds up no call
// on any other channel, wherever the list keeps it.
TEST_F(ValuePathTest, NoValueCallWaitsForOneOnAnotherChannel) {
  constexpr int kChannels = 1000;
  TChannelList2 list;
  AddValueChannels(list, kChannels);
  TGate held;
  gate = &held;
  auto first = std::async(std::launch::async, [&] {
    return list.StoreValue("V0", 0, kKnownNow, Counted(0, 1), &HeldUpCheck);
  });
  {
    std::unique_lock<std::mutex> lock(held.mutex);
    ASSERT_TRUE(held.changed.wait_for(lock, 30s, [&] { return held.inside; }));
  }
  auto others = std::async(std::launch::async, [&] {
    int stored = 0;
    for (int i = 1; i < kChannels; ++i)
      stored += list.StoreValue("V" + std::to_string(i), 0, kKnownNow, Counted(i, 1), nullptr) ==
                TStoreResult::Stored;
    return stored;
  });
  const bool passed = others.wait_for(30s) == std::future_status::ready;
  {
    std::lock_guard<std::mutex> lock(held.mutex);
    held.open = true;
  }
  held.changed.notify_all();
  EXPECT_EQ(first.get(), TStoreResult::Stored);
  ASSERT_TRUE(passed);
  EXPECT_EQ(others.get(), kChannels - 1);
  gate = nullptr;
}

// Readers take time stamp, quality and value together while host threads
// store them: every state read is one a host stored whole (value k with
// time stamp k), texts included, whose old blocks the stores free.
TEST_F(ValuePathTest, ReadersSeeWholeStatesWhileHostsStore) {
  constexpr int kValues = 3000;
  TChannelList2 list;
  AddValueChannels(list, 4);
  std::atomic<int> hostsRunning{2};
  std::vector<std::thread> hosts;
  for (int host = 0; host < 2; ++host)
    hosts.emplace_back([&, host] {
      for (int k = 1; k <= kValues; ++k)
        for (int i = host; i < 4; i += 2)
          list.StoreValue("V" + std::to_string(i), k % 3 == 0 ? 5 : 0, k, Counted(i, k), nullptr);
      --hostsRunning;
    });
  int failures = 0;
  int reads = 0;
  while (hostsRunning.load() > 0 || reads == 0) {
    for (int i = 0; i < 4; ++i) {
      const std::optional<TValueSnapshot> state = list.ReadValue("V" + std::to_string(i));
      ++reads;
      if (!state) {
        ++failures;
        continue;
      }
      const int k = static_cast<int>(state->DT);
      if (k == 0) continue;  // nothing stored yet
      // A bad quality keeps the value stored before it.
      const int valueOf = state->Quality != 0 ? k - 1 : k;
      if (state->Quality != (k % 3 == 0 ? 5 : 0) ||
          (valueOf > 0 && !(state->Value == Counted(i, valueOf))))
        ++failures;
    }
  }
  for (auto& thread : hosts) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_FALSE(list.ReadValue("W"));
}

// The send pass clears a channel's marks only once its records are copied:
// a copy that fails for want of memory leaves it due for the next pass.
TEST_F(ValuePathTest, ACopyThatRunsOutOfMemoryLeavesTheChannelDue) {
  if (!test::TFailAllocations::Supported()) GTEST_SKIP() << "operator new is the sanitizer's";
  TChannelList2 list;
  TChannel2 channel;
  channel.SetAddr("M");
  channel.SetType(256);
  channel.SetActive(true);
  channel.SetUnit("V");
  channel.SetFlags(NeedRegister);
  ASSERT_TRUE(list.Add(&channel, false, true, ChannelField::All, true));
  ASSERT_EQ(list.StoreValue("M", 0, kKnownNow, Variant::FromAnsi("text"), nullptr),
            TStoreResult::Stored);
  std::deque<TSendSnapshot> batch(1);  // only the copy itself allocates
  std::size_t cursor = 0;
  bool ranOut = false;
  {
    test::TFailAllocations failing;
    try {
      list.TakePending(cursor, batch, false);
    } catch (const std::bad_alloc&) {
      ranOut = true;
    }
  }
  EXPECT_TRUE(ranOut);
  cursor = 0;
  ASSERT_EQ(list.TakePending(cursor, batch, false), 1u);
  EXPECT_TRUE(batch[0].Registration);
  EXPECT_TRUE(batch[0].Value);
  EXPECT_EQ(batch[0].Channel.Value().ToAnsi(), "text");
  EXPECT_EQ(batch[0].Channel.Unit(), "V");
}

}  // namespace
}  // namespace kv
