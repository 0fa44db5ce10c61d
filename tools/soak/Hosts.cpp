#include "soak/Hosts.h"

#include <chrono>
#include <cmath>

#include "HostTime.h"
#include "HostVariant.h"
#include "kvsim/FaultDriver.h"

namespace kv::soak {
namespace {

using namespace std::chrono_literals;
using demo::TOwnedVariant;

constexpr auto kCallLimit = 10s;                 // far beyond any call that does not wait
constexpr auto kGrowEvery = 2s;                  // a value thread declares one more channel
constexpr int kAttributeEvery = 50;              // passes
constexpr int kConnectedEvery = 100;             // passes
constexpr std::uint16_t kTypes[] = {5, 3, 256};  // Float8, Int4, String
constexpr std::uint16_t kInt4 = 3;

std::uint64_t Ticks(int year, int month, int day) {
  demo::TCivilTime time;
  time.year = year;
  time.month = month;
  time.day = day;
  return demo::TicksFromCivil(time);
}

// The epochs of Ledger.h and FaultDriver.h as FILETIME ticks.
const std::uint64_t kValueTicks = Ticks(2025, 1, 1);
const std::uint64_t kControlTicks = Ticks(2025, 6, 1);

std::string ChannelName(int thread, int index) {
  // Every fourth name is Cyrillic ("Канал"), so addresses travel in Windows-1251.
  return (index % 4 == 0 ? std::string("\xCA\xE0\xED\xE0\xEB") : std::string("T")) +
         std::to_string(thread + 1) + "." + std::to_string(index);
}

std::string ValueText(std::int64_t k, std::size_t padding) {
  std::string text = std::to_string(k);
  if (text.size() < padding) text.append(padding - text.size(), '.');
  return text;
}

// The number a control's value carries; -1 when it carries none.
std::int64_t NumberOf(const VARIANT& value) {
  double number = -1;
  switch (value.vt) {
    case VT_R8:
      number = value.dblVal;
      break;
    case VT_R4:
      number = value.fltVal;
      break;
    case VT_I4:
      number = value.lVal;
      break;
    case VT_UI4:
      number = value.ulVal;
      break;
    case VT_BSTR: {
      std::int64_t n = 0;
      int digits = 0;
      for (const OLECHAR* p = value.bstrVal; p && *p >= '0' && *p <= '9' && digits < 18;
           ++p, ++digits)
        n = n * 10 + (*p - '0');
      return digits == 0 ? -1 : n;
    }
    default:
      return -1;
  }
  return number == std::floor(number) ? static_cast<std::int64_t>(number) : -1;
}

}  // namespace

std::vector<TSoakChannel> SoakChannels(const THostOptions& options) {
  std::vector<TSoakChannel> channels;
  for (int t = 0; t < options.valueThreads; ++t)
    for (int i = 0; i < options.maxChannels; ++i)
      channels.push_back({ChannelName(t, i), kTypes[i % 3], 0});
  for (int t = 0; t < options.valueThreads; ++t)
    channels.push_back({"Bulk" + std::to_string(t + 1), 256, options.bulkBytes});
  return channels;
}

// One value thread: its channels, their steps, its slot of the watchdog.
class THosts::TValueThread {
 public:
  TValueThread(THosts& hosts, int thread)
      : hosts_(hosts),
        thread_(thread),
        slot_(hosts.watchdog_.AddSlot("value thread " + std::to_string(thread + 1))),
        random_(static_cast<std::uint64_t>(thread) + 1) {}

  void Run() {
    const THostOptions& o = hosts_.options_;
    for (int i = 0; i < o.channels; ++i) Declare(Index(i));
    Declare(Bulk());
    auto grown = std::chrono::steady_clock::now();
    for (int pass = 0; !hosts_.stopValues_.load(); ++pass) {
      if (declared_ < o.maxChannels && std::chrono::steady_clock::now() - grown > kGrowEvery) {
        Declare(Index(declared_));
        grown = std::chrono::steady_clock::now();
      }
      const bool flood = hosts_.flood_.load();
      const int updates = flood ? declared_ : o.updatesPerPass;
      for (int j = 0; j < updates; ++j)
        Put(Index(flood ? j : static_cast<int>(random_.Between(0, declared_ - 1))));
      if (flood || pass % 4 == 0) Put(Bulk());
      if (pass % kAttributeEvery == 0)
        Attribute(Index(static_cast<int>(random_.Between(0, declared_ - 1))));
      if (pass % kConnectedEvery == 0) Connected();
      if (!flood) std::this_thread::sleep_for(std::chrono::milliseconds(o.passPauseMs));
    }
  }

 private:
  int Index(int i) const { return thread_ * hosts_.options_.maxChannels + i; }
  int Bulk() const { return hosts_.options_.valueThreads * hosts_.options_.maxChannels + thread_; }
  const TSoakChannel& Declared(int index) const { return hosts_.ledger_.Channels()[index]; }

  void Declare(int index) {
    const TSoakChannel& channel = Declared(index);
    hosts_.watchdog_.Arm(slot_, "c_RegisterChannel", kCallLimit);
    const bool ok = hosts_.api_.RegisterChannel(channel.addr.c_str(), channel.type, 1, index % 2,
                                                "soak", "", "u", "%.0f", "", 0, "");
    hosts_.watchdog_.Disarm(slot_);
    if (!ok) hosts_.ledger_.CallRefused("the channel " + channel.addr);
    if (index != Bulk()) ++declared_;
    steps_.resize(std::max<std::size_t>(steps_.size(), static_cast<std::size_t>(index) + 1), 0);
    Put(index);
  }

