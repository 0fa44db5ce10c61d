#include "client/Log.h"

#include "platform/Clock.h"
#include "platform/File.h"
#include "runtime/Codepage.h"
#include "values/File.h"

namespace kv {
namespace {

constexpr auto kRotateFailedLine =
    "ERROR\tНе удалось сменить файл журнала (%s: %s), запись продолжается в прежний файл"_cp;
constexpr auto kUnopenableLine = "ERROR\tФайл журнала %s не открывается для записи: %s"_cp;

// The system's text for an error, without the line break Windows ends it
// with, and its number.
std::string ErrorText(std::uint32_t code) {
  std::string text = platform::SystemErrorText(code);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  if (!text.empty()) text += ' ';
  return text + "[" + std::to_string(code) + "]";
}

bool OpenLog(TFile& file, const std::string& name) {
  return file.Open(name, platform::file::kGenericWrite,
                   platform::file::kShareRead | platform::file::kShareWrite,
                   platform::file::kOpenAlways, platform::file::kAttributeNormal);
}

}  // namespace

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

std::string TLogWriter::StampedLine(std::string_view message) {
  platform::LocalTime now = platform::LocalNow();
  return BuildLine(message, now.day, now.month, now.year, now.hour, now.minute, now.second);
}

void TLogWriter::Write(std::string_view format, std::initializer_list<WsArg> args) noexcept {
  const bool callback = control_ != nullptr && control_->HasCallback();
  if (fileName_.empty() && sink_ == nullptr && !callback) return;
  try {
    std::string message = Wsprintf(format, args);
    std::string line = StampedLine(message);
    if (sink_ != nullptr)
      sink_->Append(message, line);
    else if (!fileName_.empty())
      AppendToFile(line);
    // After the file, so that a callback that reads the file finds it there.
    if (callback) ToCallback(TLogControl::LevelOf(message), line);
  } catch (...) {
    // A line that cannot be built (out of memory) is lost, nothing more.
  }
}

void TLogWriter::ToCallback(int level, std::string& line) noexcept {
  if (line.size() >= 2) line.resize(line.size() - 2);
  control_->Deliver(level, line);
}

std::int64_t TLogWriter::SizeStep(std::int64_t size, std::size_t length) const noexcept {
  const std::int64_t limit = control_ != nullptr ? control_->MaxBytes() : TLogControl::kNoRotation;
  const std::int64_t after = size + static_cast<std::int64_t>(length);
  // An empty file takes any line: there is nothing to move aside.
  if (limit <= 0 || size == 0 || after <= limit) return 0;
  return (after - 1) / limit;
}

void TLogWriter::AppendToFile(const std::string& line) noexcept {
  try {
    TFile file(fileName_, platform::file::kGenericWrite,
               platform::file::kShareRead | platform::file::kShareWrite,
               platform::file::kOpenAlways, platform::file::kAttributeNormal, false);
    if (file.Failed()) return ReportUnopenable(file.LastError());
    openFailureReported_ = false;
    if (!file.Seek(0, platform::file::kFromEnd)) return;
    std::string notice;
    const std::int64_t step = SizeStep(file.Position(), line.size());
    if (step == 0) {
      failedStep_ = 0;
    } else if (step > failedStep_) {
      // Windows renames no file that is open, ours included.
      file.Close();
      std::string failed;
      std::uint32_t error = 0;
      if (Rotate(failed, error)) {
        failedStep_ = 0;
      } else {
        if (failedStep_ == 0)
          notice = StampedLine(Wsprintf(kRotateFailedLine, {failed, ErrorText(error)}));
        failedStep_ = step;
      }
      if (!OpenLog(file, fileName_)) return ReportUnopenable(file.LastError());
      if (!file.Seek(0, platform::file::kFromEnd)) return;
    }
    if (!notice.empty()) {
      file.WriteData(notice.data(), static_cast<std::uint32_t>(notice.size()));
      if (control_->HasCallback()) ToCallback(TLogControl::kLevelError, notice);
    }
    file.WriteData(line.data(), static_cast<std::uint32_t>(line.size()));
  } catch (...) {
  }
}

bool TLogWriter::Rotate(std::string& failed, std::uint32_t& error) const {
  const int files = control_->Files();
  auto rotated = [&](int index) { return fileName_ + "." + std::to_string(index); };
  // The oldest kept file makes room first. A step that fails stops the
  // rotation: every file is still there, under its old name or one up.
  const std::string oldest = rotated(files);
  if (!platform::RemoveFile(oldest, error) && !platform::IsFileMissing(error)) {
    failed = oldest;
    return false;
  }
  for (int index = files - 1; index >= 0; --index) {
    const std::string from = index == 0 ? fileName_ : rotated(index);
    if (!platform::RenameFile(from, rotated(index + 1), error) && !platform::IsFileMissing(error)) {
      failed = from;
      return false;
    }
  }
  return true;
}

void TLogWriter::ReportUnopenable(std::uint32_t error) {
  if (openFailureReported_ || control_ == nullptr || !control_->HasCallback()) return;
  openFailureReported_ = true;
  std::string notice = StampedLine(Wsprintf(kUnopenableLine, {fileName_, ErrorText(error)}));
  ToCallback(TLogControl::kLevelError, notice);
}

}  // namespace kv
