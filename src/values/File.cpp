#include "values/File.h"

namespace kv {

TFile::TFile(const std::string& name, std::uint32_t access, std::uint32_t share,
             std::uint32_t creation, std::uint32_t flags, bool throwOnError)
    : throwOnError_(throwOnError) {
  Open(name, access, share, creation, flags);
}

TFile::~TFile() {
  // Closing quietly: an exception must not leave a destructor.
  if (handle_ == platform::FileHandle::None) return;
  std::uint32_t error = 0;
  platform::CloseFile(handle_, error);
}

bool TFile::Finish() {
  if (throwOnError_ && failed_) throw 0;
  return !failed_;
}

bool TFile::Open(const std::string& name, std::uint32_t access, std::uint32_t share,
                 std::uint32_t creation, std::uint32_t flags) {
  if (IsOpen()) return false;
  lastError_ = 0;
  appending_ = false;
  position_ = 0;
  handle_ = platform::OpenFile(name, access, share, creation, flags, lastError_);
  failed_ = !IsOpen();
  return Finish();
}

bool TFile::Close() {
  if (!IsOpen()) return false;
  lastError_ = 0;
  failed_ = !platform::CloseFile(handle_, lastError_);
  handle_ = platform::FileHandle::None;
  appending_ = false;
  return Finish();
}

bool TFile::WriteData(const void* buffer, std::uint32_t count) {
  bytesWritten_ = 0;
  if (!IsOpen() || buffer == nullptr) {
    failed_ = true;
    return Finish();
  }
  lastError_ = 0;
  bool ok = appending_ ? platform::AppendFile(handle_, buffer, count, bytesWritten_, lastError_)
                       : platform::WriteFile(handle_, buffer, count, bytesWritten_, lastError_);
  failed_ = !ok || bytesWritten_ != count;
  return Finish();
}

bool TFile::Seek(std::int64_t distance, std::uint32_t method) {
  if (!IsOpen()) {
    failed_ = true;
    return Finish();
  }
  lastError_ = 0;
  // Decided before the move: the following write goes to the end as one
  // atomic append, never over another writer's line.
  appending_ = distance == 0 && method == platform::file::kFromEnd;
  std::int64_t pos = platform::SetFilePosition(handle_, distance, method, lastError_);
  failed_ = pos == platform::file::kInvalidPosition;
  if (!failed_) position_ = pos;
  return Finish();
}

}  // namespace kv
