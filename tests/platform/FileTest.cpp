// The file calls' parameter mapping and the append that other writers
// cannot interleave with.
#include "platform/File.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace {

namespace pf = kv::platform;
namespace fs = std::filesystem;
using namespace kv::platform::file;

class PlatformFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ =
        fs::temp_directory_path() / ("kvpf-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    fs::create_directories(dir_);
    path_ = (dir_ / "f.bin").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  pf::FileHandle Open(std::uint32_t creation, std::uint32_t& error) {
    return pf::OpenFile(path_, kGenericWrite, kShareRead | kShareWrite, creation, kAttributeNormal,
                        error);
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(PlatformFile, CreationDispositions) {
  std::uint32_t error = 0;
  EXPECT_EQ(Open(kOpenExisting, error), pf::FileHandle::None);
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(fs::exists(path_));

  pf::FileHandle h = Open(kCreateNew, error);
  ASSERT_NE(h, pf::FileHandle::None);
  EXPECT_EQ(error, 0u);
  std::uint32_t written = 0;
  ASSERT_TRUE(pf::WriteFile(h, "abc", 3, written, error));
  EXPECT_EQ(written, 3u);
  EXPECT_TRUE(pf::CloseFile(h, error));

  EXPECT_EQ(Open(kCreateNew, error), pf::FileHandle::None);
  EXPECT_NE(error, 0u);
  EXPECT_EQ(Open(99, error), pf::FileHandle::None);
  EXPECT_NE(error, 0u);
  EXPECT_EQ(Contents(), "abc");
}

TEST_F(PlatformFile, AppendThenPositionedWrite) {
  std::uint32_t error = 0;
  std::uint32_t written = 0;
  pf::FileHandle h = Open(kOpenAlways, error);
  ASSERT_NE(h, pf::FileHandle::None);
  ASSERT_TRUE(pf::WriteFile(h, "0123456789", 10, written, error));
  ASSERT_EQ(pf::SetFilePosition(h, 0, kFromBegin, error), 0);
  ASSERT_TRUE(pf::AppendFile(h, "ab", 2, written, error));
  EXPECT_EQ(pf::SetFilePosition(h, 0, kFromCurrent, error), 12);
  // Appending must not stick: a positioned write still lands in place.
  ASSERT_EQ(pf::SetFilePosition(h, -12, kFromEnd, error), 0);
  ASSERT_TRUE(pf::WriteFile(h, "X", 1, written, error));
  EXPECT_EQ(pf::SetFilePosition(h, -1, kFromBegin, error), kInvalidPosition);
  EXPECT_NE(error, 0u);
  EXPECT_TRUE(pf::CloseFile(h, error));
  EXPECT_EQ(Contents(), "X123456789ab");
}

TEST_F(PlatformFile, RenameReplacesAndRemoveLeavesDirectories) {
  std::uint32_t error = 0;
  std::uint32_t written = 0;
  const std::string other = (dir_ / "g.bin").string();
  std::ofstream(other) << "old";
  pf::FileHandle h = Open(kCreateNew, error);
  ASSERT_TRUE(pf::WriteFile(h, "new", 3, written, error));
  ASSERT_TRUE(pf::CloseFile(h, error));
  ASSERT_TRUE(pf::RenameFile(path_, other, error)) << error;
  EXPECT_FALSE(fs::exists(path_));
  path_ = other;
  EXPECT_EQ(Contents(), "new");

  EXPECT_FALSE(pf::RenameFile((dir_ / "none").string(), other, error));
  EXPECT_TRUE(pf::IsFileMissing(error));
  ASSERT_TRUE(pf::RemoveFile(other, error)) << error;
  EXPECT_FALSE(pf::RemoveFile(other, error));
  EXPECT_TRUE(pf::IsFileMissing(error));
  EXPECT_FALSE(pf::RemoveFile(dir_.string(), error));
  EXPECT_FALSE(pf::IsFileMissing(error));
  EXPECT_TRUE(fs::is_directory(dir_));
}

}  // namespace
