// Input acquisition: every input becomes one contiguous, read-only run of
// bytes. Files are mapped; what has no file behind it (a pipe, the console, a
// device) is copied to a temporary file first, which is then mapped. The
// clipboard and named files of up to 64 KiB are held in heap copies.
#include "input/InputInternal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr uint32_t EmptyInput = static_cast<uint32_t>(-100);

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
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
