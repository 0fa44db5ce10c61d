/* A data-acquisition host in plain C: it loads the library at run time,
 * finds the exports under the names hosts look up, and drives a whole
 * session: calls without a client, create (and a second create that must
 * change nothing), channels, attributes and values before the login,
 * waiting for the login, controls taken with every shape of out-parameter,
 * destroy, destroy again, and a fresh client after that.
 *
 * A failed expectation is reported through the hooks and the session goes
 * on; it stops early only when going on makes no sense. */
#include "host_test.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

/* ---- loading the library ---- */

#ifdef _WIN32
typedef HMODULE LibraryHandle;
/* Both Windows builds export the cdecl-decorated names. */
#define EXPORT_NAME(name) "_" #name
#else
typedef void* LibraryHandle;
#define EXPORT_NAME(name) #name
#endif

struct host {
  const struct kv_host_test_hooks* hooks;
  int port;
  LibraryHandle library;
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
#ifndef _WIN32
  /* The OLE helpers come from the library itself on Linux. */
  BSTR (*alloc_string)(const OLECHAR*);
  uint32_t (*string_length)(BSTR);
  int32_t (*variant_clear)(VARIANT*);
  SAFEARRAY* (*create_vector)(VARTYPE, int32_t, uint32_t);
  int32_t (*put_element)(SAFEARRAY*, const int32_t*, const void*);
#endif
};

/* Polls of 1 ms before a control or the login counts as never coming. */
enum { POLL_LIMIT = 20000 };

/* ---- expectations ---- */

static void fail(struct host* h, const char* file, int line, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  h->hooks->fail(h->hooks->context, file, line, text);
}

static int expect(struct host* h, int ok, const char* file, int line, const char* what) {
  if (!ok) fail(h, file, line, "expected %s", what);
  return ok;
}

static int expect_eq(struct host* h, long long actual, long long expected, const char* file,
                     int line, const char* what) {
  if (actual != expected) fail(h, file, line, "%s is %lld, expected %lld", what, actual, expected);
  return actual == expected;
}

static int expect_text(struct host* h, const char* actual, const char* expected, const char* file,
                       int line, const char* what) {
  int ok = strcmp(actual, expected) == 0;
  if (!ok) fail(h, file, line, "%s is \"%s\", expected \"%s\"", what, actual, expected);
  return ok;
}

