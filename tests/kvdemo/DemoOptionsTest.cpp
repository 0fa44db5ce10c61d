#include <gtest/gtest.h>

#include "DemoOptions.h"

namespace kv::demo {
namespace {

bool Parse(std::vector<std::string> args, TDemoOptions& options, std::string& error) {
  return ParseOptions(args, options, error);
}

TEST(DemoOptionsParse, DefaultsRunTheBuiltInServerForThreeSeconds) {
  TDemoOptions o;
  std::string error;
  ASSERT_TRUE(Parse({}, o, error));
  EXPECT_TRUE(o.ownServer);
  EXPECT_EQ(o.seconds, 3);
  EXPECT_FALSE(o.debug);
  EXPECT_TRUE(o.logPath.empty());
}

TEST(DemoOptionsParse, AllOptionsTogether) {
  TDemoOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--debug", "--server", "kavrel.local:3000", "--seconds", "0", "--login", "op",
                     "--password", "x y", "--log", "k.log"},
                    o, error))
      << error;
  EXPECT_FALSE(o.ownServer);
  EXPECT_EQ(o.host, "kavrel.local");
  EXPECT_EQ(o.port, 3000);
  EXPECT_EQ(o.seconds, 0);
  EXPECT_TRUE(o.debug);
  EXPECT_EQ(o.login, "op");
  EXPECT_EQ(o.password, "x y");
  EXPECT_EQ(o.logPath, "k.log");
}

TEST(DemoOptionsParse, PortIsAfterTheLastColonAndInRange) {
  TDemoOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--server", "10.0.0.5:65535"}, o, error));
  EXPECT_EQ(o.port, 65535);
  ASSERT_TRUE(Parse({"--server", "a:b:1"}, o, error));
  EXPECT_EQ(o.host, "a:b");
  EXPECT_EQ(o.port, 1);
  for (const char* bad : {"host", "host:", ":3000", "host:0", "host:65536", "host:30x0", "host:-1",
                          "host:+80", "host:99999999999999"}) {
    error.clear();
    EXPECT_FALSE(Parse({"--server", bad}, o, error)) << bad;
    EXPECT_NE(error.find("HOST:PORT"), std::string::npos) << bad;
  }
}

TEST(DemoOptionsParse, AListOfServersSharesTheFirstPort) {
  TDemoOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--server", "main:3000;reserve:3001;;other"}, o, error)) << error;
  EXPECT_EQ(o.host, "main;reserve:3001;other");
  EXPECT_EQ(o.port, 3000);
  EXPECT_EQ(o.servers, "main:3000;reserve:3001;;other");
  for (const char* bad :
       {"main;reserve:3001", "main:1;reserve:0", "main:1;:5", "a:1;b;c;d;e;f;g;h;i"}) {
    error.clear();
    EXPECT_FALSE(Parse({"--server", bad}, o, error)) << bad;
    EXPECT_NE(error.find("HOST:PORT"), std::string::npos) << bad;
  }
}

TEST(DemoOptionsParse, RefusesBadSecondsMissingValuesAndUnknownOptions) {
  TDemoOptions o;
  std::string error;
  for (const char* bad : {"-1", "3601", "2.5", "", "three"})
    EXPECT_FALSE(Parse({"--seconds", bad}, o, error)) << bad;
  EXPECT_TRUE(Parse({"--seconds", "3600"}, o, error));
  EXPECT_FALSE(Parse({"--seconds"}, o, error));
  EXPECT_EQ(error, "--seconds needs a value");
  EXPECT_FALSE(Parse({"--server"}, o, error));
  EXPECT_FALSE(Parse({"--sec", "1"}, o, error));
  EXPECT_EQ(error, "unknown option \"--sec\"");
  TDemoOptions help;
  EXPECT_TRUE(Parse({"--help"}, help, error));
  EXPECT_TRUE(help.help);
}

}  // namespace
}  // namespace kv::demo
