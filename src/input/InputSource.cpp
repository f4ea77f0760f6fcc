// Input acquisition: every input becomes one contiguous, read-only run of
// bytes. Files are mapped; what has no file behind it (a pipe, the console, a
// device) is copied to a temporary file first, which is then mapped. The
// clipboard and named files of up to 64 KiB are held in heap copies.
#include "input/Input.h"
#include "input/InputInternal.h"
#include "plugin/Plugin.h"

#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

constexpr size_t PathUnits = 32768;   // 32767 characters and the terminator
constexpr size_t TextUnits = 1024;
constexpr DWORD CopyChunk = 8192;
// How often a wait for the copy's reader looks at the break flag, how often
// a reader left on a Ctrl-C is cancelled, and the longest wait for the
// delivery of a Ctrl-C (it takes a few milliseconds).
constexpr DWORD BreakPollMilliseconds = 20;
constexpr int ReaderCancelTries = 5;
constexpr DWORD BreakDeliveryMilliseconds = 500;
constexpr uint32_t NoMemory = ERROR_NOT_ENOUGH_MEMORY;  // 8
constexpr uint32_t EmptyInput = static_cast<uint32_t>(-100);
constexpr uint32_t ClipboardFailed = static_cast<uint32_t>(-1);
constexpr uint32_t NoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, not in every winerror.h

