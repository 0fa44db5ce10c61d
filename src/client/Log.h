#pragma once
// The client's log writer. Every line of the log comes from Write: the
// message is formatted with the wsprintf directives, the local date and time
// go in front and CR LF behind, and the line is appended to the log file by
// an open-append-close of its own, so other programs may read, copy or delete
// the file between lines. An empty file name logs nothing. Logging never
// raises and never affects the caller.
//
// Every message begins with its level word and a tab ("INFO\t", "ERROR\t"...);
// the writer does not filter levels: callers ask for DEBUG lines only when
// debugging is on.
//
// Threads: only the worker thread writes; the object has no lock.
#include <initializer_list>
#include <string>
#include <string_view>

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

  void Write(std::string_view format, std::initializer_list<WsArg> args) noexcept;
  void Write(std::string_view message) noexcept { Write("%s", {message}); }

  // The whole line for a message at the given local time: "dd.mm.yyyy
  // hh:nn:ss", a tab, the message, CR LF; cut so that the line with its
  // CR LF fits the platform's 1 023-byte limit.
  static std::string BuildLine(std::string_view message, int day, int month, int year, int hour,
                               int minute, int second);

 private:
  void AppendToFile(std::string_view line) const noexcept;

  std::string fileName_;
  ILogSink* sink_ = nullptr;
};

}  // namespace kv
