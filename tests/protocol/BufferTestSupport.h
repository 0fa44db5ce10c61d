#pragma once
// Byte-level helpers the packet buffer and channel record tests share.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/PacketBuffer.h"
#include "runtime/Exception.h"

namespace kv::test {

using Bytes = std::vector<std::uint8_t>;

// The unread bytes of a store.
inline Bytes Unread(TDataStack& store) {
  const std::uint8_t* data = store.Data();
  if (data == nullptr) return {};
  return Bytes(data, data + store.Size());
}

inline void Put(TDataStack& store, const Bytes& bytes) {
  ASSERT_TRUE(store.Append(bytes.data(), static_cast<std::int32_t>(bytes.size())));
}

// The message of the kv::Exception that `action` raises.
template <class F>
std::string MessageOf(F&& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<no exception>";
}

}  // namespace kv::test
