// The host's log and diagnostics through the loaded library, as a host on
// either system meets them: why every export answered as it did, the log
// callback (its lines against the file's, exports called from inside it),
// the debug lines switched while the client runs, and rotation set by
// option. (The callback's removal while a call is in progress: the client
// tests, on both systems too.)
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvsim/KavrelServer.h"
#include "runtime/Codepage.h"

#include "LoadedLibrary.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 20s;  // bounds waits that normally end within milliseconds
const FILETIME kTime = {0x67FD4187u, 0x01DA76C2u};
// At namespace scope: clang 14 fails on some of these literals inside functions.
constexpr auto kDebugOn = "INFO\tОтладочные сообщения включены"_cp;
constexpr auto kDebugOff = "INFO\tОтладочные сообщения выключены"_cp;

VARIANT Kind(VARTYPE kind) {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = kind;
  return v;
}

VARIANT Number(double value) {
  VARIANT v = Kind(VT_R8);
  v.dblVal = value;
  return v;
}

std::string ReadFile(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

template <class Condition>
bool WaitUntil(Condition condition) {
  const auto end = Clock::now() + kLimit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The lines a callback got; the worker adds while the test reads.
struct TLines {
  std::mutex mutex;
  std::vector<std::string> lines;

  std::vector<std::string> Copy() {
    std::lock_guard<std::mutex> guard(mutex);
    return lines;
  }
  int Count(std::string_view part) {
    int count = 0;
    for (const std::string& line : Copy()) count += line.find(part) != std::string::npos;
    return count;
  }
  bool WaitFor(std::string_view part, int count = 1) {
    return WaitUntil([&] { return Count(part) >= count; });
  }
};

void KVOPROS2_CALL Collect(void* context, int, const char* line) {
  auto& seen = *static_cast<TLines*>(context);
  std::lock_guard<std::mutex> guard(seen.mutex);
  seen.lines.emplace_back(line);
}

// What a callback does from inside, recorded for the test thread.
struct TInside {
  const kv_host_exports* api = nullptr;
  std::atomic<bool> done{false};
  int connected = -1;
  int connectedWhy = -1;
  kv_bool statistics = 0;
  std::vector<std::pair<kv_bool, int>> refused;
  kv_bool replaced = 0;
  TLines later;
};

void KVOPROS2_CALL CallsFromInside(void* context, int, const char*) {
  auto& in = *static_cast<TInside*>(context);
  const kv_host_exports& a = *in.api;
  in.connected = a.connected();
  in.connectedWhy = a.last_result();
  kv_statistics stats{};
  stats.size = sizeof stats;
  in.statistics = a.statistics(&stats);
  char addr[8];
  for (kv_bool answer : {a.create("127.0.0.1", 1, 1, "x", "", 0, 0, ""), a.destroy(),
                         a.channel("In", 5, 0, 0, "", "", "", "", "", 0, ""),
                         a.value("In", &kTime, 0, Number(1)), a.attribute("In", 400, 5, Number(1)),
                         a.control(addr, sizeof addr, nullptr, nullptr, nullptr, nullptr),
                         a.set_option(KVOPROS2_OPTION_LOG_FILES, 3)})
    in.refused.emplace_back(answer, a.last_result());
  // Replaced from inside: the next line goes to the new one.
  in.replaced = a.set_log_callback(&Collect, &in.later);
  in.done = true;
}

class HostLog : public ::testing::Test {
 protected:
  HostLog() : server_(ServerOptions()), loaded_(Hooks()), api_(loaded_.api) {}

  static sim::TServerOptions ServerOptions() {
    sim::TServerOptions options;
    options.port = 0;
    return options;
  }
  kv_host_test_hooks Hooks() {
    return {&failures_, "", &RecordFailure, nullptr, nullptr, nullptr, nullptr, nullptr};
  }

  void SetUp() override {
    ASSERT_NE(loaded_.library, nullptr) << (failures_.empty() ? "" : failures_.front());
    ASSERT_TRUE(server_.Start());
  }
  // Everything set here is process-wide: the next test starts without it.
  void TearDown() override {
    if (loaded_.library == nullptr) return;
    api_.destroy();
    api_.set_log_callback(nullptr, nullptr);
    api_.set_option(KVOPROS2_OPTION_LOG_MAX_BYTES, 0);
    api_.set_option(KVOPROS2_OPTION_LOG_FILES, 5);
    for (const std::string& name : {file_, file_ + ".1", file_ + ".2", file_ + ".3"}) {
      std::error_code ignored;
      if (!file_.empty()) fs::remove(name, ignored);
    }
  }

  kv_bool Create(const std::string& logFile = "", bool debug = false) {
    return api_.create("127.0.0.1", server_.Port(), 30, "log", "", 0, debug ? 1 : 0,
                       logFile.c_str());
  }
  bool LoggedIn() {
    return WaitUntil([&] { return api_.connected() == 1; });
  }
  void UseLogFile() {
    file_ = (fs::temp_directory_path() /
             ("kvopros2_log_" + std::to_string(Clock::now().time_since_epoch().count()) + ".log"))
                .string();
  }

  std::vector<std::string> failures_;
  sim::TKavrelServer server_;
  TLibrary loaded_;
  const kv_host_exports& api_;
  std::string file_;
  // Contexts of the callbacks: they must outlive the client's last line,
  // which TearDown's c_DestroyOpros writes.
  TLines seen_;
  TInside inside_;
};

TEST_F(HostLog, EveryExportSaysWhyItAnswered) {
  const kv_host_exports& a = api_;
  kv_statistics stats{};
  stats.size = sizeof stats;
  char addr[8];
  EXPECT_EQ(a.connected(), 0);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_NO_CLIENT);
  for (kv_bool answer :
       {a.destroy(), a.channel("A", 5, 0, 0, "", "", "", "", "", 0, ""),
        a.value("A", &kTime, 0, Number(1)), a.attribute("A", 400, 5, Number(1)),
        a.control(addr, sizeof addr, nullptr, nullptr, nullptr, nullptr), a.statistics(&stats)}) {
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_NO_CLIENT);
  }
  EXPECT_EQ(a.statistics(nullptr), 0);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_BAD_ARGUMENT);
  EXPECT_EQ(a.set_option(99, 0), 0);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_UNKNOWN_OPTION);
  for (auto [option, value] : {std::pair{KVOPROS2_OPTION_LOG_MAX_BYTES, 65535},
                               {KVOPROS2_OPTION_LOG_MAX_BYTES, -1},
                               {KVOPROS2_OPTION_LOG_FILES, 0},
                               {KVOPROS2_OPTION_LOG_FILES, 101},
                               {KVOPROS2_OPTION_DEBUG_LOG, 2}}) {
    EXPECT_EQ(a.set_option(option, value), 0) << option << " " << value;
    EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_OUT_OF_RANGE);
  }
  EXPECT_EQ(a.set_option(KVOPROS2_OPTION_DEBUG_LOG, 1), 1);  // no client: nothing to switch
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_OK);

  ASSERT_EQ(Create(), 1);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_OK);
  EXPECT_EQ(Create(), 1);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_CLIENT_EXISTS);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_CLIENT_EXISTS);  // asking changes nothing
  a.connected();
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_OK);

  auto channel = [&](const std::string& name, unsigned short type) {
    const kv_bool answer = a.channel(name.c_str(), type, 0, 0, "", "", "", "", "", 0, "");
    return std::pair{answer, a.last_result()};
  };
  using TAnswer = std::pair<kv_bool, int>;
  const std::string longest(KVOPROS2_MAX_ADDRESS_LENGTH, 'a');
  EXPECT_EQ(channel("", 5), TAnswer(0, KVOPROS2_RESULT_EMPTY_ADDRESS));
  EXPECT_EQ(channel("T", 20), TAnswer(0, KVOPROS2_RESULT_BAD_TYPE));
  EXPECT_EQ(channel(longest + "a", 5), TAnswer(0, KVOPROS2_RESULT_TOO_LARGE));
  EXPECT_EQ(channel(longest, 5), TAnswer(1, KVOPROS2_RESULT_OK));
  EXPECT_EQ(channel("Level", 5), TAnswer(1, KVOPROS2_RESULT_OK));

  auto value = [&](const char* name, const FILETIME* time, VARIANT v) {
    const kv_bool answer = a.value(name, time, 0, v);
    return std::pair{answer, a.last_result()};
  };
  EXPECT_EQ(value("Missing", &kTime, Number(1)), TAnswer(0, KVOPROS2_RESULT_UNKNOWN_CHANNEL));
  EXPECT_EQ(value("", &kTime, Number(1)), TAnswer(0, KVOPROS2_RESULT_EMPTY_ADDRESS));
  EXPECT_EQ(value("Level", nullptr, Number(1)), TAnswer(0, KVOPROS2_RESULT_BAD_TIME));
  EXPECT_EQ(value("Level", &kTime, Kind(VT_DISPATCH)), TAnswer(0, KVOPROS2_RESULT_NOT_CONVERTIBLE));
  EXPECT_EQ(value("Level", &kTime, Number(1)), TAnswer(1, KVOPROS2_RESULT_OK));
  EXPECT_EQ(value("Level", &kTime, Number(1)), TAnswer(0, KVOPROS2_RESULT_UNCHANGED));

  auto attribute = [&](const char* name, unsigned short id, unsigned short type, VARIANT v) {
    const kv_bool answer = a.attribute(name, id, type, v);
    return std::pair{answer, a.last_result()};
  };
  EXPECT_EQ(attribute("Level", 0, 5, Number(1)), TAnswer(0, KVOPROS2_RESULT_BAD_ID));
  EXPECT_EQ(attribute("Level", 400, 0, Number(1)), TAnswer(0, KVOPROS2_RESULT_BAD_TYPE));
  EXPECT_EQ(attribute("", 400, 5, Number(1)), TAnswer(0, KVOPROS2_RESULT_EMPTY_ADDRESS));
  EXPECT_EQ(attribute("Missing", 400, 5, Number(1)), TAnswer(0, KVOPROS2_RESULT_UNKNOWN_CHANNEL));
  EXPECT_EQ(attribute("Level", 400, 5, Kind(VT_DISPATCH)),
            TAnswer(0, KVOPROS2_RESULT_NOT_CONVERTIBLE));
  EXPECT_EQ(attribute("Level", 400, 5, Number(1)), TAnswer(1, KVOPROS2_RESULT_OK));
  EXPECT_EQ(attribute("Level", 400, 5, Number(2)), TAnswer(0, KVOPROS2_RESULT_REPLACED));
  EXPECT_EQ(attribute(longest.c_str(), 400, 5, Number(1)), TAnswer(0, KVOPROS2_RESULT_TOO_LARGE));

  EXPECT_EQ(a.control(addr, sizeof addr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_QUEUE_EMPTY);
  // Each thread has its own.
  int elsewhere = -1;
  std::thread([&] { elsewhere = a.last_result(); }).join();
  EXPECT_EQ(elsewhere, KVOPROS2_RESULT_OK);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_QUEUE_EMPTY);
  EXPECT_EQ(a.statistics(&stats), 1);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_OK);

  EXPECT_EQ(a.destroy(), 1);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_OK);
  EXPECT_EQ(a.destroy(), 0);
  EXPECT_EQ(a.last_result(), KVOPROS2_RESULT_NO_CLIENT);
}

