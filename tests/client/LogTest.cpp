#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "client/Log.h"
#include "platform/File.h"
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

// ---- the host's callback and rotation ----

// The stamp every line of these tests carries, and a line of n characters
// of message.
constexpr std::string_view kStamp = "07.03.2025 09:05:01\t";

struct TSeen {
  std::vector<std::string> lines;
  std::vector<int> levels;
};

void Record(void* context, int level, const char* line) {
  auto& seen = *static_cast<TSeen*>(context);
  seen.lines.emplace_back(line);
  seen.levels.push_back(level);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

class LogControlTest : public LogFileTest {
 protected:
  void SetUp() override {
    LogFileTest::SetUp();
    file_ = (dir_ / "kv.log").string();
    log_.SetFileName(file_);
    log_.SetControl(&control_);
  }
  // Message k: "INFO\tline 0k", 12 characters, 34 with stamp and CR LF.
  static std::string Message(int k) {
    return std::string("INFO\tline ") + (k < 10 ? "0" : "") + std::to_string(k);
  }
  void WriteLines(int first, int count) {
    for (int k = first; k < first + count; ++k) log_.Write(Message(k));
  }
  static std::string Lines(int first, int count) {
    std::string text;
    for (int k = first; k < first + count; ++k) text += std::string(kStamp) + Message(k) + "\r\n";
    return text;
  }
  std::string Rotated(int index) const { return file_ + "." + std::to_string(index); }

  TLogControl control_;
  TLogWriter log_;
  std::string file_;
  TSeen seen_;
};

TEST_F(LogControlTest, RotatesBeforeALineWouldPassTheLimitAndKeepsNFiles) {
  control_.SetMaxBytes(100);  // two 34-byte lines fit, a third would not
  control_.SetFiles(2);
  WriteLines(1, 9);
  EXPECT_EQ(ReadAll(file_), Lines(9, 1));
  EXPECT_EQ(ReadAll(Rotated(1)), Lines(7, 2));
  EXPECT_EQ(ReadAll(Rotated(2)), Lines(5, 2));
  EXPECT_FALSE(fs::exists(Rotated(3)));  // lines 1 to 4 went with the oldest files
  // Exactly at the limit is still within it.
  control_.SetMaxBytes(68);
  WriteLines(10, 1);
  EXPECT_EQ(ReadAll(file_), Lines(9, 2));
}

TEST_F(LogControlTest, TheCallbackGetsEveryLineAsTheFileHasItWithItsLevel) {
  control_.SetCallback(&Record, &seen_);
  control_.SetMaxBytes(100);
  log_.Write("ERROR\tx=%ld", {-5L});
  log_.Write("WARNING\tw");
  log_.Write("DEBUG\td");
  log_.Write(std::string(1100, 'x'));  // cut, and without a level word
  EXPECT_EQ(Joined(seen_.lines), ReadAll(Rotated(2)) + ReadAll(Rotated(1)) + ReadAll(file_));
  EXPECT_EQ(seen_.levels, (std::vector<int>{1, 4, 3, 2}));
  EXPECT_EQ(seen_.lines[0], std::string(kStamp) + "ERROR\tx=-5");
  EXPECT_EQ(seen_.lines[3].size(), 1021u);

  // Without a file the callback is the only output.
  TLogWriter fileless;
  fileless.SetControl(&control_);
  fileless.Write("INFO\tonly");
  EXPECT_EQ(seen_.lines.back(), std::string(kStamp) + "INFO\tonly");
  control_.SetCallback(nullptr, nullptr);
  fileless.Write("INFO\tnobody");
  EXPECT_EQ(seen_.lines.size(), 5u);
}

TEST_F(LogControlTest, AFailedRotationKeepsWritingAndTriesAgainAtTheNextStep) {
  control_.SetCallback(&Record, &seen_);
  control_.SetMaxBytes(100);
  control_.SetFiles(1);
  // The oldest file cannot make room: a folder of that name, not empty.
  fs::create_directories(fs::path(Rotated(1)) / "inside");
  WriteLines(1, 6);  // the file crosses 100, then 200 bytes and more
  const std::string text = ReadAll(file_);
  const std::string notice =
      std::string(kStamp) + std::string("ERROR\tНе удалось сменить файл журнала ("_cp);
  ASSERT_EQ(text.find(notice), Lines(1, 2).size()) << text;
  const std::size_t noticeEnd = text.find("\r\n", Lines(1, 2).size()) + 2;
  EXPECT_EQ(text.substr(0, Lines(1, 2).size()), Lines(1, 2));
  EXPECT_EQ(text.substr(noticeEnd), Lines(3, 4));  // one notice per episode, nothing lost
  EXPECT_EQ(Joined(seen_.lines), text);
  EXPECT_EQ(seen_.levels[2], TLogControl::kLevelError);

  // Free again, it is tried once the file crosses its next 100 bytes.
  fs::remove_all(Rotated(1));
  const std::int64_t size = static_cast<std::int64_t>(text.size());
  int before = 0;
  while ((size + 34 * (before + 1) - 1) / 100 == (size - 1) / 100) ++before;
  WriteLines(7, before);
  EXPECT_FALSE(fs::exists(Rotated(1)));
  WriteLines(7 + before, 1);
  EXPECT_EQ(ReadAll(Rotated(1)), text + Lines(7, before));
  EXPECT_EQ(ReadAll(file_), Lines(7 + before, 1));
}

TEST_F(LogControlTest, AFileHeldOpenByAnotherProgram) {
  control_.SetCallback(&Record, &seen_);
  control_.SetMaxBytes(100);
  WriteLines(1, 2);
  std::uint32_t error = 0;
  // Another program reads the log and shares it for reading and writing,
  // not for deleting.
  const platform::FileHandle reader = platform::OpenFile(
      file_, platform::file::kGenericRead, platform::file::kShareRead | platform::file::kShareWrite,
      platform::file::kOpenExisting, platform::file::kAttributeNormal, error);
  ASSERT_NE(reader, platform::FileHandle::None);
  WriteLines(3, 1);
#ifdef _WIN32
  // Windows renames no file held so: writing goes on in it.
  EXPECT_FALSE(fs::exists(Rotated(1)));
  EXPECT_EQ(seen_.lines.size(), 4u);
  platform::CloseFile(reader, error);
  WriteLines(4, 3);  // the next step, with the file free
  EXPECT_EQ(seen_.lines.size(), 7u);
  EXPECT_EQ(ReadAll(file_), Lines(6, 1));
#else
  // POSIX renames it all the same; the reader keeps reading NAME.1.
  EXPECT_EQ(ReadAll(Rotated(1)), Lines(1, 2));
  EXPECT_EQ(ReadAll(file_), Lines(3, 1));
  platform::CloseFile(reader, error);
#endif
}

TEST_F(LogControlTest, AFileThatCannotBeOpenedIsReportedOnceToTheCallback) {
  control_.SetCallback(&Record, &seen_);
  const std::string missing = (dir_ / "no-such-dir" / "kv.log").string();
  log_.SetFileName(missing);
  WriteLines(1, 2);
  ASSERT_EQ(seen_.lines.size(), 3u);
  const std::string notice = std::string(kStamp) + std::string("ERROR\tФайл журнала "_cp) +
                             missing + std::string(" не открывается для записи: "_cp);
  EXPECT_EQ(seen_.lines[0].rfind(notice, 0), 0u) << seen_.lines[0];
  EXPECT_EQ(Joined({seen_.lines[1], seen_.lines[2]}), Lines(1, 2));
  // Writable again, then lost again: told again.
  log_.SetFileName(file_);
  WriteLines(3, 1);
  log_.SetFileName(missing);
  WriteLines(4, 1);
  EXPECT_EQ(seen_.lines.size(), 6u);
  EXPECT_TRUE(fs::exists(file_));
}

// The callback's own thread may replace or remove it (the change holds from
// the next line); any other waits for a call in progress, after which the
// old callback is never called again.
struct TBlocking {
  TLogControl* control = nullptr;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<int> calls{0};
  bool insideSeen = false;
};

void Blocking(void* context, int, const char*) {
  auto& b = *static_cast<TBlocking*>(context);
  b.insideSeen = TLogControl::InsideCallback();
  ++b.calls;
  b.entered = true;
  while (!b.release) std::this_thread::yield();
}

void RemovesItself(void* context, int, const char*) {
  auto& b = *static_cast<TBlocking*>(context);
  ++b.calls;
  b.control->SetCallback(nullptr, nullptr);
}

TEST(LogControlCallback, RemovalWaitsForACallInProgress) {
  TLogControl control;
  TBlocking blocking;
  control.SetCallback(&Blocking, &blocking);
  std::string line = "INFO\tline";
  std::thread worker([&] { control.Deliver(2, line); });
  while (!blocking.entered) std::this_thread::yield();
  std::atomic<bool> removed{false};
  std::thread host([&] {
    control.SetCallback(nullptr, nullptr);
    removed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed);  // still inside the call
  blocking.release = true;
  host.join();
  worker.join();
  control.Deliver(2, line);
  EXPECT_EQ(blocking.calls, 1);
  EXPECT_TRUE(blocking.insideSeen);
  EXPECT_FALSE(TLogControl::InsideCallback());
}

TEST(LogControlCallback, ACallbackMayRemoveItselfWithoutWaiting) {
  TLogControl control;
  TBlocking b;
  b.control = &control;
  control.SetCallback(&RemovesItself, &b);
  std::string line = "INFO\tline";
  control.Deliver(2, line);
  control.Deliver(2, line);
  EXPECT_EQ(b.calls, 1);
  EXPECT_FALSE(control.HasCallback());
}

}  // namespace
}  // namespace kv
