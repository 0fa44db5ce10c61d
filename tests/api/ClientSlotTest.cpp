#include "api/ClientSlot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "OleTestUtil.h"

using namespace kv;
using namespace kv::test;

namespace {

// What the factories below saw; reset by each test.
int factoryCalls = 0;
ClientSettings lastSettings;

std::unique_ptr<TClientFacade> MakeFake(const ClientSettings& settings) {
  ++factoryCalls;
  lastSettings = settings;
  auto client = std::make_unique<TFakeClient>();
  client->Connected = true;
  return client;
}

std::unique_ptr<TClientFacade> RaiseInFactory(const ClientSettings&) {
  throw std::runtime_error("cannot start");
}

std::unique_ptr<TClientFacade> NoClient(const ClientSettings&) { return nullptr; }

std::unique_ptr<TClientFacade> NoThread(const ClientSettings&) {
  auto client = std::make_unique<TFakeClient>();
  client->StartFails = true;
  return client;
}

ClientSettings Settings(std::string host) {
  ClientSettings settings;
  settings.Host = std::move(host);
  return settings;
}

int Connected(TClientSlot& slot) {
  return slot.WithClient([](TClientFacade& c) { return c.IsConnected() ? 1 : 0; }, -1);
}

}  // namespace

TEST(ClientSlotLifecycle, NothingWorksWithoutAClient) {
  TClientSlot slot;
  EXPECT_FALSE(slot.Destroy());
  EXPECT_EQ(Connected(slot), -1);
}

TEST(ClientSlotLifecycle, SecondCreateKeepsTheFirstClient) {
  factoryCalls = 0;
  TClientSlot slot;
  EXPECT_TRUE(slot.Create(Settings("first"), MakeFake));
  EXPECT_TRUE(slot.Create(Settings("second"), MakeFake));
  EXPECT_EQ(factoryCalls, 1);
  EXPECT_EQ(lastSettings.Host, "first");
  EXPECT_EQ(Connected(slot), 1);
}

TEST(ClientSlotLifecycle, CreateAfterDestroyMakesAFreshClient) {
  factoryCalls = 0;
  TClientSlot slot;
  ASSERT_TRUE(slot.Create(Settings("a"), MakeFake));
  slot.WithClient([](TClientFacade& c) { return c.RegisterChannel({}) == TCallResult::Ok; }, false);
  EXPECT_TRUE(slot.Destroy());
  EXPECT_FALSE(slot.Destroy());
  EXPECT_EQ(Connected(slot), -1);
  ASSERT_TRUE(slot.Create(Settings("b"), MakeFake));
  EXPECT_EQ(factoryCalls, 2);
  EXPECT_EQ(lastSettings.Host, "b");
  std::size_t channels =
      slot.WithClient([](TClientFacade& c) { return static_cast<TFakeClient&>(c).Channels.size(); },
                      std::size_t{99});
  EXPECT_EQ(channels, 0u);
}

TEST(ClientSlotLifecycle, StartsTheClientOnceReachableAndKeepsNoneThatCannotStart) {
  TClientSlot slot;
  TCallResult why = TCallResult::Ok;
  EXPECT_FALSE(slot.Create(Settings("a"), NoThread, &why));
  EXPECT_EQ(why, TCallResult::NoResources);
  EXPECT_EQ(Connected(slot), -1);
  ASSERT_TRUE(slot.Create(Settings("b"), MakeFake, &why));
  EXPECT_EQ(why, TCallResult::Ok);
  EXPECT_TRUE(slot.WithClient([](TClientFacade& c) { return static_cast<TFakeClient&>(c).Started; },
                              false));
  EXPECT_TRUE(slot.Create(Settings("c"), MakeFake, &why));
  EXPECT_EQ(why, TCallResult::ClientExists);
}

TEST(ClientSlotFailures, NothingEscapes) {
  TClientSlot slot;
  EXPECT_FALSE(slot.Create(Settings("x"), RaiseInFactory));
  EXPECT_FALSE(slot.Create(Settings("x"), NoClient));
  EXPECT_FALSE(slot.Destroy());
  ASSERT_TRUE(slot.Create(Settings("x"), MakeFake));
  slot.WithClient([](TClientFacade& c) { return static_cast<TFakeClient&>(c).Raise = true; },
                  false);
  EXPECT_EQ(Connected(slot), -1);
  // The failed call left the lock free.
  EXPECT_TRUE(slot.Destroy());
}

namespace {

// Counts calls in progress. Its destruction, and every call, checks that
// no call overlaps the destruction; each call lingers so that an overlap,
// were the slot to allow one, is likely to be seen.
class TMortalClient : public TFakeClient {
 public:
  explicit TMortalClient(std::atomic<int>& overlaps) : overlaps_(overlaps) {}
  ~TMortalClient() override {
    dying_ = true;
    for (int i = 0; i < 10; ++i) {
      if (inCall_ != 0) ++overlaps_;
      std::this_thread::yield();
    }
  }
  bool IsConnected() override {
    ++inCall_;
    for (int i = 0; i < 10; ++i) {
      if (dying_) ++overlaps_;
      std::this_thread::yield();
    }
    --inCall_;
    return true;
  }

 private:
  std::atomic<bool> dying_{false};
  std::atomic<int> inCall_{0};
  std::atomic<int>& overlaps_;
};

std::atomic<int> overlaps{0};

std::unique_ptr<TClientFacade> MakeMortal(const ClientSettings&) {
  return std::make_unique<TMortalClient>(overlaps);
}

}  // namespace

TEST(ClientSlotConcurrency, CallsNeverReachADestroyedClient) {
  overlaps = 0;
  TClientSlot slot;
  std::atomic<bool> stop{false};
  auto caller = [&] {
    while (!stop) Connected(slot);
  };
  std::thread first(caller);
  std::thread second(caller);
  for (int round = 0; round < 40; ++round) {
    slot.Create({}, MakeMortal);
    std::this_thread::yield();
    slot.Destroy();
  }
  stop = true;
  first.join();
  second.join();
  EXPECT_EQ(overlaps, 0);
}
