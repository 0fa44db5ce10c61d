#include "client/Servercon.h"

#include "platform/Clock.h"
#include "protocol/Kavrel.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Format.h"

namespace kv {
namespace {

constexpr std::uint32_t kSilenceBeforeStatusMs = 60000;

constexpr auto kStartLine = "INFO\t*** Начало работы с сервером Kavrel [версия %u.%u] ***"_cp;
constexpr auto kEndLine = "INFO\t*** Завершение работы с сервером Kavrel ***"_cp;
constexpr auto kDisconnectingLine = "INFO\tОтключение от сервера..."_cp;
constexpr auto kLinkTestFailedLine = "ERROR\tТест связи не прошел. Сервер отключен."_cp;
constexpr auto kExecuteErrorLine = "ERROR\tTKVThread::Execute: %s";
constexpr auto kExecuteUnknownLine = "ERROR\tTKVThread::Execute";
constexpr auto kTestNoConnectionLine = "DEBUG\tKVTest() no connection !";
constexpr auto kTestWriteErrorLine = "ERROR\tKVTest() tcp.Write() ERROR=%ld";
constexpr auto kStatusRequestLine = "DEBUG\tSend status: request";
constexpr auto kStatusNoAnswerLine = "DEBUG\tSend status: no answer";

}  // namespace

TOpros2Thread::TOpros2Thread(platform::TSocketApi& sockets) : tcp_(false, sockets) {}

TOpros2Thread::~TOpros2Thread() {
  Terminate();
  WaitFor();
}

void TOpros2Thread::Execute() {
  try {
    log_.Write(kStartLine, {kLibraryVersionMajor, kLibraryVersionMinor});
    RunLoop();
    EndControlOverflow(true);
    if (IsConnected()) log_.Write(kDisconnectingLine);
    Disconnect();
    log_.Write(kEndLine);
  } catch (const Exception& e) {
    log_.Write(kExecuteErrorLine, {e.Message()});
  } catch (...) {
    log_.Write(kExecuteUnknownLine, {});
  }
}

void TOpros2Thread::RunLoop() {
  while (!Terminated()) {
    if (clientId_.load(std::memory_order_relaxed) > 0) {
      KVProcessSend();
      if (ProcessReceive() == 0) {
        DropConnection();
        continue;
      }
      if (!KVTest()) {
        log_.Write(kLinkTestFailedLine);
        DropConnection();
        continue;
      }
    } else if (KVConnect()) {
      NeedRegisterAllChannels();
    }
    platform::SleepMs(1);
  }
}

void TOpros2Thread::Disconnect() {
  tcp_.Close();
  clientId_.store(-1, std::memory_order_relaxed);
  recvBuffer_.Clear();
  sendBuffer_.Clear();
  writeWaiting_ = false;
  writeErrorLogged_ = false;
}

void TOpros2Thread::DropConnection() {
  Disconnect();
  lastLoginTick_ = 0;
  loginSent_ = false;
  connectFailed_ = false;
}

bool TOpros2Thread::KVTest() {
  if (clientId_.load(std::memory_order_relaxed) < 0) {
    if (Debug) log_.Write(kTestNoConnectionLine, {});
    return false;
  }
  std::uint32_t silence = platform::TickCount() - lastActivityTick_;
  if (!statusRequestPending_) {
    if (silence > kSilenceBeforeStatusMs) {
      // Queued behind whatever waits: the request must never land inside a
      // record the socket has only taken in part.
      const std::uint8_t request = kStructStatusRequest;
      if (!sendBuffer_.Append(&request, 1)) return true;  // asked again on the next pass
      if (WriteQueued() == TWrite::Failed) {
        log_.Write(kTestWriteErrorLine, {static_cast<long>(tcp_.LastError())});
        return false;
      }
      if (Debug) log_.Write(kStatusRequestLine, {});
      statusRequestPending_ = true;
    }
    return true;
  }
  // The deadline counts from the last thing heard, not from the request.
  std::uint64_t deadline = static_cast<std::uint64_t>(Timeout > 0 ? Timeout : 0) * 1000 +
                           kSilenceBeforeStatusMs;
  if (silence > deadline) {
    if (Debug) log_.Write(kStatusNoAnswerLine, {});
    statusRequestPending_ = false;
    return false;
  }
  return true;
}

std::unique_ptr<ControlRequest> TOpros2Thread::PopControl() {
  std::lock_guard<std::mutex> guard(controlLock_);
  if (controls_.empty()) return nullptr;
  std::unique_ptr<ControlRequest> first = std::move(controls_.front());
  controls_.pop_front();
  return first;
}

std::size_t TOpros2Thread::PendingControls() {
  std::lock_guard<std::mutex> guard(controlLock_);
  return controls_.size();
}

std::string SafeDateTimeText(TDateTime value) {
  try {
    return DateTimeToStr(value);
  } catch (...) {
    return Variant::FromDouble(value).ToAnsi();
  }
}

std::string SafeValuesText(const TChannel2& channel) {
  try {
    return channel.ValuesText();
  } catch (const Exception& e) {
    return e.Message();
  } catch (...) {
    return std::string();
  }
}

}  // namespace kv
