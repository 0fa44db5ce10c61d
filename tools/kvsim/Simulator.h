#pragma once
// The command-line server put together: its clients (ServerHub.h), what it
// prints (EventOutput.h), its counters and recordings, and what drives it:
// a script, a replay, the fault mode, or the commands typed on standard
// input. main() only parses the options and hands over; tests run it
// in-process.
//
// Threads: Start and Serve on one thread; the clients' threads report
// through the output, the counters, the recorders and the script, each of
// which is fed by one client thread or locks for itself.
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "kvsim/Cli.h"
#include "kvsim/EventOutput.h"
#include "kvsim/FaultDriver.h"
#include "kvsim/Recording.h"
#include "kvsim/Replay.h"
#include "kvsim/ScriptRunner.h"
#include "kvsim/ServerHub.h"
#include "kvsim/SessionRecorder.h"
#include "kvsim/SimCounters.h"

namespace kv::sim {

// The program's exit codes.
inline constexpr int kExitHeld = 0;       // done; every script step held
inline constexpr int kExitFailed = 1;     // a script step failed
inline constexpr int kExitUsage = 2;      // bad options, script or recording
inline constexpr int kExitCannotRun = 3;  // a file could not be read or written, no listening

class TSimulator : private IFaultListener {
 public:
  TSimulator(TCliOptions options, std::ostream& out, std::ostream& err);
  ~TSimulator() override;
  TSimulator(const TSimulator&) = delete;
  TSimulator& operator=(const TSimulator&) = delete;

  // Reads the script or the recording, makes the record directory, listens
  // and writes the port file. kExitHeld when serving can begin; otherwise
  // the exit code, the reason printed.
  int Start();
  std::uint16_t Port() const { return hub_ ? hub_->Port() : 0; }
  // Runs the script, or the commands of `input` until quit, its end, or with
  // --once the end of the first connection; then stops and prints the
  // summary. The exit code.
  int Serve(std::istream& input);

 private:
  bool ReadFile(const std::string& name, const char* what, std::string& text);
  int PrepareRecording();
  TServerOptions ClientOptions(int client);
  void OnRecord(int client, const TReceivedRecord& record);
  void ServeInput(std::istream& input);
  bool FirstConnectionEnded() const;

  void FaultBegun(const TFaultEvent& event) override;
  void FaultEnded(const TFaultEvent& event) override;
  void ControlsComing(const TControlBatch&) override {}
  void ControlsSent(std::uint64_t, std::uint32_t) override {}

  TCliOptions options_;
  TEventOutput output_;
  std::vector<TRecordedMessage> recording_;
  std::vector<TSimCounters> counters_;  // client n's at n - 1, fed on its thread
  std::vector<std::unique_ptr<TSessionRecorder>> recorders_;
  std::unique_ptr<TScriptRunner> script_;
  TClientSet clients_;
  std::unique_ptr<TServerHub> hub_;
  std::unique_ptr<TFaultDriver> faults_;
  std::unique_ptr<TReplayDriver> replay_;
};

}  // namespace kv::sim
