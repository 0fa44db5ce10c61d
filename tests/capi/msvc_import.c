/* A C host linked against the import library that Microsoft's librarian
 * makes from kvopros2-msvc.def (here made by llvm-dlltool, which writes the
 * same short import members): its calls reach the DLL's exports by ordinal.
 * Exit status 0 when every call reached the export it names. */
#include <stdio.h>

#include "kvopros2.h"

int main(void) {
  const int version = c_GetVersion();
  const int connected = c_IsServerConnected();
  const int why = c_GetLastResult();
  if (version != KVOPROS2_VERSION || connected != 0 || why != KVOPROS2_RESULT_NO_CLIENT) {
    printf("msvc import: version %d, connected %d, last result %d\n", version, connected, why);
    return 1;
  }
  return 0;
}
