// The receive pass and command dispatch, on the worker thread.

#include "client/LogText.h"
#include "client/ClientThread.h"
#include "platform/Clock.h"
#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/Structures.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/LittleEndian.h"
#include "values/DateTime.h"

namespace kv {
namespace {

constexpr std::int32_t kDumpBytes = 20;
constexpr std::uint64_t kIncompleteLimitSeconds = 29;  // 30 or more whole seconds
using platform::kElevationLimited;

constexpr auto kPollErrorLine = "ERROR\ttcp.Poll(read)\terror=%ld";
constexpr auto kServerGoneCodeLine = "WARNING\tСервер Kavrel отключен\tКод ошибки=%ld"_cp;
constexpr auto kServerGoneLine = "WARNING\tСервер Kavrel отключен"_cp;
constexpr auto kCmd2Line = "DEBUG\tполучена CMD2=%d"_cp;
constexpr auto kUnknownIdLine =
    "ERROR\tОт сервера пришла неизвестная команда ID=%u длина %ld байт. Выполняем отключение от сервера."_cp;
constexpr auto kBadLengthLine =
    "ERROR\tОт сервера пришла команда ID=%u с неверной длиной %u байт. Выполняем отключение от сервера."_cp;
constexpr auto kDumpLine = "INFO\tПервые 20 байт команды: %s"_cp;
constexpr auto kIncompleteLine =
    "ERROR\tНеполная команда cmd=%u ожидается более 30 сек., получено %ld байт. Выполняем отключение от сервера."_cp;
constexpr auto kServerTimeLine =
    "WARNING\tВремя сервера изменилось: %s, часовой пояс %s, разница=%ld мсек"_cp;
constexpr auto kNoticeLine =
    "INFO\tИзменение каналов 1 от сервера игнорируем: %s%s%s%s ID=%ld %s"_cp;
constexpr auto kStatusLine = "DEBUG\tReceive status: cmdID=%u";
constexpr auto kSkippedLine = "WARNING\tКоманда 1 не обрабатывается structID=%u SIZE=%ld bytes"_cp;
constexpr auto kControlLine =
    "DEBUG\tCONTROL_FROM_SERVER Addr=%s №%lu Type=%u DT=%s Value=%s Control=%s Owner=%d"_cp;
constexpr auto kParserErrorLine = "ERROR\tRunParser2(cmd=%u): %s";
constexpr auto kParserUnknownLine = "ERROR\tRunParser2(cmd=%u): неизвестная ошибка"_cp;
constexpr auto kChannelWord = "канал "_cp;
constexpr auto kChannelNumber = "канал №"_cp;
constexpr auto kNotFound = " не найден"_cp;
constexpr auto kNotActive = " не активен"_cp;
constexpr auto kChangeFailed = "ошибка изменения канала "_cp;
constexpr auto kNumberSign = " №"_cp;
constexpr auto kNotHandled = "команда не обрабатывается"_cp;
constexpr auto kControlsRefusedLine =
    "ERROR\tОчередь команд управления переполнена (%lu), отброшено команд: %lu"_cp;
constexpr auto kNumberTakenLine =
    "ERROR\tСервер дал номер %lu каналу \"%s\", канал \"%s\" остался без номера."_cp;
constexpr auto kNoRightsLine = "WARNING\tНе хватает прав для установки времени."_cp;
constexpr auto kClockSetLine = "INFO\tВремя сервера установлено."_cp;
constexpr auto kClockErrorLine = "ERROR\tОшибка установки времени сервера: %s"_cp;

std::string Quoted(std::string_view addr) {
  std::string text;
  text.reserve(addr.size() + 2);
  text.push_back('"');
  text.append(addr);
  text.push_back('"');
  return text;
}

std::string ChannelName(bool byNumber, std::uint32_t number, std::string_view addr) {
  return byNumber ? std::string(kChannelNumber) + std::to_string(number)
                  : std::string(kChannelWord) + Quoted(addr);
}

}  // namespace

TOpros2Thread::TReceiveResult TOpros2Thread::ProcessReceive() {
  EndControlOverflow(false);
  if (!tcp_.Connected()) return TReceiveResult::ServerGone;
  if (!tcp_.Poll(true, false, false, 0)) {
    if (tcp_.LastError() != 0) log_.Write(kPollErrorLine, {static_cast<long>(tcp_.LastError())});
    // A command whose rest never comes must still run out of time, not only
    // when more bytes arrive.
    if (incompleteWaiting_ && recvBuffer_.Size() > 0) Incomplete(recvBuffer_.Data()[0]);
    return TReceiveResult::Nothing;
  }
  std::int32_t available = tcp_.Available();
  if (available == 0) {
    LogReadFailure();
    return TReceiveResult::ServerGone;
  }
  std::uint8_t* tail = recvBuffer_.Reserve(available);
  if (tail == nullptr || !tcp_.Read(tail, available)) {
    // Keep whatever did arrive; with nothing read the link is broken, and the
    // next login sends everything again.
    std::int32_t got = tcp_.LastCount();
    if (tail == nullptr || got <= 0) {
      LogReadFailure();
      return TReceiveResult::ServerGone;
    }
    available = got;
  }
  recvBuffer_.Commit(available);
  TClientCounters::Add(counters_.bytesReceived, static_cast<std::uint64_t>(available));

  TReceiveResult result = TReceiveResult::Nothing;
  while (!Terminated()) {
    TFrame frame = ClassifyFrame(recvBuffer_);
    if (frame.state == TFrameState::Empty) break;
    if (IsCmd2(frame.id) && Debug()) log_.Write(kCmd2Line, {frame.id});
    if (frame.state == TFrameState::UnknownId || frame.state == TFrameState::BadLength) {
      DropOnBadFrame(frame);
      break;
    }
    if (frame.state == TFrameState::Incomplete) {
      Incomplete(frame.id);
      break;
    }
    lastActivityTick_ = platform::TickCount();
    if (IsCmd2(frame.id))
      RunParser2(frame.id);
    else
      HandleFixed(frame.id, frame.size);
    incompleteWaiting_ = false;
    TClientCounters::Add(counters_.recordsReceived);
    result = TReceiveResult::Handled;
  }
  return result;
}

void TOpros2Thread::LogReadFailure() {
  counters_.Failed(tcp_.LastError());
  counters_.Dropped(tcp_.LastError() != 0 ? TDropReason::Reset : TDropReason::ClosedByServer);
  if (tcp_.LastError() != 0)
    log_.Write(kServerGoneCodeLine, {static_cast<long>(tcp_.LastError())});
  else
    log_.Write(kServerGoneLine);
}

void TOpros2Thread::DropOnBadFrame(const TFrame& frame) {
  const std::int32_t buffered = recvBuffer_.Size();
  if (frame.state == TFrameState::BadLength) {
    const auto length = LoadLE<std::uint16_t>(recvBuffer_.Data() + 1);
    log_.Write(kBadLengthLine, {frame.id, length});
  } else {
    log_.Write(kUnknownIdLine, {frame.id, static_cast<long>(buffered)});
  }
  log_.Write(kDumpLine,
             {BytesToHex(recvBuffer_.Data(), buffered < kDumpBytes ? buffered : kDumpBytes)});
  counters_.Dropped(TDropReason::Protocol);
  Disconnect();
}

void TOpros2Thread::Incomplete(std::uint8_t id) {
  if (!incompleteWaiting_) {
    incompleteWaiting_ = true;
    incompleteTimer_.Start();
    return;
  }
  if (incompleteTimer_.GetElapsedSeconds() > kIncompleteLimitSeconds) {
    log_.Write(kIncompleteLine, {id, static_cast<long>(recvBuffer_.Size())});
    incompleteWaiting_ = false;
    counters_.Dropped(TDropReason::Protocol);
    Disconnect();
  }
}

std::uint32_t TOpros2Thread::IncompleteDue() {
  const std::uint64_t limit = (kIncompleteLimitSeconds + 1) * 1000;
  const std::uint64_t elapsed = incompleteTimer_.GetElapsed();
  return elapsed >= limit ? 0 : static_cast<std::uint32_t>(limit - elapsed);
}

bool TOpros2Thread::HandleFixed(std::uint8_t id, std::int32_t size) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  recvBuffer_.Read(bytes.data(), size);
  const std::uint8_t* p = bytes.data();
  switch (id) {
    case kStructServerTime: {
      const TServerTime time = DecodeServerTime(p);
      log_.Write(kServerTimeLine, {SafeDateTimeText(time.serverTime), TimeZoneText(time.bias),
                                   static_cast<long>(TimeDifferenceMs(time.serverTime, Now()))});
      SetServerTime(time.serverTime);
      break;
    }
    case kStructChannelNotice: {
      const TChannelNotice notice = DecodeChannelNotice(p);
      const std::uint8_t flags = notice.flags;
      log_.Write(kNoticeLine, {(flags & 1) ? "A1" : "", (flags & 2) ? "A2" : "",
                               (flags & 4) ? "A3" : "", (flags & 8) ? "A4" : "",
                               static_cast<long>(notice.id), SafeDateTimeText(notice.dateTime)});
      break;
    }
    case kStructStatusReply: {
      const TStatusReply reply = DecodeStatusReply(p);
      if (reply.answeredId == kStructStatusRequest) statusRequestPending_ = false;
      if (Debug()) log_.Write(kStatusLine, {reply.answeredId});
      break;
    }
    default:
      log_.Write(kSkippedLine, {id, static_cast<long>(size)});
      break;
  }
  return true;
}

