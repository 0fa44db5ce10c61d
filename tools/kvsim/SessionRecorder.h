#pragma once
// Keeps what the test server sent on each connection in a file of its own,
// "session-00001.bin" and on, in a directory that must exist: the login
// reply and then the command stream as the client received them. Such
// files seed the fuzzing of the client's receive pass. A file stops
// growing at `maxBytes`.
//
// Plug Sent into TServerOptions::transcript; it runs on the server thread
// only. Files that cannot be written are skipped silently: recording must
// never disturb the server.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::sim {

class TSessionRecorder {
 public:
  explicit TSessionRecorder(std::string directory, std::size_t maxBytes = 16384)
      : directory_(std::move(directory)), maxBytes_(maxBytes) {}

  void Sent(std::uint32_t session, const std::string& bytes);
  std::string FileName(std::uint32_t session) const;

 private:
  std::string directory_;
  std::size_t maxBytes_;
  std::uint32_t session_ = 0;
  std::size_t written_ = 0;  // bytes in the file of session_
};

}  // namespace kv::sim
