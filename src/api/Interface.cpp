// The exported functions. Each converts the host's arguments and
// forwards to the one client through the process-wide slot; none lets an
// exception reach the host. Each keeps why it answered as it did for the
// calling thread (c_GetLastResult), and all but the four a log callback may
// use refuse at once when called from inside it: the worker thread that runs
// the callback must not wait for itself.
#include <new>

#include "api/ClientFacade.h"
#include "api/ClientSlot.h"
#include "api/HostCalls.h"
#include "api/HostOptions.h"
#include "api/Statistics.h"
#include "kvopros2.h"

namespace {

using kv::TCallResult;

// Never destroyed, like everything process-wide here: unloading the library
// must not wait on a worker thread (under the loader lock that would hang
// the host), and a host thread that calls in late still finds a valid lock.
// The host ends the client with c_DestroyOpros. Each lives in the library's
// own static storage rather than on the heap, so a host that unloads the
// library is left no block.
template <class T>
T& Forever() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const object = new (storage) T();
  return *object;
}

kv::TClientSlot& Slot() { return Forever<kv::TClientSlot>(); }
kv::TLogControl& HostLog() { return Forever<kv::TLogControl>(); }
kv::THostOptions& Options() { return Forever<kv::THostOptions>(); }

// The calling thread's last answer; a plain thread-local needs no lock.
thread_local int lastResult = KVOPROS2_RESULT_OK;

template <class R>
R Answer(R result, TCallResult why) noexcept {
  lastResult = static_cast<int>(why);
  return result;
}

kv_bool Answer(TCallResult why) noexcept { return Answer<kv_bool>(why == TCallResult::Ok, why); }

bool InCallback() noexcept { return kv::TLogControl::InsideCallback(); }

// Runs call(client) -> TCallResult on the client; NoClient without one,
// NoResources when it raises.
template <class Call>
kv_bool Forward(Call call) noexcept {
  if (InCallback()) return Answer(TCallResult::InCallback);
  TCallResult why = TCallResult::NoClient;
  Slot().WithClient(
      [&](kv::TClientFacade& client) {
        why = TCallResult::NoResources;
        call(client, why);
        return true;
      },
      false);
  return Answer(why);
}

std::unique_ptr<kv::TClientFacade> MakeClient(const kv::ClientSettings& settings) {
  return kv::CreateClientFacade(settings, HostLog());
}

}  // namespace

extern "C" {

kv_bool KVOPROS2_CALL c_CreateOpros(const char* host, int port, int timeoutSec, const char* login,
                                    const char* password, unsigned char setClock,
                                    unsigned char debugLog, const char* logFile) {
  if (InCallback()) return Answer(TCallResult::InCallback);
  try {
    kv::ClientSettings settings =
        kv::SettingsFromHost(host, port, timeoutSec, login, password, setClock, debugLog, logFile);
    kv::ApplyCreationOptions(Options(), settings);
    TCallResult why = TCallResult::NoResources;
    const bool made = Slot().Create(settings, MakeClient, &why);
    return Answer<kv_bool>(made, why);
  } catch (...) {
    return Answer(TCallResult::NoResources);
  }
}

kv_bool KVOPROS2_CALL c_DestroyOpros(void) {
  if (InCallback()) return Answer(TCallResult::InCallback);
  return Slot().Destroy() ? Answer(TCallResult::Ok) : Answer(TCallResult::NoClient);
}

int KVOPROS2_CALL c_IsServerConnected(void) {
  TCallResult why = TCallResult::NoClient;
  const int connected = Slot().WithClient(
      [&](kv::TClientFacade& client) {
        why = TCallResult::Ok;
        return client.IsConnected() ? 1 : 0;
      },
      0);
  return Answer(connected, why);
}

kv_bool KVOPROS2_CALL c_RegisterChannel(const char* addr, unsigned short type,
                                        unsigned char writeEnable, unsigned char saveValue,
                                        const char* comments, const char* prefix, const char* unit,
                                        const char* formatString, const char* description,
                                        unsigned short signification, const char* enumTexts) {
  return Forward([&](kv::TClientFacade& client, TCallResult& why) {
    kv::RegisterChannelCall(client, addr, type, writeEnable, saveValue, comments, prefix, unit,
                            formatString, description, signification, enumTexts, &why);
  });
}

kv_bool KVOPROS2_CALL c_RegisterValueByID(const char* addr, const FILETIME* time,
                                          unsigned short quality, VARIANT value) {
  return Forward([&](kv::TClientFacade& client, TCallResult& why) {
    kv::RegisterValueCall(client, addr, time, quality, value, &why);
  });
}

kv_bool KVOPROS2_CALL c_RegisterAttribute(const char* addr, unsigned short id, unsigned short type,
                                          VARIANT value) {
  return Forward([&](kv::TClientFacade& client, TCallResult& why) {
    kv::RegisterAttributeCall(client, addr, id, type, value, &why);
  });
}

kv_bool KVOPROS2_CALL c_ReceiveControl(char* addrBuf, int addrBufSize, kv_uint32* number,
                                       FILETIME* time, unsigned short* quality, VARIANT* value) {
  return Forward([&](kv::TClientFacade& client, TCallResult& why) {
    kv::ReceiveControlCall(client, addrBuf, addrBufSize, number, time, quality, value, &why);
  });
}

kv_bool KVOPROS2_CALL c_GetStatistics(kv_statistics* stats) {
  if (!kv::StatisticsArgOk(stats)) return Answer(TCallResult::BadArgument);
  TCallResult why = TCallResult::NoClient;
  const bool filled = Slot().WithClient(
      [&](kv::TClientFacade& client) {
        why = TCallResult::NoResources;
        const bool ok = kv::FillStatistics(client.Statistics(), stats);
        why = ok ? TCallResult::Ok : TCallResult::BadArgument;
        return ok;
      },
      false);
  return Answer<kv_bool>(filled, why);
}

kv_bool KVOPROS2_CALL c_SetOption(int option, kv_int64 value) {
  if (InCallback()) return Answer(TCallResult::InCallback);
  const TCallResult why = Options().Set(option, value);
  if (why != TCallResult::Ok) return Answer(why);
  const bool applied = Slot().WithClient(
      [&](kv::TClientFacade& client) {
        kv::ApplyLiveOption(option, value, HostLog(), &client);
        return true;
      },
      false);
  if (!applied) kv::ApplyLiveOption(option, value, HostLog(), nullptr);
  return Answer(TCallResult::Ok);
}

kv_bool KVOPROS2_CALL c_SetLogCallback(kv_log_callback callback, void* context) {
  HostLog().SetCallback(callback, context);
  return Answer(TCallResult::Ok);
}

int KVOPROS2_CALL c_GetLastResult(void) { return lastResult; }

int KVOPROS2_CALL c_GetVersion(void) { return Answer<int>(KVOPROS2_VERSION, TCallResult::Ok); }

}  // extern "C"
