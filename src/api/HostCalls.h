#pragma once
// The work of the exported functions on the host's C arguments: texts,
// FILETIME and VARIANT in, the client facade's calls out, and the
// out-parameters of c_ReceiveControl filled. The exports themselves only add
// the process-wide client slot (Interface.cpp); keeping the bodies here lets
// them run against any facade.
//
// The *Call functions may raise (std::bad_alloc, or whatever the facade
// raises); the caller turns that into false. None of them frees or clears
// anything the host passed. Each answers true when the call took what it
// was given and stores the reason of its answer at `why`, when given.
#include <cstdint>
#include <string>
#include <string_view>

#include "api/ClientFacade.h"
#include "kvopros2.h"
#include "runtime/Calendar.h"

namespace kv {

// A host text; null is the empty text. The view lasts as long as the
// host's text (the call).
std::string TextArg(const char* text);
std::string_view TextView(const char* text) noexcept;

// Copies at most size - 1 characters of addr into buffer, ends them with a
// zero, and always stores a zero at buffer[size - 1]. Does nothing for a
// null buffer or size <= 0.
void CopyAddress(std::string_view addr, char* buffer, int size) noexcept;

// The date-time of a host FILETIME, without time-zone conversion and
// without the sub-millisecond digits. False for a null pointer and for a
// FILETIME the calendar cannot hold.
bool DateTimeFromHost(const FILETIME* time, TDateTime& result) noexcept;
// The FILETIME of a date-time; zero for one before 1601 or outside the
// calendar, which the FILETIME cannot hold.
FILETIME DateTimeToHost(TDateTime value) noexcept;

ClientSettings SettingsFromHost(const char* host, int port, int timeoutSec, const char* login,
                                const char* password, unsigned char setClock,
                                unsigned char debugLog, const char* logFile);

bool RegisterChannelCall(TClientFacade& client, const char* addr, unsigned short type,
                         unsigned char writeEnable, unsigned char saveValue, const char* comments,
                         const char* prefix, const char* unit, const char* formatString,
                         const char* description, unsigned short signification,
                         const char* enumTexts, TCallResult* why = nullptr);

// False for a bad time (BadTime) or a refused kind of value
// (NotConvertible), without calling client.
bool RegisterValueCall(TClientFacade& client, const char* addr, const FILETIME* time,
                       unsigned short quality, VARIANT value, TCallResult* why = nullptr);

// False for a refused kind of value (NotConvertible), without calling client.
bool RegisterAttributeCall(TClientFacade& client, const char* addr, unsigned short id,
                           unsigned short type, const VARIANT& value, TCallResult* why = nullptr);

// Pops one control and fills the non-null out-parameters; false
// (QueueEmpty), touching none of them, when no control waits. The new
// variant stored at value is the host's to clear; what value held before is
// overwritten, not cleared.
bool ReceiveControlCall(TClientFacade& client, char* addrBuf, int addrBufSize, kv_uint32* number,
                        FILETIME* time, unsigned short* quality, VARIANT* value,
                        TCallResult* why = nullptr);

}  // namespace kv
