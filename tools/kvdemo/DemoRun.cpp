#include "DemoRun.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "Console.h"
#include "DemoChannels.h"
#include "HostTime.h"

namespace kv::demo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kLoginLimit = std::chrono::seconds(15);
constexpr auto kControlLimit = std::chrono::seconds(5);
constexpr auto kEchoLimit = std::chrono::seconds(3);
constexpr auto kStepInterval = milliseconds(250);
constexpr int kStepsPerSecond = 4;
constexpr auto kPollInterval = milliseconds(10);
constexpr int kTimeoutSec = 5;

std::string TemporaryLogPath() {
  std::random_device random;
  char name[32];
  std::snprintf(name, sizeof name, "kvdemo-%08x.log", static_cast<unsigned>(random()));
  return (std::filesystem::temp_directory_path() / name).string();
}

bool SameAddress(const std::string& a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string StepText(int second, const TStepValues& v, int taken) {
  char temperature[32];
  std::snprintf(temperature, sizeof temperature, "%.1f", v.temperature);
  return std::to_string(second) + " s: temperature " + temperature + " °C quality " +
         std::to_string(v.temperatureQuality) + ", pump " + (v.pumpRunning ? "Пуск" : "Стоп") +
         ", starts " + std::to_string(v.starts) + ", mode \"" + v.mode + "\" (" +
         std::to_string(taken) + " of 4 taken)";
}

std::string Seconds(Clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

}  // namespace

TDemoRun::TDemoRun(TDemoOptions options) : options_(std::move(options)) {
  // A library that hands its lines over needs no file to show them: it
  // writes one only where --log asks for it.
  liveLog_ = TDemoClient::LibraryFollowsLog();
  temporaryLog_ = options_.logPath.empty() && !liveLog_;
  logPath_ = temporaryLog_ ? TemporaryLogPath() : options_.logPath;
}

template <typename Condition>
bool TDemoRun::PollFor(Condition condition, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    ShowNewLogLines();
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

void TDemoRun::ShowNewLogLines() {
  for (const std::string& line : client_.LogLines()) Line("log | " + line);
}

TDemoRun::~TDemoRun() {
  client_.Destroy();
  server_.Stop();
  std::error_code ignored;
  if (temporaryLog_) std::filesystem::remove(logPath_, ignored);
}

int TDemoRun::Run() {
  if (options_.ownServer && !StartServer()) return kExitFailed;
  if (!CreateClient()) return kExitFailed;
  DeclareChannels();
  bool ok = WaitForLogin();
  if (ok) {
    Stream();
    ok = ControlRoundTrip();
  }
  if (options_.ownServer) ShowServerView();
  Finish();
  Section("Result");
  Line(ok ? "done" : "FAILED, see above");
  return ok ? kExitOk : kExitFailed;
}

bool TDemoRun::StartServer() {
  Section("Test server");
  std::string error;
  if (!server_.Start(error)) {
    Problem("the built-in test server cannot listen on 127.0.0.1: " + error);
    return false;
  }
  Line("Kavrel test server listening on 127.0.0.1:" + std::to_string(server_.Port()));
  return true;
}

bool TDemoRun::CreateClient() {
  TClientSettings settings;
  settings.host = options_.ownServer ? "127.0.0.1" : options_.host;
  settings.port = options_.ownServer ? server_.Port() : options_.port;
  settings.timeoutSec = kTimeoutSec;
  settings.login = options_.login;
  settings.password = options_.password;
  settings.debug = options_.debug;
  settings.logPath = logPath_;
  Section("Client");
  std::string error;
  if (!client_.Create(settings, error)) {
    Problem("cannot create the client: " + error);
    return false;
  }
  Line("c_CreateOpros(\"" + settings.host + "\", " + std::to_string(settings.port) + ", " +
       std::to_string(settings.timeoutSec) + ", \"" + settings.login + "\", ...) = true, debug " +
       (settings.debug ? "on" : "off"));
  Line("log file: " + (logPath_.empty() ? std::string("none") : logPath_) +
       (liveLog_ ? "; its lines are shown as the library writes them (c_SetLogCallback)" : ""));
  ShowNewLogLines();
  return true;
}

void TDemoRun::DeclareChannels() {
  Section("Channels");
  for (const TDeclaration& d : client_.DeclareChannels())
    Line(d.addr + ": " + d.summary +
         (d.accepted ? "" : "  -- REFUSED (result " + std::to_string(d.result) + ")"));
  const int taken = client_.HandOver(ValuesForStep(0, pumpRunning_), LocalNowTicks());
  Line("first values handed over before the login: " + std::to_string(taken) + " of 4 taken");
}

bool TDemoRun::WaitForLogin() {
  Section("Login");
  const auto start = Clock::now();
  if (!PollFor([&] { return client_.Connected(); }, kLoginLimit)) {
    const std::string where =
        options_.ownServer ? "127.0.0.1:" + std::to_string(server_.Port()) : options_.servers;
    Problem("no login within " + Seconds(kLoginLimit) + ": is the server at " + where +
            " reachable and the login accepted? The client's log below says more.");
    return false;
  }
  const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  Line("c_IsServerConnected() = 1 after " + std::to_string(ms) + " ms");
  return true;
}

void TDemoRun::Stream() {
  Section("Streaming values for " + std::to_string(options_.seconds) + " s");
  const int steps = options_.seconds * kStepsPerSecond;
  const auto start = Clock::now();
  int handed = 0;
  int taken = 0;
  int takenThisSecond = 0;
  for (int step = 1; step <= steps; ++step) {
    std::this_thread::sleep_until(start + step * kStepInterval);
    const TStepValues values = ValuesForStep(step, pumpRunning_);
    const int now = client_.HandOver(values, LocalNowTicks());
    handed += 4;
    taken += now;
    takenThisSecond += now;
    while (auto control = client_.TakeControl()) ShowControl(*control);
    ShowNewLogLines();
    if (step % kStepsPerSecond == 0) {
      Line(StepText(step / kStepsPerSecond, values, takenThisSecond / kStepsPerSecond));
      takenThisSecond = 0;
    }
  }
  Line(std::to_string(taken) + " of " + std::to_string(handed) +
       " values taken by c_RegisterValueByID");
}

bool TDemoRun::ControlRoundTrip() {
  Section("Control");
  if (!options_.ownServer) {
    while (auto control = client_.TakeControl()) ShowControl(*control);
    Line(std::to_string(controlsSeen_) + " control(s) received from the server");
    return true;
  }
  if (!server_.WaitForActive(kPumpAddr, kControlLimit)) {
    Problem("the server did not activate " + std::string(kPumpAddr) + " within " +
            Seconds(kControlLimit));
    return false;
  }
  std::string error;
  Line("the server sends " + std::string(kPumpAddr) + " = true (Пуск)");
  if (!server_.SendSwitch(kPumpAddr, true, error)) {
    Problem("the server could not send the control: " + error);
    return false;
  }
  std::optional<TControlSeen> control;
  if (!PollFor([&] { return (control = client_.TakeControl()).has_value(); }, kControlLimit)) {
    Problem("no control arrived through c_ReceiveControl within " + Seconds(kControlLimit));
    return false;
  }
  ShowControl(*control);
  if (!SameAddress(control->addr, kPumpAddr) || control->flag != true) {
    Problem("the control arrived for another channel or with another value");
    return false;
  }
  if (server_.WaitForSwitch(kPumpAddr, true, kEchoLimit))
    Line("the server has received the new pump state");
  else
    Line("the server has not received the new pump state yet");
  return true;
}

// Prints a control and, for the pump, does what a host does: switches it and
// reports the new state with a fresh value.
void TDemoRun::ShowControl(const TControlSeen& c) {
  ++controlsSeen_;
  Line("c_ReceiveControl: address \"" + c.addr + "\", number " + std::to_string(c.number) +
       ", time " + c.time + ", quality " + std::to_string(c.quality) + ", value " + c.value);
  if (!SameAddress(c.addr, kPumpAddr) || !c.flag) return;
  pumpRunning_ = *c.flag;
  const bool taken = client_.HandOverPump(pumpRunning_, 0, LocalNowTicks());
  Line(std::string("the host switches the pump ") + (pumpRunning_ ? "on" : "off") +
       " and reports it: c_RegisterValueByID = " + (taken ? "true" : "false"));
}

void TDemoRun::ShowServerView() {
  Section("Server's view");
  Line("logins: " + std::to_string(server_.Logins()));
  for (const std::string& line : server_.ChannelLines()) Line(line);
}

void TDemoRun::Finish() {
  const std::vector<std::string> statistics = client_.StatisticsLines();
  if (!statistics.empty()) {
    Section("Client statistics (c_GetStatistics)");
    for (const std::string& line : statistics) Line(line);
  }
  Section("Shutdown");
  Line(std::string("c_DestroyOpros() = ") + (client_.Destroy() ? "true" : "false"));
  ShowLog();
}

void TDemoRun::ShowLog() {
  if (liveLog_) {
    ShowNewLogLines();  // the worker's last lines, written while it ended
    if (!logPath_.empty()) Line("the log is kept in " + logPath_);
    return;
  }
  Section("Client log (" + logPath_ + ")");
  std::ifstream file(logPath_, std::ios::binary);
  if (!file) {
    Line("(no log file)");
    return;
  }
  std::ostringstream bytes;
  bytes << file.rdbuf();
  std::istringstream lines(LogAsTerminalText(bytes.str()));
  for (std::string line; std::getline(lines, line);) Line(line);
}

}  // namespace kv::demo
