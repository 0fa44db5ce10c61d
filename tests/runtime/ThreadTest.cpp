#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "runtime/Thread.h"

namespace kv {
namespace {

class Spinner : public TThread {
 public:
  ~Spinner() override { WaitFor(); }
  std::atomic<int> passes{0};
  std::atomic<bool> started{false};
  bool throwInside = false;

 protected:
  void Execute() override {
    started = true;
    if (throwInside) throw std::runtime_error("escapes");
    while (!Terminated()) ++passes;
  }
};

TEST(ThreadLifecycle, StartsSuspendedRunsUntilTerminatedAndJoins) {
  Spinner t;
  EXPECT_FALSE(t.started);
  t.Resume();
  t.Resume();  // a second resume must not start a second thread
  while (t.passes.load() < 10) std::this_thread::yield();
  t.Terminate();
  t.WaitFor();
  int after = t.passes;
  EXPECT_TRUE(t.Terminated());
  EXPECT_EQ(t.passes.load(), after);
}

TEST(ThreadLifecycle, NeverResumedWaitsForNothing) {
  Spinner t;
  t.WaitFor();
  EXPECT_FALSE(t.started);
}

TEST(ThreadLifecycle, AnEscapingExceptionEndsOnlyTheThread) {
  Spinner t;
  t.throwInside = true;
  t.Resume();
  t.WaitFor();
  EXPECT_TRUE(t.started);
}

}  // namespace
}  // namespace kv
