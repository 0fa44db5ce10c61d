#pragma once
// The client against a test server on an ephemeral loopback port, with a
// driven clock and every log message captured. Tests either drive the
// worker's passes themselves (the test thread is then the worker) or run
// the real worker thread.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientThread.h"
#include "kvsim/KavrelServer.h"
#include "support/ManualClock.h"
#include "support/WorkerProbe.h"
#include "runtime/Codepage.h"

namespace kv::test {

using namespace std::chrono_literals;

// Collects messages; the worker writes while the test reads.
class TLogCapture : public ILogSink {
 public:
  void Append(std::string_view message, std::string_view line) override {
    std::lock_guard<std::mutex> guard(mutex_);
    messages_.emplace_back(message);
    lines_.emplace_back(line);
  }
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return messages_;
  }
  // Messages that begin with `prefix`.
  std::vector<std::string> Starting(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const std::string& m : Messages())
      if (m.compare(0, prefix.size(), prefix) == 0) out.push_back(m);
    return out;
  }
  // Whole lines, time stamp in front, of the messages that begin with `prefix`.
  std::vector<std::string> LinesStarting(std::string_view prefix) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < messages_.size(); ++i)
      if (messages_[i].compare(0, prefix.size(), prefix) == 0) out.push_back(lines_[i]);
    return out;
  }
  bool Has(std::string_view message) const {
    for (const std::string& m : Messages())
      if (m == message) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    messages_.clear();
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
  std::vector<std::string> lines_;
};

inline std::string Cp(std::string_view s) { return std::string(s); }

class ClientHarness : public ::testing::Test {
 protected:
  explicit ClientHarness(bool manualClock = true, sim::TServerOptions options = DefaultOptions())
      : server_(options) {
    if (manualClock) scopedClock_ = std::make_unique<platform::TScopedTestClock>(clock_);
  }

  static sim::TServerOptions DefaultOptions() {
    sim::TServerOptions options;
    options.port = 0;
    return options;
  }

  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    client_ = MakeClient();
  }

  void TearDown() override {
    client_.reset();
    server_.Stop();
  }

  std::unique_ptr<TOpros2Thread> MakeClient(
      platform::TSocketApi& sockets = platform::SystemSockets()) {
    ClientSettings settings;
    settings.Port = server_.Port();
    settings.TimeoutSec = 2;
    auto client = std::make_unique<TOpros2Thread>(settings, sockets);
    client->Log().SetSink(&log_);
    return client;
  }

  // One pass of the worker loop, run by the test thread.
  void Pass() { client_->RunOnePass(); }
  // The worker's single steps, for tests that check one of them.
  TWorkerProbe Worker() { return TWorkerProbe(*client_); }

  // Runs passes until `done` holds (real-time bound of a few seconds).
  bool PumpUntil(const std::function<bool()>& done) {
    auto until = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < until) {
      if (done()) return true;
      if (client_->IsConnected()) Pass();
      std::this_thread::sleep_for(1ms);
    }
    return done();
  }

  // A pass that logs in, then marks every channel to be sent.
  void LogIn() {
    ASSERT_FALSE(client_->IsConnected());
    Pass();
    ASSERT_TRUE(client_->IsConnected());
  }

  // Registers a Float8 channel and runs passes until the server activated it.
  void RegisterActive(const std::string& addr) {
    ASSERT_TRUE(client_->RegisterChannel({.Addr = addr, .Type = 5, .WriteEnable = true}));
    ASSERT_TRUE(PumpUntil([&] {
      std::unique_ptr<TChannel2> c = client_->Channels().CopyByAddress(addr);
      return c && c->Active();
    }));
  }

  platform::TManualClock clock_{100000, platform::LocalTime{2026, 12, 7, 1, 12, 0, 0, 0}};
  std::unique_ptr<platform::TScopedTestClock> scopedClock_;
  TLogCapture log_;
  sim::TKavrelServer server_;
  std::unique_ptr<TOpros2Thread> client_;
};

}  // namespace kv::test
