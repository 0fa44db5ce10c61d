#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace kv::platform {
namespace {

int Fd(FileHandle h) { return static_cast<int>(static_cast<std::uintptr_t>(h) - 1); }

// The one place where a failed call's error is read.
std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }

bool OpenFlags(std::uint32_t access, std::uint32_t creation, int& flags) {
  bool reads = (access & file::kGenericRead) != 0;
  bool writes = (access & file::kGenericWrite) != 0;
  flags = (reads && writes) ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  switch (creation) {
    case file::kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case file::kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case file::kOpenExisting:
      break;
    case file::kOpenAlways:
      flags |= O_CREAT;
      break;
    case file::kTruncateExisting:
      flags |= O_TRUNC;
      break;
    default:
      return false;
  }
  flags |= O_CLOEXEC;
  return true;
}

bool WriteAll(int fd, const void* data, std::uint32_t count, std::uint32_t& written,
              std::uint32_t& error) {
  const char* p = static_cast<const char*>(data);
  written = 0;
  while (written < count) {
    ssize_t n = write(fd, p + written, count - written);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) {
      error = n == 0 ? static_cast<std::uint32_t>(EIO) : LastError();
      return false;
    }
    written += static_cast<std::uint32_t>(n);
  }
  return true;
}

}  // namespace

FileHandle OpenFile(const std::string& name, std::uint32_t access, std::uint32_t /*share*/,
                    std::uint32_t creation, std::uint32_t /*flags*/, std::uint32_t& error) {
  error = 0;
  int flags = 0;
  if (!OpenFlags(access, creation, flags)) {
    error = EINVAL;
    return FileHandle::None;
  }
  int fd;
  do fd = open(name.c_str(), flags, 0666);
  while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    error = LastError();
    return FileHandle::None;
  }
  return static_cast<FileHandle>(static_cast<std::uintptr_t>(fd) + 1);
}

bool CloseFile(FileHandle handle, std::uint32_t& error) {
  error = 0;
  if (handle == FileHandle::None) {
    error = EBADF;
    return false;
  }
  // The descriptor is released even when close() reports EINTR.
  if (close(Fd(handle)) == -1 && errno != EINTR) {
    error = LastError();
    return false;
  }
  return true;
}

bool WriteFile(FileHandle handle, const void* data, std::uint32_t count, std::uint32_t& written,
               std::uint32_t& error) {
  error = 0;
  written = 0;
  if (handle == FileHandle::None) {
    error = EBADF;
    return false;
  }
  return WriteAll(Fd(handle), data, count, written, error);
}

bool AppendFile(FileHandle handle, const void* data, std::uint32_t count, std::uint32_t& written,
                std::uint32_t& error) {
  error = 0;
  written = 0;
  if (handle == FileHandle::None) {
    error = EBADF;
    return false;
  }
  // O_APPEND makes each write land at the end atomically; it is switched on
  // for this write only, so positioned writes keep working afterwards.
  int fd = Fd(handle);
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_APPEND) == -1) {
    error = LastError();
    return false;
  }
  bool ok = WriteAll(fd, data, count, written, error);
  if (!(flags & O_APPEND)) fcntl(fd, F_SETFL, flags);
  return ok;
}

std::int64_t SetFilePosition(FileHandle handle, std::int64_t distance, std::uint32_t method,
                             std::uint32_t& error) {
  error = 0;
  if (handle == FileHandle::None) {
    error = EBADF;
    return file::kInvalidPosition;
  }
  int whence = method == file::kFromBegin     ? SEEK_SET
               : method == file::kFromCurrent ? SEEK_CUR
               : method == file::kFromEnd     ? SEEK_END
                                              : -1;
  if (whence == -1) {
    error = EINVAL;
    return file::kInvalidPosition;
  }
  static_assert(sizeof(off_t) == 8, "64-bit file positions");
  off_t pos = lseek(Fd(handle), static_cast<off_t>(distance), whence);
  if (pos == -1) {
    error = LastError();
    return file::kInvalidPosition;
  }
  return static_cast<std::int64_t>(pos);
}

bool RenameFile(const std::string& from, const std::string& to, std::uint32_t& error) {
  error = 0;
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  error = LastError();
  return false;
}

bool RemoveFile(const std::string& name, std::uint32_t& error) {
  error = 0;
  if (::unlink(name.c_str()) == 0) return true;
  error = LastError();
  return false;
}

bool IsFileMissing(std::uint32_t error) noexcept { return error == ENOENT; }

}  // namespace kv::platform
