#include "client/ServerList.h"

#include <gtest/gtest.h>

#include "runtime/Codepage.h"

namespace kv {
namespace {

std::string Hosts(const ServerListText& list) {
  std::string out;
  for (const ServerEntry& e : list.Entries)
    out += e.Host + ":" + std::to_string(e.Port) + "/" + std::to_string(e.LogPort) + " ";
  return out;
}

TEST(ServerListParse, EntriesTrimmedWithTheirOwnPortsOrTheArgument) {
  ServerListText list = ParseServerList(" 10.0.0.5 ;;\t10.0.0.6 : 3001;kavrel-reserve; ", 3000);
  EXPECT_EQ(Hosts(list), "10.0.0.5:3000/3000 10.0.0.6:3001/3001 kavrel-reserve:3000/3000 ");
  EXPECT_EQ(list.Ignored, "");
  // One entry without a port is the text as it always was: the log shows
  // the whole port argument, the connection its low 16 bits.
  list = ParseServerList("kavrel", 70000);
  EXPECT_EQ(Hosts(list), "kavrel:4464/70000 ");
}

TEST(ServerListParse, LeavesOutBadPortsMissingNamesAndEntriesBeyondEight) {
  ServerListText list =
      ParseServerList("a:0;b:65536;c:x;:5;d:+1;h1;h2;h3;h4;h5;h6;h7;h8;h9:65535", 3000);
  ASSERT_EQ(list.Entries.size(), kMaxServers);
  EXPECT_EQ(list.Entries.front().Host, "h1");
  EXPECT_EQ(list.Entries.back().Host, "h8");
  EXPECT_EQ(list.Ignored,
            "a:0 (неверный порт); b:65536 (неверный порт); c:x (неверный порт); "
            ":5 (нет имени сервера); d:+1 (неверный порт); "
            "h9:65535 (больше 8 серверов)"_cp.data());
  // Nothing usable: one entry with an empty host, as an empty text gives.
  list = ParseServerList(" ; host:99999 ", 3000);
  EXPECT_EQ(Hosts(list), ":3000/3000 ");
  EXPECT_EQ(list.Ignored, "host:99999 (неверный порт)"_cp.data());
  EXPECT_EQ(Hosts(ParseServerList("", 3000)), ":3000/3000 ");
}

TEST(ServerListOrder, FailuresMoveOnGatesAndPacingHoldServersBack) {
  TServerList servers(ParseServerList("main;r1;r2", 3000).Entries);
  std::uint32_t now = 5000;
  auto attempt = [&](std::size_t expected, bool loginSent) {
    ASSERT_EQ(servers.Next(now), expected);
    servers.Begin(expected, now);
    if (loginSent) servers.LoginSent(expected, now);
    servers.Failed(expected);
  };
  attempt(0, false);
  attempt(1, true);  // r1 refused the login: 60 s gate
  attempt(2, false);
  // The round is over: main and r2 wait their second, r1 its minute.
  EXPECT_FALSE(servers.Next(now));
  EXPECT_EQ(servers.Due(now), 1000u);
  now += 1000;
  attempt(0, false);
  attempt(2, false);  // r1 skipped
  now += 59000;
  EXPECT_EQ(servers.Next(now), 0u);
  servers.Begin(0, now);
  servers.Failed(0);
  attempt(1, false);  // its gate is open again
  EXPECT_EQ(servers.Next(now), 2u);

  // Logged in at r2; the lost link starts from the main server again, or
  // the first that may be tried.
  servers.Begin(2, now);
  EXPECT_TRUE(servers.LoggedIn(2));
  servers.Lost();
  EXPECT_EQ(servers.Next(now), 2u);  // main and r1 wait their second
  now += 1000;
  EXPECT_EQ(servers.Next(now), 0u);
  servers.Begin(0, now);
  EXPECT_TRUE(servers.LoggedIn(0));
  EXPECT_FALSE(servers.LoggedIn(0));
}

}  // namespace
}  // namespace kv
