#pragma once
// What the command-line server prints: one line per event on standard
// output, for people (a local time stamp, then the text Describe.h gives) or,
// with --json, one JSON object per line for programs (Json.h; every object
// has "ts", the local date-time, and "event", its kind). --quiet leaves the
// events out; a channel filter leaves out the registrations, values and
// controls of other channels. Errors and failed script expectations always
// go to standard error in plain English.
//
// Events: listening, connected, login, status-request, channel, value,
// skipped, protocol-error, disconnected, control, fault, fault-end, note,
// reply, expect-failed, script-end, summary.
//
// Threads: any; lines never interleave.
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kvsim/FaultDriver.h"
#include "kvsim/Json.h"
#include "kvsim/SimCounters.h"
#include "kvsim/SimState.h"
#include "runtime/ThreadSafety.h"

namespace kv::sim {

struct TOutputOptions {
  bool json = false;
  bool quiet = false;
  // Address patterns (Windows-1251; * any run, ? any one character, without
  // regard to case); empty: every channel.
  std::vector<std::string> channels;
  bool tagClients = false;  // human lines name the client ("[client 2]")
};

// Whether `addr` matches the pattern.
bool AddressMatches(const std::string& pattern, const std::string& addr);

class TEventOutput {
 public:
  TEventOutput(TOutputOptions options, std::ostream& out, std::ostream& err);
  // The time stamps' clock; the runtime's local now unless set (tests).
  void SetClock(std::function<TDateTime()> clock) { clock_ = std::move(clock); }
  bool Shows(const std::string& addr) const;
  bool Json() const { return options_.json; }

  void Listening(const std::string& host, std::uint16_t port, int clients);
  // A record of client `client`; `addr` is the channel's address where the
  // record names it by number.
  void Received(int client, const TReceivedRecord& record, const std::string& addr);
  void ControlSent(int client, std::uint32_t session, const TControl& control,
                   const std::string& addr);
  void FaultBegun(const TFaultEvent& event);
  void FaultEnded(const TFaultEvent& event);
  // Anything else worth a line: the fault mode's seed, the replay's progress.
  void Note(const std::string& text);
  // A command's answer; shown even when quiet, as it answers the user.
  void Reply(const std::string& text);
  void ScriptFailed(int line, const std::string& command, const std::string& why);
  void ScriptEnded(int held, int failed);
  void Summary(const TSimCounters& counters, bool faults);
  void Error(const std::string& text);

 private:
  TJsonObject Begin(std::string_view event, int client = 0) const;
  // Prints the human text (Windows-1251) or the JSON object.
  void Emit(const std::string& human, const TJsonObject& json, int client = 0, bool always = false);

  const TOutputOptions options_;
  std::function<TDateTime()> clock_;
  TMutex mutex_;
  std::ostream& out_ GUARDED_BY(mutex_);
  std::ostream& err_ GUARDED_BY(mutex_);
};

}  // namespace kv::sim
