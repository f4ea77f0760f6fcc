// The enumeration driver: turns one file argument into the files it names
// and calls the caller's callback once for each of them.
#include "filesel/FileSelInternal.h"
#include "console/Console.h"
#include "plugin/Plugin.h"
#include <conio.h>
#include <cwchar>

namespace {

// Special names passed straight to the callback, tested in this order around
// the list-file test: "clip:", an address, then (after "@") "-".
bool IsClipboardOrAddress(const wchar_t* spec, uint32_t flags) {
    if ((flags & FH_PASS_CLIPBOARD) && _wcsicmp(spec, L"clip:") == 0) return true;
    return (flags & FH_PASS_URLS) && QueryIsURL(spec) != 0;
}

bool IsStandardInput(const wchar_t* spec, uint32_t flags) {
    return (flags & FH_PASS_STDIN) && wcscmp(spec, L"-") == 0;
}

// Any failure of a special name is -1; only an exception keeps its own
// result, and a break keeps its own where keepBreak says so.
int PassThrough(const wchar_t* spec, uint32_t callbackFlags, void* callbackData, FileCallback callback,
                int exceptionResult, bool keepBreak = false) {
    bool threw = false;
    int result = CallFileCallback(callback, spec, callbackFlags, callbackData, exceptionResult, &threw);
    if (threw) return exceptionResult;
    if (keepBreak && result == -3) return -3;
    return result != 0 ? -1 : 0;
}

// "@name" reads a list unless a file carries the whole argument or the last
// component holds wildcards: then it is an ordinary name or pattern.
bool IsListArgument(const wchar_t* spec, uint32_t flags) {
    if (!(flags & FH_LIST_FILES) || spec[0] != L'@' || spec[1] == 0) return false;
    int wildcards = 0;
    for (const wchar_t* p = spec; *p; ++p) {
        if (IsPathSeparator(*p))
            wildcards = 0;
        else if (*p == L'*' || *p == L'?')
            ++wildcards;
    }
    return wildcards == 0 && !QueryIsFile(spec) && QueryIsFile(spec + 1);
}

// The report is written straight to the console, whatever standard output
// and standard error are redirected to. Static: it may run deep in a walk.
wchar_t ReportText[PathCapacity + 128];

void ReportCallbackException(const wchar_t* fileName, uint32_t callbackFlags, int result) {
    int restore = 7;
    HANDLE console = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(console, &info)) {
            restore = info.wAttributes & 0xFF;
            SetConsoleTextAttribute(console, static_cast<WORD>(ExceptionReportAttribute(restore)));
        }
        CloseHandle(console);
    }
    FormatText(ReportText, sizeof ReportText / sizeof ReportText[0],
               L"\n\u2022  EXCEPTION in FileHandler():   Filename = \"%s\"   Flags = 0x%04X\n",
               fileName ? fileName : L"<NULL>", callbackFlags);
    _cputws(ReportText);
    FormatText(ReportText, sizeof ReportText / sizeof ReportText[0], L"   RETURNING :  %d\n\n", result);
    _cputws(ReportText);
    console = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    if (console != INVALID_HANDLE_VALUE) {
        SetConsoleTextAttribute(console, static_cast<WORD>(restore));
        CloseHandle(console);
    }
}

}  // namespace

int ExceptionReportAttribute(int attribute) {
    const int foreground = attribute & 0xF;
    const int background = (attribute >> 4) & 0xF;
    if (foreground == background) return 0x0F;
    if (foreground != 0 && !(foreground & 8) && !(background & 8)) return attribute | 8;
    int contrast = PrimaryContrast[background];
    return contrast == attribute ? SecondaryContrast[background] : contrast;
}

int CallFileCallback(FileCallback callback, const wchar_t* fileName, uint32_t callbackFlags, void* callbackData,
                     int exceptionResult, bool* threw) {
    if (threw) *threw = false;
    // The library's only exception handler: a callback that throws must not
    // take the walk and the host down with it.
    try {
        return callback(fileName, callbackFlags, callbackData);
    } catch (...) {
        ReportCallbackException(fileName, callbackFlags, exceptionResult);
        if (threw) *threw = true;
        return exceptionResult;
    }
}

int FileHandler(const wchar_t* fileSpec, uint32_t callbackFlags, void* callbackData, FileCallback callback,
                uint32_t handlerFlags, uint32_t attributeMask, uint32_t attributeValue, Range* ranges,
                int32_t minDepth, int32_t maxDepth) {
    if (!fileSpec || !fileSpec[0] || !callback) return -1;
    const int exceptionResult = ExceptionResult(handlerFlags);

    // Ctrl-C during a long download must stop the run, not just that address.
    if (IsClipboardOrAddress(fileSpec, handlerFlags))
        return PassThrough(fileSpec, callbackFlags, callbackData, callback, exceptionResult,
                           _wcsicmp(fileSpec, L"clip:") != 0);
    if (IsListArgument(fileSpec, handlerFlags))
        return ReadListFile(fileSpec + 1, callbackFlags, callbackData, callback, handlerFlags);
    if (IsStandardInput(fileSpec, handlerFlags))
        return PassThrough(fileSpec, callbackFlags, callbackData, callback, exceptionResult);

    return WalkFiles(fileSpec, callbackFlags, callbackData, callback, handlerFlags, attributeMask, attributeValue,
                     ranges, minDepth, maxDepth, exceptionResult);
}
