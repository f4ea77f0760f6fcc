// bytora.exe: loads Bytora.dll the way the host does and runs the command
// once with the process's command tail. When the plug-in or the stand-in host
// cannot be loaded it says which file, every place it looked and the system's
// reason, and exits with 126.
#include <windows.h>
#include <cwchar>
#include <cstdio>

typedef void* (*GetPluginInfoFn)(void);
typedef int (*InitializePluginFn)(void);
typedef int (*ShutdownPluginFn)(int);
typedef int (*CommandFn)(wchar_t*);
typedef int (*FlushFn)(void);

namespace {

constexpr DWORD PathUnits = 32768;  // 32767 characters and the terminator
constexpr int CannotRun = 126;      // as shells report a command that cannot be started

const wchar_t PluginFile[] = L"Bytora.dll";
const wchar_t HostFile[] = L"TakeCmd.dll";

// Writes text to standard error: UTF-16 to a console, UTF-8 elsewhere.
void Put(const wchar_t* text) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD length = static_cast<DWORD>(wcslen(text)), written = 0, mode;
    if (GetConsoleMode(err, &mode)) {
        WriteConsoleW(err, text, length, &written, nullptr);
        return;
    }
    static char bytes[3 * PathUnits];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), bytes, sizeof bytes, nullptr, nullptr);
    if (n > 0) WriteFile(err, bytes, static_cast<DWORD>(n), &written, nullptr);
}

// The system's text for an error on one line; a "%1" in it names the file.
void PutSystemText(DWORD code, const wchar_t* file) {
    static wchar_t text[1024];
    static DWORD_PTR inserts[99];
    for (DWORD_PTR& insert : inserts) insert = reinterpret_cast<DWORD_PTR>(file);
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             nullptr, code, 0, text, 1024, reinterpret_cast<va_list*>(inserts));
    if (n == 0 || n >= 1024) n = static_cast<DWORD>(_snwprintf(text, 1023, L"Error %lu", code));
    text[n < 1024 ? n : 1023] = 0;
    for (wchar_t* end = text + wcslen(text); end > text && (end[-1] == L' ' || end[-1] == L'\r' || end[-1] == L'\n');)
        *--end = 0;
    Put(text);
}

// "bytora: what path: the system's text" on a line of its own.
void FailedOn(const wchar_t* what, const wchar_t* path, DWORD code) {
    Put(L"bytora: ");
    Put(what);
    Put(path);
    Put(L": ");
    PutSystemText(code, path);
    Put(L"\r\n");
}

// The places one file is looked for, in order, and why each did not hold it.
struct Lookup {
    const wchar_t* file;
    const wchar_t* role;  // what the file is, for the message
    int count = 0;
    wchar_t paths[2][PathUnits] = {};
    DWORD reasons[2] = {};

    // Adds folder (folderLength units, ending in "\") + the file's name as a place.
    void Add(const wchar_t* folder, size_t folderLength) {
        size_t n = wcslen(file);
        if (count == 2 || folderLength + n >= PathUnits) return;
        wmemcpy(paths[count], folder, folderLength);
        wmemcpy(paths[count] + folderLength, file, n + 1);
        ++count;
    }

    // The first place that holds the file as a file, or null after saying
    // where it was looked for.
    const wchar_t* Find() {
        for (int i = 0; i < count; ++i) {
            DWORD attributes = GetFileAttributesW(paths[i]);
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return paths[i];
            // A folder of that name holds no file.
            reasons[i] = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_FILE_NOT_FOUND;
        }
        Put(L"bytora: ");
        Put(file);
        Put(role);
        Put(L" not found. Looked for:\r\n");
        for (int i = 0; i < count; ++i) {
            Put(L"  ");
            Put(paths[i]);
            Put(L": ");
            PutSystemText(reasons[i], paths[i]);
            Put(L"\r\n");
        }
        return nullptr;
    }
};

Lookup Plugin{PluginFile, L""}, Host{HostFile, L" (the runner's stand-in host services)"};

// The command tail: the command line after the program name, as typed.
wchar_t* CommandTail(void) {
    wchar_t* p = GetCommandLineW();
    bool quoted = false;
    while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
        if (*p == L'"') quoted = !quoted;
        ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// Frees a loaded library whichever way the run ends.
struct OwnedLibrary {
    HMODULE h = nullptr;
    ~OwnedLibrary() {
        if (h) FreeLibrary(h);
    }
};

}  // namespace

int wmain(void) {
    static wchar_t self[PathUnits];
    DWORD n = GetModuleFileNameW(nullptr, self, PathUnits);
    if (n == 0 || n >= PathUnits) {
        FailedOn(L"cannot find its own folder", L"", n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return CannotRun;
    }
    const wchar_t* slash = wcsrchr(self, L'\\');
    size_t folder = slash ? static_cast<size_t>(slash + 1 - self) : 0;

    // The plug-in beside the runner, else in the folder above: the release
    // keeps the runner and the stand-in host in a folder of their own below
    // the plug-in, so that the stand-in is never copied beside the real host.
    Plugin.Add(self, folder);
    size_t above = folder > 1 ? folder - 1 : 0;
    while (above > 0 && self[above - 1] != L'\\') --above;
    if (above > 0) Plugin.Add(self, above);
    const wchar_t* pluginPath = Plugin.Find();
    if (!pluginPath) return CannotRun;

    // The stand-in host beside the runner, else beside the plug-in. It is
    // loaded by its full name before the plug-in, whose import of TakeCmd.dll
    // then takes it: the system's search must never find another TakeCmd.dll
    // (the real host's, on the PATH) for it.
    Host.Add(self, folder);
    size_t pluginFolder = static_cast<size_t>(wcsrchr(pluginPath, L'\\') + 1 - pluginPath);
    if (pluginFolder != folder) Host.Add(pluginPath, pluginFolder);
    const wchar_t* hostPath = Host.Find();
    if (!hostPath) return CannotRun;

    OwnedLibrary host, plugin;
    host.h = LoadLibraryExW(hostPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!host.h) {
        FailedOn(L"cannot load ", hostPath, GetLastError());
        return CannotRun;
    }
    // Only the stand-in has this export; another TakeCmd.dll (the real
    // host's) would leave the plug-in without the services it imports.
    auto flush = (FlushFn)(void*)GetProcAddress(host.h, "HostFlush");
    if (!flush) {
        Put(L"bytora: not the runner's stand-in host services: ");
        Put(hostPath);
        Put(L"\r\n");
        return CannotRun;
    }
    plugin.h = LoadLibraryExW(pluginPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!plugin.h) {
        FailedOn(L"cannot load ", pluginPath, GetLastError());
        return CannotRun;
    }
    auto info = (GetPluginInfoFn)(void*)GetProcAddress(plugin.h, "GetPluginInfo");
    auto init = (InitializePluginFn)(void*)GetProcAddress(plugin.h, "InitializePlugin");
    auto shutdown = (ShutdownPluginFn)(void*)GetProcAddress(plugin.h, "ShutdownPlugin");
    auto command = (CommandFn)(void*)GetProcAddress(plugin.h, "bytora");
    if (!info || !init || !shutdown || !command || !info()) {
        Put(L"bytora: not a Bytora plug-in: ");
        Put(pluginPath);
        Put(L"\r\n");
        return CannotRun;
    }

    init();
    int result = command(CommandTail());
    shutdown(1);
    flush();
    return result;
}
