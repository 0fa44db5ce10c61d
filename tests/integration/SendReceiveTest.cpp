#include "ClientHarness.h"

#include "channels/OwnerId.h"
#include "kvsim/SimRecords.h"
#include "protocol/CommandCatalogue.h"

namespace kv::test {
namespace {

using SendTest = ClientHarness;
using ReceiveTest = ClientHarness;

TEST_F(SendTest, RegistrationCarriesTextAttributesAndEnumTexts) {
  LogIn();
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "A1",
                                        .Type = 3,
                                        .WriteEnable = true,
                                        .Comments = std::string("Комментарий"_cp),
                                        .Prefix = std::string("П"_cp),
                                        .Unit = "м3",
                                        .FormatString = "%d",
                                        .Description = std::string("Описание"_cp),
                                        .Signification = 9,
                                        .EnumTexts = "a\tb\t"}));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("A1").has_value(); }));
  std::optional<sim::TSimChannel> seen = server_.Channel("A1");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->type, 3);
  auto attribute = [&](std::uint16_t id) -> const sim::TSimAttribute* {
    for (const auto& a : seen->attributes)
      if (a.id == id) return &a;
    return nullptr;
  };
  ASSERT_TRUE(attribute(101));
  EXPECT_EQ(attribute(101)->value.ToAnsi(), Cp("Комментарий"_cp));
  ASSERT_TRUE(attribute(5009));
  EXPECT_EQ(attribute(5009)->value.ToInt32(), 9);
  ASSERT_TRUE(attribute(10));
  const Variant& texts = attribute(10)->value;
  ASSERT_TRUE(texts.IsArray());
  ASSERT_EQ(texts.ArrayCount(), 3);
  EXPECT_EQ(texts.GetElement(1).ToAnsi(), "b");
  EXPECT_EQ(texts.GetElement(2).ToAnsi(), "");
}

TEST_F(SendTest, ValuesWaitForActivationAndOnlyTheLatestGoesOut) {
  server_.SetActivation(sim::TActivation::Off);
  LogIn();
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "V", .Type = 5}));
  ASSERT_TRUE(client_->RegisterValueByID("V", 0, 45000.5, Variant::FromDouble(1.5)));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("V").has_value(); }));
  for (int i = 0; i < 20; ++i) Pass();
  EXPECT_EQ(server_.Channel("V")->values, 0);

  ASSERT_TRUE(client_->RegisterValueByID("V", 0, 45000.5, Variant::FromDouble(2.5)));
  ASSERT_TRUE(client_->RegisterValueByID("V", 0, 45000.6, Variant::FromDouble(3.5)));
  sim::TChannelChange activate;
  activate.addr = "V";
  activate.number = server_.Channel("V")->number;
  ASSERT_TRUE(server_.SendChannelChange(activate));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("V")->values > 0; }));
  for (int i = 0; i < 20; ++i) Pass();
  std::optional<sim::TSimChannel> seen = server_.Channel("V");
  EXPECT_EQ(seen->values, 1);
  EXPECT_EQ(seen->value.ToDouble(), 3.5);
  EXPECT_EQ(seen->dt, 45000.6);
}

// The debug line is written after the list is released, from a copy of the
// channel: the value's text still reads the state names and the quality's
// own text, and the attribute count is the channel's.
TEST_F(SendTest, DebugLineShowsTheValueAsTheChannelDoes) {
  client_->Settings().DebugLog = true;
  LogIn();
  ASSERT_TRUE(
      client_->RegisterChannel({.Addr = "E", .Type = 3, .Unit = "V", .EnumTexts = "off\ton"}));
  ASSERT_TRUE(client_->RegisterAttribute("E", 5105, 256, Variant::FromAnsi("broken")));
  ASSERT_TRUE(PumpUntil([&] { return client_->Channels().CopyByAddress("E")->Active(); }));
  const std::string number = std::to_string(server_.Channel("E")->number);
  const std::string start =
      Cp("DEBUG\tVALUE_TO_SERVER Addr=E №"_cp) + number + " Type=3 Active=" + Cp("ДА"_cp) + " DT=";
  auto lineEnds = [&](const std::string& end) {
    for (const std::string& line : log_.Starting(start))
      if (line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0)
        return true;
    return false;
  };
  ASSERT_TRUE(client_->RegisterValueByID("E", 0, 45000.5, Variant(1)));
  ASSERT_TRUE(PumpUntil([&] { return lineEnds(" Value=on AttrCount=4"); }));
  ASSERT_TRUE(client_->RegisterValueByID("E", 5, 45000.6, Variant(0)));
  EXPECT_TRUE(PumpUntil([&] { return lineEnds(" Value=broken AttrCount=4"); }));
}

