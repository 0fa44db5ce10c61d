// Connecting and logging in: one attempt per call of KVConnect.
#include <algorithm>

#include "channels/OwnerId.h"
#include "client/LogText.h"
#include "client/Servercon.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "protocol/Kavrel.h"
#include "protocol/Structures.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Format.h"
#include "values/Utils.h"

namespace kv {
namespace {

constexpr std::uint32_t kLoginGateMs = 60000;
constexpr std::uint32_t kConnectRetryMs = 1000;
constexpr std::uint32_t kNextPassMs = 1;
constexpr int kLoggedAttempts = 5;
using platform::wsa::kTimedOut;

constexpr auto kTcpError = "ошибка TCP/IP: "_cp;
constexpr auto kRequestError = "ошибка посылки запроса на регистрацию: "_cp;
constexpr auto kServerGone = "регистрация невозможна, сервер отключен: "_cp;
constexpr auto kNoReplyLine =
    "ERROR\tСервер не ответил на регистрацию в течении=%d сек. [в буфере %d байт]"_cp;
constexpr auto kBadReply = "Неверный ответ сервера !"_cp;
constexpr auto kBadReplyId = " [structID="_cp;
constexpr auto kBadReplySize = " размер "_cp;
constexpr auto kBadReplyBytes = " байт]"_cp;
constexpr auto kRefusedLine =
    "ERROR\tОтказано в регистрации на сервере Kavrel: %s\tЛогин=%s Пароль=%s"_cp;
constexpr auto kOldServerLine =
    "ERROR\tРегистрация невозможна ! Требуется сервер версии 4.0 или старше !"_cp;
constexpr auto kOldServer = "Требуется сервер версии 4.0 или старше !"_cp;
constexpr auto kConnectedLine = "INFO\tПодключение к серверу ОК\t%s --> %s таймаут %d сек"_cp;
constexpr auto kLoggedInLine =
    "INFO\tРегистрация на сервере версии %u.%u ОК\tID=%d, время регистрации=%ld мсек, время %s, "
    "часовой пояс %s, разница времени=%ld мсек [в буфере %lu байт]"_cp;
constexpr auto kConnectErrorLine = "ERROR\tПодключение к основному серверу %s:%d\t%s"_cp;
constexpr auto kConnectUnknownLine = "ERROR\tTRelayThread::KVConnect() неизвестная ошибка !"_cp;

// A failure already logged in its own words: no second line.
Exception Silent() { return Exception(std::string()); }

}  // namespace

bool TOpros2Thread::KVConnect() {
  std::uint32_t now = platform::TickCount();
  if (loginSent_ && now - lastLoginTick_ < kLoginGateMs) return false;
  if (connectFailed_ && now - connectFailTick_ < kConnectRetryMs) return false;
  ++connectAttempts_;
  try {
    std::uint32_t loginStart = 0;
    std::int32_t replyBytes = 0;
    LogIn(loginStart, replyBytes);
    connectFailed_ = false;
    return true;
  } catch (const Exception& e) {
    if (!e.Message().empty() && connectAttempts_ <= kLoggedAttempts)
      log_.Write(kConnectErrorLine, {settings_.Host, settings_.Port, e.Message()});
  } catch (...) {
    log_.Write(kConnectUnknownLine);
  }
  // A server that refuses connections is asked again a second later, not
  // on every millisecond pass.
  counters_.Failed(tcp_.LastError());
  connectFailed_ = !tcp_.Connected();
  connectFailTick_ = now;
  Disconnect();
  return false;
}

std::uint32_t TOpros2Thread::NextAttemptDue() const {
  std::uint32_t wait = 0;
  if (loginSent_) wait = std::max(wait, MillisecondsLeft(lastLoginTick_, kLoginGateMs));
  if (connectFailed_) wait = std::max(wait, MillisecondsLeft(connectFailTick_, kConnectRetryMs));
  if (loginSent_ || connectFailed_) return wait;
  // An attempt that failed before either gate is repeated on the next pass;
  // a short pause keeps that from spinning.
  return kNextPassMs;
}

void TOpros2Thread::WaitForConnection() {
  std::uint32_t start = platform::TickCount();
  std::uint64_t limit =
      static_cast<std::uint64_t>(settings_.TimeoutSec > 0 ? settings_.TimeoutSec : 0) * 1000;
  while (!tcp_.WaitConnected(0)) {
    // A refused or failed attempt will not complete: report its own error
    // rather than waiting out the time-out.
    if (tcp_.LastError() != kTimedOut) break;
    const std::uint32_t left = MillisecondsLeft(start, limit);
    if (left == 0 || Terminated()) break;
    // Failed attempts show as exceptional on some systems, not as writable.
    Await(platform::PollFor::Write | platform::PollFor::Except, left);
  }
  if (!tcp_.Connected()) {
    if (tcp_.LastError() == 0) tcp_.SetError(kTimedOut);
    throw Exception(std::string(kTcpError) + tcp_.ErrorText());
  }
}

void TOpros2Thread::LogIn(std::uint32_t& loginStart, std::int32_t& replyBytes) {
  // A client ID of 0 leaves the connection open but not logged in; the next
  // attempt starts on a fresh socket.
  if (tcp_.Socket() != platform::SocketHandle::None) Disconnect();
  if (!tcp_.Connect(settings_.Host, static_cast<std::uint16_t>(settings_.Port)))
    throw Exception(std::string(kTcpError) + tcp_.ErrorText());
  WaitForConnection();
  log_.Write(kConnectedLine,
             {tcp_.LocalAddressText(), tcp_.RemoteAddressText(), settings_.TimeoutSec});
  connectAttempts_ = 0;

  TLoginRequest request;
  request.login = settings_.Login;
  request.password = settings_.Password;
  request.libraryMajor = kLibraryVersionMajor;
  request.libraryMinor = kLibraryVersionMinor;
  WriteLoginRequest(EncodeLoginRequest(request).data());
  TClientCounters::Add(counters_.recordsSent);
  lastLoginTick_ = loginStart = platform::TickCount();
  loginSent_ = true;

  const std::uint64_t replyLimit =
      static_cast<std::uint64_t>(settings_.TimeoutSec > 0 ? settings_.TimeoutSec : 0) * 1000;
  while (!tcp_.Poll(true, false, false, 0) && !Terminated()) {
    const std::uint32_t left = MillisecondsLeft(loginStart, replyLimit);
    if (left == 0) break;
    Await(platform::PollFor::Read, left);
  }
  replyBytes = tcp_.Available();
  if (replyBytes == 0) throw Exception(std::string(kServerGone) + tcp_.ErrorText());
  if (replyBytes < kLoginReplySize) {
    log_.Write(kNoReplyLine, {settings_.TimeoutSec, replyBytes});
    throw Silent();
  }
  TLoginReplyBytes reply;
  if (!tcp_.Read(reply.data(), kLoginReplySize))
    throw Exception(std::string(kServerGone) + tcp_.ErrorText());
  TClientCounters::Add(counters_.bytesReceived, kLoginReplySize);
  TClientCounters::Add(counters_.recordsReceived);
  if (reply[0] != kStructLoginReply) {
    throw Exception(std::string(kBadReply) + std::string(kBadReplyId) + std::to_string(reply[0]) +
                    std::string(kBadReplySize) + std::to_string(replyBytes) +
                    std::string(kBadReplyBytes));
  }
  lastActivityTick_ = platform::TickCount();
  LogLogin(DecodeLoginReply(reply.data()), loginStart, replyBytes);
}

void TOpros2Thread::WriteLoginRequest(const std::uint8_t* request) {
  sendBuffer_.Clear();
  if (!sendBuffer_.Append(request, kLoginRequestSize))
    throw Exception(std::string(kRequestError) + tcp_.ErrorText());
  // The socket never blocks: a request it does not take at once is offered
  // again when it can take more, until it goes, termination, or Timeout
  // seconds without progress.
  const std::uint64_t limit = static_cast<std::uint64_t>(std::max(settings_.TimeoutSec, 1)) * 1000;
  for (;;) {
    TWrite result = WriteQueued();
    if (result == TWrite::Done) return;
    if (result == TWrite::Failed) throw Exception(std::string(kRequestError) + tcp_.ErrorText());
    if (Terminated()) throw Silent();
    if (writeWait_ == TWriteWait::Writable)
      Await(platform::PollFor::Write, MillisecondsLeft(writeProgressTick_, limit));
  }
}

void TOpros2Thread::LogLogin(const TLoginReply& reply, std::uint32_t loginStart,
                             std::int32_t replyBytes) {
  const std::int32_t clientId = reply.clientId;
  if (clientId < 0) {
    // The password never reaches the log: anyone may read it.
    log_.Write(kRefusedLine, {RefusalText(reply.resultCode), settings_.Login,
                              settings_.Password.empty() ? "" : "***"});
    counters_.Dropped(TDropReason::LoginRefused);
    throw Silent();
  }
  serverVersionMajor_ = reply.versionMajor;
  serverVersionMinor_ = reply.versionMinor;
  if (serverVersionMajor_ < 4) {
    log_.Write(kOldServerLine);
    throw Exception(std::string(kOldServer));
  }
  clientId_.store(clientId, std::memory_order_relaxed);
  ClientOwnerID.store(static_cast<std::int16_t>(clientId & 0xFFFF), std::memory_order_relaxed);
  if (clientId > 0) counters_.LoggedIn();  // 0 leaves the connection unused

  const TDateTime serverTime = reply.serverTime;
  std::int32_t difference = TimeDifferenceMs(serverTime, Now());
  std::uint32_t loginMs = platform::TickCount() - loginStart;
  log_.Write(kLoggedInLine,
             {serverVersionMajor_, serverVersionMinor_, clientId, static_cast<long>(loginMs),
              SafeDateTimeText(serverTime), TimeZoneText(reply.bias), static_cast<long>(difference),
              static_cast<unsigned long>(replyBytes)});
  SetServerTime(serverTime);
}

}  // namespace kv
