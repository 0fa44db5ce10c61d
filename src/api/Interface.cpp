// The exported functions. Each converts the host's arguments and
// forwards to the one client through the process-wide slot; none lets an
// exception reach the host.
#include <new>

#include "api/ClientFacade.h"
#include "api/ClientSlot.h"
#include "api/HostCalls.h"
#include "api/Statistics.h"
#include "kvopros2.h"

namespace {

// Never destroyed: unloading the library must not wait on a worker thread
// (under the loader lock that would hang the host), and a host thread that
// calls in late still finds a valid lock. The host ends the client with
// c_DestroyOpros. The slot lives in the library's own static storage rather
// than on the heap, so a host that unloads the library is left no block.
kv::TClientSlot& Slot() {
  alignas(kv::TClientSlot) static unsigned char storage[sizeof(kv::TClientSlot)];
  static kv::TClientSlot* const slot = new (storage) kv::TClientSlot();
  return *slot;
}

}  // namespace

extern "C" {

kv_bool KVOPROS2_CALL c_CreateOpros(const char* host, int port, int timeoutSec, const char* login,
                                    const char* password, unsigned char setClock,
                                    unsigned char debugLog, const char* logFile) {
  try {
    return Slot().Create(
        kv::SettingsFromHost(host, port, timeoutSec, login, password, setClock, debugLog, logFile),
        kv::CreateClientFacade);
  } catch (...) {
    return 0;
  }
}

kv_bool KVOPROS2_CALL c_DestroyOpros(void) { return Slot().Destroy(); }

int KVOPROS2_CALL c_IsServerConnected(void) {
  return Slot().WithClient([](kv::TClientFacade& client) { return client.IsConnected() ? 1 : 0; },
                           0);
}

kv_bool KVOPROS2_CALL c_RegisterChannel(const char* addr, unsigned short type,
                                        unsigned char writeEnable, unsigned char saveValue,
                                        const char* comments, const char* prefix, const char* unit,
                                        const char* formatString, const char* description,
                                        unsigned short signification, const char* enumTexts) {
  return Slot().WithClient(
      [&](kv::TClientFacade& client) {
        return kv::RegisterChannelCall(client, addr, type, writeEnable, saveValue, comments, prefix,
                                       unit, formatString, description, signification, enumTexts);
      },
      false);
}

kv_bool KVOPROS2_CALL c_RegisterValueByID(const char* addr, const FILETIME* time,
                                          unsigned short quality, VARIANT value) {
  return Slot().WithClient(
      [&](kv::TClientFacade& client) {
        return kv::RegisterValueCall(client, addr, time, quality, value);
      },
      false);
}

kv_bool KVOPROS2_CALL c_RegisterAttribute(const char* addr, unsigned short id, unsigned short type,
                                          VARIANT value) {
  return Slot().WithClient(
      [&](kv::TClientFacade& client) {
        return kv::RegisterAttributeCall(client, addr, id, type, value);
      },
      false);
}

kv_bool KVOPROS2_CALL c_ReceiveControl(char* addrBuf, int addrBufSize, kv_uint32* number,
                                       FILETIME* time, unsigned short* quality, VARIANT* value) {
  return Slot().WithClient(
      [&](kv::TClientFacade& client) {
        return kv::ReceiveControlCall(client, addrBuf, addrBufSize, number, time, quality, value);
      },
      false);
}

kv_bool KVOPROS2_CALL c_GetStatistics(kv_statistics* stats) {
  if (!kv::StatisticsArgOk(stats)) return 0;
  return Slot().WithClient(
      [&](kv::TClientFacade& client) { return kv::FillStatistics(client.Statistics(), stats); },
      false);
}

}  // extern "C"
