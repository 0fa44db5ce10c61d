#pragma once
// TKavrelServer: a Kavrel monitoring server for tests, the demo and host
// integrators. It listens on one address, serves one client connection at a
// time on its own thread, answers logins, status requests and channel
// registrations as configured (see SimDispatch.h), records everything it
// receives, and sends whatever a test asks for: controls, channel changes,
// server time, notices, any structure or raw bytes, bytes in pieces, and
// faults (closing, resetting, finishing, no longer reading, reading slowly,
// answering the login late). FaultDriver.h drives these at random. Built
// without a listener of its own, it serves the connections a TServerHub
// hands it: one client of several, with its own view.
//
// Threads. The server thread alone touches the sockets and the receive
// buffer. Every public call may come from any other thread: configuration
// and state are guarded by one mutex (`mutex_`); injections are queued to the
// server thread and the caller waits, with a bound, until they were carried
// out. Waits measure real time (steady clock), never the library's clock
// seam, so a test may drive the client's clock while the server runs.
// Stop() (and the destructor) ends the thread and closes every socket.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kvsim/SimDispatch.h"
#include "kvsim/SimRecords.h"
#include "kvsim/SimSocket.h"
#include "kvsim/SimState.h"
#include "platform/Socket.h"
#include "runtime/ThreadSafety.h"

namespace kv::sim {

struct TServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 3000;  // 0: an ephemeral port, see Port()
  TProtocolOptions protocol;
  std::uint32_t firstNumber = 1;  // number of the first registered channel
  int receiveBufferBytes = 0;     // > 0: receive buffer of accepted sockets
  int sendTimeoutMs = 5000;       // a send the client does not drain fails after this
  std::size_t maxRecords = 0;     // > 0: older records are forgotten beyond this
  // Called on the server thread with every byte string the server is about
  // to send and the connection it goes to (SessionRecorder.h keeps them).
  std::function<void(std::uint32_t session, const std::string& bytes)> transcript;
  // The same for every piece of bytes received, as it arrived.
  std::function<void(std::uint32_t session, const std::string& bytes)> received;
  // false: no listener; connections come through Adopt (TServerHub).
  bool listen = true;
};

// What a wait condition sees, under the server's lock. The condition must
// not call the server.
struct TServerView {
  bool connected;
  const TSimState& state;
};

class TKavrelServer {
 public:
  using Duration = std::chrono::milliseconds;
  using TObserver = std::function<void(const TReceivedRecord&)>;

  explicit TKavrelServer(TServerOptions options = {},
                         platform::TSocketApi& api = platform::SystemSockets());
  ~TKavrelServer();
  TKavrelServer(const TKavrelServer&) = delete;
  TKavrelServer& operator=(const TKavrelServer&) = delete;

  // Listens and starts the server thread; false with LastError() when the
  // address cannot be bound. Only once per object.
  bool Start();
  // Ends the thread (within a few tens of milliseconds) and closes the
  // sockets. Safe to call twice.
  void Stop();
  std::uint16_t Port() const;
  int LastError() const;
  // Called on the server thread for every record, in order, outside the
  // lock. Set it before Start. It may inspect the server but must not
  // inject or wait: the server thread would wait for itself.
  void SetObserver(TObserver observer);
  // A server without a listener: serves `peer` as its next connection.
  // False (and `peer` is closed) while it has one or one is waiting.
  bool Adopt(std::unique_ptr<TSimSocket> peer);
  // Neither connected nor holding a connection to adopt.
  bool Idle() const;

  // --- behaviour, changeable at any time ---
  void SetLoginBehaviour(const TLoginBehaviour& login);
  void SetAnswerStatus(bool answer);
  void SetActivation(TActivation activation, Duration delay = Duration{0});
  // While off, the server reads nothing from the client. A connection that
  // arrives meanwhile ends the current one (TSessionEnd::ClientGone): a
  // client that gave up on a server that stopped reading connects again.
  void SetReading(bool reading);
  // Reads at most `maxBytes` at a time and waits `pause` after each read;
  // 0 bytes: as much as one read takes, no pause.
  void SetReadPace(std::size_t maxBytes, Duration pause);

  // --- inspection (copies) ---
  bool Connected() const;
  // The current or last connection, counted from 1; 0 before the first.
  std::uint32_t Session() const;
  std::vector<TReceivedRecord> Records() const;
  std::vector<TReceivedRecord> Records(TRecordKind kind) const;
  std::vector<TSimChannel> Channels() const;
  std::optional<TSimChannel> Channel(const std::string& addr) const;
  std::optional<TSimChannel> ChannelByNumber(std::uint32_t number) const;

