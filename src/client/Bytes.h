#pragma once
// Little-endian fields of the fixed-size structures the worker reads
// straight from received bytes (no alignment on the wire).
#include <cstdint>
#include <cstring>

namespace kv::wire {

inline std::int16_t ReadInt16(const std::uint8_t* p) {
  return static_cast<std::int16_t>(p[0] | (p[1] << 8));
}

inline std::int32_t ReadInt32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | (p[1] << 8) | (p[2] << 16) |
                                   (static_cast<std::uint32_t>(p[3]) << 24));
}

// Every target we build for is little-endian, so the double's bytes copy as
// they stand.
inline double ReadDouble(const std::uint8_t* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace kv::wire
