// kvsoak: the library under faults for minutes on end. The test server runs
// in this process in fault mode (two of them, a main server and a reserve,
// with --servers 2, each with a fault plan of its own); host threads drive
// the library through its exported functions; the ledger checks every
// value and control; a watchdog ends the run when a call into the library
// hangs. See SoakOptions.h.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostLibrary.h"
#include "HostTime.h"
#include "HostVariant.h"
#include "kvsim/FaultDriver.h"
#include "kvsim/KavrelServer.h"
#include "kvsim/SessionRecorder.h"
#include "runtime/Utf8.h"
#include "soak/Hosts.h"
#include "soak/Ledger.h"
#include "soak/Resources.h"
#include "soak/SoakOptions.h"
#include "soak/Watchdog.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_SOAK_SANITIZED 1
// A small quarantine keeps resident memory a measure of what the program
// holds rather than of the sanitizer's recycling.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:detect_leaks=1"; }
#endif
#endif
#ifndef KV_SOAK_SANITIZED
#define KV_SOAK_SANITIZED 0
#endif

namespace {

using namespace kv;
using namespace kv::soak;
using namespace std::chrono_literals;

constexpr auto kCreateLimit = 10s;
constexpr auto kDestroyLimit = 30s;
constexpr auto kFirstLogin = 30s;
// The end may find the client in its minute's wait after a failed login.
constexpr auto kSettleLimit = 100s;
constexpr auto kProgressEvery = 10s;
constexpr auto kWarmUpTime = 300s;
constexpr auto kSampleEvery = 500ms;
// A two-server run this long has certainly sent the client to the reserve.
constexpr std::chrono::seconds kFailoverShownIn{300};
// The sanitizer's own bookkeeping (recorded allocation stacks, its caches)
// keeps growing slowly for a long while; the plain build stays flat.
constexpr double kResidentSlackMb = KV_SOAK_SANITIZED ? 16 : 8;
constexpr double kResidentSlackShare = KV_SOAK_SANITIZED ? 0.25 : 0.10;
constexpr long kThreadSlack = 1;
// A stall that outlasts what the fault mode allows is its failure to report;
// only beyond that does the watchdog call it a hang.
constexpr auto kStallReportSlack = 5s;
constexpr int kJudgedSpan = 200;  // reconnects over which memory growth counts
#ifdef _WIN32
constexpr long kHandleSlack = 16;
#else
constexpr long kHandleSlack = 4;
#endif

void Say(const std::string& text) { std::cout << Utf8FromAnsi(text) << std::endl; }

[[noreturn]] void Hang(const std::string& owner, const std::string& what, double seconds) {
  char line[512];
  std::snprintf(line, sizeof line, "HANG: %s: %s has not returned for %.1f s", owner.c_str(),
                what.c_str(), seconds);
  std::cout << line << std::endl;
  std::cout << "RESULT: FAIL (a call into the library hung)" << std::endl;
  std::cout.flush();
  std::fflush(stdout);
  std::_Exit(3);
}

std::string Fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The fault mode's doings, to the ledger, the hosts and the watchdog.
class TListener : public sim::IFaultListener {
 public:
  TListener(TLedger& ledger, THosts& hosts, TWatchdog& watchdog, int timeoutSec, bool verbose,
            int server, int servers)
      : ledger_(ledger),
        hosts_(hosts),
        watchdog_(watchdog),
        server_(server),
        name_(servers > 1 ? "server " + std::to_string(server + 1) + ": " : std::string()),
        slot_(watchdog.AddSlot(name_ + "fault mode")),
        stallLimit_(std::chrono::seconds(timeoutSec) + sim::kStallSlack + kStallReportSlack),
        verbose_(verbose),
        start_(SteadyMs()) {}

