/*
 * kvopros2: client library of the Kavrel monitoring server, for a host
 * data-acquisition program that loads it into its own process.
 *
 * The host creates the client once (c_CreateOpros), declares its channels
 * (c_RegisterChannel) and their attributes (c_RegisterAttribute), hands over
 * every new value (c_RegisterValueByID), polls for control commands from the
 * server (c_ReceiveControl) and destroys the client at its end
 * (c_DestroyOpros). One worker thread of the library does all network work:
 * it connects, logs in, registers the channels, sends changed values, takes
 * the server's commands, tests the link and writes the log. No export waits
 * for the network.
 *
 * Conventions of every function below
 * -----------------------------------
 * Calling convention: C (cdecl; the caller removes the arguments). The
 *   32-bit Windows DLL exports the c_ functions under their decorated
 *   names _c_CreateOpros ... _c_ReceiveControl, _c_GetStatistics,
 *   _c_SetOption, _c_SetLogCallback, _c_GetLastResult and _c_GetVersion (the import
 *   library libkvopros2.dll.a links C callers to them; GetProcAddress takes
 *   the decorated names); the Linux library exports them under their plain
 *   names, together with the kv_ helpers. A host that must also run with an
 *   older library looks the later exports (from c_GetStatistics on) up as
 *   optional.
 * Results: kv_bool is one byte, 1 = true, 0 = false. c_IsServerConnected
 *   returns an int that is exactly 0 or 1. No export raises, crashes on a
 *   failure of its own or writes to the log; failures are reported by the
 *   result, and c_GetLastResult tells the calling thread why its last call
 *   answered as it did (a KVOPROS2_RESULT_ code).
 * Texts: const char*, zero-terminated, Windows-1251. A null pointer is taken
 *   as an empty text. The library copies what it needs during the call and
 *   never keeps a pointer the host passed.
 * Flags (unsigned char): 0 = off, any other value = on.
 * Numbers: data types, qualities, attribute ids and significations have the
 *   KVOPROS2_TYPE_, KVOPROS2_QUALITY_, KVOPROS2_ATTR_ and
 *   KVOPROS2_SIGNIFICATION_ names below.
 * VARIANT arguments are passed by value; the library reads them and never
 *   clears or frees them: the host still owns what they point to. Kinds
 *   taken: VT_EMPTY, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT,
 *   VT_UINT, VT_R4, VT_R8, VT_DATE, VT_BSTR (a null BSTR is an empty text),
 *   VT_BOOL, and one-dimensional VT_ARRAY of these except VT_EMPTY. Any
 *   other kind (VT_BYREF, VT_DISPATCH, VT_VARIANT arrays, several
 *   dimensions...) makes the call return false (c_RegisterValueByID with a
 *   quality other than good excepted: see there).
 * c_ReceiveControl fills the VARIANT the host passes with a new value and
 *   does not clear what it held before: the host owns the new value and must
 *   clear it (VariantClear; kv_VariantClear on Linux).
 * Date-times travel as FILETIME without time-zone conversion: the library
 *   uses whatever zone the host uses.
 *
 * Threads
 * -------
 * c_CreateOpros and c_DestroyOpros are meant to be called once each, at the
 *   host's start and end, from any one thread. They may run while other host
 *   threads are inside the other exports: those calls finish first
 *   (c_DestroyOpros waits for them and for the library's worker thread); a
 *   call made after c_DestroyOpros returns false.
 * c_IsServerConnected, c_RegisterChannel, c_RegisterValueByID,
 *   c_RegisterAttribute, c_ReceiveControl, c_GetStatistics, c_SetOption,
 *   c_SetLogCallback, c_GetLastResult and c_GetVersion may be called from any thread at
 *   any time, also from several at once; they never wait for the network.
 * The log callback (c_SetLogCallback) runs on the library's worker thread.
 *   Inside it only c_IsServerConnected, c_GetStatistics, c_GetLastResult,
 *   c_GetVersion and c_SetLogCallback work; every other export returns false at once
 *   with KVOPROS2_RESULT_IN_CALLBACK and changes nothing.
 * The kv_ helpers keep no shared state; one value must not be used by two
 *   threads at once.
 * Unloading the library does nothing: call c_DestroyOpros before it, and
 *   not from DllMain or from a destructor run while the library unloads (it
 *   waits for a thread).
 *
 * The log the library writes (c_CreateOpros' logFile, and the lines a log
 * callback gets) is described line by line, with what to do about each, in
 * docs/LOG.md (share/doc/kvopros2/ in an installed tree).
 *
 * Windows types on Linux
 * ----------------------
 * On Linux this header defines the few Windows types it uses (VARIANT,
 * BSTR, SAFEARRAY, FILETIME and their kin) with the layout given below. A
 * host that has its own definitions of them defines
 * KVOPROS2_HOST_WINDOWS_TYPES before including this header, which then uses
 * the host's: VARTYPE, VARIANT_BOOL, OLECHAR, BSTR, DATE, the VT_ numbers,
 * SAFEARRAYBOUND, SAFEARRAY, VARIANT and FILETIME must all be defined, with
 * the same layout (a 16-byte VARIANT, a 2-byte OLECHAR, an 8-byte
 * FILETIME); the header refuses to compile when the sizes differ. (Wine's
 * own headers give 64-bit programs a 24-byte VARIANT: that layout cannot
 * be passed to this library.)
 *
 * The header compiles as C (C89 with GNU-compatible compilers, C99, C11)
 * and as C++.
 */
