#include "kvsim/KavrelServer.h"

#include <algorithm>

#include "protocol/CommandCatalogue.h"

namespace kv::sim {
namespace {

// How long one pass of the server thread waits for the socket; bounds the
// delay of injections, delayed activations and Stop().
constexpr int kSliceMs = 10;
// Extra time an injection waits for the server thread beyond its sends.
constexpr auto kActionSlack = std::chrono::milliseconds(2000);

constexpr const char* kClosedByClient = "closed by the client";
constexpr const char* kFinished = "finished by the server, then closed by the client";
constexpr const char* kNotFinished = "finished by the server, reset as the client did not close";
constexpr const char* kAbandoned =
    "given up by the client: it connected again while the server was not reading";
constexpr const char* kClosedAfterError = "closed by the server after a protocol error";
constexpr const char* kClosedAtLogin = "closed by the server instead of a login reply";
constexpr const char* kDropped = "closed by the server";
constexpr const char* kReset = "reset by the server";
constexpr const char* kStopped = "server stopped";
constexpr const char* kReceiveFailed = "receive failed, error ";
constexpr const char* kSendFailed = "send failed, error ";
constexpr const char* kInternalError = "server error: ";

}  // namespace

struct TKavrelServer::TAction {
  enum class TKind { Send, Drop, Reset, Finish };
  TKind kind = TKind::Send;
  std::string bytes;
  std::size_t pieceSize = 0;  // 0: one write
  Duration pause{0};          // Finish: how long the client may take to close
  bool done = false;
  bool ok = false;
  std::uint32_t session = 0;  // where it was carried out
};

TKavrelServer::TKavrelServer(TServerOptions options, platform::TSocketApi& api)
    : api_(api),
      options_(std::move(options)),
      listener_(api),
      received_(),
      protocol_(options_.protocol),
      state_(options_.firstNumber, options_.maxRecords) {
  socketsStarted_ = !api_.Startup().Failed();
}

TKavrelServer::~TKavrelServer() {
  Stop();
  if (socketsStarted_) api_.Cleanup();
}

bool TKavrelServer::Start() {
  if (started_) return false;
  started_ = true;
  const int error =
      options_.listen ? listener_.Listen(options_.host, options_.port, options_.receiveBufferBytes)
                      : 0;
  TLockGuard lock(mutex_);
  lastError_ = error;
  if (error != 0) return false;
  if (options_.listen) port_ = listener_.LocalPort();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TKavrelServer::Stop() {
  {
    TLockGuard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::uint16_t TKavrelServer::Port() const {
  TLockGuard lock(mutex_);
  return port_;
}

int TKavrelServer::LastError() const {
  TLockGuard lock(mutex_);
  return lastError_;
}

void TKavrelServer::SetObserver(TObserver observer) { observer_ = std::move(observer); }

bool TKavrelServer::Adopt(std::unique_ptr<TSimSocket> peer) {
  {
    TLockGuard lock(mutex_);
    if (connected_ || adopted_ != nullptr || stopping_) return false;
    adopted_ = std::move(peer);
  }
  changed_.notify_all();
  return true;
}

bool TKavrelServer::Idle() const {
  TLockGuard lock(mutex_);
  return !connected_ && adopted_ == nullptr;
}

void TKavrelServer::SetLoginBehaviour(const TLoginBehaviour& login) {
  TLockGuard lock(mutex_);
  protocol_.login = login;
}

void TKavrelServer::SetAnswerStatus(bool answer) {
  TLockGuard lock(mutex_);
  protocol_.answerStatus = answer;
}

void TKavrelServer::SetActivation(TActivation activation, Duration delay) {
  TLockGuard lock(mutex_);
  protocol_.activation = activation;
  protocol_.activationDelay = delay;
}

void TKavrelServer::SetReading(bool reading) {
  {
    TLockGuard lock(mutex_);
    reading_ = reading;
  }
  changed_.notify_all();
}

void TKavrelServer::SetReadPace(std::size_t maxBytes, Duration pause) {
  TLockGuard lock(mutex_);
  readLimit_ = maxBytes;
  readPause_ = maxBytes > 0 ? pause : Duration{0};
}

// ---------------------------------------------------------------------------
// Inspection and waits

bool TKavrelServer::Connected() const {
  TLockGuard lock(mutex_);
  return connected_;
}

std::uint32_t TKavrelServer::Session() const {
  TLockGuard lock(mutex_);
  return static_cast<std::uint32_t>(state_.Sessions());
}

std::vector<TReceivedRecord> TKavrelServer::Records() const {
  TLockGuard lock(mutex_);
  return state_.Records();
}

std::vector<TReceivedRecord> TKavrelServer::Records(TRecordKind kind) const {
  TLockGuard lock(mutex_);
  std::vector<TReceivedRecord> out;
  for (const TReceivedRecord& record : state_.Records())
    if (record.kind == kind) out.push_back(record);
  return out;
}

std::vector<TSimChannel> TKavrelServer::Channels() const {
  TLockGuard lock(mutex_);
  return state_.Channels();
}

std::optional<TSimChannel> TKavrelServer::Channel(const std::string& addr) const {
  TLockGuard lock(mutex_);
  if (const TSimChannel* channel = state_.Find(addr)) return *channel;
  return std::nullopt;
}

std::optional<TSimChannel> TKavrelServer::ChannelByNumber(std::uint32_t number) const {
  TLockGuard lock(mutex_);
  if (const TSimChannel* channel = state_.FindNumber(number)) return *channel;
  return std::nullopt;
}

bool TKavrelServer::WaitFor(const std::function<bool(const TServerView&)>& condition,
                            Duration limit) {
  TUniqueLock lock(mutex_);
  return lock.WaitFor(changed_, limit, [&]() REQUIRES(mutex_) {
    return condition(TServerView{connected_, state_});
  });
}

bool TKavrelServer::WaitForConnection(Duration limit) {
  return WaitFor([](const TServerView& v) { return v.connected; }, limit);
}

bool TKavrelServer::WaitForLogins(int count, Duration limit) {
  return WaitFor([count](const TServerView& v) { return v.state.Logins() >= count; }, limit);
}

bool TKavrelServer::WaitForRegistration(const std::string& addr, Duration limit) {
  return WaitFor(
      [&addr](const TServerView& v) {
        const TSimChannel* channel = v.state.Find(addr);
        return channel != nullptr && channel->registrations > 0;
      },
      limit);
}

bool TKavrelServer::WaitForValues(const std::string& addr, int count, Duration limit) {
  return WaitFor(
      [&](const TServerView& v) {
        const TSimChannel* channel = v.state.Find(addr);
        return channel != nullptr && channel->values >= count;
      },
      limit);
}

bool TKavrelServer::WaitForRecords(TRecordKind kind, std::size_t count, Duration limit) {
  return WaitFor(
      [&](const TServerView& v) {
        const auto& records = v.state.Records();
        return static_cast<std::size_t>(std::count_if(
                   records.begin(), records.end(),
                   [&](const TReceivedRecord& r) { return r.kind == kind; })) >= count;
      },
      limit);
}

// ---------------------------------------------------------------------------
// Injections

bool TKavrelServer::SendControl(const TControl& control) {
  TKavrelCmdParser out;
  AppendControl(out, control);
  return SendRaw(PendingBytes(out));
}

bool TKavrelServer::SendChannelChange(const TChannelChange& change) {
  TKavrelCmdParser out;
  AppendChannelChange(out, change);
  return SendRaw(PendingBytes(out));
}

bool TKavrelServer::SendServerTime(TDateTime serverTime, std::int16_t bias) {
  return SendRaw(BuildServerTime(serverTime, bias));
}

bool TKavrelServer::SendChannelNotice(std::uint8_t flags, TDateTime when, std::int32_t id) {
  return SendRaw(BuildChannelNotice(flags, when, id));
}

bool TKavrelServer::SendStatusReply(std::uint8_t answeredId) {
  return SendRaw(BuildStatusReply(answeredId));
}

bool TKavrelServer::SendStructure(std::uint8_t id) {
  const std::int32_t size = StructSize(id);
  std::string bytes(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  bytes[0] = static_cast<char>(id);
  return SendRaw(std::move(bytes));
}

bool TKavrelServer::SendCommand(std::uint8_t id, const std::string& body) {
  return SendRaw(BuildCommand(id, body));
}

bool TKavrelServer::SendRaw(std::string bytes, std::uint32_t* session) {
  auto action = std::make_shared<TAction>();
  action->bytes = std::move(bytes);
  return Perform(action, Duration(options_.sendTimeoutMs), session);
}

bool TKavrelServer::SendInPieces(std::string bytes, std::size_t pieceSize, Duration pause,
                                 std::uint32_t* session) {
  auto action = std::make_shared<TAction>();
  action->pieceSize = std::max<std::size_t>(pieceSize, 1);
  const std::size_t pieces = (bytes.size() + action->pieceSize - 1) / action->pieceSize;
  action->bytes = std::move(bytes);
  action->pause = pause;
  const Duration limit =
      Duration(options_.sendTimeoutMs) * static_cast<int>(std::max<std::size_t>(pieces, 1)) +
      pause * static_cast<int>(pieces);
  return Perform(action, limit, session);
}

bool TKavrelServer::SendGarbage(std::size_t count) {
  std::string bytes(count, '\0');
  std::uint32_t seed = 12345;
  for (std::size_t i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(seed >> 16);
  }
  if (count > 0) bytes[0] = static_cast<char>(0xFF);
  return SendRaw(std::move(bytes));
}

bool TKavrelServer::Drop() {
  auto action = std::make_shared<TAction>();
  action->kind = TAction::TKind::Drop;
  return Perform(action, Duration{0});
}

bool TKavrelServer::Reset() {
  auto action = std::make_shared<TAction>();
  action->kind = TAction::TKind::Reset;
  return Perform(action, Duration{0});
}

bool TKavrelServer::Finish(Duration limit) {
  auto action = std::make_shared<TAction>();
  action->kind = TAction::TKind::Finish;
  action->pause = limit;
  return Perform(action, Duration{0});
}

bool TKavrelServer::Perform(std::shared_ptr<TAction> action, Duration limit,
                            std::uint32_t* session) {
  TUniqueLock lock(mutex_);
  if (session != nullptr) *session = 0;
  if (!connected_ || finishing_ || stopping_) return false;
  actions_.push_back(action);
  changed_.notify_all();
  lock.WaitFor(changed_, limit + kActionSlack, [&] { return action->done; });
  if (!action->done) return false;
  if (session != nullptr) *session = action->session;
  return action->ok;
}

// ---------------------------------------------------------------------------
// The server thread

void TKavrelServer::Run() {
  for (;;) {
    {
      TLockGuard lock(mutex_);
      if (stopping_) break;
    }
    try {
      if (peer_ == nullptr)
        AcceptOne();
      else
        ServeOnce();
    } catch (const std::exception& e) {
      // Nothing may end the thread but Stop(); a failure costs the client
      // its connection and is kept as the reason.
      if (peer_ != nullptr)
        EndSession(kInternalError + std::string(e.what()), TSessionEnd::ServerReset);
    }
  }
  if (peer_ != nullptr) EndSession(kStopped, TSessionEnd::Stopped);
  listener_.Close();
  TLockGuard lock(mutex_);
  adopted_.reset();
}

void TKavrelServer::AcceptOne() {
  int error = 0;
  if (options_.listen) {
    peer_ = listener_.Accept(kSliceMs, error);
  } else {
    TUniqueLock lock(mutex_);
    lock.WaitFor(changed_, std::chrono::milliseconds(kSliceMs),
                 [&]() REQUIRES(mutex_) { return stopping_ || adopted_ != nullptr; });
    peer_ = std::move(adopted_);
  }
  if (peer_ == nullptr) {
    if (error != 0) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    return;
  }
  received_.Clear();
  delayed_.clear();
  waitingReply_.reset();
  TReceivedRecord record;
  record.kind = TRecordKind::Connected;
  record.note = peer_->PeerText();
  {
    TLockGuard lock(mutex_);
    connected_ = true;
    state_.CountSession();
    session_ = static_cast<std::uint32_t>(state_.Sessions());
  }
  Record(std::move(record));
}

void TKavrelServer::ServeOnce() {
  // Nothing may overtake a login reply that is held back.
  if (!ReplyStillWaiting() && peer_ != nullptr) {
    RunActions();
    if (peer_ == nullptr) return;
    SendDueActivations();
  }
  if (peer_ == nullptr) return;
  bool reading, finishing;
  std::size_t limit;
  Duration pause;
  {
    TLockGuard lock(mutex_);
    reading = reading_;
    finishing = finishing_;
    limit = readLimit_;
    pause = readPause_;
  }
  if (finishing && TClock::now() >= finishDeadline_) {
    EndSession(kNotFinished, TSessionEnd::ServerReset);
    return;
  }
  if (!reading) {
    if (options_.listen && listener_.Pending())
      EndSession(kAbandoned, TSessionEnd::ClientGone);
    else
      WaitSlice(std::chrono::milliseconds(kSliceMs));
    return;
  }
  ReceiveOnce(limit);
  if (peer_ != nullptr && pause.count() > 0) WaitSlice(pause);
}

bool TKavrelServer::ReplyStillWaiting() {
  if (!waitingReply_) return false;
  if (TClock::now() < waitingReply_->due) return true;
  const TWaitingReply reply = std::move(*waitingReply_);
  waitingReply_.reset();
  if (Transmit(reply.bytes) && reply.wholeLogin) {
    TLockGuard lock(mutex_);
    state_.MarkReplied();
  }
  return false;
}

// Waits until the slice has passed, something is to be done, or the server stops.
void TKavrelServer::WaitSlice(Duration slice) {
  TUniqueLock lock(mutex_);
  const bool reading = reading_;
  lock.WaitFor(changed_, slice, [&]() REQUIRES(mutex_) {
    return stopping_ || reading_ != reading || !actions_.empty();
  });
}

void TKavrelServer::RunActions() {
  for (;;) {
    std::shared_ptr<TAction> action;
    {
      TLockGuard lock(mutex_);
      if (actions_.empty()) return;
      action = actions_.front();
      actions_.pop_front();
      action->session = session_;
    }
    Execute(*action);
    {
      TLockGuard lock(mutex_);
      action->done = true;
    }
    changed_.notify_all();
  }
}

void TKavrelServer::Execute(TAction& action) {
  if (peer_ == nullptr) return;
  switch (action.kind) {
    case TAction::TKind::Drop:
      EndSession(kDropped, TSessionEnd::ServerClosed);
      action.ok = true;
      return;
    case TAction::TKind::Reset:
      EndSession(kReset, TSessionEnd::ServerReset);
      action.ok = true;
      return;
    case TAction::TKind::Finish: {
      peer_->ShutdownSends();
      finishDeadline_ = TClock::now() + action.pause;
      delayed_.clear();
      waitingReply_.reset();
      TLockGuard lock(mutex_);
      finishing_ = true;
      action.ok = true;
      return;
    }
    case TAction::TKind::Send:
      break;
  }
  const std::size_t piece = action.pieceSize == 0 ? action.bytes.size() : action.pieceSize;
  for (std::size_t at = 0; at < action.bytes.size(); at += piece) {
    if (at > 0 && action.pause.count() > 0) std::this_thread::sleep_for(action.pause);
    if (!Transmit(action.bytes.substr(at, piece))) return;
  }
  action.ok = true;
}

void TKavrelServer::SendDueActivations() {
  const TClock::time_point now = TClock::now();
  while (!delayed_.empty() && delayed_.front().first <= now && peer_ != nullptr) {
    const TChannelChange change = delayed_.front().second;
    delayed_.erase(delayed_.begin());
    TKavrelCmdParser out;
    AppendChannelChange(out, change);
    if (!Transmit(PendingBytes(out))) return;
    TLockGuard lock(mutex_);
    if (TSimChannel* channel = state_.FindNumber(change.number))
      channel->activeSent = change.active;
  }
}

void TKavrelServer::ReceiveOnce(std::size_t maxBytes) {
  std::string data;
  int error = 0;
  bool finishing;
  {
    TLockGuard lock(mutex_);
    finishing = finishing_;
  }
  switch (peer_->Receive(data, kSliceMs, error, maxBytes)) {
    case TSimSocket::TReceive::Nothing:
      return;
    case TSimSocket::TReceive::Closed:
      if (finishing)
        EndSession(kFinished, TSessionEnd::ServerFinished);
      else
        EndSession(kClosedByClient, TSessionEnd::ClientClosed);
      return;
    case TSimSocket::TReceive::Failed:
      EndSession(kReceiveFailed + std::to_string(error), TSessionEnd::ClientFailed);
      return;
    case TSimSocket::TReceive::Data:
      break;
  }
  if (options_.received) options_.received(session_, data);
  received_.Append(data.data(), static_cast<std::int32_t>(data.size()));
  TDispatchResult result;
  std::uint64_t addedBefore;
  TProtocolOptions protocol;
  bool protocolError = false;
  {
    TLockGuard lock(mutex_);
    addedBefore = state_.Added();
    protocol = protocol_;
    DispatchReceived(received_, protocol, state_, result);
    const auto& records = state_.Records();
    protocolError = !records.empty() && records.back().kind == TRecordKind::ProtocolError;
  }
  Notify(addedBefore);
  // The sending side is closed once the server finished: nothing is answered.
  if (finishing) return;
  for (const TChannelChange& change : result.delayed)
    delayed_.emplace_back(TClock::now() + protocol.activationDelay, change);
  if (!result.delayedReply.empty()) {
    waitingReply_ = TWaitingReply{TClock::now() + protocol.login.replyDelay,
                                  result.delayedReply + result.reply, result.wholeLoginReply};
  } else if (!result.reply.empty() && Transmit(result.reply) && result.wholeLoginReply) {
    TLockGuard lock(mutex_);
    state_.MarkReplied();
  }
  if (result.close && peer_ != nullptr)
    EndSession(protocolError ? kClosedAfterError : kClosedAtLogin, TSessionEnd::ServerClosed);
}

bool TKavrelServer::Transmit(const std::string& bytes) {
  if (options_.transcript) options_.transcript(session_, bytes);
  const int error = peer_->SendAll(bytes.data(), bytes.size(), options_.sendTimeoutMs);
  if (error == 0) return true;
  EndSession(kSendFailed + std::to_string(error), TSessionEnd::ServerReset);
  return false;
}

void TKavrelServer::EndSession(const std::string& why, TSessionEnd end) {
  if (end == TSessionEnd::ServerReset || end == TSessionEnd::ClientGone)
    peer_->Reset();
  else
    peer_->Close();
  peer_.reset();
  received_.Clear();
  delayed_.clear();
  waitingReply_.reset();
  TReceivedRecord record;
  record.kind = TRecordKind::Disconnected;
  record.note = why;
  record.end = end;
  {
    // Injections still queued were meant for this connection, not the next.
    TLockGuard lock(mutex_);
    connected_ = false;
    finishing_ = false;
    state_.CountEnd(end);
    for (const auto& action : actions_) action->done = true;  // ok stays false
    actions_.clear();
  }
  Record(std::move(record));
}

void TKavrelServer::Record(TReceivedRecord record) {
  std::uint64_t addedBefore;
  {
    TLockGuard lock(mutex_);
    addedBefore = state_.Added();
    state_.Add(std::move(record));
  }
  Notify(addedBefore);
}

void TKavrelServer::Notify(std::uint64_t addedBefore) {
  changed_.notify_all();
  if (!observer_) return;
  std::vector<TReceivedRecord> fresh;
  {
    TLockGuard lock(mutex_);
    const auto& records = state_.Records();
    const std::size_t added = static_cast<std::size_t>(state_.Added() - addedBefore);
    const std::size_t take = std::min(added, records.size());
    fresh.assign(records.end() - static_cast<std::ptrdiff_t>(take), records.end());
  }
  for (const TReceivedRecord& record : fresh) observer_(record);
}

}  // namespace kv::sim
