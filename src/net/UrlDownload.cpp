// Fetching web and FTP addresses into a temporary file with the system's
// internet library. The file is mapped and dumped like any other afterwards.
#include "net/NetInternal.h"
#include "plugin/Plugin.h"

#include <cwchar>

int FetchUrl(const wchar_t* url, wchar_t* tempFileName, HANDLE* file, uint32_t silenceMs, wchar_t* reason) {
    if (file) *file = nullptr;
    if (reason) reason[0] = 0;
    if (!url || !tempFileName || !*url) return -1;
    tempFileName[0] = 0;
    bool http;
    if (StartsWithNoCase(url, L"ftp://"))
        http = false;
    else if (StartsWithNoCase(url, L"http://") || StartsWithNoCase(url, L"https://"))
        http = true;
    else
        return -2;
    if (wcslen(url) > MaxUrlLength) return ERROR_INTERNET_INVALID_URL;

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

    // A file kept open for the caller goes with its last handle, so it goes
    // even when the process is ended from outside.
    HANDLE temp = CreateFileW(tempFileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | (file ? FILE_FLAG_DELETE_ON_CLOSE : 0), nullptr);
    if (temp == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        DeleteFileW(tempFileName);
        return static_cast<int>(error);
    }

    // Ctrl-C while the request is being made or read ends the download.
    BreakRequested = 0;
    InstallCtrlHandler();
    DWORD result = RunTransfer(url, http, silenceMs, temp, reason);
    if (result == 0 && file) {
        *file = temp;
        return 0;
    }
    CloseHandle(temp);
    if (result) {
        // Give the system a moment to let go of the file before deleting it.
        if (!file) Sleep(50);
        DeleteFileW(tempFileName);
    }
    return static_cast<int>(result);
}

int DownloadUrl(const wchar_t* url, wchar_t* tempFileName) {
    return FetchUrl(url, tempFileName, nullptr, DownloadSilenceLimit);
}
