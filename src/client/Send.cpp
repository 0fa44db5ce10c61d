// The host's registrations (host threads) and the send pass (worker thread).
#include <algorithm>

#include "channels/OwnerId.h"
#include "client/LogText.h"
#include "client/Servercon.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "protocol/Channelcmd.h"
#include "protocol/Kavrel.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "values/Channelutils.h"
#include "values/Utils.h"

namespace kv {
namespace {

constexpr auto kValueLine =
    "DEBUG\tVALUE_TO_SERVER Addr=%s №%lu Type=%u Active=%s DT=%s Value=%s AttrCount=%d"_cp;
constexpr auto kSendErrorLine = "ERROR\tTOpros2Thread::KVProcessSend %s";
constexpr auto kSendUnknownLine = "ERROR\tTOpros2Thread::KVProcessSend неизвестная ошибка"_cp;
constexpr auto kSendFailedLine = "ERROR\tTOpros2Thread::KVProcessSend ошибка отправки каналов"_cp;
constexpr auto kWriteErrorLine = "ERROR\ttcp.Write(DATA[], SIZE)\tSIZE=%ld bytes ERR=%ld";
constexpr auto kServerAbortedLine = "ERROR\tСервер прервал соединение."_cp;
constexpr auto kMarkAllErrorLine = "ERROR\tTOpros2Thread::NeedRegisterAllChannels %s";
constexpr auto kMarkAllUnknownLine =
    "ERROR\tTOpros2Thread::NeedRegisterAllChannels неизвестная ошибка"_cp;

constexpr std::uint16_t kEnumEUType = 2;
constexpr std::uint16_t kRegisteredByHost = 0x0001;
using platform::wsa::kConnectionAborted;
using platform::wsa::kConnectionReset;
using platform::wsa::kTimedOut;
using platform::wsa::kWouldBlock;
// The longest text one value record can carry: a value has this much room,
// less the text's length word.
constexpr std::size_t kMaxValueText = TKavrelCmdParser::kValueRoom - 2;

// The texts between tabs, empty ones kept, as an array of OLE texts.
Variant EnumTextArray(std::string_view texts) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = texts.find('\t', start);
    parts.push_back(texts.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  Variant array = Variant::CreateArray(varOleStr, 0, static_cast<std::int32_t>(parts.size()) - 1);
  for (std::size_t i = 0; i < parts.size(); ++i)
    array.SetElement(static_cast<std::int32_t>(i), Variant::FromWide(AnsiToWide(parts[i])));
  return array;
}

// Whether the channel's registration record can be composed at all; one
// that cannot now never will, so the host's call is refused instead.
bool RegistrationEncodes(const TChannel2& channel) {
  try {
    TKavrelCmdParser scratch;
    SetChannelRegisterCmd(scratch, &channel, RegisterFlag::Client, kAnyOwner, true, false);
    return true;
  } catch (...) {
    return false;
  }
}

// Whether value, converted to the channel's type, fits the room of a value.
// A value that does not convert passes: storing it drops it, as always.
bool ValueFits(const Variant& value, std::uint16_t type) {
  Variant converted = value;
  try {
    ConvertToType(converted, type);
  } catch (...) {
    return true;
  }
  const std::int64_t size = BinarySize(converted);
  return size >= 0 && size <= TKavrelCmdParser::kValueRoom;
}

}  // namespace

bool TOpros2Thread::RegisterChannel(const ChannelDeclaration& d) {
  if (!HasBinaryForm(d.Type)) return false;
  try {
    TChannel2 channel;
    channel.SetAddr(d.Addr);
    channel.SetType(d.Type);
    channel.SetWriteEnable(d.WriteEnable);
    channel.SetSaveValue(d.SaveValue);
    if (!d.Comments.empty()) channel.SetComments(d.Comments);
    if (!d.Prefix.empty()) channel.SetPrefix(d.Prefix);
    if (!d.Unit.empty()) channel.SetUnit(d.Unit);
    if (!d.FormatString.empty()) channel.SetFormatString(d.FormatString);
    if (!d.Description.empty()) channel.SetDescription(d.Description);
    if (d.Signification != 0) channel.SetSignification(d.Signification);
    if (!d.EnumTexts.empty()) {
      channel.SetEUType(kEnumEUType);
      channel.SetEUInfo2(EnumTextArray(d.EnumTexts));
    }
    channel.SetFlags(channel.Flags() | kRegisteredByHost | NeedRegister);
    // A listed channel takes everything from this one, so this one's record
    // is the one that will be sent.
    if (!RegistrationEncodes(channel)) return false;
    return channels_.Add(&channel, true, true, ChannelField::All, true);
  } catch (...) {
    return false;
  }
}

bool TOpros2Thread::RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                                      const Variant& value) {
  if (addr.empty() || id == 0 || type == 0 || !HasBinaryForm(type)) return false;
  try {
    const std::int16_t owner = CurrentClientOwnerID();
    const TDateTime now = Now();
    return channels_.ChangeByAddress(addr, false, [&](TChannel2& channel) {
      // Tried on a copy first: an attribute the record cannot carry changes
      // nothing.
      TChannel2 candidate(&channel);
      candidate.SetAttribute(id, type, value, owner, now);
      if (!RegistrationEncodes(candidate)) return false;
      // Due whatever SetAttribute gives or raises.
      channel.AddFlags(NeedRegister);
      return channel.SetAttribute(id, type, value, owner, now);
    });
  } catch (...) {
    return false;
  }
}

