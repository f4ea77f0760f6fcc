// The plug-in DLL: the entry points live in the core library and are exported
// by name through Bytora.def.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
