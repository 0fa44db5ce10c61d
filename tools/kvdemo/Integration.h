#pragma once
// The sample host's side: what an integrator writes against kvopros2.h,
// step by step in Integration.cpp. It declares the demo's channels, hands
// over their values with local FILETIME stamps and qualities, and takes the
// controls the server sends. Only the library's C interface is used (see
// HostLibrary.h). Texts in these structures are UTF-8; the conversion to and
// from Windows-1251 happens in Integration.cpp.
//
// The library keeps one client per process, so only one TDemoClient may be
// created at a time; it is used from one thread.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DemoChannels.h"

namespace kv::demo {

struct TKvExports;

struct TClientSettings {
  std::string host;
  int port = 0;
  int timeoutSec = 5;
  std::string login;
  std::string password;
  bool debug = false;
  std::string logPath;  // in the system's code page; empty: no log
};

// One control command as the host received it.
struct TControlSeen {
  std::string addr;  // empty when the server named the channel by number
  std::uint32_t number = 0;
  std::string time;
  unsigned quality = 0;
  std::string value;
  std::optional<bool> flag;  // the value as a switch, when it is one
};

struct TDeclaration {
  std::string addr;
  std::string summary;
  bool accepted = false;
  int result = 0;  // why it was refused: a KVOPROS2_RESULT_ code (-1: not known)
};

// The library's log lines as its callback hands them over on the library's
// worker thread, kept until the host's own thread takes them.
class TLogFeed {
 public:
  void Add(const char* line);
  // The lines so far, as UTF-8, oldest first; the feed is empty afterwards.
  std::vector<std::string> Take();

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;  // Windows-1251, as the library wrote them
};

class TDemoClient {
 public:
  TDemoClient() = default;
  ~TDemoClient();
  TDemoClient(const TDemoClient&) = delete;
  TDemoClient& operator=(const TDemoClient&) = delete;

  // Whether the library hands its log lines to a callback (a library
  // before c_SetLogCallback does not). False when it cannot be loaded.
  static bool LibraryFollowsLog();

  // False with `error` when the library cannot be loaded or refuses. With a
  // library that can, the log lines are followed from the start (LogLines).
  bool Create(const TClientSettings& settings, std::string& error);
  // Waits for the library's worker thread to end. False when not created.
  bool Destroy();
  bool Connected() const;

  // Declares the four channels with their attributes, in order.
  std::vector<TDeclaration> DeclareChannels();
  // Hands over every channel's value with the stamp `ticks`; how many the
  // library took (it refuses a value that did not change).
  int HandOver(const TStepValues& values, std::uint64_t ticks);
  bool HandOverPump(bool running, unsigned quality, std::uint64_t ticks);
  // The oldest waiting control, if any.
  std::optional<TControlSeen> TakeControl();
  // The library's counters as lines of text; nothing without a client or
  // from a library without c_GetStatistics.
  std::vector<std::string> StatisticsLines() const;
  // The log lines written since the last call (UTF-8); none when the
  // library is not followed.
  std::vector<std::string> LogLines() { return feed_.Take(); }

 private:
  int LastResult() const;

  const TKvExports* api_ = nullptr;  // the library's functions, once loaded
  bool created_ = false;
  bool following_ = false;  // the log callback is set
  TLogFeed feed_;
};

}  // namespace kv::demo
