#include "client/ControlQueue.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

ControlRequest Control(int value) {
  ControlRequest control;
  control.Value = Variant(value);
  return control;
}

TEST(ControlQueue, AFullQueueKeepsTheOldestAndEndsItsOverflowOnceTheHostMadeRoom) {
  const std::size_t bound = 2;
  TControlQueue queue(bound);
  for (int k = 1; k <= 4; ++k) EXPECT_EQ(queue.Push(Control(k)), k <= 2);
  EXPECT_EQ(queue.EndOverflow(false), 0u);  // still full: the overflow goes on
  bool madeRoom = false;
  EXPECT_EQ(queue.Pop(madeRoom)->Value.ToInt32(), 1);
  EXPECT_TRUE(madeRoom);
  EXPECT_EQ(queue.EndOverflow(false), 2u);
  EXPECT_EQ(queue.EndOverflow(false), 0u);  // told once; the next overflow counts afresh
  EXPECT_EQ(queue.Pop(madeRoom)->Value.ToInt32(), 2);
  EXPECT_FALSE(madeRoom);
  EXPECT_FALSE(queue.Pop(madeRoom));
  EXPECT_FALSE(madeRoom);
}

TEST(ControlQueue, TheWorkersEndEndsAnOverflowStillGoingOn) {
  const std::size_t bound = 1;
  TControlQueue queue(bound);
  EXPECT_TRUE(queue.Push(Control(1)));
  EXPECT_FALSE(queue.Push(Control(2)));
  EXPECT_EQ(queue.EndOverflow(true), 1u);
  EXPECT_EQ(queue.Size(), 1u);
}

}  // namespace
}  // namespace kv
