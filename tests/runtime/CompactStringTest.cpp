#include "runtime/CompactString.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kv {
namespace {

TEST(CompactString, HoldsShortTextsInsideAndLongOnesOnTheHeap) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, TCompactString::kInline,
                           TCompactString::kInline + 1, std::size_t{300}}) {
    const std::string text(size, 'x');
    TCompactString held(text);
    EXPECT_EQ(held.View(), text);
    EXPECT_EQ(held.Empty(), size == 0);
    TCompactString copy(held);
    held.Assign("other");
    EXPECT_EQ(copy.View(), text);
    TCompactString moved(std::move(copy));
    EXPECT_EQ(moved.View(), text);
    EXPECT_TRUE(copy.Empty());
  }
}

TEST(CompactString, TakesAPartOfItsOwnText) {
  TCompactString inside("abcdef");
  inside.Assign(inside.View().substr(2));
  EXPECT_EQ(inside.View(), "cdef");
  TCompactString onHeap(std::string(40, 'a') + "tail");
  onHeap.Assign(onHeap.View().substr(36));
  EXPECT_EQ(onHeap.View(), "aaaatail");
  TCompactString grown("short");
  const TCompactString& same = grown;
  grown = same;
  grown.Assign(std::string(grown.View()) + std::string(30, '!'));
  EXPECT_EQ(grown.View().size(), 35u);
}

}  // namespace
}  // namespace kv
