#pragma once
// TControlQueue: the controls the server sent, waiting for the host to take
// them, oldest first. The worker thread adds each as its command arrives;
// host threads take them (c_ReceiveControl) and count them (statistics).
//
// The queue is bounded, so that a host that stops taking controls cannot
// make it grow without end: while it is full, the newest controls are
// refused and counted. Such a run of refusals, an overflow, ends once the
// host has made room, or when the worker ends; the worker then writes its
// one line with the count.
//
// Threads and locks: lock_ guards the controls; the overflow's count is the
// worker's alone. Nobody writes a log line while holding lock_: a log
// callback may ask for the statistics, which count the queue.
#include <cstddef>
#include <deque>
#include <optional>

#include "client/ClientTypes.h"
#include "runtime/ThreadSafety.h"

namespace kv {

class TControlQueue {
 public:
  // `bound` is the client's setting, read at each use: it changes only
  // before the worker starts, and must outlive the queue.
  explicit TControlQueue(const std::size_t& bound) : bound_(bound) {}
  TControlQueue(const TControlQueue&) = delete;
  TControlQueue& operator=(const TControlQueue&) = delete;

  std::size_t Bound() const { return bound_; }

  // --- worker thread ---
  // Appends `control`; false when the queue is full, and the control is
  // then counted in the overflow.
  bool Push(ControlRequest control) EXCLUDES(lock_);
  // The number of controls refused in an overflow that has ended, after
  // which counting starts afresh; 0 when none were refused or the queue is
  // still full. With `workerEnds` the overflow ends whether or not the host
  // made room.
  unsigned long EndOverflow(bool workerEnds) EXCLUDES(lock_);

  // --- host threads ---
  // Removes and returns the oldest control; nothing when none waits.
  // `madeRoom` tells whether it came from a full queue: the worker can then
  // end the overflow.
  std::optional<ControlRequest> Pop(bool& madeRoom) EXCLUDES(lock_);
  std::size_t Size() EXCLUDES(lock_);

 private:
  const std::size_t& bound_;
  TMutex lock_;
  std::deque<ControlRequest> controls_ GUARDED_BY(lock_);
  unsigned long refused_ = 0;  // in the current overflow; worker thread only
};

}  // namespace kv
