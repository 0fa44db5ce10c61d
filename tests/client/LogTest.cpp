#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "client/Log.h"
#include "support/ManualClock.h"
#include "runtime/Codepage.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("kvlog-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  platform::TManualClock clock_{0, platform::LocalTime{2025, 3, 5, 7, 9, 5, 1, 250}};
  platform::TScopedTestClock scoped_{clock_};
  fs::path dir_;
};

TEST_F(LogFileTest, AppendsStampedLinesAndKeepsEarlierRuns) {
  fs::path file = dir_ / "kv.log";
  {
    TLogWriter first(file.string());
    first.Write("INFO\t*** Начало работы с сервером Kavrel [версия %u.%u] ***"_cp, {1, 1});
  }
  TLogWriter second(file.string());
  second.Write("ERROR\tx=%ld", {-5L});
  EXPECT_EQ(
      ReadAll(file),
      std::string(
          "07.03.2025 09:05:01\tINFO\t*** Начало работы с сервером Kavrel [версия 1.1] ***"_cp) +
          "\r\n07.03.2025 09:05:01\tERROR\tx=-5\r\n");
}

TEST_F(LogFileTest, EmptyNameOrMissingDirectoryWritesNothing) {
  TLogWriter none("");
  none.Write("INFO\tnothing");
  TLogWriter lost((dir_ / "no-such-dir" / "kv.log").string());
  lost.Write("INFO\tlost");
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(LogFileTest, ALongMessageIsCutButKeepsItsLineEnd) {
  fs::path file = dir_ / "long.log";
  TLogWriter log(file.string());
  log.Write(std::string(1100, 'x'));
  log.Write("INFO\tnext");
  std::string text = ReadAll(file);
  std::size_t firstEnd = text.find("\r\n");
  ASSERT_NE(firstEnd, std::string::npos);
  EXPECT_EQ(firstEnd + 2, 1023u);
  EXPECT_EQ(text.substr(firstEnd + 2), "07.03.2025 09:05:01\tINFO\tnext\r\n");
}

struct Collect : ILogSink {
  std::vector<std::string> messages;
  void Append(std::string_view message, std::string_view) override {
    messages.emplace_back(message);
  }
};

TEST_F(LogFileTest, ASinkSeesTheExactMessages) {
  Collect sink;
  TLogWriter log;
  log.SetSink(&sink);
  log.Write("WARNING\tСервер Kavrel отключен\tКод ошибки=%ld"_cp, {10054L});
  ASSERT_EQ(sink.messages.size(), 1u);
  EXPECT_EQ(sink.messages[0], std::string("WARNING\tСервер Kavrel отключен\tКод ошибки=10054"_cp));
}

}  // namespace
}  // namespace kv
