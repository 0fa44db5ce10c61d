// The plain C host of host_test.c against the test server, in-process on
// loopback. The library keeps one client per process and the host's steps
// build on each other (its controls need the channels, the fresh client
// needs the first one destroyed), so the session runs once for the whole
// suite; each test then checks one side of it: the host's own expectations,
// replayed with their file and line, and what the server received.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvsim/KavrelServer.h"
#include "runtime/Calendar.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"

#include "host_test.h"

namespace kv::test {
namespace {

using namespace std::chrono_literals;

// Generous: these bound waits that normally end within milliseconds.
constexpr auto kLimit = 20s;
// A channel number the server never hands out, and the client's log text
// around it when a control names it.
constexpr std::uint32_t kUnknownNumber = 777777;
constexpr auto kRefusedBefore = "канал №"_cp;
constexpr auto kRefusedAfter = " не найден"_cp;

struct TFailure {
  std::string file;
  int line;
  std::string what;
};

// What the hooks reach through their context pointer.
struct THostContext {
  sim::TKavrelServer* server = nullptr;
  std::vector<TFailure> failures;
  std::string logFile;
};

THostContext& Context(void* context) { return *static_cast<THostContext*>(context); }

TDateTime StampOf(const kv_host_time& t) {
  return EncodeDate(t.year, t.month, t.day) + EncodeTime(t.hour, t.minute, t.second, 0) +
         t.millisecond / kMSecsPerDay;
}

std::string ReadFile(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WaitForLogText(const std::string& logFile, const std::string& text) {
  const auto end = std::chrono::steady_clock::now() + kLimit;
  while (ReadFile(logFile).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// ---- the hooks; no exception may cross the C caller's frames ----

void Fail(void* context, const char* file, int line, const char* what) noexcept {
  try {
    Context(context).failures.push_back({file, line, what});
  } catch (...) {
  }
}

void HoldLogin(void* context, int hold) noexcept { Context(context).server->SetReading(hold == 0); }

int SendControl(void* context, const kv_host_control* control, kv_uint32* number) noexcept {
  THostContext& host = Context(context);
  try {
    const std::string addr = control->addr;
    // Sent after the server's activation of the channel, on the same
    // stream, so the client has the channel active when the control comes.
    bool active = host.server->WaitFor(
        [&](const sim::TServerView& view) {
          const sim::TSimChannel* channel = view.state.Find(addr);
          return channel != nullptr && channel->activeSent;
        },
        kLimit);
    if (!active) return 0;
    sim::TControl sent;
    sent.byNumber = control->by_number != 0;
    if (sent.byNumber)
      sent.number = host.server->Channel(addr)->number;
    else
      sent.addr = addr;
    sent.timeForm = TDateTimeForm::Double;
    sent.dt = StampOf(control->time);
    sent.quality = control->quality;
    sent.type = control->type;
    sent.value = control->type == varString ? Variant::FromAnsi(control->text)
                                            : Variant::FromDouble(control->number);
    *number = sent.number;
    return host.server->SendControl(sent) ? 1 : 0;
  } catch (const Exception& e) {
    host.failures.push_back({__FILE__, __LINE__, e.what()});
  } catch (...) {
    host.failures.push_back({__FILE__, __LINE__, "sending a control raised"});
  }
  return 0;
}

int QueueUnclaimedControl(void* context, const char* addr) noexcept {
  THostContext& host = Context(context);
  kv_host_control control{addr, 0, varDouble, 1.0, nullptr, 0, {2024, 3, 15, 0, 0, 0, 0}};
  kv_uint32 number = 0;
  if (!SendControl(context, &control, &number)) return 0;
  try {
    // The client refuses a control for an unknown number with a log line,
    // which it writes only after it has queued the control before it.
    sim::TControl unknown;
    unknown.byNumber = true;
    unknown.number = kUnknownNumber;
    unknown.type = varDouble;
    unknown.value = Variant::FromDouble(1);
    if (!host.server->SendControl(unknown)) return 0;
    const std::string refused =
        std::string(kRefusedBefore) + std::to_string(kUnknownNumber) + std::string(kRefusedAfter);
    return WaitForLogText(host.logFile, refused) ? 1 : 0;
  } catch (...) {
    host.failures.push_back({__FILE__, __LINE__, "queueing a control raised"});
    return 0;
  }
}

int WaitValues(void* context, const char* addr, int count) noexcept {
  return Context(context).server->WaitForValues(addr, count, kLimit) ? 1 : 0;
}

void SleepMs(void*, int milliseconds) noexcept {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::string UniqueLogName() {
  std::ostringstream name;
  name << "kvopros2_host_" << std::chrono::steady_clock::now().time_since_epoch().count() << ".log";
  return (std::filesystem::temp_directory_path() / name.str()).string();
}

class HostSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    context_ = std::make_unique<THostContext>();
    sim::TServerOptions options;
    options.port = 0;
    server_ = std::make_unique<sim::TKavrelServer>(options);
    if (!server_->Start()) {
      context_->failures.push_back({__FILE__, __LINE__, "the test server did not start"});
      return;
    }
    context_->server = server_.get();
    context_->logFile = UniqueLogName();
    kv_host_test_hooks hooks{context_.get(), context_->logFile.c_str(), &Fail,       &HoldLogin,
                             &SendControl,   &QueueUnclaimedControl,    &WaitValues, &SleepMs};
    result_ = kv_host_test_run(KV_HOST_LIBRARY, server_->Port(), &hooks);
    log_ = ReadFile(context_->logFile);
  }

  static void TearDownTestSuite() {
    server_->Stop();
    std::error_code ignored;
    std::filesystem::remove(context_->logFile, ignored);
    server_.reset();
    context_.reset();
  }

  static sim::TSimChannel ChannelSeen(const char* addr) {
    std::optional<sim::TSimChannel> channel = server_->Channel(addr);
    return channel ? *channel : sim::TSimChannel{};
  }

  // The last 4 bytes of the last value record the server received for the
  // channel: the type word and, for a 2-byte type, the value.
  static std::string LastValueTail(const char* addr) {
    const std::uint32_t number = ChannelSeen(addr).number;
    std::string bytes;
    for (const sim::TReceivedRecord& record : server_->Records(sim::TRecordKind::Value))
      if (number != 0 && record.channelNumber == number) bytes = record.bytes;
    return bytes.size() < 4 ? bytes : bytes.substr(bytes.size() - 4);
  }

  static const sim::TSimAttribute* AttributeOf(const sim::TSimChannel& channel, std::uint16_t id) {
    for (const sim::TSimAttribute& attribute : channel.attributes)
      if (attribute.id == id) return &attribute;
    return nullptr;
  }

  static std::unique_ptr<THostContext> context_;
  static std::unique_ptr<sim::TKavrelServer> server_;
  static int result_;
  static std::string log_;
};

std::unique_ptr<THostContext> HostSession::context_;
std::unique_ptr<sim::TKavrelServer> HostSession::server_;
int HostSession::result_ = -1;
std::string HostSession::log_;

TEST_F(HostSession, HostSideExpectationsHold) {
  EXPECT_EQ(result_, 0) << "the host session stopped early";
  for (const TFailure& failure : context_->failures)
    ADD_FAILURE_AT(failure.file.c_str(), failure.line) << failure.what;
}

TEST_F(HostSession, OnlyTheFirstCreateTakesEffect) {
  std::vector<sim::TReceivedRecord> logins = server_->Records(sim::TRecordKind::Login);
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(logins[0].login.login, KV_HOST_LOGIN);
  EXPECT_EQ(logins[0].login.password, KV_HOST_PASSWORD);
  EXPECT_EQ(logins[1].login.login, KV_HOST_SECOND_LOGIN);
  // The first create's log file and debug flag stayed in force.
  EXPECT_NE(log_.find(std::string("INFO\t*** Начало работы с сервером Kavrel"_cp)),
            std::string::npos);
  EXPECT_NE(log_.find("DEBUG\t"), std::string::npos);
}

TEST_F(HostSession, ChannelsArriveWithTheirAttributes) {
  sim::TSimChannel analog = ChannelSeen(KV_HOST_ANALOG);
  EXPECT_EQ(analog.type, 5);
  ASSERT_TRUE(AttributeOf(analog, 101));
  EXPECT_EQ(AttributeOf(analog, 101)->value.ToAnsi(), std::string("Комментарий"_cp));
  ASSERT_TRUE(AttributeOf(analog, 100));
  EXPECT_EQ(AttributeOf(analog, 100)->value.ToAnsi(), std::string("м3"_cp));
  ASSERT_TRUE(AttributeOf(analog, 5002));
  EXPECT_EQ(AttributeOf(analog, 5002)->value.ToAnsi(), "%.2f");
  ASSERT_TRUE(AttributeOf(analog, 5009));
  EXPECT_EQ(AttributeOf(analog, 5009)->value.ToInt32(), 9);
  // Empty texts set no attribute.
  EXPECT_FALSE(AttributeOf(analog, 112));
  EXPECT_FALSE(AttributeOf(analog, 5000));
  // Host attributes, converted to their declared types.
  ASSERT_TRUE(AttributeOf(analog, 400));
  EXPECT_EQ(AttributeOf(analog, 400)->type, 5);
  EXPECT_EQ(AttributeOf(analog, 400)->value.ToDouble(), 7.0);
  ASSERT_TRUE(AttributeOf(analog, 401));
  EXPECT_EQ(AttributeOf(analog, 401)->value.ToAnsi(), std::string("Ток"_cp));
  EXPECT_FALSE(AttributeOf(analog, 403));

  sim::TSimChannel flag = ChannelSeen(KV_HOST_FLAG_ON);
  ASSERT_TRUE(AttributeOf(flag, 402));
  EXPECT_TRUE(AttributeOf(flag, 402)->value.ToBoolean());
  ASSERT_TRUE(AttributeOf(flag, 10));
  const Variant& states = AttributeOf(flag, 10)->value;
  ASSERT_TRUE(states.IsArray());
  ASSERT_EQ(states.ArrayCount(), 2);
  EXPECT_EQ(states.GetElement(0).ToAnsi(), std::string("выкл"_cp));
  EXPECT_EQ(states.GetElement(1).ToAnsi(), std::string("вкл"_cp));

  EXPECT_EQ(ChannelSeen(KV_HOST_COUNTER).type, 3);
  EXPECT_EQ(ChannelSeen(KV_HOST_TEXT).type, 256);
  EXPECT_EQ(ChannelSeen(KV_HOST_VECTOR).type, 0x1003);
  EXPECT_EQ(ChannelSeen(KV_HOST_VALVE).type, 5);
  EXPECT_FALSE(server_->Channel("Missing"));
}

TEST_F(HostSession, ValuesArriveWithTheirKindsAndTimes) {
  // 2024-03-15 10:20:30.123: the 0.4567 ms beyond are dropped.
  const TDateTime expectedTime = 45366.0 + 37230123.0 / kMSecsPerDay;
  const double tolerance = 0.01 / kMSecsPerDay;
  sim::TSimChannel analog = ChannelSeen(KV_HOST_ANALOG);
  EXPECT_EQ(analog.values, 2);
  EXPECT_NEAR(analog.dt, expectedTime, tolerance);
  // The later value had quality 5: sent, with the earlier value kept.
  EXPECT_EQ(analog.quality, 5);
  EXPECT_EQ(analog.value.ToDouble(), 1.5);

  sim::TSimChannel counter = ChannelSeen(KV_HOST_COUNTER);
  EXPECT_EQ(counter.value.Kind(), varInteger);
  EXPECT_EQ(counter.value.ToInt32(), 42);
  EXPECT_NEAR(counter.dt, expectedTime, tolerance);
  // A boolean travels as its word (after the type word 11): the host's
  // true (-1) goes out as 1, false as 0.
  EXPECT_EQ(LastValueTail(KV_HOST_FLAG_ON), std::string("\x0B\x00\x01\x00", 4));
  EXPECT_EQ(LastValueTail(KV_HOST_FLAG_OFF), std::string("\x0B\x00\x00\x00", 4));
  // A 16-bit -1 is no boolean and stays -1.
  EXPECT_EQ(LastValueTail(KV_HOST_SHORT), std::string("\x02\x00\xFF\xFF", 4));
  EXPECT_EQ(ChannelSeen(KV_HOST_TEXT).value.ToAnsi(), std::string("Привет"_cp));

  Variant vector = ChannelSeen(KV_HOST_VECTOR).value;
  ASSERT_TRUE(vector.IsArray());
  ASSERT_EQ(vector.ArrayCount(), 3);
  EXPECT_EQ(vector.GetElement(vector.ArrayLow()).ToInt32(), 10);
  EXPECT_EQ(vector.GetElement(vector.ArrayLow() + 1).ToInt32(), -20);
  EXPECT_EQ(vector.GetElement(vector.ArrayLow() + 2).ToInt32(), 30);
}

TEST_F(HostSession, AFaultWithNoValueOfATakenKindArrivesWithTheValueKept) {
  sim::TSimChannel counter = ChannelSeen(KV_HOST_COUNTER);
  EXPECT_EQ(counter.values, 2);
  EXPECT_EQ(counter.quality, KV_HOST_FAULT_QUALITY);
  EXPECT_EQ(counter.value.ToInt32(), 42);
}

TEST_F(HostSession, ClientAfterDestroyStartsEmpty) {
  sim::TSimChannel fresh = ChannelSeen(KV_HOST_FRESH);
  EXPECT_EQ(fresh.values, 1);
  EXPECT_EQ(fresh.value.ToDouble(), 9.5);
  // After its login the fresh client registered only its own channel: it
  // did not inherit the first client's list.
  for (const char* addr : {KV_HOST_ANALOG, KV_HOST_COUNTER, KV_HOST_VALVE})
    EXPECT_EQ(ChannelSeen(addr).registrations, 1) << addr;
}

}  // namespace
}  // namespace kv::test
