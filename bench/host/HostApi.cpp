#include "HostApi.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace kv::bench {
namespace {

template <typename Function>
bool Resolve(void* library, const char* name, Function& function, std::string& error) {
  void* address = dlsym(library, name);
  if (address == nullptr) {
    error = std::string("the library has no export ") + name;
    return false;
  }
  std::memcpy(&function, &address, sizeof function);
  return true;
}

// A later export: a library without it leaves the function null.
template <typename Function>
bool ResolveOptional(void* library, const char* name, Function& function) {
  std::string ignored;
  if (!Resolve(library, name, function, ignored)) function = nullptr;
  return true;
}

bool Load(const std::string& path, THostApi& api, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = std::string("cannot load the library: ") + dlerror();
    return false;
  }
  return Resolve(library, "c_CreateOpros", api.create, error) &&
         Resolve(library, "c_DestroyOpros", api.destroy, error) &&
         Resolve(library, "c_IsServerConnected", api.connected, error) &&
         Resolve(library, "c_RegisterChannel", api.channel, error) &&
         Resolve(library, "c_RegisterValueByID", api.value, error) &&
         Resolve(library, "c_RegisterAttribute", api.attribute, error) &&
         Resolve(library, "c_ReceiveControl", api.control, error) &&
         ResolveOptional(library, "c_SetLogCallback", api.setLogCallback) &&
         ResolveOptional(library, "c_SetOption", api.setOption) &&
         ResolveOptional(library, "c_GetStatistics", api.statistics) &&
         Resolve(library, "kv_SafeArrayCreateVector", api.createVector, error) &&
         Resolve(library, "kv_SafeArrayDestroy", api.destroyArray, error) &&
         Resolve(library, "kv_SafeArrayAccessData", api.accessData, error) &&
         Resolve(library, "kv_SafeArrayUnaccessData", api.unaccessData, error);
}

}  // namespace

const THostApi* LoadHostApi(const std::string& path, std::string& error) {
  static THostApi api;
  static std::string loadError;
  static const bool loaded = Load(path, api, loadError);
  if (loaded) return &api;
  error = loadError;
  return nullptr;
}

std::string ChannelAddress(std::size_t index) { return "CH" + std::to_string(index); }

long ChannelIndex(const std::string& addr) {
  if (addr.size() < 3 || addr.compare(0, 2, "CH") != 0) return -1;
  char* end = nullptr;
  const long index = std::strtol(addr.c_str() + 2, &end, 10);
  return *end == '\0' ? index : -1;
}

}  // namespace kv::bench
