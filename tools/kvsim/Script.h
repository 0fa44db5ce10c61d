#pragma once
// The script language of `kvsim --script FILE`: one command per line, run in
// order; blank lines and lines beginning with # are skipped. Words as on
// standard input (CommandWords.h), values as ValueInput.h reads them.
//
//   wait-login [within MS]               a login request (whatever its answer)
//   wait-channel ADDR [within MS]        a registration of the channel
//   expect-channel ADDR [type T] [within MS]
//   expect-value ADDR VALUE [quality Q] [time T] [within MS]
//   expect-attribute ADDR ID VALUE [within MS]
//   control ADDR VALUE [type T] [quality Q] [time T]
//   sleep MS
//   drop                                 close the clients' connections
//   refuse CODE | refuse off             refuse later logins with CODE / no more
//   exit                                 end here
//
// Logins, registrations and values queue up as they arrive, from the start
// of the run. wait-login and wait-channel take the oldest one not yet taken,
// so after a reconnection they wait for the next login and registration;
// expect-value takes the first matching value not yet taken (and those
// before it), so two expect-value lines need two values and hold in order.
// expect-channel and expect-attribute look at the channel's latest
// registration, now or when one comes. Waits allow a minute unless told,
// expectations ten seconds.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kvsim/Cli.h"

namespace kv::sim {

enum class TStepKind {
  WaitLogin,
  WaitChannel,
  ExpectChannel,
  ExpectValue,
  ExpectAttribute,
  Control,
  Sleep,
  Drop,
  Refuse,
  Exit,
};

inline constexpr std::chrono::milliseconds kWaitLimit{60000};
inline constexpr std::chrono::milliseconds kExpectLimit{10000};

struct TScriptStep {
  TStepKind kind = TStepKind::Exit;
  int line = 0;
  std::string text;  // the line as written, for messages
  std::string addr;
  std::string value;  // the expected value's text
  std::uint16_t attribute = 0;
  std::optional<std::uint16_t> type;
  std::optional<std::uint8_t> quality;
  std::optional<TDateTime> time;           // expect-value: the value's time stamp
  std::chrono::milliseconds within{0};     // waits and expectations; sleep: its time
  std::optional<std::uint8_t> refuseCode;  // refuse: none for "off"
  TControlRequest control;
};

// The steps of a script (Windows-1251). False with `error` ("line 3:
// unknown command 'foo'") for the first line that is not a command.
bool ParseScript(const std::string& text, std::vector<TScriptStep>& steps, std::string& error);

}  // namespace kv::sim
