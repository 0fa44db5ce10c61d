// The command-line server as a whole, in-process: scripts and their exit
// codes, the JSON events, several clients, recordings and their replay.
#include "kvsim/Simulator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "TestClient.h"
#include "kvsim/Script.h"

namespace {

using namespace kv;
using namespace kv::sim;
using namespace kvsim_test;

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class Simulator : public ::testing::Test {
 protected:
  void TearDown() override {
    if (serving_.valid()) serving_.wait();
    simulator_.reset();
    std::filesystem::remove_all(TempPath(Name()));
  }
  std::string Name() const {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  // Starts kvsim with `args` on an ephemeral port, running `script`.
  void Begin(std::vector<std::string> args, const std::string& script) {
    std::filesystem::create_directories(TempPath(Name()));
    const auto file = TempPath(Name()) / "script.kvs";
    std::ofstream(file) << script;
    args.insert(args.end(), {"--port", "0", "--script", file.string()});
    TCliOptions options;
    std::string error;
    ASSERT_TRUE(ParseOptions(args, options, error)) << error;
    simulator_ = std::make_unique<TSimulator>(options, out_, err_);
    ASSERT_EQ(simulator_->Start(), kExitHeld) << err_.str();
    serving_ = std::async(std::launch::async, [this] { return simulator_->Serve(input_); });
  }
  void LogIn(TestClient& client) {
    ASSERT_TRUE(client.Connect(simulator_->Port()));
    ASSERT_TRUE(client.Send(LoginRequest()));
    ASSERT_EQ(client.Read(25).size(), 25u);
  }
  // The exit code, once the script has ended.
  int Result() { return serving_.get(); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream text(out_.str());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  std::ostringstream out_, err_;
  std::istringstream input_;
  std::unique_ptr<TSimulator> simulator_;
  std::future<int> serving_;
  TestClient client_;
};

TEST_F(Simulator, ScriptExpectsAndControlsAndTellsEveryFailure) {
  Begin({"--json"},
        "# a host's check\n"
        "wait-login\n"
        "wait-channel a1\n"
        "expect-channel A1 type Float8\n"
        "expect-value A1 12.5 quality 0 time 1900-01-01T12:00\n"
        "expect-value A1 12.5 time 1900-01-01T12:00:00.001 within 200\n"
        "control A1 2.5 quality 3 time 1900-01-01T12:00\n"
        "expect-attribute A1 100 kPa within 0\n");
  LogIn(client_);
  ASSERT_TRUE(client_.Send(kRegisterA1));
  ASSERT_EQ(client_.Read(kActivateA1.size()), kActivateA1);
  ASSERT_TRUE(client_.Send(kValueOf1));
  ASSERT_TRUE(client_.Send(kValueOf1));
  // 3 header + 1 flags + 4 address + 8 time + 1 quality + 2 type + 8 Float8 + 2 owner
  const std::string control = client_.Read(29);
  ASSERT_EQ(control.size(), 29u);
  EXPECT_EQ(control.substr(0, 8), Bytes({0x39, 29, 0, 0x0C, 2, 0, 'A', '1'}));
  EXPECT_EQ(control.substr(8, 11), Bytes({0, 0, 0, 0, 0, 0, 0x04, 0x40, 3, 0x05, 0x00}));
  EXPECT_EQ(control.substr(19, 8), Bytes({0, 0, 0, 0, 0, 0, 0x04, 0x40}));
  EXPECT_EQ(Result(), kExitFailed);
  EXPECT_EQ(err_.str(),
            "kvsim: script line 6: expect-value A1 12.5 time 1900-01-01T12:00:00.001 within 200: "
            "no value 12.5 at 1900-01-01 12:00:00.001 within 200 ms; got 12.5 at 1900-01-01 "
            "12:00:00.000\n"
            "kvsim: script line 8: expect-attribute A1 100 kPa within 0: A1 has no attribute 100 "
            "within 0 ms\n");
  std::string events;
  for (const std::string& line : Lines()) {
    EXPECT_EQ(line.rfind("{\"ts\":\"", 0), 0u) << line;
    events += line.substr(line.find("\"event\"")) + "\n";
  }
  for (const char* event :
       {"\"event\":\"login\",\"client\":1,\"connection\":1,\"login\":\"CFG\",\"password\":"
        "\"pwd\",\"library\":\"1.1\",\"answer\":\"granted\",\"clientId\":1,\"code\":0,",
        "\"event\":\"channel\",\"client\":1,\"connection\":1,\"addr\":\"A1\",\"number\":1,"
        "\"type\":\"Float8\",\"flags\":130,\"attributes\":[]}",
        "\"event\":\"value\",\"client\":1,\"connection\":1,\"addr\":\"A1\",\"number\":1,\"time\":"
        "\"1900-01-01T12:00:00.000\",\"quality\":0,\"type\":\"Float8\",\"value\":12.5}",
        "\"event\":\"control\",\"client\":1,\"connection\":1,\"addr\":\"A1\",\"time\":\"1900-01-"
        "01T12:00:00.000\",\"quality\":3,\"type\":\"Float8\",\"value\":2.5}",
        "\"event\":\"expect-failed\",\"line\":6,",
        "\"event\":\"script-end\",\"held\":5,\"failed\":2}", "\"event\":\"summary\","})
    EXPECT_NE(events.find(event), std::string::npos) << event << "\n" << events;
}

TEST_F(Simulator, RefusalsCarryTheirCodeAndAFailedWaitEndsTheScript) {
  Begin({"--login", "cfg", "--password", "other", "--quiet"},
        "wait-login\n"
        "refuse 5\n"
        "drop\n"
        "wait-login\n"
        "wait-channel A1 within 0\n"
        "drop\n");
  ASSERT_TRUE(client_.Connect(simulator_->Port()));
  ASSERT_TRUE(client_.Send(LoginRequest()));
  const std::string wrongPassword = client_.Read(25);
  ASSERT_EQ(wrongPassword.size(), 25u);
  EXPECT_EQ(wrongPassword.substr(1, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(wrongPassword[20], 4) << "wrong login or password";
  EXPECT_EQ(client_.WaitEnd(), 0);
  TestClient again;
  ASSERT_TRUE(again.Connect(simulator_->Port()));
  ASSERT_TRUE(again.Send(LoginRequest()));
  EXPECT_EQ(again.Read(25)[20], 5);
  EXPECT_EQ(Result(), kExitFailed);
  EXPECT_EQ(err_.str(),
            "kvsim: script line 5: wait-channel A1 within 0: no registration of A1 within 0 ms\n")
      << "the drop after the failed wait did not run";
  EXPECT_EQ(out_.str(), "") << "quiet";
}

TEST_F(Simulator, SeveralClientsNumberTheirOwnChannels) {
  Begin({"--clients", "2"}, "wait-channel A1\nwait-channel B1\n");
  TestClient second;
  LogIn(client_);
  LogIn(second);
  const std::string registerB1 =
      Bytes({0x33, 0x0D, 0x00, 0x82, 0x00, 0x02, 0x00, 'B', '1', 0x05, 0x00, 0, 0});
  ASSERT_TRUE(client_.Send(kRegisterA1));
  ASSERT_TRUE(second.Send(registerB1));
  EXPECT_EQ(client_.Read(kActivateA1.size()), kActivateA1);
  const std::string activateB1 = second.Read(14);
  ASSERT_EQ(activateB1.size(), 14u);
  EXPECT_EQ(activateB1[8], 1) << "number 1 in its client's own view";
  EXPECT_EQ(Result(), kExitHeld);
  const std::string out = out_.str();
  EXPECT_NE(out.find("up to 2 clients at once"), std::string::npos);
  EXPECT_NE(out.find("[client 1] register 51 \"A1\" -> #1"), std::string::npos) << out;
  EXPECT_NE(out.find("[client 2] register 51 \"B1\" -> #1"), std::string::npos) << out;
}

TEST_F(Simulator, RecordingPlaysBackToTheNextClient) {
  const auto dir = TempPath(Name()) / "records";
  Begin({"--record", dir.string()}, "wait-channel A1\ncontrol A1 7\n");
  LogIn(client_);
  ASSERT_TRUE(client_.Send(kRegisterA1));
  const std::string sent = client_.Read(kActivateA1.size() + 29);
  ASSERT_EQ(sent.size(), kActivateA1.size() + 29);
  ASSERT_EQ(Result(), kExitHeld);
  std::vector<TRecordedMessage> recording;
  std::string error;
  ASSERT_TRUE(ReadRecording(ReadAll(dir / "session-00001.rec"), recording, error)) << error;
  ASSERT_EQ(recording.size(), 5u);
  EXPECT_EQ(recording[0].bytes, LoginRequest());
  EXPECT_FALSE(recording[0].fromServer);
  EXPECT_TRUE(recording[1].fromServer);
  EXPECT_EQ(recording[2].bytes, kRegisterA1);
  EXPECT_EQ(recording[3].bytes + recording[4].bytes, sent);
  EXPECT_EQ(ReadAll(dir / "session-00001.bin").size(), 25 + sent.size()) << "sent bytes as before";

  // The server's side again, each message after the client's messages before it.
  TServerOptions options;
  options.port = 0;
  options.protocol = PassiveProtocol(options.protocol);
  TKavrelServer server(options);
  ASSERT_TRUE(server.Start());
  TReplayDriver replay(server, recording, [](const std::string&) {});
  replay.Start();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.Port()));
  ASSERT_TRUE(client.Send(LoginRequest()));
  EXPECT_EQ(client.Read(25), recording[1].bytes);
  ASSERT_TRUE(client.Send(kRegisterA1));
  EXPECT_EQ(client.Read(sent.size()), sent);
}

TEST_F(Simulator, BadScriptsAndBusyPortsAreRefusedInEnglish) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"wait-login\nexpect-vlaue A 1\n", "line 2: unknown command 'expect-vlaue'"},
      {"sleep soon\n", "line 1: sleep: bad milliseconds (0 to 3600000): soon"},
      {"expect-value A\n", "line 1: expect-value: missing arguments"},
      {"control A \"1\n", "line 1: a quote is not closed"},
      {"control A 1 type Float9\n", "line 1: control: no such data type: Float9"},
      {"refuse 300\n", "line 1: refuse: bad refusal code (0 to 255, or off): 300"},
      {"drop now\n", "line 1: drop: unexpected 'now'"}};
  for (const auto& [script, message] : bad) {
    std::vector<TScriptStep> steps;
    std::string error;
    EXPECT_FALSE(ParseScript(script, steps, error)) << script;
    EXPECT_EQ(error, message);
  }
  std::vector<TScriptStep> steps;
  std::string error;
  ASSERT_TRUE(
      ParseScript("control A \"on off\" quality 2\nwait-login\nexpect-value A x\n", steps, error));
  EXPECT_EQ(steps[0].control.valueText, "on off");
  EXPECT_EQ(steps[1].within, kWaitLimit);
  EXPECT_EQ(steps[2].within, kExpectLimit);

  TServerOptions busy;
  busy.port = 0;
  TKavrelServer holder(busy);
  ASSERT_TRUE(holder.Start());
  TCliOptions options;
  ASSERT_TRUE(ParseOptions({"--port", std::to_string(holder.Port())}, options, error));
  TSimulator simulator(options, out_, err_);
  EXPECT_EQ(simulator.Start(), kExitCannotRun);
  EXPECT_EQ(err_.str(), "kvsim: cannot listen on 127.0.0.1:" + std::to_string(holder.Port()) +
                            ": address or port already in use [10048]\n");
}

}  // namespace
