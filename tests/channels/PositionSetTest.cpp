#include "channels/PositionSet.h"

#include <gtest/gtest.h>

#include <vector>

namespace kv {
namespace {

std::vector<std::size_t> Members(const TPositionSet& set) {
  std::vector<std::size_t> members;
  for (std::size_t p = set.NextFrom(0); p != TPositionSet::npos; p = set.NextFrom(p + 1))
    members.push_back(p);
  return members;
}

TEST(PositionSetWalk, VisitsMembersInAscendingOrderAcrossWordAndBlockBoundaries) {
  TPositionSet set;
  // 63/64 straddle a word, 4095/4096 a summary block; inserted out of order.
  for (std::size_t p : {100000u, 4096u, 0u, 64u, 63u, 4095u, 7u}) set.Insert(p);
  EXPECT_EQ(Members(set), (std::vector<std::size_t>{0, 7, 63, 64, 4095, 4096, 100000}));
  EXPECT_EQ(set.Count(), 7u);
  EXPECT_EQ(set.NextFrom(65), 4095u);
  EXPECT_EQ(set.NextFrom(100001), TPositionSet::npos);
}

TEST(PositionSetWalk, EraseAndDuplicatesKeepTheCountRight) {
  TPositionSet set;
  set.Insert(5);
  set.Insert(5);
  set.Insert(70000);
  EXPECT_EQ(set.Count(), 2u);
  set.Erase(70000);
  set.Erase(70000);
  set.Erase(123456789);  // never inserted, beyond the bitmap
  EXPECT_EQ(set.Count(), 1u);
  EXPECT_FALSE(set.Contains(70000));
  EXPECT_EQ(Members(set), std::vector<std::size_t>{5});
  set.Erase(5);
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.NextFrom(0), TPositionSet::npos);
}

TEST(PositionSetWalk, InsertTellsTheFirstMemberAndUncountedErasesCountOnceAtTheEnd) {
  TPositionSet set;
  EXPECT_TRUE(set.Insert(3));
  EXPECT_FALSE(set.Insert(4));
  EXPECT_TRUE(set.EraseUncounted(3));
  EXPECT_FALSE(set.EraseUncounted(3));
  EXPECT_EQ(set.Count(), 2u);  // too many until counted, never too few
  set.Uncount(1);
  EXPECT_EQ(set.Count(), 1u);
  EXPECT_EQ(Members(set), std::vector<std::size_t>{4});
  set.Erase(4);
  EXPECT_TRUE(set.Insert(5));
}

TEST(PositionSetWalk, MembersInsertedDuringAWalkAheadOfTheCursorAreVisited) {
  TPositionSet set;
  set.Insert(1);
  std::vector<std::size_t> seen;
  for (std::size_t p = set.NextFrom(0); p != TPositionSet::npos; p = set.NextFrom(p + 1)) {
    seen.push_back(p);
    if (p == 1) {
      set.Insert(9000);
      set.Insert(0);  // behind the cursor: left for the next walk
    }
    set.Erase(p);
  }
  EXPECT_EQ(seen, (std::vector<std::size_t>{1, 9000}));
  EXPECT_EQ(Members(set), std::vector<std::size_t>{0});
}

}  // namespace
}  // namespace kv
