#include "DemoOptions.h"

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

bool ParseServer(const std::string& text, TDemoOptions& options, std::string& error) {
  const std::size_t colon = text.rfind(':');
  long port = 0;
  if (colon == std::string::npos || colon == 0 ||
      !ParseNumber(text.substr(colon + 1), 1, 65535, port)) {
    error = "--server wants HOST:PORT with a port from 1 to 65535, got \"" + text + "\"";
    return false;
  }
  options.ownServer = false;
  options.host = text.substr(0, colon);
  options.port = static_cast<std::uint16_t>(port);
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
  return "usage: kvdemo [--server HOST:PORT] [--seconds N] [--debug]\n"
         "              [--login NAME] [--password TEXT] [--log PATH]\n"
         "A sample host of the kvopros2 library. Without --server it starts a Kavrel\n"
         "test server on 127.0.0.1 in the same process, declares four channels,\n"
         "streams their values for N seconds (default 3), has the server send a\n"
         "control and answers it, then shows the server's view and the library's log.\n"
         "  --server HOST:PORT  use a running Kavrel server; only the client's side is shown\n"
         "  --seconds N         how long to stream values, 0 to 3600\n"
         "  --debug             the library also logs every value sent and control received\n"
         "  --login, --password credentials to log in with (default demo / demo)\n"
         "  --log PATH          keep the library's log at PATH (appended to); by default\n"
         "                      it goes to a temporary file that is removed at the end\n"
         "Exit status: 0 on success, 1 when the login or the control round trip did not\n"
         "happen in time, 2 for a wrong command line.";
}

}  // namespace kv::demo
