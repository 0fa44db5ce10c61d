/* A plain C host of the library and the hooks through which a test program
 * runs it against its test server. The host side (host_test.c) loads the
 * library at run time, as a data-acquisition host does, and checks
 * everything the exports give back; the test program (HostTest.cpp) owns
 * the server, acts on it when the host asks, and checks afterwards what the
 * server received.
 *
 * Every hook is called on the thread that called kv_host_test_run. */
#ifndef KV_HOST_TEST_H
#define KV_HOST_TEST_H

#include "kvopros2.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The channels the host declares (Windows-1251 addresses). */
#define KV_HOST_ANALOG "Analog1"
#define KV_HOST_COUNTER "Counter"
#define KV_HOST_SHORT "Short"
#define KV_HOST_FLAG_ON "FlagOn"
#define KV_HOST_FLAG_OFF "FlagOff"
#define KV_HOST_TEXT "Text"
#define KV_HOST_VECTOR "Vector"
/* Ten characters: "Задвижка01". */
#define KV_HOST_VALVE                \
  "\xC7\xE0\xE4\xE2\xE8\xE6\xEA\xE0" \
  "01"
/* The quality of the fault the host reports for KV_HOST_COUNTER with a
 * VT_NULL value. */
#define KV_HOST_FAULT_QUALITY 192
/* Declared by the client that follows a destroyed one. */
#define KV_HOST_FRESH "Fresh"

/* The login names of the first client, of the create call that must be
 * ignored, and of the client created after the first was destroyed. */
#define KV_HOST_LOGIN "host1"
#define KV_HOST_PASSWORD "secret1"
#define KV_HOST_IGNORED_LOGIN "ignored"
#define KV_HOST_SECOND_LOGIN "host2"

/* A local date-time with a fractional millisecond. */
struct kv_host_time {
  int year, month, day, hour, minute, second;
  double millisecond;
};

/* A control command the host asks the server to send. */
struct kv_host_control {
  const char* addr;    /* the channel */
  int by_number;       /* name it by the number the server gave it, not by addr */
  unsigned short type; /* data type code of the value: 3, 5 or 256 */
  double number;       /* the value for types 3 and 5 */
  const char* text;    /* the value for type 256, Windows-1251 */
  unsigned char quality;
  struct kv_host_time time;
};

struct kv_host_test_hooks {
  void* context;
  /* The log file the host passes to c_CreateOpros (the path in the host's
   * own form). */
  const char* log_file;
  /* A failed expectation of the host side; `what` says what was expected. */
  void (*fail)(void* context, const char* file, int line, const char* what);
  /* 1: the server leaves the client's login request unanswered (it stops
   * reading); 0: it answers it. */
  void (*hold_login)(void* context, int hold);
  /* Sends one control once the server has activated the channel; stores in
   * *number the channel number the control carries (0 when it names the
   * address). 0 when it could not be sent. */
  int (*send_control)(void* context, const struct kv_host_control* control, kv_uint32* number);
  /* Sends a control for addr and returns 1 once the client has certainly
   * queued it; the host leaves it unclaimed. */
  int (*queue_unclaimed_control)(void* context, const char* addr);
  /* 1 once the server has received `count` values of addr, 0 after a long
   * bound. */
  int (*wait_values)(void* context, const char* addr, int count);
  void (*sleep_ms)(void* context, int milliseconds);
};

/* Runs the whole host session with the library at library_path against the
 * server on loopback at port. Returns 0 when it ran to its end (failed
 * expectations are reported through hooks->fail, and the session goes on
 * past them), 1 when it had to stop early (the library could not be loaded,
 * an export is missing, the client never logged in). */
int kv_host_test_run(const char* library_path, int port, const struct kv_host_test_hooks* hooks);

/* The exports, for a test that drives them itself. */
struct kv_host_exports {
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

/* Loads the library at library_path and fills *exports. Returns the library
 * for kv_host_unload, or null (the reason goes to hooks->fail). */
void* kv_host_load(const char* library_path, const struct kv_host_test_hooks* hooks,
                   struct kv_host_exports* exports);
void kv_host_unload(void* library);

#ifdef __cplusplus
}
#endif

#endif /* KV_HOST_TEST_H */
