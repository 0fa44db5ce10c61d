#include "ClientHarness.h"

namespace kv::test {
namespace {

// A server that numbers channels from 2: the first channel it numbers gets
// the number the client handed out to the second.
class NumberingTest : public ClientHarness {
 protected:
  NumberingTest() : ClientHarness(true, FromTwo()) {}
  static sim::TServerOptions FromTwo() {
    sim::TServerOptions options = DefaultOptions();
    options.firstNumber = 2;
    return options;
  }
};

TEST_F(NumberingTest, ServerNumbersWinOverTheClientsOwnAndTheLaterOneWins) {
  for (const char* addr : {"A", "B"}) {
    ASSERT_TRUE(client_->RegisterChannel({.Addr = addr, .Type = 5, .WriteEnable = true}));
    ASSERT_TRUE(client_->RegisterValueByID(addr, 0, 45000.0, Variant::FromDouble(1)));
  }
  LogIn();
  auto valueArrived = [&](const char* addr) {
    std::optional<sim::TSimChannel> seen = server_.Channel(addr);
    return seen && seen->values == 1;
  };
  ASSERT_TRUE(PumpUntil([&] { return valueArrived("A") && valueArrived("B"); }));
  EXPECT_EQ(client_->Channels().CopyByNumber(2)->Addr(), "A");

  sim::TChannelChange twice;
  twice.addr = "B";
  twice.number = 2;
  ASSERT_TRUE(server_.SendChannelChange(twice));
  std::string lost =
      Cp("ERROR\tСервер дал номер 2 каналу \"B\", канал \"A\" остался без номера."_cp);
  ASSERT_TRUE(PumpUntil([&] { return log_.Has(lost); }));
  EXPECT_EQ(client_->Channels().CopyByNumber(2)->Addr(), "B");
  EXPECT_EQ(client_->Channels().CopyByAddress("A")->Number(), 0u);

  // After a new login A is registered again, but its value waits: values
  // travel by number. B, behind it, shows the pass went out.
  ASSERT_TRUE(server_.Drop());
  ASSERT_TRUE(PumpUntil([&] { return !client_->IsConnected(); }));
  Worker().DropConnection();
  LogIn();
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("B")->registrations == 2; }));
  // A value record by number 0 would be one the server cannot read.
  EXPECT_TRUE(server_.Records(sim::TRecordKind::ProtocolError).empty());
}

}  // namespace
}  // namespace kv::test
