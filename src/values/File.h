#pragma once
// TFile: the owner of one open file handle with a uniform error discipline.
// Every operation records whether it failed (Failed()) and the platform's
// error number (LastError()) and returns success as a bool; an object built
// with throwOnError also raises the bare integer exception (`throw 0;`) after
// recording a failure. The log writer opens, appends one line and closes.
//
// The object owns the handle and closes it on destruction (destruction never
// throws). One thread at a time; no lock.
//
// Seek(0, file::kFromEnd) puts the object in append mode until the next
// Seek: writes then land at the end of the file as one atomic append, so
// that several writers with their own handles on one file (the log's case)
// never overwrite each other's lines.
#include <cstdint>
#include <string>

#include "platform/File.h"

namespace kv {

class TFile {
 public:
  // Opens at once: the object is open after construction exactly when
  // Failed() is false. access, share, creation and flags are the platform's
  // file-open parameters (platform::file constants), passed through.
  TFile(const std::string& name, std::uint32_t access, std::uint32_t share, std::uint32_t creation,
        std::uint32_t flags, bool throwOnError);
  ~TFile();
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // False without any change when a file is already open.
  bool Open(const std::string& name, std::uint32_t access, std::uint32_t share,
            std::uint32_t creation, std::uint32_t flags);
  // False without any change when no file is open; otherwise always ends closed.
  bool Close();
  // Writes count bytes at the current position (at the end in append mode).
  bool WriteData(const void* buffer, std::uint32_t count);
  // Moves by a signed distance: method 0 from the start, 1 from the current
  // position, 2 from the end. Positions are 64-bit.
  bool Seek(std::int64_t distance, std::uint32_t method);
  // Where the last successful Seek left the position (after
  // Seek(0, kFromEnd): the file's size then); 0 before any.
  std::int64_t Position() const { return position_; }

  bool IsOpen() const { return handle_ != platform::FileHandle::None; }
  platform::FileHandle Handle() const { return handle_; }
  bool Failed() const { return failed_; }
  bool ThrowOnError() const { return throwOnError_; }
  std::uint32_t LastError() const { return lastError_; }
  std::uint32_t BytesWritten() const { return bytesWritten_; }

 private:
  bool Finish();  // the throw rule; returns !failed_

  platform::FileHandle handle_ = platform::FileHandle::None;
  bool failed_ = false;
  bool throwOnError_;
  std::uint32_t lastError_ = 0;
  std::uint32_t bytesWritten_ = 0;
  std::int64_t position_ = 0;
  bool appending_ = false;
};

}  // namespace kv
