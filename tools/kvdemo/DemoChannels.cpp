#include "DemoChannels.h"

#include <cmath>

#include "kvopros2.h"

namespace kv::demo {
namespace {

constexpr int kStepsPerSecond = 4;

}  // namespace

TStepValues ValuesForStep(int step, bool pumpRunning) {
  TStepValues v;
  // A slow swing around 70 °C, to one decimal as the sensor reports it.
  v.temperature = std::round((70.0 + 5.0 * std::sin(step * 0.3)) * 10.0) / 10.0;
  // Every tenth reading is doubtful: the server gets the quality, the old value stays.
  v.temperatureQuality = step % 10 == 9 ? KVOPROS2_QUALITY_UNRELIABLE : KVOPROS2_QUALITY_GOOD;
  v.pumpRunning = pumpRunning;
  v.starts = 100 + step / kStepsPerSecond;
  v.mode = (step / (2 * kStepsPerSecond)) % 2 == 0 ? "нагрев" : "поддержание";
  return v;
}

}  // namespace kv::demo
