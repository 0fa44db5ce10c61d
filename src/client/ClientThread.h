#pragma once
// TOpros2Thread: the client object. It holds the connection settings the host
// gave, the channel list, the queue of controls for the host and the two
// packet buffers, and runs the worker thread that does all network work:
// connect and log in, send the channels' registrations and changed values,
// read and dispatch the server's commands, test the link, and log.
//
// Ownership: the object owns everything it holds. The host's exports own the
// object; it is destroyed only after the worker thread has ended (WaitFor).
//
// Threads and locks:
//   - host threads: the Register* operations, PopControl, IsConnected,
//     Statistics, SetDebug;
//   - the worker thread: RunOnePass, every private method, the members
//     under "Worker thread only", and the log;
//   - the channel list is guarded by its own locks (a host's value call
//     takes none that the worker's send pass takes); the control queue by
//     its own lock; ClientID is atomic. Nothing else is shared. The worker
//     never holds a list lock while it writes to or waits on the socket.
//   - the settings are changed only before Resume; the debug switch
//     (SetDebug) may change at any time and holds from the next line.
//
// The worker sleeps until something needs it: the host's first new mark in
// the channel list (the list's pending hook), a control taken from a full
// queue, the socket readable (or writable again while bytes wait), a stop
// request, or the next deadline of its timing rules. While there is work it
// goes on without sleeping. Its waits go through the clock seam, so a test
// clock can drive them.
#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelList.h"
#include "client/CallResult.h"
#include "client/ClientTypes.h"
#include "client/ControlQueue.h"
#include "client/HistorySender.h"
#include "client/Log.h"
#include "client/ServerList.h"
#include "client/Statistics.h"
#include "platform/Socket.h"
#include "protocol/PacketBuffer.h"
#include "protocol/TcpClient.h"
#include "runtime/Calendar.h"
#include "runtime/Thread.h"
#include "runtime/Variant.h"
#include "values/TimeInterval.h"

namespace kv {

// The version this library reports to the server in its login request and
// in its log's start line: the version of the exchanges it speaks, which
// servers know it by. It stays 1.1 while releases add to the host's side
// (KVOPROS2_VERSION in kvopros2_version.h, c_GetVersion); it changes only
// with what a server sees.
inline constexpr std::uint8_t kLibraryVersionMajor = 1;
inline constexpr std::uint8_t kLibraryVersionMinor = 1;

struct TLoginReply;
struct TFrame;
namespace test {
class TWorkerProbe;
}

// Milliseconds left (by the clock seam's ticks) until `span` ms have passed
// since the tick `since`; 0 once they have.
std::uint32_t MillisecondsLeft(std::uint32_t since, std::uint64_t span);

class TOpros2Thread : public TThread {
 public:
  // Created suspended; `sockets` lets tests inject socket faults and must
  // outlive the object.
  explicit TOpros2Thread(ClientSettings settings = {},
                         platform::TSocketApi& sockets = platform::SystemSockets());
  // Asks the worker to end and waits for it, then frees everything.
  ~TOpros2Thread() override;

  // --- settings: changed only before Resume, read-only afterwards ---
  ClientSettings& Settings() { return settings_; }
  const ClientSettings& Settings() const { return settings_; }
  // The log writer, for a test sink (set before Resume).
  TLogWriter& Log() { return log_; }

