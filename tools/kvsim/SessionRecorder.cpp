#include "kvsim/SessionRecorder.h"

#include <algorithm>
#include <cstdio>

#include "kvsim/Recording.h"

namespace kv::sim {

std::string TSessionRecorder::Name(std::uint32_t session, const char* extension) const {
  char name[32];
  std::snprintf(name, sizeof name, "%05u.%s", static_cast<unsigned>(session), extension);
  return directory_ + "/" + prefix_ + name;
}

std::string TSessionRecorder::FileName(std::uint32_t session) const { return Name(session, "bin"); }

std::string TSessionRecorder::ExchangeName(std::uint32_t session) const {
  return Name(session, "rec");
}

void TSessionRecorder::Sent(std::uint32_t session, const std::string& bytes) {
  Exchange(session, true, bytes);
  if (session != session_) {
    session_ = session;
    written_ = 0;
  }
  if (written_ >= maxBytes_ || bytes.empty()) return;
  const std::size_t take = std::min(bytes.size(), maxBytes_ - written_);
  std::ofstream file(FileName(session), std::ios::binary | std::ios::app);
  if (!file.write(bytes.data(), static_cast<std::streamsize>(take))) return;
  written_ += take;
}

void TSessionRecorder::Received(std::uint32_t session, const std::string& bytes) {
  Exchange(session, false, bytes);
}

void TSessionRecorder::Ended(std::uint32_t session) {
  if (session == exchangeSession_) exchange_.close();
}

void TSessionRecorder::Exchange(std::uint32_t session, bool fromServer, const std::string& bytes) {
  if (exchangeLimit_ == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (session != exchangeSession_) {
    exchangeSession_ = session;
    exchange_.close();
    exchange_.clear();
    exchange_.open(ExchangeName(session), std::ios::binary | std::ios::trunc);
    exchange_ << RecordingHeader(session);
    exchangeWritten_ = 0;
    start_ = now;
    pending_[0].clear();
    pending_[1].clear();
  }
  if (!exchange_ || exchangeWritten_ >= exchangeLimit_) return;
  std::string& pending = pending_[fromServer ? 1 : 0];
  pending += bytes;
  TRecordedMessage message;
  message.ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
  message.fromServer = fromServer;
  for (std::string& bytesOfOne : TakeMessages(pending)) {
    message.bytes = std::move(bytesOfOne);
    const std::string line = RecordingLine(message);
    exchangeWritten_ += line.size();
    if (exchangeWritten_ > exchangeLimit_) {
      exchange_ << "# the recording stops here: it reached its limit of " << exchangeLimit_
                << " bytes\n";
      break;
    }
    exchange_ << line;
  }
  exchange_.flush();
}

}  // namespace kv::sim
