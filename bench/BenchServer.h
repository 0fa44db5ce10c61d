#pragma once
// A lean Kavrel server for benchmarks with many channels: it answers the
// login and status requests, numbers and activates every registered channel
// at once, and counts the values it receives without keeping them, so that
// its own cost stays small beside the client's. The test server records
// everything and finds channels by walking its list, which suits tests with
// a handful of channels, not a hundred thousand.
//
// Threads: one server thread serves one connection at a time; the public
// calls may come from any thread.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>

namespace kv::bench {

class TBenchServer {
 public:
  TBenchServer();
  ~TBenchServer();
  TBenchServer(const TBenchServer&) = delete;
  TBenchServer& operator=(const TBenchServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Channels numbered and activated so far, over all connections.
  std::uint32_t Activated() const { return activated_.load(); }
  std::uint64_t Values() const { return values_.load(); }
  std::uint64_t Logins() const { return logins_.load(); }
  // Ends the current connection; the client logs in again.
  void Drop() { dropRequested_ = true; }
  // While off, nothing is read from the client.
  void SetReading(bool reading) { reading_ = reading; }

 private:
  void Run();
  void Serve(int client);
  // Handles the complete messages at the front of `in`, appends the answers
  // to `out`; false when the stream cannot be followed.
  bool Dispatch(std::string& in, std::string& out);
  void Register(const std::string& message, std::string& out);

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> dropRequested_{false};
  std::atomic<bool> reading_{true};
  std::atomic<std::uint32_t> activated_{0};
  std::atomic<std::uint64_t> values_{0};
  std::atomic<std::uint64_t> logins_{0};
  std::unordered_map<std::string, std::uint32_t> numbers_;  // server thread only
  std::thread thread_;
};

}  // namespace kv::bench
