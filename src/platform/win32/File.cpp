#include "platform/File.h"

#include <windows.h>

namespace kv::platform {
namespace {

HANDLE Native(FileHandle h) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h)); }

// The one place where a failed call's error is read.
std::uint32_t LastError() { return static_cast<std::uint32_t>(GetLastError()); }

bool Write(FileHandle handle, const void* data, std::uint32_t count, OVERLAPPED* where,
           std::uint32_t& written, std::uint32_t& error) {
  error = 0;
  written = 0;
  if (handle == FileHandle::None) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  DWORD done = 0;
  BOOL ok = ::WriteFile(Native(handle), data, count, &done, where);
  written = done;
  if (!ok) error = LastError();
  return ok != FALSE;
}

}  // namespace

FileHandle OpenFile(const std::string& name, std::uint32_t access, std::uint32_t share,
                    std::uint32_t creation, std::uint32_t flags, std::uint32_t& error) {
  error = 0;
  HANDLE h = CreateFileA(name.c_str(), access, share, nullptr, creation, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = LastError();
    return FileHandle::None;
  }
  return static_cast<FileHandle>(reinterpret_cast<std::uintptr_t>(h));
}

bool CloseFile(FileHandle handle, std::uint32_t& error) {
  error = 0;
  if (!CloseHandle(Native(handle))) {
    error = LastError();
    return false;
  }
  return true;
}

bool WriteFile(FileHandle handle, const void* data, std::uint32_t count, std::uint32_t& written,
               std::uint32_t& error) {
  return Write(handle, data, count, nullptr, written, error);
}

bool AppendFile(FileHandle handle, const void* data, std::uint32_t count, std::uint32_t& written,
                std::uint32_t& error) {
  // An offset of all ones writes at the end of the file in one step, as a
  // handle opened for appending would.
  OVERLAPPED end{};
  end.Offset = 0xFFFFFFFFu;
  end.OffsetHigh = 0xFFFFFFFFu;
  return Write(handle, data, count, &end, written, error);
}

std::int64_t SetFilePosition(FileHandle handle, std::int64_t distance, std::uint32_t method,
                             std::uint32_t& error) {
  error = 0;
  LARGE_INTEGER move;
  move.QuadPart = distance;
  LARGE_INTEGER pos;
  if (!SetFilePointerEx(Native(handle), move, &pos, method)) {
    error = LastError();
    return file::kInvalidPosition;
  }
  return pos.QuadPart;
}

bool RenameFile(const std::string& from, const std::string& to, std::uint32_t& error) {
  error = 0;
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  error = LastError();
  return false;
}

bool RemoveFile(const std::string& name, std::uint32_t& error) {
  error = 0;
  if (DeleteFileA(name.c_str())) return true;
  error = LastError();
  return false;
}

bool IsFileMissing(std::uint32_t error) noexcept {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace kv::platform
