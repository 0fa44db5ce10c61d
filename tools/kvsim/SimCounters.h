#pragma once
// What the command-line server did, for the summary it prints at exit:
// connections, logins, messages and bytes each way, controls sent and
// faults injected. Fed from the server's observer and transcript (both run
// on the server thread) and the fault listener; read once the server has
// stopped. No lock: it is never read while it is written.
#include <cstdint>
#include <string>

#include "kvsim/SimState.h"

namespace kv::sim {

class TSimCounters {
 public:
  // Every record the server keeps.
  void Received(const TReceivedRecord& record);
  // Every byte string the server sends on connection `session`. Messages
  // are counted as they complete, so one split into pieces counts once.
  void Sent(std::uint32_t session, const std::string& bytes);
  void FaultInjected() { ++faults_; }

  // One line; the faults only when `faultMode`.
  std::string Summary(bool faultMode) const;

  std::uint64_t Connections() const { return connections_; }
  std::uint64_t Logins() const { return logins_; }
  std::uint64_t RecordsReceived() const { return recordsReceived_; }
  std::uint64_t BytesReceived() const { return bytesReceived_; }
  std::uint64_t RecordsSent() const { return recordsSent_; }
  std::uint64_t BytesSent() const { return bytesSent_; }
  std::uint64_t ControlsSent() const { return controlsSent_; }
  std::uint64_t Faults() const { return faults_; }
  // Adds another client's counts (several clients at once).
  TSimCounters& operator+=(const TSimCounters& other);

 private:
  std::uint64_t connections_ = 0;
  std::uint64_t logins_ = 0;
  std::uint64_t recordsReceived_ = 0;
  std::uint64_t bytesReceived_ = 0;
  std::uint64_t recordsSent_ = 0;
  std::uint64_t bytesSent_ = 0;
  std::uint64_t controlsSent_ = 0;
  std::uint64_t faults_ = 0;
  std::uint32_t session_ = 0;
  std::string pending_;  // the start of a message not yet sent whole
};

}  // namespace kv::sim