#ifndef KVOPROS2_H
#define KVOPROS2_H

/* KVOPROS2_VERSION_MAJOR, _MINOR, _PATCH and KVOPROS2_VERSION. */
#include "kvopros2_version.h"

#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>
#else
#include <stdint.h>
#endif

/* Data type codes of channels and attributes (c_RegisterChannel's type,
 * c_RegisterAttribute's type). A value handed over is converted to its
 * channel's or attribute's type; one that does not convert is dropped. */
#define KVOPROS2_TYPE_EMPTY 0
#define KVOPROS2_TYPE_INT2 2   /* signed 16 bits */
#define KVOPROS2_TYPE_INT4 3   /* signed 32 bits */
#define KVOPROS2_TYPE_FLOAT4 4 /* IEEE binary32 */
#define KVOPROS2_TYPE_FLOAT8 5 /* IEEE binary64 */
#define KVOPROS2_TYPE_DATE 7   /* OLE date: days since 1899-12-30 */
#define KVOPROS2_TYPE_BOOLEAN 11
#define KVOPROS2_TYPE_INT1 16    /* signed 8 bits */
#define KVOPROS2_TYPE_UINT1 17   /* unsigned 8 bits */
#define KVOPROS2_TYPE_UINT2 18   /* unsigned 16 bits */
#define KVOPROS2_TYPE_UINT4 19   /* unsigned 32 bits */
#define KVOPROS2_TYPE_STRING 256 /* Windows-1251 text */
/* Added to an element type: a one-dimensional array of it, for example
 * (KVOPROS2_TYPE_ARRAY | KVOPROS2_TYPE_FLOAT8). A single value handed to an
 * array type becomes an array of one element. */
#define KVOPROS2_TYPE_ARRAY 0x1000

/* Qualities of a value (c_RegisterValueByID's and c_ReceiveControl's
 * quality). Only a good value is stored: with any other quality the channel
 * keeps its previous value and the server gets the new quality with it. The
 * channel keeps the low 8 bits; 9 to 255 are shown as their number. */
#define KVOPROS2_QUALITY_GOOD 0
#define KVOPROS2_QUALITY_OFF 1                 /* "Выключен" */
#define KVOPROS2_QUALITY_UNDEFINED 2           /* "Состояние не определено" */
#define KVOPROS2_QUALITY_SENSOR_FAULT 3        /* "Неисправен датчик" */
#define KVOPROS2_QUALITY_CONTROLLER_FAULT 4    /* "Неисправен контроллер" */
#define KVOPROS2_QUALITY_UNRELIABLE 5          /* "Значение недостоверно" */
#define KVOPROS2_QUALITY_SENSOR_DISCONNECTED 6 /* "Датчик не подключен" */
#define KVOPROS2_QUALITY_NO_LINK 7             /* "Нет связи" */
#define KVOPROS2_QUALITY_RECORDER_FAULT 8      /* "Неисправен регистратор" */

/* Attribute ids the library gives a meaning to (c_RegisterAttribute's id),
 * with the type to set them with. Any other id from 1 to 65535 may be set
 * as well; the server gets it as it is. */
#define KVOPROS2_ATTR_EU_TYPE 7               /* Int2: 2 = state names, 3 = EU_INFO3 form */
#define KVOPROS2_ATTR_EU_INFO1 9              /* array of Float8 */
#define KVOPROS2_ATTR_EU_INFO2 10             /* array of String: state names */
#define KVOPROS2_ATTR_EU_INFO3 11             /* Int4 */
#define KVOPROS2_ATTR_UNIT 100                /* String */
#define KVOPROS2_ATTR_COMMENTS 101            /* String */
#define KVOPROS2_ATTR_PREFIX 112              /* String */
#define KVOPROS2_ATTR_SOUND_FILE 205          /* String */
#define KVOPROS2_ATTR_ALARM_MESSAGE 301       /* String */
#define KVOPROS2_ATTR_DEADBAND 306            /* the channel's type */
#define KVOPROS2_ATTR_HIHI_LIMIT 307          /* the channel's type */
#define KVOPROS2_ATTR_HI_LIMIT 308            /* the channel's type */
#define KVOPROS2_ATTR_LO_LIMIT 309            /* the channel's type */
#define KVOPROS2_ATTR_LOLO_LIMIT 310          /* the channel's type */
#define KVOPROS2_ATTR_WATCH_LIMITS 314        /* Boolean */
#define KVOPROS2_ATTR_DESCRIPTION 5000        /* String */
#define KVOPROS2_ATTR_CONNECTION_QUALITY 5001 /* Int2 */
#define KVOPROS2_ATTR_FORMAT 5002             /* String: printf-style format of the value */
#define KVOPROS2_ATTR_MASKED 5003             /* Boolean */
#define KVOPROS2_ATTR_DTYPE 5004              /* UInt1 */
#define KVOPROS2_ATTR_SYSM 5005               /* UInt1 */
#define KVOPROS2_ATTR_ALARM_ID 5006           /* array of three Int4 */
#define KVOPROS2_ATTR_SIGNIFICATION 5009      /* UInt1: a KVOPROS2_SIGNIFICATION_ */
/* KVOPROS2_ATTR_QUALITY_TEXT + q (q = 0 to 255): the channel's own String
 * text for quality q. */
#define KVOPROS2_ATTR_QUALITY_TEXT 5100

/* What a channel measures or controls (c_RegisterChannel's signification;
 * 0 sets none). Larger codes are allowed and shown as their number. */