  void FaultBegun(const sim::TFaultEvent& event) override {
    ledger_.FaultBegun(event.session, event.step.kind, server_);
    if (event.step.kind != sim::TFaultKind::Stall) return;
    hosts_.SetFlood(true);
    watchdog_.Arm(slot_,
                  "a stall: the client still holds a connection whose server reads nothing "
                  "(its worker blocked in a send?)",
                  stallLimit_);
  }

  void FaultEnded(const sim::TFaultEvent& event) override {
    if (event.step.kind == sim::TFaultKind::Stall) {
      watchdog_.Disarm(slot_);
      hosts_.SetFlood(false);
    }
    if (verbose_)
      Say("  " + Fixed(static_cast<double>(SteadyMs() - start_) / 1000.0) + " s: " + name_ +
          sim::FaultName(event.step.kind) + " on connection " + std::to_string(event.session) +
          " (variant " + std::to_string(event.step.variant) + ", amount " +
          std::to_string(event.step.amount) + "): " + (event.failed ? "FAILED: " : "") +
          event.outcome);
    if (event.failed) {
      std::lock_guard lock(mutex_);
      failures_.push_back(name_ + sim::FaultName(event.step.kind) + " on connection " +
                          std::to_string(event.session) + ": " + event.outcome);
    }
  }

  void ControlsComing(const sim::TControlBatch& batch) override {
    ledger_.ControlsComing(batch, server_);
  }
  void ControlsSent(std::uint64_t first, std::uint32_t session) override {
    ledger_.ControlsSent(first, session, server_);
  }

  std::vector<std::string> Failures() {
    std::lock_guard lock(mutex_);
    return failures_;
  }

 private:
  TLedger& ledger_;
  THosts& hosts_;
  TWatchdog& watchdog_;
  const int server_;
  const std::string name_;
  const int slot_;
  const std::chrono::milliseconds stallLimit_;
  const bool verbose_;
  const std::int64_t start_;
  std::mutex mutex_;
  std::vector<std::string> failures_;
};

struct TCounts {
  int sessions = 0;
  int logins = 0;
};

TCounts Counts(sim::TKavrelServer& server) {
  TCounts counts;
  server.WaitFor(
      [&](const sim::TServerView& v) {
        counts.sessions = v.state.Sessions();
        counts.logins = v.state.Logins();
        return true;
      },
      0ms);
  return counts;
}

TCounts Counts(const std::vector<std::unique_ptr<sim::TKavrelServer>>& servers) {
  TCounts all;
  for (const auto& server : servers) {
    const TCounts one = Counts(*server);
    all.sessions += one.sessions;
    all.logins += one.logins;
  }
  return all;
}

// Logged in at the server now: connected, and its last connection's login
// was answered.
bool LoggedInAt(sim::TKavrelServer& server) {
  return server.WaitFor(
      [](const sim::TServerView& v) {
        return v.connected &&
               v.state.RepliedSession() == static_cast<std::uint32_t>(v.state.Sessions());
      },
      0ms);
}

std::string ResourcesText(const TResources& r) {
  return "resident " + Fixed(r.residentMb) + " MB, " + std::to_string(r.handles) + " " +
         HandleWord() + ", " + std::to_string(r.threads) + " threads";
}

// Lines of the library's log by level.
std::string LogSummary(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  int info = 0, warning = 0, error = 0, debug = 0;
  for (std::string line; std::getline(file, line);) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string level = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
    info += level == "INFO";
    warning += level == "WARNING";
    error += level == "ERROR";
    debug += level == "DEBUG";
  }
  return std::to_string(info) + " INFO, " + std::to_string(warning) + " WARNING, " +
         std::to_string(error) + " ERROR, " + std::to_string(debug) + " DEBUG lines";
}

class TSoak {
 public:
  explicit TSoak(const TSoakOptions& options) : options_(options), watchdog_(&Hang) {
    hostOptions_.valueThreads = options.threads;
    hostOptions_.history = options.historyBytes != 0;
    ledger_ = std::make_unique<TLedger>(SoakChannels(hostOptions_), options.servers,
                                        hostOptions_.history);
  }