TEST_F(SendTest, UnchangedValueIsRefusedAndBadQualityKeepsTheOldValue) {
  LogIn();
  RegisterActive("Q");
  ASSERT_TRUE(client_->RegisterValueByID("Q", 0, 45000.0, Variant::FromDouble(10)));
  EXPECT_FALSE(client_->RegisterValueByID("Q", 0, 45000.0, Variant::FromDouble(10)));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("Q")->values == 1; }));
  ASSERT_TRUE(client_->RegisterValueByID("Q", 5, 45000.1, Variant::FromDouble(99)));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("Q")->values == 2; }));
  std::optional<sim::TSimChannel> seen = server_.Channel("Q");
  EXPECT_EQ(seen->quality, 5);
  EXPECT_EQ(seen->value.ToDouble(), 10);
  // A quality of 256 keeps its low byte 0 but never counts as unchanged.
  ASSERT_TRUE(client_->RegisterValueByID("Q", 256, 45000.1, Variant::FromDouble(99)));
  std::unique_ptr<TChannel2> local = client_->Channels().CopyByAddress("Q");
  EXPECT_EQ(local->Quality(), 0);
  EXPECT_EQ(local->Value().ToDouble(), 10);
}

TEST_F(SendTest, ARecordThatCannotBeEncodedHoldsBackNoOtherChannel) {
  // Put into the list directly: the host's calls refuse such a channel.
  TChannel2 bad;
  bad.SetAddr("BAD");
  bad.SetAttribute(500, 256, Variant::FromAnsi(std::string(30000, 'x')), -1, 0);
  ASSERT_TRUE(client_->Channels().Add(&bad, true, true, ChannelField::All, true));
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "GOOD", .Type = 5}));
  LogIn();
  Pass();
  EXPECT_TRUE(server_.WaitForRegistration("GOOD", 5s));
  EXPECT_EQ(log_.Starting("ERROR\tTOpros2Thread::KVProcessSend "_cp).size(), 1u);
}

TEST_F(SendTest, AttributeOwnerFollowsTheLogin) {
  ClientOwnerID.store(-1);
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "O", .Type = 5}));
  ASSERT_TRUE(client_->RegisterAttribute("O", 400, 3, Variant(5)));
  sim::TLoginBehaviour login;
  login.fields.clientId = 65537;
  server_.SetLoginBehaviour(login);
  LogIn();
  ASSERT_TRUE(client_->RegisterAttribute("O", 401, 3, Variant(6)));
  std::unique_ptr<TChannel2> local = client_->Channels().CopyByAddress("O");
  EXPECT_EQ(local->FindAttribute(400)->Owner(), -1);
  EXPECT_EQ(local->FindAttribute(401)->Owner(), 1);
  EXPECT_FALSE(client_->RegisterAttribute("O", 0, 3, Variant(6)));
  EXPECT_FALSE(client_->RegisterAttribute("missing", 402, 3, Variant(6)));
}

TEST_F(SendTest, ReconnectResendsEveryChannelAndItsValue) {
  LogIn();
  RegisterActive("R1");
  RegisterActive("R2");
  ASSERT_TRUE(client_->RegisterValueByID("R1", 0, 45000.0, Variant::FromDouble(1)));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("R1")->values == 1; }));
  ASSERT_TRUE(server_.Drop());
  ASSERT_TRUE(PumpUntil([&] { return !client_->IsConnected(); }));
  Worker().DropConnection();
  LogIn();
  ASSERT_TRUE(PumpUntil([&] {
    return server_.Channel("R1")->registrations == 2 && server_.Channel("R2")->registrations == 2 &&
           server_.Channel("R1")->values == 2;
  }));
}

