#include "kvsim/Script.h"

#include <algorithm>
#include <map>

#include "kvsim/CommandWords.h"
#include "kvsim/ValueInput.h"

namespace kv::sim {
namespace {

constexpr std::int64_t kLongestMs = 3600000;

struct TCommandInfo {
  const char* name;
  TStepKind kind;
};
constexpr TCommandInfo kCommands[] = {
    {"wait-login", TStepKind::WaitLogin},
    {"wait-channel", TStepKind::WaitChannel},
    {"expect-channel", TStepKind::ExpectChannel},
    {"expect-value", TStepKind::ExpectValue},
    {"expect-attribute", TStepKind::ExpectAttribute},
    {"control", TStepKind::Control},
    {"sleep", TStepKind::Sleep},
    {"drop", TStepKind::Drop},
    {"refuse", TStepKind::Refuse},
    {"exit", TStepKind::Exit},
};

bool Milliseconds(const std::string& text, std::chrono::milliseconds& value, std::string& error) {
  std::int64_t ms = 0;
  if (!ParseWhole(text, 0, kLongestMs, ms))
    return error = "bad milliseconds (0 to " + std::to_string(kLongestMs) + "): " + text, false;
  value = std::chrono::milliseconds(ms);
  return true;
}

// The words after the command: `fixed` of them, then KEY VALUE options among `keys`.
bool FixedAndOptions(const std::vector<TWord>& words, std::size_t fixed,
                     const std::vector<std::string>& keys,
                     std::map<std::string, std::string>& options, std::string& error) {
  if (words.size() < 1 + fixed) return error = "missing arguments", false;
  for (std::size_t i = 1 + fixed; i < words.size(); i += 2) {
    const std::string& key = words[i].text;
    if (std::find(keys.begin(), keys.end(), key) == keys.end() || words[i].quoted)
      return error = "unexpected '" + key + "'", false;
    if (i + 1 == words.size()) return error = "'" + key + "' needs a value", false;
    if (!options.emplace(key, words[i + 1].text).second)
      return error = "'" + key + "' given twice", false;
  }
  return true;
}

bool ReadOptions(const std::map<std::string, std::string>& options, TScriptStep& step,
                 std::string& error) {
  for (const auto& [key, value] : options) {
    if (key == "within") {
      if (!Milliseconds(value, step.within, error)) return false;
    } else if (key == "type") {
      std::uint16_t type = 0;
      if (!ParseDataType(value, type)) return error = "no such data type: " + value, false;
      step.type = type;
    } else if (key == "quality") {
      std::int64_t quality = 0;
      if (!ParseWhole(value, 0, 255, quality))
        return error = "bad quality (0 to 255): " + value, false;
      step.quality = static_cast<std::uint8_t>(quality);
    } else if (key == "time") {
      TDateTime time = 0;
      if (!ParseDateTime(value, time, error)) return false;
      step.time = time;
    }
  }
  return true;
}

bool ParseStep(const std::string& line, const std::vector<TWord>& words, TScriptStep& step,
               std::string& error) {
  std::map<std::string, std::string> options;
  const bool waits = step.kind == TStepKind::WaitLogin || step.kind == TStepKind::WaitChannel;
  step.within = waits ? kWaitLimit : kExpectLimit;
  switch (step.kind) {
    case TStepKind::WaitLogin:
      if (!FixedAndOptions(words, 0, {"within"}, options, error)) return false;
      break;
    case TStepKind::WaitChannel:
      if (!FixedAndOptions(words, 1, {"within"}, options, error)) return false;
      break;
    case TStepKind::ExpectChannel:
      if (!FixedAndOptions(words, 1, {"type", "within"}, options, error)) return false;
      break;
    case TStepKind::ExpectValue: {
      if (words.size() < 3) return error = "missing arguments", false;
      TValueAndOptions parts;
      if (!SplitValueAndOptions(line, words, 2, {"quality", "time", "within"}, parts, error))
        return false;
      step.value = parts.value;
      options = parts.options;
      break;
    }
    case TStepKind::ExpectAttribute: {
      if (words.size() < 4) return error = "missing arguments", false;
      std::int64_t id = 0;
      if (!ParseWhole(words[2].text, 1, 0xFFFF, id))
        return error = "bad attribute id: " + words[2].text, false;
      step.attribute = static_cast<std::uint16_t>(id);
      TValueAndOptions parts;
      if (!SplitValueAndOptions(line, words, 3, {"within"}, parts, error)) return false;
      step.value = parts.value;
      options = parts.options;
      break;
    }
    case TStepKind::Control:
      if (!ParseControlRequest(line, 1, false, step.control, error)) return false;
      step.addr = step.control.target;
      return true;
    case TStepKind::Sleep:
      if (words.size() != 2) return error = "sleep takes the milliseconds", false;
      return Milliseconds(words[1].text, step.within, error);
    case TStepKind::Refuse: {
      if (words.size() != 2) return error = "refuse takes a code or off", false;
      if (words[1].text == "off") return true;
      std::int64_t code = 0;
      if (!ParseWhole(words[1].text, 0, 255, code))
        return error = "bad refusal code (0 to 255, or off): " + words[1].text, false;
      step.refuseCode = static_cast<std::uint8_t>(code);
      return true;
    }
    case TStepKind::Drop:
    case TStepKind::Exit:
      if (words.size() != 1) return error = "unexpected '" + words[1].text + "'", false;
      return true;
  }
  if (words.size() > 1) step.addr = words[1].text;
  return ReadOptions(options, step, error);
}

}  // namespace

bool ParseScript(const std::string& text, std::vector<TScriptStep>& steps, std::string& error) {
  steps.clear();
  std::size_t at = 0;
  for (int number = 1; at <= text.size(); ++number) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<TWord> words;
    std::string why;
    if (!SplitWords(line, words, why))
      return error = "line " + std::to_string(number) + ": " + why, false;
    if (words.empty() || (!words[0].quoted && words[0].text[0] == '#')) continue;
    TScriptStep step;
    step.line = number;
    step.text = line.substr(words.front().begin, words.back().end - words.front().begin);
    const TCommandInfo* info = nullptr;
    for (const TCommandInfo& command : kCommands)
      if (words[0].text == command.name) info = &command;
    if (info == nullptr)
      return error = "line " + std::to_string(number) + ": unknown command '" + words[0].text + "'",
             false;
    step.kind = info->kind;
    if (!ParseStep(line, words, step, why))
      return error = "line " + std::to_string(number) + ": " + words[0].text + ": " + why, false;
    steps.push_back(std::move(step));
  }
  return true;
}

}  // namespace kv::sim
