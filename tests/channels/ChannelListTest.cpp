#include "channels/ChannelList.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "ChannelTestSupport.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"

namespace kv {
namespace {

using ChannelListTest = testing::ChannelTestBase;

struct Named : TChannel2 {
  explicit Named(std::string_view addr, std::uint32_t number = 0) {
    SetAddr(std::string(addr));
    SetNumber(number);
  }
};

// The message UpdateOrRaise raises, or "" when it completes.
std::string UpdateError(TChannelList2& list, const TChannel2* channel, std::uint16_t mask,
                        bool byAddress, bool requireActive = false, TChannel2* before = nullptr) {
  try {
    list.UpdateOrRaise(channel, mask, byAddress, requireActive, nullptr, before);
    return "";
  } catch (const Exception& e) {
    return e.Message();
  }
}

// "P" + number, built by appending (gcc's -O3 -Wrestrict misfires on
// literal + std::string).
std::string Numbered(const char* prefix, unsigned number) {
  return std::string(prefix).append(std::to_string(number));
}

bool AddNew(TChannelList2& list, TChannel2& channel) {
  return list.Add(&channel, false, true, ChannelField::All, true);
}

TEST_F(ChannelListTest, NumbersAreHandedOutFromOneAndNeverReused) {
  TChannelList2 list;
  for (std::uint32_t expected : {1u, 2u, 3u}) {
    Named channel(Numbered("C", expected));
    ASSERT_TRUE(AddNew(list, channel));
    EXPECT_EQ(channel.Number(), expected);
  }
  Named explicitNumber("N17", 17);
  ASSERT_TRUE(AddNew(list, explicitNumber));
  EXPECT_EQ(explicitNumber.Number(), 17u);
  Named next("N18");
  ASSERT_TRUE(AddNew(list, next));
  EXPECT_EQ(next.Number(), 18u);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  Named afterClear("N19");
  ASSERT_TRUE(AddNew(list, afterClear));
  EXPECT_EQ(afterClear.Number(), 19u);
}

TEST_F(ChannelListTest, TakenNumberGetsANewOneAndTheLastNumberIsNeverWrapped) {
  TChannelList2 list;
  Named first("A", 5);
  Named second("B", 5);
  ASSERT_TRUE(AddNew(list, first));
  ASSERT_TRUE(AddNew(list, second));
  EXPECT_EQ(second.Number(), 6u);
  Named top("TOP", 0xFFFFFFFF);
  ASSERT_TRUE(AddNew(list, top));
  Named beyond("BEYOND");
  EXPECT_FALSE(AddNew(list, beyond));
  EXPECT_EQ(list.LastError(), "номера каналов исчерпаны"_cp);
  EXPECT_EQ(list.Count(), 3);
}

TEST_F(ChannelListTest, AddRefusesBadChannelsWithTheirMessages) {
  TChannelList2 list;
  EXPECT_FALSE(list.Add(nullptr, true, true, ChannelField::All, true));
  EXPECT_EQ(list.LastError(), "неверный параметр"_cp);
  TChannel2 noAddress;
  EXPECT_FALSE(AddNew(list, noAddress));
  EXPECT_EQ(list.LastError(), "адрес канала не задан"_cp);
  Named boiler("Котёл1"_cp);
  ASSERT_TRUE(AddNew(list, boiler));
  EXPECT_EQ(list.LastError(), "");
  Named upper("КОТЁЛ1"_cp);
  EXPECT_FALSE(AddNew(list, upper));
  EXPECT_EQ(list.LastError(), "канал с адресом \"КОТЁЛ1\" уже есть в списке"_cp);
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(ChannelListTest, AddressesMatchWithoutRegardToCyrillicOrLatinCase) {
  TChannelList2 list;
  Named channel("Насос-b/ёж"_cp);
  ASSERT_TRUE(AddNew(list, channel));
  TChannel2 copy;
  EXPECT_TRUE(list.GetByAddress("НАСОС-B/ЁЖ"_cp, &copy));
  EXPECT_EQ(copy.Addr(), "Насос-b/ёж"_cp);
  EXPECT_TRUE(list.GetByAddress("насос-B/Ёж"_cp, &copy));
  EXPECT_FALSE(list.GetByAddress("Насос-b/еж"_cp, &copy));  // е is not ё
}

TEST_F(ChannelListTest, AddWithUpdateChangesTheListedChannel) {
  TChannelList2 list;
  Named first("Z1");
  first.SetComments("first");
  ASSERT_TRUE(list.Add(&first, true, true, ChannelField::All, true));
  Named again("z1");
  again.SetComments("second");
  EXPECT_TRUE(list.Add(&again, true, true, ChannelField::All, true));
  EXPECT_EQ(again.Number(), 1u);
  EXPECT_EQ(list.Count(), 1);
  auto listed = list.CopyByNumber(1);
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->Comments(), "second");
  EXPECT_EQ(listed->Addr(), "z1");
  EXPECT_NE(list.CopyByAddress("Z1"), nullptr);  // re-entered under its new spelling
  // A number that is not listed is looked up by number only: a second Z1.
  Named numbered("Z1", 40);
  EXPECT_TRUE(list.Add(&numbered, true, true, ChannelField::All, true));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.CopyByAddress("Z1")->Number(), 40u);  // the last entry wins
}

TEST_F(ChannelListTest, AddWithUpdateKeepsTheIndexesRightWhenItClearsTheNumber) {
  TChannelList2 list;
  Named channel("K");
  ASSERT_TRUE(AddNew(list, channel));
  Named update("K");
  ASSERT_TRUE(list.Add(&update, true, false, ChannelField::Number, false));
  EXPECT_EQ(list.CopyByNumber(1), nullptr);
  EXPECT_EQ(list.CopyByAddress("K")->Number(), 0u);
}

TEST_F(ChannelListTest, UpdateOrRaiseMessages) {
  TChannelList2 list;
  Named listed("L1");
  ASSERT_TRUE(AddNew(list, listed));
  Named byNumber42("", 42);
  TChannel2 unnamed;
  Named a1("A1");
  EXPECT_EQ(UpdateError(list, nullptr, 1, false), "объект канала не задан"_cp);
  EXPECT_EQ(UpdateError(list, &listed, 0, false), "маска обновления не задана"_cp);
  EXPECT_FALSE(list.Update(&listed, 0, false, false));
  EXPECT_EQ(UpdateError(list, &unnamed, 1, false), "номер канала не задан"_cp);
  EXPECT_EQ(UpdateError(list, &unnamed, 1, true), "адрес канала не задан"_cp);
  EXPECT_EQ(UpdateError(list, &byNumber42, 1, false), "канал №42 не найден"_cp);
  EXPECT_EQ(UpdateError(list, &a1, 1, true), "канал A1 не найден"_cp);
  TChannel2 before;
  EXPECT_EQ(UpdateError(list, &listed, 0x0400, false, true, &before), "канал №1 не активен"_cp);
  EXPECT_EQ(before.Addr(), "L1");  // the copy was made before the check
  EXPECT_EQ(UpdateError(list, &listed, 0x0400, true, true), "канал L1 не активен"_cp);
  EXPECT_EQ(list.LastError(), "");  // Update leaves it alone
}

TEST_F(ChannelListTest, OnlyConfigurationChangesMarkTheListModified) {
  TChannelList2 list;
  Named channel("M");
  ASSERT_TRUE(AddNew(list, channel));
  list.SetModified(false);
  channel.SetType(3);
  channel.SetValue(Variant::FromInt32(5));
  channel.SetQuality(0);
  ASSERT_TRUE(list.Update(&channel, 0x0700, true, false));
  EXPECT_FALSE(list.Modified());
  clock_.Advance(250);
  ASSERT_TRUE(list.Update(&channel, ChannelField::Active, true, false));
  EXPECT_TRUE(list.Modified());
  EXPECT_EQ(list.ModifiedTick(), 1250u);
  TChannelList2 empty;
  empty.Clear();
  EXPECT_FALSE(empty.Modified());
}

TEST_F(ChannelListTest, UpdateMovesAddressAndNumberInTheIndexes) {
  TChannelList2 list;
  Named a("OLD");
  Named b("OTHER");
  ASSERT_TRUE(AddNew(list, a));
  ASSERT_TRUE(AddNew(list, b));
  Named change("NEW", 1);
  TChannel2 after;
  list.UpdateOrRaise(&change, ChannelField::Addr, false, false, &after);
  EXPECT_EQ(after.Addr(), "NEW");
  EXPECT_EQ(list.CopyByAddress("OLD"), nullptr);
  EXPECT_NE(list.CopyByAddress("new"), nullptr);
  Named renumber("NEW", 500);
  list.UpdateOrRaise(&renumber, ChannelField::Number, true, false);
  EXPECT_EQ(list.CopyByNumber(1), nullptr);
  EXPECT_EQ(list.CopyByNumber(500)->Addr(), "NEW");
}

// How the server's channel changes number channels.
constexpr std::uint16_t kServerChange =
    ChannelField::Number | ChannelField::MergeAttributes | ChannelField::Active;

TNumberLoss Renumber(TChannelList2& list, std::string_view addr, std::uint32_t number) {
  Named change(addr, number);
  change.SetActive(true);
  return list.UpdateOrRaise(&change, kServerChange, true, false);
}

TEST_F(ChannelListTest, AGivenNumberTakesPrecedenceOverEveryEarlierHolder) {
  TChannelList2 list;
  Named a("A");
  Named b("B");
  ASSERT_TRUE(AddNew(list, a));  // handed out 1
  ASSERT_TRUE(AddNew(list, b));  // handed out 2
  // Numbered the other way round: A loses its handed-out 1 and stays listed.
  TNumberLoss loss = Renumber(list, "B", 1);
  EXPECT_EQ(loss.Addr, "A");
  EXPECT_EQ(loss.Number, 1u);
  EXPECT_TRUE(loss.HandedOut);
  EXPECT_EQ(list.CopyByNumber(1)->Addr(), "B");
  EXPECT_EQ(list.CopyByAddress("a")->Number(), 0u);
  EXPECT_EQ(Renumber(list, "A", 3).Addr, "");
  // A number handed out later skips one that was given.
  Named c("C");
  ASSERT_TRUE(AddNew(list, c));
  EXPECT_EQ(c.Number(), 4u);
  EXPECT_EQ(list.CopyByNumber(3)->Addr(), "A");
  // The same number given twice: the later change wins.
  loss = Renumber(list, "C", 1);
  EXPECT_EQ(loss.Addr, "B");
  EXPECT_FALSE(loss.HandedOut);
  EXPECT_EQ(list.CopyByNumber(1)->Addr(), "C");
  EXPECT_EQ(list.CopyByNumber(4), nullptr);
  EXPECT_EQ(list.CopyByAddress("B")->Number(), 0u);
  // A number the server confirms as it stands is the server's from then on.
  Named d("D");
  ASSERT_TRUE(AddNew(list, d));
  Renumber(list, "D", d.Number());
  EXPECT_FALSE(Renumber(list, "A", d.Number()).HandedOut);
}

TEST_F(ChannelListTest, CopiesAreIndependentOfTheMaster) {
  TChannelList2 list;
  Named channel("C");
  channel.SetUnit("V");
  ASSERT_TRUE(AddNew(list, channel));
  channel.SetUnit("changed after adding");
  auto copy = list.CopyByAddress("C");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Unit(), "V");
  copy->SetUnit("mV");
  EXPECT_EQ(list.CopyByNumber(1)->Unit(), "V");
  TChannel2 target;
  EXPECT_FALSE(list.GetByNumber(0, &target));
  EXPECT_FALSE(list.GetByAddress("C", nullptr));
  EXPECT_EQ(list.CopyByAddress("unlisted"), nullptr);
}

