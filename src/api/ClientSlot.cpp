#include "api/ClientSlot.h"

namespace kv {

bool TClientSlot::Create(const ClientSettings& settings, Factory factory) noexcept {
  try {
    std::lock_guard gate(gate_);
    std::unique_lock lock(mutex_);
    if (!client_) client_ = factory(settings);
    return client_ != nullptr;
  } catch (...) {
    return false;
  }
}

std::shared_lock<std::shared_mutex> TClientSlot::EnterShared() {
  std::lock_guard gate(gate_);
  return std::shared_lock(mutex_);
}

bool TClientSlot::Destroy() noexcept {
  try {
    std::lock_guard gate(gate_);
    std::unique_lock lock(mutex_);
    if (!client_) return false;
    // Under the lock: a c_CreateOpros racing with us must not start a second
    // client while this one's worker thread is still ending.
    client_.reset();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace kv