  // --- host threads ---
  // True when taken; `why`, when given, receives the reason either way.
  bool RegisterChannel(const ChannelDeclaration& declaration, TCallResult* why = nullptr);
  bool RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                         const Variant& value, TCallResult* why = nullptr);
  bool RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                         const Variant& value, TCallResult* why = nullptr);
  // Removes and returns the oldest queued control; nothing when none waits.
  std::optional<ControlRequest> PopControl();
  // Acquire: a host that saw the client logged out then keeps its values
  // (the history's link went down before the client ID).
  bool IsConnected() const { return clientId_.load(std::memory_order_acquire) > 0; }
  std::int32_t ClientID() const { return clientId_.load(std::memory_order_relaxed); }
  TChannelList2& Channels() { return channels_; }
  std::size_t PendingControls();
  // The counters and, counted now under their locks, the gauges.
  ClientStatistics Statistics();
  // Switches the debug lines of the running client; the worker says so in
  // the log on its next pass. Until the first call the settings' DebugLog
  // decides.
  void SetDebug(bool on) noexcept;
  bool Debug() const {
    const int state = debugSwitch_.load(std::memory_order_relaxed);
    return state < 0 ? settings_.DebugLog : state != 0;
  }

  // --- worker thread ---
  // One pass of the worker loop: log in when not logged in, else send,
  // receive and test the link. False when it dropped the connection, so
  // the loop goes round again at once instead of waiting. Public so that a
  // test may drive the passes on its own thread, which is then the worker.
  bool RunOnePass();

 protected:
  void Execute() override;
  void TerminateRequested() noexcept override { wake_.Signal(); }

 private:
  // Tests, the receive fuzz target and the send benchmarks drive single
  // steps of the worker through it.
  friend class test::TWorkerProbe;

  // --- worker thread ---
  // The loop (ClientThread.cpp).
  void RunLoop();
  // At the end, while logged in: sends what the host marked before it
  // ended the client, for at most kFinalSendMs, so that nothing it handed
  // over is left behind by a server that reads.
  void SendBeforeLeaving();
  // Sleeps until something needs the worker; returns at once while there
  // is work.
  void WaitForWork();
  // Waits up to `milliseconds` (of the clock seam) for the socket to be
  // ready as asked (PollFor{}: not watched), a signal or a stop request.
  void Await(platform::PollFor what, std::uint32_t milliseconds);
  // Milliseconds until the next due check of each timing rule (0: due).
  std::uint32_t LinkTestDue() const;
  // Silence after which a pending status request counts as unanswered.
  std::uint64_t StatusAnswerLimitMs() const;
  std::uint32_t IncompleteDue();
  std::uint32_t NextAttemptDue() const;
  // The list's pending hook: the host marked the first channel.
  static void WakeOnPending(void* self) noexcept;
  // Writes the line of a debug switch the host made since the last pass.
  void NoteDebugSwitch();
  // The link test: asks for the server's status after a silence; false when
  // the answer did not come in time or the request could not be written.
  bool KVTest();
  // Closes the connection and forgets the login (buffers cleared).
  void Disconnect();
  // Disconnect, and the next attempt starts at the main server.
  void DropConnection();

  // Connecting and logging in (Login.cpp).
  // One attempt at the next server that may be tried; true when it logged
  // in (or the server gave the client ID 0).
  bool KVConnect();
  // Takes the host text apart into the servers to use, once; the ERROR
  // line for entries left out goes to the log then.
  void PrepareServers();
  void LogIn(std::size_t server, std::uint32_t& loginStart, std::int32_t& replyBytes);
  // Resolves the server's name and connects to its addresses in turn;
  // raises the TCP error of the last one when none answered.
  void ConnectTo(const ServerEntry& server);
  // Waits for a started connection; false (with the error set) when it
  // failed or did not complete within the time-out.
  bool WaitForConnection();
  void WriteLoginRequest(const std::uint8_t* request);
  void LogLogin(const TLoginReply& reply, std::uint32_t loginStart, std::int32_t replyBytes);

  // The send pass (Send.cpp).
  // It stops adding records once the send buffer holds this many bytes; the
  // rest go out with the next passes.
  static constexpr std::int32_t kSendBufferSoftLimit = 4 * 1024 * 1024;
  void KVProcessSend();
  // Appends the records of one channel's send work; their failures and,
  // with `debug`, the debug lines go to `lines`.
  void SendSnapshot(const TSendSnapshot& item, bool debug, std::vector<std::string>& lines);
  // Writes what the send buffer holds without waiting: the socket takes
  // what it can and the rest waits for the next pass. False when it
  // reported a write error (once per episode; a connection the server
  // aborted, or one whose writes made no progress for the write time-out,
  // is dropped as well).
  bool FlushSend();
  enum class TWrite { Done, Waiting, Failed };
  TWrite WriteQueued();
  // After a login: every channel is registered and its value sent again.
  void NeedRegisterAllChannels();

  // The receive pass (Receive.cpp).
  enum class TReceiveResult { ServerGone, Handled, Nothing };
  // Reads what arrived and handles every whole message in it.
  TReceiveResult ProcessReceive();
  void LogReadFailure();
  // A message that cannot be skipped (an unknown id, a bad length word):
  // its line and first bytes go to the log, and the connection is dropped.
  void DropOnBadFrame(const TFrame& frame);
  void Incomplete(std::uint8_t id);
  bool HandleFixed(std::uint8_t id, std::int32_t size);
  void RunParser2(std::uint8_t id);
  void ParseControl();
  void ParseChannelChange();
  // Writes the line of an overflow of the control queue once it has ended.
  void EndControlOverflow(bool workerEnds);
  void SetServerTime(TDateTime serverTime);

  ClientSettings settings_;
  TLogWriter log_;
  // Wakes the worker's waits; outlives the channel list, whose hook signals it.
  platform::TWakeEvent wake_;
  // Set while the worker sleeps with nothing pending: only then does the
  // host's first mark signal (a busy worker finds the marks by itself, and
  // the host saves the system call).
  std::atomic<bool> idle_{false};
  TChannelList2 channels_;

  TControlQueue controls_{settings_.MaxWaitingControls};  // host and worker, under its own lock

  std::atomic<std::int32_t> clientId_{-1};
  TClientCounters counters_;  // atomics; see Statistics.h
  // -1 until the host switches debugging, then 0 or 1.
  std::atomic<int> debugSwitch_{-1};

  // Worker thread only.
  int debugSwitchSeen_ = -1;  // the switch as the log last told it
  std::uint8_t serverVersionMajor_ = 0;
  std::uint8_t serverVersionMinor_ = 0;
  TTCPClient tcp_;
  TKavrelCmdParser recvBuffer_;
  TKavrelCmdParser sendBuffer_;
  std::deque<TSendSnapshot> sendBatch_;  // the send pass's copies, kept for their storage
  TServerList servers_;                  // empty until the first attempt (or the start)
  std::uint32_t lastActivityTick_ = 0;
  bool incompleteWaiting_ = false;
  TTimeInterval incompleteTimer_;
  bool statusRequestPending_ = false;
  // The send buffer holds bytes the socket refused: the worker has to wait
  // for it to become writable, but no longer than the write time-out after
  // writeProgressTick_, when it last took some (or when the wait began).
  bool writeWaiting_ = false;
  std::uint32_t writeProgressTick_ = 0;
  bool writeErrorLogged_ = false;  // this wait's write error is in the log
  // What the last refused write leaves the worker to wait for: nothing (the
  // socket took part and may take more), writability (it would block), or
  // a short pause (an error that no readiness will announce).
  enum class TWriteWait { None, Writable, Pause };
  TWriteWait writeWait_ = TWriteWait::None;
  // When the last logged-in pass began (real microseconds) and what the
  // socket had taken by then: how much it wrote decides the next wait.
  std::uint64_t passStart_ = 0;
  std::int32_t bytesSentAtPassStart_ = 0;
  THistorySender historySender_;  // kept values on their way
};

}  // namespace kv
