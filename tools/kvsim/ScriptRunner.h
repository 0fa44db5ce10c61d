#pragma once
// Runs a script (Script.h) against the server's clients: its waits and
// expectations watch what the clients send, its other commands act at once.
// A wait that does not hold ends the script, since what follows depends on
// it; a failed expectation or action is reported and the script goes on, so
// one run names every failure. The result is the program's exit code: 0 when
// every step held, 1 otherwise.
//
// Threads: Observe from the server threads (any number), Run on one other
// thread; everything Observe keeps is guarded by `mutex_`.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "kvsim/Cli.h"
#include "kvsim/EventOutput.h"
#include "kvsim/Script.h"
#include "runtime/ThreadSafety.h"

namespace kv::sim {

class TScriptRunner {
 public:
  // `login`: how the clients answer logins when the script refuses none.
  TScriptRunner(std::vector<TScriptStep> steps, TClientSet& clients, TEventOutput& output,
                TLoginBehaviour login);

  // Every record any client keeps; `addr` names the channel of a record by number.
  void Observe(const TReceivedRecord& record, const std::string& addr);
  int Run();

 private:
  struct TSeenValue {
    Variant value;
    std::uint16_t type = 0;
    std::uint8_t quality = 0;
    TDateTime time = 0;
  };
  struct TSeenChannel {
    std::deque<TSeenValue> values;            // not yet taken
    std::deque<std::uint16_t> registrations;  // their types, not yet taken
    bool registered = false;
    std::uint16_t type = 0;                 // of the latest registration
    std::vector<TSimAttribute> attributes;  // of the latest registration
  };
  enum class TCheck { Held, Waiting, Failed };
  // What a check saw; the text of a failure.
  struct TSeen {
    std::vector<std::string> skipped;  // the latest few passed over
    std::string why;
  };

  // Whether the step held; `text` says what happened, `fatal` whether the
  // script ends.
  bool Perform(const TScriptStep& step, std::string& text, bool& fatal);
  // Waits up to the step's limit until `check` decides.
  template <class TCheckFn>
  TCheck Await(const TScriptStep& step, TCheckFn check);
  TCheck TakeValue(const TScriptStep& step, TSeen& seen) REQUIRES(mutex_);
  TCheck TakeRegistration(const TScriptStep& step, TSeen& seen) REQUIRES(mutex_);
  TCheck RegistrationHolds(const TScriptStep& step, TSeen& seen) REQUIRES(mutex_);
  TCheck AttributeHolds(const TScriptStep& step, TSeen& seen) REQUIRES(mutex_);
  bool Drop(std::string& text);
  void Refuse(const TScriptStep& step);
  TSeenChannel& Channel(const std::string& addr) REQUIRES(mutex_);

  const std::vector<TScriptStep> steps_;
  TClientSet& clients_;
  TEventOutput& output_;
  const TLoginBehaviour login_;

  TMutex mutex_;
  std::condition_variable changed_;
  int logins_ GUARDED_BY(mutex_) = 0;  // not yet taken
  std::unordered_map<std::string, TSeenChannel> channels_
      GUARDED_BY(mutex_);  // by upper-cased address
};

}  // namespace kv::sim
