// The host's registrations (host threads) and the send pass (worker thread).
#include <algorithm>

#include "channels/OwnerId.h"
#include "client/LogText.h"
#include "client/ClientThread.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

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
// The most elements an array in one value record can have: less the count
// word, each element takes a byte at least.
constexpr std::int32_t kMaxArrayElements = TKavrelCmdParser::kValueRoom - 2;

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

// Whether a value, converted to the channel's type, fits the room of a
// value.
bool ValueFits(const Variant& converted) {
  const std::int64_t size = BinarySize(converted);
  return size >= 0 && size <= TKavrelCmdParser::kValueRoom;
}

}  // namespace

bool TOpros2Thread::RegisterChannel(const ChannelDeclaration& d, TCallResult* why) {
  if (d.Addr.empty()) return Report(why, TCallResult::EmptyAddress);
  if (!HasBinaryForm(d.Type)) return Report(why, TCallResult::BadType);
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
    if (!RegistrationEncodes(channel)) return Report(why, TCallResult::TooLarge);
    return Report(why, channels_.Add(&channel, true, true, ChannelField::All, true)
                           ? TCallResult::Ok
                           : TCallResult::NoResources);
  } catch (...) {
    return Report(why, TCallResult::NoResources);
  }
}

bool TOpros2Thread::RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                                      const Variant& value, TCallResult* why) {
  if (addr.empty()) return Report(why, TCallResult::EmptyAddress);
  if (id == 0) return Report(why, TCallResult::BadId);
  if (type == 0 || !HasBinaryForm(type)) return Report(why, TCallResult::BadType);
  try {
    const std::int16_t owner = CurrentClientOwnerID();
    const TDateTime now = Now();
    // An attribute the record cannot carry changes nothing: it is tried on a
    // copy first, outside the list's locks. The trial holds if no
    // registration changed meanwhile, and is made again under the lock if
    // one did.
    const std::uint32_t seen = channels_.RegistrationChanges();
    std::unique_ptr<TChannel2> candidate = channels_.CopyByAddress(addr);
    if (!candidate) return Report(why, TCallResult::UnknownChannel);
    candidate->SetAttribute(id, type, value, owner, now);
    bool encodes = RegistrationEncodes(*candidate);
    candidate.reset();
    return Report(
        why, channels_.ChangeByAddress(addr, TCallResult::UnknownChannel, [&](TChannel2& channel) {
          if (channels_.RegistrationChanges() != seen) {
            // Without the value, which host threads may be replacing.
            TChannel2 again;
            again.Assign(&channel,
                         static_cast<std::uint16_t>(ChannelField::All & ~ChannelField::ValueState));
            again.SetAttribute(id, type, value, owner, now);
            encodes = RegistrationEncodes(again);
          }
          if (!encodes) return TCallResult::TooLarge;
          // Due whatever SetAttribute gives or raises.
          channel.AddFlags(NeedRegister);
          return channel.SetAttribute(id, type, value, owner, now) ? TCallResult::Ok
                                                                   : TCallResult::Replaced;
        }));
  } catch (...) {
    return Report(why, TCallResult::NoResources);
  }
}

bool TOpros2Thread::RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                                      const Variant& value, TCallResult* why) {
  if (addr.empty()) return Report(why, TCallResult::EmptyAddress);
  // A value no record could carry is refused before any lock is taken, at
  // the cost of a length: only a good quality stores the value. An array's
  // exact size is checked once it is converted to the channel's type, also
  // outside any lock.
  if (quality == 0 && (value.TextLength() > kMaxValueText ||
                       (value.IsArray() && value.ArrayCount() > kMaxArrayElements)))
    return Report(why, TCallResult::TooLarge);
  try {
    const TChannelList2::TValueCheck fits = value.IsArray() ? &ValueFits : nullptr;
    switch (channels_.StoreValue(addr, quality, dt, value, fits)) {
      case TStoreResult::Replaced:  // counted by the list
      case TStoreResult::Stored:
        return Report(why, TCallResult::Ok);
      case TStoreResult::NotListed:
        return Report(why, TCallResult::UnknownChannel);
      case TStoreResult::Refused:
        return Report(why, TCallResult::TooLarge);
      case TStoreResult::Unchanged:
        return Report(why, TCallResult::Unchanged);
    }
    return Report(why, TCallResult::NoResources);
  } catch (...) {
    return Report(why, TCallResult::NoResources);
  }
}

void TOpros2Thread::SendSnapshot(const TSendSnapshot& item, bool debug,
                                 std::vector<std::string>& lines) {
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
    if (debug) {
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
      bool through = false;
      while (sendBuffer_.Size() < kSendBufferSoftLimit) {
        // One answer per batch: its copies hold the texts of debug lines
        // only when asked to.
        const bool debug = Debug();
        const std::size_t taken = channels_.TakePending(cursor, sendBatch_, debug);
        if (taken == 0) {
          through = true;
          break;
        }
        for (std::size_t i = 0; i < taken; ++i) SendSnapshot(sendBatch_[i], debug, lines);
        for (const std::string& line : lines) log_.Write(line);
        lines.clear();
      }
      // Kept values behind the registrations and current values, a slice a
      // pass.
      if (through && channels_.HistoryOn()) {
        historySender_.Send(channels_, sendBuffer_, counters_.bytesSent.load(), lines);
        for (const std::string& line : lines) log_.Write(line);
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
    historySender_.Written(channels_, counters_.bytesSent.load());
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
  if (now - writeProgressTick_ >= settings_.WriteTimeoutMs()) {
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
  // From now on a channel that may send sends its values itself, and the
  // kept ones follow the registrations.
  if (IsConnected() && channels_.HistoryOn()) {
    channels_.SetHistoryLinkUp(true);
    historySender_.LoggedIn();
  }
}

}  // namespace kv
