// TFile on real files in a scratch directory.
#include "values/File.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace {

using kv::TFile;
namespace fs = std::filesystem;
namespace pf = kv::platform::file;

// The log writer's way of opening: write access, read and write sharing,
// open or create.
constexpr std::uint32_t kAccess = pf::kGenericWrite;
constexpr std::uint32_t kShare = pf::kShareRead | pf::kShareWrite;
constexpr std::uint32_t kCreation = pf::kOpenAlways;
constexpr std::uint32_t kFlags = pf::kAttributeNormal;

class FileFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ =
        fs::temp_directory_path() / ("kvfile-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static bool AppendLine(const std::string& path, const std::string& line) {
    TFile f(path, kAccess, kShare, kCreation, kFlags, false);
    return !f.Failed() && f.Seek(0, pf::kFromEnd) &&
           f.WriteData(line.data(), static_cast<std::uint32_t>(line.size()));
  }

  fs::path dir_;
};

using FileAppend = FileFixture;
using FileFailures = FileFixture;
using FilePosition = FileFixture;

TEST_F(FileAppend, CreatesTheFileAndKeepsEarlierLines) {
  const std::string path = PathOf("kvopros2.log");
  ASSERT_TRUE(AppendLine(path, "first\r\n"));
  ASSERT_TRUE(AppendLine(path, "second\r\n"));
  EXPECT_EQ(Contents(path), "first\r\nsecond\r\n");
}

TEST_F(FileAppend, WritesEveryByteIncludingZeroAndHighBytes) {
  const std::string path = PathOf("bytes.log");
  const std::string line("\xc8\xcd\xd4\xce\x09\x00\xff\r\n", 9);
  TFile f(path, kAccess, kShare, kCreation, kFlags, false);
  ASSERT_TRUE(f.Seek(0, pf::kFromEnd));
  ASSERT_TRUE(f.WriteData(line.data(), 9));
  EXPECT_EQ(f.BytesWritten(), 9u);
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(Contents(path), line);
}

TEST_F(FileAppend, TwoWritersPositionedAtTheEndDoNotOverwriteEachOther) {
  const std::string path = PathOf("shared.log");
  ASSERT_TRUE(AppendLine(path, "old\r\n"));
  TFile a(path, kAccess, kShare, kCreation, kFlags, false);
  TFile b(path, kAccess, kShare, kCreation, kFlags, false);
  ASSERT_FALSE(a.Failed());
  ASSERT_FALSE(b.Failed());
  // Both find the same end before either writes.
  ASSERT_TRUE(a.Seek(0, pf::kFromEnd));
  ASSERT_TRUE(b.Seek(0, pf::kFromEnd));
  ASSERT_TRUE(a.WriteData("line A\r\n", 8));
  ASSERT_TRUE(b.WriteData("line B\r\n", 8));
  ASSERT_TRUE(a.WriteData("more A\r\n", 8));
  a.Close();
  b.Close();
  EXPECT_EQ(Contents(path), "old\r\nline A\r\nline B\r\nmore A\r\n");
}

// A log that has grown past 4 GiB keeps taking lines at its end (a sparse
// file stands in for years of logging).
TEST_F(FileAppend, KeepsAppendingPastFourGibibytes) {
  const std::string path = PathOf("big.log");
  const std::uintmax_t size = (std::uintmax_t{1} << 32) + 5;
  { std::ofstream create(path, std::ios::binary); }
  std::error_code ec;
  fs::resize_file(path, size, ec);
  if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();
  ASSERT_TRUE(AppendLine(path, "late\r\n"));
  EXPECT_EQ(fs::file_size(path), size + 6);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size));
  std::string tail(6, '\0');
  in.read(tail.data(), 6);
  EXPECT_EQ(tail, "late\r\n");
}

TEST_F(FilePosition, SeekFromStartWritesInPlace) {
  const std::string path = PathOf("data.bin");
  ASSERT_TRUE(AppendLine(path, "abcdef"));
  TFile f(path, kAccess, kShare, pf::kOpenExisting, kFlags, false);
  ASSERT_TRUE(f.Seek(0, pf::kFromEnd));
  ASSERT_TRUE(f.Seek(2, pf::kFromBegin));  // leaves append mode
  ASSERT_TRUE(f.WriteData("XY", 2));
  ASSERT_TRUE(f.Seek(-1, pf::kFromCurrent));
  ASSERT_TRUE(f.WriteData("Z", 1));
  f.Close();
  EXPECT_EQ(Contents(path), "abXZef");
}