#define KVOPROS2_SIGNIFICATION_UNDEFINED 0     /* "Не определено" */
#define KVOPROS2_SIGNIFICATION_PULSE_COUNTER 1 /* "Интегратор в импульсах" */
#define KVOPROS2_SIGNIFICATION_UNIT_COUNTER 2 /* "Интегратор в физических единицах" */
#define KVOPROS2_SIGNIFICATION_CONTROL 3          /* "Канал управления" */
#define KVOPROS2_SIGNIFICATION_MONITOR 4          /* "Канал контроля" */
#define KVOPROS2_SIGNIFICATION_INTRUSION_SENSOR 5 /* "Охранный датчик" */
#define KVOPROS2_SIGNIFICATION_FIRE_SENSOR 6      /* "Пожарный датчик" */
#define KVOPROS2_SIGNIFICATION_SECURITY_STATE 7   /* "Состояние охраны" */
#define KVOPROS2_SIGNIFICATION_GAS_SENSOR 8       /* "Газовый датчик" */
#define KVOPROS2_SIGNIFICATION_TEMPERATURE 9      /* "Датчик температуры" */
#define KVOPROS2_SIGNIFICATION_MANUAL_CALL_POINT 10 /* "Пожарный ручной извещатель" */
#define KVOPROS2_SIGNIFICATION_FLOOD_SENSOR 11 /* "Датчик затопления" */
#define KVOPROS2_SIGNIFICATION_ELEVATOR 12     /* "Лифт" */
#define KVOPROS2_SIGNIFICATION_PRESSURE 13     /* "Датчик давления" */
#define KVOPROS2_SIGNIFICATION_POWER 14        /* "Мощность" */
#define KVOPROS2_SIGNIFICATION_ENTHALPY 15     /* "Энтальпия" */
#define KVOPROS2_SIGNIFICATION_FLOW_RATE 16 /* "Мгновенный (текущий) расход" */

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char kv_bool;

/* Why the calling thread's last call of an export returned what it did
 * (c_GetLastResult), as Windows hosts know it from GetLastError. Every
 * export sets it, c_GetLastResult itself excepted; each thread has its own.
 * A code may come with true as well (see each export). */
#define KVOPROS2_RESULT_OK 0
#define KVOPROS2_RESULT_UNCHANGED 1       /* the value equals the channel's: nothing to send */
#define KVOPROS2_RESULT_NO_CLIENT 2       /* no c_CreateOpros, or after c_DestroyOpros */
#define KVOPROS2_RESULT_UNKNOWN_CHANNEL 3 /* no channel was declared with the address */
#define KVOPROS2_RESULT_EMPTY_ADDRESS 4   /* the address is empty or null */
#define KVOPROS2_RESULT_BAD_TYPE 5        /* not a KVOPROS2_TYPE_ the library can send */
#define KVOPROS2_RESULT_TOO_LARGE 6       /* more than one record to the server carries */
#define KVOPROS2_RESULT_NOT_CONVERTIBLE 7 /* a kind of VARIANT the library does not take */
#define KVOPROS2_RESULT_REPLACED 8        /* an attribute of the same id was replaced */
#define KVOPROS2_RESULT_QUEUE_EMPTY 9     /* no control waits */
#define KVOPROS2_RESULT_IN_CALLBACK 10    /* called from inside the log callback */
#define KVOPROS2_RESULT_BAD_ID 11         /* attribute id 0 */
#define KVOPROS2_RESULT_BAD_TIME 12       /* null time, or one the calendar cannot hold */
#define KVOPROS2_RESULT_BAD_ARGUMENT 13   /* a null pointer or a size too small */
#define KVOPROS2_RESULT_UNKNOWN_OPTION 14 /* c_SetOption: no such option */
#define KVOPROS2_RESULT_OUT_OF_RANGE 15   /* c_SetOption: the value is outside the option's range */
#define KVOPROS2_RESULT_CLIENT_EXISTS 16  /* c_CreateOpros: a client runs; arguments ignored */
#define KVOPROS2_RESULT_NO_RESOURCES 17   /* out of memory, or no thread could be started */

/* The longest channel address, in bytes: what one registration record to
 * the server carries besides the channel's type. The channel's attributes
 * (c_RegisterChannel's texts, c_RegisterAttribute) travel in the same
 * record, so a channel with long texts has less room
 * (KVOPROS2_RESULT_TOO_LARGE). */
#define KVOPROS2_MAX_ADDRESS_LENGTH 65524

