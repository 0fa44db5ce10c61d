#pragma once
// TWatchdog: notices a call into the library that does not return. Each
// thread of work owns a slot; it arms the slot with what it is about to do
// and a limit before the call and disarms it after. A thread of the
// watchdog looks at the slots every 100 ms and, when one has been armed for
// longer than its limit, reports what hung: the soak then ends at once
// instead of hanging the machine that runs it.
//
// Threads: AddSlot from any thread before the slot is used; Arm and Disarm
// from the slot's owner only; Start and Stop from the controlling thread.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kv::soak {

class TWatchdog {
 public:
  // Called once, on the watchdog's thread: what hung and for how long.
  using THang =
      std::function<void(const std::string& owner, const std::string& what, double seconds)>;

  explicit TWatchdog(THang onHang) : onHang_(std::move(onHang)) {}
  ~TWatchdog() { Stop(); }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

  // A slot for `owner`; -1 when all are taken (its Arm then does nothing).
  int AddSlot(const std::string& owner);
  void Arm(int slot, const char* what, std::chrono::milliseconds limit);
  void Disarm(int slot);

  void Start();
  void Stop();

 private:
  static constexpr int kSlots = 32;
  struct TSlot {
    std::atomic<std::int64_t> since{0};  // ms on the steady clock; 0: disarmed
    std::atomic<std::int64_t> limit{0};  // ms
    std::atomic<const char*> what{nullptr};
    std::string owner;  // written under mutex_ before first use
  };
  void Watch();

  THang onHang_;
  std::array<TSlot, kSlots> slots_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int used_ = 0;           // guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

// Milliseconds on the steady clock.
std::int64_t SteadyMs();

}  // namespace kv::soak
