// The sample host's client side against its in-process server: what the
// host declares must reach the server byte for byte, and a control must come
// back through c_ReceiveControl. The waits are bounds for loopback events,
// never expectations about speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "DemoChannels.h"
#include "DemoServer.h"
#include "HostTime.h"
#include "Integration.h"
#include "kvsim/SimState.h"

namespace kv::demo {
namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 20s;

template <typename Condition>
bool PollFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

class DemoRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    TClientSettings settings;
    settings.host = "127.0.0.1";
    settings.port = server_.Port();
    settings.login = "demo";
    ASSERT_TRUE(client_.Create(settings, error)) << error;
    for (const TDeclaration& d : client_.DeclareChannels()) EXPECT_TRUE(d.accepted) << d.addr;
    ASSERT_TRUE(PollFor([&] { return client_.Connected(); }));
  }
  void TearDown() override {
    client_.Destroy();
    server_.Stop();
  }

  TDemoServer server_;
  TDemoClient client_;
};

TEST_F(DemoRoundTrip, AttributesArriveAsTheHostWroteThem) {
  ASSERT_TRUE(server_.WaitForActive(kModeAddr, kLimit));
  ASSERT_TRUE(server_.WaitForActive(kTemperatureAddr, kLimit));
  // An attribute added after the channel's declaration goes out with a
  // second registration, which may follow the activation.
  std::string view;
  PollFor([&] {
    view = Joined(server_.ChannelLines());
    return view.find("high limit (308, Float8)") != std::string::npos;
  });
  EXPECT_NE(view.find("\"Boiler.Temperature\"  Float8"), std::string::npos) << view;
  EXPECT_NE(view.find("unit (100, String) = \"°C\""), std::string::npos) << view;
  EXPECT_NE(view.find("comments (101, String) = \"Температура воды в котле\""), std::string::npos)
      << view;
  EXPECT_NE(view.find("format (5002, String) = \"%.1f\""), std::string::npos) << view;
  EXPECT_NE(view.find("signification (5009, UInt1) = 9"), std::string::npos) << view;
  EXPECT_NE(view.find("high limit (308, Float8) = 90"), std::string::npos) << view;
  EXPECT_NE(view.find("state names (10, Array of String) = [\"Стоп\", \"Пуск\"]"),
            std::string::npos)
      << view;
  EXPECT_NE(view.find("\"Boiler.Pump\"  Boolean"), std::string::npos) << view;
  EXPECT_NE(view.find("\"Boiler.Starts\"  Int4"), std::string::npos) << view;
  EXPECT_NE(view.find("\"Boiler.Mode\"  String"), std::string::npos) << view;
}

TEST_F(DemoRoundTrip, ValuesWithTextsReachTheServer) {
  ASSERT_TRUE(server_.WaitForActive(kModeAddr, kLimit));
  TStepValues values = ValuesForStep(0, false);
  values.mode = "поддержание";
  EXPECT_EQ(client_.HandOver(values, LocalNowTicks()), 4);
  ASSERT_TRUE(PollFor([&] {
    return Joined(server_.ChannelLines()).find("last \"поддержание\"") != std::string::npos;
  }));
}

TEST_F(DemoRoundTrip, ControlComesBackAndTheAnswerReachesTheServer) {
  ASSERT_TRUE(server_.WaitForActive(kPumpAddr, kLimit));
  std::string error;
  ASSERT_TRUE(server_.SendSwitch(kPumpAddr, true, error)) << error;
  std::optional<TControlSeen> control;
  ASSERT_TRUE(PollFor([&] { return (control = client_.TakeControl()).has_value(); }));
  EXPECT_EQ(control->addr, "Boiler.Pump");
  EXPECT_EQ(control->value, "true");
  EXPECT_EQ(control->flag, true);
  EXPECT_EQ(control->quality, 0u);
  EXPECT_FALSE(client_.TakeControl().has_value());
  EXPECT_TRUE(client_.HandOverPump(true, 0, LocalNowTicks()));
  EXPECT_TRUE(server_.WaitForSwitch(kPumpAddr, true, kLimit));
  // The server's view shows the Boolean as a Boolean, not as its wire word.
  const std::vector<std::string> view = server_.ChannelLines();
  auto pump = std::find_if(view.begin(), view.end(), [](const std::string& line) {
    return line.find("\"Boiler.Pump\"  Boolean") != std::string::npos;
  });
  ASSERT_NE(pump, view.end()) << Joined(view);
  EXPECT_NE(pump->find(", last true quality 0 at "), std::string::npos) << *pump;
}

TEST_F(DemoRoundTrip, TheLibrarysLinesAreFollowedFromItsFirst) {
  const std::vector<std::string> lines = client_.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.front().find("\tINFO\t*** Начало работы с сервером Kavrel"), std::string::npos)
      << lines.front();
}

TEST(DemoServerView, ChannelLineShowsNumberTypeCountsAndLastValue) {
  sim::TSimChannel channel;
  channel.addr = "\xCA\xEE\xF2\xB9";
  channel.number = 7;
  channel.type = 3;
  channel.attributes.push_back({100, 256, Variant::FromAnsi("\xF8\xF2"), 0});
  channel.hasValue = true;
  channel.dt = 45000.5;
  channel.quality = 1;
  channel.value = Variant::FromInt32(-12);
  channel.values = 12;
  const std::vector<std::string> lines = DescribeServerChannel(channel);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "#7 \"Кот№\"  Int4, 1 attributes, 12 values received, last -12 quality 1 at "
            "2023-03-15 12:00:00.000");
  EXPECT_EQ(lines[1], "    unit (100, String) = \"шт\"");
  channel.hasValue = false;
  channel.attributes.clear();
  EXPECT_EQ(DescribeServerChannel(channel),
            std::vector<std::string>{"#7 \"Кот№\"  Int4, 0 attributes, 12 values received"});
}

}  // namespace
}  // namespace kv::demo
