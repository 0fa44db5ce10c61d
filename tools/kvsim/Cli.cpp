#include "kvsim/Cli.h"

#include <charconv>

#include "kvsim/Describe.h"
#include "protocol/Kavrel.h"
#include "runtime/Exception.h"
#include "values/Channelutils.h"
#include "values/Utils.h"

namespace kv::sim {
namespace {

constexpr const char* kSent = "sent";
constexpr const char* kNotSent = "not sent: no client connected";
constexpr const char* kDone = "done";
constexpr const char* kNoConnection = "no client connected";
constexpr const char* kBadNumber = "not a channel number: ";
constexpr const char* kBadHex = "not hexadecimal bytes: ";
constexpr const char* kUnknownCommand = "unknown command (try help): ";
constexpr const char* kMissing = "missing arguments (try help)";
constexpr std::uint8_t kDefaultNoticeFlags = 0x01;

template <class T>
bool ParseNumber(const std::string& text, T& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseVersion(const std::string& text, TLoginReply& fields) {
  const std::size_t dot = text.find('.');
  unsigned major = 0, minor = 0;
  if (!ParseNumber(text.substr(0, dot), major) || major > 255) return false;
  if (dot != std::string::npos && (!ParseNumber(text.substr(dot + 1), minor) || minor > 255))
    return false;
  fields.versionMajor = static_cast<std::uint8_t>(major);
  fields.versionMinor = static_cast<std::uint8_t>(minor);
  return true;
}

// Splits off the first word; `rest` keeps the remaining text without its
// leading blanks.
std::string FirstWord(const std::string& text, std::string& rest) {
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) {
    rest.clear();
    return {};
  }
  const std::size_t end = text.find_first_of(" \t\r\n", start);
  const std::size_t next =
      end == std::string::npos ? std::string::npos : text.find_first_not_of(" \t\r\n", end);
  rest = next == std::string::npos ? std::string() : text.substr(next);
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n' || rest.back() == ' '))
    rest.pop_back();
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string HexBytes(const std::string& text) {
  std::string bytes, digits;
  for (const char c : text)
    if (c != ' ' && c != '\t') digits += c;
  if (digits.size() % 2 != 0) throw Exception(kBadHex + text);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    unsigned byte = 0;
    auto [ptr, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, byte, 16);
    if (ec != std::errc() || ptr != digits.data() + i + 2) throw Exception(kBadHex + text);
    bytes += static_cast<char>(byte);
  }
  return bytes;
}

std::string StatusText(const TKavrelServer& server) {
  const auto records = server.Records();
  return std::string(server.Connected() ? "connected" : "not connected") + ", port " +
         std::to_string(server.Port()) + ", channels " + std::to_string(server.Channels().size()) +
         ", records kept " + std::to_string(records.size());
}

std::string ChannelsText(const TKavrelServer& server) {
  std::string text;
  for (const TSimChannel& channel : server.Channels()) {
    if (!text.empty()) text += "\n";
    text += DescribeChannel(channel);
  }
  return text.empty() ? "no channels" : text;
}

const char* Sent(bool ok) { return ok ? kSent : kNotSent; }

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--once") {
      options.once = true;
    } else if (arg == "--no-activate") {
      options.server.protocol.activation = TActivation::Off;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--host" && hasValue) {
      options.server.host = args[++i];
    } else if (arg == "--port" && hasValue) {
      unsigned port = 0;
      if (!ParseNumber(args[++i], port) || port > 65535)
        return error = "bad port: " + args[i], false;
      options.server.port = static_cast<std::uint16_t>(port);
    } else if (arg == "--client-id" && hasValue) {
      if (!ParseNumber(args[++i], options.server.protocol.login.fields.clientId))
        return error = "bad client id: " + args[i], false;
    } else if (arg == "--version" && hasValue) {
      if (!ParseVersion(args[++i], options.server.protocol.login.fields))
        return error = "bad version: " + args[i], false;
    } else if (arg == "--faults") {
      options.faults = true;
    } else if (arg == "--seed" && hasValue) {
      if (!ParseNumber(args[++i], options.fault.seed)) return error = "bad seed: " + args[i], false;
    } else if (arg == "--without" && hasValue) {
      TFaultKind kind;
      if (!FaultByName(args[++i], kind)) return error = "no such fault: " + args[i], false;
      options.fault.plan.kinds &= ~FaultBit(kind);
    } else if (arg == "--long-every" && hasValue) {
      if (!ParseNumber(args[++i], options.fault.plan.longEvery))
        return error = "bad count: " + args[i], false;
    } else if (arg == "--client-timeout" && hasValue) {
      int seconds = 0;
      if (!ParseNumber(args[++i], seconds) || seconds < 1)
        return error = "bad time-out: " + args[i], false;
      options.fault.plan.clientTimeoutMs = seconds * 1000;
    } else if (arg == "--record" && hasValue) {
      options.recordDir = args[++i];
    } else {
      error = "unknown option or missing value: " + arg;
      return false;
    }
  }
  options.fault.login = options.server.protocol.login;
  options.fault.activation = options.server.protocol.activation;
  return true;
}