/* Options (c_SetOption). Each is process-wide: set before c_CreateOpros or
 * while a client runs, it is kept for every later client. An option is
 * either live, changing the running client within one pass of its worker
 * as well, or read at creation, taking effect with the next c_CreateOpros.
 *   KVOPROS2_OPTION_DEBUG_LOG (live) 0 or 1: switches the running client's
 *     DEBUG lines. c_CreateOpros' debugLog sets the switch when a client is
 *     created, so this option matters once a client runs; set while none
 *     runs it is accepted and changes nothing. The log says when it was
 *     switched.
 *   KVOPROS2_OPTION_LOG_MAX_BYTES (live) 0, the default: the log file grows
 *     without end; or 65536 to 2147483647: before a line would take the file
 *     past this size, the file is renamed NAME.1 (older ones move up to
 *     NAME.2 ... NAME.N, the one beyond N is deleted) and a new file is
 *     started. No line is split between files. A rename that fails (the file
 *     held open by another program, a read-only folder) leaves the file in
 *     use: writing goes on in it, one ERROR line says so, and the rename is
 *     tried again once the file has grown by the size once more.
 *   KVOPROS2_OPTION_LOG_FILES (live) 1 to 100, default 5: N, the rotated
 *     files kept. Files numbered beyond a lowered N are left alone.
 *   KVOPROS2_OPTION_HISTORY_BYTES (read at creation) 0, the default: no
 *     history (a channel that cannot send waits with its latest value only,
 *     as c_RegisterValueByID says); or 65536 to 536870912 (512 MiB): the
 *     value history, meant for servers that file each value under its own
 *     time stamp. A value that c_RegisterValueByID accepts while its channel
 *     cannot send at once (the client is not logged in, the server has not
 *     activated the channel yet, or values of the channel are still kept)
 *     is also kept, with its time stamp and quality, within this many bytes
 *     (every byte of the kept records counts, a text's or an array's
 *     included). After a login, as soon as the channel is active, the server
 *     gets its kept values in the order they were handed over and then its
 *     current value, which may repeat the last kept one; on one connection
 *     never a kept value after a newer value of the same channel. Kept values
 *     go out a slice a pass, so the client still reads and answers while a
 *     long history drains, and channels without kept values are not held
 *     back by it. When a value takes the history past the bound, the oldest
 *     kept values (of all channels) are dropped: the call is never refused
 *     or delayed for it. The next login's first kept values come after one
 *     ERROR line with their count; c_GetStatistics counts them. A kept value
 *     written to a connection that then fails may be lost with it; values not
 *     yet written when a connection ends are kept for the next login. The
 *     history lives in memory: values kept when the client ends are lost.
 *     The call's result and the channel's current value are as without it.
 *   KVOPROS2_OPTION_HISTORY_SECONDS (read at creation) 0, the default: kept
 *     values do not age; or 1 to 2073600 (24 days): a kept value older than
 *     this, counted from its c_RegisterValueByID, is dropped instead of sent
 *     (and counted by c_GetStatistics). */
#define KVOPROS2_OPTION_DEBUG_LOG 1
#define KVOPROS2_OPTION_LOG_MAX_BYTES 2
#define KVOPROS2_OPTION_LOG_FILES 3
#define KVOPROS2_OPTION_HISTORY_BYTES 4
#define KVOPROS2_OPTION_HISTORY_SECONDS 5

/* Levels of the lines a log callback gets, named by each line's level word
 * (they are names, not an order). */
#define KVOPROS2_LOG_ERROR 1
#define KVOPROS2_LOG_INFO 2
#define KVOPROS2_LOG_DEBUG 3
#define KVOPROS2_LOG_WARNING 4

/* Control commands that wait for c_ReceiveControl at most. While this many
 * wait, further ones from the server are dropped (and logged) until the
 * host takes some; the oldest are kept and come first. */
#define KVOPROS2_MAX_WAITING_CONTROLS 65536

#ifdef _WIN32

#define KVOPROS2_CALL __cdecl
/* Exports come from the module definition file only. */
#define KVOPROS2_API
typedef DWORD kv_uint32;
typedef ULONGLONG kv_uint64;
typedef LONGLONG kv_int64;

#else /* Linux */

#define KVOPROS2_CALL
#if defined(__GNUC__)
#define KVOPROS2_API __attribute__((visibility("default")))
#define KVOPROS2_EXTENSION __extension__
#else
#define KVOPROS2_API
#define KVOPROS2_EXTENSION
#endif
typedef uint32_t kv_uint32;
typedef uint64_t kv_uint64;
typedef int64_t kv_int64;

#ifndef KVOPROS2_HOST_WINDOWS_TYPES
/* The Windows types this interface uses, with their layout. */

typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef uint16_t OLECHAR;
/* Points at zero-terminated UTF-16 units; the uint32 in front of them holds
 * the length in bytes, terminator excluded. */
typedef OLECHAR* BSTR;
typedef double DATE;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000
};

typedef struct tagSAFEARRAYBOUND {
  uint32_t cElements;
  int32_t lLbound;
} SAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
  uint16_t cDims;
  uint16_t fFeatures;
  uint32_t cbElements;
  uint32_t cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

/* 16 bytes: the kind word, three reserved words, the 8-byte value. */
typedef struct tagVARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  KVOPROS2_EXTENSION union {
    int64_t llVal;
    int32_t lVal;
    uint8_t bVal;
    int16_t iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    DATE date;
    char cVal;
    uint16_t uiVal;
    uint32_t ulVal;
    int32_t intVal;
    uint32_t uintVal;
    BSTR bstrVal;
    SAFEARRAY* parray;
  };
} VARIANT;

/* 100-ns units since 1601-01-01, low half first. */
typedef struct tagFILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
} FILETIME;

#else /* KVOPROS2_HOST_WINDOWS_TYPES: the host's types must have this layout. */

typedef char kvopros2_check_variant_size[sizeof(VARIANT) == 16 ? 1 : -1];
typedef char kvopros2_check_olechar_size[sizeof(OLECHAR) == 2 && sizeof(*(BSTR)0) == 2 ? 1 : -1];
typedef char kvopros2_check_filetime_size[sizeof(FILETIME) == 8 ? 1 : -1];
typedef char kvopros2_check_safearray_size[sizeof(SAFEARRAY) == 16 + 2 * sizeof(void*) ? 1 : -1];

#endif /* KVOPROS2_HOST_WINDOWS_TYPES */