TEST_F(ChannelListTest, CountsAndFindUnderTheLock) {
  TChannelList2 list;
  for (const char* addr : {"A", "B", "C"}) {
    Named channel(addr);
    channel.SetActive(addr[0] != 'B');
    ASSERT_TRUE(AddNew(list, channel));
  }
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.ActiveCount(), 2);
  TLockedList locked(list);
  EXPECT_EQ(locked.Items().size(), 3u);
  EXPECT_EQ(list.Find("b", 0), &locked.Items()[1]);
  EXPECT_EQ(list.Find("ignored", 3), &locked.Items()[2]);
  EXPECT_EQ(list.Find("", 4), nullptr);
  EXPECT_EQ(list.Count(), 3);  // re-entrant
}

// --- the pending record ---

// One whole send pass, batch by batch as the worker takes them: the
// addresses whose work it took, in order.
std::vector<std::string> PendingWalk(TChannelList2& list) {
  std::vector<std::string> visited;
  std::deque<TSendSnapshot> batch;
  std::size_t cursor = 0;
  while (std::size_t taken = list.TakePending(cursor, batch, false))
    for (std::size_t i = 0; i < taken; ++i) visited.emplace_back(batch[i].Channel.Addr());
  return visited;
}

TEST_F(ChannelListTest, PendingWalkVisitsOnlyMarkedChannelsInListOrder) {
  TChannelList2 list;
  for (int i = 0; i < 6; ++i) {
    Named channel(Numbered("P", static_cast<unsigned>(i)));
    channel.SetActive(true);
    if (i == 2) channel.SetFlags(NeedRegister | 1);
    ASSERT_TRUE(AddNew(list, channel));
  }
  EXPECT_EQ(PendingWalk(list), std::vector<std::string>{"P2"});
  EXPECT_EQ(list.PendingCount(), 0u);
  EXPECT_TRUE(PendingWalk(list).empty());
  {
    TLockedList locked(list);
    for (int i : {4, 1, 3}) {
      TChannel2* channel = list.Find(Numbered("P", static_cast<unsigned>(i)), 0);
      channel->SetFlags(channel->Flags() | NeedSendValue);
      list.MarkPending(channel);
    }
    Named notMaster("P0");
    notMaster.SetFlags(NeedRegister);
    list.MarkPending(&notMaster);  // a copy is not recorded
  }
  EXPECT_EQ(PendingWalk(list), (std::vector<std::string>{"P1", "P3", "P4"}));
  list.SetSendFlagsOnAll(NeedRegister | NeedSendValue);
  EXPECT_EQ(PendingWalk(list).size(), 6u);
}

