#pragma once
// The in-process Kavrel test server the demo runs against when it is not
// given a real one: listens on 127.0.0.1 at an ephemeral port, numbers and
// activates the channels the host registers, sends the control the demo asks
// for, and reports what it has seen as terminal text (UTF-8).
//
// Owns the server and its thread; every call comes from the demo's main
// thread. This header deliberately includes nothing of the server's own so
// it can sit beside kvopros2.h (and the Windows headers) in one program.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv::sim {
class TKavrelServer;
struct TSimChannel;
}  // namespace kv::sim

namespace kv::demo {

class TDemoServer {
 public:
  using Duration = std::chrono::milliseconds;

  TDemoServer();
  ~TDemoServer();
  TDemoServer(const TDemoServer&) = delete;
  TDemoServer& operator=(const TDemoServer&) = delete;

  // False with a reason when the port cannot be opened.
  bool Start(std::string& error);
  void Stop();
  std::uint16_t Port() const;
  int Logins() const;

  // Until the server has activated the channel (its answer went out).
  bool WaitForActive(std::string_view addr, Duration limit);
  // Sends a Boolean control for the channel, named by its address, stamped
  // with the server's local time.
  bool SendSwitch(std::string_view addr, bool on, std::string& error);
  // Until the channel's last value received is the Boolean `on`.
  bool WaitForSwitch(std::string_view addr, bool on, Duration limit);

  // One line per channel (and one per attribute below it).
  std::vector<std::string> ChannelLines() const;

 private:
  std::unique_ptr<sim::TKavrelServer> server_;
};

// The lines of one channel in the server's view; for ChannelLines.
std::vector<std::string> DescribeServerChannel(const sim::TSimChannel& channel);

}  // namespace kv::demo