// Closes its handle exactly once, whichever way the scope is left.
struct OwnedHandle {
    HANDLE h = nullptr;
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : h(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~OwnedHandle() { Close(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    void Close() {
        if (h) CloseHandle(h);
        h = nullptr;
    }
    HANDLE Release() {
        HANDLE r = h;
        h = nullptr;
        return r;
    }
};

// A heap block freed on every path.
struct HeapBlock {
    void* p;
    explicit HeapBlock(size_t bytes) : p(malloc(bytes)) {}
    ~HeapBlock() { free(p); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    wchar_t* Text() const { return static_cast<wchar_t*>(p); }
};

// Unlocks the clipboard text and closes the clipboard, each only when taken.
struct ClipboardSession {
    bool Open = false;
    HANDLE Locked = nullptr;
    ~ClipboardSession() { End(); }
    void End() {
        if (Locked) GlobalUnlock(Locked);
        Locked = nullptr;
        if (Open) CloseClipboard();
        Open = false;
    }
};

wchar_t* CopyText(const wchar_t* text) {
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(malloc(bytes));
    if (copy) memcpy(copy, text, bytes);
    return copy;
}

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// A message after the error prefix; user text only ever goes in through "%s".
void Report(const InputSource* source, const wchar_t* format, const wchar_t* text = L"") {
    if (source->OpenFlags & OPEN_REPORT) ReportError(format, text);
}

// The indented line that explains an error under a message.
void WriteReasonLine(const wchar_t* text) { Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"   %s\r\n", text); }

void WriteErrorLine(uint32_t error) {
    wchar_t text[TextUnits];
    FormatErrorText(static_cast<int>(error), text);
    WriteReasonLine(text);
}

void ReportErrorLine(const InputSource* source) {
    if (source->OpenFlags & OPEN_REPORT) WriteErrorLine(source->LastError);
}

void ReportWithErrorText(const InputSource* source, const wchar_t* format) {
    if (!(source->OpenFlags & OPEN_REPORT)) return;
    wchar_t text[TextUnits];
    FormatErrorText(static_cast<int>(source->LastError), text);
    ReportError(format, text);
}

// Leaves the record empty apart from LastError and returns it.
int FailOpen(InputSource* source) {
    uint32_t error = source->LastError;
    ReleaseInput(source);
    source->LastError = error;
    return static_cast<int>(error);
}

// The prompt goes straight to the console so that it never ends up in a
// redirected dump or error log.
void PromptConsole() {
    static const wchar_t Prompt[] = L"Reading text from the console: (^Z ends)";
    wchar_t line[96];
    int length = TerminalWindow ? FormatText(line, 96, L"\x1b[3m%s\x1b[23m\r\n", Prompt)
                                : FormatText(line, 96, L"%s\r\n", Prompt);
    if (length <= 0) return;
    HANDLE out = ConsoleOut;
    OwnedHandle opened;
    if (!out) {
        opened.h = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (opened.h == INVALID_HANDLE_VALUE) opened.h = nullptr;
        out = opened.h;
    }
    DWORD written = 0;
    if (out) WriteConsoleW(out, line, static_cast<DWORD>(length), &written, nullptr);
}

int OpenClipboardInput(InputSource* source) {
    const wchar_t* failure;
    {
        ClipboardSession clip;
        clip.Open = OpenClipboard(GetConsoleWindow()) != 0;
        HANDLE data = clip.Open ? GetClipboardData(CF_UNICODETEXT) : nullptr;
        const wchar_t* text = data ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
        if (text) clip.Locked = data;
        // The block need not hold a terminator: never look beyond its size.
        size_t length = text ? wcsnlen(text, GlobalSize(data) / sizeof(wchar_t)) : 0;
        if (!clip.Open) {
            failure = L"Can\u2019t open the clipboard\r\n";
        } else if (data && !text) {
            failure = L"Can\u2019t get clipboard text data address\r\n";
        } else if (length == 0) {
            failure = L"No text on the clipboard\r\n";
        } else {
            size_t bytes = length * sizeof(wchar_t);
            uint8_t* copy = static_cast<uint8_t*>(malloc(bytes + sizeof(wchar_t)));
            if (!copy) {
                failure = L"Can\u2019t allocate buffer for clipboard data\r\n";
            } else {
                memcpy(copy, text, bytes);
                copy[bytes] = copy[bytes + 1] = 0;
                source->Data = copy;
                source->Size = bytes;
                source->Encoding = Utf16Le;
                if (copy[0] == 0xFF && copy[1] == 0xFE) source->Position = source->BomLength = 2;
                return 0;
            }
        }
    }
    Report(source, failure);
    source->LastError = ClipboardFailed;
    return FailOpen(source);
}

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
// its control routine: kernelbase's (kernel32's before Windows 8; Wine starts
// it at a routine of its ntdll). Looked up once, by the command thread.
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

bool HasFileTimes(const BY_HANDLE_FILE_INFORMATION& info) {
    auto set = [](const FILETIME& t) { return t.dwLowDateTime != 0 || t.dwHighDateTime != 0; };
    return set(info.ftCreationTime) || set(info.ftLastAccessTime) || set(info.ftLastWriteTime);
}

// The times and size of an open handle, as GetFileInformationByHandle gives
// them. That call also asks the volume for its serial number, which costs a
// round trip to another process per file under Wine and is of no use here;
// a disk file's basic and standard records hold the same times and size.
// Anything else (a pipe, the console, a device, a volume), or a record that
// cannot be read, takes the full query as it always did.
void ReadFileInformation(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
    ZeroMemory(info, sizeof *info);
    FILE_BASIC_INFO basic;
    LARGE_INTEGER size;
    if (GetFileType(handle) == FILE_TYPE_DISK &&
        GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
        (basic.CreationTime.QuadPart || basic.LastAccessTime.QuadPart || basic.LastWriteTime.QuadPart) &&
        GetFileSizeEx(handle, &size)) {
        auto put = [](const LARGE_INTEGER& from, FILETIME* to) {
            to->dwLowDateTime = from.LowPart;
            to->dwHighDateTime = static_cast<DWORD>(from.HighPart);
        };
        put(basic.CreationTime, &info->ftCreationTime);
        put(basic.LastAccessTime, &info->ftLastAccessTime);
        put(basic.LastWriteTime, &info->ftLastWriteTime);
        info->dwFileAttributes = basic.FileAttributes;
        info->nFileSizeLow = size.LowPart;
        info->nFileSizeHigh = static_cast<DWORD>(size.HighPart);
        return;
    }
    GetFileInformationByHandle(handle, info);
}

// Reads a small named file whole into a heap block that becomes Data, and
// closes the file: the record then holds what a clipboard copy holds, and
// ReleaseInput frees it the same way. Mapping a file costs six round trips
// to the Wine server and a read none, and the dump of a tree is mostly small
// files. False, with nothing changed, when the read fails or finds nothing
// (the file emptied meanwhile): the file is then mapped as any other.
bool ReadSmallFile(InputSource* source) {
    uint64_t got = 0;
    uint8_t* copy = ReadSmallCopy(source->FileHandle, source->Size, &got);
    if (!copy) return false;
    CloseHandle(source->FileHandle);
    source->FileHandle = nullptr;
    source->Data = copy;
    source->Size = got;
    return true;
}

// A record whose Data became a heap copy of the file: its encoding.
int FinishCopy(InputSource* source) {
    source->LastError = 0;
    DetectEncoding(source, (source->OpenFlags & OPEN_DETECT_EBCDIC) != 0);
    return 0;
}

// From an open handle (FileHandle, or the borrowed console) to the mapped
// view, then the encoding. A small named file (readSmall) is read instead.
int MapInput(InputSource* source, HANDLE console, bool readSmall = false) {
    BY_HANDLE_FILE_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    if (source->FileHandle) ReadFileInformation(source->FileHandle, &info);
    // A download is already a file; copying it would lose its temporary name.
    if (console || (!HasFileTimes(info) && !source->TempFileName)) {
        if (!CopyToTempFile(source, console, &info)) return FailOpen(source);
    }
    source->Size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (source->Size == 0) {
        source->LastError = EmptyInput;
        return FailOpen(source);
    }
    if (readSmall && !source->TempFileName && source->Size <= SmallFileBytes && ReadSmallFile(source))
        return FinishCopy(source);
    source->MappingHandle = CreateFileMappingW(source->FileHandle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!source->MappingHandle) {
        source->LastError = GetLastError();
        ReportWithErrorText(source, L"Error mapping file: %s\r\n");
        return FailOpen(source);
    }
    // Once mapped the file can no longer shrink; if it shrank before, never
    // claim bytes the view does not have.
    LARGE_INTEGER now;
    if (GetFileSizeEx(source->FileHandle, &now) && static_cast<uint64_t>(now.QuadPart) < source->Size)
        source->Size = static_cast<uint64_t>(now.QuadPart);
    source->Data = static_cast<const uint8_t*>(MapViewOfFile(source->MappingHandle, FILE_MAP_READ, 0, 0, 0));
    if (!source->Data) {
        source->LastError = GetLastError();
        ReportWithErrorText(source, L"Error mapping view of file: %s\r\n");
        return FailOpen(source);
    }
    source->LastError = 0;
    // Detection reads the view: the first place a vanished page shows.
    ReadGuard guard(source);
    auto detect = [source] {
        DetectEncoding(source, (source->OpenFlags & OPEN_DETECT_EBCDIC) != 0);
        return 0;
    };
    if (guard.Read(detect) != 0) {
        Report(source, L"Error reading \"%s\" :\r\n", source->Name);
        ReportErrorLine(source);
        return FailOpen(source);
    }
    return 0;
}

// Opens a file for reading and maps it; a failure is reported with Name.
// With onlyFiles, what is not a file on a disk (a FIFO, a device, a socket
// seen through Wine) is refused before a byte of it is read: reading it
// could wait for a writer or never end.
int OpenAndMap(InputSource* source, const wchar_t* path, DWORD attributes, bool onlyFiles = false,
               bool readSmall = false) {
    source->FileHandle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, attributes, nullptr);
    if (source->FileHandle == INVALID_HANDLE_VALUE) {
        source->LastError = PathError(GetLastError(), path);
        source->FileHandle = nullptr;
    } else if (onlyFiles && GetFileType(source->FileHandle) != FILE_TYPE_DISK) {
        source->LastError = ERROR_CANT_ACCESS_FILE;
    } else {
        return MapInput(source, nullptr, readSmall);
    }
    Report(source, L"Error opening \"%s\" :\r\n", source->Name);
    ReportErrorLine(source);
    return FailOpen(source);
}

}  // namespace

// A full, plain path on a drive or a share ("C:\x", "\\server\share\x",
// either in the "\\?\" form), as the walk and list files give names: its
// "\\?\" form names the same file, and takes a name like AUX or NUL literally.
bool HasLiteralForm(const wchar_t* name) {
    auto drive = [](const wchar_t* p) {
        return ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':' && p[2] == L'\\';
    };
    if (wcsncmp(name, L"\\\\?\\UNC\\", 8) == 0) return true;
    if (wcsncmp(name, L"\\\\?\\", 4) == 0) return drive(name + 4);
    if (name[0] == L'\\' && name[1] == L'\\') {
        if (name[2] == L'?' || name[2] == L'.' || name[2] == L'\\' || !name[2]) return false;
    } else if (!drive(name)) {
        return false;
    }
    // The system would take "." and ".." steps and "/" that the literal
    // form keeps; such a name is not plain.
    for (const wchar_t* p = name; *p; ++p) {
        if (*p == L'/') return false;
        if (*p == L'.' && p[-1] == L'\\') {
            const wchar_t* q = p[1] == L'.' ? p + 2 : p + 1;
            if (*q == 0 || *q == L'\\') return false;
        }
    }
    return true;
}

// The "\\?\" form of a name HasLiteralForm accepts, or null when it does not fit.
wchar_t* LiteralForm(const wchar_t* name) {
    if (wcsncmp(name, L"\\\\?\\", 4) == 0) return CopyText(name);
    const bool share = name[0] == L'\\';
    const wchar_t* prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t* rest = share ? name + 1 : name;
    const size_t prefixLength = wcslen(prefix);
    const size_t restLength = wcslen(rest);
    if (prefixLength + restLength >= PathUnits) return nullptr;
    wchar_t* text = static_cast<wchar_t*>(malloc((prefixLength + restLength + 1) * sizeof(wchar_t)));
    if (!text) return nullptr;
    memcpy(text, prefix, prefixLength * sizeof(wchar_t));
    memcpy(text + prefixLength, rest, (restLength + 1) * sizeof(wchar_t));
    return text;
}

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

uint8_t* ReadSmallCopy(HANDLE file, uint64_t size, uint64_t* got) {
    *got = 0;
    uint8_t* copy = static_cast<uint8_t*>(malloc(size));
    if (!copy) return nullptr;
    while (*got < size) {
        DWORD part = 0;
        if (!ReadFile(file, copy + *got, static_cast<DWORD>(size - *got), &part, nullptr)) {
            free(copy);
            return nullptr;
        }
        if (part == 0) break;  // the file shrank since its size was read
        *got += part;
    }
    // A file that shrank shows what it still holds, as a view would; one
    // that grew shows no more than the size read, as a view would too.
    if (*got == 0) {
        free(copy);
        return nullptr;
    }
    return copy;
}

namespace {

int OpenAddress(InputSource* source) {
    HeapBlock temp(PathUnits * sizeof(wchar_t));
    if (!temp.p) {
        source->LastError = NoMemory;
        return FailOpen(source);
    }
    temp.Text()[0] = 0;
    HANDLE file = nullptr;
    wchar_t reason[ReasonUnits];
    source->LastError =
        static_cast<uint32_t>(FetchUrl(source->Name, temp.Text(), &file, DownloadSilenceLimit, reason));
    // A download stopped by Ctrl-C is a break, not a failure to report.
    if (source->LastError == ERROR_CANCELLED && BreakRequested) return FailOpen(source);
    if (source->LastError) {
        Report(source, L"Error fetching \"%s\" :\r\n", source->Name);
        if (!reason[0])
            ReportErrorLine(source);
        else if (source->OpenFlags & OPEN_REPORT)
            WriteReasonLine(reason);
        return FailOpen(source);
    }
    // The download's own handle is the input's: the file goes with it.
    source->FileHandle = file;
    source->TempFileName = CopyText(temp.Text());
    if (!source->TempFileName) {
        source->LastError = NoMemory;
        return FailOpen(source);
    }
    return MapInput(source, nullptr);
}

int OpenStandardInput(InputSource* source) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE) input = nullptr;
    if (IsConsoleHandle(input)) {
        // The console belongs to the process: it is read, never closed.
        PromptConsole();
        return MapInput(source, input);
    }
    source->FileHandle = input;
    return MapInput(source, nullptr);
}

