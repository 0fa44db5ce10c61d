#include "ClientHarness.h"

#include <limits>

#include "kvsim/SimRecords.h"
#include "protocol/CommandCatalogue.h"

namespace kv::test {
namespace {

using LoginTest = ClientHarness;

TEST_F(LoginTest, RequestCarriesCutLoginPasswordAndVersion) {
  client_->Settings().Login = std::string(45, 'L');
  client_->Settings().Password = std::string(25, 'p');
  ASSERT_TRUE(Worker().KVConnect());
  auto logins = server_.Records(sim::TRecordKind::Login);
  ASSERT_EQ(logins.size(), 1u);
  const std::string& bytes = logins[0].bytes;
  ASSERT_EQ(bytes.size(), 72u);
  std::string expected(72, '\0');
  expected[0] = 42;
  expected[1] = 2;
  expected.replace(2, 39, std::string(39, 'L'));
  expected.replace(42, 19, std::string(19, 'p'));
  expected[62] = 1;
  expected[63] = 1;
  expected[64] = 4;
  EXPECT_EQ(bytes, expected);
}

TEST_F(LoginTest, LargestTimeoutStillWaitsForTheReply) {
  // The reply wait counts polls of 10 ms: timeoutSec * 100 of them.
  client_->Settings().TimeoutSec = std::numeric_limits<std::int32_t>::max();
  ASSERT_TRUE(Worker().KVConnect());
  EXPECT_TRUE(client_->IsConnected());
}

TEST_F(LoginTest, SuccessLogsTheConnectionAndTheLogin) {
  client_->Settings().Password = "secret";
  ASSERT_TRUE(Worker().KVConnect());
  EXPECT_TRUE(client_->IsConnected());
  EXPECT_EQ(client_->ClientID(), 1);
  auto connected = log_.Starting("INFO\tПодключение к серверу ОК\t127.0.0.1:"_cp);
  ASSERT_EQ(connected.size(), 1u);
  EXPECT_NE(connected[0].find(" --> 127.0.0.1:" + std::to_string(server_.Port()) +
                              Cp(" таймаут 2 сек"_cp)),
            std::string::npos);
  auto loggedIn =
      log_.Starting("INFO\tРегистрация на сервере версии 4.0 ОК\tID=1, время регистрации="_cp);
  ASSERT_EQ(loggedIn.size(), 1u);
  EXPECT_NE(loggedIn[0].find(Cp(" [в буфере 25 байт]"_cp)), std::string::npos);
}

TEST_F(LoginTest, RefusalIsLoggedWithoutThePassword) {
  sim::TLoginBehaviour login;
  login.fields.clientId = -1;
  login.fields.resultCode = 1;
  server_.SetLoginBehaviour(login);
  client_->Settings().Password = "secret";
  EXPECT_FALSE(Worker().KVConnect());
  EXPECT_FALSE(client_->IsConnected());
  auto refused = log_.Starting("ERROR\tОтказано в регистрации на сервере Kavrel: "_cp);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0], "ERROR\tОтказано в регистрации на сервере Kavrel: "_cp.data() +
                            RefusalText(1) + Cp("\tЛогин=CFG Пароль=***"_cp));
  // Logged in its own words: no second connect error line.
  EXPECT_TRUE(log_.Starting("ERROR\tПодключение к основному серверу"_cp).empty());
}

TEST_F(LoginTest, OldServerIsRefusedAndRetriedAfterTheGate) {
  sim::TLoginBehaviour login;
  login.fields.versionMajor = 3;
  server_.SetLoginBehaviour(login);
  EXPECT_FALSE(Worker().KVConnect());
  EXPECT_TRUE(
      log_.Has("ERROR\tРегистрация невозможна ! Требуется сервер версии 4.0 или старше !"_cp));
  std::string line = Cp("ERROR\tПодключение к основному серверу 127.0.0.1:"_cp) +
                     std::to_string(server_.Port()) +
                     Cp("\tТребуется сервер версии 4.0 или старше !"_cp);
  EXPECT_TRUE(log_.Has(line));
  // The 60-second gate counts from the sent request.
  EXPECT_FALSE(Worker().KVConnect());
  EXPECT_EQ(server_.Records(sim::TRecordKind::Login).size(), 1u);
  clock_.Advance(59999);
  EXPECT_FALSE(Worker().KVConnect());
  clock_.Advance(1);
  EXPECT_FALSE(Worker().KVConnect());
  EXPECT_TRUE(server_.WaitForLogins(2, 5s));
}

TEST_F(LoginTest, ClientIdZeroIsAcceptedButNotLoggedIn) {
  sim::TLoginBehaviour login;
  login.fields.clientId = 0;
  server_.SetLoginBehaviour(login);
  EXPECT_TRUE(Worker().KVConnect());
  EXPECT_FALSE(client_->IsConnected());
  EXPECT_EQ(log_.Starting("INFO\tРегистрация на сервере версии 4.0 ОК\tID=0,"_cp).size(), 1u);
  clock_.Advance(60000);
  EXPECT_TRUE(Worker().KVConnect());
  EXPECT_TRUE(server_.WaitForLogins(2, 5s));
}

TEST_F(LoginTest, ShortReplyGivesOneLineWithTheCount) {
  sim::TLoginBehaviour login;
  login.mode = sim::TLoginMode::Short;
  login.shortLength = 7;
  server_.SetLoginBehaviour(login);
  EXPECT_FALSE(Worker().KVConnect());
  auto messages = log_.Messages();
  ASSERT_EQ(messages.size(), 2u);  // the connection line and this one
  EXPECT_EQ(messages[1],
            Cp("ERROR\tСервер не ответил на регистрацию в течении=2 сек. [в буфере 7 байт]"_cp));
}

TEST_F(LoginTest, WrongStructureIdNamesItInTheConnectError) {
  sim::TLoginBehaviour login;
  login.mode = sim::TLoginMode::WrongId;
  login.wrongId = 44;
  server_.SetLoginBehaviour(login);
  EXPECT_FALSE(Worker().KVConnect());
  std::string line = Cp("ERROR\tПодключение к основному серверу 127.0.0.1:"_cp) +
                     std::to_string(server_.Port()) +
                     Cp("\tНеверный ответ сервера ! [structID=44 размер 25 байт]"_cp);
  EXPECT_TRUE(log_.Has(line));
}

TEST_F(LoginTest, ServerClosingBeforeTheReplyFailsTheAttempt) {
  sim::TLoginBehaviour login;
  login.mode = sim::TLoginMode::Close;
  server_.SetLoginBehaviour(login);
  EXPECT_FALSE(Worker().KVConnect());
  auto errors = log_.Starting("ERROR\tПодключение к основному серверу"_cp);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find(Cp("регистрация невозможна, сервер отключен: "_cp)), std::string::npos);
}

TEST_F(LoginTest, UnreachableServerLogsOnlyFiveAttempts) {
  std::uint16_t port = server_.Port();
  server_.Stop();
  client_->Settings().Port = port;
  for (int i = 0; i < 8; ++i) {
    EXPECT_FALSE(Worker().KVConnect());
    EXPECT_FALSE(Worker().KVConnect());  // paced: no second attempt within a second
    clock_.Advance(1000);
  }
  auto errors = log_.Starting("ERROR\tПодключение к основному серверу 127.0.0.1:"_cp);
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(errors[0], Cp("ERROR\tПодключение к основному серверу 127.0.0.1:"_cp) +
                           std::to_string(port) + "\t" + Cp("ошибка TCP/IP: "_cp) +
                           SocketErrorText(10061));
}

}  // namespace
}  // namespace kv::test
