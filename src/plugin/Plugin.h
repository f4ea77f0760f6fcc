// Plug-in shell: entry points, the process-wide console state, error prefix
// and small text helpers every subsystem uses.
#pragma once
#include <windows.h>
#include <cstdint>
#include <cstdarg>
#include <cwchar>
#include "plugin/HostServices.h"

// The plug-in description record the host reads.
struct PluginInfo {
    const wchar_t* Name;
    const wchar_t* Author;
    const wchar_t* Email;
    const wchar_t* WebPage;
    const wchar_t* Description;
    const wchar_t* Implements;
    int32_t Major;
    int32_t Minor;
    int32_t Build;
    void* Reserved[8];  // members of the host's record we do not use stay zero
};

extern const wchar_t* const PluginName;  // "Bytora"
extern const wchar_t UsageText[];

// Process-wide console state.
extern HANDLE ConsoleOut;
extern HWND TerminalWindow;
extern int32_t HostMajor, HostMinor, HostBuild;
// Set by the console control handler on the system's thread for it; read by
// the command thread and by the reader of a copy of standard input.
extern volatile LONG BreakRequested;
extern LONG CtrlHandlerInstalled;

extern "C" {
PluginInfo* WINAPI GetPluginInfo(void);
int WINAPI InitializePlugin(void);
int WINAPI ShutdownPlugin(int processEnding);
int WINAPI Usage(const wchar_t* name, wchar_t* text);
int WINAPI Help(const wchar_t* name);
int WINAPI bytora(wchar_t* tail);
int WINAPI _clver(wchar_t* buffer);
int WINAPI _fhver(wchar_t* buffer);
}
BOOL WINAPI ConsoleCtrlHandler(DWORD event);
// Registers ConsoleCtrlHandler once per process; ShutdownPlugin removes it.
void InstallCtrlHandler(void);

// Help shows its box only for this name (no "@"/"_" screening).
bool HelpNameMatches(const wchar_t* name);
int DetectHost(void);
HWND FindTerminalWindow(void);
int OpenConsoleOut(void);

// Writes "Bytora plugin: " and, inside a batch file, its name and line.
int ReportErrorPrefix(void);
// The prefix, then the formatted message, both on standard error.
void ReportError(const wchar_t* format, ...);

// Bounded wide formatting with the platform's wide conventions ("%s" wide).
// Always terminates; returns the units written (cap - 1 at most), or -1 when
// the text was cut.
int FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
int FormatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// An unsigned number at the start of text: "0x" hexadecimal, "0o" octal,
// else decimal. 0, -1 (no number; without end, characters after it), or
// ERANGE above limit. With end, stores where the number stopped.
int ParseUnsignedText(const wchar_t* text, uint64_t limit, uint64_t* value, const wchar_t** end);
inline bool IsDecimalDigit(wchar_t ch) { return ch >= L'0' && ch <= L'9'; }
// Whether text starts with prefix, letter case aside.
inline bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

// Whether the plug-in runs under Wine rather than Windows: the one run-time
// test for a workaround of Wine's (the others are marked "WINE:" where they
// stand and do no harm on Windows).
bool RunsUnderWine();

// A handle is a console when reading its mode succeeds with a mode other than all ones.
bool IsConsole(HANDLE handle);
