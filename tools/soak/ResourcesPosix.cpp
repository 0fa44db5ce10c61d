#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "soak/Resources.h"

namespace kv::soak {

TResources SampleResources() {
  TResources r;
  long pages = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  if (statm >> pages >> resident)
    r.residentMb = static_cast<double>(resident) * sysconf(_SC_PAGESIZE) / 1048576.0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++r.handles;
    closedir(dir);
    --r.handles;  // the directory's own descriptor
  }
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) r.threads = std::stol(line.substr(8));
  return r;
}

const char* HandleWord() { return "descriptors"; }

}  // namespace kv::soak
