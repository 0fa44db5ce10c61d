#pragma once
// Files through the Windows file-handle calls (CreateFileA, WriteFile,
// SetFilePointer, CloseHandle), with the same parameters on every system.
// On POSIX the access, share and creation parameters are mapped onto open()
// flags; sharing is not enforced there (every other reader and writer is
// allowed, which is what the log needs). Error numbers are the platform's
// own: GetLastError() on Windows, errno on POSIX.
//
// A handle is owned by whoever opened it and is used by one thread at a time.
#include <cstdint>
#include <string>

namespace kv::platform {

// `None` (0) means "no file". On POSIX the value is the descriptor plus one.
enum class FileHandle : std::uintptr_t { None = 0 };

namespace file {
// Desired access.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
// Share mode.
inline constexpr std::uint32_t kShareRead = 1;
inline constexpr std::uint32_t kShareWrite = 2;
// Creation disposition.
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kOpenAlways = 4;
inline constexpr std::uint32_t kTruncateExisting = 5;
// Attributes and flags.
inline constexpr std::uint32_t kAttributeNormal = 0x80;
// Seek methods.
inline constexpr std::uint32_t kFromBegin = 0;
inline constexpr std::uint32_t kFromCurrent = 1;
inline constexpr std::uint32_t kFromEnd = 2;
// SetFilePosition's answer on failure.
inline constexpr std::int64_t kInvalidPosition = -1;
}  // namespace file

// Opens or creates `name` (bytes passed to the system unchanged). Returns
// None and sets `error` on failure; `error` is 0 on success.
FileHandle OpenFile(const std::string& name, std::uint32_t access, std::uint32_t share,
                    std::uint32_t creation, std::uint32_t flags, std::uint32_t& error);

// Closes the handle; false with `error` when the system reports a failure
// (the handle is gone either way).
bool CloseFile(FileHandle handle, std::uint32_t& error);

// Writes all `count` bytes at the current position; `written` is the number
// that reached the file.
bool WriteFile(FileHandle handle, const void* data, std::uint32_t count, std::uint32_t& written,
               std::uint32_t& error);

// Writes all `count` bytes at the end of the file as one atomic append, so
// that writers holding their own handles on one file never overwrite each
// other's data. Leaves the position after the written bytes.
bool AppendFile(FileHandle handle, const void* data, std::uint32_t count, std::uint32_t& written,
                std::uint32_t& error);

// Moves the position by a signed distance; returns the new 64-bit position,
// or file::kInvalidPosition with `error`. Positions are 64-bit on every
// system: a log that grew past 4 GiB must still find its end.
std::int64_t SetFilePosition(FileHandle handle, std::int64_t distance, std::uint32_t method,
                             std::uint32_t& error);

// Renames `from` to `to`, replacing a file `to` (Windows: MoveFileExA with
// MOVEFILE_REPLACE_EXISTING; POSIX: rename). On Windows a file that another
// program holds open without delete sharing cannot be renamed or replaced;
// POSIX renames it all the same.
bool RenameFile(const std::string& from, const std::string& to, std::uint32_t& error);
// Deletes the file `name` (Windows: DeleteFileA; POSIX: unlink); a
// directory is not deleted.
bool RemoveFile(const std::string& name, std::uint32_t& error);
// Whether a failed call's error says that the file, or its folder, does not
// exist.
bool IsFileMissing(std::uint32_t error) noexcept;

}  // namespace kv::platform
