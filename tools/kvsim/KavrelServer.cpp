#include "kvsim/KavrelServer.h"

#include <algorithm>

#include "protocol/Kavrel.h"

namespace kv::sim {
namespace {

// How long one pass of the server thread waits for the socket; bounds the
// delay of injections, delayed activations and Stop().
constexpr int kSliceMs = 10;
// Extra time an injection waits for the server thread beyond its sends.
constexpr auto kActionSlack = std::chrono::milliseconds(2000);

constexpr const char* kClosedByClient = "closed by the client";
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
  enum class TKind { Send, Drop, Reset };
  TKind kind = TKind::Send;
  std::string bytes;
  std::size_t pieceSize = 0;  // 0: one write
  Duration pause{0};
  bool done = false;
  bool ok = false;
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
  const int error = listener_.Listen(options_.host, options_.port, options_.receiveBufferBytes);
  std::lock_guard lock(mutex_);
  lastError_ = error;
  if (error != 0) return false;
  port_ = listener_.LocalPort();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TKavrelServer::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::uint16_t TKavrelServer::Port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

int TKavrelServer::LastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void TKavrelServer::SetObserver(TObserver observer) { observer_ = std::move(observer); }

void TKavrelServer::SetLoginBehaviour(const TLoginBehaviour& login) {
  std::lock_guard lock(mutex_);
  protocol_.login = login;
}

void TKavrelServer::SetAnswerStatus(bool answer) {
  std::lock_guard lock(mutex_);
  protocol_.answerStatus = answer;
}

void TKavrelServer::SetActivation(TActivation activation, Duration delay) {
  std::lock_guard lock(mutex_);
  protocol_.activation = activation;
  protocol_.activationDelay = delay;
}

void TKavrelServer::SetReading(bool reading) {
  {
    std::lock_guard lock(mutex_);
    reading_ = reading;
  }
  changed_.notify_all();
}

// ---------------------------------------------------------------------------
// Inspection and waits

bool TKavrelServer::Connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

std::vector<TReceivedRecord> TKavrelServer::Records() const {
  std::lock_guard lock(mutex_);
  return state_.Records();
}

std::vector<TReceivedRecord> TKavrelServer::Records(TRecordKind kind) const {
  std::lock_guard lock(mutex_);
  std::vector<TReceivedRecord> out;
  for (const TReceivedRecord& record : state_.Records())
    if (record.kind == kind) out.push_back(record);
  return out;
}

std::vector<TSimChannel> TKavrelServer::Channels() const {
  std::lock_guard lock(mutex_);
  return state_.Channels();
}

std::optional<TSimChannel> TKavrelServer::Channel(const std::string& addr) const {
  std::lock_guard lock(mutex_);
  if (const TSimChannel* channel = state_.Find(addr)) return *channel;
  return std::nullopt;
}

std::optional<TSimChannel> TKavrelServer::ChannelByNumber(std::uint32_t number) const {
  std::lock_guard lock(mutex_);
  if (const TSimChannel* channel = state_.FindNumber(number)) return *channel;
  return std::nullopt;
}

bool TKavrelServer::WaitFor(const std::function<bool(const TServerView&)>& condition, Duration limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return condition(TServerView{connected_, state_}); });
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
        return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [&](const TReceivedRecord& r) {
                 return r.kind == kind;
               })) >= count;
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

bool TKavrelServer::SendStatusReply(std::uint8_t answeredId) { return SendRaw(BuildStatusReply(answeredId)); }

bool TKavrelServer::SendStructure(std::uint8_t id) {
  const std::int32_t size = StructSize(id);
  std::string bytes(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  bytes[0] = static_cast<char>(id);
  return SendRaw(std::move(bytes));
}

bool TKavrelServer::SendCommand(std::uint8_t id, const std::string& body) {
  const std::size_t length = body.size() + 3;
  std::string bytes;
  bytes += static_cast<char>(id);
  bytes += static_cast<char>(length & 0xFF);
  bytes += static_cast<char>((length >> 8) & 0xFF);
  bytes += body;
  return SendRaw(std::move(bytes));
}

bool TKavrelServer::SendRaw(std::string bytes) {
  auto action = std::make_shared<TAction>();
  action->bytes = std::move(bytes);
  return Perform(action, Duration(options_.sendTimeoutMs));
}

bool TKavrelServer::SendInPieces(std::string bytes, std::size_t pieceSize, Duration pause) {
  auto action = std::make_shared<TAction>();
  action->pieceSize = std::max<std::size_t>(pieceSize, 1);
  const std::size_t pieces = (bytes.size() + action->pieceSize - 1) / action->pieceSize;
  action->bytes = std::move(bytes);
  action->pause = pause;
  const Duration limit = Duration(options_.sendTimeoutMs) * static_cast<int>(std::max<std::size_t>(pieces, 1)) +
                         pause * static_cast<int>(pieces);
  return Perform(action, limit);
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

bool TKavrelServer::Perform(std::shared_ptr<TAction> action, Duration limit) {
  std::unique_lock lock(mutex_);
  if (!connected_ || stopping_) return false;
  actions_.push_back(action);
  changed_.notify_all();
  changed_.wait_for(lock, limit + kActionSlack, [&] { return action->done; });
  return action->done && action->ok;
}

// ---------------------------------------------------------------------------
// The server thread

void TKavrelServer::Run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
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
      if (peer_ != nullptr) EndSession(kInternalError + std::string(e.what()), true);
    }
  }
  if (peer_ != nullptr) EndSession(kStopped, false);
  listener_.Close();
}