TEST_F(HostLog, CallbackLinesAreTheFilesAndRotationKeepsWholeLinesInNFiles) {
  UseLogFile();
  api_.set_log_callback(&Collect, &seen_);
  ASSERT_EQ(api_.set_option(KVOPROS2_OPTION_LOG_MAX_BYTES, 65536), 1);
  ASSERT_EQ(api_.set_option(KVOPROS2_OPTION_LOG_FILES, 2), 1);
  ASSERT_EQ(Create(file_, true), 1);
  ASSERT_TRUE(LoggedIn());
  constexpr int kChannels = 400;  // a value's debug line each: some 50 KB a round
  for (int i = 0; i < kChannels; ++i)
    ASSERT_EQ(api_.channel(("C" + std::to_string(i)).c_str(), 5, 0, 0, "", "", "", "", "", 0, ""),
              1);
  // Until four files' worth were written: the first one has been deleted.
  auto written = [&] {
    std::size_t bytes = 0;
    for (const std::string& line : seen_.Copy()) bytes += line.size() + 2;
    return bytes;
  };
  for (int round = 1; round <= 30 && written() <= 4 * 65536; ++round) {
    for (int i = 0; i < kChannels; ++i)
      ASSERT_EQ(api_.value(("C" + std::to_string(i)).c_str(), &kTime, 0, Number(round)), 1);
    ASSERT_TRUE(server_.WaitForValues("C" + std::to_string(kChannels - 1), round, kLimit));
  }
  ASSERT_EQ(api_.destroy(), 1);

  std::string joined;
  for (const std::string& line : seen_.Copy()) joined += line + "\r\n";
  std::string files;
  for (const std::string& name : {file_ + ".2", file_ + ".1", file_}) {
    const std::string text = ReadFile(name);
    ASSERT_FALSE(text.empty()) << name;
    EXPECT_LE(text.size(), 65536u) << name;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << name;
    files += text;
  }
  EXPECT_FALSE(fs::exists(file_ + ".3"));
  // The files hold the callback's last lines, whole, the oldest deleted.
  ASSERT_GT(joined.size(), files.size());
  const std::size_t start = joined.size() - files.size();
  EXPECT_EQ(joined.substr(start), files);
  EXPECT_EQ(joined.substr(start - 2, 2), "\r\n");
}