  int Run() {
    if (!StartServers()) return 1;
    std::string error;
    const demo::TKvExports* api = demo::LoadExports(error);
    if (!api) {
      Say("kvsoak: " + error);
      return 1;
    }
    logPath_ = options_.logPath.empty() ? TemporaryLog() : options_.logPath;
    watchdog_.Start();
    const int mainSlot = watchdog_.AddSlot("main thread");
    if (hostOptions_.history) {
      if (api->SetOption == nullptr ||
          !api->SetOption(KVOPROS2_OPTION_HISTORY_BYTES,
                          static_cast<kv_int64>(options_.historyBytes))) {
        Say("kvsoak: the library takes no value history");
        return 1;
      }
    }
    watchdog_.Arm(mainSlot, "c_CreateOpros", kCreateLimit);
    api->CreateOpros(HostText().c_str(), servers_[0]->Port(), options_.timeoutSec, "soak", "soak",
                     0, 0, logPath_.c_str());
    watchdog_.Disarm(mainSlot);
    hosts_ = std::make_unique<THosts>(*api, *ledger_, watchdog_, hostOptions_);
    hosts_->Start();

    const bool loggedIn = WaitFor([&] { return api->IsServerConnected() == 1; }, kFirstLogin);
    if (loggedIn) Inject();
    hosts_->StopValues();
    // Faults over, the client stays where it logged in last: that server
    // must hold everything.
    const bool settled =
        loggedIn && WaitFor(
                        [&] {
                          const int at = LoggedInServer();
                          return at >= 0 && ledger_->Settled(servers_[at]->Channels());
                        },
                        kSettleLimit);
    hosts_->StopControls();
    lastServer_ = LoggedInServer();
    const TLedgerFigures figures = ledger_->Close(servers_[std::max(lastServer_, 0)]->Channels());
    if (api->GetStatistics != nullptr) {
      statistics_.size = sizeof statistics_;
      api->GetStatistics(&statistics_);
    }

    watchdog_.Arm(mainSlot, "c_DestroyOpros", kDestroyLimit);
    const bool destroyed = api->DestroyOpros() == 1;
    watchdog_.Disarm(mainSlot);
    hosts_.reset();
    // What a client leaves behind shows in a second one: the first paid for
    // whatever the system sets up once.
    afterFirst_ = SampleQuiet();
    const bool again = SecondClient(*api, mainSlot);
    afterSecond_ = SampleQuiet();
    for (auto& server : servers_) server->Stop();
    watchdog_.Stop();
    return Report(figures, loggedIn, settled, destroyed && again);
  }

 private:
  // Once the servers have closed their end of the last connection too.
  TResources SampleQuiet() {
    for (auto& server : servers_)
      server->WaitFor([](const sim::TServerView& v) { return !v.connected; }, 5s);
    return SampleResources();
  }

  // The client's host text: the one server, or the main one and the reserve.
  std::string HostText() const {
    if (servers_.size() == 1) return "127.0.0.1";
    std::string text;
    for (const auto& server : servers_)
      text +=
          (text.empty() ? "" : ";") + std::string("127.0.0.1:") + std::to_string(server->Port());
    return text;
  }

  // The server the client is logged in at; -1 when none.
  int LoggedInServer() const {
    for (std::size_t i = 0; i < servers_.size(); ++i)
      if (LoggedInAt(*servers_[i])) return static_cast<int>(i);
    return -1;
  }