void TKavrelServer::AcceptOne() {
  int error = 0;
  peer_ = listener_.Accept(kSliceMs, error);
  if (peer_ == nullptr) {
    if (error != 0) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    return;
  }
  received_.Clear();
  delayed_.clear();
  TReceivedRecord record;
  record.kind = TRecordKind::Connected;
  record.note = peer_->PeerText();
  {
    std::lock_guard lock(mutex_);
    connected_ = true;
    state_.CountSession();
  }
  Record(std::move(record));
}

void TKavrelServer::ServeOnce() {
  RunActions();
  if (peer_ == nullptr) return;
  SendDueActivations();
  if (peer_ == nullptr) return;
  bool reading;
  {
    std::lock_guard lock(mutex_);
    reading = reading_;
  }
  if (reading) {
    ReceiveOnce();
    return;
  }
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(kSliceMs),
                    [&] { return stopping_ || reading_ || !actions_.empty(); });
}

void TKavrelServer::RunActions() {
  for (;;) {
    std::shared_ptr<TAction> action;
    {
      std::lock_guard lock(mutex_);
      if (actions_.empty()) return;
      action = actions_.front();
      actions_.pop_front();
    }
    Execute(*action);
    {
      std::lock_guard lock(mutex_);
      action->done = true;
    }
    changed_.notify_all();
  }
}

void TKavrelServer::Execute(TAction& action) {
  if (peer_ == nullptr) return;
  switch (action.kind) {
    case TAction::TKind::Drop:
      EndSession(kDropped, false);
      action.ok = true;
      return;
    case TAction::TKind::Reset:
      EndSession(kReset, true);
      action.ok = true;
      return;
    case TAction::TKind::Send:
      break;
  }
  const std::size_t piece = action.pieceSize == 0 ? action.bytes.size() : action.pieceSize;
  for (std::size_t at = 0; at < action.bytes.size(); at += piece) {
    if (at > 0 && action.pause.count() > 0) std::this_thread::sleep_for(action.pause);
    Transmit(action.bytes.substr(at, piece));
    if (peer_ == nullptr) return;
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
    Transmit(PendingBytes(out));
    std::lock_guard lock(mutex_);
    if (TSimChannel* channel = state_.FindNumber(change.number)) channel->activeSent = change.active;
  }
}

void TKavrelServer::ReceiveOnce() {
  std::string data;
  int error = 0;
  switch (peer_->Receive(data, kSliceMs, error)) {
    case TSimSocket::TReceive::Nothing:
      return;
    case TSimSocket::TReceive::Closed:
      EndSession(kClosedByClient, false);
      return;
    case TSimSocket::TReceive::Failed:
      EndSession(kReceiveFailed + std::to_string(error), false);
      return;
    case TSimSocket::TReceive::Data:
      break;
  }
  received_.Append(data.data(), static_cast<std::int32_t>(data.size()));
  TDispatchResult result;
  std::uint64_t addedBefore;
  TProtocolOptions protocol;
  bool protocolError = false;
  {
    std::lock_guard lock(mutex_);
    addedBefore = state_.Added();
    protocol = protocol_;
    DispatchReceived(received_, protocol, state_, result);
    const auto& records = state_.Records();
    protocolError = !records.empty() && records.back().kind == TRecordKind::ProtocolError;
  }
  Notify(addedBefore);
  for (const TChannelChange& change : result.delayed)
    delayed_.emplace_back(TClock::now() + protocol.activationDelay, change);
  if (!result.reply.empty()) Transmit(result.reply);
  if (result.close && peer_ != nullptr) EndSession(protocolError ? kClosedAfterError : kClosedAtLogin, false);
}

void TKavrelServer::Transmit(const std::string& bytes) {
  const int error = peer_->SendAll(bytes.data(), bytes.size(), options_.sendTimeoutMs);
  if (error != 0) EndSession(kSendFailed + std::to_string(error), true);
}

void TKavrelServer::EndSession(const std::string& why, bool reset) {
  if (reset)
    peer_->Reset();
  else
    peer_->Close();
  peer_.reset();
  received_.Clear();
  delayed_.clear();
  TReceivedRecord record;
  record.kind = TRecordKind::Disconnected;
  record.note = why;
  {
    // Injections still queued were meant for this connection, not the next.
    std::lock_guard lock(mutex_);
    connected_ = false;
    for (const auto& action : actions_) action->done = true;  // ok stays false
    actions_.clear();
  }
  Record(std::move(record));
}

void TKavrelServer::Record(TReceivedRecord record) {
  std::uint64_t addedBefore;
  {
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    const auto& records = state_.Records();
    const std::size_t added = static_cast<std::size_t>(state_.Added() - addedBefore);
    const std::size_t take = std::min(added, records.size());
    fresh.assign(records.end() - static_cast<std::ptrdiff_t>(take), records.end());
  }
  for (const TReceivedRecord& record : fresh) observer_(record);
}

}  // namespace kv::sim
