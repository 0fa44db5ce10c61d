#pragma once
// Little-endian fields at any byte offset: the wire packs its numbers
// without alignment, so they are assembled byte by byte and never read
// through a cast pointer. Doubles and floats travel as their IEEE bits.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kv {

namespace detail {
template <std::size_t Size>
struct TUnsignedOfSize;
template <>
struct TUnsignedOfSize<1> {
  using Type = std::uint8_t;
};
template <>
struct TUnsignedOfSize<2> {
  using Type = std::uint16_t;
};
template <>
struct TUnsignedOfSize<4> {
  using Type = std::uint32_t;
};
template <>
struct TUnsignedOfSize<8> {
  using Type = std::uint64_t;
};
}  // namespace detail

// The low `width` bytes (1 to 8) of `bits`, lowest first.
constexpr void StoreLEBits(std::uint8_t* out, std::uint64_t bits, int width) noexcept {
  for (int i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

constexpr std::uint64_t LoadLEBits(const std::uint8_t* in, int width) noexcept {
  std::uint64_t bits = 0;
  for (int i = 0; i < width; ++i) bits |= std::uint64_t{in[i]} << (8 * i);
  return bits;
}

template <class T>
requires std::is_arithmetic_v<T>
constexpr void StoreLE(std::uint8_t* out, T value) noexcept {
  using Bits = typename detail::TUnsignedOfSize<sizeof(T)>::Type;
  StoreLEBits(out, std::bit_cast<Bits>(value), sizeof(T));
}

template <class T>
requires std::is_arithmetic_v<T>
constexpr T LoadLE(const std::uint8_t* in) noexcept {
  using Bits = typename detail::TUnsignedOfSize<sizeof(T)>::Type;
  return std::bit_cast<T>(static_cast<Bits>(LoadLEBits(in, sizeof(T))));
}

}  // namespace kv
