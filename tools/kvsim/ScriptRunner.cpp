#include "kvsim/ScriptRunner.h"

#include <cmath>
#include <thread>

#include "kvsim/Describe.h"
#include "kvsim/ValueInput.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "values/DataTypes.h"

namespace kv::sim {
namespace {

// Values kept per channel that no expectation took yet; older ones go.
constexpr std::size_t kKeptValues = 10000;
constexpr std::size_t kSkippedShown = 5;

std::string Within(const TScriptStep& step) {
  return " within " + std::to_string(step.within.count()) + " ms";
}

void Skip(std::vector<std::string>& skipped, std::string text) {
  if (skipped.size() == kSkippedShown) skipped.erase(skipped.begin());
  skipped.push_back(std::move(text));
}

// Time stamps compare to the millisecond, as the log and the listings show them.
bool SameTime(TDateTime a, TDateTime b) { return std::fabs(a - b) * kMSecsPerDay < 0.5; }

std::string Joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += (out.empty() ? "" : ", ") + text;
  return out;
}

}  // namespace

TScriptRunner::TScriptRunner(std::vector<TScriptStep> steps, TClientSet& clients,
                             TEventOutput& output, TLoginBehaviour login)
    : steps_(std::move(steps)), clients_(clients), output_(output), login_(std::move(login)) {}

TScriptRunner::TSeenChannel& TScriptRunner::Channel(const std::string& addr) {
  return channels_[AnsiUpper(addr)];
}

void TScriptRunner::Observe(const TReceivedRecord& record, const std::string& addr) {
  {
    TLockGuard lock(mutex_);
    switch (record.kind) {
      case TRecordKind::Login:
        ++logins_;
        break;
      case TRecordKind::Registration: {
        const std::string& name =
            record.registration.addr.empty() ? addr : record.registration.addr;
        if (name.empty()) return;
        TSeenChannel& channel = Channel(name);
        channel.registrations.push_back(record.registration.type);
        channel.registered = true;
        channel.type = record.registration.type;
        channel.attributes = record.registration.attributes;
        break;
      }
      case TRecordKind::Value: {
        const std::string& name = record.value.addr.empty() ? addr : record.value.addr;
        if (name.empty()) return;
        TSeenChannel& channel = Channel(name);
        if (channel.values.size() == kKeptValues) channel.values.pop_front();
        channel.values.push_back(
            {record.value.value, record.value.type, record.value.quality, record.value.dt});
        break;
      }
      default:
        return;
    }
  }
  changed_.notify_all();
}

template <class TCheckFn>
TScriptRunner::TCheck TScriptRunner::Await(const TScriptStep& step, TCheckFn check) {
  TCheck result = TCheck::Waiting;
  TUniqueLock lock(mutex_);
  lock.WaitFor(changed_, step.within, [&]() REQUIRES(mutex_) {
    result = check();
    return result != TCheck::Waiting;
  });
  return result;
}

TScriptRunner::TCheck TScriptRunner::TakeValue(const TScriptStep& step, TSeen& seen) {
  TSeenChannel& channel = Channel(step.addr);
  while (!channel.values.empty()) {
    const TSeenValue got = std::move(channel.values.front());
    channel.values.pop_front();
    Variant expected;
    std::string error;
    if (!ParseValue(step.value, got.type, expected, error)) {
      seen.why = "cannot compare with a " + DataTypeToText(got.type) + " value: " + error;
      return TCheck::Failed;
    }
    if (SameValue(got.value, expected, got.type) &&
        (!step.quality || *step.quality == got.quality) &&
        (!step.time || SameTime(*step.time, got.time)))
      return TCheck::Held;
    Skip(seen.skipped,
         ValueText(got.value, got.type) +
             (step.quality ? " quality " + std::to_string(got.quality) : std::string()) +
             (step.time ? " at " + DateTimeText(got.time) : std::string()));
  }
  seen.why = "no value " + step.value +
             (step.quality ? " of quality " + std::to_string(*step.quality) : std::string()) +
             (step.time ? " at " + DateTimeText(*step.time) : std::string()) + Within(step) +
             (!seen.skipped.empty() ? "; got " + Joined(seen.skipped)
              : channel.registered  ? "; no values came"
                                    : "; the channel was never registered");
  return TCheck::Waiting;
}