  // A short life: create, one channel and value, the login, destroy.
  bool SecondClient(const demo::TKvExports& api, int slot) {
    static constexpr char kAddr[] = "Again";
    watchdog_.Arm(slot, "c_CreateOpros (second client)", kCreateLimit);
    api.CreateOpros("127.0.0.1", servers_[0]->Port(), options_.timeoutSec, "soak2", "", 0, 0,
                    logPath_.c_str());
    watchdog_.Disarm(slot);
    const demo::TOwnedVariant value = demo::TOwnedVariant::Double(1.5);
    const FILETIME time = demo::FileTimeFromTicks(demo::LocalNowTicks());
    const bool declared = api.RegisterChannel(kAddr, 5, 0, 0, "", "", "", "", "", 0, "") &&
                          api.RegisterValueByID(kAddr, &time, 0, value.Get());
    const bool arrived = declared && servers_[0]->WaitForValues(kAddr, 1, kFirstLogin);
    watchdog_.Arm(slot, "c_DestroyOpros (second client)", kDestroyLimit);
    const bool destroyed = api.DestroyOpros() == 1;
    watchdog_.Disarm(slot);
    if (!arrived) Say("the second client's value never reached the server");
    return arrived && destroyed;
  }

  bool StartServers() {
    for (int i = 0; i < options_.servers; ++i)
      if (!StartServer(i)) return false;
    return true;
  }

  bool StartServer(int index) {
    sim::TServerOptions serverOptions;
    serverOptions.port = 0;
    // Enough for the fault mode's look-backs and the records of one read
    // (the observer sees them all), little enough to keep memory flat.
    serverOptions.maxRecords = 8000;
    // A fixed window: a server that stops reading is full soon.
    serverOptions.receiveBufferBytes = 256 * 1024;
    if (!options_.recordDir.empty()) {
      std::error_code ignored;
      std::filesystem::create_directories(options_.recordDir, ignored);
      // Each server's connections in a folder of their own.
      const std::string dir =
          index == 0 ? options_.recordDir
                     : (std::filesystem::path(options_.recordDir) / "server2").string();
      std::filesystem::create_directories(dir, ignored);
      recorders_.push_back(std::make_unique<sim::TSessionRecorder>(dir));
      serverOptions.transcript = [recorder = recorders_.back().get()](std::uint32_t session,
                                                                      const std::string& bytes) {
        recorder->Sent(session, bytes);
      };
    }
    servers_.push_back(std::make_unique<sim::TKavrelServer>(serverOptions));
    sim::TKavrelServer& server = *servers_.back();
    server.SetObserver(
        [this, index](const sim::TReceivedRecord& record) { ledger_->Observe(record, index); });
    if (server.Start()) return true;
    Say("kvsoak: the test server cannot listen, error " + std::to_string(server.LastError()));
    return false;
  }

  static std::string TemporaryLog() {
    std::ostringstream name;
    name << "kvsoak_" << std::chrono::steady_clock::now().time_since_epoch().count() << ".log";
    return (std::filesystem::temp_directory_path() / name.str()).string();
  }

  template <class F>
  static bool WaitFor(F done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }

