#pragma once
// The library loaded by a test that drives the exports itself, with a
// failure sink for the loader; no client outlives it, whatever failed.
#include <string>
#include <vector>

#include "host_test.h"

namespace kv::test {

inline void RecordFailure(void* context, const char* file, int line, const char* what) noexcept {
  try {
    static_cast<std::vector<std::string>*>(context)->push_back(std::string(file) + ":" +
                                                               std::to_string(line) + " " + what);
  } catch (...) {
  }
}

struct TLibrary {
  explicit TLibrary(const kv_host_test_hooks& hooks)
      : library(kv_host_load(KV_HOST_LIBRARY, &hooks, &api)) {}
  ~TLibrary() {
    if (library == nullptr) return;
    api.destroy();
    kv_host_unload(library);
  }
  kv_host_exports api{};
  void* library;
};

}  // namespace kv::test
