// The test server's fault mode: its seeded plan, the server calls it
// drives (finishing, giving way to a client that comes back, a late login
// reply, slow reads), the numbering of connections and the recordings.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kvsim/FaultPlan.h"
#include "kvsim/KavrelServer.h"
#include "kvsim/SessionRecorder.h"
#include "TestClient.h"

namespace {

using namespace kv;
using namespace kv::sim;
using namespace kvsim_test;
using std::chrono::milliseconds;

TEST(FaultPlan, OneSeedGivesOneSequence) {
  TPlanOptions options;
  options.longEvery = 3;
  TFaultPlan a(7, options), b(7, options), other(8, options);
  int differences = 0;
  for (int i = 0; i < 200; ++i) {
    const TFaultStep x = a.Next(), y = b.Next(), z = other.Next();
    ASSERT_EQ(x.kind, y.kind) << i;
    ASSERT_EQ(x.variant, y.variant) << i;
    ASSERT_EQ(x.amount, y.amount) << i;
    ASSERT_EQ(x.calmMs, y.calmMs) << i;
    differences += x.kind != z.kind;
  }
  EXPECT_GT(differences, 50);
}

TEST(FaultPlan, LongFaultsFollowEveryNthAndLeftOutKindsNeverCome) {
  TPlanOptions options;
  options.longEvery = 4;
  options.kinds = kAllFaults & ~FaultBit(TFaultKind::Stall) & ~FaultBit(TFaultKind::LinkTest);
  TFaultPlan plan(1, options);
  int shortOnes = 0, longOnes = 0;
  for (int i = 0; i < 500; ++i) {
    const TFaultStep step = plan.Next();
    EXPECT_NE(step.kind, TFaultKind::Stall);
    EXPECT_NE(step.kind, TFaultKind::LinkTest);
    EXPECT_GE(step.calmMs, options.calmMinMs);
    EXPECT_LE(step.calmMs, options.calmMaxMs);
    if (IsLongFault(step.kind)) {
      EXPECT_EQ(shortOnes, 4) << i;
      shortOnes = 0;
      ++longOnes;
    } else {
      ++shortOnes;
    }
  }
  EXPECT_EQ(longOnes, 100);
  options.longEvery = 0;
  TFaultPlan none(1, options);
  for (int i = 0; i < 200; ++i) EXPECT_FALSE(IsLongFault(none.Next().kind));
}

TEST(FaultPlan, NamesRoundTrip) {
  for (int i = 0; i < kFaultKinds; ++i) {
    TFaultKind kind;
    ASSERT_TRUE(FaultByName(FaultName(static_cast<TFaultKind>(i)), kind));
    EXPECT_EQ(kind, static_cast<TFaultKind>(i));
  }
  TFaultKind kind;
  EXPECT_FALSE(FaultByName("nonsense", kind));
}

// What the server sent, by connection, as its transcript saw it.
struct TTranscript {
  std::mutex mutex;
  std::vector<std::pair<std::uint32_t, std::string>> sent;
};

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    TServerOptions options;
    options.port = 0;
    options.transcript = [this](std::uint32_t session, const std::string& bytes) {
      std::lock_guard lock(transcript_.mutex);
      transcript_.sent.emplace_back(session, bytes);
    };
    server_ = std::make_unique<TKavrelServer>(options);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(client_.Connect(server_->Port()));
    ASSERT_TRUE(server_->WaitForConnection(kUpperBound));
  }
  TSessionEnd EndOf(std::uint32_t session) {
    TSessionEnd end = TSessionEnd::None;
    server_->WaitFor(
        [&](const TServerView& v) {
          end = v.state.EndOf(session);
          return end != TSessionEnd::None;
        },
        kUpperBound);
    const auto ends = server_->Records(TRecordKind::Disconnected);
    EXPECT_TRUE(!ends.empty() && ends.back().session == session && ends.back().end == end);
    return end;
  }

  TTranscript transcript_;
  std::unique_ptr<TKavrelServer> server_;
  TestClient client_;
};

TEST_F(Faults, FinishDeliversEverythingAndWaitsForTheClientToClose) {
  ASSERT_TRUE(server_->SendRaw(std::string(100000, 'a')));
  ASSERT_TRUE(server_->Finish(kUpperBound));
  EXPECT_FALSE(server_->SendRaw("x")) << "nothing goes out after the finish";
  ASSERT_TRUE(client_.Send(LoginRequest()));
  ASSERT_TRUE(server_->WaitForLogins(1, kUpperBound));
  EXPECT_EQ(client_.Read(100000 + 26).size(), 100000u) << "no login reply after the finish";
  EXPECT_EQ(client_.WaitEnd(), 0);
  EXPECT_TRUE(server_->Connected()) << "the server waits for the client";
  client_.Tcp().Close();
  EXPECT_EQ(EndOf(1), TSessionEnd::ServerFinished);
}