  // The next step of a channel, as the host hands it over; the kind of
  // VARIANT alternates, so that the library converts as well.
  void Put(int index) {
    const TSoakChannel& channel = Declared(index);
    const std::int64_t k = ++steps_[index];
    const FILETIME time =
        demo::FileTimeFromTicks(kValueTicks + static_cast<std::uint64_t>(k) * 10000);
    const bool text = channel.type == 256 && (k % 2 == 0 || channel.padding > 0);
    const TOwnedVariant value = text ? TOwnedVariant::Text(ValueText(k, channel.padding))
                                : k % 2 == 0 && channel.type != 256
                                    ? TOwnedVariant::Double(static_cast<double>(k))
                                    : TOwnedVariant::Int32(static_cast<std::int32_t>(k));
    // Logged out before and after the call, and no login between: the
    // library could not send the value, so it must keep it.
    const bool history = hosts_.options_.history;
    const bool outBefore = history && !Connected();
    const std::uint64_t loginsBefore = outBefore ? Logins() : 0;
    hosts_.watchdog_.Arm(slot_, "c_RegisterValueByID", kCallLimit);
    const bool ok =
        hosts_.api_.RegisterValueByID(channel.addr.c_str(), &time, QualityOf(k), value.Get());
    hosts_.watchdog_.Disarm(slot_);
    if (!ok) {
      hosts_.ledger_.ValueRefused(index, k);
      return;
    }
    hosts_.ledger_.ValueAccepted(index, k);
    if (outBefore && !Connected() && Logins() == loginsBefore) hosts_.ledger_.ValueOwed(index, k);
  }

  bool Connected() {
    hosts_.watchdog_.Arm(slot_, "c_IsServerConnected", kCallLimit);
    const bool connected = hosts_.api_.IsServerConnected() == 1;
    hosts_.watchdog_.Disarm(slot_);
    return connected;
  }

  std::uint64_t Logins() {
    kv_statistics statistics{};
    statistics.size = sizeof statistics;
    hosts_.watchdog_.Arm(slot_, "c_GetStatistics", kCallLimit);
    hosts_.api_.GetStatistics(&statistics);
    hosts_.watchdog_.Disarm(slot_);
    return statistics.logins;
  }

  // The library answers true when the attribute is new to the channel and
  // false when it replaced the one before; either way it holds the value.
  void Attribute(int index) {
    const TOwnedVariant value = TOwnedVariant::Int32(static_cast<std::int32_t>(++attribute_));
    hosts_.watchdog_.Arm(slot_, "c_RegisterAttribute", kCallLimit);
    const bool added = hosts_.api_.RegisterAttribute(Declared(index).addr.c_str(), kSoakAttribute,
                                                     kInt4, value.Get());
    hosts_.watchdog_.Disarm(slot_);
    attributed_.resize(steps_.size(), false);
    if (added == attributed_[index])
      hosts_.ledger_.CallRefused("attribute " + std::to_string(attribute_) + " of " +
                                 Declared(index).addr + (added ? ": added twice" : ": not added"));
    attributed_[index] = true;
    hosts_.ledger_.AttributeAccepted(index, attribute_);
  }

  THosts& hosts_;
  const int thread_;
  const int slot_;
  sim::TRandom random_;
  int declared_ = 0;
  std::int64_t attribute_ = 0;
  std::vector<std::int64_t> steps_;
  std::vector<bool> attributed_;  // the channel has the soak's attribute
};

THosts::THosts(const demo::TKvExports& api, TLedger& ledger, TWatchdog& watchdog,
               THostOptions options)
    : api_(api), ledger_(ledger), watchdog_(watchdog), options_(options) {}

THosts::~THosts() {
  StopValues();
  StopControls();
}

void THosts::Start() {
  for (int t = 0; t < options_.valueThreads; ++t)
    valueThreads_.emplace_back([this, t] { TValueThread(*this, t).Run(); });
  collector_ = std::thread([this] { Collect(); });
}

void THosts::StopValues() {
  stopValues_.store(true);
  for (std::thread& thread : valueThreads_)
    if (thread.joinable()) thread.join();
}

void THosts::StopControls() {
  stopControls_.store(true);
  if (collector_.joinable()) collector_.join();
}

void THosts::Collect() {
  const int slot = watchdog_.AddSlot("control collector");
  while (!stopControls_.load()) {
    char addr[64];
    kv_uint32 number = 0;
    FILETIME time{};
    unsigned short quality = 0;
    TOwnedVariant value;
    watchdog_.Arm(slot, "c_ReceiveControl", kCallLimit);
    const bool taken =
        api_.ReceiveControl(addr, sizeof addr, &number, &time, &quality, value.Reset());
    watchdog_.Disarm(slot);
    if (!taken) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    const std::uint64_t ticks = demo::TicksFromFileTime(time);
    TTakenControl control;
    control.addr = addr;
    control.number = number;
    control.timeMs = ticks >= kControlTicks && (ticks - kControlTicks) % 10000 == 0
                         ? static_cast<std::int64_t>((ticks - kControlTicks) / 10000)
                         : -1;
    control.quality = quality;
    control.value = NumberOf(value.Get());
    ledger_.ControlTaken(control);
  }
}

}  // namespace kv::soak