// The host's answer, copied into Name at once. A static: it is asked for
// every file of a walk, and under Wine a 64 KiB block from the heap is mapped
// afresh each time; a list file's names each finish with it before the next.
wchar_t TrueNameText[PathUnits];

// offered: the name as the caller gave it, which is what the read-ahead knows.
int OpenFile(InputSource* source, const wchar_t* offered) {
    wchar_t* text = TrueNameText;
    text[0] = 0;
    QueryTrueName(source->Name, text);
    text[PathUnits - 1] = 0;
    // A file found by the walk or named in a list is a full path: it is
    // opened literally, so the true name may correct its letter case but not
    // turn "C:\dir\AUX" into a device or drop a trailing dot.
    const bool literal = HasLiteralForm(source->Name);
    if (literal && CompareStringOrdinal(text, -1, source->Name, -1, TRUE) != CSTR_EQUAL) text[0] = 0;
    // An empty answer means the host could not say: keep the name as given.
    if (text[0]) {
        if (wcsncmp(text, L"Volume{", 7) == 0 && IsHexDigit(text[7])) MakeDevicePath(text);
        wchar_t* name = CopyText(text);
        if (!name) {
            source->LastError = NoMemory;
            return FailOpen(source);
        }
        free(source->Name);
        source->Name = name;
    }
    const bool readSmall = (source->OpenFlags & OPEN_READ_SMALL) != 0;
    if (!literal) return OpenAndMap(source, source->Name, 0, false, readSmall);
    if (readSmall) {
        const int taken = TakeReadAhead(offered, source);
        if (taken > 0) return FinishCopy(source);
        // A break while the pool still reads it: no message, the dump stops.
        if (taken < 0) {
            source->LastError = ERROR_CANCELLED;
            return FailOpen(source);
        }
    }
    wchar_t* path = LiteralForm(source->Name);
    const int result = OpenAndMap(source, path ? path : source->Name, 0, true, readSmall);
    free(path);
    return result;
}

