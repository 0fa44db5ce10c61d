// The exports against a server that stops reading while the client has far
// more to send than the sockets hold: c_DestroyOpros still returns at once,
// and the exports other host threads call meanwhile are not held longer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvsim/KavrelServer.h"

#include "LoadedLibrary.h"

namespace kv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Far above the prompt answer, far below the hang it guards against.
constexpr auto kPrompt = 5s;

TEST(HostStall, DestroyReturnsPromptlyAndHoldsNoOtherThread) {
  sim::TServerOptions options;
  options.port = 0;
  options.receiveBufferBytes = 4096;
  sim::TKavrelServer server(options);
  ASSERT_TRUE(server.Start());
  std::vector<std::string> failures;
  kv_host_test_hooks hooks{&failures, "",      &RecordFailure, nullptr,
                           nullptr,   nullptr, nullptr,        nullptr};
  TLibrary loaded(hooks);
  ASSERT_NE(loaded.library, nullptr) << (failures.empty() ? "" : failures.front());
  const kv_host_exports& api = loaded.api;

  // A time-out far beyond the test: only termination can end the write.
  ASSERT_EQ(api.create("127.0.0.1", server.Port(), 60, "stall", "", 0, 0, ""), 1);
  const auto loginBy = Clock::now() + 20s;
  while (api.connected() == 0 && Clock::now() < loginBy) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(api.connected(), 1);
  server.SetReading(false);
  // About 7 MB of registrations, more than one send pass takes.
  const std::string text(15000, 't');
  for (int i = 0; i < 250; ++i)
    ASSERT_EQ(api.channel(("S" + std::to_string(i)).c_str(), 5, 0, 0, text.c_str(), "", "", "",
                          text.c_str(), 0, ""),
              1);
  std::this_thread::sleep_for(300ms);  // lets the worker fill the sockets

  std::atomic<bool> stop{false};
  Clock::duration longest{};
  std::thread host([&] {
    while (!stop) {
      const auto start = Clock::now();
      api.connected();
      longest = std::max(longest, Clock::now() - start);
    }
  });
  std::future<kv_bool> destroyed = std::async(std::launch::async, [&] { return api.destroy(); });
  const bool prompt = destroyed.wait_for(kPrompt) == std::future_status::ready;
  if (!prompt) server.Stop();  // releases a worker stuck in a write
  EXPECT_EQ(destroyed.get(), 1);
  stop = true;
  host.join();
  EXPECT_TRUE(prompt) << "c_DestroyOpros waited for the server";
  EXPECT_LT(longest, Clock::duration(kPrompt));
}

}  // namespace
}  // namespace kv::test
