/* The host's header as a C program sees it: it must compile as C89 (GNU
 * compilers), C99 and C11, give the Windows types their fixed layout, and
 * declare every export with the exact signature hosts call through. */
#include <stddef.h>

#include "kvopros2.h"

/* A negative array size stops compilation when a condition is false. */
#define CAPI_ASSERT(name, condition) typedef char capi_assert_##name[(condition) ? 1 : -1]

CAPI_ASSERT(bool_is_one_byte, sizeof(kv_bool) == 1);
CAPI_ASSERT(filetime_size, sizeof(FILETIME) == 8);
CAPI_ASSERT(filetime_low_first, offsetof(FILETIME, dwLowDateTime) == 0);
CAPI_ASSERT(filetime_high, offsetof(FILETIME, dwHighDateTime) == 4);
CAPI_ASSERT(number_is_32_bit, sizeof(kv_uint32) == 4);
CAPI_ASSERT(option_value_is_64_bit, sizeof(kv_int64) == 8 && (kv_int64)-1 < 0);
CAPI_ASSERT(variant_kind_first, offsetof(VARIANT, vt) == 0);
CAPI_ASSERT(variant_value_at_8, offsetof(VARIANT, llVal) == 8);
CAPI_ASSERT(variant_bool_at_8, offsetof(VARIANT, boolVal) == 8);
CAPI_ASSERT(variant_text_at_8, offsetof(VARIANT, bstrVal) == 8);
#if !defined(_WIN64)
/* 64-bit Windows adds a record of two pointers to the union. */
CAPI_ASSERT(variant_size, sizeof(VARIANT) == 16);
#endif
CAPI_ASSERT(olechar_is_16_bit, sizeof(OLECHAR) == 2);
CAPI_ASSERT(array_dims_first, offsetof(SAFEARRAY, cDims) == 0);
CAPI_ASSERT(array_element_size, offsetof(SAFEARRAY, cbElements) == 4);
CAPI_ASSERT(array_data, offsetof(SAFEARRAY, pvData) == (sizeof(void*) == 8 ? 16 : 12));
CAPI_ASSERT(array_bounds,
            offsetof(SAFEARRAY, rgsabound) == offsetof(SAFEARRAY, pvData) + sizeof(void*));
CAPI_ASSERT(bound_count_first, offsetof(SAFEARRAYBOUND, cElements) == 0);
CAPI_ASSERT(bound_low, offsetof(SAFEARRAYBOUND, lLbound) == 4);

/* The header's pointer types, as hosts that load the library use them. */
struct capi_exports {
  kv_CreateOprosFn create;
  kv_DestroyOprosFn destroy;
  kv_IsServerConnectedFn connected;
  kv_RegisterChannelFn channel;
  kv_RegisterValueByIDFn value;
  kv_RegisterAttributeFn attribute;
  kv_ReceiveControlFn control;
  kv_GetStatisticsFn statistics;
  kv_SetOptionFn set_option;
  kv_SetLogCallbackFn set_log_callback;
  kv_GetLastResultFn last_result;
  kv_GetVersionFn version;
};

/* Any mismatch between these pointers and the declarations is an error in
 * C with -Werror (incompatible pointer types). */
const struct capi_exports capi_export_table = {
    c_CreateOpros,       c_DestroyOpros,      c_IsServerConnected, c_RegisterChannel,
    c_RegisterValueByID, c_RegisterAttribute, c_ReceiveControl,    c_GetStatistics,
    c_SetOption,         c_SetLogCallback,    c_GetLastResult,     c_GetVersion};

#ifdef _WIN32
#define KV_VARIANT_INIT VariantInit
#define KV_VARIANT_CLEAR VariantClear
#else
#define KV_VARIANT_INIT kv_VariantInit
#define KV_VARIANT_CLEAR kv_VariantClear
#endif

/* A log callback as a C host writes it. */
static void KVOPROS2_CALL capi_log_line(void* context, int level, const char* line) {
  (void)line;
  if (level == KVOPROS2_LOG_ERROR) ++*(int*)context;
}

/* How a C host plugs in its log, fills a value and takes a control. */
int capi_example(void) {
  VARIANT value;
  VARIANT control;
  FILETIME time;
  char addr[64];
  kv_uint32 number = 0;
  unsigned short quality = 0;
  int ok;
  static int errors = 0;

  c_SetLogCallback(capi_log_line, &errors);
  c_SetOption(KVOPROS2_OPTION_LOG_MAX_BYTES, 1048576);
  time.dwLowDateTime = 0;
  time.dwHighDateTime = 0;
  KV_VARIANT_INIT(&value);
  value.vt = VT_R8;
  value.dblVal = 1.5;
  ok = c_RegisterValueByID("Channel1", &time, 0, value);
  if (!ok && c_GetLastResult() == KVOPROS2_RESULT_UNCHANGED) ok = 1;
  if (c_ReceiveControl(addr, (int)sizeof addr, &number, &time, &quality, &control)) {
    KV_VARIANT_CLEAR(&control);
  }
  return ok;
}
