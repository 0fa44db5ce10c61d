#pragma once
// The client's log writer. Every line of the log comes from Write: the
// message is formatted with the wsprintf directives, the local date and time
// go in front and CR LF behind, and the line is appended to the log file by
// an open-append-close of its own, so other programs may read, copy or delete
// the file between lines. An empty file name logs nothing. Logging never
// raises and never affects the caller.
//
// With a TLogControl the host's callback gets every line as well (also
// without a file), and a file that would grow past the control's size is
// rotated first: NAME becomes NAME.1, older ones move up to NAME.N, the one
// beyond is deleted, and the line starts a new NAME, so no line is split
// between files. A rotation that fails (a file held open by another program,
// a folder without the right) leaves the file as it is: writing goes on in
// it, one ERROR line says so, and the next try comes when the file has grown
// by the limit again.
//
// Every message begins with its level word and a tab ("INFO\t", "ERROR\t"...);
// the writer does not filter levels: callers ask for DEBUG lines only when
// debugging is on.
//
// Threads: only the worker thread writes; the object has no lock.
#include <initializer_list>
#include <string>
#include <string_view>

#include "client/LogControl.h"
#include "runtime/Wsprintf.h"

namespace kv {

// Where finished lines go; the default appends them to the log file. Tests
// install their own to see every message exactly.
class ILogSink {
 public:
  virtual ~ILogSink() = default;
  // message: the formatted message; line: the whole line as written.
  virtual void Append(std::string_view message, std::string_view line) = 0;
};

class TLogWriter {
 public:
  explicit TLogWriter(std::string fileName = {}) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const { return fileName_; }
  void SetFileName(std::string fileName) { fileName_ = std::move(fileName); }
  // A sink that receives the lines instead of the file (nullptr: the file).
  // The sink must outlive the writer's use of it. With a sink installed the
  // lines are delivered even when the file name is empty.
  void SetSink(ILogSink* sink) { sink_ = sink; }
  // The host's callback and rotation limits; nullptr (the default): no
  // callback, and the file grows without end. Set before the worker writes;
  // the control must outlive the writer's use of it.
  void SetControl(TLogControl* control) { control_ = control; }

  void Write(std::string_view format, std::initializer_list<WsArg> args) noexcept;
  void Write(std::string_view message) noexcept { Write("%s", {message}); }

  // The whole line for a message at the given local time: "dd.mm.yyyy
  // hh:nn:ss", a tab, the message, CR LF; cut so that the line with its
  // CR LF fits the platform's 1 023-byte limit.
  static std::string BuildLine(std::string_view message, int day, int month, int year, int hour,
                               int minute, int second);

 private:
  // The whole line for a message at the local time now.
  static std::string StampedLine(std::string_view message);
  void AppendToFile(const std::string& line) noexcept;
  // 0 while a line of `length` bytes keeps a file of `size` bytes within the
  // rotation limit (or there is none); past it, 1, past twice the limit 2...
  std::int64_t SizeStep(std::int64_t size, std::size_t length) const noexcept;
  // Moves the files up by one; on failure the file that could not be moved
  // or deleted, and the system's error.
  bool Rotate(std::string& failed, std::uint32_t& error) const;
  void ReportUnopenable(std::uint32_t error);
  // Hands a finished line (CR LF included, which the callback does not get)
  // to the callback; the line loses its CR LF.
  void ToCallback(int level, std::string& line) noexcept;

  std::string fileName_;
  ILogSink* sink_ = nullptr;
  TLogControl* control_ = nullptr;
  // The size step at which the last rotation failed; 0 once one succeeds
  // or the file is back within the limit. A failed step is tried again at
  // the next one, and its ERROR line is written only for the first.
  std::int64_t failedStep_ = 0;
  // The callback has been told that the file cannot be opened; again only
  // after the file could be opened once more.
  bool openFailureReported_ = false;
};

}  // namespace kv