/* Status codes of the kv_ helpers (the OLE numbers). */
#define KV_S_OK 0
#define KV_E_INVALIDARG ((int32_t)0x80070057)
#define KV_E_OUTOFMEMORY ((int32_t)0x8007000E)
#define KV_DISP_E_BADVARTYPE ((int32_t)0x80020008)
#define KV_DISP_E_BADINDEX ((int32_t)0x8002000B)
#define KV_DISP_E_ARRAYISLOCKED ((int32_t)0x8002000D)

/* Texts: kv_SysAllocString copies a zero-terminated text, kv_SysAllocStringLen
 * `length` units of it (zeros when text is null). Null when out of memory
 * (and kv_SysAllocString(NULL) is null). Free with kv_SysFreeString, which
 * accepts null. kv_SysStringLen counts units; 0 for null. */
KVOPROS2_API BSTR kv_SysAllocString(const OLECHAR* text);
KVOPROS2_API BSTR kv_SysAllocStringLen(const OLECHAR* text, uint32_t length);
KVOPROS2_API void kv_SysFreeString(BSTR text);
KVOPROS2_API uint32_t kv_SysStringLen(BSTR text);

/* Variants: Init makes VT_EMPTY without reading the old contents. Clear
 * frees what the variant owns (its BSTR or safe array) and makes it
 * VT_EMPTY; by-reference values are not freed. Copy makes dest a deep copy
 * of source after clearing dest. */
KVOPROS2_API void kv_VariantInit(VARIANT* value);
KVOPROS2_API int32_t kv_VariantClear(VARIANT* value);
KVOPROS2_API int32_t kv_VariantCopy(VARIANT* dest, const VARIANT* source);

/* Safe arrays, one dimension. CreateVector makes `count` zeroed elements
 * of kind vt (VT_I1, VT_UI1, VT_I2, VT_UI2, VT_BOOL, VT_I4, VT_UI4, VT_INT,
 * VT_UINT, VT_R4, VT_ERROR, VT_R8, VT_DATE, VT_CY, VT_I8, VT_UI8, VT_BSTR,
 * VT_VARIANT) indexed from lowerBound; null for another kind or when out of
 * memory. Destroy frees the array and the BSTRs and variants in it; it fails
 * while the data is accessed. AccessData locks the array and gives its
 * element block; UnaccessData unlocks it. GetElement copies one element out
 * (a new BSTR or variant the caller frees); PutElement copies one in,
 * freeing the element it replaces. Only arrays made by CreateVector may be
 * passed to Destroy and PutElement. */
KVOPROS2_API SAFEARRAY* kv_SafeArrayCreateVector(VARTYPE vt, int32_t lowerBound, uint32_t count);
KVOPROS2_API int32_t kv_SafeArrayDestroy(SAFEARRAY* array);
KVOPROS2_API int32_t kv_SafeArrayAccessData(SAFEARRAY* array, void** data);
KVOPROS2_API int32_t kv_SafeArrayUnaccessData(SAFEARRAY* array);
KVOPROS2_API int32_t kv_SafeArrayGetElement(SAFEARRAY* array, const int32_t* index, void* value);
KVOPROS2_API int32_t kv_SafeArrayPutElement(SAFEARRAY* array, const int32_t* index,
                                            const void* value);

#endif /* _WIN32 */

/* c_CreateOpros: creates the client and starts its worker thread, which
 * connects and logs in on its own and keeps the link up, reconnecting after
 * every loss. Returns at once; c_IsServerConnected tells when it is in.
 *   host      server name or dotted IPv4 address, resolved by the worker at
 *             every attempt (each IPv4 address of a name is tried in turn);
 *             or a list of servers separated by ';', the main one first and
 *             its reserves after it, for example
 *             "10.0.0.5;10.0.0.6:3001;kavrel-reserve". Blanks around an entry
 *             are ignored, empty entries skipped; an entry may carry its own
 *             ":port" (1 to 65535). At most 8 entries are used; entries left
 *             out (beyond 8, a bad port, no name) are named in one ERROR line
 *             of the log at the start.
 *   port      server TCP port of the entries without their own; the
 *             connection uses its low 16 bits.
 *   timeoutSec  network time-out in seconds, 1 or more (10 is usual): how
 *             long a connection attempt and the wait for the login reply may
 *             take, and how long a silent server may leave the link test's
 *             status request (sent after 60 s without a message) unanswered
 *             before the link counts as lost (timeoutSec + 60 s after its
 *             last message). 0 or less leaves no time to wait: a login then
 *             only succeeds with a server that answers at once.
 *   login     login name, at most 39 characters sent (longer ones are cut).
 *   password  at most 19 characters sent; never written to the log.
 *   setClock  set the computer's clock from the server's time, at login and
 *             whenever the server sends its time; needs the right to set
 *             the clock (without it the log says so and nothing happens).
 *   debugLog  also log every value sent and every control received
 *             (KVOPROS2_OPTION_DEBUG_LOG switches it while the client runs).
 *   logFile   path of the log file (relative paths from the host's current
 *             directory); lines are appended, the file is never truncated,
 *             and rotated only with KVOPROS2_OPTION_LOG_MAX_BYTES; empty or
 *             null: no log file (a log callback still gets every line).
 * A failed login is retried after 60 s; an unreachable server once a
 * second, of which only the first five failures are logged.
 * With a list, the first attempt goes to the main server; a failed one moves
 * on to the next entry at once, wrapping round after the last, and the
 * rules above hold for each server on its own (a server that refused the
 * login waits its 60 s while the others are tried). Once logged in, the
 * client stays at that server; after a lost link it tries the main server
 * first again. A login at another server than the one before is logged,
 * and counted in c_GetStatistics (serverIndex, serverSwitches).
 * With a client already running, returns true and changes nothing (the
 * first settings stay in force; KVOPROS2_RESULT_CLIENT_EXISTS). Returns
 * false only when the client cannot be created (NO_RESOURCES: out of
 * memory, no thread) and inside a log callback (IN_CALLBACK). Options read
 * at creation are taken from c_SetOption. Thread: any one, see Threads. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_CreateOpros(const char* host, int port, int timeoutSec,
                                                 const char* login, const char* password,
                                                 unsigned char setClock, unsigned char debugLog,
                                                 const char* logFile);

/* c_DestroyOpros: stops the worker thread, waits until it has logged off
 * and ended, and frees the client with its channels and the controls still
 * waiting. While logged in, the worker first sends what the host handed
 * over and it had not sent yet, for at most half a second. Blocks until the
 * worker has finished (at most about a second whatever the servers do;
 * longer only while the system resolves a
 * server's name, which cannot be interrupted: as long as the name service
 * takes to answer). False when there is no client (NO_CLIENT), and inside a
 * log callback (IN_CALLBACK). A new c_CreateOpros may follow. Thread: any
 * one, see Threads. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_DestroyOpros(void);

/* c_IsServerConnected: 1 while logged in to the server, else 0 (also
 * without a client: NO_CLIENT, else OK). Values and channels are taken
 * before the login too; they are sent once it succeeds. Thread: any, also
 * inside a log callback. */