  // --- waits; true when the condition held within `limit` ---
  bool WaitFor(const std::function<bool(const TServerView&)>& condition, Duration limit);
  bool WaitForConnection(Duration limit);
  // Until `count` logins have arrived since the start.
  bool WaitForLogins(int count, Duration limit);
  bool WaitForRegistration(const std::string& addr, Duration limit);
  // Until the channel has received at least `count` values since the start.
  bool WaitForValues(const std::string& addr, int count, Duration limit);
  // Until at least `count` records of `kind` have been kept.
  bool WaitForRecords(TRecordKind kind, std::size_t count, Duration limit);

  // --- injections: true when every byte went out; false without a
  // connection, when a send failed (the connection is then reset), or when
  // the server thread had not finished within the send time-out and a
  // little more (the action may still complete later). Encoding errors
  // raise kv::Exception before anything is sent. Where `session` is given
  // it receives the connection the bytes went to, 0 when none went out. ---
  bool SendControl(const TControl& control);
  bool SendChannelChange(const TChannelChange& change);
  bool SendServerTime(TDateTime serverTime, std::int16_t bias);
  bool SendChannelNotice(std::uint8_t flags, TDateTime when, std::int32_t id);
  bool SendStatusReply(std::uint8_t answeredId);
  // A fixed-size structure of zeros with this id: StructSize(id) bytes, or
  // the id byte alone for an id without a size.
  bool SendStructure(std::uint8_t id);
  // A variable-length command: the id, the length word, then `body`.
  bool SendCommand(std::uint8_t id, const std::string& body);
  bool SendRaw(std::string bytes, std::uint32_t* session = nullptr);
  // `bytes` in writes of `pieceSize` bytes with `pause` after each but the last.
  bool SendInPieces(std::string bytes, std::size_t pieceSize, Duration pause,
                    std::uint32_t* session = nullptr);
  // `count` bytes that begin with an id no message has (255), then a fixed
  // pseudo-random sequence.
  bool SendGarbage(std::size_t count);
  // Ends the connection gracefully / with a reset. False when none is open.
  bool Drop();
  bool Reset();
  // The gentlest end: no more sends, then reading on (what arrives is
  // recorded, nothing is answered) until the client, having read everything,
  // closes (TSessionEnd::ServerFinished); after `limit` it is reset. Returns
  // once sending has ended; no injection is taken after it.
  bool Finish(Duration limit);

 private:
  struct TAction;
  using TClock = std::chrono::steady_clock;

  bool Perform(std::shared_ptr<TAction> action, Duration limit, std::uint32_t* session = nullptr);
  void Run();
  void AcceptOne();
  void ServeOnce();
  bool ReplyStillWaiting();
  void RunActions();
  void Execute(TAction& action);
  void SendDueActivations();
  void ReceiveOnce(std::size_t maxBytes);
  void WaitSlice(Duration slice);
  bool Transmit(const std::string& bytes);
  void EndSession(const std::string& why, TSessionEnd end);
  void Record(TReceivedRecord record);
  void Notify(std::uint64_t addedBefore);

  // Constant after construction / Start.
  platform::TSocketApi& api_;
  const TServerOptions options_;
  bool started_ = false;
  bool socketsStarted_ = false;
  TObserver observer_;

  // Server thread only.
  TSimSocket listener_;
  std::unique_ptr<TSimSocket> peer_;
  TKavrelCmdParser received_;
  std::vector<std::pair<TClock::time_point, TChannelChange>> delayed_;
  struct TWaitingReply {
    TClock::time_point due;
    std::string bytes;
    bool wholeLogin = false;
  };
  std::optional<TWaitingReply> waitingReply_;
  TClock::time_point finishDeadline_;
  std::uint32_t session_ = 0;  // a copy of the session count for this thread
  std::thread thread_;

  mutable TMutex mutex_;
  std::condition_variable changed_;
  TProtocolOptions protocol_ GUARDED_BY(mutex_);
  TSimState state_ GUARDED_BY(mutex_);
  bool connected_ GUARDED_BY(mutex_) = false;
  bool reading_ GUARDED_BY(mutex_) = true;
  std::size_t readLimit_ GUARDED_BY(mutex_) = 0;
  Duration readPause_ GUARDED_BY(mutex_) = Duration{0};
  bool finishing_ GUARDED_BY(mutex_) = false;  // Finish() ended the sending side
  bool stopping_ GUARDED_BY(mutex_) = false;
  int lastError_ GUARDED_BY(mutex_) = 0;
  std::uint16_t port_ GUARDED_BY(mutex_) = 0;
  std::deque<std::shared_ptr<TAction>> actions_ GUARDED_BY(mutex_);
  std::unique_ptr<TSimSocket> adopted_ GUARDED_BY(mutex_);
};

}  // namespace kv::sim
