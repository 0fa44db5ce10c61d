#pragma once
// The channels the sample host declares, shared by its client side and the
// in-process server side. Addresses are plain ASCII, so they are the same
// bytes in Windows-1251 and UTF-8.
#include <string_view>

namespace kv::demo {

inline constexpr std::string_view kTemperatureAddr = "Boiler.Temperature";
inline constexpr std::string_view kPumpAddr = "Boiler.Pump";
inline constexpr std::string_view kStartsAddr = "Boiler.Starts";
inline constexpr std::string_view kModeAddr = "Boiler.Mode";

}  // namespace kv::demo
