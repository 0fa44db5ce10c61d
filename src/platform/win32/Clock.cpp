#include "platform/Clock.h"

#include <windows.h>

#include <memory>

namespace kv::platform {
namespace {

struct LocalFreeDeleter {
  void operator()(char* p) const noexcept { LocalFree(p); }
};

LocalTime FromSystemTime(const SYSTEMTIME& st) {
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.dayOfWeek = st.wDayOfWeek;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.millisecond = st.wMilliseconds;
  return t;
}

// The process token's elevation type; 0 when the process or its token cannot
// be opened, -1 when the type cannot be read (systems before elevation).
std::int32_t TokenElevation(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return 0;
  TOKEN_ELEVATION_TYPE type{};
  DWORD size = 0;
  std::int32_t result = -1;
  if (GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size))
    result = static_cast<std::int32_t>(type);
  CloseHandle(token);
  return result;
}

}  // namespace

std::uint32_t SystemTickCount() noexcept { return GetTickCount(); }

LocalTime SystemLocalTime() noexcept {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return FromSystemTime(st);
}

void SystemSleep(std::uint32_t milliseconds) noexcept { ::Sleep(milliseconds); }

std::uint64_t SystemMicroseconds() noexcept {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER count{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  const std::uint64_t perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
  const std::uint64_t ticks = static_cast<std::uint64_t>(count.QuadPart);
  return ticks / perSecond * 1000000ULL + ticks % perSecond * 1000000ULL / perSecond;
}

void SystemPauseMicroseconds(std::uint32_t microseconds) noexcept {
  ::Sleep((microseconds + 999) / 1000);
}

bool SystemSetLocalTime(const LocalTime& time) noexcept {
  if (!IsValidLocalTime(time)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(time.year);
  st.wMonth = static_cast<WORD>(time.month);
  st.wDayOfWeek = static_cast<WORD>(time.dayOfWeek);
  st.wDay = static_cast<WORD>(time.day);
  st.wHour = static_cast<WORD>(time.hour);
  st.wMinute = static_cast<WORD>(time.minute);
  st.wSecond = static_cast<WORD>(time.second);
  st.wMilliseconds = static_cast<WORD>(time.millisecond);
  return ::SetLocalTime(&st) != FALSE;
}

std::int32_t SystemElevationType() noexcept {
  DWORD pid = GetCurrentProcessId();
  if (pid == 0) return 0;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, TRUE, pid);
  if (process == nullptr) return 0;
  std::int32_t result = TokenElevation(process);
  CloseHandle(process);
  return result;
}

std::int32_t SystemTimeZoneBias() noexcept {
  TIME_ZONE_INFORMATION info{};
  switch (GetTimeZoneInformation(&info)) {
    case TIME_ZONE_ID_STANDARD:
      return info.Bias + info.StandardBias;
    case TIME_ZONE_ID_DAYLIGHT:
      return info.Bias + info.DaylightBias;
    case TIME_ZONE_ID_UNKNOWN:
      return info.Bias;
    default:
      return 0;
  }
}

std::uint32_t LastSystemError() noexcept { return GetLastError(); }

void SetLastSystemError(std::uint32_t code) noexcept { SetLastError(code); }

std::string SystemErrorText(std::uint32_t code) {
  char* buffer = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, LANG_USER_DEFAULT, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::unique_ptr<char, LocalFreeDeleter> owned(buffer);  // the system allocated it
  if (length == 0 || buffer == nullptr) return {};
  return std::string(buffer, length);
}

std::uint32_t InvalidParameterError() noexcept { return ERROR_INVALID_PARAMETER; }

}  // namespace kv::platform
