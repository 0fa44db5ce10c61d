#pragma once
// The library as a host sees it: loaded at run time from a path, the
// exports found by name (later ones optional, so that an older build can be
// measured too), values and times made the way a host makes them.
// Nothing here uses the library's own classes.
#include <cstdint>
#include <string>

#include "kvopros2.h"

namespace kv::bench {

struct THostApi {
  kv_CreateOprosFn create = nullptr;
  kv_DestroyOprosFn destroy = nullptr;
  kv_IsServerConnectedFn connected = nullptr;
  kv_RegisterChannelFn channel = nullptr;
  kv_RegisterValueByIDFn value = nullptr;
  kv_RegisterAttributeFn attribute = nullptr;
  kv_ReceiveControlFn control = nullptr;
  kv_SetLogCallbackFn setLogCallback = nullptr;  // null: a library without it
  kv_SetOptionFn setOption = nullptr;            // null: a library without it
  kv_GetStatisticsFn statistics = nullptr;       // null: a library without it
  // The Linux build's helpers for the safe arrays of array values.
  SAFEARRAY* (*createVector)(VARTYPE, std::int32_t, std::uint32_t) = nullptr;
  std::int32_t (*destroyArray)(SAFEARRAY*) = nullptr;
  std::int32_t (*accessData)(SAFEARRAY*, void**) = nullptr;
  std::int32_t (*unaccessData)(SAFEARRAY*) = nullptr;
};

// Loads the library once per process (later calls give the same exports);
// null with `error` when it or one of the exports is missing.
const THostApi* LoadHostApi(const std::string& path, std::string& error);

inline VARIANT DoubleValue(double value) {
  VARIANT v{};
  v.vt = VT_R8;
  v.dblVal = value;
  return v;
}

// 100-ns ticks since 1601 as a FILETIME.
inline FILETIME FileTimeOf(std::uint64_t ticks) {
  return FILETIME{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
}

// A fixed time stamp in 2024 for the values the benchmarks hand over.
inline constexpr std::uint64_t kStampTicks = 133500000000000000ULL;

// The address of channel i: "CH" and the decimal index.
std::string ChannelAddress(std::size_t index);
// The index back from an address made by ChannelAddress; -1 otherwise.
long ChannelIndex(const std::string& addr);

}  // namespace kv::bench