KVOPROS2_API int KVOPROS2_CALL c_IsServerConnected(void);

/* c_RegisterChannel: declares a channel; the worker registers it with the
 * server, which activates it and gives it a number; only then are its
 * values sent.
 *   addr          the channel's address (case-insensitive, not empty, at
 *                 most KVOPROS2_MAX_ADDRESS_LENGTH bytes).
 *   type          its data type, a KVOPROS2_TYPE_ code.
 *   writeEnable   the server may send controls for it. The server decides:
 *                 a control it sends reaches the host whether or not the
 *                 channel was declared writable.
 *   saveValue     the server is to keep its value.
 *   comments, prefix, unit, formatString, description  texts set as the
 *                 attributes KVOPROS2_ATTR_COMMENTS, _PREFIX, _UNIT, _FORMAT
 *                 and _DESCRIPTION; empty or null ones are not set.
 *   signification a KVOPROS2_SIGNIFICATION_ code; 0 sets none.
 *   enumTexts     state names separated by tabs ("Off\tOn": value 0 is "Off",
 *                 1 is "On"); empty or null for none.
 * Declaring an address again replaces the channel's settings but keeps its
 * number: it is registered anew and is inactive until the server confirms
 * it, its value is reset, and attributes set by c_RegisterAttribute are
 * dropped; declare first, then set attributes and values. False without a
 * client (NO_CLIENT), for an empty address (EMPTY_ADDRESS), a type the
 * library cannot send (BAD_TYPE), an address and texts longer than a
 * registration carries (TOO_LARGE), or when memory runs out (NO_RESOURCES).
 * Thread: any. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_RegisterChannel(
    const char* addr, unsigned short type, unsigned char writeEnable, unsigned char saveValue,
    const char* comments, const char* prefix, const char* unit, const char* formatString,
    const char* description, unsigned short signification, const char* enumTexts);

/* c_RegisterValueByID: hands over a new value of a declared channel. The
 * worker sends the channel's latest value once the channel is active; values
 * that follow each other faster than they are sent are not queued.
 *   addr     the channel's address.
 *   time     the value's time stamp, in the host's own time zone; read only
 *            during the call.
 *   quality  KVOPROS2_QUALITY_GOOD stores value; any other quality keeps
 *            the channel's previous value and sends it with this quality.
 *   value    the value, converted to the channel's type (one that does not
 *            convert leaves the previous value). A VT_BOOL true arrives as 1.
 * False without a client (NO_CLIENT), for an empty address (EMPTY_ADDRESS)
 * or one not declared (UNKNOWN_CHANNEL), for a null time or one the
 * calendar cannot hold (BAD_TIME), for a kind of value not taken with the
 * good quality (NOT_CONVERTIBLE; with another quality, which stores no
 * value, such a value - a sensor fault reported with VT_NULL - still carries
 * time and quality, as VT_EMPTY does), for a text or array longer than a
 * value record carries (TOO_LARGE), and when time, quality and value equal
 * the channel's current ones (UNCHANGED: nothing to send, not an error).
 * Thread: any; calls on different channels do not wait for each other's
 * conversions. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_RegisterValueByID(const char* addr, const FILETIME* time,
                                                       unsigned short quality, VARIANT value);

/* c_RegisterAttribute: sets attribute id (a KVOPROS2_ATTR_ id or any other
 * from 1) of a declared channel to value converted to type (a
 * KVOPROS2_TYPE_ code, not 0), replacing an attribute of the same id with
 * its type, and registers the channel anew so the server gets it. A value
 * that does not convert to type is not stored (the attribute is left
 * without one). True when the attribute was added; false when it replaced
 * one the channel had (REPLACED: it is set all the same), and false without
 * a client (NO_CLIENT), for an empty (EMPTY_ADDRESS) or undeclared
 * (UNKNOWN_CHANNEL) address, an id of 0 (BAD_ID), a type of 0 or one the
 * library cannot send (BAD_TYPE), a kind of value not taken
 * (NOT_CONVERTIBLE), or an attribute the channel's registration has no room
 * for (TOO_LARGE). Thread: any. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_RegisterAttribute(const char* addr, unsigned short id,
                                                       unsigned short type, VARIANT value);

/* c_ReceiveControl: takes the oldest control command the server sent for an
 * active channel (declared writable or not: the server decides). False
 * (nothing written) without a client (NO_CLIENT) or when none is waiting
 * (QUEUE_EMPTY): call it until it returns false, as often as controls may
 * come.
 * At most KVOPROS2_MAX_WAITING_CONTROLS controls wait for the host; when
 * more arrive, controls are dropped and the log says so. Otherwise each
 * non-null out-parameter is filled and true returned:
 *   addrBuf, addrBufSize  at most addrBufSize - 1 characters of the channel
 *            address and a terminating zero (nothing when addrBufSize <= 0):
 *            a longer address is cut to the buffer. Empty when the server
 *            named the channel by number, which `number` then carries and
 *            which identifies the channel whatever the buffer; a control
 *            named by address has no number, so a host whose addresses may
 *            be long passes room for the longest it declared (at most
 *            KVOPROS2_MAX_ADDRESS_LENGTH + 1 bytes).
 *   number   the channel number the server named it by, else 0.
 *   time     the control's time stamp; a time before 1601 comes out as a
 *            zero FILETIME.
 *   quality  the control's quality.
 *   value    a new variant (texts as VT_BSTR, arrays as VT_ARRAY) that the
 *            host owns and must clear; what it held before is overwritten,
 *            not cleared.
 * Null out-parameters are skipped; the control is taken all the same.
 * Thread: any; two threads never get the same control. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_ReceiveControl(char* addrBuf, int addrBufSize,
                                                    kv_uint32* number, FILETIME* time,
                                                    unsigned short* quality, VARIANT* value);

/* The layout version of kv_statistics this library fills. A later version
 * only appends fields: version 2 added serverIndex and serverSwitches,
 * version 3 the value history's historyValues ... historySent. */
