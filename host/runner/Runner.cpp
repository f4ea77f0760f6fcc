// bytora.exe: loads Bytora.dll from its own folder the way the host does and
// runs the command once with the process's command tail.
#include <windows.h>
#include <cwchar>
#include <cstdio>

typedef void* (*GetPluginInfoFn)(void);
typedef int (*InitializePluginFn)(void);
typedef int (*ShutdownPluginFn)(int);
typedef int (*CommandFn)(wchar_t*);
typedef int (*FlushFn)(void);

static void Fail(const wchar_t* what, const wchar_t* path) {
    wchar_t text[1200];
    int n = _snwprintf(text, 1199, L"bytora: %s: %s\r\n", what, path);
    text[1199] = 0;
    if (n < 0) n = (int)wcslen(text);
    DWORD written = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (GetConsoleMode(err, &mode)) {
        WriteConsoleW(err, text, (DWORD)n, &written, nullptr);
    } else {
        char bytes[3600];
        int m = WideCharToMultiByte(CP_UTF8, 0, text, n, bytes, sizeof bytes, nullptr, nullptr);
        WriteFile(err, bytes, (DWORD)m, &written, nullptr);
    }
}

// The command tail: the command line after the program name, as typed.
static wchar_t* CommandTail(void) {
    wchar_t* p = GetCommandLineW();
    bool quoted = false;
    while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
        if (*p == L'"') quoted = !quoted;
        ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// Whether a file (not a folder) exists at path.
static bool IsFile(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int wmain(void) {
    static wchar_t path[32768];
    DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    if (n == 0 || n >= 32768) return 126;
    wchar_t* slash = wcsrchr(path, L'\\');
    wchar_t* name = slash ? slash + 1 : path;
    static const wchar_t PluginFile[] = L"Bytora.dll";
    static const wchar_t HostFile[] = L"TakeCmd.dll";
    // A folder name near the path limit leaves no room for the files' names.
    if (static_cast<size_t>(name - path) + sizeof HostFile / sizeof(wchar_t) > 32768) return 126;

    // The stand-in host beside the runner is loaded first, so that the
    // plug-in's import of TakeCmd.dll takes it whichever folder the plug-in
    // comes from. Without one there, the plug-in's own folder provides it.
    wcscpy(name, HostFile);
    HMODULE host = IsFile(path) ? LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) : nullptr;

    // The plug-in beside the runner, else in the folder above: the release
    // keeps the runner and the stand-in host in a folder of their own below
    // the plug-in, so that the stand-in is never copied beside the real host.
    wcscpy(name, PluginFile);
    if (!IsFile(path) && slash) {
        wchar_t* up = slash;
        while (up > path && *--up != L'\\') {
        }
        if (*up == L'\\') {
            static wchar_t above[32768];
            size_t keep = static_cast<size_t>(up + 1 - path);
            wmemcpy(above, path, keep);
            wcscpy(above + keep, PluginFile);
            if (IsFile(above)) wcscpy(path, above);
        }
    }
    HMODULE plugin = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!plugin) {
        Fail(L"cannot load the plug-in", path);
        if (host) FreeLibrary(host);
        return 126;
    }
    auto info = (GetPluginInfoFn)(void*)GetProcAddress(plugin, "GetPluginInfo");
    auto init = (InitializePluginFn)(void*)GetProcAddress(plugin, "InitializePlugin");
    auto shutdown = (ShutdownPluginFn)(void*)GetProcAddress(plugin, "ShutdownPlugin");
    auto command = (CommandFn)(void*)GetProcAddress(plugin, "bytora");
    if (!info || !init || !shutdown || !command || !info()) {
        Fail(L"not a Bytora plug-in", path);
        FreeLibrary(plugin);
        if (host) FreeLibrary(host);
        return 126;
    }
    // Bytora.dll imports TakeCmd.dll, so the host is loaded by now.
    HMODULE imported = GetModuleHandleW(HostFile);
    auto flush = imported ? (FlushFn)(void*)GetProcAddress(imported, "HostFlush") : nullptr;

    init();
    int result = command(CommandTail());
    shutdown(1);
    if (flush) flush();
    FreeLibrary(plugin);
    if (host) FreeLibrary(host);
    return result;
}