TEST_F(ReceiveTest, ControlsReachTheQueueByNumberAndByAddress) {
  LogIn();
  RegisterActive("C1");
  std::uint32_t number = client_->Channels().CopyByAddress("C1")->Number();
  sim::TControl byNumber;
  byNumber.byNumber = true;
  byNumber.number = number;
  byNumber.type = 5;
  byNumber.dt = 45000.25;
  byNumber.value = Variant::FromDouble(42);
  ASSERT_TRUE(server_.SendControl(byNumber));
  sim::TControl byAddress;
  byAddress.addr = "c1";  // addresses are case-insensitive
  byAddress.type = 3;
  byAddress.quality = 1;
  byAddress.value = Variant(7);
  ASSERT_TRUE(server_.SendControl(byAddress));
  ASSERT_TRUE(PumpUntil([&] { return client_->PendingControls() == 2; }));
  std::optional<ControlRequest> first = client_->PopControl();
  EXPECT_EQ(first->Number, number);
  EXPECT_EQ(first->Addr, "");
  EXPECT_EQ(first->DT, 45000.25);
  EXPECT_EQ(first->Value.ToDouble(), 42);
  std::optional<ControlRequest> second = client_->PopControl();
  EXPECT_EQ(second->Number, 0u);
  EXPECT_EQ(second->Addr, "c1");
  EXPECT_EQ(second->Quality, 1);
  EXPECT_FALSE(client_->PopControl());
}

TEST_F(ReceiveTest, ControlsForUnknownOrInactiveChannelsAreDropped) {
  server_.SetActivation(sim::TActivation::Inactive);
  LogIn();
  ASSERT_TRUE(client_->RegisterChannel({.Addr = "I", .Type = 5}));
  ASSERT_TRUE(PumpUntil([&] { return server_.Channel("I").has_value(); }));
  sim::TControl unknown;
  unknown.byNumber = true;
  unknown.number = 777;
  unknown.type = 5;
  unknown.value = Variant::FromDouble(1);
  ASSERT_TRUE(server_.SendControl(unknown));
  sim::TControl inactive;
  inactive.addr = "I";
  inactive.type = 5;
  inactive.value = Variant::FromDouble(1);
  ASSERT_TRUE(server_.SendControl(inactive));
  std::string notFound = Cp("ERROR\tRunParser2(cmd=57): канал №777 не найден"_cp);
  std::string notActive = Cp("ERROR\tRunParser2(cmd=57): канал \"I\" не активен"_cp);
  ASSERT_TRUE(PumpUntil([&] { return log_.Has(notFound) && log_.Has(notActive); }));
  EXPECT_EQ(client_->PendingControls(), 0u);
  EXPECT_TRUE(client_->IsConnected());
}

TEST_F(ReceiveTest, ControlsBeyondTheBoundAreRefusedWithOneLinePerOverflow) {
  client_->Settings().MaxWaitingControls = 2;
  LogIn();
  RegisterActive("C");
  // Controls, then a notice whose line shows they have all been handled.
  auto sendControls = [&](int count) {
    for (int k = 1; k <= count; ++k) {
      sim::TControl control;
      control.addr = "C";
      control.type = 3;
      control.value = Variant(k);
      ASSERT_TRUE(server_.SendControl(control));
    }
    log_.Clear();
    ASSERT_TRUE(server_.SendChannelNotice(0, 45000.0, 1));
    ASSERT_TRUE(PumpUntil([&] { return !log_.Starting("INFO\t"_cp).empty(); }));
  };
  const std::string refused =
      Cp("ERROR\tОчередь команд управления переполнена (2), отброшено команд: "_cp);
  sendControls(5);
  EXPECT_EQ(client_->PendingControls(), 2u);
  EXPECT_TRUE(log_.Starting(refused).empty());           // the overflow goes on
  EXPECT_EQ(client_->PopControl()->Value.ToInt32(), 1);  // the oldest are kept
  Pass();
  EXPECT_EQ(log_.Starting(refused), std::vector<std::string>{refused + "3"});
  EXPECT_EQ(client_->PopControl()->Value.ToInt32(), 2);
  // A second overflow, still going on when the worker ends.
  sendControls(3);
  client_->Resume();
  client_.reset();
  EXPECT_EQ(log_.Starting(refused), std::vector<std::string>{refused + "1"});
}