#define KVOPROS2_STATISTICS_VERSION 3
/* The fixed header of kv_statistics: size and version. */
#define KVOPROS2_STATISTICS_HEADER_SIZE 8

/* What c_GetStatistics fills. The same layout on every platform and
 * compiler: the two 32-bit header fields, then only 64-bit fields, each at a
 * multiple of 8 bytes, with no padding (8-byte packing is stated so that
 * 32-bit hosts, which may align 64-bit fields to 4, agree). Counters count
 * from the client's creation (a client created after c_DestroyOpros starts
 * from 0) and never go back; gauges (marked so) are counted at the call. Times are milliseconds
 * since 1970-01-01 00:00 UTC, 0 for none. */
#pragma pack(push, 8)
typedef struct kv_statistics {
  kv_uint32 size;           /* set by the host: sizeof(kv_statistics) as it knows it */
  kv_uint32 version;        /* set by the library: KVOPROS2_STATISTICS_VERSION */
  kv_uint64 connectedSince; /* time of the current login; 0 while not logged in */
  kv_uint64 logins;         /* successful logins */
  /* Connections that ended, by reason: */
  kv_uint64 dropsClosedByServer; /* the server closed it */
  kv_uint64 dropsReset;          /* reset or aborted (a socket error) */
  kv_uint64 dropsWriteTimeout;   /* the server took nothing for timeoutSec */
  kv_uint64 dropsLinkTest;       /* the link test went unanswered */
  kv_uint64 dropsProtocolError;  /* the server sent what cannot be read */
  kv_uint64 dropsLoginRefused;   /* the server refused the login */
  kv_uint64 bytesSent;           /* taken by the socket */
  kv_uint64 bytesReceived;
  kv_uint64 recordsSent;        /* login, registrations, values, status requests */
  kv_uint64 recordsReceived;    /* login replies and the server's messages */
  kv_uint64 valuesCoalesced;    /* values taken but replaced by a newer one before they went out */
  kv_uint64 channelsRegistered; /* gauge: channels declared */
  kv_uint64 channelsActive;     /* gauge: active with a number from the server */
  kv_uint64 channelsWaiting;    /* gauge: with a registration or value still to send */
  kv_uint64 controlsReceived;   /* control commands from the server */
  kv_uint64 controlsWaiting;    /* gauge: queued for c_ReceiveControl */
  kv_uint64 controlsRefused;    /* not queued: unknown or inactive channel, full queue */
  kv_uint64 lastError;     /* WinSock number of the last failed connect, read or write; 0: none */
  kv_uint64 lastErrorTime; /* when it happened */
  /* Version 2: */
  kv_uint64
      serverIndex;          /* the server of the current login, else of the last one, as its place
                               in c_CreateOpros' host list: 0 the main server, 1 the first reserve... */
  kv_uint64 serverSwitches; /* logins at another server than the one of the login before
                               (the first login counts when it is not at the main server) */
  /* Version 3, the value history (KVOPROS2_OPTION_HISTORY_BYTES; all 0 without it): */
  kv_uint64 historyValues;       /* gauge: values kept now (not yet written to a connection) */
  kv_uint64 historyBytes;        /* gauge: the bytes they take, counted against the bound */
  kv_uint64 historyDroppedBound; /* the oldest kept values dropped to stay within the bound */
  kv_uint64 historyDroppedAge;   /* kept values dropped for KVOPROS2_OPTION_HISTORY_SECONDS */
  kv_uint64 historySent;         /* kept values written to a connection */
} kv_statistics;
#pragma pack(pop)
typedef char kvopros2_check_statistics_size[sizeof(kv_statistics) == 8 + 28 * 8 ? 1 : -1];

