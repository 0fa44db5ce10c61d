#pragma once
// The recording of one connection, as `kvsim --record DIR` writes it and
// `kvsim --replay FILE` reads it: a text file, one message per line in the
// order the server received or sent it,
//
//   # kvsim recording of connection 1
//   0 < 2a 02 43 46 47 00 ...   # login
//   2 > 2b 01 00 00 00 ...      # login reply
//   15 < 33 0d 00 82 00 ...     # registration
//
// the milliseconds since the connection's first message, "<" for what the
// server received and ">" for what it sent, the bytes in hexadecimal and
// an optional comment naming the message. Lines beginning with # and blank
// lines are skipped, so a recording can be edited by hand. Bytes no message
// begins with stay together on one line. No state: any thread.
#include <cstdint>
#include <string>
#include <vector>

namespace kv::sim {

struct TRecordedMessage {
  std::int64_t ms = 0;
  bool fromServer = false;
  std::string bytes;
};

std::string RecordingHeader(std::uint32_t session);
std::string RecordingLine(const TRecordedMessage& message);
// Takes the complete messages from the front of `pending` (bytes as they
// came), leaving an incomplete one there; bytes no message begins with are
// taken whole.
std::vector<std::string> TakeMessages(std::string& pending);
// The messages of a recording; false with `error` ("line 4: ...").
bool ReadRecording(const std::string& text, std::vector<TRecordedMessage>& messages,
                   std::string& error);

}  // namespace kv::sim
