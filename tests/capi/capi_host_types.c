/* A Linux host that brings its own Windows types, as a compatibility header
 * of its own might define them (other member names, no anonymous union),
 * and tells kvopros2.h to use them. With CAPI_WRONG_VARIANT its VARIANT has
 * a different size, which the header must refuse to compile. */
#include <stdint.h>

typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef uint16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef double DATE;
enum host_vartype { VT_EMPTY = 0, VT_R8 = 5 };

typedef struct {
  uint32_t count;
  int32_t lower;
} SAFEARRAYBOUND;

typedef struct {
  uint16_t dims;
  uint16_t features;
  uint32_t elementSize;
  uint32_t locks;
  void* data;
  SAFEARRAYBOUND bounds[1];
} SAFEARRAY;

typedef struct {
  VARTYPE vt;
  uint16_t reserved[3];
  union {
    double dblVal;
    BSTR bstrVal;
    int64_t llVal;
  } u;
#ifdef CAPI_WRONG_VARIANT
  void* record;
#endif
} VARIANT;

typedef struct {
  uint32_t low;
  uint32_t high;
} FILETIME;

#define KVOPROS2_HOST_WINDOWS_TYPES
#include "kvopros2.h"

int capi_host_types_example(void) {
  VARIANT value;
  FILETIME time;
  time.low = 0;
  time.high = 0;
  kv_VariantInit(&value);
  value.vt = VT_R8;
  value.u.dblVal = 2.5;
  return c_RegisterValueByID("Channel1", &time, KVOPROS2_QUALITY_GOOD, value);
}