TEST_F(HostLog, FromInsideTheCallbackOnlyFourExportsWork) {
  TInside& inside = inside_;
  inside.api = &api_;
  api_.set_log_callback(&CallsFromInside, &inside);
  ASSERT_EQ(Create(), 1);  // no file: the callback is the only output
  ASSERT_TRUE(WaitUntil([&] { return inside.done.load(); }));
  EXPECT_EQ(inside.connected, 0);
  EXPECT_EQ(inside.connectedWhy, KVOPROS2_RESULT_OK);
  EXPECT_EQ(inside.statistics, 1);
  ASSERT_EQ(inside.refused.size(), 7u);
  for (const auto& [answer, why] : inside.refused) {
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(why, KVOPROS2_RESULT_IN_CALLBACK);
  }
  EXPECT_EQ(inside.replaced, 1);
  // Nothing was changed from inside, and the client works on.
  ASSERT_TRUE(LoggedIn());
  EXPECT_TRUE(inside.later.WaitFor("INFO\t"));
  EXPECT_EQ(api_.value("In", &kTime, 0, Number(1)), 0);
  EXPECT_EQ(api_.last_result(), KVOPROS2_RESULT_UNKNOWN_CHANNEL);
}

TEST_F(HostLog, DebugLinesSwitchedWhileTheClientRuns) {
  api_.set_log_callback(&Collect, &seen_);
  ASSERT_EQ(Create(), 1);
  ASSERT_TRUE(LoggedIn());
  ASSERT_EQ(api_.channel("D", 5, 0, 0, "", "", "", "", "", 0, ""), 1);
  const std::string on(kDebugOn);
  const std::string off(kDebugOff);
  const std::string valueLine = "DEBUG\tVALUE_TO_SERVER Addr=D ";

  ASSERT_EQ(api_.set_option(KVOPROS2_OPTION_DEBUG_LOG, 1), 1);
  ASSERT_EQ(api_.set_option(KVOPROS2_OPTION_DEBUG_LOG, 1), 1);
  ASSERT_TRUE(seen_.WaitFor(on));
  ASSERT_EQ(api_.value("D", &kTime, 0, Number(1)), 1);
  ASSERT_TRUE(seen_.WaitFor(valueLine));

  ASSERT_EQ(api_.set_option(KVOPROS2_OPTION_DEBUG_LOG, 0), 1);
  ASSERT_TRUE(seen_.WaitFor(off));
  ASSERT_EQ(api_.value("D", &kTime, 0, Number(2)), 1);
  ASSERT_TRUE(server_.WaitFor(
      [](const sim::TServerView& view) {
        const sim::TSimChannel* d = view.state.Find("D");
        return d != nullptr && d->value.ToDouble() == 2;
      },
      kLimit));
  EXPECT_EQ(seen_.Count(on), 1);
  EXPECT_EQ(seen_.Count(off), 1);
  EXPECT_EQ(seen_.Count(valueLine), 1);
}

}  // namespace
}  // namespace kv::test
