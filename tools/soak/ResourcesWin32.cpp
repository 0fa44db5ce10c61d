#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>

#include "soak/Resources.h"

namespace kv::soak {
namespace {

// Where the process handle count is not kept (wine answers 0), the handles
// are counted one by one: handle values are multiples of 4, handed out from
// the lowest free one, so a long run of unused values ends the table.
long CountHandles() {
  constexpr std::uintptr_t kUnusedRun = 4 * 1024;
  long count = 0;
  DWORD flags = 0;
  std::uintptr_t lastUsed = 0;
  for (std::uintptr_t value = 4; value - lastUsed <= kUnusedRun; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
      lastUsed = value;
    }
  }
  return count;
}

}  // namespace

TResources SampleResources() {
  TResources r;
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
    r.residentMb = static_cast<double>(memory.WorkingSetSize) / 1048576.0;
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) r.handles = static_cast<long>(handles);
  if (r.handles == 0) r.handles = CountHandles();
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
      if (entry.th32OwnerProcessID == self) ++r.threads;
    CloseHandle(snapshot);
  }
  return r;
}

const char* HandleWord() { return "handles"; }

}  // namespace kv::soak