TEST_F(ChannelListTest, InactiveValueWaitsOutsideTheRecordUntilActivated) {
  TChannelList2 list;
  Named channel("W");
  ASSERT_TRUE(AddNew(list, channel));
  {
    TLockedList locked(list);
    list.SetSendFlags(list.Find("W", 0), NeedSendValue);
  }
  EXPECT_EQ(list.PendingCount(), 0u);
  EXPECT_TRUE(PendingWalk(list).empty());
  Named activate("W", 9);
  activate.SetActive(true);
  ASSERT_TRUE(list.Update(&activate, 0x002A, true, false));
  EXPECT_EQ(PendingWalk(list), std::vector<std::string>{"W"});
  EXPECT_EQ(list.CopyByAddress("W")->Flags(), 0);
}

TEST_F(ChannelListTest, ValueOfAChannelThatLostItsNumberWaitsForANewOne) {
  TChannelList2 list;
  Named first("F");
  Named second("S");
  ASSERT_TRUE(AddNew(list, first));
  ASSERT_TRUE(AddNew(list, second));
  Renumber(list, "F", 7);
  {
    TLockedList locked(list);
    list.SetSendFlags(list.Find("F", 0), NeedSendValue);
  }
  Renumber(list, "S", 7);
  EXPECT_TRUE(PendingWalk(list).empty());
  EXPECT_EQ(list.CopyByAddress("F")->Flags(), NeedSendValue);
  Renumber(list, "F", 8);
  EXPECT_EQ(PendingWalk(list), std::vector<std::string>{"F"});
}

