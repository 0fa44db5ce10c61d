#pragma once
// TReplayDriver: plays the server's side of a recording (Recording.h) to
// every client that connects, one connection after the other. The server
// answers nothing by itself meanwhile (PassiveProtocol): the login reply,
// the channel changes and everything else come from the recording. Each
// message the server sent goes out once the client has sent as many messages
// on this connection as it had before that point of the recording (waiting
// at most `patience`, then going on with a note), and no sooner than its
// recorded time after the connection's start, shifted by whatever the
// client took longer than recorded. What the client sends is received,
// printed and checked as always.
//
// Threads: Start and Stop from one controlling thread; the driver's own
// thread plays, through the server's public calls; `note` is called on it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kvsim/KavrelServer.h"
#include "kvsim/Recording.h"

namespace kv::sim {

// Login, status requests and registrations go unanswered.
TProtocolOptions PassiveProtocol(TProtocolOptions options);

class TReplayDriver {
 public:
  using Duration = std::chrono::milliseconds;

  TReplayDriver(TKavrelServer& server, std::vector<TRecordedMessage> recording,
                std::function<void(const std::string&)> note, Duration patience = Duration(10000));
  ~TReplayDriver();
  TReplayDriver(const TReplayDriver&) = delete;
  TReplayDriver& operator=(const TReplayDriver&) = delete;

  void Start();
  void Stop();

 private:
  void Run();
  void Play(std::uint32_t session);
  // Waits until the client sent `count` messages on `session`; false when
  // the connection ended (or Stop came) first. `reached` tells whether the
  // count came within the patience.
  bool AwaitMessages(std::uint32_t session, std::uint64_t count, bool& reached);
  bool SleepUntil(std::chrono::steady_clock::time_point when);

  TKavrelServer& server_;
  const std::vector<TRecordedMessage> recording_;
  const std::function<void(const std::string&)> note_;
  const Duration patience_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace kv::sim