#define EXPECT_TRUE(h, condition) expect((h), (condition) != 0, __FILE__, __LINE__, #condition)
#define EXPECT_EQ(h, actual, expected) \
  expect_eq((h), (long long)(actual), (long long)(expected), __FILE__, __LINE__, #actual)
#define EXPECT_TEXT(h, actual, expected) \
  expect_text((h), (actual), (expected), __FILE__, __LINE__, #actual)

/* ---- loading ---- */

static int find_export(struct host* h, const char* name, void* slot, size_t size) {
#ifdef _WIN32
  FARPROC address = GetProcAddress(h->library, name);
#else
  void* address = dlsym(h->library, name);
#endif
  if (address == NULL || size != sizeof address) {
    fail(h, __FILE__, __LINE__, "the library does not export %s", name);
    return 0;
  }
  /* Copied, not cast: ISO C has no conversion between object and function
   * pointers, and the cast between function types would draw a warning. */
  memcpy(slot, &address, size);
  return 1;
}

#define FIND(h, name, field) find_export((h), (name), &(h)->field, sizeof(h)->field)

static int load_library(struct host* h, const char* path) {
  int ok = 1;
#ifdef _WIN32
  h->library = LoadLibraryA(path);
  if (h->library == NULL) {
    fail(h, __FILE__, __LINE__, "LoadLibraryA(%s) failed, error %lu", path,
         (unsigned long)GetLastError());
    return 0;
  }
#else
  h->library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (h->library == NULL) {
    fail(h, __FILE__, __LINE__, "dlopen: %s", dlerror());
    return 0;
  }
  ok &= FIND(h, "kv_SysAllocString", alloc_string);
  ok &= FIND(h, "kv_SysStringLen", string_length);
  ok &= FIND(h, "kv_VariantClear", variant_clear);
  ok &= FIND(h, "kv_SafeArrayCreateVector", create_vector);
  ok &= FIND(h, "kv_SafeArrayPutElement", put_element);
#endif
  ok &= FIND(h, EXPORT_NAME(c_CreateOpros), create);
  ok &= FIND(h, EXPORT_NAME(c_DestroyOpros), destroy);
  ok &= FIND(h, EXPORT_NAME(c_IsServerConnected), connected);
  ok &= FIND(h, EXPORT_NAME(c_RegisterChannel), channel);
  ok &= FIND(h, EXPORT_NAME(c_RegisterValueByID), value);
  ok &= FIND(h, EXPORT_NAME(c_RegisterAttribute), attribute);
  ok &= FIND(h, EXPORT_NAME(c_ReceiveControl), control);
  ok &= FIND(h, EXPORT_NAME(c_GetStatistics), statistics);
  ok &= FIND(h, EXPORT_NAME(c_SetOption), set_option);
  ok &= FIND(h, EXPORT_NAME(c_SetLogCallback), set_log_callback);
  ok &= FIND(h, EXPORT_NAME(c_GetLastResult), last_result);
  ok &= FIND(h, EXPORT_NAME(c_GetVersion), version);
  return ok;
}

static void unload_library(struct host* h) {
#ifdef _WIN32
  FreeLibrary(h->library);
#else
  dlclose(h->library);
#endif
}

/* ---- OLE values, made and freed as a host does ---- */

static BSTR new_text(struct host* h, const OLECHAR* text) {
#ifdef _WIN32
  (void)h;
  return SysAllocString(text);
#else
  return h->alloc_string(text);
#endif
}

static unsigned text_length(struct host* h, BSTR text) {
#ifdef _WIN32
  (void)h;
  return SysStringLen(text);
#else
  return h->string_length(text);
#endif
}

static void clear_value(struct host* h, VARIANT* value) {
#ifdef _WIN32
  (void)h;
  VariantClear(value);
#else
  h->variant_clear(value);
#endif
}

/* A vector of 32-bit integers indexed from 0; null when it cannot be made. */
static SAFEARRAY* new_int_vector(struct host* h, const int* values, int count) {
  int i;
#ifdef _WIN32
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, (ULONG)count);
  (void)h;
  for (i = 0; array != NULL && i < count; ++i) {
    LONG index = i;
    LONG element = values[i];
    if (FAILED(SafeArrayPutElement(array, &index, &element))) return NULL;
  }
#else
  SAFEARRAY* array = h->create_vector(VT_I4, 0, (uint32_t)count);
  for (i = 0; array != NULL && i < count; ++i) {
    int32_t index = i;
    int32_t element = values[i];
    if (h->put_element(array, &index, &element) != KV_S_OK) return NULL;
  }
#endif
  return array;
}

static VARIANT make_value(VARTYPE kind) {
  VARIANT value;
  memset(&value, 0, sizeof value);
  value.vt = kind;
  return value;
}

static VARIANT make_r8(double number) {
  VARIANT value = make_value(VT_R8);
  value.dblVal = number;
  return value;
}

static VARIANT make_i4(int number) {
  VARIANT value = make_value(VT_I4);
  value.lVal = number;
  return value;
}

static int same_units(struct host* h, BSTR text, const OLECHAR* expected) {
  unsigned count = 0;
  while (expected[count] != 0) ++count;
  return text != NULL && text_length(h, text) == count &&
         memcmp(text, expected, count * sizeof(OLECHAR)) == 0;
}

/* ---- times ---- */

/* 2024-03-15 10:20:30 is 0x01DA76C2:67EA6B00 in 100-ns units since 1601.
 * Values carry a time 123.4567 ms past that second, of which only the whole
 * milliseconds count; controls sent with that time arrive 123 ms past it. */
static const FILETIME kValueTime = {0x67FD4187u, 0x01DA76C2u};
static const FILETIME kControlTime = {0x67FD2FB0u, 0x01DA76C2u};
static const struct kv_host_time kControlStamp = {2024, 3, 15, 10, 20, 30, 123.4567};

static int same_time(FILETIME a, FILETIME b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

/* ---- the session ---- */

/* Out-parameters of c_ReceiveControl filled with marks that no control
 * writes, to see which ones a call touched. */
struct control_out {
  char addr[16];
  kv_uint32 number;
  FILETIME time;
  unsigned short quality;
  VARIANT value;
};

static void mark_out(struct control_out* out) {
  memset(out->addr, 'x', sizeof out->addr);
  out->number = 0xDEADBEEFu;
  out->time.dwLowDateTime = 0x11111111u;
  out->time.dwHighDateTime = 0x22222222u;
  out->quality = 0xABCD;
  out->value = make_value(VT_I2);
  out->value.iVal = -5;
}

static void expect_untouched(struct host* h, const struct control_out* out) {
  size_t i;
  int addrKept = 1;
  for (i = 0; i < sizeof out->addr; ++i) addrKept &= out->addr[i] == 'x';
  EXPECT_TRUE(h, addrKept);
  EXPECT_EQ(h, out->number, 0xDEADBEEFu);
  EXPECT_EQ(h, out->time.dwLowDateTime, 0x11111111u);
  EXPECT_EQ(h, out->quality, 0xABCD);
  EXPECT_TRUE(h, out->value.vt == VT_I2 && out->value.iVal == -5);
}

static void expect_no_client(struct host* h) {
  struct control_out out;
  VARIANT number = make_r8(1.0);
  mark_out(&out);
  EXPECT_EQ(h, h->connected(), 0);
  EXPECT_EQ(h, h->destroy(), 0);
  EXPECT_EQ(h, h->channel(KV_HOST_ANALOG, 5, 0, 0, "", "", "", "", "", 0, ""), 0);
  EXPECT_EQ(h, h->value(KV_HOST_ANALOG, &kValueTime, 0, number), 0);
  EXPECT_EQ(h, h->attribute(KV_HOST_ANALOG, 400, 5, number), 0);
  EXPECT_EQ(
      h,
      h->control(out.addr, (int)sizeof out.addr, &out.number, &out.time, &out.quality, &out.value),
      0);
  expect_untouched(h, &out);
}

/* Creates the first client while the server holds its login, and checks
 * that a second create neither fails nor replaces it: with the second
 * settings (port 0, no log) the session could not go on. */
static void start_first_client(struct host* h) {
  h->hooks->hold_login(h->hooks->context, 1);
  EXPECT_EQ(h,
            h->create("127.0.0.1", h->port, 30, KV_HOST_LOGIN, KV_HOST_PASSWORD, 0, 1,
                      h->hooks->log_file),
            1);
  EXPECT_EQ(h, h->create("127.0.0.1", 0, 1, KV_HOST_IGNORED_LOGIN, "", 0, 0, ""), 1);
  /* Held by the server, so certainly not logged in yet. */
  EXPECT_EQ(h, h->connected(), 0);
}

static void declare_channels(struct host* h) {
  /* "Комментарий", "м3", and the state names "выкл" and "вкл". */
  EXPECT_EQ(h,
            h->channel(KV_HOST_ANALOG, 5, 0, 1, "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9", "",
                       "\xEC"
                       "3",
                       "%.2f", "", 9, ""),
            1);
  /* Null texts are empty texts. */
  EXPECT_EQ(h, h->channel(KV_HOST_COUNTER, 3, 0, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL), 1);
  EXPECT_EQ(h, h->channel(KV_HOST_SHORT, 2, 0, 0, "", "", "", "", "", 0, ""), 1);
  EXPECT_EQ(h,
            h->channel(KV_HOST_FLAG_ON, 11, 0, 0, "", "", "", "", "", 0,
                       "\xE2\xFB\xEA\xEB\t\xE2\xEA\xEB"),
            1);
  EXPECT_EQ(h, h->channel(KV_HOST_FLAG_OFF, 11, 0, 0, "", "", "", "", "", 0, ""), 1);
  EXPECT_EQ(h, h->channel(KV_HOST_TEXT, 256, 1, 0, "", "", "", "", "", 0, ""), 1);
  EXPECT_EQ(h, h->channel(KV_HOST_VECTOR, 0x1003, 0, 0, "", "", "", "", "", 0, ""), 1);
  EXPECT_EQ(h, h->channel(KV_HOST_VALVE, 5, 1, 0, "", "", "", "", "", 0, ""), 1);
  /* No address, no channel. */
  EXPECT_EQ(h, h->channel(NULL, 5, 0, 0, "", "", "", "", "", 0, ""), 0);
}

static void register_attributes(struct host* h) {
  static const OLECHAR kCurrent[] = {0x0422, 0x043E, 0x043A, 0}; /* "Ток" */
  VARIANT seven = make_i4(7);
  VARIANT text = make_value(VT_BSTR);
  VARIANT on = make_value(VT_BOOL);
  VARIANT byReference = make_value(VT_BYREF | VT_I4);
  int target = 7;
  int* pointer = &target;

  EXPECT_EQ(h, h->attribute(KV_HOST_ANALOG, 400, 5, seven), 1);
  text.bstrVal = new_text(h, kCurrent);
  EXPECT_EQ(h, h->attribute(KV_HOST_ANALOG, 401, 256, text), 1);
  /* The library read the host's text and left it to the host. */
  EXPECT_TRUE(h, same_units(h, text.bstrVal, kCurrent));
  clear_value(h, &text);
  /* Attributes keep the boolean word as given. */
  on.boolVal = VARIANT_TRUE;
  EXPECT_EQ(h, h->attribute(KV_HOST_FLAG_ON, 402, 11, on), 1);

  EXPECT_EQ(h, h->attribute(KV_HOST_ANALOG, 0, 5, seven), 0);
  EXPECT_EQ(h, h->attribute(KV_HOST_ANALOG, 403, 0, seven), 0);
  EXPECT_EQ(h, h->attribute("Missing", 403, 5, seven), 0);
  memcpy((char*)&byReference + 8, &pointer, sizeof pointer);
  EXPECT_EQ(h, h->attribute(KV_HOST_ANALOG, 403, 5, byReference), 0);
}

static void register_values(struct host* h) {
  static const OLECHAR kHello[] = {0x041F, 0x0440, 0x0438, 0x0432, 0x0435, 0x0442, 0}; /* Привет */
  static const int kElements[] = {10, -20, 30};
  VARIANT small = make_value(VT_I2);
  VARIANT on = make_value(VT_BOOL);
  VARIANT off = make_value(VT_BOOL);
  VARIANT text = make_value(VT_BSTR);
  VARIANT vector = make_value(VT_ARRAY | VT_I4);

  EXPECT_EQ(h, h->value(KV_HOST_ANALOG, &kValueTime, 0, make_r8(1.5)), 1);
  /* The same time, quality and value again: nothing changed. */
  EXPECT_EQ(h, h->value(KV_HOST_ANALOG, &kValueTime, 0, make_r8(1.5)), 0);
  EXPECT_EQ(h, h->value(KV_HOST_COUNTER, &kValueTime, 0, make_i4(42)), 1);
  small.iVal = -1;
  EXPECT_EQ(h, h->value(KV_HOST_SHORT, &kValueTime, 0, small), 1);
  on.boolVal = VARIANT_TRUE;
  EXPECT_EQ(h, h->value(KV_HOST_FLAG_ON, &kValueTime, 0, on), 1);
  off.boolVal = VARIANT_FALSE;
  EXPECT_EQ(h, h->value(KV_HOST_FLAG_OFF, &kValueTime, 0, off), 1);

  text.bstrVal = new_text(h, kHello);
  EXPECT_EQ(h, h->value(KV_HOST_TEXT, &kValueTime, 0, text), 1);
  EXPECT_TRUE(h, same_units(h, text.bstrVal, kHello));
  clear_value(h, &text);

  vector.parray = new_int_vector(h, kElements, 3);
  if (EXPECT_TRUE(h, vector.parray != NULL)) {
    EXPECT_EQ(h, h->value(KV_HOST_VECTOR, &kValueTime, 0, vector), 1);
    clear_value(h, &vector);
  }
  EXPECT_EQ(h, h->value("Missing", &kValueTime, 0, make_r8(1.0)), 0);
  EXPECT_EQ(h, h->value(KV_HOST_ANALOG, NULL, 0, make_r8(2.0)), 0);
}

static int wait_for_login(struct host* h) {
  int i;
  for (i = 0; i < POLL_LIMIT; ++i) {
    int state = h->connected();
    if (state != 0) return EXPECT_EQ(h, state, 1);
    h->hooks->sleep_ms(h->hooks->context, 1);
  }
  fail(h, __FILE__, __LINE__, "the client did not log in");
  return 0;
}

static void wait_values(struct host* h, const char* addr, int count) {
  if (!h->hooks->wait_values(h->hooks->context, addr, count))
    fail(h, __FILE__, __LINE__, "the server did not receive %d value(s) of %s", count, addr);
}

/* ---- controls ---- */

static int send_control(struct host* h, const char* addr, int byNumber, unsigned short type,
                        double number, const char* text, unsigned char quality,
                        kv_uint32* sentNumber) {
  struct kv_host_control control;
  kv_uint32 unused = 0;
  memset(&control, 0, sizeof control);
  control.addr = addr;
  control.by_number = byNumber;
  control.type = type;
  control.number = number;
  control.text = text;
  control.quality = quality;
  control.time = kControlStamp;
  if (h->hooks->send_control(h->hooks->context, &control, sentNumber ? sentNumber : &unused))
    return 1;
  fail(h, __FILE__, __LINE__, "the server could not send control %u", (unsigned)quality);
  return 0;
}

/* Valve control k carries quality k and the value k + 0.5, so each check
 * sees which control it took. */
static int send_valve(struct host* h, int k) {
  return send_control(h, KV_HOST_VALVE, 0, 5, k + 0.5, NULL, (unsigned char)k, NULL);
}

/* Calls c_ReceiveControl until it takes a control (a call that finds none
 * writes nothing, so the same out-parameters serve every try). */
static int take(struct host* h, char* addr, int size, kv_uint32* number, FILETIME* time,
                unsigned short* quality, VARIANT* value) {
  int i;
  for (i = 0; i < POLL_LIMIT; ++i) {
    if (h->control(addr, size, number, time, quality, value)) return 1;
    h->hooks->sleep_ms(h->hooks->context, 1);
  }
  fail(h, __FILE__, __LINE__, "no control arrived");
  return 0;
}

static void expect_valve_value(struct host* h, VARIANT* value, int k) {
  EXPECT_EQ(h, value->vt, VT_R8);
  EXPECT_TRUE(h, value->vt == VT_R8 && value->dblVal == k + 0.5);
  clear_value(h, value);
}

static void take_whole_control(struct host* h) {
  struct control_out out;
  mark_out(&out);
  if (!send_valve(h, 1)) return;
  if (!take(h, out.addr, (int)sizeof out.addr, &out.number, &out.time, &out.quality, &out.value))
    return;
  EXPECT_TEXT(h, out.addr, KV_HOST_VALVE);
  EXPECT_EQ(h, out.number, 0);
  /* 123.4567 ms past the second arrive as 123 ms. */
  EXPECT_EQ(h, out.time.dwLowDateTime, kControlTime.dwLowDateTime);
  EXPECT_EQ(h, out.time.dwHighDateTime, kControlTime.dwHighDateTime);
  EXPECT_EQ(h, out.quality, 1);
  expect_valve_value(h, &out.value, 1);
}

static void take_into_short_buffers(struct host* h) {
  struct control_out out;

  /* Five bytes: four characters and the zero, nothing written beyond. */
  mark_out(&out);
  if (send_valve(h, 2) && take(h, out.addr, 5, NULL, NULL, &out.quality, NULL)) {
    EXPECT_TRUE(h, memcmp(out.addr, "\xC7\xE0\xE4\xE2\0xxxxxxxxxxx", sizeof out.addr) == 0);
    EXPECT_EQ(h, out.quality, 2);
  }
  /* One byte: only the zero. */
  mark_out(&out);
  if (send_valve(h, 3) && take(h, out.addr, 1, &out.number, NULL, &out.quality, NULL)) {
    EXPECT_TRUE(h, out.addr[0] == '\0' && out.addr[1] == 'x');
    EXPECT_EQ(h, out.number, 0);
    EXPECT_EQ(h, out.quality, 3);
  }
  /* Size 0 and size -1: the buffer is left alone, the rest is filled. */
  mark_out(&out);
  if (send_valve(h, 4) && take(h, out.addr, 0, &out.number, &out.time, &out.quality, &out.value)) {
    EXPECT_EQ(h, out.addr[0], 'x');
    EXPECT_TRUE(h, same_time(out.time, kControlTime));
    EXPECT_EQ(h, out.quality, 4);
    expect_valve_value(h, &out.value, 4);
  }
  mark_out(&out);
  if (send_valve(h, 5) && take(h, out.addr, -1, NULL, NULL, &out.quality, NULL)) {
    EXPECT_EQ(h, out.addr[0], 'x');
    EXPECT_EQ(h, out.quality, 5);
  }
  /* No buffer, whatever the size says. */
  mark_out(&out);
  if (send_valve(h, 6) && take(h, NULL, 16, &out.number, &out.time, &out.quality, &out.value)) {
    EXPECT_EQ(h, out.number, 0);
    EXPECT_TRUE(h, same_time(out.time, kControlTime));
    EXPECT_EQ(h, out.quality, 6);
    expect_valve_value(h, &out.value, 6);
  }
}

static void take_without_out_parameters(struct host* h) {
  static const OLECHAR kOpen[] = {0x041E, 0x0442, 0x043A, 0x0440, 0x044B, 0x0442, 0x044C, 0};
  struct control_out out;
  /* Every out-parameter null: the control is taken all the same. */
  if (send_valve(h, 7)) take(h, NULL, 0, NULL, NULL, NULL, NULL);
  /* So the next one is the text control ("Открыть"), not control 7. */
  mark_out(&out);
  if (send_control(h, KV_HOST_TEXT, 0, 256, 0, "\xCE\xF2\xEA\xF0\xFB\xF2\xFC", 8, NULL) &&
      take(h, out.addr, (int)sizeof out.addr, NULL, NULL, &out.quality, &out.value)) {
    EXPECT_TEXT(h, out.addr, KV_HOST_TEXT);
    EXPECT_EQ(h, out.quality, 8);
    EXPECT_EQ(h, out.value.vt, VT_BSTR);
    EXPECT_TRUE(h, out.value.vt == VT_BSTR && same_units(h, out.value.bstrVal, kOpen));
    clear_value(h, &out.value);
  }
}

static void take_by_number(struct host* h) {
  struct control_out out;
  kv_uint32 sent = 0;
  mark_out(&out);
  if (send_control(h, KV_HOST_COUNTER, 1, 3, 9, NULL, 9, &sent) &&
      take(h, out.addr, (int)sizeof out.addr, &out.number, &out.time, &out.quality, &out.value)) {
    /* A control that names the number carries no address. */
    EXPECT_TEXT(h, out.addr, "");
    EXPECT_TRUE(h, sent != 0);
    EXPECT_EQ(h, out.number, sent);
    EXPECT_EQ(h, out.quality, 9);
    EXPECT_TRUE(h, out.value.vt == VT_I4 && out.value.lVal == 9);
    clear_value(h, &out.value);
  }
  /* The queue is empty now: false, and nothing written. */
  mark_out(&out);
  EXPECT_EQ(
      h,
      h->control(out.addr, (int)sizeof out.addr, &out.number, &out.time, &out.quality, &out.value),
      0);
  expect_untouched(h, &out);
}

/* ---- the end of the first client and a fresh one ---- */

static void end_and_start_again(struct host* h) {
  struct control_out out;
  /* Left in the first client's queue: it must die with that client. */
  EXPECT_TRUE(h, h->hooks->queue_unclaimed_control(h->hooks->context, KV_HOST_VALVE));
  EXPECT_EQ(h, h->destroy(), 1);
  EXPECT_EQ(h, h->destroy(), 0);
  EXPECT_EQ(h, h->connected(), 0);

  EXPECT_EQ(h, h->create("127.0.0.1", h->port, 30, KV_HOST_SECOND_LOGIN, "", 0, 0, ""), 1);
  mark_out(&out);
  EXPECT_EQ(
      h,
      h->control(out.addr, (int)sizeof out.addr, &out.number, &out.time, &out.quality, &out.value),
      0);
  expect_untouched(h, &out);
  EXPECT_EQ(h, h->value(KV_HOST_ANALOG, &kValueTime, 0, make_r8(7.5)), 0);
  EXPECT_EQ(h, h->channel(KV_HOST_FRESH, 5, 0, 0, "", "", "", "", "", 0, ""), 1);
  EXPECT_EQ(h, h->value(KV_HOST_FRESH, &kValueTime, 0, make_r8(9.5)), 1);
  if (wait_for_login(h)) wait_values(h, KV_HOST_FRESH, 1);
  EXPECT_EQ(h, h->destroy(), 1);
}

int kv_host_test_run(const char* library_path, int port, const struct kv_host_test_hooks* hooks) {
  static const char* const kSent[] = {KV_HOST_ANALOG,  KV_HOST_COUNTER,  KV_HOST_SHORT,
                                      KV_HOST_FLAG_ON, KV_HOST_FLAG_OFF, KV_HOST_TEXT,
                                      KV_HOST_VECTOR};
  struct host h;
  size_t i;
  memset(&h, 0, sizeof h);
  h.hooks = hooks;
  h.port = port;
  if (!load_library(&h, library_path)) {
    if (h.library != NULL) unload_library(&h);
    return 1;
  }
  expect_no_client(&h);
  start_first_client(&h);
  declare_channels(&h);
  register_attributes(&h);
  register_values(&h);
  hooks->hold_login(hooks->context, 0);
  if (!wait_for_login(&h)) {
    h.destroy();
    unload_library(&h);
    return 1;
  }
  for (i = 0; i < sizeof kSent / sizeof kSent[0]; ++i) wait_values(&h, kSent[i], 1);
  /* A bad quality after the login: sent, with the value kept. */
  EXPECT_EQ(&h, h.value(KV_HOST_ANALOG, &kValueTime, 5, make_r8(99)), 1);
  wait_values(&h, KV_HOST_ANALOG, 2);
  /* A kind the library does not take: refused with a good quality, but a
   * bad one still travels, with the value kept. */
  EXPECT_EQ(&h, h.value(KV_HOST_COUNTER, &kValueTime, 0, make_value(VT_NULL)), 0);
  EXPECT_EQ(&h, h.value(KV_HOST_COUNTER, &kValueTime, KV_HOST_FAULT_QUALITY, make_value(VT_NULL)),
            1);
  wait_values(&h, KV_HOST_COUNTER, 2);

  take_whole_control(&h);
  take_into_short_buffers(&h);
  take_without_out_parameters(&h);
  take_by_number(&h);
  end_and_start_again(&h);
  unload_library(&h);
  return 0;
}

void* kv_host_load(const char* library_path, const struct kv_host_test_hooks* hooks,
                   struct kv_host_exports* exports) {
  struct host h;
  memset(&h, 0, sizeof h);
  h.hooks = hooks;
  if (!load_library(&h, library_path)) {
    if (h.library != NULL) unload_library(&h);
    return NULL;
  }
  exports->create = h.create;
  exports->destroy = h.destroy;
  exports->connected = h.connected;
  exports->channel = h.channel;
  exports->value = h.value;
  exports->attribute = h.attribute;
  exports->control = h.control;
  exports->statistics = h.statistics;
  exports->set_option = h.set_option;
  exports->set_log_callback = h.set_log_callback;
  exports->last_result = h.last_result;
  exports->version = h.version;
  return (void*)h.library;
}

void kv_host_unload(void* library) {
  struct host h;
  memset(&h, 0, sizeof h);
  h.library = (LibraryHandle)library;
  unload_library(&h);
}
