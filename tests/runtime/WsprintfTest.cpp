#include <gtest/gtest.h>

#include "runtime/Codepage.h"
#include "runtime/Wsprintf.h"

namespace kv {
namespace {

TEST(WsprintfDirectives, FormatLikeThePlatform) {
  EXPECT_EQ(Wsprintf("%02u.%02u.%u %02u:%02u:%02u\t%s", {7, 3, 2025, 9, 5, 1, "msg"}),
            "07.03.2025 09:05:01\tmsg");
  EXPECT_EQ(Wsprintf("%d|%ld|%u|%lu", {-5, -6L, -1, 4000000000UL}), "-5|-6|4294967295|4000000000");
  EXPECT_EQ(Wsprintf("[%5d][%-5d][%05d][%.3u]", {42, 42, -42, 7}), "[   42][42   ][-0042][007]");
  EXPECT_EQ(Wsprintf("%x %X %#x %%", {255, 255, 255}), "ff FF 0xff %");
  EXPECT_EQ(Wsprintf("%s|%.2s|%4s", {"ДА"_cp, "abc", "x"}),
            "ДА"_cp.data() + std::string("|ab|   x"));
}

TEST(WsprintfDirectives, NeverReadsAWrongOrMissingArgument) {
  EXPECT_EQ(Wsprintf("%s %d %s", {5}), "5 0 ");
  EXPECT_EQ(Wsprintf("%d", {"text"}), "0");
  EXPECT_EQ(Wsprintf("%s", {static_cast<const char*>(nullptr)}), "(null)");
  EXPECT_EQ(Wsprintf("end %", {}), "end ");
}

TEST(WsprintfLimit, CutsAt1023Bytes) {
  std::string big(1100, 'a');
  EXPECT_EQ(Wsprintf("%s", {big}).size(), 1023u);
  EXPECT_EQ(Wsprintf(big, {}).size(), 1023u);
  EXPECT_EQ(Wsprintf("%s", {std::string(1020, 'b')}).size(), 1020u);
}

}  // namespace
}  // namespace kv