struct LocaleCodePage {
    uint16_t Locale;
    uint16_t CodePage;
};

const LocaleCodePage EbcdicLocales[] = {
    {0x0407, 1141}, {0x0C07, 1141}, {0x083C, 1146}, {0x1809, 1146}, {0x0809, 1146}, {0x040C, 1147},
    {0x0406, 1142}, {0x0414, 1142}, {0x0814, 1142}, {0x040B, 1143}, {0x041D, 1143}, {0x040A, 1145},
    {0x0C0A, 1145}, {0x080A, 1145}, {0x0410, 1144}, {0x040F, 1149},
};

struct HttpStatusText {
    int Status;
    const wchar_t* Text;
};

const HttpStatusText HttpStatusTexts[] = {
    {400, L"Bad request"},    {401, L"Unauthorized"},    {402, L"Payment required"}, {403, L"Forbidden"},
    {404, L"Not found"},      {408, L"Request timeout"}, {500, L"Internal error"},   {503, L"Service unavailable"},
    // A redirect that is not followed ends a download like an error status.
    {300, L"Multiple choices"}, {301, L"Moved permanently"}, {302, L"Found"},          {303, L"See other"},
    {304, L"Not modified"},     {305, L"Use proxy"},         {307, L"Temporary redirect"}, {308, L"Permanent redirect"},
};

