// The version a host meets at run time: c_GetVersion, and on Windows the
// DLL's version resource (what the file's properties show), both the
// header's.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LoadedLibrary.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kv::test {
namespace {

TEST(HostVersion, TheLibraryAndItsFileSayTheHeadersVersion) {
  std::vector<std::string> failures;
  const kv_host_test_hooks hooks{&failures, "",      &RecordFailure, nullptr,
                                 nullptr,   nullptr, nullptr,        nullptr};
  TLibrary library(hooks);
  ASSERT_NE(library.library, nullptr) << (failures.empty() ? "" : failures.front());
  EXPECT_EQ(library.api.version(), KVOPROS2_VERSION);
  EXPECT_EQ(library.api.last_result(), KVOPROS2_RESULT_OK);
#ifdef _WIN32
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(KV_HOST_LIBRARY, &ignored);
  ASSERT_GT(size, 0u) << "no version resource";
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(KV_HOST_LIBRARY, 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD{KVOPROS2_VERSION_MAJOR} << 16 | KVOPROS2_VERSION_MINOR);
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD{KVOPROS2_VERSION_PATCH} << 16);
  EXPECT_EQ(fixed->dwFileType, DWORD{VFT_DLL});
#endif
}

}  // namespace
}  // namespace kv::test
