#include "DemoStatistics.h"

#include <cstdio>
#include <ctime>

namespace kv::demo {
namespace {

std::string N(kv_uint64 n) { return std::to_string(static_cast<unsigned long long>(n)); }

// "YYYY-MM-DD hh:mm:ss.mmm UTC" of Unix milliseconds; "none" for 0.
std::string UtcText(kv_uint64 ms) {
  if (ms == 0) return "none";
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
#ifdef _WIN32
  if (gmtime_s(&utc, &seconds) != 0) return N(ms) + " ms";
#else
  if (gmtime_r(&seconds, &utc) == nullptr) return N(ms) + " ms";
#endif
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03u UTC", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<unsigned>(ms % 1000));
  return text;
}

}  // namespace

std::vector<std::string> DescribeStatistics(const kv_statistics& s) {
  return {
      "connected since " + UtcText(s.connectedSince) + ", logins " + N(s.logins),
      "server in use: " +
          (s.serverIndex == 0 ? std::string("the main one") : "reserve " + N(s.serverIndex)) +
          ", logins at another server than the one before " + N(s.serverSwitches),
      "connections lost: closed by server " + N(s.dropsClosedByServer) + ", reset " +
          N(s.dropsReset) + ", write time-out " + N(s.dropsWriteTimeout) + ", link test " +
          N(s.dropsLinkTest) + ", protocol error " + N(s.dropsProtocolError) + ", login refused " +
          N(s.dropsLoginRefused),
      "sent " + N(s.recordsSent) + " records, " + N(s.bytesSent) + " bytes; received " +
          N(s.recordsReceived) + " records, " + N(s.bytesReceived) + " bytes",
      "values replaced before sending: " + N(s.valuesCoalesced),
      "channels: " + N(s.channelsRegistered) + " declared, " + N(s.channelsActive) + " active, " +
          N(s.channelsWaiting) + " waiting to be sent",
      "controls: " + N(s.controlsReceived) + " received, " + N(s.controlsWaiting) + " waiting, " +
          N(s.controlsRefused) + " refused",
      "last error: " + (s.lastError == 0 ? std::string("none")
                                         : N(s.lastError) + " at " + UtcText(s.lastErrorTime)),
  };
}

}  // namespace kv::demo
