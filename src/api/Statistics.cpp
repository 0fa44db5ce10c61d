#include "api/Statistics.h"

#include <cstddef>
#include <cstring>

namespace kv {
namespace {

// The layout the header promises to every compiler and both word sizes.
static_assert(offsetof(kv_statistics, connectedSince) == KVOPROS2_STATISTICS_HEADER_SIZE);
static_assert(offsetof(kv_statistics, dropsClosedByServer) == 24);
static_assert(offsetof(kv_statistics, lastErrorTime) == 168);
static_assert(offsetof(kv_statistics, serverIndex) == 176);
static_assert(offsetof(kv_statistics, serverSwitches) == 184);
static_assert(offsetof(kv_statistics, historyValues) == 192);
static_assert(offsetof(kv_statistics, historySent) == 224);
static_assert(sizeof(kv_statistics) == 232);

}  // namespace

bool StatisticsArgOk(const kv_statistics* stats) noexcept {
  return stats != nullptr && stats->size >= KVOPROS2_STATISTICS_HEADER_SIZE;
}

bool FillStatistics(const ClientStatistics& s, kv_statistics* stats) noexcept {
  kv_statistics all;
  std::memset(&all, 0, sizeof all);
  all.size = stats->size;
  all.version = KVOPROS2_STATISTICS_VERSION;
  all.connectedSince = s.ConnectedSinceMs;
  all.logins = s.Logins;
  all.dropsClosedByServer = s.Drops[static_cast<int>(TDropReason::ClosedByServer)];
  all.dropsReset = s.Drops[static_cast<int>(TDropReason::Reset)];
  all.dropsWriteTimeout = s.Drops[static_cast<int>(TDropReason::WriteTimeout)];
  all.dropsLinkTest = s.Drops[static_cast<int>(TDropReason::LinkTest)];
  all.dropsProtocolError = s.Drops[static_cast<int>(TDropReason::Protocol)];
  all.dropsLoginRefused = s.Drops[static_cast<int>(TDropReason::LoginRefused)];
  all.bytesSent = s.BytesSent;
  all.bytesReceived = s.BytesReceived;
  all.recordsSent = s.RecordsSent;
  all.recordsReceived = s.RecordsReceived;
  all.valuesCoalesced = s.ValuesCoalesced;
  all.channelsRegistered = s.ChannelsRegistered;
  all.channelsActive = s.ChannelsActive;
  all.channelsWaiting = s.ChannelsWaiting;
  all.controlsReceived = s.ControlsReceived;
  all.controlsWaiting = s.ControlsWaiting;
  all.controlsRefused = s.ControlsRefused;
  all.lastError = s.LastError;
  all.lastErrorTime = s.LastErrorTimeMs;
  all.serverIndex = s.ServerIndex;
  all.serverSwitches = s.ServerSwitches;
  all.historyValues = s.HistoryValues;
  all.historyBytes = s.HistoryBytes;
  all.historyDroppedBound = s.HistoryDroppedBound;
  all.historyDroppedAge = s.HistoryDroppedAge;
  all.historySent = s.HistorySent;
  // Whole 8-byte fields only: a host's size that ends inside one leaves it
  // untouched rather than half written.
  std::size_t bytes = stats->size < sizeof all ? stats->size : sizeof all;
  bytes -= (bytes - KVOPROS2_STATISTICS_HEADER_SIZE) % sizeof(kv_uint64);
  std::memcpy(reinterpret_cast<unsigned char*>(stats) + sizeof(all.size),
              reinterpret_cast<const unsigned char*>(&all) + sizeof(all.size),
              bytes - sizeof(all.size));
  return true;
}

}  // namespace kv
