#include "client/ControlQueue.h"

#include <utility>

namespace kv {

bool TControlQueue::Push(ControlRequest control) {
  TLockGuard guard(lock_);
  // The oldest stay: the host sees the controls in the order they came.
  if (controls_.size() >= bound_) {
    ++refused_;
    return false;
  }
  controls_.push_back(std::move(control));
  return true;
}

unsigned long TControlQueue::EndOverflow(bool workerEnds) {
  if (refused_ == 0) return 0;
  if (!workerEnds) {
    TLockGuard guard(lock_);
    if (controls_.size() >= bound_) return 0;
  }
  return std::exchange(refused_, 0);
}

std::optional<ControlRequest> TControlQueue::Pop(bool& madeRoom) {
  TLockGuard guard(lock_);
  madeRoom = false;
  if (controls_.empty()) return std::nullopt;
  madeRoom = controls_.size() >= bound_;
  std::optional<ControlRequest> first(std::move(controls_.front()));
  controls_.pop_front();
  return first;
}

std::size_t TControlQueue::Size() {
  TLockGuard guard(lock_);
  return controls_.size();
}

}  // namespace kv
