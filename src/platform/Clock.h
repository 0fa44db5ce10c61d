#pragma once
// Time as the library sees it: a 32-bit millisecond tick count that wraps
// every 2^32 ms (like GetTickCount), the local wall-clock time broken down
// with milliseconds, sleeping, setting the local clock and the right to do
// so, the time-zone bias, and the last system error with its text.
//
// THE SEAM. Everything that measures or waits (ticks, now, sleep, waits for
// an event with a time-out, setting the clock, the elevation answer) goes
// through the TClock returned by Clock().
// By default that is the real system clock. A test installs its own clock
// with SetClockForTesting (the test support library's driven clock and its
// scoped installer build on it):
//   - install it before starting any thread that reads the clock, and remove
//     it only after those threads have ended; the installed object must
//     outlive its installation;
//   - the pointer itself is atomic, so a stray read from another thread sees
//     either clock, never a torn pointer;
//   - the clock object must be thread-safe itself (the worker thread sleeps
//     on it while the test thread advances it).
// The time-zone bias and the error functions are not part of the seam: they
// answer from the system, and their results do not depend on elapsed time.
#include <cstdint>
#include <functional>
#include <string>

namespace kv::platform {

// Local wall-clock time in the fields of the platform's SYSTEMTIME.
struct LocalTime {
  int year = 1601;      // 1601..30827 on Windows; the calendar of the C library elsewhere
  int month = 1;        // 1..12
  int dayOfWeek = 0;    // 0 = Sunday .. 6 = Saturday; ignored when setting
  int day = 1;          // 1..31
  int hour = 0;         // 0..23
  int minute = 0;       // 0..59
  int second = 0;       // 0..59
  int millisecond = 0;  // 0..999
};

// True when every field lies in its range and the day exists in its month
// (dayOfWeek is not checked). Years 1..30827.
bool IsValidLocalTime(const LocalTime& time) noexcept;

// Elevation types of a process token.
inline constexpr std::int32_t kElevationDefault = 1;
inline constexpr std::int32_t kElevationFull = 2;
inline constexpr std::int32_t kElevationLimited = 3;

// Waits up to the given real milliseconds for something outside the clock
// (a socket, another thread's signal) and tells whether it came; it may
// return early either way.
using TRealWait = std::function<bool(std::uint32_t realMilliseconds)>;

// The clock interface behind the seam.
class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds since some start, wrapping modulo 2^32; differences are
  // taken by unsigned 32-bit subtraction.
  virtual std::uint32_t TickCount() = 0;
  virtual LocalTime Now() = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // Waits up to `milliseconds` of this clock's time for what waitReal
  // watches; true when it came. The system clock hands the whole time to
  // waitReal; a test clock may hand it pieces and move its own time.
  virtual bool Wait(std::uint32_t milliseconds, const TRealWait& waitReal) {
    return waitReal(milliseconds);
  }
  // Sets the local wall clock. False on failure, with the reason left as
  // the calling thread's last system error (LastSystemError).
  virtual bool SetLocalTime(const LocalTime& time) = 0;
  // 1 default, 2 full, 3 limited (may not set the clock); 0 or -1 when the
  // answer cannot be had.
  virtual std::int32_t ElevationType() = 0;
};

// The clock in force: the installed test clock, else the system clock.
TClock& Clock() noexcept;
// The real clock, whatever is installed.
TClock& SystemClock() noexcept;
// Installs a clock for tests; nullptr goes back to the system clock. Returns
// the clock installed before (nullptr for the system clock).
TClock* SetClockForTesting(TClock* clock) noexcept;

// Shorthands for Clock().TickCount(), Clock().Now(), Clock().Sleep(),
// Clock().Wait().
std::uint32_t TickCount();
LocalTime LocalNow();
void SleepMs(std::uint32_t milliseconds);
bool WaitMs(std::uint32_t milliseconds, const TRealWait& waitReal);

// --- The system itself (one implementation per platform) ---

std::uint32_t SystemTickCount() noexcept;
LocalTime SystemLocalTime() noexcept;
void SystemSleep(std::uint32_t milliseconds) noexcept;
// Real time for pacing below a tick that no test needs to drive (not part
// of the seam): microseconds of a monotonic clock, and a pause of about that
// many microseconds (Windows rounds it up to whole milliseconds).
std::uint64_t SystemMicroseconds() noexcept;
void SystemPauseMicroseconds(std::uint32_t microseconds) noexcept;
// Windows: SetLocalTime. POSIX: the local time converted to UTC by the C
// library's time zone rules, then clock_settime(CLOCK_REALTIME). An invalid
// time fails with the platform's invalid-parameter error.
bool SystemSetLocalTime(const LocalTime& time) noexcept;
// Windows: the process token's TokenElevationType (0 when the process or
// its token cannot be opened, -1 when the type cannot be read). POSIX: 2
// when the process may set the clock (Linux: CAP_SYS_TIME among its
// effective capabilities; elsewhere: effective user root), else 3.
std::int32_t SystemElevationType() noexcept;
// Minutes, UTC = local time + bias (so east of UTC is negative). Windows:
// GetTimeZoneInformation (base bias plus the standard or daylight bias in
// force; 0 when the call fails). POSIX: the C library's UTC offset of the
// current local time, so daylight saving is included.
std::int32_t SystemTimeZoneBias() noexcept;

// The calling thread's last error number (GetLastError / errno) and setting
// it (SetLastError / errno).
std::uint32_t LastSystemError() noexcept;
void SetLastSystemError(std::uint32_t code) noexcept;
// The system's message for an error number. Windows: FormatMessageA in the
// user's default language, trailing line break included. POSIX: the C
// library's English description, without a line break. Empty when the
// system has no message for the number.
std::string SystemErrorText(std::uint32_t code);
// The platform's error number for an invalid parameter
// (ERROR_INVALID_PARAMETER / EINVAL).
std::uint32_t InvalidParameterError() noexcept;

}  // namespace kv::platform
