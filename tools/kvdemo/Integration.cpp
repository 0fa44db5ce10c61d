// How a host uses kvopros2, start to end. Read this file first: the rest of
// kvdemo is the demo around it (command line, terminal, the built-in test
// server). The steps, in the order a host takes them:
//   1. find the library's functions                 TDemoClient::Create
//   2. plug into the library's log, if wanted       TDemoClient::Create, OnLogLine
//   3. create the one client of the process         TDemoClient::Create
//   4. declare channels with their parameters       Declare
//   5. add attributes that have no parameter        TDemoClient::DeclareChannels
//   6. hand over values with time and quality       Hand, TDemoClient::HandOver
//   7. collect the server's controls                TDemoClient::TakeControl
//   8. read the client's counters, if wanted        TDemoClient::StatisticsLines
//   9. destroy the client before the program ends   TDemoClient::Destroy
// A call that returns false says why through c_GetLastResult, on the same
// thread, right after it (TDemoClient::LastResult).
// The library copies what it is given: addresses and texts are Windows-1251
// strings, values OLE VARIANTs the host keeps owning (HostVariant.h), times
// FILETIMEs of local time. No call waits for the network: the library's own
// worker thread connects, logs in and sends.
#include "Integration.h"

#include <string_view>

#include "DemoChannels.h"
#include "DemoStatistics.h"
#include "HostLibrary.h"
#include "HostVariant.h"
#include "kvopros2.h"
#include "HostText.h"

namespace kv::demo {
namespace {

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
    {kTemperatureAddr, KVOPROS2_TYPE_FLOAT8, false, true, "Температура воды в котле", "Котельная",
     "°C", "%.1f", "Датчик на выходе котла", KVOPROS2_SIGNIFICATION_TEMPERATURE, "",
     "Float8, unit °C, format %.1f, temperature sensor, limits 40..90"},
    {kPumpAddr, KVOPROS2_TYPE_BOOLEAN, true, true, "Насос котла", "Котельная", "", "", "",
     KVOPROS2_SIGNIFICATION_CONTROL, "Стоп\tПуск",
     "Boolean, writable, states Стоп/Пуск, control channel"},
    {kStartsAddr, KVOPROS2_TYPE_INT4, false, true, "Пуски горелки", "Котельная", "шт", "%d", "",
     KVOPROS2_SIGNIFICATION_UNDEFINED, "", "Int4 counter, unit шт"},
    {kModeAddr, KVOPROS2_TYPE_STRING, false, false, "Режим работы", "Котельная", "", "", "",
     KVOPROS2_SIGNIFICATION_UNDEFINED, "", "String"},
};

// The library's texts are Windows-1251; this program's are UTF-8.
std::string Ansi(std::string_view utf8) { return AnsiText(utf8); }

// Step 2. The library calls this on its own worker thread for every line it
// writes (Windows-1251, time stamp in front, no line end), also when it has
// no log file. It must be quick and must not call back into the library
// beyond the few calls allowed there: it only queues the line for the
// host's own thread.
void KVOPROS2_CALL OnLogLine(void* context, int /*level*/, const char* line) {
  static_cast<TLogFeed*>(context)->Add(line);
}

// Step 4. One call per channel: address, type, whether the server may write
// it (controls), whether the server keeps its values, and the descriptive
// parameters.
bool Declare(const TKvExports& lib, const TChannelPlan& c) {
  return lib.RegisterChannel(std::string(c.addr).c_str(), c.type, c.writeEnable, c.saveValue,
                             Ansi(c.comments).c_str(), Ansi(c.prefix).c_str(), Ansi(c.unit).c_str(),
                             Ansi(c.format).c_str(), Ansi(c.description).c_str(), c.signification,
                             Ansi(c.enumTexts).c_str()) != 0;
}

// Step 5. Any further attribute by its number and type.
bool SetAttribute(const TKvExports& lib, std::string_view addr, unsigned short id,
                  unsigned short type, const TOwnedVariant& value) {
  return lib.RegisterAttribute(std::string(addr).c_str(), id, type, value.Get()) != 0;
}

// Step 6. The value, its FILETIME stamp and its quality; the library
// refuses a value that did not change.
bool Hand(const TKvExports& lib, std::string_view addr, const FILETIME& time, unsigned quality,
          const TOwnedVariant& value) {
  return lib.RegisterValueByID(std::string(addr).c_str(), &time,
                               static_cast<unsigned short>(quality), value.Get()) != 0;
}

}  // namespace