TEST_F(ChannelListTest, SendBatchesAreBoundedInListOrderAndLoseNoMark) {
  TChannelList2 list;
  constexpr unsigned kChannels = 300;
  for (unsigned i = 0; i < kChannels; ++i) {
    Named channel(Numbered("B", i));
    channel.SetActive(true);
    channel.SetFlags(NeedRegister);
    ASSERT_TRUE(AddNew(list, channel));
  }
  std::deque<TSendSnapshot> batch;
  std::size_t cursor = 0;
  const std::size_t first = list.TakePending(cursor, batch, false);
  ASSERT_GT(first, 0u);
  EXPECT_LT(first, kChannels);
  EXPECT_EQ(batch[0].Channel.Addr(), "B0");
  EXPECT_TRUE(batch[0].Registration);
  EXPECT_FALSE(batch[0].Value);
  {
    // Changed after their copies were taken (B0) or before (B299).
    TLockedList locked(list);
    list.SetSendFlags(list.Find("B0", 0), NeedSendValue);
    list.SetSendFlags(list.Find(Numbered("B", kChannels - 1), 0), NeedSendValue);
  }
  std::vector<std::string> rest;
  bool lastWithValue = false;
  while (std::size_t taken = list.TakePending(cursor, batch, false)) {
    for (std::size_t i = 0; i < taken; ++i) rest.emplace_back(batch[i].Channel.Addr());
    lastWithValue = batch[taken - 1].Value;
  }
  EXPECT_TRUE(lastWithValue);
  ASSERT_EQ(rest.size(), kChannels - first);
  EXPECT_EQ(rest.front(), Numbered("B", static_cast<unsigned>(first)));
  EXPECT_EQ(PendingWalk(list), std::vector<std::string>{"B0"});  // the next pass
  // Re-registering through Add keeps the record right as well.
  Named again("B7");
  again.SetFlags(NeedRegister);
  ASSERT_TRUE(list.Add(&again, true, true, ChannelField::All, true));
  EXPECT_EQ(PendingWalk(list), std::vector<std::string>{"B7"});
}