  // The faults, with a resource sample after the warm-up and a line of
  // progress now and then.
  void Inject() {
    std::vector<std::unique_ptr<sim::TFaultDriver>> drivers;
    for (int i = 0; i < options_.servers; ++i) {
      sim::TFaultOptions faultOptions;
      // The reserve's plan is its own, drawn from the same seed.
      faultOptions.seed = i == 0 ? options_.seed : options_.seed ^ 0x9E3779B97F4A7C15ull;
      faultOptions.plan.kinds = options_.kinds;
      faultOptions.plan.longEvery = options_.longEvery;
      faultOptions.plan.clientTimeoutMs = options_.timeoutSec * 1000;
      faultOptions.firstControl = static_cast<std::uint64_t>(i) * kControlStream + 1;
      if (options_.servers > 1) {
        sim::TKavrelServer& other = *servers_[1 - i];
        faultOptions.loggedInElsewhere = [&other] { return LoggedInAt(other); };
      }
      listeners_.push_back(std::make_unique<TListener>(*ledger_, *hosts_, watchdog_,
                                                       options_.timeoutSec, options_.verbose, i,
                                                       options_.servers));
      drivers.push_back(
          std::make_unique<sim::TFaultDriver>(*servers_[i], faultOptions, listeners_.back().get()));
    }
    for (auto& driver : drivers) driver->Start();
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(options_.seconds);
    auto progress = start + kProgressEvery;
    const auto warmUpTime =
        std::min<std::chrono::steady_clock::duration>(kWarmUpTime, (end - start) / 4);
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(kSampleEvery);
      const TCounts counts = Counts(servers_);
      const TResources now = SampleResources();
      // Memory settles after a while (allocator caches, the server's
      // records): the first sample waits for it.
      const bool warm = counts.sessions - 1 >= options_.warmUp &&
                        std::chrono::steady_clock::now() - start >= warmUpTime;
      if (!baseline_ && warm) {
        baseline_ = now;
        baselineReconnects_ = counts.sessions - 1;
      }
      if (baseline_) {
        peak_.residentMb = std::max(peak_.residentMb, now.residentMb);
        peak_.handles = std::max(peak_.handles, now.handles);
        peak_.threads = std::max(peak_.threads, now.threads);
      }
      if (std::chrono::steady_clock::now() >= progress) {
        progress += kProgressEvery;
        const TLedgerFigures f = ledger_->Figures();
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - start);
        Say("[" + std::to_string(elapsed.count()) + " s] reconnects " +
            std::to_string(counts.sessions - 1) + ", values " + std::to_string(f.valuesChecked) +
            " checked, controls " + std::to_string(f.controlsSent) + " sent / " +
            std::to_string(f.controlsTaken) + " taken, " + ResourcesText(now));
      }
    }
    // The last sample while everything still runs, as the first one did.
    final_ = SampleResources();
    reconnects_ = Counts(servers_).sessions - 1;
    for (auto& driver : drivers) driver->Stop();
    for (auto& driver : drivers) {
      const sim::TFaultFigures one = driver->Figures();
      for (int i = 0; i < sim::kFaultKinds; ++i) {
        faults_.injected[i] += one.injected[i];
        faults_.failed[i] += one.failed[i];
      }
      faults_.controls += one.controls;
    }
  }

  int Report(const TLedgerFigures& f, bool loggedIn, bool settled, bool destroyed) {
    std::vector<std::string> failed;
    const TCounts counts = Counts(servers_);
    Say("soak: seed " + std::to_string(options_.seed) + ", " + std::to_string(options_.seconds) +
        " s of faults, client time-out " + std::to_string(options_.timeoutSec) + " s" +
        (options_.servers > 1 ? ", " + std::to_string(options_.servers) + " servers" : ""));
    std::string injected;
    for (int i = 0; i < sim::kFaultKinds; ++i) {
      if (faults_.injected[i] == 0) continue;
      injected += std::string(injected.empty() ? "" : ", ") +
                  sim::FaultName(static_cast<sim::TFaultKind>(i)) + " " +
                  std::to_string(faults_.injected[i]);
      if (faults_.failed[i] > 0) injected += " (" + std::to_string(faults_.failed[i]) + " failed)";
    }
    Say("faults injected: " + (injected.empty() ? std::string("none") : injected));
    std::string ends;
    for (const auto& [end, count] : f.sessionEnds)
      ends += std::string(ends.empty() ? "" : ", ") + sim::SessionEndText(end) + " " +
              std::to_string(count);
    Say("connections " + std::to_string(counts.sessions) + " (reconnects " +
        std::to_string(counts.sessions - 1) + "), logins " + std::to_string(counts.logins) +
        "; ended: " + ends);
    if (options_.servers > 1) ReportServers(failed);
    Say("values: accepted " + std::to_string(f.valuesAccepted) + ", refused " +
        std::to_string(f.valuesRefused) + ", checked at the server " +
        std::to_string(f.valuesChecked) + ", corrupt " + std::to_string(f.valuesCorrupt) +
        ", stale " + std::to_string(f.valuesStale) + "; channels checked " +
        std::to_string(f.channelsChecked) + ", lost " + std::to_string(f.valuesLost) +
        ", attributes lost " + std::to_string(f.attributesLost) + ", calls refused " +
        std::to_string(f.callsRefused));
    Say("controls: sent " + std::to_string(f.controlsSent) + ", taken " +
        std::to_string(f.controlsTaken) + ", lost in transit at a fault " +
        std::to_string(f.controlsLostInTransit) + ", lost " + std::to_string(f.controlsLost) +
        ", duplicated " + std::to_string(f.controlsDuplicated) + ", reordered " +
        std::to_string(f.controlsReordered) + ", corrupt " + std::to_string(f.controlsCorrupt) +
        ", phantom " + std::to_string(f.controlsPhantom));
    if (hostOptions_.history) ReportHistory(f, failed);
    CheckResources(failed);
    Say("log: " + LogSummary(logPath_) + (options_.logPath.empty() ? "" : " in " + logPath_));
    if (options_.logPath.empty()) {
      std::error_code ignored;
      std::filesystem::remove(logPath_, ignored);
    }
    for (const std::string& problem : f.problems) Say("  problem: " + problem);
    for (const auto& listener : listeners_)
      for (const std::string& failure : listener->Failures()) Say("  fault failed: " + failure);

    if (!loggedIn) failed.push_back("the client never logged in");
    if (!settled) failed.push_back("the end did not settle");
    if (!destroyed)
      failed.push_back("c_DestroyOpros returned false, or a second client did not work");
    if (f.valuesCorrupt || f.valuesStale || f.valuesLost || f.attributesLost || f.valuesRefused ||
        f.callsRefused)
      failed.push_back("values");
    if (f.controlsLost || f.controlsDuplicated || f.controlsReordered || f.controlsCorrupt ||
        f.controlsPhantom)
      failed.push_back("controls");
    for (int i = 0; i < sim::kFaultKinds; ++i)
      if (faults_.failed[i] > 0)
        failed.push_back(std::string("fault ") + sim::FaultName(static_cast<sim::TFaultKind>(i)));
    std::string verdict;
    for (const std::string& reason : failed) verdict += (verdict.empty() ? "" : ", ") + reason;
    Say(failed.empty() ? "RESULT: PASS" : "RESULT: FAIL (" + verdict + ")");
    return failed.empty() ? 0 : 1;
  }

  // Where the client went: the logins at each server, the switches the
  // library counted, the server of the last login.
  void ReportServers(std::vector<std::string>& failed) {
    std::string line = "servers:";
    for (std::size_t i = 0; i < servers_.size(); ++i) {
      const TCounts one = Counts(*servers_[i]);
      line += std::string(i == 0 ? " main" : "; reserve") + " connections " +
              std::to_string(one.sessions) + ", logins " + std::to_string(one.logins);
      // A short run may meet no refused login at the main server.
      if (i > 0 && one.logins == 0 && options_.seconds >= kFailoverShownIn.count())
        failed.push_back("the reserve was never used");
    }
    Say(line);
    Say("logins at another server than the one before " +
        std::to_string(statistics_.serverSwitches) + " (statistics version " +
        std::to_string(statistics_.version) + "); the last login at the " +
        (lastServer_ == 0  ? "main server"
         : lastServer_ > 0 ? "reserve"
                           : "? (none)"));
  }

  // The values kept through outages: every owed one arrived, or was in
  // flight at a fault, or is among those the library says it dropped.
  void ReportHistory(const TLedgerFigures& f, std::vector<std::string>& failed) {
    const kv_statistics& s = statistics_;
    const std::uint64_t dropped = s.historyDroppedBound + s.historyDroppedAge;
    Say("history (" + std::to_string(options_.historyBytes) + " bytes): owed " +
        std::to_string(f.historyOwed) + " (accepted while logged out), arrived " +
        std::to_string(f.historyArrived) + ", in flight at a fault " +
        std::to_string(f.historyInFlight) + ", missing " + std::to_string(f.historyMissing) +
        "; the library kept and sent " + std::to_string(s.historySent) + ", dropped " +
        std::to_string(s.historyDroppedBound) + " at the bound and " +
        std::to_string(s.historyDroppedAge) + " for age, still keeps " +
        std::to_string(s.historyValues) + " (statistics version " + std::to_string(s.version) +
        ")");
    if (f.historyMissing > dropped) {
      for (const std::string& sample : f.historyMissingSamples) Say("  missing: " + sample);
      failed.push_back("kept values");
    }
  }

  void CheckResources(std::vector<std::string>& failed) {
    // A client gone, so must be its thread and its socket.
    Say("after the first client and after a second one: " + std::to_string(afterFirst_.handles) +
        " -> " + std::to_string(afterSecond_.handles) + " " + HandleWord() + ", " +
        std::to_string(afterFirst_.threads) + " -> " + std::to_string(afterSecond_.threads) +
        " threads");
    if (afterSecond_.handles > afterFirst_.handles)
      failed.push_back(std::string(HandleWord()) + " left behind");
    if (afterSecond_.threads > afterFirst_.threads) failed.push_back("threads left behind");
    if (!baseline_) {
      Say("resources: not compared, only " + std::to_string(reconnects_) + " reconnects (warm-up " +
          std::to_string(options_.warmUp) + "); at the end " + ResourcesText(final_));
      return;
    }
    const TResources& b = *baseline_;
    const double residentSlack = std::max(kResidentSlackMb, b.residentMb * kResidentSlackShare);
    Say("resources over " + std::to_string(reconnects_ - baselineReconnects_) +
        " reconnects after " + std::to_string(baselineReconnects_) + ": resident " +
        Fixed(b.residentMb) + " -> " + Fixed(final_.residentMb) + " MB (peak " +
        Fixed(peak_.residentMb) + ", slack " + Fixed(residentSlack) + "), " + HandleWord() + " " +
        std::to_string(b.handles) + " -> " + std::to_string(final_.handles) + " (peak " +
        std::to_string(peak_.handles) + "), threads " + std::to_string(b.threads) + " -> " +
        std::to_string(final_.threads) + " (peak " + std::to_string(peak_.threads) + ")");
    const int span = reconnects_ - baselineReconnects_;
    if (span < 1000)
      Say("  (flatness is shown over fewer than 1000 reconnects: run longer for that)");
    // Over a short span the allocators' own growth would hide nothing real
    // and fail the run at random; memory then is shown, not judged.
    if (span >= kJudgedSpan && final_.residentMb > b.residentMb + residentSlack)
      failed.push_back("resident memory grew");
    if (final_.handles > b.handles + kHandleSlack)
      failed.push_back(std::string(HandleWord()) + " grew");
    if (final_.threads > b.threads + kThreadSlack) failed.push_back("threads grew");
  }

  const TSoakOptions options_;
  THostOptions hostOptions_;
  TWatchdog watchdog_;
  std::unique_ptr<TLedger> ledger_;
  std::vector<std::unique_ptr<sim::TSessionRecorder>> recorders_;
  std::vector<std::unique_ptr<sim::TKavrelServer>> servers_;
  std::unique_ptr<THosts> hosts_;
  std::vector<std::unique_ptr<TListener>> listeners_;
  int lastServer_ = -1;
  kv_statistics statistics_{};
  std::string logPath_;
  sim::TFaultFigures faults_;
  std::optional<TResources> baseline_;
  int baselineReconnects_ = 0;
  int reconnects_ = 0;
  TResources peak_;
  TResources final_;
  TResources afterFirst_;
  TResources afterSecond_;
};

}  // namespace

int main(int argc, char** argv) {
  TSoakOptions options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::cerr << error << "\n" << UsageText() << std::endl;
    return 2;
  }
  if (options.help) {
    std::cout << UsageText() << std::endl;
    return 0;
  }
  return TSoak(options).Run();
}