// Texts for the internet library's codes that the download returns and
// that the library's module may have no text for.
const HttpStatusText InternetErrorTexts[] = {
    {ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, L"The secure address redirects to one that is not secure."},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE, L"The server returned an invalid or unrecognized response."},
    {ERROR_HTTP_REDIRECT_FAILED, L"The request was redirected more than 10 times."},
    {ErrorDecodingFailed, L"The body is in a transfer coding that cannot be undone."},
};

}  // namespace

int OpenInput(InputSource* source, const wchar_t* name, uint32_t openFlags, uint32_t codePage, uint32_t ebcdicCodePage) {
    if (!source || !name || !*name) return -1;
    ZeroMemory(source, sizeof *source);
    source->CodePage = codePage ? codePage : GetACP();
    source->EbcdicCodePage = ebcdicCodePage ? ebcdicCodePage : DefaultEbcdicCodePage();
    int index = CodePageIndexOf(source->CodePage);
    source->CodePageIndex = index < 0 ? 0 : index;
    index = EbcdicCodePageIndexOf(source->EbcdicCodePage);
    source->EbcdicCodePageIndex = index < 0 ? 0 : index;
    source->AllowSupplementary = (openFlags & OPEN_SUPPLEMENTARY) ? 1 : 0;
    source->ReplacementChar = 0xFFFD;
    source->OpenFlags = openFlags;

    source->Name = CopyText(name);
    if (!source->Name) {
        source->LastError = NoMemory;
        return FailOpen(source);
    }
    // HTTP addresses may hold "*" or "?" legitimately; other schemes only
    // count as addresses when they hold no wildcards.
    if (UrlWildcardCount(name) == 0 && QueryIsURL(name)) return OpenAddress(source);
    if (_wcsicmp(name, L"clip:") == 0) return OpenClipboardInput(source);
    if (wcscmp(name, L"-") == 0) return OpenStandardInput(source);
    return OpenFile(source, name);
}

void ReleaseInput(InputSource* source) {
    if (!source) return;
    if (source->Data) {
        // A view is mapped whenever a handle is held; otherwise it is the clipboard copy.
        if (source->MappingHandle || source->FileHandle)
            UnmapViewOfFile(source->Data);
        else
            free(const_cast<uint8_t*>(source->Data));
    }
    if (source->MappingHandle) CloseHandle(source->MappingHandle);
    if (source->FileHandle) CloseHandle(source->FileHandle);
    if (source->TempFileName) {
        DeleteFileW(source->TempFileName);
        free(source->TempFileName);
    }
    free(source->Name);
    ZeroMemory(source, sizeof *source);
}

