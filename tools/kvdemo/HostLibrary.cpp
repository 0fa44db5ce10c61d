#include "HostLibrary.h"

namespace kv::demo {

#ifdef _WIN32

namespace {

constexpr const char* kLibraryName = "kvopros2.dll";

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function, std::string& error) {
  const FARPROC address = GetProcAddress(module, name);
  if (!address) {
    error = std::string(kLibraryName) + " has no export " + name;
    return false;
  }
  // The export's type is the header's declaration of it.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return true;
}

// A later addition to the DLL: its absence is no error.
template <typename Function>
bool ResolveOptional(HMODULE module, const char* name, Function& function) {
  std::string ignored;
  if (!Resolve(module, name, function, ignored)) function = nullptr;
  return true;
}

bool Load(TKvExports& e, std::string& error) {
  const HMODULE module = LoadLibraryA(kLibraryName);
  if (!module) {
    error = "cannot load " + std::string(kLibraryName) + " (error " +
            std::to_string(GetLastError()) + "); it must sit beside the program";
    return false;
  }
  return Resolve(module, "_c_CreateOpros", e.CreateOpros, error) &&
         Resolve(module, "_c_DestroyOpros", e.DestroyOpros, error) &&
         Resolve(module, "_c_IsServerConnected", e.IsServerConnected, error) &&
         Resolve(module, "_c_RegisterChannel", e.RegisterChannel, error) &&
         Resolve(module, "_c_RegisterValueByID", e.RegisterValueByID, error) &&
         Resolve(module, "_c_RegisterAttribute", e.RegisterAttribute, error) &&
         Resolve(module, "_c_ReceiveControl", e.ReceiveControl, error) &&
         ResolveOptional(module, "_c_GetStatistics", e.GetStatistics) &&
         ResolveOptional(module, "_c_SetOption", e.SetOption) &&
         ResolveOptional(module, "_c_SetLogCallback", e.SetLogCallback) &&
         ResolveOptional(module, "_c_GetLastResult", e.GetLastResult);
}

}  // namespace

const TKvExports* LoadExports(std::string& error) {
  static TKvExports exports{};
  static std::string loadError;
  static const bool loaded = Load(exports, loadError);
  if (loaded) return &exports;
  error = loadError;
  return nullptr;
}

#else

const TKvExports* LoadExports(std::string&) {
  static const TKvExports exports{c_CreateOpros,     c_DestroyOpros,      c_IsServerConnected,
                                  c_RegisterChannel, c_RegisterValueByID, c_RegisterAttribute,
                                  c_ReceiveControl,  c_GetStatistics,     c_SetOption,
                                  c_SetLogCallback,  c_GetLastResult};
  return &exports;
}

#endif

}  // namespace kv::demo
