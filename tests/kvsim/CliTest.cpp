// The command-line program's options and commands, and its terminal texts.
#include "kvsim/Cli.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "TestClient.h"
#include "kvsim/Describe.h"
#include "kvsim/EventOutput.h"
#include "runtime/Utf8.h"
#include "values/DataTypes.h"

namespace {

using namespace kv;
using namespace kv::sim;
using namespace kvsim_test;

TEST(CliOptions, EveryOptionTakesEffect) {
  TCliOptions options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--host",
                            "0.0.0.0",
                            "--port",
                            "4000",
                            "--client-id",
                            "-5",
                            "--version",
                            "3.7",
                            "--no-activate",
                            "--once",
                            "--faults",
                            "--seed",
                            "99",
                            "--without",
                            "stall",
                            "--long-every",
                            "7",
                            "--client-timeout",
                            "3",
                            "--record",
                            "dir"},
                           options, error))
      << error;
  EXPECT_TRUE(options.faults);
  EXPECT_EQ(options.fault.seed, 99u);
  EXPECT_EQ(options.fault.plan.kinds, kAllFaults & ~FaultBit(TFaultKind::Stall));
  EXPECT_EQ(options.fault.plan.longEvery, 7);
  EXPECT_EQ(options.fault.plan.clientTimeoutMs, 3000);
  EXPECT_EQ(options.recordDir, "dir");
  // Outside its faults the fault mode answers as the server was told to.
  EXPECT_EQ(options.fault.login.fields.clientId, -5);
  EXPECT_EQ(options.fault.activation, TActivation::Off);
  EXPECT_EQ(options.server.host, "0.0.0.0");
  EXPECT_EQ(options.server.port, 4000);
  EXPECT_EQ(options.server.protocol.login.fields.clientId, -5);
  EXPECT_EQ(options.server.protocol.login.fields.versionMajor, 3);
  EXPECT_EQ(options.server.protocol.login.fields.versionMinor, 7);
  EXPECT_EQ(options.server.protocol.activation, TActivation::Off);
  EXPECT_TRUE(options.once);
}

TEST(CliOptions, DefaultsAndMajorOnlyVersion) {
  TCliOptions options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--version", "5"}, options, error));
  EXPECT_EQ(options.server.host, "127.0.0.1");
  EXPECT_EQ(options.server.port, 3000);
  EXPECT_EQ(options.server.protocol.activation, TActivation::Immediate);
  EXPECT_EQ(options.server.protocol.login.fields.versionMajor, 5);
  EXPECT_EQ(options.server.protocol.login.fields.versionMinor, 0);
}

