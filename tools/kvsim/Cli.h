#pragma once
// The command-line program's options and its commands on standard input,
// apart from the terminal itself so that both can be tested:
//   control <addr> <value> [type T] [quality Q] [time T]
//                              a control (57) by address
//   controln <number> <value> [type T] [quality Q] [time T]
//                              a control by number
//   time                       the server time (22), now
//   notice [flags] [id]        a channel change notice (40)
//   statusreply [id]           an unasked status reply (100), default for 18
//   raw <hex>                  bytes as given, e.g. "raw 17 00"
//   drop | reset               close the connection / reset it
//   status | channels          the server's state / its channel view
//   clients | client <n|all>   the clients / the one later commands go to
//   help | quit
// A control's value text (ValueInput.h: '.' is the decimal point in every
// locale) is read as the channel's type when the client registered the
// channel, as `type` when given; otherwise a number goes as Float8 and
// anything else as String. Its time is now unless given, its quality 0.
//
// With several clients, a control by address goes to the clients that
// registered the channel (to every connected client when none did); the
// other commands go to the client chosen with "client", or to every
// connected one. Messages are English; texts are Windows-1251.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kvsim/EventOutput.h"
#include "kvsim/FaultDriver.h"
#include "kvsim/KavrelServer.h"

namespace kv::sim {

struct TCliOptions {
  TServerOptions server;
  bool once = false;  // serve one connection, then end
  bool help = false;
  bool faults = false;    // run the fault mode
  TFaultOptions fault;    // its options; login and activation follow the server's
  std::string recordDir;  // keep each connection's exchange there
  TOutputOptions output;
  std::string scriptFile;  // run this script instead of reading standard input
  std::string replayFile;  // play this recording's server side to each client
  std::string portFile;    // write the port listened on here
  int clients = 1;         // clients served at once
};

// Options: --host H, --port N, --client-id N, --version MAJOR[.MINOR],
// --no-activate, --once, --help; logins: --login NAME, --password PW,
// --refuse CODE; output: --json, --quiet, --channel PATTERN (repeatable),
// --port-file FILE; --clients N; --script FILE; --record DIR; --replay FILE;
// the fault mode: --faults, --seed N, --without KIND (repeatable),
// --long-every N, --client-timeout SECONDS. Texts are UTF-8. False with
// `error` for anything else or a combination that cannot work.
bool ParseOptions(const std::vector<std::string>& args, TCliOptions& options, std::string& error);
std::string UsageText();

// The clients commands reach: client n is servers[n - 1].
struct TClientSet {
  std::vector<TKavrelServer*> servers;
  int selected = 0;  // "client n"; 0: every connected client
  // Told of every control that went out, with the channel's address when
  // the control named it by number.
  std::function<void(int client, std::uint32_t session, const TControl& control,
                     const std::string& addr)>
      controlSent;
};

struct TCommandOutcome {
  bool quit = false;
  std::string text;  // Windows-1251; empty when there is nothing to say
};
// Runs one input line (Windows-1251) against the clients.
TCommandOutcome RunCommand(TClientSet& clients, const std::string& line);
// The same against one server.
TCommandOutcome RunCommand(TKavrelServer& server, const std::string& line);

// What a control command asks for.
struct TControlRequest {
  bool byNumber = false;
  std::string target;  // the address, or the number as text
  std::string valueText;
  std::optional<std::uint16_t> type;
  std::uint8_t quality = 0;
  std::optional<TDateTime> time;  // none: now
};
// Reads "<target> <value> [type T] [quality Q] [time T]" from the words of
// `line` beginning at `from`; false with `error` (English).
bool ParseControlRequest(const std::string& line, std::size_t from, bool byNumber,
                         TControlRequest& request, std::string& error);
// The control a request sends to `server`. Raises kv::Exception with an
// English text for a value that is not one of the type.
TControl ControlFor(const TKavrelServer& server, const TControlRequest& request);
TControl ControlFor(const TKavrelServer& server, bool byNumber, const std::string& target,
                    const std::string& valueText);
// Sends the control to the clients it concerns (see above); the text says
// what happened. False when it went out to none.
bool SendControlRequest(TClientSet& clients, const TControlRequest& request, std::string& text);

}  // namespace kv::sim