TScriptRunner::TCheck TScriptRunner::TakeRegistration(const TScriptStep& step, TSeen& seen) {
  TSeenChannel& channel = Channel(step.addr);
  seen.why = "no registration of " + step.addr + Within(step);
  if (channel.registrations.empty()) return TCheck::Waiting;
  channel.registrations.pop_front();
  return TCheck::Held;
}

TScriptRunner::TCheck TScriptRunner::RegistrationHolds(const TScriptStep& step, TSeen& seen) {
  const TSeenChannel& channel = Channel(step.addr);
  if (channel.registered && (!step.type || *step.type == channel.type)) return TCheck::Held;
  seen.why = (channel.registered ? step.addr + " is registered as " + DataTypeToText(channel.type)
                                 : step.addr + " was never registered") +
             Within(step);
  return TCheck::Waiting;
}

TScriptRunner::TCheck TScriptRunner::AttributeHolds(const TScriptStep& step, TSeen& seen) {
  const TSeenChannel& channel = Channel(step.addr);
  const std::string attribute = "attribute " + std::to_string(step.attribute);
  seen.why = step.addr + " was never registered";
  if (!channel.registered) return TCheck::Waiting;
  seen.why = step.addr + " has no " + attribute;
  for (const TSimAttribute& a : channel.attributes) {
    if (a.id != step.attribute) continue;
    Variant expected;
    std::string error;
    if (!ParseValue(step.value, a.type, expected, error)) {
      seen.why = "cannot compare with a " + DataTypeToText(a.type) + " value: " + error;
      return TCheck::Failed;
    }
    if (SameValue(a.value, expected, a.type)) return TCheck::Held;
    seen.why = attribute + " of " + step.addr + " is " + ValueText(a.value, a.type);
  }
  seen.why += Within(step);
  return TCheck::Waiting;
}

bool TScriptRunner::Drop(std::string& text) {
  bool any = false;
  for (TKavrelServer* server : clients_.servers) any = server->Drop() || any;
  text = any ? "done" : "no client connected";
  return any;
}

void TScriptRunner::Refuse(const TScriptStep& step) {
  TLoginBehaviour login = login_;
  login.refuseCode = step.refuseCode;
  for (TKavrelServer* server : clients_.servers) server->SetLoginBehaviour(login);
}

bool TScriptRunner::Perform(const TScriptStep& step, std::string& text, bool& fatal) {
  TSeen seen;
  TCheck check = TCheck::Held;
  switch (step.kind) {
    case TStepKind::WaitLogin:
      fatal = true;
      check = Await(step, [&]() REQUIRES(mutex_) {
        if (logins_ == 0) return TCheck::Waiting;
        --logins_;
        return TCheck::Held;
      });
      seen.why = "no login" + Within(step);
      break;
    case TStepKind::WaitChannel:
      fatal = true;
      check = Await(step, [&]() REQUIRES(mutex_) { return TakeRegistration(step, seen); });
      break;
    case TStepKind::ExpectChannel:
      check = Await(step, [&]() REQUIRES(mutex_) { return RegistrationHolds(step, seen); });
      break;
    case TStepKind::ExpectValue:
      check = Await(step, [&]() REQUIRES(mutex_) { return TakeValue(step, seen); });
      break;
    case TStepKind::ExpectAttribute:
      check = Await(step, [&]() REQUIRES(mutex_) { return AttributeHolds(step, seen); });
      break;
    case TStepKind::Control:
      try {
        return SendControlRequest(clients_, step.control, text);
      } catch (const Exception& e) {
        text = e.Message();
        return false;
      }
    case TStepKind::Sleep:
      std::this_thread::sleep_for(step.within);
      text = "done";
      return true;
    case TStepKind::Drop:
      return Drop(text);
    case TStepKind::Refuse:
      Refuse(step);
      text = "done";
      return true;
    case TStepKind::Exit:
      text = "done";
      return true;
  }
  text = check == TCheck::Held ? "held" : seen.why;
  return check == TCheck::Held;
}

int TScriptRunner::Run() {
  int held = 0, failed = 0;
  for (const TScriptStep& step : steps_) {
    if (step.kind == TStepKind::Exit) break;
    std::string text;
    bool fatal = false;
    if (Perform(step, text, fatal)) {
      ++held;
      output_.Note("script line " + std::to_string(step.line) + ": " + step.text + ": " + text);
      continue;
    }
    ++failed;
    output_.ScriptFailed(step.line, step.text, text);
    if (fatal) break;
  }
  output_.ScriptEnded(held, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace kv::sim
