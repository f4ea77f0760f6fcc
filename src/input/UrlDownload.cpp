// Fetching web and FTP addresses into a temporary file with the system's
// internet library. The file is mapped and dumped like any other afterwards.
#include "input/Input.h"
#include "plugin/Plugin.h"
#include "plugin/Version.h"

#include <wininet.h>
#include <cwchar>

namespace {

constexpr DWORD CopyChunk = 8192;
constexpr DWORD HttpOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;  // 0x84000000
constexpr DWORD FtpOpenFlags = HttpOpenFlags | INTERNET_FLAG_PASSIVE;                  // 0x8C000000
constexpr DWORD StatusAsNumber = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;     // 0x20000013

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

// The request handle of the download in progress. A Ctrl-C arrives on the
// system's handler thread while this thread may sit in a blocking read for
// as long as the server stays silent; closing the handle from there is the
// internet library's way to cancel that read. Whoever takes the handle out
// of this slot closes it, so it is closed exactly once.
HINTERNET volatile ActiveRequest;

void CloseActiveRequest() {
    HINTERNET request = InterlockedExchangePointer(&ActiveRequest, nullptr);
    if (request) InternetCloseHandle(request);
}

BOOL WINAPI CancelOnBreak(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        BreakRequested = 1;
        CloseActiveRequest();
    }
    // The plug-in's own handler runs next and takes the event.
    return FALSE;
}

// Owns the internet handles and the temporary file of one download. The
// console handler is chained in front of the plug-in's while a request is
// open and removed before the request is closed.
struct Download {
    HINTERNET Root = nullptr;
    bool Watching = false;
    HANDLE File = INVALID_HANDLE_VALUE;
    const wchar_t* TempName = nullptr;  // deleted by the destructor unless kept
    bool Keep = false;

    ~Download() {
        if (File != INVALID_HANDLE_VALUE) CloseHandle(File);
        if (Watching) SetConsoleCtrlHandler(CancelOnBreak, FALSE);
        CloseActiveRequest();
        if (Root) InternetCloseHandle(Root);
        if (TempName && !Keep) DeleteFileW(TempName);
    }
    HINTERNET Request() const { return ActiveRequest; }
};

// The numeric HTTP status, 0 when it cannot be read.
DWORD HttpStatus(HINTERNET request) {
    DWORD status = 0, length = sizeof status, index = 0;
    if (!HttpQueryInfoW(request, StatusAsNumber, &status, &length, &index)) return 0;
    return status;
}

// The length the server announced, or -1 when it announced none.
long long AnnouncedLength(HINTERNET request) {
    wchar_t text[32];
    DWORD length = sizeof text, index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &length, &index)) return -1;
    text[31] = 0;
    wchar_t* end = nullptr;
    long long value = wcstoll(text, &end, 10);
    return end != text && value >= 0 ? value : -1;
}

}  // namespace

int DownloadUrl(const wchar_t* url, wchar_t* tempFileName) {
    if (!url || !tempFileName || !*url) return -1;
    tempFileName[0] = 0;
    bool http;
    if (StartsWithNoCase(url, L"ftp://"))
        http = false;
    else if (StartsWithNoCase(url, L"http://") || StartsWithNoCase(url, L"https://"))
        http = true;
    else
        return -2;

    // The system creates an empty file of a fresh name, so two downloads
    // never share one.
    DWORD pathLength = GetTempPathW(32768, tempFileName);
    if (pathLength == 0 || pathLength >= 32768 - 14) return pathLength ? ERROR_FILENAME_EXCED_RANGE : GetLastError();
    wchar_t* folder = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, (pathLength + 1) * sizeof(wchar_t)));
    if (!folder) return ERROR_NOT_ENOUGH_MEMORY;
    wmemcpy(folder, tempFileName, pathLength + 1);
    UINT unique = GetTempFileNameW(folder, L"MMF", 0, tempFileName);
    DWORD nameError = unique ? 0 : GetLastError();
    LocalFree(folder);
    if (!unique) {
        tempFileName[0] = 0;
        return nameError ? static_cast<int>(nameError) : -1;
    }

    Download download;
    download.TempName = tempFileName;

    wchar_t agent[64];
    FormatText(agent, 64, L"%s v%u.%u.%u", PluginName, BYTORA_VERSION_MAJOR, BYTORA_VERSION_MINOR,
               BYTORA_VERSION_BUILD);
    download.Root = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!download.Root) return static_cast<int>(GetLastError());

    // Ctrl-C while the request is being made or read ends the download.
    BreakRequested = 0;
    InstallCtrlHandler();
    download.Watching = SetConsoleCtrlHandler(CancelOnBreak, TRUE) != 0;

    HINTERNET request = InternetOpenUrlW(download.Root, url, nullptr, 0, http ? HttpOpenFlags : FtpOpenFlags, 0);
    if (!request) return BreakRequested ? ERROR_CANCELLED : static_cast<int>(GetLastError());
    InterlockedExchangePointer(&ActiveRequest, request);
    if (BreakRequested) return ERROR_CANCELLED;

    long long announced = -1;
    if (http) {
        DWORD status = HttpStatus(request);
        if (status >= 400) return -static_cast<int>(status);
        announced = AnnouncedLength(request);
    }

    download.File = CreateFileW(tempFileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (download.File == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());

    BYTE* buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, CopyChunk));
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD failure = 0;
    unsigned long long received = 0;
    for (;;) {
        DWORD got = 0;
        // Once the handler has taken the request, it is no longer ours to read.
        HINTERNET current = download.Request();
        if (!current || BreakRequested) {
            failure = ERROR_CANCELLED;
            break;
        }
        if (!InternetReadFile(current, buffer, CopyChunk, &got)) {
            // A read cut off by Ctrl-C is a break, whatever failed before.
            DWORD error = GetLastError();
            if (BreakRequested) failure = ERROR_CANCELLED;
            if (!failure) failure = error ? error : ERROR_INTERNET_CONNECTION_ABORTED;
            break;
        }
        if (got == 0) break;
        received += got;
        DWORD put = 0;
        // A failed write is remembered and the reading goes on: the first
        // failure is the one reported.
        if (!WriteFile(download.File, buffer, got, &put, nullptr)) {
            if (!failure) failure = GetLastError();
        } else if (put != got && !failure) {
            failure = ERROR_DISK_FULL;  // a short write without an error code
        }
    }
    LocalFree(buffer);
    // A connection that ends before the announced length is a broken
    // download, not a short file.
    if (!failure && announced >= 0 && received < static_cast<unsigned long long>(announced))
        failure = ERROR_INTERNET_CONNECTION_ABORTED;

    CloseHandle(download.File);
    download.File = INVALID_HANDLE_VALUE;
    if (failure) {
        // Give the system a moment to let go of the file before deleting it.
        Sleep(50);
        return static_cast<int>(failure);
    }
    download.Keep = true;
    return 0;
}
