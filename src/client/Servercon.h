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
//   - host threads: the Register* operations, PopControl, IsConnected;
//   - the worker thread: everything under "worker thread only", and the log;
//   - the channel list is guarded by its own locks (a host's value call
//     takes none that the worker's send pass takes); the control queue by
//     controlLock_; ClientID is atomic. Nothing else is shared. The worker
//     never holds a list lock while it writes to or waits on the socket.
//   - the settings are changed only before Resume.
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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/Channellist.h"
#include "client/ClientTypes.h"
#include "client/Log.h"
#include "client/Statistics.h"
#include "kvopros2_version.h"
#include "platform/Socket.h"
#include "protocol/Kvbuffer.h"
#include "protocol/Tcp.h"
#include "runtime/Calendar.h"
#include "runtime/Thread.h"
#include "runtime/ThreadSafety.h"
#include "runtime/Variant.h"
#include "values/Timeinterval.h"

namespace kv {

// The version this library reports to the server and in its log: the
// project's, made into kvopros2_version.h by the build.
inline constexpr std::uint8_t kLibraryVersionMajor = KVOPROS2_VERSION_MAJOR;
inline constexpr std::uint8_t kLibraryVersionMinor = KVOPROS2_VERSION_MINOR;
static_assert(KVOPROS2_VERSION_MAJOR <= 255 && KVOPROS2_VERSION_MINOR <= 255,
              "the login request carries each number in one byte");

struct TLoginReply;

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
  bool RegisterChannel(const ChannelDeclaration& declaration);
  bool RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                         const Variant& value);
  bool RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                         const Variant& value);
  // Removes and returns the oldest queued control; nothing when none waits.
  std::optional<ControlRequest> PopControl();
  bool IsConnected() const { return clientId_.load(std::memory_order_relaxed) > 0; }
  std::int32_t ClientID() const { return clientId_.load(std::memory_order_relaxed); }
  TChannelList2& Channels() { return channels_; }
  std::size_t PendingControls();
  // The counters and, counted now under their locks, the gauges.
  ClientStatistics Statistics();

  // --- worker thread only (public for tests that drive single passes) ---
  // One pass of the worker loop: log in when not logged in, else send,
  // receive and test the link. False when it dropped the connection, so
  // the loop goes round again at once instead of waiting.
  bool RunOnePass();
  bool KVConnect();
  bool KVTest();
  void Disconnect();
  void DropConnection();
  void KVProcessSend();
  // Writes what SendBuffer holds without waiting: the socket takes what it
  // can and the rest waits for the next pass. False when it reported a write
  // error (once per episode; a connection the server aborted, or one whose
  // writes made no progress for Timeout seconds, is dropped as well).
  bool FlushSend();
  void NeedRegisterAllChannels();
  // 0 the server is gone, 1 something was handled, 2 nothing was handled.
  int ProcessReceive();
  void RunParser2(std::uint8_t id);
  void SetServerTime(TDateTime serverTime);
  std::uint8_t ServerVersionMajor() const { return serverVersionMajor_; }
  std::uint8_t ServerVersionMinor() const { return serverVersionMinor_; }
  bool StatusRequestPending() const { return statusRequestPending_; }
  TTCPClient& TcpClient() { return tcp_; }
  TKavrelCmdParser& SendBuffer() { return sendBuffer_; }
  TKavrelCmdParser& RecvBuffer() { return recvBuffer_; }

  // The send pass stops adding records once the send buffer holds this many
  // bytes; the rest go out with the next passes.
  static constexpr std::int32_t kSendBufferSoftLimit = 4 * 1024 * 1024;

 protected:
  void Execute() override;
  void TerminateRequested() noexcept override { wake_.Signal(); }

 private:
  void RunLoop();
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
  void LogIn(std::uint32_t& loginStart, std::int32_t& replyBytes);
  void WaitForConnection();
  void LogLogin(const TLoginReply& reply, std::uint32_t loginStart, std::int32_t replyBytes);
  bool HandleFixed(std::uint8_t id, std::int32_t size);
  void Incomplete(std::uint8_t id);
  void DropOnBadFrame(std::string_view format, std::uint8_t id);
  void ParseControl();
  void ParseChannelChange();
  // Ends an overflow of the control queue with its one line, once the host
  // has made room or when the worker ends.
  void EndControlOverflow(bool workerEnds);
  // Appends the records of one channel's send work; their failures and the
  // debug lines go to `lines`.
  void SendSnapshot(const TSendSnapshot& item, std::vector<std::string>& lines);
  enum class TWrite { Done, Waiting, Failed };
  TWrite WriteQueued();
  void WriteLoginRequest(const std::uint8_t* request);
  void LogReadFailure();

  ClientSettings settings_;
  TLogWriter log_;
  // Wakes the worker's waits; outlives the channel list, whose hook signals it.
  platform::TWakeEvent wake_;
  // Set while the worker sleeps with nothing pending: only then does the
  // host's first mark signal (a busy worker finds the marks by itself, and
  // the host saves the system call).
  std::atomic<bool> idle_{false};
  TChannelList2 channels_;

  TMutex controlLock_;
  std::deque<ControlRequest> controls_ GUARDED_BY(controlLock_);

  std::atomic<std::int32_t> clientId_{-1};
  TClientCounters counters_;  // atomics; see Statistics.h

  // Worker thread only.
  std::uint8_t serverVersionMajor_ = 0;
  std::uint8_t serverVersionMinor_ = 0;
  TTCPClient tcp_;
  TKavrelCmdParser recvBuffer_;
  TKavrelCmdParser sendBuffer_;
  std::deque<TSendSnapshot> sendBatch_;  // the send pass's copies, kept for their storage
  std::uint32_t lastLoginTick_ = 0;
  bool loginSent_ = false;      // lastLoginTick_ holds the time of a sent request
  bool connectFailed_ = false;  // the last attempt found no TCP connection
  std::uint32_t connectFailTick_ = 0;
  std::int32_t connectAttempts_ = 0;
  std::uint32_t lastActivityTick_ = 0;
  bool incompleteWaiting_ = false;
  TTimeInterval incompleteTimer_;
  bool statusRequestPending_ = false;
  // SendBuffer holds bytes the socket refused: the worker has to wait for it
  // to become writable, but no longer than Timeout seconds after
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
  unsigned long refusedControls_ = 0;  // in the current overflow of the control queue
};

}  // namespace kv
