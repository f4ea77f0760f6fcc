// Threads that keep the plug-in's code loaded while they run.
#include "plugin/Threads.h"

HANDLE StartOwnThread(LPTHREAD_START_ROUTINE routine, void* context, SIZE_T stackReserve) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<const wchar_t*>(routine),
                            &module))
        return nullptr;
    HANDLE thread =
        CreateThread(nullptr, stackReserve, routine, context, stackReserve ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
    if (!thread) FreeLibrary(module);
    return thread;
}

void EndOwnThread() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const wchar_t*>(&EndOwnThread), &module);
    FreeLibraryAndExitThread(module, 0);
}
