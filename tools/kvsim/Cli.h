#pragma once
// The command-line program's options and its commands on standard input,
// apart from the terminal itself so that both can be tested:
//   control <addr> <value>     a control (57) by address
//   controln <number> <value>  a control by number
//   time                       the server time (22), now
//   notice [flags] [id]        a channel change notice (40)
//   statusreply [id]           an unasked status reply (100), default for 18
//   raw <hex>                  bytes as given, e.g. "raw 17 00"
//   drop | reset               close the connection / reset it
//   status | channels          the server's state / its channel view
//   help | quit
// A control's value text is converted to the channel's type when the
// server knows the channel; otherwise a number goes as Float8 and anything
// else as String.
#include <string>
#include <vector>

#include "kvsim/FaultDriver.h"
#include "kvsim/KavrelServer.h"

namespace kv::sim {

struct TCliOptions {
  TServerOptions server;
  bool once = false;  // serve one connection, then end
  bool help = false;
  bool faults = false;    // run the fault mode
  TFaultOptions fault;    // its options; login and activation follow the server's
  std::string recordDir;  // keep each connection's sent bytes there
};

// Options: --host H, --port N, --client-id N, --version MAJOR[.MINOR],
// --no-activate, --once, --help; the fault mode: --faults, --seed N,
// --without KIND (repeatable), --long-every N, --client-timeout SECONDS;
// --record DIR. False with `error` for anything else.
bool ParseOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error);
std::string UsageText();

struct TCommandOutcome {
  bool quit = false;
  std::string text;  // Windows-1251; empty when there is nothing to say
};
// Runs one input line (Windows-1251) against the server.
TCommandOutcome RunCommand(TKavrelServer& server, const std::string& line);

// The control a "control" / "controln" command sends.
TControl ControlFor(const TKavrelServer& server, bool byNumber, const std::string& target,
                    const std::string& valueText);

}  // namespace kv::sim
