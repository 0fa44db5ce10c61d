#include "ClientHarness.h"

namespace kv::test {
namespace {

using LinkTest = ClientHarness;

TEST_F(LinkTest, SilentLinkGetsAStatusRequestAndTheAnswerClearsIt) {
  LogIn();
  EXPECT_TRUE(client_->KVTest());
  EXPECT_FALSE(client_->StatusRequestPending());
  clock_.Advance(60001);
  EXPECT_TRUE(client_->KVTest());
  EXPECT_TRUE(client_->StatusRequestPending());
  ASSERT_TRUE(server_.WaitForRecords(sim::TRecordKind::StatusRequest, 1, 5s));
  ASSERT_TRUE(PumpUntil([&] { return !client_->StatusRequestPending(); }));
  EXPECT_TRUE(client_->KVTest());
}

TEST_F(LinkTest, NoAnswerFailsTimeoutPlus60SecondsAfterTheLastCommand) {
  server_.SetAnswerStatus(false);
  client_->Settings().DebugLog = true;
  LogIn();
  clock_.Advance(60001);
  EXPECT_TRUE(client_->KVTest());
  EXPECT_TRUE(log_.Has("DEBUG\tSend status: request"));
  clock_.Advance(2000 - 1);  // Timeout is 2 s: 62 000 ms after the last command
  EXPECT_TRUE(client_->KVTest());
  clock_.Advance(1);
  EXPECT_FALSE(client_->KVTest());
  EXPECT_TRUE(log_.Has("DEBUG\tSend status: no answer"));
  EXPECT_FALSE(client_->StatusRequestPending());
}

TEST_F(LinkTest, PendingRequestSurvivesAReconnect) {
  server_.SetAnswerStatus(false);
  LogIn();
  clock_.Advance(60001);
  EXPECT_TRUE(client_->KVTest());
  client_->DropConnection();
  ASSERT_TRUE(client_->KVConnect());
  EXPECT_TRUE(client_->StatusRequestPending());
  clock_.Advance(62000);
  EXPECT_TRUE(client_->KVTest());
  clock_.Advance(1);
  EXPECT_FALSE(client_->KVTest());
  EXPECT_EQ(server_.Records(sim::TRecordKind::StatusRequest).size(), 1u);
}

TEST_F(LinkTest, NotLoggedInFailsAtOnce) {
  client_->Settings().DebugLog = true;
  EXPECT_FALSE(client_->KVTest());
  EXPECT_TRUE(log_.Has("DEBUG\tKVTest() no connection !"));
}

}  // namespace
}  // namespace kv::test
