#include "soak/SoakOptions.h"

#include <charconv>

namespace kv::soak {
namespace {

template <class T>
bool Number(const std::string& text, T& value, T low, T high) {
  T parsed{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high)
    return false;
  value = parsed;
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, TSoakOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool more = i + 1 < args.size();
    const std::string value = more ? args[i + 1] : std::string();
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    } else if (arg == "--verbose") {
      options.verbose = true;
      continue;
    } else if (arg == "--no-stall") {
      options.kinds &= ~sim::FaultBit(sim::TFaultKind::Stall);
      continue;
    } else if (!more) {
      ok = false;
    } else if (arg == "--seconds") {
      ok = Number(value, options.seconds, 1, 86400);
    } else if (arg == "--minutes") {
      ok = Number(value, options.seconds, 1, 1440);
      options.seconds *= 60;
    } else if (arg == "--seed") {
      ok = Number<std::uint64_t>(value, options.seed, 0, UINT64_MAX);
    } else if (arg == "--without") {
      sim::TFaultKind kind;
      ok = sim::FaultByName(value, kind);
      if (ok) options.kinds &= ~sim::FaultBit(kind);
    } else if (arg == "--long-every") {
      ok = Number(value, options.longEvery, 0, 1000000);
    } else if (arg == "--servers") {
      ok = Number(value, options.servers, 1, 2);
    } else if (arg == "--timeout") {
      ok = Number(value, options.timeoutSec, 1, 30);
    } else if (arg == "--threads") {
      ok = Number(value, options.threads, 1, 16);
    } else if (arg == "--warm-up") {
      ok = Number(value, options.warmUp, 0, 1000000);
    } else if (arg == "--history") {
      ok = Number<std::uint64_t>(value, options.historyBytes, 65536, 536870912);
    } else if (arg == "--record") {
      options.recordDir = value;
    } else if (arg == "--log") {
      options.logPath = value;
    } else {
      error = "unknown option: " + arg;
      return false;
    }
    if (!ok) {
      error = "bad or missing value for " + arg;
      return false;
    }
    ++i;
  }
  // Kept values go to whichever server comes next; the ledger follows them
  // at one.
  if (options.historyBytes != 0 && options.servers > 1) {
    error = "--history needs one server";
    return false;
  }
  // A refused login at the main server is what sends the client to the
  // reserve: with two servers long faults come often enough for that.
  if (options.longEvery < 0)
    options.longEvery = options.servers > 1 ? 8 : options.seconds < 600 ? 0 : 300;
  return true;
}

std::string UsageText() {
  return "usage: kvsoak [--seconds N | --minutes N] [--seed N] [--without KIND]... [--no-stall]\n"
         "              [--long-every N] [--servers 1|2] [--timeout S] [--threads N]\n"
         "              [--warm-up N] [--history BYTES] [--record DIR] [--log PATH]\n"
         "              [--verbose]\n"
         "Drives the library through its exported functions from several threads against\n"
         "the test server in fault mode (with --servers 2 a main server and a reserve that\n"
         "the client fails over between), then checks that nothing was lost, stale or\n"
         "duplicated and that memory, descriptors and threads stayed flat; with --history,\n"
         "that the values kept through outages arrived in order. Exit status:\n"
         "0 all held, 1 a check failed, 2 bad usage, 3 a call into the library hung.\n"
         "KIND: close reset stall slow-reader split merged unknown burst late-login\n"
         "refused-login link-test";
}

}  // namespace kv::soak
