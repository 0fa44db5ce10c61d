#include "runtime/Thread.h"

namespace kv {

TThread::~TThread() { WaitFor(); }

void TThread::Resume() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    // Execute catches what it expects; anything else must not take the host
    // process down with std::terminate.
    try {
      Execute();
    } catch (...) {
    }
  });
}

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace kv
