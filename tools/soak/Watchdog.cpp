#include "soak/Watchdog.h"

namespace kv::soak {

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int TWatchdog::AddSlot(const std::string& owner) {
  std::lock_guard lock(mutex_);
  if (used_ == kSlots) return -1;
  slots_[used_].owner = owner;
  return used_++;
}

void TWatchdog::Arm(int slot, const char* what, std::chrono::milliseconds limit) {
  if (slot < 0) return;
  TSlot& s = slots_[slot];
  s.what.store(what);
  s.limit.store(limit.count());
  s.since.store(SteadyMs());
}

void TWatchdog::Disarm(int slot) {
  if (slot >= 0) slots_[slot].since.store(0);
}

void TWatchdog::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Watch(); });
}

void TWatchdog::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TWatchdog::Watch() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; })) {
    const std::int64_t now = SteadyMs();
    for (int i = 0; i < used_; ++i) {
      const std::int64_t since = slots_[i].since.load();
      if (since == 0 || now - since <= slots_[i].limit.load()) continue;
      const char* what = slots_[i].what.load();
      onHang_(slots_[i].owner, what ? what : "?", static_cast<double>(now - since) / 1000.0);
      return;
    }
  }
}

}  // namespace kv::soak