TEST_F(Faults, FinishResetsAClientThatStays) {
  ASSERT_TRUE(server_->Finish(milliseconds(100)));
  EXPECT_EQ(EndOf(1), TSessionEnd::ServerReset);
}

TEST_F(Faults, AServerThatStoppedReadingGivesWayToTheClientComingBack) {
  server_->SetReading(false);
  // A completed injection proves the server thread has seen the switch.
  ASSERT_TRUE(server_->SendRaw("x"));
  ASSERT_EQ(client_.Read(1), "x");
  ASSERT_TRUE(client_.Send(LoginRequest()));
  TestClient again;
  ASSERT_TRUE(again.Connect(server_->Port()));
  EXPECT_EQ(EndOf(1), TSessionEnd::ClientGone);
  EXPECT_TRUE(server_->Records(TRecordKind::Login).empty());
  server_->SetReading(true);
  ASSERT_TRUE(again.Send(LoginRequest()));
  EXPECT_EQ(again.Read(25).size(), 25u);
  EXPECT_EQ(server_->Session(), 2u);
}

TEST_F(Faults, ALateLoginReplyGoesOutBeforeAnythingElse) {
  TLoginBehaviour late;
  late.replyDelay = milliseconds(300);
  server_->SetLoginBehaviour(late);
  ASSERT_TRUE(client_.Send(LoginRequest()));
  ASSERT_TRUE(server_->WaitForLogins(1, kUpperBound));
  EXPECT_TRUE(server_->WaitFor([](const TServerView& v) { return v.state.RepliedSession() == 0; },
                               milliseconds(0)));
  ASSERT_TRUE(server_->SendRaw("x"));
  const std::string got = client_.Read(26);
  ASSERT_EQ(got.size(), 26u);
  EXPECT_EQ(got[0], 43);
  EXPECT_EQ(got[25], 'x');
  EXPECT_TRUE(server_->WaitFor([](const TServerView& v) { return v.state.RepliedSession() == 1; },
                               kUpperBound));
}

TEST_F(Faults, SlowReadsStillFrameEveryMessage) {
  server_->SetReadPace(3, milliseconds(1));
  ASSERT_TRUE(client_.Send(LoginRequest() + Bytes({18})));
  EXPECT_EQ(client_.Read(25 + 13).size(), 38u);
  EXPECT_EQ(server_->Records(TRecordKind::Login).size(), 1u);
}

TEST_F(Faults, ConnectionsAreNumberedInRecordsInjectionsAndTranscript) {
  std::uint32_t session = 0;
  ASSERT_TRUE(server_->SendRaw("a", &session));
  EXPECT_EQ(session, 1u);
  ASSERT_EQ(client_.Read(1), "a");
  ASSERT_TRUE(server_->Reset());
  EXPECT_FALSE(server_->SendRaw("lost", &session));
  EXPECT_EQ(session, 0u);
  TestClient second;
  ASSERT_TRUE(second.Connect(server_->Port()));
  ASSERT_TRUE(server_->WaitForConnection(kUpperBound));
  ASSERT_TRUE(server_->SendRaw("b", &session));
  EXPECT_EQ(session, 2u);
  EXPECT_EQ(EndOf(1), TSessionEnd::ServerReset);
  const auto connected = server_->Records(TRecordKind::Connected);
  ASSERT_EQ(connected.size(), 2u);
  EXPECT_EQ(connected[1].session, 2u);
  std::lock_guard lock(transcript_.mutex);
  EXPECT_EQ(transcript_.sent,
            (std::vector<std::pair<std::uint32_t, std::string>>{{1, "a"}, {2, "b"}}));
}

TEST(SessionRecorder, OneFilePerConnectionCutAtItsLimit) {
  const auto dir = std::filesystem::temp_directory_path() / "kvsim_recorder_test";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  TSessionRecorder recorder(dir.string(), 5);
  recorder.Sent(1, "ab");
  recorder.Sent(1, "cdef");
  recorder.Sent(3, "x");
  auto read = [](const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(read(recorder.FileName(1)), "abcde");
  EXPECT_EQ(read(recorder.FileName(3)), "x");
  EXPECT_EQ(std::filesystem::path(recorder.FileName(3)).filename(), "session-00003.bin");
  std::filesystem::remove_all(dir);
}

}  // namespace
