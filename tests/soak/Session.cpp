#include "Session.h"
#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <winternl.h>
#include "HostApi.h"
#include "TestSupport.h"

namespace {

typedef void* (*InfoFn)(void);
typedef int (*InitFn)(void);

// The start address of a thread, as the system records it.
void* StartAddress(DWORD threadId) {
    typedef NTSTATUS(NTAPI * QueryFn)(HANDLE, ULONG, void*, ULONG, ULONG*);
    static const auto query =
        (QueryFn)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread");
    const ULONG StartAddressClass = 9;  // ThreadQuerySetWin32StartAddress
    void* start = nullptr;
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
    if (!thread) return nullptr;
    if (query(thread, StartAddressClass, &start, sizeof start, nullptr) != 0) start = nullptr;
    CloseHandle(thread);
    return start;
}

// Threads of this process: all of them, and those started in the plug-in.
void CountThreads(HMODULE plugin, long* all, long* own) {
    *all = *own = 0;
    const char* base = reinterpret_cast<const char*>(plugin);
    size_t size = 0;
    if (plugin) size = reinterpret_cast<const IMAGE_NT_HEADERS*>(
                           base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew)->OptionalHeader.SizeOfImage;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
        ++*all;
        const char* start = static_cast<const char*>(StartAddress(entry.th32ThreadID));
        if (size && start >= base && start < base + size) ++*own;
    }
    CloseHandle(snapshot);
}

// Under Wine a process's handles are numbered densely from the bottom, and
// GetProcessHandleCount gives 0: the valid values are counted instead.
long CountHandles() {
    long count = 0;
    int misses = 0;
    for (ULONG_PTR value = 4; misses < 1024; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            misses = 0;
        } else {
            ++misses;
        }
    }
    return count;
}

// Busy blocks of every heap of the process (the C library's has its own).
void CountHeap(long* blocks, long long* bytes) {
    *blocks = 0;
    *bytes = 0;
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < n && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                ++*blocks;
                *bytes += entry.cbData;
            }
        HeapUnlock(heaps[i]);
    }
}

long CountTempFiles() {
    wchar_t folder[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, folder);
    long count = 0;
    for (const wchar_t* pattern : {L"MMF*.tmp", L"Bytora-*.tmp"}) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((std::wstring(folder) + pattern).c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) continue;
        do ++count;
        while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    return count;
}

volatile LONG CtrlCsSeen = 0;
volatile LONG BreakTick = 0;   // when the last Ctrl-C reached the process
volatile LONG RaisedTick = 0;  // when it was raised

// Called first (registered last), and passes the Ctrl-C on.
BOOL WINAPI NoteBreak(DWORD event) {
    if (event == CTRL_C_EVENT) InterlockedExchange(&BreakTick, static_cast<LONG>(GetTickCount()) | 1);
    return FALSE;
}

BOOL WINAPI KeepRunning(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    InterlockedIncrement(&CtrlCsSeen);
    return TRUE;
}

// A Ctrl-C, false without a console. It reaches the process on a thread of
// its own a moment later: waited for (up to 2 s), so that it cannot reach
// the plug-in's first command as a break.
bool ProbeCtrlC() {
    const LONG before = CtrlCsSeen;
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return false;
    for (int i = 0; i < 200 && CtrlCsSeen == before; ++i) Sleep(10);
    return true;
}

struct Pipe {
    HANDLE read = nullptr, write = nullptr;
};

// The program's downloads go to a temporary folder of its own: the address
// tests that run beside it count the downloads made in the shared one.
class OwnTempFolder : public ::testing::Environment {
    std::wstring dir;
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        SetEnvironmentVariableW(L"TMP", dir.c_str());
        SetEnvironmentVariableW(L"TEMP", dir.c_str());
    }
    void TearDown() override { RemoveTree(dir); }
};
const auto* const ownTemp = ::testing::AddGlobalTestEnvironment(new OwnTempFolder);

}  // namespace

bool Session::Load() {
    plugin = LoadLibraryExW((BinFolder() + L"Bytora.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!plugin) return false;
    auto info = (InfoFn)(void*)GetProcAddress(plugin, "GetPluginInfo");
    auto init = (InitFn)(void*)GetProcAddress(plugin, "InitializePlugin");
    command = (int (*)(wchar_t*))(void*)GetProcAddress(plugin, "bytora");
    shutdown = (int (*)(int))(void*)GetProcAddress(plugin, "ShutdownPlugin");
    if (!info || !init || !command || !shutdown || !info()) return false;
    init();
    return true;
}

bool Session::Unload(DWORD waitMs) {
    if (!plugin) return true;
    shutdown(0);
    FreeLibrary(plugin);
    plugin = nullptr;
    HMODULE still = nullptr;
    for (DWORD waited = 0;; waited += 10) {
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"Bytora.dll", &still)) return true;
        if (waited >= waitMs) return false;
        Sleep(10);
    }
}