bool TOpros2Thread::RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                                      const Variant& value) {
  if (addr.empty()) return false;
  // A value no record could carry is refused before anything changes. Only
  // a good quality stores the value; texts are checked here, outside the
  // lock and at the cost of a length, arrays (rare) once the type is known.
  if (quality == 0 && value.TextLength() > kMaxValueText) return false;
  try {
    const TChannelList2::TValueCheck fits = value.IsArray() ? &ValueFits : nullptr;
    switch (channels_.StoreValue(addr, quality, dt, value, fits)) {
      case TStoreResult::Replaced:
        // The value still waiting to go out is replaced, never sent.
        TClientCounters::Add(counters_.valuesCoalesced);
        return true;
      case TStoreResult::Stored:
        return true;
      default:
        return false;
    }
  } catch (...) {
    return false;
  }
}

void TOpros2Thread::SendSnapshot(const TSendSnapshot& item, std::vector<std::string>& lines) {
  const TChannel2& channel = item.Channel;
  // A record that cannot be encoded now never will be: it is dropped with
  // its line rather than failing every pass, and the channels behind it go
  // on (the writer has cut the buffer back to where the record began).
  try {
    if (item.Registration) {
      SetChannelRegisterCmd(sendBuffer_, &channel, RegisterFlag::Client, kAnyOwner, true, false);
      TClientCounters::Add(counters_.recordsSent);
    }
  } catch (const Exception& e) {
    lines.push_back(Wsprintf(kSendErrorLine, {e.Message()}));
  } catch (...) {
    lines.push_back(std::string(kSendUnknownLine));
  }
  if (!item.Value) return;
  try {
    SetChannelValueCmd(sendBuffer_, &channel, ValueFlag::Client, false, kCmdChannelValue);
    TClientCounters::Add(counters_.recordsSent);
    if (settings_.DebugLog) {
      lines.push_back(Wsprintf(
          kValueLine, {channel.Addr(), static_cast<unsigned long>(channel.Number()), channel.Type(),
                       channel.Active() ? kYes : kNo, SafeDateTimeText(channel.DT()),
                       SafeValuesText(channel), item.AttributeCount}));
    }
  } catch (const Exception& e) {
    lines.push_back(Wsprintf(kSendErrorLine, {e.Message()}));
  } catch (...) {
    lines.push_back(std::string(kSendUnknownLine));
  }
}

