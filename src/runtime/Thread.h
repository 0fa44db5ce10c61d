#pragma once
// The class library's thread object: created suspended, started once with
// Resume, asked to stop with Terminate (a flag Execute polls), joined with
// WaitFor. It never frees itself; its owner destroys it after WaitFor.
//
// Threads: Terminate, Terminated and WaitFor may be called from any thread;
// Resume and WaitFor from the owner only. A thread that sleeps on something
// of its own learns of Terminate through TerminateRequested.
#include <atomic>
#include <thread>

namespace kv {

class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // The derived destructor must have called WaitFor (or never resumed).
  virtual ~TThread();

  // Starts Execute on a new thread; a second call does nothing.
  void Resume();
  void Terminate() noexcept {
    terminated_.store(true, std::memory_order_release);
    TerminateRequested();
  }
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
  // Waits until Execute has returned; returns at once when never started.
  void WaitFor();

 protected:
  virtual void Execute() = 0;
  // Called by Terminate on the calling thread, after the request is set:
  // the place to wake Execute from a wait. It must not block.
  virtual void TerminateRequested() noexcept {}

 private:
  std::atomic<bool> terminated_{false};
  std::thread thread_;
};

}  // namespace kv
