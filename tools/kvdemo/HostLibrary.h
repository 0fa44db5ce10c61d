#pragma once
// Where the host finds the library's functions. On Linux the program
// links libkvopros2.so and calls them by their plain names. The Windows DLL
// exports them only under their cdecl-decorated names (_c_CreateOpros ...);
// the host does what Windows hosts usually do (linking the import library
// libkvopros2.dll.a would work as well): loads kvopros2.dll from beside the
// program and looks the names up. The DLL stays loaded until the process
// ends.
#include <string>

#include "kvopros2.h"

namespace kv::demo {

struct TKvExports {
  decltype(&c_CreateOpros) CreateOpros;
  decltype(&c_DestroyOpros) DestroyOpros;
  decltype(&c_IsServerConnected) IsServerConnected;
  decltype(&c_RegisterChannel) RegisterChannel;
  decltype(&c_RegisterValueByID) RegisterValueByID;
  decltype(&c_RegisterAttribute) RegisterAttribute;
  decltype(&c_ReceiveControl) ReceiveControl;
  // Null with a library that predates them: the demo then shows no
  // statistics, reads the log file at the end instead of following it, and
  // gives no reasons for refusals.
  decltype(&c_GetStatistics) GetStatistics;
  decltype(&c_SetOption) SetOption;
  decltype(&c_SetLogCallback) SetLogCallback;
  decltype(&c_GetLastResult) GetLastResult;
};

// The functions, resolved on the first call; null with `error` when the
// library or one of its names is missing. Call it from one thread first.
const TKvExports* LoadExports(std::string& error);

}  // namespace kv::demo