void TOpros2Thread::RunParser2(std::uint8_t id) {
  try {
    if (id == kCmdControlValue) {
      ParseControl();
    } else if (id == kCmdChannelChange) {
      ParseChannelChange();
    } else {
      recvBuffer_.SkipPacket();
      throw Exception(std::string(kNotHandled));
    }
  } catch (const Exception& e) {
    log_.Write(kParserErrorLine, {id, e.Message()});
  } catch (...) {
    log_.Write(kParserUnknownLine, {id});
  }
}

void TOpros2Thread::ParseControl() {
  TChannel2 decoded;
  std::uint8_t flags = 0;
  GetChannelValueCmd(recvBuffer_, &decoded, flags);
  TClientCounters::Add(counters_.controlsReceived);
  if (Debug()) {
    log_.Write(kControlLine, {decoded.Addr(), static_cast<unsigned long>(decoded.Number()),
                              decoded.Type(), SafeDateTimeText(decoded.DT()), decoded.ValuesText(),
                              (flags & ValueFlag::ControlMark) ? kYes : kNo, decoded.Owner()});
  }
  bool byNumber = (flags & ValueFlag::ByNumber) != 0;
  const TListedState listed = byNumber ? channels_.ListedState({}, decoded.Number())
                                       : channels_.ListedState(decoded.Addr(), 0);
  if (listed != TListedState::Active) TClientCounters::Add(counters_.controlsRefused);
  if (listed == TListedState::NotListed)
    throw Exception(ChannelName(byNumber, decoded.Number(), decoded.Addr()) +
                    std::string(kNotFound));
  if (listed == TListedState::Inactive)
    throw Exception(ChannelName(byNumber, decoded.Number(), decoded.Addr()) +
                    std::string(kNotActive));
  ControlRequest request;
  request.Addr = decoded.Addr();
  request.Number = decoded.Number();
  request.DT = decoded.DT();
  request.Quality = decoded.Quality();
  request.Value = decoded.Value();
  // A full queue refuses it: counted, and told in the overflow's line.
  if (!controls_.Push(std::move(request))) TClientCounters::Add(counters_.controlsRefused);
}

