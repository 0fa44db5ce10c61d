#include "kvsim/Cli.h"

#include <charconv>

#include "kvsim/CommandWords.h"
#include "kvsim/Describe.h"
#include "kvsim/ValueInput.h"
#include "protocol/CommandCatalogue.h"
#include "runtime/Exception.h"
#include "runtime/Utf8.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

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
constexpr const char* kTooLarge = "the control does not fit one message";
constexpr std::uint8_t kDefaultNoticeFlags = 0x01;
constexpr int kMaxClients = 64;

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

// The runtime's own texts are not all English; one that is not gives way
// to `fallback`.
std::string EnglishOr(const std::string& message, const char* fallback) {
  for (const char c : message)
    if (static_cast<unsigned char>(c) >= 0x80) return fallback;
  return message;
}

// "12,5": a number with a comma for its decimal point.
bool LooksLikeCommaNumber(const std::string& text) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) return false;
  std::string dotted = text;
  dotted[comma] = '.';
  Variant ignored;
  std::string error;
  return ParseValue(dotted, dtFloat8, ignored, error);
}

bool Many(const TClientSet& clients) { return clients.servers.size() > 1; }

std::string ClientPrefix(const TClientSet& clients, std::size_t n) {
  return Many(clients) ? "client " + std::to_string(n) + ": " : std::string();
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

// Client numbers a command goes to: the chosen one, the only one, or every
// connected one.
std::vector<int> Targets(const TClientSet& clients) {
  if (clients.selected > 0) return {clients.selected};
  if (!Many(clients)) return {1};
  std::vector<int> targets;
  for (std::size_t i = 0; i < clients.servers.size(); ++i)
    if (clients.servers[i]->Connected()) targets.push_back(static_cast<int>(i + 1));
  return targets;
}

std::string ClientList(const std::vector<int>& numbers) {
  std::string text;
  for (const int n : numbers) text += (text.empty() ? "" : ", ") + std::to_string(n);
  return text;
}

// Runs `action` for every target; the text says where it went.
template <class TAction>
std::string ForTargets(const TClientSet& clients, const char* ok, const char* none,
                       TAction action) {
  std::vector<int> done;
  for (const int n : Targets(clients))
    if (action(*clients.servers[static_cast<std::size_t>(n - 1)])) done.push_back(n);
  if (done.empty()) return none;
  return Many(clients) ? std::string(ok) + " (client " + ClientList(done) + ")" : ok;
}

std::string ClientsText(const TClientSet& clients) {
  std::string text;
  for (std::size_t i = 0; i < clients.servers.size(); ++i) {
    const TKavrelServer& server = *clients.servers[i];
    if (!text.empty()) text += "\n";
    text += "client " + std::to_string(i + 1) + ": " +
            (server.Connected() ? "connected" : "not connected") + ", connections " +
            std::to_string(server.Session()) + ", channels " +
            std::to_string(server.Channels().size());
  }
  return text + (clients.selected > 0
                     ? "\ncommands go to client " + std::to_string(clients.selected)
                     : std::string("\ncommands go to every connected client"));
}

std::string SelectClient(TClientSet& clients, const std::string& which) {
  if (which == "all") {
    clients.selected = 0;
    return "commands go to every connected client";
  }
  std::int64_t n = 0;
  if (!ParseWhole(which, 1, static_cast<std::int64_t>(clients.servers.size()), n))
    throw Exception("no such client: " + which + " (1 to " +
                    std::to_string(clients.servers.size()) + ", or all)");
  clients.selected = static_cast<int>(n);
  return "commands go to client " + which;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error) {
  TLoginBehaviour& login = options.server.protocol.login;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--once") {
      options.once = true;
    } else if (arg == "--no-activate") {
      options.server.protocol.activation = TActivation::Off;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--json") {
      options.output.json = true;
    } else if (arg == "--quiet") {
      options.output.quiet = true;
    } else if (arg == "--host" && hasValue) {
      options.server.host = args[++i];
    } else if (arg == "--port" && hasValue) {
      unsigned port = 0;
      if (!ParseNumber(args[++i], port) || port > 65535)
        return error = "bad port: " + args[i], false;
      options.server.port = static_cast<std::uint16_t>(port);
    } else if (arg == "--client-id" && hasValue) {
      if (!ParseNumber(args[++i], login.fields.clientId))
        return error = "bad client id: " + args[i], false;
    } else if (arg == "--version" && hasValue) {
      if (!ParseVersion(args[++i], login.fields)) return error = "bad version: " + args[i], false;
    } else if (arg == "--login" && hasValue) {
      login.requiredLogin = AnsiFromUtf8(args[++i]);
    } else if (arg == "--password" && hasValue) {
      login.requiredPassword = AnsiFromUtf8(args[++i]);
    } else if (arg == "--refuse" && hasValue) {
      std::int64_t code = 0;
      if (!ParseWhole(args[++i], 0, 255, code))
        return error = "bad refusal code (0 to 255): " + args[i], false;
      login.refuseCode = static_cast<std::uint8_t>(code);
    } else if (arg == "--channel" && hasValue) {
      options.output.channels.push_back(AnsiFromUtf8(args[++i]));
    } else if (arg == "--clients" && hasValue) {
      if (!ParseNumber(args[++i], options.clients) || options.clients < 1 ||
          options.clients > kMaxClients)
        return error = "bad client count (1 to " + std::to_string(kMaxClients) + "): " + args[i],
               false;
    } else if (arg == "--script" && hasValue) {
      options.scriptFile = args[++i];
    } else if (arg == "--replay" && hasValue) {
      options.replayFile = args[++i];
    } else if (arg == "--port-file" && hasValue) {
      options.portFile = args[++i];
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
  if (options.faults && options.clients > 1)
    return error = "the fault mode serves one client: leave out --clients", false;
  if (!options.replayFile.empty() && (options.faults || options.clients > 1))
    return error = "a replay serves one client and injects no faults", false;
  options.output.tagClients = options.clients > 1;
  options.fault.login = login;
  options.fault.activation = options.server.protocol.activation;
  return true;
}

std::string UsageText() {
  return "usage: kvsim [--host ADDR] [--port N] [--port-file FILE] [--clients N]\n"
         "             [--login NAME] [--password PW] [--refuse CODE]\n"
         "             [--client-id N] [--version MAJOR[.MINOR]] [--no-activate] [--once]\n"
         "             [--json] [--quiet] [--channel PATTERN]... [--record DIR]\n"
         "             [--script FILE | --replay FILE]\n"
         "             [--faults [--seed N] [--without KIND]... [--long-every N] [--client-timeout "
         "S]]\n"
         "Listens (default 127.0.0.1:3000), serves Kavrel clients (one at a time unless\n"
         "--clients) and prints what it receives, one time-stamped line per event (--json:\n"
         "one JSON object per line). --login/--password refuse other credentials (code 4),\n"
         "--refuse refuses every login with CODE. --script runs a script and exits 0 when\n"
         "every expectation held; --replay plays a recording's server side to each client.\n"
         "--record keeps each connection's exchange in DIR/session-NNNNN.rec and what it\n"
         "was sent in DIR/session-NNNNN.bin. Ends on quit, at the end of standard input,\n"
         "with --once when the first connection ends. --faults injects seeded faults;\n"
         "KIND: close reset stall slow-reader split merged unknown burst late-login\n"
         "refused-login link-test. Commands (values: '.' is the decimal point):\n"
         "  control <addr> <value> [type T] [quality Q] [time T]   controln <number> <value>\n"
         "  time   notice [flags] [id]   statusreply [id]   raw <hex bytes>   drop   reset\n"
         "  status   channels   clients   client <n|all>   help   quit\n"
         "See docs/KVSIM.md.";
}

bool ParseControlRequest(const std::string& line, std::size_t from, bool byNumber,
                         TControlRequest& request, std::string& error) {
  std::vector<TWord> words;
  if (!SplitWords(line, words, error)) return false;
  if (words.size() < from + 2) return error = kMissing, false;
  TValueAndOptions parts;
  if (!SplitValueAndOptions(line, words, from + 1, {"type", "quality", "time"}, parts, error))
    return false;
  request = {};
  request.byNumber = byNumber;
  request.target = words[from].text;
  request.valueText = parts.value;
  for (const auto& [key, value] : parts.options) {
    if (key == "type") {
      std::uint16_t type = 0;
      if (!ParseDataType(value, type)) return error = "no such data type: " + value, false;
      request.type = type;
    } else if (key == "quality") {
      std::int64_t quality = 0;
      if (!ParseWhole(value, 0, 255, quality))
        return error = "bad quality (0 to 255): " + value, false;
      request.quality = static_cast<std::uint8_t>(quality);
    } else {
      TDateTime time = 0;
      if (!ParseDateTime(value, time, error)) return false;
      request.time = time;
    }
  }
  return true;
}

TControl ControlFor(const TKavrelServer& server, const TControlRequest& request) {
  TControl control;
  control.byNumber = request.byNumber;
  std::optional<TSimChannel> channel;
  if (request.byNumber) {
    std::int64_t number = 0;
    if (!ParseWhole(request.target, 1, 0xFFFFFFFFLL, number))
      throw Exception(kBadNumber + request.target);
    control.number = static_cast<std::uint32_t>(number);
    channel = server.ChannelByNumber(control.number);
  } else {
    control.addr = request.target;
    channel = server.Channel(request.target);
  }
  std::string error;
  if (request.type || channel) {
    control.type = request.type ? *request.type : channel->type;
    if (!ParseValue(request.valueText, control.type, control.value, error)) throw Exception(error);
  } else if (ParseValue(request.valueText, dtFloat8, control.value, error)) {
    control.type = dtFloat8;
  } else if (LooksLikeCommaNumber(request.valueText)) {
    throw Exception("'" + request.valueText +
                    "' is not a number (write the decimal point as '.', or give type String)");
  } else {
    control.type = dtString;
    control.value = Variant::FromAnsi(request.valueText);
  }
  control.quality = request.quality;
  control.dt = request.time ? *request.time : Now();
  return control;
}

TControl ControlFor(const TKavrelServer& server, bool byNumber, const std::string& target,
                    const std::string& valueText) {
  TControlRequest request;
  request.byNumber = byNumber;
  request.target = target;
  request.valueText = valueText;
  return ControlFor(server, request);
}

bool SendControlRequest(TClientSet& clients, const TControlRequest& request, std::string& text) {
  if (request.byNumber && Many(clients) && clients.selected == 0)
    throw Exception("channel numbers are each client's own: choose one with 'client N'");
  std::vector<int> targets;
  if (!request.byNumber && clients.selected == 0 && Many(clients)) {
    for (std::size_t i = 0; i < clients.servers.size(); ++i)
      if (clients.servers[i]->Connected() && clients.servers[i]->Channel(request.target))
        targets.push_back(static_cast<int>(i + 1));
  }
  if (targets.empty()) targets = Targets(clients);
  std::vector<int> sent;
  for (const int n : targets) {
    TKavrelServer& server = *clients.servers[static_cast<std::size_t>(n - 1)];
    const TControl control = ControlFor(server, request);
    TKavrelCmdParser out;
    try {
      AppendControl(out, control);
    } catch (const Exception& e) {
      throw Exception(EnglishOr(e.Message(), kTooLarge));
    }
    std::uint32_t session = 0;
    if (!server.SendRaw(PendingBytes(out), &session)) continue;
    sent.push_back(n);
    if (clients.controlSent) {
      std::string addr = control.addr;
      if (control.byNumber)
        if (const auto channel = server.ChannelByNumber(control.number)) addr = channel->addr;
      clients.controlSent(n, session, control, addr);
    }
  }
  if (sent.empty()) {
    text = kNotSent;
    return false;
  }
  text = Many(clients) ? std::string(kSent) + " (client " + ClientList(sent) + ")" : kSent;
  return true;
}

TCommandOutcome RunCommand(TClientSet& clients, const std::string& line) {
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
      TControlRequest request;
      std::string error;
      if (!ParseControlRequest(line, 1, command == "controln", request, error))
        throw Exception(error);
      SendControlRequest(clients, request, outcome.text);
    } else if (command == "time") {
      outcome.text = ForTargets(clients, kSent, kNotSent, [](TKavrelServer& server) {
        return server.SendServerTime(Now(), static_cast<std::int16_t>(GetTimeZoneBias()));
      });
    } else if (command == "notice") {
      std::string more;
      const std::string flagsText = FirstWord(rest, more);
      unsigned flags = kDefaultNoticeFlags;
      std::int32_t id = 0;
      if ((!flagsText.empty() && !ParseNumber(flagsText, flags)) ||
          (!more.empty() && !ParseNumber(more, id)))
        throw Exception(kMissing);
      outcome.text = ForTargets(clients, kSent, kNotSent, [&](TKavrelServer& server) {
        return server.SendChannelNotice(static_cast<std::uint8_t>(flags), Now(), id);
      });
    } else if (command == "statusreply") {
      unsigned answered = kv::kStructStatusRequest;
      if (!rest.empty() && (!ParseNumber(rest, answered) || answered > 255))
        throw Exception(kMissing);
      outcome.text = ForTargets(clients, kSent, kNotSent, [&](TKavrelServer& server) {
        return server.SendStatusReply(static_cast<std::uint8_t>(answered));
      });
    } else if (command == "raw") {
      const std::string bytes = HexBytes(rest);
      outcome.text = ForTargets(clients, kSent, kNotSent,
                                [&](TKavrelServer& server) { return server.SendRaw(bytes); });
    } else if (command == "drop") {
      outcome.text = ForTargets(clients, kDone, kNoConnection,
                                [](TKavrelServer& server) { return server.Drop(); });
    } else if (command == "reset") {
      outcome.text = ForTargets(clients, kDone, kNoConnection,
                                [](TKavrelServer& server) { return server.Reset(); });
    } else if (command == "status" || command == "channels") {
      for (std::size_t i = 0; i < clients.servers.size(); ++i) {
        if (!outcome.text.empty()) outcome.text += "\n";
        const TKavrelServer& server = *clients.servers[i];
        outcome.text += ClientPrefix(clients, i + 1) +
                        (command == "status" ? StatusText(server) : ChannelsText(server));
      }
    } else if (command == "clients") {
      outcome.text = ClientsText(clients);
    } else if (command == "client") {
      outcome.text = SelectClient(clients, rest);
    } else {
      outcome.text = kUnknownCommand + command;
    }
  } catch (const Exception& e) {
    outcome.text = "error: " + EnglishOr(e.Message(), "the command failed");
  }
  return outcome;
}

TCommandOutcome RunCommand(TKavrelServer& server, const std::string& line) {
  TClientSet clients;
  clients.servers.push_back(&server);
  return RunCommand(clients, line);
}

}  // namespace kv::sim
