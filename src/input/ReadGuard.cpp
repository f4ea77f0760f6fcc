// Reading a mapped input must never end the process: a page of the view
// that cannot be read (the file was cut short by another program, a network
// share or removable disk went away) ends that input with an error instead.
// The compiler has no structured exception handling, so a vectored handler
// takes the fault and resumes the command thread where the read began.
#include "input/Input.h"

namespace {

// One guarded step under way: the view it reads and where Read resumes.
struct Armed {
    uintptr_t First;  // the view, [First, End)
    uintptr_t End;
    void* Jump[5];
    DWORD Error;
    Armed* Outer;
};

// The innermost step under way and the thread it runs on. Only that thread
// ever touches Active; the handler runs on whichever thread faulted and
// compares its id with ArmedThread first.
Armed* Active;
volatile DWORD ArmedThread;
// The system's translation of the status behind an in-page error, looked up
// before any fault (the plug-in imports nothing from ntdll).
using StatusToError = ULONG(WINAPI*)(LONG);
StatusToError TranslateStatus;

[[noreturn]] __attribute__((noinline)) void ResumeAtGuard() { __builtin_longjmp(Active->Jump, 1); }

LONG CALLBACK OnFault(EXCEPTION_POINTERS* pointers) {
    if (GetCurrentThreadId() != ArmedThread || !Active) return EXCEPTION_CONTINUE_SEARCH;
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
    // that is simply gone lies past the end of a file that another program
    // cut short.
    // WINE: such a page is reported as an access violation.
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

// Ends a step, whichever way Read is left: the step outside it is the
// innermost again.
struct Disarm {
    Armed* armed;
    ~Disarm() {
        Active = armed->Outer;
        if (!Active) ArmedThread = 0;
    }
};

}  // namespace

ReadGuard::ReadGuard(InputSource* source) : Source(source), Registration(nullptr), Faulted(false) {
    // Only views can lose their pages; a clipboard copy or a small file read whole is ours.
    if (!source || !source->Data || !source->MappingHandle) return;
    if (!TranslateStatus)
        TranslateStatus = reinterpret_cast<StatusToError>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    Registration = AddVectoredExceptionHandler(1, OnFault);
}

ReadGuard::~ReadGuard() {
    if (Registration) RemoveVectoredExceptionHandler(Registration);
}

__attribute__((noinline)) int ReadGuard::Read(int (*step)(void*), void* context) {
    if (!Registration) return step(context);
    const uintptr_t first = reinterpret_cast<uintptr_t>(Source->Data);
    Armed armed{first, first + Source->Size, {}, 0, Active};
    Disarm disarm{&armed};
    ArmedThread = GetCurrentThreadId();
    Active = &armed;
    if (__builtin_setjmp(armed.Jump)) {
        // Resumed from OnFault: the frames below are gone, and they held
        // nothing that needs releasing.
        Source->LastError = armed.Error;
        Faulted = true;
        return -1;
    }
    return step(context);
}