void TOpros2Thread::EndControlOverflow(bool workerEnds) {
  const unsigned long refused = controls_.EndOverflow(workerEnds);
  if (refused != 0)
    log_.Write(kControlsRefusedLine, {static_cast<unsigned long>(controls_.Bound()), refused});
}

void TOpros2Thread::ParseChannelChange() {
  TChannel2 decoded;
  GetChannelChangeCmd(recvBuffer_, &decoded);
  constexpr std::uint16_t kChangeMask =
      ChannelField::Number | ChannelField::MergeAttributes | ChannelField::Active;
  TNumberLoss loss;
  try {
    loss = channels_.UpdateOrRaise(&decoded, kChangeMask, true, false);
  } catch (const Exception&) {
    throw Exception(std::string(kChangeFailed) + Quoted(decoded.Addr()) + std::string(kNumberSign) +
                    std::to_string(decoded.Number()));
  }
  // The server's number wins over one the list handed out: that is how the
  // server's numbering replaces the client's. The same number given to two
  // channels is the server's mistake, worth a line.
  if (!loss.Addr.empty() && !loss.HandedOut) {
    log_.Write(kNumberTakenLine,
               {static_cast<unsigned long>(loss.Number), decoded.Addr(), loss.Addr});
  }
}

void TOpros2Thread::SetServerTime(TDateTime serverTime) {
  if (!settings_.SetClock) return;
  if (GetElevationType() == kElevationLimited) {
    log_.Write(kNoRightsLine);
    return;
  }
  try {
    SetSystemClock(serverTime);
    log_.Write(kClockSetLine);
  } catch (const Exception& e) {
    log_.Write(kClockErrorLine, {e.Message()});
  }
}

}  // namespace kv