TEST_F(FilePosition, CreateAlwaysTruncatesAndOpenAlwaysDoesNot) {
  const std::string path = PathOf("data.bin");
  ASSERT_TRUE(AppendLine(path, "abcdef"));
  { TFile keep(path, kAccess, kShare, pf::kOpenAlways, kFlags, false); }
  EXPECT_EQ(Contents(path), "abcdef");
  { TFile fresh(path, kAccess, kShare, pf::kCreateAlways, kFlags, false); }
  EXPECT_EQ(Contents(path), "");
}

TEST_F(FileFailures, MissingDirectoryLeavesNoHandleAndAnError) {
  TFile f(PathOf("no-such-dir/kvopros2.log"), kAccess, kShare, kCreation, kFlags, false);
  EXPECT_TRUE(f.Failed());
  EXPECT_FALSE(f.IsOpen());
  EXPECT_NE(f.LastError(), 0u);
  EXPECT_FALSE(AppendLine(PathOf("no-such-dir/kvopros2.log"), "lost\r\n"));
  EXPECT_FALSE(fs::exists(dir_ / "no-such-dir"));
}

TEST_F(FileFailures, EmptyPathAndMissingFileFail) {
  TFile empty("", kAccess, kShare, kCreation, kFlags, false);
  EXPECT_TRUE(empty.Failed());
  EXPECT_NE(empty.LastError(), 0u);
  TFile missing(PathOf("absent.log"), kAccess, kShare, pf::kOpenExisting, kFlags, false);
  EXPECT_TRUE(missing.Failed());
  EXPECT_FALSE(fs::exists(dir_ / "absent.log"));
  ASSERT_TRUE(AppendLine(PathOf("present.log"), "x"));
  TFile exclusive(PathOf("present.log"), kAccess, kShare, pf::kCreateNew, kFlags, false);
  EXPECT_TRUE(exclusive.Failed());
}

TEST_F(FileFailures, OpenOnAnOpenObjectKeepsTheFirstFile) {
  const std::string first = PathOf("first.log");
  TFile f(first, kAccess, kShare, kCreation, kFlags, false);
  ASSERT_FALSE(f.Failed());
  EXPECT_FALSE(f.Open(PathOf("second.log"), kAccess, kShare, kCreation, kFlags));
  EXPECT_FALSE(f.Failed());
  EXPECT_FALSE(fs::exists(dir_ / "second.log"));
  ASSERT_TRUE(f.WriteData("kept", 4));
  f.Close();
  EXPECT_EQ(Contents(first), "kept");
  // A closed object can be opened again.
  EXPECT_TRUE(f.Open(PathOf("second.log"), kAccess, kShare, kCreation, kFlags));
}

TEST_F(FileFailures, NullBufferOrNoFileFailsWithoutTouchingLastError) {
  TFile f(PathOf("missing-dir/x.log"), kAccess, kShare, kCreation, kFlags, false);
  const std::uint32_t openError = f.LastError();
  ASSERT_NE(openError, 0u);
  EXPECT_FALSE(f.WriteData("abc", 3));
  EXPECT_EQ(f.LastError(), openError);

  ASSERT_TRUE(f.Open(PathOf("x.log"), kAccess, kShare, kCreation, kFlags));
  ASSERT_TRUE(f.WriteData("abc", 3));
  EXPECT_EQ(f.BytesWritten(), 3u);
  EXPECT_FALSE(f.WriteData(nullptr, 3));
  EXPECT_TRUE(f.Failed());
  EXPECT_EQ(f.BytesWritten(), 0u);
  f.Close();
  EXPECT_EQ(Contents(PathOf("x.log")), "abc");
}

TEST_F(FileFailures, SecondCloseReturnsFalseAndKeepsTheState) {
  TFile f(PathOf("x.log"), kAccess, kShare, kCreation, kFlags, false);
  EXPECT_TRUE(f.Close());
  EXPECT_FALSE(f.Failed());
  EXPECT_FALSE(f.Close());
  EXPECT_FALSE(f.Failed());
  EXPECT_FALSE(f.Seek(0, pf::kFromEnd));
  EXPECT_TRUE(f.Failed());
  EXPECT_FALSE(f.Close());
  EXPECT_TRUE(f.Failed());
}

TEST_F(FileFailures, ThrowingObjectRaisesTheIntegerAfterRecording) {
  EXPECT_THROW(TFile(PathOf("no-such-dir/x.log"), kAccess, kShare, kCreation, kFlags, true), int);

  TFile f(PathOf("x.log"), kAccess, kShare, kCreation, kFlags, true);
  ASSERT_TRUE(f.Close());
  try {
    f.Seek(0, pf::kFromEnd);
    ADD_FAILURE() << "Seek on a closed object did not raise";
  } catch (int code) {
    EXPECT_EQ(code, 0);
  }
  EXPECT_TRUE(f.Failed());
  EXPECT_THROW(f.WriteData("a", 1), int);
  EXPECT_FALSE(f.Close());  // nothing to close: no failure, no exception
}

}  // namespace
