#include "DemoOptions.h"

#include <algorithm>
#include <charconv>

namespace kv::demo {
namespace {

constexpr int kMaxSeconds = 3600;

// Digits only, within [low, high].
bool ParseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 9) return false;
  long parsed = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || text[0] == '-' ||
      text[0] == '+')
    return false;
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

constexpr char kServerError[] =
    "--server wants HOST:PORT, or a list HOST:PORT;HOST[:PORT]... (at most 8, ports from 1 to "
    "65535), got \"";

// HOST:PORT, where PORT is after the last colon; with `portNeeded` off
// the port may be left out.
bool ParseEntry(const std::string& entry, bool portNeeded, std::string& host, long& port) {
  const std::size_t colon = entry.rfind(':');
  if (colon == std::string::npos) {
    host = entry;
    return !portNeeded && !entry.empty();
  }
  host = entry.substr(0, colon);
  return colon != 0 && ParseNumber(entry.substr(colon + 1), 1, 65535, port);
}

// The library takes a list of servers in its host text, the main one
// first, and the port argument for the entries without their own: the
// first entry's port becomes that argument.
bool ParseServer(const std::string& text, TDemoOptions& options, std::string& error) {
  std::vector<std::string> entries;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(';', start);
    entries.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // Empty entries are skipped, as the library does.
  entries.erase(std::remove(entries.begin() + 1, entries.end(), std::string()), entries.end());
  std::string host;
  long port = 0;
  bool ok = entries.size() <= 8;
  for (std::size_t i = 0; ok && i < entries.size(); ++i) {
    std::string entryHost;
    long entryPort = 0;
    ok = ParseEntry(entries[i], i == 0, entryHost, entryPort);
    if (i == 0) {
      host = entryHost;
      port = entryPort;
    } else {
      host += ";" + entries[i];
    }
  }
  if (!ok) {
    error = kServerError + text + "\"";
    return false;
  }
  options.ownServer = false;
  options.host = host;
  options.port = static_cast<std::uint16_t>(port);
  options.servers = text;
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, TDemoOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--debug") {
      options.debug = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg != "--server" && arg != "--seconds" && arg != "--login" && arg != "--password" &&
        arg != "--log") {
      error = "unknown option \"" + arg + "\"";
      return false;
    }
    if (i + 1 == args.size()) {
      error = arg + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (arg == "--server") {
      if (!ParseServer(value, options, error)) return false;
    } else if (arg == "--seconds") {
      long seconds = 0;
      if (!ParseNumber(value, 0, kMaxSeconds, seconds)) {
        error = "--seconds wants a whole number from 0 to " + std::to_string(kMaxSeconds) +
                ", got \"" + value + "\"";
        return false;
      }
      options.seconds = static_cast<int>(seconds);
    } else if (arg == "--login") {
      options.login = value;
    } else if (arg == "--password") {
      options.password = value;
    } else {
      options.logPath = value;
    }
  }
  return true;
}

std::string UsageText() {
  return "usage: kvdemo [--server HOST:PORT[;HOST[:PORT]...]] [--seconds N] [--debug]\n"
         "              [--login NAME] [--password TEXT] [--log PATH]\n"
         "A sample host of the kvopros2 library. Without --server it starts a Kavrel\n"
         "test server on 127.0.0.1 in the same process, declares four channels,\n"
         "streams their values for N seconds (default 3), has the server send a\n"
         "control and answers it, then shows the server's view; the library's log lines\n"
         "are shown as it writes them (a library without c_SetLogCallback: at the end).\n"
         "  --server HOST:PORT  use a running Kavrel server; only the client's side is shown;\n"
         "                      a list separated by ';' names the main server and its\n"
         "                      reserves (their port is the first one's unless given)\n"
         "  --seconds N         how long to stream values, 0 to 3600\n"
         "  --debug             the library also logs every value sent and control received\n"
         "  --login, --password credentials to log in with (default demo / demo)\n"
         "  --log PATH          also keep the library's log at PATH (appended to); by\n"
         "                      default there is no file (an older library: a temporary\n"
         "                      one, removed at the end)\n"
         "Exit status: 0 on success, 1 when the login or the control round trip did not\n"
         "happen in time, 2 for a wrong command line.";
}

}  // namespace kv::demo
