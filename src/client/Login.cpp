// Connecting and logging in: one attempt per call of KVConnect.
#include "channels/OwnerId.h"
#include "client/LogText.h"
#include "client/ClientThread.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/Structures.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Format.h"
#include "values/DateTime.h"

namespace kv {
namespace {

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
constexpr auto kReserveErrorLine = "ERROR\tПодключение к резервному серверу %s:%d\t%s"_cp;
constexpr auto kIgnoredServersLine = "ERROR\tСписок серверов: пропущено %s"_cp;
constexpr auto kMainInUseLine = "INFO\tРабота с основным сервером %s:%d"_cp;
constexpr auto kReserveInUseLine = "INFO\tРабота с резервным сервером %s:%d"_cp;
constexpr auto kConnectUnknownLine = "ERROR\tTRelayThread::KVConnect() неизвестная ошибка !"_cp;

// A failure already logged in its own words: no second line.
Exception Silent() { return Exception(std::string()); }

}  // namespace

void TOpros2Thread::PrepareServers() {
  if (!servers_.Empty()) return;
  ServerListText list = ParseServerList(settings_.Host, settings_.Port);
  servers_ = TServerList(std::move(list.Entries));
  if (!list.Ignored.empty()) log_.Write(kIgnoredServersLine, {list.Ignored});
}

bool TOpros2Thread::KVConnect() {
  PrepareServers();
  const std::optional<std::size_t> next = servers_.Next(platform::TickCount());
  if (!next) return false;
  const std::size_t server = *next;
  const ServerEntry& entry = servers_[server];
  servers_.Begin(server, platform::TickCount());
  try {
    std::uint32_t loginStart = 0;
    std::int32_t replyBytes = 0;
    LogIn(server, loginStart, replyBytes);
    if (IsConnected()) {
      counters_.serverIndex.store(server, std::memory_order_relaxed);
      if (servers_.LoggedIn(server)) {
        TClientCounters::Add(counters_.serverSwitches);
        log_.Write(server == 0 ? kMainInUseLine : kReserveInUseLine, {entry.Host, entry.LogPort});
      }
    }
    return true;
  } catch (const Exception& e) {
    if (!e.Message().empty() && servers_.Failures(server) <= kLoggedAttempts)
      log_.Write(server == 0 ? kConnectErrorLine : kReserveErrorLine,
                 {entry.Host, entry.LogPort, e.Message()});
  } catch (...) {
    log_.Write(kConnectUnknownLine);
  }
  // A server that refuses connections is asked again a second later, not
  // on every millisecond pass; meanwhile the next one is tried.
  counters_.Failed(tcp_.LastError());
  servers_.Failed(server);
  Disconnect();
  return false;
}

std::uint32_t TOpros2Thread::NextAttemptDue() const { return servers_.Due(platform::TickCount()); }

bool TOpros2Thread::WaitForConnection() {
  std::uint32_t start = platform::TickCount();
  const std::uint64_t limit = settings_.TimeoutMs();
  while (!tcp_.WaitConnected(0)) {
    // A refused or failed attempt will not complete: report its own error
    // rather than waiting out the time-out.
    if (tcp_.LastError() != kTimedOut) break;
    const std::uint32_t left = MillisecondsLeft(start, limit);
    if (left == 0 || Terminated()) break;
    // Failed attempts show as exceptional on some systems, not as writable.
    Await(platform::PollFor::Write | platform::PollFor::Except, left);
  }
  if (tcp_.Connected()) return true;
  if (tcp_.LastError() == 0) tcp_.SetError(kTimedOut);
  return false;
}

void TOpros2Thread::ConnectTo(const ServerEntry& server) {
  // Looked up at every attempt: the name may have moved since the last.
  std::vector<std::uint32_t> addresses;
  if (!tcp_.ResolveAll(server.Host, addresses))
    throw Exception(std::string(kTcpError) + tcp_.ErrorText());
  // A look-up cannot be interrupted; a stop asked meanwhile ends the
  // attempt as soon as it returns.
  if (Terminated()) throw Silent();
  // A name with several addresses: each gets the whole time-out.
  for (std::size_t i = 0;; ++i) {
    if (tcp_.ConnectTo(addresses[i], server.Port) && WaitForConnection()) return;
    if (i + 1 == addresses.size() || Terminated())
      throw Exception(std::string(kTcpError) + tcp_.ErrorText());
  }
}

void TOpros2Thread::LogIn(std::size_t server, std::uint32_t& loginStart, std::int32_t& replyBytes) {
  // A client ID of 0 leaves the connection open but not logged in; the next
  // attempt starts on a fresh socket.
  if (tcp_.Socket() != platform::SocketHandle::None) Disconnect();
  ConnectTo(servers_[server]);
  log_.Write(kConnectedLine,
             {tcp_.LocalAddressText(), tcp_.RemoteAddressText(), settings_.TimeoutSec});
  servers_.Connected(server);

  TLoginRequest request;
  request.login = settings_.Login;
  request.password = settings_.Password;
  request.libraryMajor = kLibraryVersionMajor;
  request.libraryMinor = kLibraryVersionMinor;
  WriteLoginRequest(EncodeLoginRequest(request).data());
  TClientCounters::Add(counters_.recordsSent);
  loginStart = platform::TickCount();
  servers_.LoginSent(server, loginStart);

  const std::uint64_t replyLimit = settings_.TimeoutMs();
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
  // again when it can take more, until it goes, termination, or the write
  // time-out without progress.
  const std::uint64_t limit = settings_.WriteTimeoutMs();
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
