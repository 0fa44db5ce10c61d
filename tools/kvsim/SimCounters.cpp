#include "kvsim/SimCounters.h"

#include "protocol/CommandCatalogue.h"

namespace kv::sim {

void TSimCounters::Received(const TReceivedRecord& record) {
  if (record.kind == TRecordKind::Connected) ++connections_;
  if (record.kind == TRecordKind::Login) ++logins_;
  if (record.bytes.empty()) return;
  ++recordsReceived_;
  bytesReceived_ += record.bytes.size();
}

void TSimCounters::Sent(std::uint32_t session, const std::string& bytes) {
  bytesSent_ += bytes.size();
  // A new connection starts on a message boundary.
  if (session != session_) pending_.clear();
  session_ = session;
  pending_ += bytes;
  std::size_t at = 0;
  while (at < pending_.size()) {
    const TFrame frame = ClassifyFrame(reinterpret_cast<const std::uint8_t*>(pending_.data()) + at,
                                       static_cast<std::int32_t>(pending_.size() - at));
    if (frame.state == TFrameState::Incomplete) break;
    ++recordsSent_;
    if (frame.state != TFrameState::Complete) {
      // Garbage the server was told to send: no boundary follows.
      at = pending_.size();
      break;
    }
    if (frame.id == kCmdControlValue) ++controlsSent_;
    at += static_cast<std::size_t>(frame.size);
  }
  pending_.erase(0, at);
}

TSimCounters& TSimCounters::operator+=(const TSimCounters& other) {
  connections_ += other.connections_;
  logins_ += other.logins_;
  recordsReceived_ += other.recordsReceived_;
  bytesReceived_ += other.bytesReceived_;
  recordsSent_ += other.recordsSent_;
  bytesSent_ += other.bytesSent_;
  controlsSent_ += other.controlsSent_;
  faults_ += other.faults_;
  return *this;
}

std::string TSimCounters::Summary(bool faultMode) const {
  std::string text = std::to_string(connections_) + " connection(s), " + std::to_string(logins_) +
                     " login(s); received " + std::to_string(recordsReceived_) + " message(s), " +
                     std::to_string(bytesReceived_) + " bytes; sent " +
                     std::to_string(recordsSent_) + " message(s), " + std::to_string(bytesSent_) +
                     " bytes, " + std::to_string(controlsSent_) + " control(s)";
  if (faultMode) text += "; " + std::to_string(faults_) + " fault(s) injected";
  return text;
}

}  // namespace kv::sim