void TLogFeed::Add(const char* line) {
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> TLogFeed::Take() {
  std::vector<std::string> taken;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    taken.swap(lines_);
  }
  for (std::string& line : taken) line = Utf8Text(line);
  return taken;
}

TDemoClient::~TDemoClient() { Destroy(); }

bool TDemoClient::LibraryFollowsLog() {
  std::string ignored;
  const TKvExports* api = LoadExports(ignored);
  return api != nullptr && api->SetLogCallback != nullptr;
}

bool TDemoClient::Create(const TClientSettings& s, std::string& error) {
  // Step 1: linked on Linux, looked up in the DLL on Windows (HostLibrary.cpp).
  api_ = LoadExports(error);
  if (!api_) return false;
  // Step 2: set before the client exists, the callback sees its first line.
  following_ = api_->SetLogCallback != nullptr && api_->SetLogCallback(&OnLogLine, &feed_) != 0;
  // Step 3: the worker thread starts and connects on its own; the call
  // returns at once. The host text may name a main server and reserves
  // ("main:3000;reserve:3001"): the client fails over by itself. The log
  // path is in the system's code page; empty, the callback is the only
  // output.
  created_ =
      api_->CreateOpros(s.host.c_str(), s.port, s.timeoutSec, Ansi(s.login).c_str(),
                        Ansi(s.password).c_str(), 0, s.debug ? 1 : 0, s.logPath.c_str()) != 0;
  if (!created_) {
    error = "c_CreateOpros returned false (result " + std::to_string(LastResult()) + ")";
    Destroy();
  }
  return created_;
}

int TDemoClient::LastResult() const { return api_->GetLastResult ? api_->GetLastResult() : -1; }

// Step 9: stops the library's worker thread and waits for it to end; its
// last lines reach the callback before that returns. Only then is the
// callback removed: once c_SetLogCallback returns, the library never calls
// the old one again, so its context may go.
bool TDemoClient::Destroy() {
  const bool destroyed = created_ && api_->DestroyOpros() != 0;
  created_ = false;
  if (following_) api_->SetLogCallback(nullptr, nullptr);
  following_ = false;
  return destroyed;
}

bool TDemoClient::Connected() const { return api_ && api_->IsServerConnected() == 1; }

std::vector<TDeclaration> TDemoClient::DeclareChannels() {
  std::vector<TDeclaration> out;
  for (const TChannelPlan& plan : kChannels) {
    const bool accepted = created_ && Declare(*api_, plan);
    out.push_back({std::string(plan.addr), std::string(plan.summary), accepted,
                   created_ ? LastResult() : -1});
  }
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
  taken += Hand(*api_, kTemperatureAddr, time, v.temperatureQuality,
                TOwnedVariant::Double(v.temperature));
  taken += HandOverPump(v.pumpRunning, KVOPROS2_QUALITY_GOOD, ticks);
  taken += Hand(*api_, kStartsAddr, time, KVOPROS2_QUALITY_GOOD, TOwnedVariant::Int32(v.starts));
  taken += Hand(*api_, kModeAddr, time, KVOPROS2_QUALITY_GOOD, TOwnedVariant::Text(v.mode));
  return taken;
}

bool TDemoClient::HandOverPump(bool running, unsigned quality, std::uint64_t ticks) {
  return created_ &&
         Hand(*api_, kPumpAddr, FileTimeFromTicks(ticks), quality, TOwnedVariant::Boolean(running));
}

// Step 7: poll regularly; each call takes the oldest waiting control. The
// VARIANT filled in belongs to the host afterwards (TOwnedVariant clears it).
std::optional<TControlSeen> TDemoClient::TakeControl() {
  char addr[256];
  kv_uint32 number = 0;
  FILETIME time{};
  unsigned short quality = 0;
  TOwnedVariant value;
  if (!created_ ||
      !api_->ReceiveControl(addr, sizeof addr, &number, &time, &quality, value.Reset()))
    return std::nullopt;
  TControlSeen seen;
  seen.addr = Utf8Text(addr);
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
