#include "DemoClient.h"

#include <cmath>
#include <string_view>

#include "DemoChannels.h"
#include "DemoStatistics.h"
#include "HostLibrary.h"
#include "HostVariant.h"
#include "TextCodec.h"
#include "kvopros2.h"

namespace kv::demo {
namespace {

constexpr int kStepsPerSecond = 4;

struct TChannelPlan {
  std::string_view addr;
  unsigned short type;
  bool writeEnable;
  bool saveValue;
  std::string_view comments;  // texts in UTF-8, converted when declared
  std::string_view prefix;
  std::string_view unit;
  std::string_view format;
  std::string_view description;
  unsigned short signification;
  std::string_view enumTexts;  // state names separated by tabs
  std::string_view summary;
};

constexpr TChannelPlan kChannels[] = {
    {kTemperatureAddr, KVOPROS2_TYPE_FLOAT8, false, true, "Температура воды в котле", "Котельная", "°C",
     "%.1f", "Датчик на выходе котла", KVOPROS2_SIGNIFICATION_TEMPERATURE, "",
     "Float8, unit °C, format %.1f, temperature sensor, limits 40..90"},
    {kPumpAddr, KVOPROS2_TYPE_BOOLEAN, true, true, "Насос котла", "Котельная", "", "", "",
     KVOPROS2_SIGNIFICATION_CONTROL, "Стоп\tПуск", "Boolean, writable, states Стоп/Пуск, control channel"},
    {kStartsAddr, KVOPROS2_TYPE_INT4, false, true, "Пуски горелки", "Котельная", "шт", "%d", "",
     KVOPROS2_SIGNIFICATION_UNDEFINED, "", "Int4 counter, unit шт"},
    {kModeAddr, KVOPROS2_TYPE_STRING, false, false, "Режим работы", "Котельная", "", "", "",
     KVOPROS2_SIGNIFICATION_UNDEFINED, "", "String"},
};

std::string Ansi(std::string_view utf8) { return AnsiFromUtf8(utf8); }

bool Declare(const TKvExports& lib, const TChannelPlan& c) {
  return lib.RegisterChannel(std::string(c.addr).c_str(), c.type, c.writeEnable, c.saveValue,
                           Ansi(c.comments).c_str(), Ansi(c.prefix).c_str(), Ansi(c.unit).c_str(),
                           Ansi(c.format).c_str(), Ansi(c.description).c_str(), c.signification,
                           Ansi(c.enumTexts).c_str()) != 0;
}

bool SetAttribute(const TKvExports& lib, std::string_view addr, unsigned short id,
                  unsigned short type, const TOwnedVariant& value) {
  return lib.RegisterAttribute(std::string(addr).c_str(), id, type, value.Get()) != 0;
}

bool Hand(const TKvExports& lib, std::string_view addr, const FILETIME& time, unsigned quality,
          const TOwnedVariant& value) {
  return lib.RegisterValueByID(std::string(addr).c_str(), &time, static_cast<unsigned short>(quality),
                              value.Get()) != 0;
}

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

TDemoClient::~TDemoClient() { Destroy(); }

bool TDemoClient::Create(const TClientSettings& s, std::string& error) {
  api_ = LoadExports(error);
  if (!api_) return false;
  created_ = api_->CreateOpros(s.host.c_str(), s.port, s.timeoutSec, Ansi(s.login).c_str(),
                               Ansi(s.password).c_str(), 0, s.debug ? 1 : 0, s.logPath.c_str()) != 0;
  if (!created_) error = "c_CreateOpros returned false";
  return created_;
}

bool TDemoClient::Destroy() {
  if (!created_) return false;
  created_ = false;
  return api_->DestroyOpros() != 0;
}

bool TDemoClient::Connected() const { return api_ && api_->IsServerConnected() == 1; }

std::vector<TDeclaration> TDemoClient::DeclareChannels() {
  std::vector<TDeclaration> out;
  for (const TChannelPlan& plan : kChannels)
    out.push_back({std::string(plan.addr), std::string(plan.summary), created_ && Declare(*api_, plan)});
  if (!created_) return out;
  // Limits are attributes without a parameter of their own.
  bool limits = SetAttribute(*api_, kTemperatureAddr, KVOPROS2_ATTR_HI_LIMIT, KVOPROS2_TYPE_FLOAT8,
                             TOwnedVariant::Double(90));
  limits = SetAttribute(*api_, kTemperatureAddr, KVOPROS2_ATTR_LO_LIMIT, KVOPROS2_TYPE_FLOAT8,
                        TOwnedVariant::Double(40)) &&
           limits;
  out.front().accepted = out.front().accepted && limits;
  return out;
}

int TDemoClient::HandOver(const TStepValues& v, std::uint64_t ticks) {
  if (!created_) return 0;
  const FILETIME time = FileTimeFromTicks(ticks);
  int taken = 0;
  taken += Hand(*api_, kTemperatureAddr, time, v.temperatureQuality, TOwnedVariant::Double(v.temperature));
  taken += HandOverPump(v.pumpRunning, KVOPROS2_QUALITY_GOOD, ticks);
  taken += Hand(*api_, kStartsAddr, time, KVOPROS2_QUALITY_GOOD, TOwnedVariant::Int32(v.starts));
  taken += Hand(*api_, kModeAddr, time, KVOPROS2_QUALITY_GOOD, TOwnedVariant::Text(v.mode));
  return taken;
}

bool TDemoClient::HandOverPump(bool running, unsigned quality, std::uint64_t ticks) {
  return created_ &&
         Hand(*api_, kPumpAddr, FileTimeFromTicks(ticks), quality, TOwnedVariant::Boolean(running));
}

std::optional<TControlSeen> TDemoClient::TakeControl() {
  char addr[256];
  kv_uint32 number = 0;
  FILETIME time{};
  unsigned short quality = 0;
  TOwnedVariant value;
  if (!created_ || !api_->ReceiveControl(addr, sizeof addr, &number, &time, &quality, value.Reset()))
    return std::nullopt;
  TControlSeen seen;
  seen.addr = Utf8FromAnsi(addr);
  seen.number = number;
  seen.time = FileTimeText(time);
  seen.quality = quality;
  seen.value = VariantText(value.Get());
  seen.flag = VariantFlag(value.Get());
  return seen;
}

std::vector<std::string> TDemoClient::StatisticsLines() const {
  if (!created_ || api_->GetStatistics == nullptr) return {};
  kv_statistics stats{};
  stats.size = sizeof stats;
  if (!api_->GetStatistics(&stats)) return {};
  return DescribeStatistics(stats);
}

}  // namespace kv::demo
