#include "client/HistorySender.h"

#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/Wsprintf.h"

namespace kv {
namespace {

constexpr auto kDroppedLine =
    "ERROR\tИстория значений переполнена (предел %s байт), отброшено самых старых значений: %s"_cp;
constexpr auto kKeptErrorLine = "ERROR\tИстория значений: %s";
constexpr auto kKeptUnknownLine = "ERROR\tИстория значений: неизвестная ошибка"_cp;
// Hold after hold, a pass looks at this many batches at most, so that a
// history of channels that may not send yet costs a pass little.
constexpr std::size_t kBatchesPerPass = 128;

}  // namespace

void THistorySender::Send(TChannelList2& channels, TKavrelCmdParser& buffer, std::uint64_t written,
                          std::vector<std::string>& lines) {
  if (!loginReported_) {
    loginReported_ = true;
    const std::uint64_t dropped = channels.HistoryFigures().droppedBound;
    if (dropped != droppedReported_) {
      lines.push_back(Wsprintf(kDroppedLine, {std::to_string(channels.HistoryLimitBytes()),
                                              std::to_string(dropped - droppedReported_)}));
      droppedReported_ = dropped;
    }
  }
  // What the socket took is gone: its memory goes back, also when nothing
  // more is kept.
  if (confirmed_) {
    confirmed_ = false;
    channels.ReclaimHistory();
  }
  std::size_t sent = 0;
  for (std::size_t batch = 0; batch < kBatchesPerPass && sent < kSliceValues; ++batch) {
    if (!channels.HistoryHasWork()) break;
    const std::size_t taken = channels.TakeKept(batch_, kBatchValues);
    for (std::size_t i = 0; i < taken; ++i) {
      const TKeptSnapshot& kept = batch_[i];
      // A record that cannot be encoded now never will be: it is gone with
      // its line (the writer cut the buffer back to where it began).
      try {
        SetChannelValueCmd(buffer, &kept.Channel, ValueFlag::Client, false, kCmdChannelValue);
        inFlight_.push_back({kept.Taken, written + static_cast<std::uint64_t>(buffer.Size())});
        ++sent;
        continue;
      } catch (const Exception& e) {
        lines.push_back(Wsprintf(kKeptErrorLine, {e.Message()}));
      } catch (...) {
        lines.push_back(std::string(kKeptUnknownLine));
      }
      channels.ConfirmKept(kept.Taken, false);
    }
  }
}

void THistorySender::Abandon(TChannelList2& channels) {
  if (inFlight_.empty()) return;
  channels.RevertKept(inFlight_, [](const TInFlight& kept) { return kept.taken; });
  inFlight_.clear();
}

}  // namespace kv
