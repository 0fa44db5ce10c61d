#pragma once
// The sample host's command line:
//   --server HOST:PORT   run against that server instead of the built-in one;
//                        HOST:PORT;HOST[:PORT]... a main server and reserves
//   --seconds N          stream values for N seconds (0..3600, default 3)
//   --debug              switch on the library's debug lines in its log
//   --login NAME, --password TEXT   credentials (default demo / demo)
//   --log PATH           also keep the library's log at PATH (default: no
//                        file; with a library that cannot hand its lines
//                        over, a temporary one, removed at the end)
//   --help
#include <cstdint>
#include <string>
#include <vector>

namespace kv::demo {

struct TDemoOptions {
  bool ownServer = true;   // false with --server
  std::string host;        // c_CreateOpros' host text: one server, or the list
  std::uint16_t port = 0;  // and its port argument: the first server's port
  std::string servers;     // --server as given
  int seconds = 3;
  bool debug = false;
  std::string login = "demo";
  std::string password = "demo";
  std::string logPath;
  bool help = false;
};

// False with a one-line `error` for anything it does not understand.
bool ParseOptions(const std::vector<std::string>& args, TDemoOptions& options, std::string& error);
std::string UsageText();

}  // namespace kv::demo
