// The DLL's entry routine. Loading and unloading run none of the library's
// logic: nothing exists before c_CreateOpros, and nothing is left to tear
// down once c_DestroyOpros has run.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
