#include "api/HostOptions.h"

#include "kvopros2.h"

namespace kv {
namespace {

constexpr TOptionRule kOptions[] = {
    // The creation's debugLog argument sets the switch; this one changes it
    // while the client runs.
    {KVOPROS2_OPTION_DEBUG_LOG, 0, 1, false, 0, TOptionUse::Live},
    {KVOPROS2_OPTION_LOG_MAX_BYTES, 65536, 2147483647, true, TLogControl::kNoRotation,
     TOptionUse::Live},
    {KVOPROS2_OPTION_LOG_FILES, 1, 100, false, TLogControl::kDefaultFiles, TOptionUse::Live},
    {KVOPROS2_OPTION_HISTORY_BYTES, 65536, 536870912, true, 0, TOptionUse::AtCreation},
    {KVOPROS2_OPTION_HISTORY_SECONDS, 1, 2073600, true, 0, TOptionUse::AtCreation},
};
static_assert(std::size(kOptions) == kOptionCount);

std::size_t IndexOf(const TOptionRule* rule) { return static_cast<std::size_t>(rule - kOptions); }

}  // namespace

THostOptions::THostOptions() noexcept {
  for (std::size_t i = 0; i < kOptionCount; ++i) values_[i].store(kOptions[i].initial);
}

const TOptionRule* THostOptions::Find(int option) noexcept {
  for (const TOptionRule& rule : kOptions)
    if (rule.id == option) return &rule;
  return nullptr;
}

TCallResult THostOptions::Set(int option, long long value) noexcept {
  const TOptionRule* rule = Find(option);
  if (rule == nullptr) return TCallResult::UnknownOption;
  const bool inRange =
      (value >= rule->low && value <= rule->high) || (rule->zeroAccepted && value == 0);
  if (!inRange) return TCallResult::OutOfRange;
  values_[IndexOf(rule)].store(value);
  return TCallResult::Ok;
}

std::int64_t THostOptions::Value(int option) const noexcept {
  const TOptionRule* rule = Find(option);
  return rule == nullptr ? 0 : values_[IndexOf(rule)].load();
}

void ApplyLiveOption(int option, std::int64_t value, TLogControl& log,
                     TClientFacade* client) noexcept {
  switch (option) {
    case KVOPROS2_OPTION_DEBUG_LOG:
      if (client != nullptr) client->SetDebug(value != 0);
      break;
    case KVOPROS2_OPTION_LOG_MAX_BYTES:
      log.SetMaxBytes(value);
      break;
    case KVOPROS2_OPTION_LOG_FILES:
      log.SetFiles(static_cast<int>(value));
      break;
    default:
      break;
  }
}

void ApplyCreationOptions(const THostOptions& options, ClientSettings& settings) noexcept {
  for (const TOptionRule& rule : kOptions) {
    if (rule.use != TOptionUse::AtCreation) continue;
    // One case per option read at creation, copying
    // options.Value(rule.id) into its field of settings.
    switch (rule.id) {
      case KVOPROS2_OPTION_HISTORY_BYTES:
        settings.HistoryBytes = static_cast<std::uint64_t>(options.Value(rule.id));
        break;
      case KVOPROS2_OPTION_HISTORY_SECONDS:
        settings.HistorySeconds = static_cast<std::uint32_t>(options.Value(rule.id));
        break;
      default:
        break;
    }
  }
}

}  // namespace kv
