#pragma once
// One run of the sample host, step by step: start the built-in server (or
// use the one given), create the client, declare channels, wait for the
// login, stream values, answer a control, show both sides and the log (as
// it is written, where the library can hand its lines over, else at the end).
// Owns the client, the server and the log file; main thread only.
#include <chrono>
#include <string>

#include "DemoOptions.h"
#include "DemoServer.h"
#include "Integration.h"

namespace kv::demo {

enum : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

class TDemoRun {
 public:
  explicit TDemoRun(TDemoOptions options);
  ~TDemoRun();
  TDemoRun(const TDemoRun&) = delete;
  TDemoRun& operator=(const TDemoRun&) = delete;

  // The exit status.
  int Run();

 private:
  bool StartServer();
  bool CreateClient();
  void DeclareChannels();
  bool WaitForLogin();
  void Stream();
  bool ControlRoundTrip();
  void ShowControl(const TControlSeen& control);
  void ShowServerView();
  void Finish();
  void ShowLog();
  // Prints the log lines the library handed over since the last call.
  void ShowNewLogLines();
  // Polls `condition` until it holds or `limit` passed, showing log lines
  // as they come.
  template <typename Condition>
  bool PollFor(Condition condition, std::chrono::steady_clock::duration limit);

  const TDemoOptions options_;
  std::string logPath_;
  bool temporaryLog_ = false;
  bool liveLog_ = false;  // the library hands each line over as it writes it
  bool pumpRunning_ = false;
  int controlsSeen_ = 0;
  TDemoServer server_;
  TDemoClient client_;
};

}  // namespace kv::demo
