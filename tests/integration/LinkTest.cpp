#include "ClientHarness.h"

namespace kv::test {
namespace {

using LinkTest = ClientHarness;

TEST_F(LinkTest, SilentLinkGetsAStatusRequestAndTheAnswerClearsIt) {
  LogIn();
  EXPECT_TRUE(Worker().KVTest());
  EXPECT_FALSE(Worker().StatusRequestPending());
  clock_.Advance(60001);
  EXPECT_TRUE(Worker().KVTest());
  EXPECT_TRUE(Worker().StatusRequestPending());
  ASSERT_TRUE(server_.WaitForRecords(sim::TRecordKind::StatusRequest, 1, 5s));
  ASSERT_TRUE(PumpUntil([&] { return !Worker().StatusRequestPending(); }));
  EXPECT_TRUE(Worker().KVTest());
}

TEST_F(LinkTest, NoAnswerFailsTimeoutPlus60SecondsAfterTheLastCommand) {
  server_.SetAnswerStatus(false);
  client_->Settings().DebugLog = true;
  LogIn();
  clock_.Advance(60001);
  EXPECT_TRUE(Worker().KVTest());
  EXPECT_TRUE(log_.Has("DEBUG\tSend status: request"));
  clock_.Advance(2000 - 1);  // Timeout is 2 s: 62 000 ms after the last command
  EXPECT_TRUE(Worker().KVTest());
  clock_.Advance(1);
  EXPECT_FALSE(Worker().KVTest());
  EXPECT_TRUE(log_.Has("DEBUG\tSend status: no answer"));
  EXPECT_FALSE(Worker().StatusRequestPending());
}

TEST_F(LinkTest, PendingRequestSurvivesAReconnect) {
  server_.SetAnswerStatus(false);
  LogIn();
  clock_.Advance(60001);
  EXPECT_TRUE(Worker().KVTest());
  Worker().DropConnection();
  ASSERT_TRUE(Worker().KVConnect());
  EXPECT_TRUE(Worker().StatusRequestPending());
  clock_.Advance(62000);
  EXPECT_TRUE(Worker().KVTest());
  clock_.Advance(1);
  EXPECT_FALSE(Worker().KVTest());
  EXPECT_EQ(server_.Records(sim::TRecordKind::StatusRequest).size(), 1u);
}

TEST_F(LinkTest, NotLoggedInFailsAtOnce) {
  client_->Settings().DebugLog = true;
  EXPECT_FALSE(Worker().KVTest());
  EXPECT_TRUE(log_.Has("DEBUG\tKVTest() no connection !"));
}

}  // namespace
}  // namespace kv::test