/* c_GetStatistics: fills *stats with the client's counters. The host sets
 * stats->size to the size of its kv_statistics; the library writes the
 * version and as many whole fields after the header as that size holds,
 * and nothing beyond it (a host built with an older, shorter layout keeps
 * working; one with a newer layout finds the fields this library does not
 * know untouched, and the version tells which were filled). False, writing
 * nothing, for a null pointer or a size below
 * KVOPROS2_STATISTICS_HEADER_SIZE (BAD_ARGUMENT), and without a client
 * (NO_CLIENT: before c_CreateOpros, after c_DestroyOpros). Cheap: it takes
 * the channel list's and the control queue's locks only to count the
 * gauges, and counting costs the other exports nothing they would wait for.
 * Thread: any, also inside a log callback. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_GetStatistics(kv_statistics* stats);

/* c_SetOption: sets one of the KVOPROS2_OPTION_ options above (process-wide,
 * kept for later clients; live ones change the running client within one
 * pass of its worker). False, changing nothing, for an option not known
 * (UNKNOWN_OPTION) or a value outside its range (OUT_OF_RANGE), and inside
 * a log callback (IN_CALLBACK). Thread: any. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_SetOption(int option, kv_int64 value);

/* The host's log callback: context as given to c_SetLogCallback, the line's
 * level (KVOPROS2_LOG_), and the line exactly as the log file has it without
 * its CR LF (Windows-1251, the time stamp in front), zero-terminated and
 * valid during the call only. */
typedef void(KVOPROS2_CALL* kv_log_callback)(void* context, int level, const char* line);

/* c_SetLogCallback: from now on every line the library writes goes to
 * callback as well, also when c_CreateOpros had no logFile (then it is the
 * only output), and when the file cannot be written (one line then says so
 * with the file's path and the system's error). Process-wide: it may be set
 * before c_CreateOpros and stays for later clients. A null callback removes
 * it. Once c_SetLogCallback returns, the previous callback is never called
 * again (a call in progress on the worker thread is waited for), so the
 * host may then free its context; called from inside the callback itself
 * (to remove or replace it) it cannot wait for its own call, and the change
 * holds from the next line.
 * The callback runs on the library's worker thread, one line at a time; a
 * slow one delays the worker's lines, never a host's value call. Inside it
 * c_IsServerConnected, c_GetStatistics, c_GetLastResult, c_GetVersion and
 * c_SetLogCallback work; every other export returns false at once
 * (IN_CALLBACK). It must not wait for a host thread that is calling
 * c_SetLogCallback. Always true. Thread: any. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_SetLogCallback(kv_log_callback callback, void* context);

/* c_GetLastResult: why the calling thread's last call of another export
 * returned what it did, a KVOPROS2_RESULT_ code; KVOPROS2_RESULT_OK before
 * any. It changes nothing, so it may be asked again. Thread: any (each
 * thread has its own), also inside a log callback. */
KVOPROS2_API int KVOPROS2_CALL c_GetLastResult(void);

/* c_GetVersion: the version of the library that runs, as one number,
 * MAJOR * 10000 + MINOR * 100 + PATCH (10200 for 1.2.0), the same form as
 * KVOPROS2_VERSION of the header the host was compiled with. A host built
 * against 1.x runs with any later 1.y; it can compare the two to use what
 * the newer one adds. Works without a client and inside a log callback;
 * sets KVOPROS2_RESULT_OK. Thread: any. */
KVOPROS2_API int KVOPROS2_CALL c_GetVersion(void);

/* The exports as pointer types, for hosts that load the library at run time
 * (GetProcAddress with the decorated names on Windows, dlsym on Linux). */
typedef kv_bool(KVOPROS2_CALL* kv_CreateOprosFn)(const char*, int, int, const char*, const char*,
                                                 unsigned char, unsigned char, const char*);
typedef kv_bool(KVOPROS2_CALL* kv_DestroyOprosFn)(void);
typedef int(KVOPROS2_CALL* kv_IsServerConnectedFn)(void);
typedef kv_bool(KVOPROS2_CALL* kv_RegisterChannelFn)(const char*, unsigned short, unsigned char,
                                                     unsigned char, const char*, const char*,
                                                     const char*, const char*, const char*,
                                                     unsigned short, const char*);
typedef kv_bool(KVOPROS2_CALL* kv_RegisterValueByIDFn)(const char*, const FILETIME*, unsigned short,
                                                       VARIANT);
typedef kv_bool(KVOPROS2_CALL* kv_RegisterAttributeFn)(const char*, unsigned short, unsigned short,
                                                       VARIANT);
typedef kv_bool(KVOPROS2_CALL* kv_ReceiveControlFn)(char*, int, kv_uint32*, FILETIME*,
                                                    unsigned short*, VARIANT*);
typedef kv_bool(KVOPROS2_CALL* kv_GetStatisticsFn)(kv_statistics*);
typedef kv_bool(KVOPROS2_CALL* kv_SetOptionFn)(int, kv_int64);
typedef kv_bool(KVOPROS2_CALL* kv_SetLogCallbackFn)(kv_log_callback, void*);
typedef int(KVOPROS2_CALL* kv_GetLastResultFn)(void);
typedef int(KVOPROS2_CALL* kv_GetVersionFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* KVOPROS2_H */
