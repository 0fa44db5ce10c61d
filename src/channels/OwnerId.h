#pragma once
// The client's owner number: -1 until the first successful login, then the
// low 16 bits of the client ID the server granted. It stamps the attributes
// the host registers and becomes the Creator of new channels.
//
// Written only by the worker thread at login; read by any thread without a
// lock (a lock-free 16-bit atomic, relaxed order is enough: readers only need
// some recent value, never one consistent with other data).
#include <atomic>
#include <cstdint>

namespace kv {

extern std::atomic<std::int16_t> ClientOwnerID;

inline std::int16_t CurrentClientOwnerID() noexcept {
  return ClientOwnerID.load(std::memory_order_relaxed);
}

}  // namespace kv
