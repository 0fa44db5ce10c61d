#include <gtest/gtest.h>

#include "Console.h"

namespace kv::demo {
namespace {

TEST(LogText, CrLfBecomesLfAndTextBecomesUtf8) {
  EXPECT_EQ(LogAsTerminalText("01\tINFO\t\xCF\xF3\xF1\xEA\r\n02\r\n"), "01\tINFO\tПуск\n02\n");
  EXPECT_EQ(LogAsTerminalText("a\rb\r"), "a\rb\r");
}

}  // namespace
}  // namespace kv::demo
