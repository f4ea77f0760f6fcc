// Entry points the host calls, the plug-in record and the process-wide
// console state.
#include "plugin/Plugin.h"
#include "plugin/Version.h"
#include <cwchar>
#include <cwctype>
#include <cstdlib>

const wchar_t* const PluginName = L"Bytora";

const wchar_t UsageText[] =
    L"Display files to standard output as hex.\n\n"
    L"BYTORA /B /BE /C: /CP: /D /E: /F: /H /K: /LE /M: /N: /P /S /W filename...  \r\n\n"
    L"\t/B\tdump bytes \t\t(default)\n"
    L"\t/BE\tbig-endian\n"
    L"\t/C:\tstart address\n"
    L"\t/CP:\tcode page for OEM text\n"
    L"\t/D\tdump doublewords\n"
    L"\t/E:\tend address\n"
    L"\t/F:\tnumeric base for values\t(16) \n"
    L"\t/H\tdisplay filenames\n"
    L"\t/K:\tbytes per line\n"
    L"\t/LE\tlittle-endian \t\t(default)\n"
    L"\t/M:\tmaximum bytes to display\n"
    L"\t/N:\tdisable features     \t/N? for more info \n"
    L"\t/P\tpage output\n"
    L"\t/S\tsearch into subdirectories\n"
    L"\t/W\tdump words\n\n"
    L"Filenames may be specified on the command line, or text may be \n"
    L"redirected or piped into BYTORA.  Wildcards, directory aliases, \n"
    L"and CLIP: are supported.  If you do not give any filenames,\n"
    L"BYTORA will read from stdin.\n";

HANDLE ConsoleOut;
HWND TerminalWindow;
int32_t HostMajor, HostMinor, HostBuild;
volatile LONG BreakRequested;
LONG CtrlHandlerInstalled;

static PluginInfo Info;
static const int TextUnits = 1024;
// The host may give back up to 8191 units for any expansion, whatever the
// text asked for (a long noloadmsg, say): expansions get room for all of it.
static const size_t ExpandUnits = 8192;
static wchar_t Expansion[ExpandUnits];

extern "C" PluginInfo* WINAPI GetPluginInfo(void) {
    Info.Name = PluginName;
    Info.Author = L"The Bytora developers";
    Info.Email = L"bytora@example.org";
    Info.WebPage = L"https://example.org/bytora";
    Info.Description = L"Dump files to standard output as hex";
    Info.Implements = L"bytora";
    Info.Major = BYTORA_VERSION_MAJOR;
    Info.Minor = BYTORA_VERSION_MINOR;
    Info.Build = BYTORA_VERSION_BUILD;
    return &Info;
}

extern "C" int WINAPI InitializePlugin(void) {
    wcscpy(Expansion, L"%[_transient]%[_pipe]%[noloadmsg]");
    ExpandVariables(Expansion, 1);
    if (wcscmp(Expansion, L"00") == 0)
        Printf(L"%s v%u.%u.%u loaded.\r\n", PluginName, BYTORA_VERSION_MAJOR, BYTORA_VERSION_MINOR, BYTORA_VERSION_BUILD);
    DetectHost();
    OpenConsoleOut();
    return 0;
}

extern "C" int WINAPI ShutdownPlugin(int) {
    BreakRequested = 0;
    if (CtrlHandlerInstalled) {
        SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
        CtrlHandlerInstalled = 0;
    }
    if (ConsoleOut) {
        CloseHandle(ConsoleOut);
        ConsoleOut = nullptr;
    }
    return 0;
}

extern "C" int WINAPI Usage(const wchar_t* name, wchar_t* text) {
    if (!name || !text || name[0] == L'@' || name[0] == L'_') return 0;
    if (_wcsicmp(name, L"bytora") != 0) return 0;
    // The host shows the syntax line first: skip the description line.
    const wchar_t* from = wcschr(UsageText, L'\n');
    while (*from == L'\n') ++from;
    size_t n = wcslen(from);
    if (n > TextUnits - 1) n = TextUnits - 1;
    wmemcpy(text, from, n);
    text[n] = 0;
    return 1;
}

bool HelpNameMatches(const wchar_t* name) { return name && _wcsicmp(name, L"bytora") == 0; }

extern "C" int WINAPI Help(const wchar_t* name) {
    if (!HelpNameMatches(name)) return 0;
    wchar_t title[TextUnits];
    FormatText(title, TextUnits, L"%s Plugin Help", PluginName);
    MessageBoxW(GetForegroundWindow(), UsageText, title, MB_OK);
    return 1;
}

// Version texts are kept 8-bit and widened with the ANSI code page.
static int VersionText(const char* version, wchar_t* buffer) {
    if (!buffer) return -1;
    int n = MultiByteToWideChar(CP_ACP, 0, version, -1, buffer, TextUnits);
    if (n <= 0) buffer[0] = 0;
    return 0;
}

extern "C" int WINAPI _clver(wchar_t* buffer) { return VersionText("1.1.2.1", buffer); }
extern "C" int WINAPI _fhver(wchar_t* buffer) { return VersionText("1.0.16.4", buffer); }

// Runs on the system's handler thread: only raise the flag the command polls.
BOOL WINAPI ConsoleCtrlHandler(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        BreakRequested = 1;
        return TRUE;
    }
    return FALSE;
}

void InstallCtrlHandler(void) {
    if (!CtrlHandlerInstalled && SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE)) CtrlHandlerInstalled = 1;
}

int DetectHost(void) {
    wchar_t* text = Expansion;
    wcscpy(text, L"%_4ver");
    ExpandVariables(text, 1);
    wchar_t* end = nullptr;
    HostMajor = (int32_t)wcstol(text, &end, 10);
    if (end && *end) {
        ++end;  // the host's decimal separator, whatever it is
        if (*end) HostMinor = (int32_t)wcstol(end, nullptr, 10);
    }
    wcscpy(text, L"%_build");
    ExpandVariables(text, 1);
    HostBuild = (int32_t)wcstol(text, nullptr, 10);
    if (HostMajor >= 7 && HostMajor <= 99 && (uint32_t)HostMinor <= 99 && (uint32_t)HostBuild <= 999) return 0;
    HostMajor = HostMinor = HostBuild = -1;
    return -1;
}

static bool ClassIs(HWND window, const wchar_t* name) {
    wchar_t cls[TextUnits];
    if (!RealGetWindowClassW(window, cls, TextUnits)) return false;
    return wcscmp(cls, name) == 0;
}

HWND FindTerminalWindow(void) {
    HWND console = GetConsoleWindow();
    if (!console || !ClassIs(console, L"PseudoConsoleWindow")) return nullptr;
    HWND parent = GetParent(console);
    if (!parent || !ClassIs(parent, L"CASCADIA_HOSTING_WINDOW_CLASS")) return nullptr;
    return parent;
}

static HANDLE OpenConout(void) {
    HANDLE h = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int OpenConsoleOut(void) {
    TerminalWindow = FindTerminalWindow();
    ConsoleOut = OpenConout();
    if (!ConsoleOut) {
        Sleep(50);
        ConsoleOut = OpenConout();
    }
    if (!ConsoleOut) return 1;
    DWORD mode = 0;
    if (TerminalWindow && GetConsoleMode(ConsoleOut, &mode))
        SetConsoleMode(ConsoleOut, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return 0;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0xFFFFFFFF;
    return handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) && mode != 0xFFFFFFFF;
}

// Known from the load on: a static inside a function would be guarded by the
// C++ runtime's thread support, whose record for the host's thread outlives
// the plug-in when the host unloads it.
static const bool Wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;

bool RunsUnderWine() { return Wine; }
