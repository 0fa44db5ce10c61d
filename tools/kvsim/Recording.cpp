#include "kvsim/Recording.h"

#include <charconv>
#include <cstdio>

#include "protocol/CommandCatalogue.h"

namespace kv::sim {
namespace {

std::string MessageName(const std::string& bytes) {
  const auto id = static_cast<std::uint8_t>(bytes[0]);
  const TFrame frame = ClassifyFrame(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                     static_cast<std::int32_t>(bytes.size()));
  if (frame.state != TFrameState::Complete || frame.size != static_cast<std::int32_t>(bytes.size()))
    return "unframed bytes";
  switch (id) {
    case kStructLoginRequest:
      return "login";
    case kStructLoginReply:
      return "login reply";
    case kStructStatusRequest:
      return "status request";
    case kStructStatusReply:
      return "status reply";
    case kStructServerTime:
      return "server time";
    case kStructChannelNotice:
      return "channel notice";
    case kCmdChannelRegister:
      return "registration";
    case kCmdChannelValue:
      return "value";
    case kCmdControlValue:
      return "control";
    case kCmdChannelChange:
      return "channel change";
    default:
      return (IsCmd2(id) ? "command " : "structure ") + std::to_string(id);
  }
}

bool ReadHex(const std::string& text, std::string& bytes) {
  std::string digits;
  for (const char c : text)
    if (c != ' ' && c != '\t' && c != '\r') digits += c;
  if (digits.size() % 2 != 0 || digits.empty()) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    unsigned byte = 0;
    const auto [ptr, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, byte, 16);
    if (ec != std::errc() || ptr != digits.data() + i + 2) return false;
    bytes += static_cast<char>(byte);
  }
  return true;
}

}  // namespace

std::string RecordingHeader(std::uint32_t session) {
  return "# kvsim recording of connection " + std::to_string(session) +
         "\n# milliseconds, < received or > sent by the server, the bytes\n";
}

std::string RecordingLine(const TRecordedMessage& message) {
  std::string line = std::to_string(message.ms) + (message.fromServer ? " >" : " <");
  for (const char c : message.bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", static_cast<unsigned>(static_cast<std::uint8_t>(c)));
    line += hex;
  }
  return line + "   # " + MessageName(message.bytes) + "\n";
}

std::vector<std::string> TakeMessages(std::string& pending) {
  std::vector<std::string> messages;
  std::size_t at = 0;
  while (at < pending.size()) {
    const TFrame frame = ClassifyFrame(reinterpret_cast<const std::uint8_t*>(pending.data()) + at,
                                       static_cast<std::int32_t>(pending.size() - at));
    if (frame.state == TFrameState::Incomplete || frame.state == TFrameState::Empty) break;
    const std::size_t size = frame.state == TFrameState::Complete
                                 ? static_cast<std::size_t>(frame.size)
                                 : pending.size() - at;
    messages.push_back(pending.substr(at, size));
    at += size;
  }
  pending.erase(0, at);
  return messages;
}

bool ReadRecording(const std::string& text, std::vector<TRecordedMessage>& messages,
                   std::string& error) {
  messages.clear();
  std::size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t comment = line.find('#');
    if (comment != std::string::npos) line.resize(comment);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    TRecordedMessage message;
    const std::size_t start = line.find_first_not_of(" \t");
    const char* begin = line.data() + start;
    const auto [ptr, ec] = std::from_chars(begin, line.data() + line.size(), message.ms);
    const std::size_t arrow = line.find_first_of("<>", start);
    if (ec != std::errc() || message.ms < 0 || arrow == std::string::npos ||
        line.find_first_not_of(" \t", static_cast<std::size_t>(ptr - line.data())) != arrow ||
        !ReadHex(line.substr(arrow + 1), message.bytes))
      return error = "line " + std::to_string(number) +
                     ": expected milliseconds, < or >, hexadecimal bytes",
             false;
    message.fromServer = line[arrow] == '>';
    messages.push_back(std::move(message));
  }
  return true;
}

}  // namespace kv::sim
