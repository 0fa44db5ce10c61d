#include "client/LogControl.h"

namespace kv {
namespace {

// The control whose callback this thread is running, if any.
thread_local const TLogControl* callingControl = nullptr;

struct TLevelWord {
  std::string_view word;
  int level;
};

// Each word is followed by a tab in a message.
constexpr TLevelWord kLevelWords[] = {
    {"ERROR", TLogControl::kLevelError},
    {"WARNING", TLogControl::kLevelWarning},
    {"INFO", TLogControl::kLevelInfo},
    {"DEBUG", TLogControl::kLevelDebug},
};

}  // namespace

void TLogControl::SetCallback(TCallback callback, void* context) noexcept {
  if (callingControl == this) {
    SwapFromInside(callback, context);
    return;
  }
  TLockGuard guard(callbackLock_);
  callback_ = callback;
  context_ = context;
  hasCallback_.store(callback != nullptr, std::memory_order_release);
}

// This thread holds callbackLock_ in Deliver further up its stack, which the
// analysis cannot see.
void TLogControl::SwapFromInside(TCallback callback, void* context) noexcept {
  callback_ = callback;
  context_ = context;
  hasCallback_.store(callback != nullptr, std::memory_order_release);
}

void TLogControl::Deliver(int level, std::string_view line) noexcept {
  if (!HasCallback()) return;
  TLockGuard guard(callbackLock_);
  if (callback_ == nullptr) return;
  const TLogControl* outer = callingControl;
  callingControl = this;
  callsInProgress_.fetch_add(1, std::memory_order_relaxed);
  try {
    callback_(context_, level, line.data());
  } catch (...) {
    // A host's callback has no business raising; its line is simply done.
  }
  callsInProgress_.fetch_sub(1, std::memory_order_relaxed);
  callingControl = outer;
}

bool TLogControl::CallingThread() noexcept { return callingControl != nullptr; }

int TLogControl::LevelOf(std::string_view message) noexcept {
  for (const TLevelWord& word : kLevelWords)
    if (message.size() > word.word.size() && message.substr(0, word.word.size()) == word.word &&
        message[word.word.size()] == '\t')
      return word.level;
  return kLevelInfo;
}

}  // namespace kv