uint32_t EbcdicCodePageForLocale(LANGID locale) {
    if (locale == 0) return 1140;
    for (const LocaleCodePage& entry : EbcdicLocales)
        if (entry.Locale == locale) return entry.CodePage;
    unsigned language = locale & 0x3FF;
    if (language == 0 || language == LANG_ENGLISH) return 1140;
    uint32_t found = 1140;
    for (const LocaleCodePage& entry : EbcdicLocales)
        if ((entry.Locale & 0x3FFu) == language) found = entry.CodePage;
    return found;
}

uint32_t DefaultEbcdicCodePage(void) {
    return EbcdicCodePageForLocale(static_cast<LANGID>(GetUserDefaultLCID() & 0xFFFF));
}

int IsConsoleHandle(HANDLE handle) {
    if (!handle) return 0;
    static const DWORD Standard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : Standard) {
        // The pseudo-values arrive either zero- or sign-extended.
        if (handle == reinterpret_cast<HANDLE>(static_cast<uintptr_t>(which)) ||
            handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(which)))) {
            handle = GetStdHandle(which);
            break;
        }
    }
    if (!handle || handle == INVALID_HANDLE_VALUE) return 0;
    DWORD mode = 0xFFFFFFFF;
    return GetConsoleMode(handle, &mode) && mode != 0xFFFFFFFF ? 1 : 0;
}

int UrlWildcardCount(const wchar_t* name) {
    if (!name) return 0;
    if (StartsWithNoCase(name, L"http://") || StartsWithNoCase(name, L"https://")) return 0;
    int count = 0;
    bool inSet = false;
    for (const wchar_t* p = name; *p; ++p) {
        if (*p == L'*' || *p == L'?') {
            ++count;
        } else if (*p == L'[') {
            inSet = true;
        } else if (*p == L']' && inSet) {
            inSet = false;
            ++count;
        }
    }
    return count;
}

int MakeDevicePath(wchar_t* name) {
    if (!name) return -1;
    size_t length = wcsnlen(name, PathUnits);
    if (length + 4 >= PathUnits) return -1;
    memmove(name + 4, name, (length + 1) * sizeof(wchar_t));
    memcpy(name, L"\\\\.\\", 4 * sizeof(wchar_t));
    return 0;
}

wchar_t* LiteralPath(const wchar_t* name) {
    return name && HasLiteralForm(name) ? LiteralForm(name) : nullptr;
}

uint32_t PathError(uint32_t error, const wchar_t* path) {
    // Wine gives a name longer than its file system takes as a general
    // failure, and a socket as a device that does not exist: the name is too
    // long, and the socket is no file to read (as a FIFO is not).
    if (error == ERROR_GEN_FAILURE && path && wcslen(path) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (error == NoSuchDevice) return ERROR_CANT_ACCESS_FILE;
    return error;
}

void ReportReadFault(const wchar_t* format, const wchar_t* name, uint32_t error) {
    ReportError(format, name);
    WriteErrorLine(error);
}

int FormatErrorText(int code, wchar_t* text) {
    if (!text) return -1;
    text[0] = 0;
    HMODULE module = nullptr;
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    // The internet library's own codes have their texts in its module.
    if (code >= 12000 && code <= 12199 && (module = GetModuleHandleW(L"wininet.dll")) != nullptr)
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    if (code == -1) {
        FormatText(text, TextUnits, L"%s", L"Unknown error");
    } else if (code == -100) {
        FormatText(text, TextUnits, L"%s", L"The file is empty.");
    } else if (code >= -599 && code <= -300) {
        int status = -code;
        int length = FormatText(text, TextUnits, L"HTTP error %d", status);
        for (const HttpStatusText& entry : HttpStatusTexts)
            if (entry.Status == status && length > 0)
                FormatText(text + length, TextUnits - static_cast<size_t>(length), L":  %s", entry.Text);
    } else if (!FormatMessageW(flags, module, static_cast<DWORD>(code), 0, text, static_cast<DWORD>(TextUnits),
                               nullptr)) {
        FormatText(text, TextUnits, L"Error %d", code);
        for (const HttpStatusText& entry : InternetErrorTexts)
            if (entry.Status == code) FormatText(text, TextUnits, L"%s", entry.Text);
    }
    text[TextUnits - 1] = 0;
    size_t length = wcslen(text);
    while (length && (text[length - 1] == L' ' || text[length - 1] == L'\t' || text[length - 1] == L'\r' ||
                      text[length - 1] == L'\n'))
        text[--length] = 0;
    return 0;
}