TEST_F(ChannelListTest, SendCopiesCarryWhatTheRecordsAndTheLogLineRead) {
  TChannelList2 list;
  Named channel("S", 0);
  channel.SetType(3);
  channel.SetUnit("V");
  channel.SetEUType(2);
  channel.SetActive(true);
  channel.SetQuality(0);
  channel.SetDT(45000.5);
  channel.SetValue(Variant::FromInt32(7));
  channel.SetFlags(NeedSendValue | 1);
  ASSERT_TRUE(AddNew(list, channel));
  std::deque<TSendSnapshot> batch;
  std::size_t cursor = 0;
  ASSERT_EQ(list.TakePending(cursor, batch, true), 1u);
  const TSendSnapshot& value = batch[0];
  EXPECT_TRUE(value.Value);
  EXPECT_FALSE(value.Registration);
  EXPECT_EQ(value.AttributeCount, 2);
  EXPECT_EQ(value.Channel.Number(), 1u);
  EXPECT_EQ(value.Channel.DT(), 45000.5);
  EXPECT_EQ(value.Channel.Value().ToInt32(), 7);
  EXPECT_EQ(value.Channel.Flags() & 1, 1);
  // For the log line only what the value's text reads: EUType, not Unit.
  EXPECT_EQ(value.Channel.AttributeCount(), 1);
  EXPECT_EQ(value.Channel.EUType(), 2);
  EXPECT_EQ(list.CopyByAddress("S")->Flags(), 1);
  list.SetSendFlagsOnAll(NeedRegister);
  ASSERT_EQ(list.TakePending(cursor = 0, batch, false), 1u);
  EXPECT_TRUE(batch[0].Registration);
  EXPECT_EQ(batch[0].Channel.AttributeCount(), 2);
  EXPECT_EQ(batch[0].Channel.Unit(), "V");
}

// Many channels renamed and renumbered in turn: every address and number
// stays findable, and only under its current key.
TEST_F(ChannelListTest, IndexesFollowManyChangesOfAddressAndNumber) {
  constexpr unsigned kChannels = 1000;
  constexpr unsigned kRoundStep = 10000;
  // Odd rounds spell the addresses in lower case.
  auto name = [](unsigned round, unsigned i) {
    return Numbered(round % 2 ? "n" : "N", round * kChannels + i);
  };
  TChannelList2 list;
  for (unsigned i = 0; i < kChannels; ++i) {
    Named channel(name(0, i));
    ASSERT_TRUE(AddNew(list, channel));  // numbered 1, 2, 3...
  }
  for (unsigned round = 1; round <= 3; ++round) {
    for (unsigned i = 0; i < kChannels; ++i) {
      Named rename(name(round, i), (round - 1) * kRoundStep + i + 1);
      ASSERT_EQ(UpdateError(list, &rename, ChannelField::Addr, false), "");
      Named renumber(name(round, i), round * kRoundStep + i + 1);
      ASSERT_EQ(UpdateError(list, &renumber, ChannelField::Number, true), "");
    }
  }
  TLockedList locked(list);
  for (unsigned i = 0; i < kChannels; ++i) {
    const TChannel2* channel = list.Find({}, 3 * kRoundStep + i + 1);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->Addr(), name(3, i));
    EXPECT_EQ(list.Find(AnsiUpper(name(3, i)), 0), channel);
    EXPECT_EQ(list.Find(name(2, i), 0), nullptr);
    EXPECT_EQ(list.Find({}, 2 * kRoundStep + i + 1), nullptr);
  }
}

TEST_F(ChannelListTest, HookHearsWhenTheRecordStopsBeingEmpty) {
  TChannelList2 list;
  int calls = 0;
  list.SetPendingHook([](void* count) noexcept { ++*static_cast<int*>(count); }, &calls);
  Named quiet("Q");
  ASSERT_TRUE(AddNew(list, quiet));  // no send work: nothing recorded
  EXPECT_EQ(calls, 0);
  for (const char* addr : {"A", "B"}) {
    Named channel(addr);
    channel.SetFlags(NeedRegister);
    ASSERT_TRUE(AddNew(list, channel));
  }
  EXPECT_EQ(calls, 1);  // the second mark found the record taken
  PendingWalk(list);
  list.SetSendFlagsOnAll(NeedRegister);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace kv