std::string UsageText() {
  return "usage: kvsim [--host ADDR] [--port N] [--client-id N] [--version MAJOR[.MINOR]]\n"
         "             [--no-activate] [--once] [--record DIR]\n"
         "             [--faults [--seed N] [--without KIND]... [--long-every N] [--client-timeout "
         "S]]\n"
         "Listens (default 127.0.0.1:3000), serves one Kavrel client at a time and prints\n"
         "what it receives. Ends on quit, when standard input closes, or with --once\n"
         "when the first connection ends. --record keeps what each connection was sent\n"
         "in DIR/session-NNNNN.bin. --faults injects seeded faults and numbered controls;\n"
         "--long-every N adds a fault that costs the client a minute after every N others;\n"
         "KIND: close reset stall slow-reader split merged unknown burst late-login\n"
         "refused-login link-test. Commands:\n"
         "  control <addr> <value>   controln <number> <value>   time   notice [flags] [id]\n"
         "  statusreply [id]   raw <hex bytes>   drop   reset   status   channels   help   quit";
}

TControl ControlFor(const TKavrelServer& server, bool byNumber, const std::string& target,
                    const std::string& valueText) {
  TControl control;
  control.byNumber = byNumber;
  std::optional<TSimChannel> channel;
  if (byNumber) {
    if (!ParseNumber(target, control.number) || control.number == 0)
      throw Exception(kBadNumber + target);
    channel = server.ChannelByNumber(control.number);
  } else {
    control.addr = target;
    channel = server.Channel(target);
  }
  control.value = Variant::FromAnsi(valueText);
  if (channel) {
    control.type = channel->type;
  } else {
    try {
      control.value = Variant(control.value.ToDouble());
      control.type = dtFloat8;
    } catch (const Exception&) {
      control.type = dtString;
    }
  }
  control.dt = Now();
  return control;
}

TCommandOutcome RunCommand(TKavrelServer& server, const std::string& line) {
  TCommandOutcome outcome;
  std::string rest;
  const std::string command = FirstWord(line, rest);
  try {
    if (command.empty()) {
    } else if (command == "quit" || command == "exit") {
      outcome.quit = true;
    } else if (command == "help") {
      outcome.text = UsageText();
    } else if (command == "control" || command == "controln") {
      std::string value;
      const std::string target = FirstWord(rest, value);
      if (target.empty() || value.empty()) throw Exception(kMissing);
      outcome.text =
          Sent(server.SendControl(ControlFor(server, command == "controln", target, value)));
    } else if (command == "time") {
      outcome.text =
          Sent(server.SendServerTime(Now(), static_cast<std::int16_t>(GetTimeZoneBias())));
    } else if (command == "notice") {
      std::string more;
      const std::string flagsText = FirstWord(rest, more);
      unsigned flags = kDefaultNoticeFlags;
      std::int32_t id = 0;
      if ((!flagsText.empty() && !ParseNumber(flagsText, flags)) ||
          (!more.empty() && !ParseNumber(more, id)))
        throw Exception(kMissing);
      outcome.text = Sent(server.SendChannelNotice(static_cast<std::uint8_t>(flags), Now(), id));
    } else if (command == "statusreply") {
      unsigned answered = kv::kStructStatusRequest;
      if (!rest.empty() && (!ParseNumber(rest, answered) || answered > 255))
        throw Exception(kMissing);
      outcome.text = Sent(server.SendStatusReply(static_cast<std::uint8_t>(answered)));
    } else if (command == "raw") {
      outcome.text = Sent(server.SendRaw(HexBytes(rest)));
    } else if (command == "drop") {
      outcome.text = server.Drop() ? kDone : kNoConnection;
    } else if (command == "reset") {
      outcome.text = server.Reset() ? kDone : kNoConnection;
    } else if (command == "status") {
      outcome.text = StatusText(server);
    } else if (command == "channels") {
      outcome.text = ChannelsText(server);
    } else {
      outcome.text = kUnknownCommand + command;
    }
  } catch (const Exception& e) {
    outcome.text = "error: " + e.Message();
  }
  return outcome;
}

}  // namespace kv::sim
