// The error prefix every message carries, and bounded wide formatting.
#include "plugin/Plugin.h"
#include <cwchar>
#include <cstdio>
#include <cstdlib>

static const size_t ExpandUnits = 8192;

int ReportErrorPrefix(void) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    Qprintf(err, L"%s plugin: ", PluginName);
    static wchar_t text[ExpandUnits];
    wcscpy(text, L"%_batch");
    ExpandVariables(text, 1);
    if (text[0] == L'0') return 0;
    wcscpy(text, L"%_batchname [%_batchline]  ");
    ExpandVariables(text, 1);
    // A batch file name may hold "%": write it as text, never as a format.
    Qprintf(err, L"%s", text);
    return 0;
}

void ReportError(const wchar_t* format, ...) {
    ReportErrorPrefix();
    va_list args, counting;
    va_start(args, format);
    va_copy(counting, args);
    int length = _vscwprintf(format, counting);
    va_end(counting);
    // Messages may quote paths of up to 32767 characters: size the text to fit.
    wchar_t* text = length >= 0 ? (wchar_t*)malloc(((size_t)length + 1) * sizeof(wchar_t)) : nullptr;
    if (text) {
        FormatTextV(text, (size_t)length + 1, format, args);
        Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"%s", text);
        free(text);
    }
    va_end(args);
}

int FormatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (!buffer || capacity == 0) return -1;
    int n = _vsnwprintf(buffer, capacity - 1, format, args);
    buffer[capacity - 1] = 0;
    if (n < 0) return -1;
    buffer[n] = 0;
    return n;
}

int FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatTextV(buffer, capacity, format, args);
    va_end(args);
    return n;
}