// The list is never held while records are encoded or lines formatted: each
// batch of channels is copied out under one short hold, then encoded, and
// the host's channel and attribute calls get the lock between batches (its
// value calls do not need it). A channel the host changes
// after its copy was taken is marked again and goes out with this pass, if
// the pass has not passed it yet, or the next.
void TOpros2Thread::KVProcessSend() {
  // While the socket has not taken everything queued, new records would only
  // pile up behind it; the channels keep their marks and go out, with their
  // latest values, once it has.
  if (sendBuffer_.Size() == 0) {
    std::vector<std::string> lines;
    try {
      std::size_t cursor = 0;
      while (sendBuffer_.Size() < kSendBufferSoftLimit) {
        const std::size_t taken = channels_.TakePending(cursor, sendBatch_, settings_.DebugLog);
        if (taken == 0) break;
        for (std::size_t i = 0; i < taken; ++i) SendSnapshot(sendBatch_[i], lines);
        for (const std::string& line : lines) log_.Write(line);
        lines.clear();
      }
    } catch (const Exception& e) {
      log_.Write(kSendErrorLine, {e.Message()});
    } catch (...) {
      log_.Write(kSendUnknownLine);
    }
  }
  if (!FlushSend()) log_.Write(kSendFailedLine);
}

TOpros2Thread::TWrite TOpros2Thread::WriteQueued() {
  std::int32_t size = sendBuffer_.Size();
  if (size == 0) {
    writeWaiting_ = false;
    return TWrite::Done;
  }
  std::uint32_t now = platform::TickCount();
  bool written = tcp_.Write(sendBuffer_.Data(), size);
  // What reached the server must never be sent twice.
  if (tcp_.LastCount() > 0) {
    TClientCounters::Add(counters_.bytesSent, static_cast<std::uint64_t>(tcp_.LastCount()));
    sendBuffer_.Skip(tcp_.LastCount());
    writeProgressTick_ = now;
    writeErrorLogged_ = false;
  } else if (!writeWaiting_) {
    writeProgressTick_ = now;
  }
  writeWaiting_ = !written;
  writeWait_ = TWriteWait::None;
  if (written) return TWrite::Done;
  int error = tcp_.LastError();
  if (error == kConnectionAborted || error == kConnectionReset) return TWrite::Failed;
  // A short write and "would block" are the socket's flow control: after
  // the one the socket may take more at once, after the other it says when
  // it can.
  bool flowControl = tcp_.Status() == TTCPClient::kStatusShort || error == kWouldBlock;
  if (error == kWouldBlock)
    writeWait_ = TWriteWait::Writable;
  else if (!flowControl)
    writeWait_ = TWriteWait::Pause;
  std::uint64_t limit = static_cast<std::uint64_t>(std::max(settings_.TimeoutSec, 1)) * 1000;
  if (now - writeProgressTick_ >= limit) {
    tcp_.SetError(kTimedOut);
    return TWrite::Failed;
  }
  return flowControl ? TWrite::Waiting : TWrite::Failed;
}

bool TOpros2Thread::FlushSend() {
  std::int32_t size = sendBuffer_.Size();
  if (WriteQueued() != TWrite::Failed) return true;
  int error = tcp_.LastError();
  bool aborted = error == kConnectionAborted || error == kConnectionReset;
  bool drop = aborted || error == kTimedOut;
  // Another error keeps the bytes for the next passes; it is logged once,
  // not on every pass until it clears.
  if (!drop && writeErrorLogged_) return true;
  log_.Write(kWriteErrorLine, {static_cast<long>(size), static_cast<long>(error)});
  counters_.Failed(error);
  if (drop) counters_.Dropped(aborted ? TDropReason::Reset : TDropReason::WriteTimeout);
  if (aborted) log_.Write(kServerAbortedLine);
  if (drop)
    Disconnect();
  else
    writeErrorLogged_ = true;
  return false;
}

void TOpros2Thread::NeedRegisterAllChannels() {
  try {
    channels_.SetSendFlagsOnAll(NeedRegister | NeedSendValue);
  } catch (const Exception& e) {
    log_.Write(kMarkAllErrorLine, {e.Message()});
  } catch (...) {
    log_.Write(kMarkAllUnknownLine);
  }
}

}  // namespace kv
