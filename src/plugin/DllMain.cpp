// The plug-in DLL: the entry points live in the core library and are exported
// by name through Bytora.def.
#include <windows.h>

// The C++ runtime linked into the plug-in sets a block aside when the DLL is
// loaded (its reserve for exceptions thrown when memory runs out) and keeps
// it for the life of the process; a host that unloads the plug-in and loads
// it again would lose one such block each time.
namespace __gnu_cxx {
void __freeres();
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // Unloaded while the process goes on (at the process's end nothing
    // needs to be given back).
    if (reason == DLL_PROCESS_DETACH && !reserved) __gnu_cxx::__freeres();
    return TRUE;
}
