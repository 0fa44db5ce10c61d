#pragma once
// TFaultDriver: the test server's fault mode. A thread of its own follows a
// seeded plan (FaultPlan.h): it lets each logged-in connection live a
// while, trickling numbered controls to the channels the client has sent
// values for (those are active on the client for certain), then injects the
// next fault through the server's public calls and waits for the client's
// answer to it: closing, reconnecting, logging in again. It tells a
// listener what it did, so that a soak can account for every control.
//
// What the client must do, and is marked as failed when it does not:
//   close           close its side after reading everything the server sent
//   stall           give up the connection (after its network time-out)
//   unknown         drop the connection
//   late-login      log in again after the reconnection
//   refused-login   log in again after its minute's wait
//   link-test       ask for the status after a silent minute; drop the link
//                   when no answer comes, keep it when one does
// A client that may fail over to another server (loggedInElsewhere) may
// answer late-login and refused-login with a login there instead.
//
// Threads: Start, Stop and Figures from one controlling thread; the
// listener is called on the driver's thread. The server must outlive the
// driver; Stop (or the destructor) puts the server's behaviour back.
#include <array>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvsim/FaultPlan.h"
#include "runtime/ThreadSafety.h"
#include "kvsim/KavrelServer.h"

namespace kv::sim {

// Control n carries n as its value (in the channel's type: a number, or its
// decimal text), the time kControlEpoch + n milliseconds and the quality
// n & 0xFF; it names its channel by number when n is odd and the channel
// has one, otherwise by address.
inline constexpr TDateTime kControlEpoch = 45809.0;  // 2025-06-01 00:00
// How long beyond its time-out a client may still hold a connection whose
// server stopped reading before the stall counts as failed. The client can
// only tell once the socket takes no more, after the system's buffers
// filled: how long that takes depends on how fast its hosts hand over
// values, which a busy machine (or wine) slows down several seconds.
inline constexpr std::chrono::seconds kStallSlack{15};
struct TControlTarget {
  std::string addr;
  std::uint32_t number = 0;
  std::uint16_t type = 0;
};
TControl NumberedControl(std::uint64_t n, const TControlTarget& target);
// Types a control number converts to exactly: Int4, UInt4, Float4, Float8, String.
bool TakesControlNumbers(std::uint16_t type);

struct TFaultOptions {
  std::uint64_t seed = 1;
  TPlanOptions plan;
  // How the server answers logins and registrations outside the faults
  // (the CLI's options).
  TLoginBehaviour login;
  TActivation activation = TActivation::Immediate;
  int trickleMax = 3;  // up to this many controls every trickle step
  std::chrono::milliseconds trickleEvery{50};
  // The number of the first control: drivers of several servers that one
  // client talks to number theirs apart.
  std::uint64_t firstControl = 1;
  // For a client that knows other servers too and may log in at one of
  // them instead of coming back here: true while it is logged in at
  // another. A fault that waits for a login here then also ends well with
  // one there. Called on the driver's thread, outside this server's lock.
  std::function<bool()> loggedInElsewhere;
};

struct TFaultEvent {
  TFaultStep step;
  std::uint32_t session = 0;  // the connection it hit
  std::string outcome;        // ended: what happened
  bool failed = false;        // ended: the client did not do what it must
};

// Controls first .. first + count - 1, control n for the channel
// targets[n % targets.size()].
using TTargets = std::shared_ptr<const std::vector<TControlTarget>>;
struct TControlBatch {
  std::uint64_t first = 0;
  std::uint32_t count = 0;
  TTargets targets;
};

// Controls are announced before they go out (a host may take them before
// the send returns) and placed afterwards.
class IFaultListener {
 public:
  virtual ~IFaultListener() = default;
  virtual void FaultBegun(const TFaultEvent& event) = 0;
  virtual void FaultEnded(const TFaultEvent& event) = 0;
  virtual void ControlsComing(const TControlBatch& batch) = 0;
  // The batch beginning with `first` went out on `session`; 0: it did not
  // go out (or its fate is unknown: the send did not end in time).
  virtual void ControlsSent(std::uint64_t first, std::uint32_t session) = 0;
};

struct TFaultFigures {
  std::array<int, kFaultKinds> injected{};
  std::array<int, kFaultKinds> failed{};
  std::uint64_t controls = 0;  // controls that went out
};

class TFaultDriver {
 public:
  TFaultDriver(TKavrelServer& server, TFaultOptions options, IFaultListener* listener = nullptr);
  ~TFaultDriver();
  TFaultDriver(const TFaultDriver&) = delete;
  TFaultDriver& operator=(const TFaultDriver&) = delete;

  void Start();
  // Ends the fault under way, puts the server's behaviour back and ends the
  // thread. Safe to call twice.
  void Stop();
  TFaultFigures Figures() const;

 private:
  using Duration = std::chrono::milliseconds;
  using TCondition = std::function<bool(const TServerView&)>;

  void Run();
  bool Stopping() const { return stopping_.load(); }
  // Waits until `condition` holds, in short slices; false on time-out or Stop.
  bool Await(const TCondition& condition, Duration limit);
  bool Pause(Duration time);
  bool LoggedIn(const TServerView& view) const;
  bool Calm(std::int64_t ms);
  void Restore();

  void Inject(const TFaultStep& step, TFaultEvent& event);
  void FinishAndWait(TFaultEvent& event);
  void Stall(TFaultEvent& event);
  void SlowReader(const TFaultStep& step, TFaultEvent& event);
  void SendBatch(const TFaultStep& step, bool split);
  void UnknownStructure(const TFaultStep& step, TFaultEvent& event);
  void ControlBurst(const TFaultStep& step);
  void DelayedLogin(const TFaultStep& step, TFaultEvent& event);
  void RefusedLogin(const TFaultStep& step, TFaultEvent& event);
  void LinkTest(const TFaultStep& step, TFaultEvent& event);
  // Waits for the end of the connection that had `session`; its end, or
  // None when it lasted past `limit` (or Stop came).
  TSessionEnd AwaitEnd(std::uint32_t session, Duration limit);
  bool AwaitGoodLogin(std::uint32_t after, Duration limit, bool& elsewhere);
  // Await, ended also by a login at another server (`elsewhere` set then).
  bool AwaitLogin(const TCondition& here, Duration limit, bool& elsewhere);
  void Fail(TFaultEvent& event, const std::string& why);

  // The channels to control; the same object while they stay the same.
  TTargets Targets();
  // Announces `count` controls numbered from the next number on and gives
  // their bytes.
  std::string Controls(std::size_t count, const TTargets& targets);
  void Announce(std::uint64_t first, std::size_t count, const TTargets& targets);
  void Placed(std::uint64_t first, std::size_t count, std::uint32_t session);
  void Trickle();

  TKavrelServer& server_;
  const TFaultOptions options_;
  IFaultListener* const listener_;
  const Duration timeout_;

  // Driver thread only.
  TFaultPlan plan_;
  TRandom random_;
  std::uint64_t nextControl_ = 1;
  TTargets targets_;
  std::uint32_t badLoginSession_ = 0;  // the last connection whose login failed on purpose

  std::thread thread_;
  std::atomic<bool> stopping_{false};
  TMutex wakeMutex_;
  std::condition_variable wake_;

  mutable TMutex figuresMutex_;
  TFaultFigures figures_ GUARDED_BY(figuresMutex_);
};

}  // namespace kv::sim
