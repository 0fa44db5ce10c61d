/* A small host of the installed library: consumer HOST PORT LOGFILE.
 *
 * It logs in, declares a measured channel and a writable switch, hands over
 * one value and prints "value handed over"; then it waits for a control of
 * the switch (the test server sends one once it has the value), checks it,
 * answers with a second value and ends the client. Exit status 0 when
 * everything went as expected. consumer.kvs is the server's side of it. */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kvopros2.h"

#ifdef _WIN32
#define consumer_variant_init VariantInit
#define consumer_variant_clear VariantClear
static void consumer_sleep_ms(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
#define consumer_variant_init kv_VariantInit
#define consumer_variant_clear kv_VariantClear
static void consumer_sleep_ms(int ms) {
  struct timespec pause;
  pause.tv_sec = ms / 1000;
  pause.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&pause, NULL);
}
#endif

#define LEVEL "Consumer.Level"
#define VALVE "Consumer.Valve"
/* Bound of each wait, in steps of 10 ms: a minute, for slow machines. */
#define WAIT_STEPS 6000

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "consumer: failed: %s\n", what);
    ++failures;
  }
}

int main(int argc, char** argv) {
  FILETIME stamp;
  VARIANT value;
  VARIANT control;
  char addr[64];
  kv_uint32 number = 0;
  unsigned short quality = 1;
  int step;
  int received = 0;

  if (argc != 4) {
    fprintf(stderr, "usage: consumer HOST PORT LOGFILE\n");
    return 2;
  }
  printf("consumer: kvopros2 %d.%d.%d\n", KVOPROS2_VERSION_MAJOR, KVOPROS2_VERSION_MINOR,
         KVOPROS2_VERSION_PATCH);
  if (!c_CreateOpros(argv[1], atoi(argv[2]), 10, "consumer", "", 0, 1, argv[3])) {
    fprintf(stderr, "consumer: c_CreateOpros failed\n");
    return 1;
  }
  check(c_RegisterChannel(LEVEL, KVOPROS2_TYPE_FLOAT8, 0, 1, "Tank level", "", "m", "%.2f", "",
                          KVOPROS2_SIGNIFICATION_MONITOR, ""),
        "declare " LEVEL);
  check(c_RegisterChannel(VALVE, KVOPROS2_TYPE_BOOLEAN, 1, 0, "Inlet valve", "", "", "", "",
                          KVOPROS2_SIGNIFICATION_CONTROL, "Closed\tOpen"),
        "declare " VALVE);
  consumer_variant_init(&value);
  value.vt = VT_R8;
  value.dblVal = 4.5;
  check(c_RegisterAttribute(LEVEL, KVOPROS2_ATTR_HI_LIMIT, KVOPROS2_TYPE_FLOAT8, value),
        "set the high limit");

  for (step = 0; step < WAIT_STEPS && !c_IsServerConnected(); ++step) consumer_sleep_ms(10);
  check(c_IsServerConnected() == 1, "log in");

  /* 2024-01-01 00:00:00 */
  stamp.dwLowDateTime = 0x7689C000u;
  stamp.dwHighDateTime = 0x01DA3C45u;
  value.dblVal = 1.5;
  check(c_RegisterValueByID(LEVEL, &stamp, KVOPROS2_QUALITY_GOOD, value), "hand over a value");
  printf("consumer: value handed over\n");
  fflush(stdout);

  for (step = 0; step < WAIT_STEPS && !received; ++step) {
    received = c_ReceiveControl(addr, (int)sizeof addr, &number, &stamp, &quality, &control);
    if (!received) consumer_sleep_ms(10);
  }
  check(received, "receive a control");
  if (received) {
    check(strcmp(addr, VALVE) == 0, "the control names " VALVE);
    check(quality == KVOPROS2_QUALITY_GOOD, "the control's quality is good");
    check(control.vt == VT_BOOL && control.boolVal != 0, "the control switches the valve on");
    printf("consumer: control for %s, kind %u\n", addr, (unsigned)control.vt);
    consumer_variant_clear(&control);
    value.dblVal = 2.5;
    check(c_RegisterValueByID(LEVEL, &stamp, KVOPROS2_QUALITY_GOOD, value), "answer the control");
    /* The answer goes out on the worker's next pass. */
    for (step = 0; step < 50; ++step) consumer_sleep_ms(10);
  }
  check(c_DestroyOpros(), "c_DestroyOpros");
  printf("consumer: %s\n", failures == 0 ? "done" : "FAILED");
  return failures == 0 ? 0 : 1;
}