TEST_F(ReceiveTest, SplitCommandIsHandledOnceWhenComplete) {
  client_->Settings().DebugLog = true;
  LogIn();
  RegisterActive("S");
  TKavrelCmdParser packet;
  sim::TControl control;
  control.addr = "S";
  control.type = 5;
  control.value = Variant::FromDouble(3);
  sim::AppendControl(packet, control);
  std::string bytes(reinterpret_cast<const char*>(packet.Data()),
                    static_cast<std::size_t>(packet.Size()));
  log_.Clear();
  ASSERT_TRUE(server_.SendRaw(bytes.substr(0, 5)));
  ASSERT_TRUE(PumpUntil([&] { return Worker().RecvBuffer().Size() == 5; }));
  EXPECT_EQ(client_->PendingControls(), 0u);
  ASSERT_TRUE(server_.SendRaw(bytes.substr(5)));
  ASSERT_TRUE(PumpUntil([&] { return client_->PendingControls() == 1; }));
  EXPECT_EQ(log_.Starting("DEBUG\tполучена CMD2=57"_cp).size(), 2u);
}

TEST_F(ReceiveTest, IncompleteCommandDropsTheLinkAfter30Seconds) {
  LogIn();
  ASSERT_TRUE(
      server_.SendRaw(std::string("\x64\x00\x00\x00\x00\x12\x00\x00\x00\x00\x00\x00\x00", 13) +
                      std::string("\x39\x40\x00\x01", 4)));
  ASSERT_TRUE(PumpUntil([&] { return Worker().RecvBuffer().Size() == 4; }));
  clock_.Advance(29999);
  Pass();
  EXPECT_TRUE(client_->IsConnected());
  clock_.Advance(1);
  Pass();
  EXPECT_FALSE(client_->IsConnected());
  EXPECT_TRUE(
      log_.Has(Cp("ERROR\tНеполная команда cmd=57 ожидается более 30 сек., получено 4 байт. "
                  "Выполняем отключение от сервера."_cp)));
}

TEST_F(ReceiveTest, UnknownIdDisconnectsWithAHexDump) {
  LogIn();
  std::string junk(100, '\x07');
  junk[0] = '\xC8';
  ASSERT_TRUE(server_.SendRaw(junk));
  ASSERT_TRUE(PumpUntil([&] { return !client_->IsConnected(); }));
  EXPECT_TRUE(
      log_.Has(Cp("ERROR\tОт сервера пришла неизвестная команда ID=200 длина 100 байт. "
                  "Выполняем отключение от сервера."_cp)));
  EXPECT_TRUE(
      log_.Has(Cp("INFO\tПервые 20 байт команды: C8070707070707070707070707070707070707"
                  "07"_cp)));
}

TEST_F(ReceiveTest, ShortLengthWordDisconnectsInsteadOfStalling) {
  LogIn();
  ASSERT_TRUE(server_.SendRaw(std::string("\x3A\x02\x00", 3)));
  ASSERT_TRUE(PumpUntil([&] { return !client_->IsConnected(); }));
  EXPECT_EQ(
      log_.Starting("ERROR\tОт сервера пришла команда ID=58 с неверной длиной 2 байт."_cp).size(),
      1u);
}

TEST_F(ReceiveTest, FixedStructuresAreReadAndLogged) {
  LogIn();
  ASSERT_TRUE(server_.SendChannelNotice(0x05, 45000.0, 12));
  ASSERT_TRUE(server_.SendStructure(kStructStatusRequest));  // a known size the client skips
  ASSERT_TRUE(PumpUntil([&] { return log_.Starting("WARNING\tКоманда 1"_cp).size() == 1; }));
  auto notice = log_.Starting("INFO\tИзменение каналов 1 от сервера игнорируем: A1A3 ID=12 "_cp);
  EXPECT_EQ(notice.size(), 1u);
  EXPECT_TRUE(log_.Has("WARNING\tКоманда 1 не обрабатывается structID=18 SIZE=1 bytes"_cp));
}

TEST_F(ReceiveTest, ServerClosingIsNoticed) {
  LogIn();
  ASSERT_TRUE(server_.Drop());
  ASSERT_TRUE(PumpUntil(
      [&] { return Worker().ProcessReceive() == TWorkerProbe::TReceiveResult::ServerGone; }));
  EXPECT_TRUE(log_.Has("WARNING\tСервер Kavrel отключен"_cp));
}

}  // namespace
}  // namespace kv::test
