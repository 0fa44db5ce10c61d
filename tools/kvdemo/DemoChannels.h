#pragma once
// The channels the sample host declares, shared by its client side and the
// in-process server side, and the values it streams. Addresses are plain
// ASCII, so they are the same bytes in Windows-1251 and UTF-8.
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::demo {

inline constexpr std::string_view kTemperatureAddr = "Boiler.Temperature";
inline constexpr std::string_view kPumpAddr = "Boiler.Pump";
inline constexpr std::string_view kStartsAddr = "Boiler.Starts";
inline constexpr std::string_view kModeAddr = "Boiler.Mode";

// The values of one streaming step.
struct TStepValues {
  double temperature = 0;
  unsigned temperatureQuality = 0;  // not 0: the library keeps the old value
  bool pumpRunning = false;
  std::int32_t starts = 0;
  std::string mode;
};
// Values that change from step to step, as a polled boiler would give them.
TStepValues ValuesForStep(int step, bool pumpRunning);

}  // namespace kv::demo
