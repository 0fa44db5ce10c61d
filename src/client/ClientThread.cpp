#include "client/ClientThread.h"

#include <algorithm>
#include <climits>

#include "platform/Clock.h"
#include "protocol/CommandCatalogue.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Format.h"

namespace kv {
namespace {

constexpr std::uint32_t kSilenceBeforeStatusMs = 60000;
// How long the worker pauses before it retries a write that failed with an
// error no readiness of the socket announces.
constexpr std::uint32_t kRetryPauseMs = 1;
// The last sends after the host ended the client: short enough that the end
// stays bounded whatever the server does.
constexpr std::uint32_t kFinalSendMs = 500;
// How soon the next send pass may start after one that wrote. Each walk of
// the channel list holds the host off the list, and each write wakes the
// peer on processors the host may share with it. A pass that wrote little
// (a value that came on its own, or a few) is followed after a short pause,
// so that values coming now and then still go at once; one that wrote this
// many bytes (some twenty value records) shows a stream, whose values then
// gather for a millisecond into one walk and one large write.
constexpr std::uint64_t kAfterWriteUs = 100;
constexpr std::uint32_t kStreamBytes = 512;
constexpr std::uint64_t kAfterStreamUs = 1000;

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
constexpr auto kDebugOnLine = "INFO\tОтладочные сообщения включены"_cp;
constexpr auto kDebugOffLine = "INFO\tОтладочные сообщения выключены"_cp;

}  // namespace

TOpros2Thread::TOpros2Thread(ClientSettings settings, platform::TSocketApi& sockets)
    : settings_(std::move(settings)), tcp_(false, sockets) {
  channels_.SetPendingHook(&TOpros2Thread::WakeOnPending, this);
  channels_.SetHistoryLimits({settings_.HistoryBytes, settings_.HistorySeconds * 1000u});
}

void TOpros2Thread::WakeOnPending(void* self) noexcept {
  TOpros2Thread& client = *static_cast<TOpros2Thread*>(self);
  if (client.idle_.load()) client.wake_.Signal();
}

TOpros2Thread::~TOpros2Thread() {
  Terminate();
  WaitFor();
}

void TOpros2Thread::Execute() {
  log_.SetFileName(settings_.LogFile);
  try {
    log_.Write(kStartLine, {kLibraryVersionMajor, kLibraryVersionMinor});
    PrepareServers();
    RunLoop();
    SendBeforeLeaving();
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
  while (!Terminated())
    if (RunOnePass()) WaitForWork();
}

bool TOpros2Thread::RunOnePass() {
  NoteDebugSwitch();
  if (clientId_.load(std::memory_order_relaxed) > 0) {
    passStart_ = platform::SystemMicroseconds();
    bytesSentAtPassStart_ = tcp_.BytesSent();
    KVProcessSend();
    if (ProcessReceive() == TReceiveResult::ServerGone) {
      DropConnection();
      return false;
    }
    if (!KVTest()) {
      if (IsConnected()) counters_.Dropped(TDropReason::LinkTest);
      log_.Write(kLinkTestFailedLine);
      DropConnection();
      return false;
    }
  } else if (KVConnect()) {
    NeedRegisterAllChannels();
  } else if (channels_.HistoryOn()) {
    channels_.TrimHistory();
  }
  return true;
}

void TOpros2Thread::SetDebug(bool on) noexcept {
  debugSwitch_.store(on ? 1 : 0, std::memory_order_relaxed);
  // A sleeping worker notes the switch now, not after its idle wait.
  wake_.Signal();
}

void TOpros2Thread::NoteDebugSwitch() {
  const int state = debugSwitch_.load(std::memory_order_relaxed);
  if (state == debugSwitchSeen_) return;
  const bool wasOn = debugSwitchSeen_ < 0 ? settings_.DebugLog : debugSwitchSeen_ != 0;
  debugSwitchSeen_ = state;
  if ((state != 0) != wasOn) log_.Write(state != 0 ? kDebugOnLine : kDebugOffLine);
}

void TOpros2Thread::WaitForWork() {
  if (Terminated()) return;
  if (clientId_.load(std::memory_order_relaxed) <= 0) {
    // Nothing the server sends matters before the login: only the next
    // attempt, the host and a stop request.
    Await(platform::PollFor{}, NextAttemptDue());
    return;
  }
  // Counted modulo 2^32, as the socket's counter wraps.
  const std::uint32_t written = static_cast<std::uint32_t>(tcp_.BytesSent()) -
                                static_cast<std::uint32_t>(bytesSentAtPassStart_);
  platform::PollFor what = platform::PollFor::Read;
  std::uint32_t wait = LinkTestDue();
  if (sendBuffer_.Size() > 0) {
    switch (writeWait_) {
      case TWriteWait::None:
        return;
      case TWriteWait::Writable:
        what = what | platform::PollFor::Write;
        break;
      case TWriteWait::Pause:
        wait = std::min(wait, kRetryPauseMs);
        break;
    }
    wait = std::min(wait, MillisecondsLeft(writeProgressTick_, settings_.WriteTimeoutMs()));
  } else if (written > 0) {
    // The next pass sees what came meanwhile.
    const std::uint64_t spacing = written >= kStreamBytes ? kAfterStreamUs : kAfterWriteUs;
    const std::uint64_t gone = platform::SystemMicroseconds() - passStart_;
    if (gone < spacing)
      platform::SystemPauseMicroseconds(static_cast<std::uint32_t>(spacing - gone));
    return;
  } else {
    // Set before the record is looked at, under the list's lock: a mark made
    // after the look sees it and signals.
    idle_.store(true);
    if (channels_.PendingCount() > 0 || (channels_.HistoryOn() && channels_.HistoryHasWork())) {
      idle_.store(false);
      return;
    }
    // Drained and idle: what a burst made the buffers grow to goes back.
    sendBuffer_.Shrink(TKavrelCmdParser::kInitialCapacity);
    recvBuffer_.Shrink(TKavrelCmdParser::kInitialCapacity);
  }
  if (incompleteWaiting_ && recvBuffer_.Size() > 0) wait = std::min(wait, IncompleteDue());
  Await(what, wait);
  idle_.store(false);
}

void TOpros2Thread::Await(platform::PollFor what, std::uint32_t milliseconds) {
  platform::WaitMs(milliseconds, [this, what](std::uint32_t real) {
    return tcp_.WaitOrWake(what, wake_, static_cast<int>(std::min<std::uint32_t>(real, INT_MAX)));
  });
}

std::uint32_t MillisecondsLeft(std::uint32_t since, std::uint64_t span) {
  const std::uint32_t gone = platform::TickCount() - since;
  if (gone >= span) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(span - gone, UINT32_MAX));
}

std::uint64_t TOpros2Thread::StatusAnswerLimitMs() const {
  return settings_.TimeoutMs() + kSilenceBeforeStatusMs;
}

std::uint32_t TOpros2Thread::LinkTestDue() const {
  // KVTest acts once the silence is longer than its limit.
  return MillisecondsLeft(
      lastActivityTick_,
      (statusRequestPending_ ? StatusAnswerLimitMs() : kSilenceBeforeStatusMs) + 1);
}

void TOpros2Thread::SendBeforeLeaving() {
  const std::uint32_t start = platform::TickCount();
  while (IsConnected() && clientId_.load(std::memory_order_relaxed) > 0) {
    const int sentBefore = tcp_.BytesSent();
    KVProcessSend();
    const bool queued = sendBuffer_.Size() > 0;
    // Done when a pass found nothing more to send and the socket took it all.
    if (!IsConnected() || (!queued && tcp_.BytesSent() == sentBefore)) return;
    const std::uint32_t left = MillisecondsLeft(start, kFinalSendMs);
    if (left == 0) return;
    if (queued) Await(platform::PollFor::Write, std::min<std::uint32_t>(left, 50));
  }
}

void TOpros2Thread::Disconnect() {
  // Value calls keep their values from here on; one that sees the client
  // ID gone sees this too.
  channels_.SetHistoryLinkUp(false);
  tcp_.Close();
  clientId_.store(-1, std::memory_order_release);
  counters_.LoggedOut();
  recvBuffer_.Clear();
  sendBuffer_.Clear();
  historySender_.Abandon(channels_);
  writeWaiting_ = false;
  writeErrorLogged_ = false;
  writeWait_ = TWriteWait::None;
}

void TOpros2Thread::DropConnection() {
  Disconnect();
  servers_.Lost();
}

bool TOpros2Thread::KVTest() {
  if (clientId_.load(std::memory_order_relaxed) < 0) {
    if (Debug()) log_.Write(kTestNoConnectionLine, {});
    return false;
  }
  std::uint32_t silence = platform::TickCount() - lastActivityTick_;
  if (!statusRequestPending_) {
    if (silence > kSilenceBeforeStatusMs) {
      // Queued behind whatever waits: the request must never land inside a
      // record the socket has only taken in part.
      const std::uint8_t request = kStructStatusRequest;
      if (!sendBuffer_.Append(&request, 1)) return true;  // asked again on the next pass
      TClientCounters::Add(counters_.recordsSent);
      if (WriteQueued() == TWrite::Failed) {
        counters_.Failed(tcp_.LastError());
        log_.Write(kTestWriteErrorLine, {static_cast<long>(tcp_.LastError())});
        return false;
      }
      if (Debug()) log_.Write(kStatusRequestLine, {});
      statusRequestPending_ = true;
    }
    return true;
  }
  // The deadline counts from the last thing heard, not from the request.
  if (silence > StatusAnswerLimitMs()) {
    if (Debug()) log_.Write(kStatusNoAnswerLine, {});
    statusRequestPending_ = false;
    return false;
  }
  return true;
}

std::optional<ControlRequest> TOpros2Thread::PopControl() {
  bool madeRoom = false;
  std::optional<ControlRequest> first = controls_.Pop(madeRoom);
  // Room in a full queue ends an overflow: the worker writes its line.
  if (madeRoom) wake_.Signal();
  return first;
}

std::size_t TOpros2Thread::PendingControls() { return controls_.Size(); }

}  // namespace kv
