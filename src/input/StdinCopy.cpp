// The copy of an input without a file behind it (a pipe, the console, a
// device) into a temporary file, which is then mapped like any file. The
// reads happen on a reader thread that the command thread waits for, so that
// a Ctrl-C ends the copy at once whatever the producer does.
#include "input/InputInternal.h"

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <new>

namespace {

constexpr DWORD CopyChunk = 8192;
// How often a wait for the copy's reader looks at the break flag, how often
// a reader left on a Ctrl-C is cancelled, and the longest wait for the
// delivery of a Ctrl-C (it takes a few milliseconds).
constexpr DWORD BreakPollMilliseconds = 20;
constexpr int ReaderCancelTries = 5;
constexpr DWORD BreakDeliveryMilliseconds = 500;

// "<temp folder>\Bytora-<pid>.tmp"; false when it does not fit or no memory.
bool BuildTempName(InputSource* source) {
    HeapBlock path(PathUnits * sizeof(wchar_t));
    if (!path.p) {
        source->LastError = NoMemory;
        return false;
    }
    wchar_t* text = path.Text();
    DWORD length = GetTempPathW(PathUnits, text);
    if (length == 0 || length >= PathUnits) length = 0;
    text[length] = 0;
    if (length && text[length - 1] != L'\\' && text[length - 1] != L'/' && text[length - 1] != L':') {
        if (length + 1 >= PathUnits) {
            source->LastError = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        text[length++] = L'\\';
        text[length] = 0;
    }
    if (FormatText(text + length, PathUnits - length, L"%s-%04x.tmp", PluginName,
                   static_cast<unsigned>(GetCurrentProcessId())) < 0) {
        source->LastError = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    source->TempFileName = CopyText(text);
    if (!source->TempFileName) {
        source->LastError = NoMemory;
        return false;
    }
    return true;
}

// A Ctrl-C reaches the process on a thread that the system starts for it at
// its control routine: kernelbase's (kernel32's before Windows 8). Looked
// up once, by the command thread.
// WINE: the thread starts at a routine of Wine's ntdll.
struct CtrlRoutines {
    using NextThreadCall = LONG(NTAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, HANDLE*);
    using QueryThreadCall = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    static constexpr ULONG StartAddressClass = 9;  // ThreadQuerySetWin32StartAddress
    NextThreadCall NextThread;
    QueryThreadCall QueryThread;
    const void* Starts[3];
    CtrlRoutines() {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        NextThread = reinterpret_cast<NextThreadCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtGetNextThread")));
        QueryThread = reinterpret_cast<QueryThreadCall>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationThread")));
        Starts[0] = Routine(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
        Starts[1] = Routine(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine");
        Starts[2] = Routine(ntdll, "__wine_ctrl_routine");
    }
    static const void* Routine(HMODULE module, const char* name) {
        return module ? reinterpret_cast<const void*>(GetProcAddress(module, name)) : nullptr;
    }
    bool IsCtrlRoutine(const void* start) const {
        for (const void* routine : Starts)
            if (start && start == routine) return true;
        return false;
    }
};

// Found when the library is loaded: a static inside a function would be
// guarded by the C++ runtime's thread support, which keeps a record (a
// thread handle, an event) for the host's thread that outlives the plug-in
// when the host unloads it.
const CtrlRoutines Routines;

// A Ctrl-C that kills the producer reaches us at the same moment, but the
// end of the pipe may be seen before the handler has set the flag. When a
// thread of the process runs the control routine, a Ctrl-C is being
// delivered: wait until it is (bounded), and the flag tells. Without such a
// thread nothing waits, so a pipe that simply ends costs nothing.
void AwaitBreakUnderWay() {
    const CtrlRoutines& routines = Routines;
    if (!routines.NextThread || !routines.QueryThread) return;
    OwnedHandle thread;
    for (;;) {
        HANDLE next = nullptr;
        if (routines.NextThread(GetCurrentProcess(), thread.h, THREAD_QUERY_INFORMATION | SYNCHRONIZE, 0, 0, &next) != 0)
            return;
        thread.Close();
        thread.h = next;
        const void* start = nullptr;
        if (routines.QueryThread(thread.h, CtrlRoutines::StartAddressClass, &start, sizeof start, nullptr) == 0 &&
            routines.IsCtrlRoutine(start))
            WaitForSingleObject(thread.h, BreakDeliveryMilliseconds);
    }
}

// The reads of a copy happen on a thread of their own: a producer may hold
// a pipe open without ever writing, the console waits for a whole line, and
// a read that waits cannot always be interrupted (under Wine a read of a
// Unix pipe cannot be cancelled at all). The command thread waits for the
// reader and leaves it on a Ctrl-C.
//
// Shared by the command thread and the reader; the last of the two to let
// go frees it, and with it closes the input unless that is the console.
struct CopyShare {
    LONG Refs;           // interlocked: one per thread that holds the block
    HANDLE Input;        // read by the copying thread only
    bool Console;        // Input is the console: borrowed, never closed
    HANDLE Ended;        // set by the reader when it has done with Temp
    // The command thread sets Abandoned when it leaves on a Ctrl-C; the
    // reader writes to Temp only under Lock and only while it is not set, so
    // after that the temporary file is the command thread's alone.
    SRWLOCK Lock;
    std::atomic<bool> Abandoned;
    HANDLE Temp;
    DWORD WriteError;    // the reader's; read once the reader has ended
    uint8_t Buffer[CopyChunk];
};

void LetGo(CopyShare* share) {
    if (InterlockedDecrement(&share->Refs) != 0) return;
    if (!share->Console && share->Input) CloseHandle(share->Input);
    if (share->Ended) CloseHandle(share->Ended);
    share->~CopyShare();
    free(share);
}

// The command thread's hold on the block, let go of on every path.
struct HeldShare {
    CopyShare* share;
    ~HeldShare() {
        if (share) LetGo(share);
    }
};

// A new block that holds the input from now on (null: no memory).
CopyShare* NewCopyShare(HANDLE input, bool console) {
    void* block = malloc(sizeof(CopyShare));
    if (!block) return nullptr;
    return new (block) CopyShare{1, input, console, nullptr, SRWLOCK_INIT, {false}, nullptr, 0, {}};
}

// Reads until the input ends, each piece into the temporary file.
void CopyPieces(CopyShare* share) {
    while (!share->Abandoned && !BreakRequested) {
        DWORD got = 0;
        // A failed read is the end as well: a broken pipe is how a pipe ends.
        const bool ended = !ReadFile(share->Input, share->Buffer, CopyChunk, &got, nullptr) || got == 0;
        ExclusiveLock lock(&share->Lock);
        if (ended || share->Abandoned) return;
        // A console line that starts with ^Z ends the text even where the
        // console hands the character through instead of ending the read.
        if (share->Console && share->Buffer[0] == 0x1A) return;
        DWORD put = 0;
        const BOOL written = WriteFile(share->Temp, share->Buffer, got, &put, nullptr);
        if (!written || put != got) {
            const DWORD error = written ? 0 : GetLastError();
            // A short write without an error code means the disk is full.
            share->WriteError = error ? error : ERROR_DISK_FULL;
            return;
        }
    }
}

DWORD WINAPI CopyThread(void* context) {
    CopyShare* share = static_cast<CopyShare*>(context);
    CopyPieces(share);
    // Told at once: the thread's own end comes a good while later.
    SetEvent(share->Ended);
    LetGo(share);
    EndOwnThread();
}

// The reader on a thread of its own, or null (the copy then runs on the
// command thread, as it would without threads).
HANDLE StartReader(CopyShare* share) {
    share->Ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!share->Ended) return nullptr;
    InterlockedIncrement(&share->Refs);
    HANDLE thread = StartOwnThread(CopyThread, share, 64 * 1024);
    if (!thread) InterlockedDecrement(&share->Refs);
    return thread;
}

// Leaves the reader on a Ctrl-C. Its read is cancelled where the system can
// (any read on Windows, a console read under Wine), more than once in case
// the reader was between two reads; a read that cannot be cancelled ends
// when the producer writes or ends, and the reader then lets go.
void LeaveReader(CopyShare* share, HANDLE thread) {
    {
        ExclusiveLock lock(&share->Lock);
        share->Abandoned = true;
    }
    for (int tries = 0; tries < ReaderCancelTries; ++tries) {
        CancelSynchronousIo(thread);
        if (WaitForSingleObject(thread, BreakPollMilliseconds) == WAIT_OBJECT_0) return;
    }
}

// Copies the block's input into temp: 0 when the input ended,
// ERROR_CANCELLED on a Ctrl-C, else the write error.
DWORD CopyInto(CopyShare* share, HANDLE temp) {
    share->Temp = temp;
    if (!share->Input) return BreakRequested ? ERROR_CANCELLED : 0;  // nothing to read: an empty input
    OwnedHandle thread(StartReader(share));
    if (!thread.h) {
        CopyPieces(share);
    } else {
        while (WaitForSingleObject(share->Ended, BreakPollMilliseconds) != WAIT_OBJECT_0) {
            if (BreakRequested) {
                LeaveReader(share, thread.h);
                return ERROR_CANCELLED;
            }
        }
    }
    if (share->WriteError) return share->WriteError;
    if (!BreakRequested) AwaitBreakUnderWay();
    return BreakRequested ? ERROR_CANCELLED : 0;
}

}  // namespace

// Copies an input without a file behind it into the temporary file, which
// becomes FileHandle. The borrowed console handle is read but never closed;
// any other input handle is closed once no read of it is left, on every path.
bool CopyToTempFile(InputSource* source, HANDLE console, BY_HANDLE_FILE_INFORMATION* info) {
    OwnedHandle ownedInput(console ? nullptr : source->FileHandle);
    source->FileHandle = nullptr;

    if (!BuildTempName(source)) {
        if (source->LastError == ERROR_FILENAME_EXCED_RANGE)
            Report(source, L"Can\u2019t create temp file for pipe copy\n");
        return false;
    }
    HeldShare held{NewCopyShare(console ? console : ownedInput.h, console != nullptr)};
    if (!held.share) {
        Report(source, L"Can\u2019t allocate buffer for copy\n");
        source->LastError = NoMemory;
        return false;
    }
    ownedInput.Release();  // the block's now
    // The system deletes the copy when its last handle closes, so it goes
    // even when the process is ended from outside; ReleaseInput still deletes
    // it by name, as it does a download.
    OwnedHandle temp(CreateFileW(source->TempFileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!temp.h) {
        source->LastError = GetLastError();
        // Nothing was created, so there is nothing of ours to delete.
        free(source->TempFileName);
        source->TempFileName = nullptr;
        Report(source, L"Can\u2019t create temp file for pipe copy\n");
        return false;
    }
    // A Ctrl-C while the copy runs must not end the process with the
    // temporary file left behind: it stops the copy instead, and the caller
    // sees the break. The flag is not cleared here: a break that came since
    // the dump of this input began counts.
    InstallCtrlHandler();
    source->LastError = CopyInto(held.share, temp.h);
    if (source->LastError == ERROR_CANCELLED) return false;
    if (source->LastError) {
        temp.Close();
        Report(source, L"Error writing temp file \"%s\" :\r\n", source->TempFileName);
        ReportErrorLine(source);
        return false;
    }
    source->FileHandle = temp.Release();
    FlushFileBuffers(source->FileHandle);
    SetFilePointer(source->FileHandle, 0, nullptr, FILE_BEGIN);
    ZeroMemory(info, sizeof *info);
    GetFileInformationByHandle(source->FileHandle, info);
    return true;
}