TEST(CliOptions, BadInputIsRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "70000"},         {"--port", "12x"},        {"--port"},
      {"--version", "4.256"},      {"--client-id", ""},      {"--what"},
      {"--without", "everything"}, {"--client-timeout", "0"}};
  for (const auto& args : bad) {
    TCliOptions options;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, options, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(CliOptions, IntegratorOptionsAndImpossibleCombinations) {
  TCliOptions options;
  std::string error;
  ASSERT_TRUE(ParseOptions(
      {"--json", "--quiet", "--channel", "Plant.*", "--channel", "X", "--login", "op", "--password",
       "pw", "--refuse", "3", "--clients", "4", "--script", "s.kvs", "--port-file", "p.txt"},
      options, error))
      << error;
  EXPECT_TRUE(options.output.json);
  EXPECT_TRUE(options.output.quiet);
  EXPECT_TRUE(options.output.tagClients);
  EXPECT_EQ(options.output.channels, (std::vector<std::string>{"Plant.*", "X"}));
  EXPECT_EQ(options.server.protocol.login.requiredLogin, "op");
  EXPECT_EQ(options.server.protocol.login.requiredPassword, "pw");
  EXPECT_EQ(options.server.protocol.login.refuseCode, 3);
  EXPECT_EQ(options.fault.login.refuseCode, 3);
  EXPECT_EQ(options.clients, 4);
  EXPECT_EQ(options.scriptFile, "s.kvs");
  EXPECT_EQ(options.portFile, "p.txt");
  const std::vector<std::vector<std::string>> bad = {{"--refuse", "256"},
                                                     {"--clients", "0"},
                                                     {"--faults", "--clients", "2"},
                                                     {"--replay", "r.rec", "--faults"}};
  for (const auto& args : bad) {
    TCliOptions refused;
    EXPECT_FALSE(ParseOptions(args, refused, error)) << args[0];
  }
}

TEST(CliCommands, WithoutClient) {
  TServerOptions options;
  options.port = 0;
  TKavrelServer server(options);
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(RunCommand(server, "quit").quit);
  EXPECT_FALSE(RunCommand(server, "   ").quit);
  EXPECT_EQ(RunCommand(server, "time").text, "not sent: no client connected");
  EXPECT_EQ(RunCommand(server, "drop").text, "no client connected");
  EXPECT_EQ(RunCommand(server, "bogus 1").text, "unknown command (try help): bogus");
  EXPECT_EQ(RunCommand(server, "control A1").text, "error: missing arguments (try help)");
  EXPECT_EQ(RunCommand(server, "controln x 5").text, "error: not a channel number: x");
  EXPECT_EQ(RunCommand(server, "raw 123").text, "error: not hexadecimal bytes: 123");
  EXPECT_EQ(RunCommand(server, "channels").text, "no channels");
}

class CliWithClient : public ::testing::Test {
 protected:
  void SetUp() override {
    TServerOptions options;
    options.port = 0;
    server_ = std::make_unique<TKavrelServer>(options);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(client_.Connect(server_->Port()));
    ASSERT_TRUE(server_->WaitForConnection(kUpperBound));
  }
  // Registers A1 as Int2 and consumes the answer.
  void RegisterInt2() {
    ASSERT_TRUE(client_.Send(
        Bytes({0x33, 0x0D, 0x00, 0x82, 0x00, 0x02, 0x00, 'A', '1', 0x02, 0x00, 0, 0})));
    ASSERT_EQ(client_.Read(14).size(), 14u);
  }

  std::unique_ptr<TKavrelServer> server_;
  TestClient client_;
};

TEST_F(CliWithClient, ControlTakesTheRegisteredType) {
  RegisterInt2();
  EXPECT_EQ(RunCommand(*server_, "control a1 -3").text, "sent");
  // 3 + flags 1 + address 4 + double 8 + quality 1 + type 2 + Int2 2 + owner 2
  const std::string got = client_.Read(23);
  ASSERT_EQ(got.size(), 23u);
  EXPECT_EQ(got.substr(0, 8), Bytes({0x39, 23, 0, 0x0C, 0x02, 0x00, 'a', '1'}));
  EXPECT_EQ(got.substr(16), Bytes({0x00, 0x02, 0x00, 0xFD, 0xFF, 0x00, 0x00}));

  EXPECT_EQ(RunCommand(*server_, "controln 1 7").text, "sent");
  const std::string byNumber = client_.Read(23);
  ASSERT_EQ(byNumber.size(), 23u);
  EXPECT_EQ(byNumber.substr(0, 8), Bytes({0x39, 23, 0, 0x0D, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(byNumber.substr(17, 4), Bytes({0x02, 0x00, 0x07, 0x00}));
}

TEST_F(CliWithClient, UnconvertibleValueForKnownTypeIsNotSent) {
  RegisterInt2();
  const std::string text = RunCommand(*server_, "control A1 many").text;
  EXPECT_EQ(text.rfind("error: ", 0), 0u) << text;
  ASSERT_TRUE(server_->SendRaw("z"));
  EXPECT_EQ(client_.Read(1), "z");
}

TEST_F(CliWithClient, UnknownChannelGetsNumberOrText) {
  const TControl number = ControlFor(*server_, false, "ZZ", "7");
  EXPECT_EQ(number.type, dtFloat8);
  EXPECT_EQ(number.value.ToDouble(), 7.0);
  const TControl text = ControlFor(*server_, false, "ZZ", "on off");
  EXPECT_EQ(text.type, dtString);
  EXPECT_EQ(text.value.ToAnsi(), "on off");
  EXPECT_EQ(RunCommand(*server_, "control ZZ on off").text, "sent");
  // 3 + flags 1 + address 4 + double 8 + quality 1 + type 2 + text 8 + owner 2
  const std::string got = client_.Read(29);
  ASSERT_EQ(got.size(), 29u);
  EXPECT_EQ(got.substr(16),
            Bytes({0x00, 0x00, 0x01, 0x06, 0x00, 'o', 'n', ' ', 'o', 'f', 'f', 0x00, 0x00}));
}

TEST_F(CliWithClient, ControlOptionsAndTheDecimalPoint) {
  EXPECT_EQ(RunCommand(*server_, "control ZZ 12,5").text,
            "error: '12,5' is not a number (write the decimal point as '.', or give type String)");
  EXPECT_EQ(RunCommand(*server_, "control ZZ 7 type Int2 quality 5 time 1900-01-01T12:00").text,
            "sent");
  // 3 + flags 1 + address 4 + double 8 + quality 1 + type 2 + Int2 2 + owner 2
  const std::string got = client_.Read(23);
  ASSERT_EQ(got.size(), 23u);
  EXPECT_EQ(got.substr(8), Bytes({0, 0, 0, 0, 0, 0, 0x04, 0x40, 5, 0x02, 0x00, 7, 0, 0, 0}));
  EXPECT_EQ(RunCommand(*server_, "control ZZ 1 quality 256").text,
            "error: bad quality (0 to 255): 256");
  // Quoted elements, the last one too, with blanks and commas inside.
  EXPECT_EQ(RunCommand(*server_, "control ZZ [\"a, b\", \"c d\"] type String[]").text, "sent");
}

TEST_F(CliWithClient, RawNoticeAndDrop) {
  EXPECT_EQ(RunCommand(*server_, "raw 17 00 ff").text, "sent");
  EXPECT_EQ(client_.Read(3), Bytes({0x17, 0x00, 0xFF}));
  EXPECT_EQ(RunCommand(*server_, "notice 15 9").text, "sent");
  const std::string notice = client_.Read(20);
  ASSERT_EQ(notice.size(), 20u);
  EXPECT_EQ(notice.substr(0, 2), Bytes({40, 15}));
  EXPECT_EQ(notice.substr(10, 4), Bytes({9, 0, 0, 0}));
  EXPECT_EQ(RunCommand(*server_, "statusreply 7").text, "sent");
  EXPECT_EQ(client_.Read(13), Bytes({100, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(RunCommand(*server_, "drop").text, "done");
  EXPECT_EQ(client_.WaitEnd(), 0);
}

TEST(TerminalText, Utf8BothWays) {
  const std::string ansi = "\xCF\xF0\xE8\xE2\xE5\xF2, \xA8\xE6";  // "Привет, Ёж" in Windows-1251
  EXPECT_EQ(Utf8FromAnsi(ansi),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\x81\xD0\xB6");
  EXPECT_EQ(AnsiFromUtf8(Utf8FromAnsi(ansi)), ansi);
  // The euro sign is 0x88 in the code page; a CJK character is not there.
  EXPECT_EQ(AnsiFromUtf8("\xE2\x82\xAC"), "\x88");
  EXPECT_EQ(AnsiFromUtf8("a\xE4\xB8\xAD"
                         "b"),
            "a?b");
  EXPECT_EQ(AnsiFromUtf8("a\xD0"
                         "b"),
            "a?b")
      << "a cut sequence";
  EXPECT_EQ(AnsiFromUtf8("\xF0\x9F\x98\x80"), "?") << "outside the basic plane";
}

TEST(TerminalText, TimeStampedLinesFilteredByChannel) {
  std::ostringstream out, err;
  TOutputOptions options;
  options.channels = {"plant.*"};
  TEventOutput output(options, out, err);
  output.SetClock([] { return 2.5 + 1.0 / 86400000; });
  TReceivedRecord value;
  value.kind = TRecordKind::Value;
  value.value.flags = 1;
  value.value.number = 3;
  value.value.type = dtFloat8;
  value.value.value = Variant::FromDouble(12.5);
  value.channelNumber = 3;
  output.Received(1, value, "Plant.Level");
  output.Received(1, value, "Other.Level");
  output.Error("no such file");
  EXPECT_EQ(out.str(),
            "12:00:00.001 value 0 #3 \"Plant.Level\" 1899-12-30 00:00:00.000 quality 0 Float8 = "
            "12.5\n");
  EXPECT_EQ(err.str(), "kvsim: no such file\n");
}

TEST(TerminalText, DatesAndValues) {
  EXPECT_EQ(DateTimeText(2.5), "1900-01-01 12:00:00.000");
  EXPECT_EQ(ValueText(Variant()), "Empty");
  EXPECT_EQ(ValueText(Variant::FromAnsi("kPa")), "\"kPa\"");
  Variant array = CreateTypedArray(dtInt4, 2);
  array.SetElement(1, Variant(5));
  EXPECT_EQ(ValueText(array), "[0, 5]");
  EXPECT_EQ(ValueText(Variant::FromBoolean(true)), "true");
  // A Boolean arrives from the wire as a word; its data type says how to show it.
  EXPECT_EQ(ValueText(Variant::FromUInt16(0xFFFF), dtBoolean), "true");
  EXPECT_EQ(ValueText(Variant::FromUInt16(0), dtBoolean | dtArray), "false");
  EXPECT_EQ(ValueText(Variant::FromUInt16(0xFFFF), dtUInt2), "65535");
}

}  // namespace