CommandRun RunCommand(Session& session, const std::wstring& tail, const std::string& stdinBytes, DWORD breakAfterMs,
                      bool endless) {
    Pipe in;
    CreatePipe(&in.read, &in.write, nullptr, 1 << 20);
    DWORD written = 0;
    if (!stdinBytes.empty()) WriteFile(in.write, stdinBytes.data(), static_cast<DWORD>(stdinBytes.size()), &written, nullptr);
    if (!endless) {
        CloseHandle(in.write);
        in.write = nullptr;
    }
    // The command closes a standard input it dumps; one it never reached
    // is still ours to close.
    HANDLE kept = nullptr;
    DuplicateHandle(GetCurrentProcess(), in.read, GetCurrentProcess(), &kept, 0, FALSE, DUPLICATE_SAME_ACCESS);
    HANDLE oldIn = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, in.read);

    HANDLE breaker = nullptr;
    BreakTick = 0;
    RaisedTick = 0;
    if (breakAfterMs) {
        // Ahead of the plug-in's handler, which keeps the Ctrl-C to itself.
        SetConsoleCtrlHandler(NoteBreak, FALSE);
        SetConsoleCtrlHandler(NoteBreak, TRUE);
        breaker = CreateThread(
            nullptr, 0,
            [](void* ms) -> DWORD {
                Sleep(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(ms)));
                GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
                InterlockedExchange(&RaisedTick, static_cast<LONG>(GetTickCount()) | 1);
                return 0;
            },
            reinterpret_cast<void*>(static_cast<ULONG_PTR>(breakAfterMs)), 0, nullptr);
    }
    wchar_t* buffer = static_cast<wchar_t*>(calloc(8192, sizeof(wchar_t)));
    wcsncpy(buffer, tail.c_str(), 8191);
    const DWORD started = GetTickCount();
    Captured c = CaptureOutput([&] { return session.command(buffer); });
    const DWORD ended = GetTickCount();
    CommandRun run{c.result, c.outBytes, Narrow(c.err), ended - started};
    if (breaker) {
        WaitForSingleObject(breaker, INFINITE);
        CloseHandle(breaker);
        DWORD reached = static_cast<DWORD>(BreakTick);
        if (!reached || reached - started > run.ms) reached = static_cast<DWORD>(RaisedTick);
        if (reached && reached - started <= run.ms) run.sinceBreakMs = static_cast<long>(ended - reached);
    }
    free(buffer);
    SetStdHandle(STD_INPUT_HANDLE, oldIn);
    typedef BOOL(WINAPI * CompareFn)(HANDLE, HANDLE);
    static const auto same = (CompareFn)(void*)GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles");
    if (same && same(in.read, kept)) CloseHandle(in.read);
    CloseHandle(kept);
    if (in.write) CloseHandle(in.write);
    return run;
}

Holdings Measure(HMODULE plugin) {
    Holdings h;
    h.handles = CountHandles();
    CountThreads(plugin, &h.threads, &h.pluginThreads);
    CountHeap(&h.heapBlocks, &h.heapBytes);
    h.tempFiles = CountTempFiles();
    return h;
}

long AwaitPluginThreads(HMODULE plugin, DWORD ms) {
    for (DWORD waited = 0;; waited += 10) {
        long all, own;
        CountThreads(plugin, &all, &own);
        if (own == 0 || waited >= ms) return own;
        Sleep(10);
    }
}

bool OwnConsole() {
    if (!SetConsoleCtrlHandler(KeepRunning, TRUE)) return false;
    if (ProbeCtrlC()) return true;
    FreeConsole();
    return AllocConsole() && ProbeCtrlC();
}

bool Fixture::Build() {
    dir = MakeTempDir();
    if (dir.empty() || !CreateDirectoryW((dir + L"\\tree").c_str(), nullptr) ||
        !CreateDirectoryW((dir + L"\\tree\\sub").c_str(), nullptr))
        return false;
    std::string bytes;
    for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 7);
    bool ok = WriteBytes(dir + L"\\a.bin", bytes) && WriteBytes(dir + L"\\tree\\one.txt", "one\r\n") &&
              WriteBytes(dir + L"\\tree\\sub\\two.txt", std::string(100, 'x')) &&
              WriteBytes(dir + L"\\tree\\sub\\empty.bin", "") &&
              WriteBytes(dir + L"\\list.txt", Narrow(dir) + "\\a.bin\r\n" + Narrow(dir) + "\\tree\\one.txt\r\n");
    // Enough files for a walk to read ahead.
    ok = ok && CreateDirectoryW((dir + L"\\many").c_str(), nullptr);
    for (int i = 0; ok && i < 40; ++i)
        ok = WriteBytes(dir + L"\\many\\f" + std::to_wstring(i) + L".txt", "file " + std::to_string(i) + "\r\n");
    if (!ok || !OpenClipboard(nullptr)) return false;
    EmptyClipboard();
    const wchar_t text[] = L"clipboard text \u00e9\r\n";
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, sizeof text);
    if (memory) {
        memcpy(GlobalLock(memory), text, sizeof text);
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
    }
    CloseClipboard();
    return memory != nullptr;
}

Fixture::~Fixture() { RemoveTree(dir); }

std::wstring ServerUrl(const wchar_t* scheme, const char* server, const wchar_t* path) {
    const char* port = getenv((std::string("BYTORA_TEST_") + server + "_PORT").c_str());
    return std::wstring(scheme) + L"://127.0.0.1:" + (port ? Widen(port) : L"") + path;
}
