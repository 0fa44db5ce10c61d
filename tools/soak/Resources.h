#pragma once
// What the process holds: resident memory, open descriptors (Windows:
// handles) and threads. One implementation per system.
#include <string>

namespace kv::soak {

struct TResources {
  double residentMb = 0;
  long handles = 0;
  long threads = 0;
};

TResources SampleResources();
// "descriptors" or "handles".
const char* HandleWord();

}  // namespace kv::soak
