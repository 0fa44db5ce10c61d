#include "kvsim/SessionRecorder.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace kv::sim {

std::string TSessionRecorder::FileName(std::uint32_t session) const {
  char name[32];
  std::snprintf(name, sizeof name, "session-%05u.bin", static_cast<unsigned>(session));
  return directory_ + "/" + name;
}

void TSessionRecorder::Sent(std::uint32_t session, const std::string& bytes) {
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

}  // namespace kv::sim
