#pragma once
// Keeps what the test server sent on each connection in a file of its own,
// "session-00001.bin" and on, in a directory that must exist: the login
// reply and then the command stream as the client received them. Such
// files seed the fuzzing of the client's receive pass. A file stops
// growing at `maxBytes`.
//
// Asked to, it also keeps each connection's whole exchange, both ways and
// message by message with its time, in "session-00001.rec" (Recording.h),
// which `kvsim --replay` plays back; that file stops at `exchangeLimit`.
//
// Plug Sent into TServerOptions::transcript and Received into its
// `received`; both run on the server thread only. Files that cannot be
// written are skipped silently: recording must never disturb the server.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace kv::sim {

class TSessionRecorder {
 public:
  // `prefix` begins every file name ("client-2-session-" for one of several
  // clients).
  explicit TSessionRecorder(std::string directory, std::size_t maxBytes = 16384,
                            std::string prefix = "session-")
      : directory_(std::move(directory)), maxBytes_(maxBytes), prefix_(std::move(prefix)) {}

  void KeepExchanges(std::size_t exchangeLimit = 32u << 20) { exchangeLimit_ = exchangeLimit; }

  void Sent(std::uint32_t session, const std::string& bytes);
  void Received(std::uint32_t session, const std::string& bytes);
  // The connection ended: its exchange file is closed (and free to move or
  // remove, also on Windows).
  void Ended(std::uint32_t session);
  std::string FileName(std::uint32_t session) const;
  std::string ExchangeName(std::uint32_t session) const;

 private:
  std::string Name(std::uint32_t session, const char* extension) const;
  void Exchange(std::uint32_t session, bool fromServer, const std::string& bytes);

  std::string directory_;
  std::size_t maxBytes_;
  std::string prefix_;
  std::uint32_t session_ = 0;
  std::size_t written_ = 0;  // bytes in the file of session_

  std::size_t exchangeLimit_ = 0;  // 0: no exchanges kept
  std::uint32_t exchangeSession_ = 0;
  std::ofstream exchange_;
  std::size_t exchangeWritten_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::string pending_[2];  // the start of a message not yet whole: received, sent
};

}  // namespace kv::sim
