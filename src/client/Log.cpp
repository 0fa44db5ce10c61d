#include "client/Log.h"

#include "platform/Clock.h"
#include "values/File.h"

namespace kv {

std::string TLogWriter::BuildLine(std::string_view message, int day, int month, int year, int hour,
                                  int minute, int second) {
  std::string stamp =
      Wsprintf("%02u.%02u.%u %02u:%02u:%02u\t", {day, month, year, hour, minute, second});
  // The line end always survives: a long message is cut, never the CR LF,
  // so the next line can not glue onto a cut one.
  std::size_t room = kWsprintfLimit - stamp.size() - 2;
  std::string line = std::move(stamp);
  line.append(message.substr(0, room));
  line.append("\r\n");
  return line;
}

void TLogWriter::Write(std::string_view format, std::initializer_list<WsArg> args) noexcept {
  if (fileName_.empty() && sink_ == nullptr) return;
  try {
    std::string message = Wsprintf(format, args);
    platform::LocalTime now = platform::LocalNow();
    std::string line =
        BuildLine(message, now.day, now.month, now.year, now.hour, now.minute, now.second);
    if (sink_ != nullptr)
      sink_->Append(message, line);
    else
      AppendToFile(line);
  } catch (...) {
    // A line that cannot be built (out of memory) is lost, nothing more.
  }
}

void TLogWriter::AppendToFile(std::string_view line) const noexcept {
  try {
    TFile file(fileName_, platform::file::kGenericWrite,
               platform::file::kShareRead | platform::file::kShareWrite,
               platform::file::kOpenAlways, platform::file::kAttributeNormal, false);
    if (file.Failed()) return;
    if (!file.Seek(0, platform::file::kFromEnd)) return;
    file.WriteData(line.data(), static_cast<std::uint32_t>(line.size()));
  } catch (...) {
  }
}

}  // namespace kv
