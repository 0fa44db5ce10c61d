/*
 * kvopros2: client library of the Kavrel monitoring server, for a host
 * data-acquisition program that loads it into its own process.
 *
 * Conventions of every function below
 * -----------------------------------
 * Calling convention: C (cdecl; the caller removes the arguments). The
 *   32-bit Windows DLL exports the seven c_ functions under their decorated
 *   names _c_CreateOpros ... _c_ReceiveControl; the Linux library exports
 *   them under their plain names, together with the kv_ helpers.
 * Results: kv_bool is one byte, 1 = true, 0 = false. c_IsServerConnected
 *   returns an int that is exactly 0 or 1.
 * Texts: const char*, zero-terminated, Windows-1251. A null pointer is taken
 *   as an empty text. The library never keeps a pointer the host passed.
 * Flags (unsigned char): 0 = off, any other value = on.
 * VARIANT arguments are passed by value; the library reads them and never
 *   clears or frees them: the host still owns what they point to. Kinds
 *   taken: VT_EMPTY, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT,
 *   VT_UINT, VT_R4, VT_R8, VT_DATE, VT_BSTR (a null BSTR is an empty text),
 *   VT_BOOL, and one-dimensional VT_ARRAY of these except VT_EMPTY. Any
 *   other kind (VT_BYREF, VT_DISPATCH, VT_VARIANT arrays, several
 *   dimensions...) makes the call return false.
 * c_ReceiveControl fills the VARIANT the host passes with a new value and
 *   does not clear what it held before: the host owns the new value and must
 *   clear it (VariantClear; kv_VariantClear on Linux).
 * Date-times travel as FILETIME without time-zone conversion: the library
 *   uses whatever zone the host uses.
 *
 * Threads
 * -------
 * c_CreateOpros and c_DestroyOpros are meant to be called once each, at the
 *   host's start and end. They may run while other host threads are inside
 *   the other exports: those calls finish first (c_DestroyOpros waits for
 *   them and for the library's worker thread); a call made after
 *   c_DestroyOpros returns false.
 * c_IsServerConnected, c_RegisterChannel, c_RegisterValueByID,
 *   c_RegisterAttribute and c_ReceiveControl may be called from any thread
 *   at any time; they never wait for the network.
 * The kv_ helpers keep no shared state; one value must not be used by two
 *   threads at once.
 * Unloading the library does nothing: call c_DestroyOpros before it.
 *
 * The header compiles as C (C89 with GNU-compatible compilers, C99, C11)
 * and as C++.
 */
#ifndef KVOPROS2_H
#define KVOPROS2_H

#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>
#else
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char kv_bool;

/* Control commands that wait for c_ReceiveControl at most. While this many
 * wait, further ones from the server are dropped (and logged) until the
 * host takes some; the oldest are kept and come first. */
#define KVOPROS2_MAX_WAITING_CONTROLS 65536

#ifdef _WIN32

#define KVOPROS2_CALL __cdecl
/* Exports come from the module definition file only. */
#define KVOPROS2_API
typedef DWORD kv_uint32;

#else /* Linux: the Windows types this interface uses, with their layout. */

#define KVOPROS2_CALL
#if defined(__GNUC__)
#define KVOPROS2_API __attribute__((visibility("default")))
#define KVOPROS2_EXTENSION __extension__
#else
#define KVOPROS2_API
#define KVOPROS2_EXTENSION
#endif
typedef uint32_t kv_uint32;

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
  VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5,
  VT_CY = 6, VT_DATE = 7, VT_BSTR = 8, VT_DISPATCH = 9, VT_ERROR = 10,
  VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13, VT_DECIMAL = 14,
  VT_I1 = 16, VT_UI1 = 17, VT_UI2 = 18, VT_UI4 = 19, VT_I8 = 20, VT_UI8 = 21,
  VT_INT = 22, VT_UINT = 23,
  VT_ARRAY = 0x2000, VT_BYREF = 0x4000
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

/* Creates the client and starts its worker thread, which connects to
 * host:port (the low 16 bits of port), logs in with login and password and
 * keeps the link up. setClock: set the local clock from the server's time.
 * debugLog: write debug lines. logFile: the log's path, empty for no log.
 * With a client already running, returns true and changes nothing. Returns
 * false only when the client cannot be created. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_CreateOpros(const char* host, int port, int timeoutSec,
                                                 const char* login, const char* password,
                                                 unsigned char setClock, unsigned char debugLog,
                                                 const char* logFile);

/* Stops the worker thread, waits for it and frees the client with its
 * channels and pending controls. False when there is no client. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_DestroyOpros(void);

/* 1 while logged in to the server, else 0 (also without a client). */
KVOPROS2_API int KVOPROS2_CALL c_IsServerConnected(void);

/* Declares a channel (or updates a declared one). type is the channel's data
 * type code. False without a client or when the client refuses it. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_RegisterChannel(
    const char* addr, unsigned short type, unsigned char writeEnable, unsigned char saveValue,
    const char* comments, const char* prefix, const char* unit, const char* formatString,
    const char* description, unsigned short signification, const char* enumTexts);

/* Hands over a new value of a channel. A VT_BOOL true arrives as 1. False
 * without a client, for a null time or one the calendar cannot hold, for a
 * kind of value not taken, or when the client refuses it. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_RegisterValueByID(const char* addr, const FILETIME* time,
                                                       unsigned short quality, VARIANT value);

/* Sets attribute id of a channel; the value is converted to type. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_RegisterAttribute(const char* addr, unsigned short id,
                                                       unsigned short type, VARIANT value);

/* Takes the oldest control command from the server. False (nothing written)
 * without a client or when none is waiting. Otherwise each non-null
 * out-parameter is filled and true returned: addrBuf gets at most
 * addrBufSize - 1 characters of the address and a terminating zero (nothing
 * when addrBufSize <= 0); a time before 1601 comes out as a zero FILETIME;
 * value gets a new variant (texts as VT_BSTR) that the host must clear. */
KVOPROS2_API kv_bool KVOPROS2_CALL c_ReceiveControl(char* addrBuf, int addrBufSize,
                                                    kv_uint32* number, FILETIME* time,
                                                    unsigned short* quality, VARIANT* value);

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

#ifdef __cplusplus
}
#endif

#endif /* KVOPROS2_H */
