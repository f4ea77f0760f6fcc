// Reading a mapped input must never end the process: a page of the view
// that cannot be read (the file was cut short by another program, a network
// share or removable disk went away) ends that input with an error instead.
// The compiler has no structured exception handling, so a vectored handler
// takes the fault and resumes the command thread at the guard.
#include "input/Input.h"

namespace {

struct Guard {
    uintptr_t First;  // the view, [First, End)
    uintptr_t End;
    void* Jump[5];    // where GuardedRead resumes
    DWORD Error;
    Guard* Outer;
};

// The innermost guard and the thread it belongs to; only that thread ever
// touches Active, other threads only compare their id with GuardThread.
Guard* Active;
volatile DWORD GuardThread;
void* Registration;
// The system's translation of the status behind an in-page error, looked up
// before any fault (the plug-in imports nothing from ntdll).
using StatusToError = ULONG(WINAPI*)(LONG);
StatusToError TranslateStatus;

[[noreturn]] __attribute__((noinline)) void ResumeAtGuard() { __builtin_longjmp(Active->Jump, 1); }

LONG CALLBACK OnFault(EXCEPTION_POINTERS* pointers) {
    if (GetCurrentThreadId() != GuardThread || !Active) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    const DWORD code = record->ExceptionCode;
    // A read (flag 0) of the input's own view, nothing else: any other fault
    // is a fault of the program and must not be hidden.
    if ((code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION) || record->NumberParameters < 2 ||
        record->ExceptionInformation[0] != 0)
        return EXCEPTION_CONTINUE_SEARCH;
    const uintptr_t address = record->ExceptionInformation[1];
    if (address < Active->First || address >= Active->End) return EXCEPTION_CONTINUE_SEARCH;

    // The system's error behind an in-page error when it tells one; a page
    // that is simply gone (Wine reports an access violation) lies past the
    // end of a file that another program cut short.
    DWORD error = ERROR_HANDLE_EOF;
    if (code == EXCEPTION_IN_PAGE_ERROR && record->NumberParameters >= 3 && TranslateStatus) {
        ULONG dos = TranslateStatus(static_cast<LONG>(record->ExceptionInformation[2]));
        if (dos != 0 && dos != ERROR_MR_MID_NOT_FOUND) error = dos;
    }
    Active->Error = error;
    CONTEXT* context = pointers->ContextRecord;
    // Below the faulting frame, aligned as at a function's entry.
    context->Rsp = ((context->Rsp - 256) & ~static_cast<DWORD64>(15)) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&ResumeAtGuard);
    return EXCEPTION_CONTINUE_EXECUTION;
}

void Leave(Guard* guard) {
    Active = guard->Outer;
    if (Active) return;
    GuardThread = 0;
    RemoveVectoredExceptionHandler(Registration);
    Registration = nullptr;
}

}  // namespace

__attribute__((noinline)) int GuardedRead(InputSource* source, int (*body)(void*), void* context, bool* faulted) {
    *faulted = false;
    // Only views can lose their pages; the clipboard copy is ours.
    if (!source->Data || !source->MappingHandle) return body(context);
    Guard guard{reinterpret_cast<uintptr_t>(source->Data), reinterpret_cast<uintptr_t>(source->Data) + source->Size,
                {}, 0, Active};
    if (!Active) {
        if (!TranslateStatus)
            TranslateStatus = reinterpret_cast<StatusToError>(
                reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
        Registration = AddVectoredExceptionHandler(1, OnFault);
        if (!Registration) return body(context);
        GuardThread = GetCurrentThreadId();
    }
    Active = &guard;
    if (__builtin_setjmp(guard.Jump)) {
        // Resumed from OnFault: the frames below are gone, and they held
        // nothing that needs releasing.
        Leave(&guard);
        source->LastError = guard.Error;
        *faulted = true;
        return -1;
    }
    const int result = body(context);
    Leave(&guard);
    return result;
}
