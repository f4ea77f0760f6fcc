#include "TestSupport.h"
#include <vector>
#include "HostApi.h"

namespace {

std::wstring TempPath() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, n);
}

std::wstring UniqueName(const wchar_t* stem) {
    static LONG counter = 0;
    wchar_t name[96];
    _snwprintf(name, 96, L"%s-%lu-%lu-%ld", stem, GetCurrentProcessId(), GetTickCount(), InterlockedIncrement(&counter));
    name[95] = L'\0';
    return TempPath() + name;
}

HANDLE CreateCaptureFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

}  // namespace

Captured CaptureOutput(const std::function<int()>& fn) {
    Captured c{};
    std::wstring outPath = UniqueName(L"bytora-out"), errPath = UniqueName(L"bytora-err");
    HANDLE out = CreateCaptureFile(outPath), err = CreateCaptureFile(errPath);
    HANDLE oldOut = GetStdHandle(STD_OUTPUT_HANDLE), oldErr = GetStdHandle(STD_ERROR_HANDLE);
    HostFlush();  // nothing of earlier output may land in the capture
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    SetStdHandle(STD_ERROR_HANDLE, err);
    c.result = fn();
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, oldOut);
    SetStdHandle(STD_ERROR_HANDLE, oldErr);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    c.outBytes = ReadBytes(outPath);
    c.out = Widen(c.outBytes);
    c.err = Widen(ReadBytes(errPath));
    DeleteFileW(outPath.c_str());
    DeleteFileW(errPath.c_str());
    return c;
}

std::wstring MakeTempDir() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring path = UniqueName(L"bytora-test");
        if (CreateDirectoryW(path.c_str(), nullptr)) return path;
    }
    return std::wstring();
}

void RemoveTree(const std::wstring& path) {
    if (path.empty()) return;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            // A file called like a device (CON) is removed by its literal name.
            std::wstring literal = child.size() > 2 && child[1] == L':' ? L"\\\\?\\" + child : child;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(literal.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(child);
            else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(literal.c_str());
            else
                DeleteFileW(literal.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(h);
    return ok;
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(h);
    return bytes;
}

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
    return text;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

// ---- bytora.exe as a child process ------------------------------------------
#include <map>
#include <thread>

namespace {

// Closes its handle once, whichever way the scope is left.
struct ChildHandle {
    HANDLE h = nullptr;
    ChildHandle() = default;
    ChildHandle(const ChildHandle&) = delete;
    ChildHandle& operator=(const ChildHandle&) = delete;
    ~ChildHandle() { Close(); }
    void Close() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = nullptr;
    }
};

std::string ReadAll(HANDLE pipe) {
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}

// Environment names compare without regard to case.
struct NameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    }
};

std::wstring EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& changes) {
    std::map<std::wstring, std::wstring, NameLess> vars;
    std::vector<std::wstring> hidden;  // "=C:=C:\dir" entries: keep as they are
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t eq = entry.find(L'=', 1);
        if (entry[0] == L'=' || eq == std::wstring::npos) hidden.push_back(entry);
        else vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    if (block) FreeEnvironmentStringsW(block);
    for (const auto& change : changes) {
        if (change.second.empty()) vars.erase(change.first);
        else vars[change.first] = change.second;
    }
    std::wstring result;
    for (const std::wstring& entry : hidden) result += entry + L'\0';
    for (const auto& var : vars) result += var.first + L'=' + var.second + L'\0';
    result += L'\0';
    return result;
}

}  // namespace

std::wstring BinFolder() {
    wchar_t self[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) return std::wstring();
    std::wstring exe(self, n);
    return exe.substr(0, exe.find_last_of(L"\\/") + 1);
}

ChildResult RunBytora(const std::wstring& args, const std::string& stdinBytes,
                      const std::vector<std::pair<std::wstring, std::wstring>>& env) {
    return RunProgram(BinFolder() + L"bytora.exe", args, stdinBytes, env);
}

ChildResult RunProgram(const std::wstring& exe, const std::wstring& args, const std::string& stdinBytes,
                       const std::vector<std::pair<std::wstring, std::wstring>>& env) {
    ChildResult r{std::string(), std::string(), 0xFFFFFFFF};

    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    ChildHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&inRead.h, &inWrite.h, &sa, 0) || !CreatePipe(&outRead.h, &outWrite.h, &sa, 0) ||
        !CreatePipe(&errRead.h, &errWrite.h, &sa, 0)) {
        r.err = "test harness: no pipes, error " + std::to_string(GetLastError());
        return r;
    }
    // Our own ends stay in this process.
    SetHandleInformation(inWrite.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead.h, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead.h;
    si.hStdOutput = outWrite.h;
    si.hStdError = errWrite.h;
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!args.empty()) commandLine += L" " + args;
    std::wstring environment = EnvironmentBlock(env);
    PROCESS_INFORMATION pi{};
    // A start that fails is the harness's trouble, not the child's: once
    // more after a pause, and the reason in err when it fails again.
    bool started = false;
    for (int attempt = 0; attempt < 2 && !started; ++attempt) {
        if (attempt) Sleep(200);
        started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                 environment.data(), nullptr, &si, &pi);
    }
    if (!started) {
        r.err = "test harness: could not start the child, error " + std::to_string(GetLastError());
        return r;
    }
    ChildHandle process, thread;
    process.h = pi.hProcess;
    thread.h = pi.hThread;
    // Only the child holds these now, so the pipes end when it does.
    inRead.Close();
    outWrite.Close();
    errWrite.Close();

    std::thread feeder([&] {
        const char* p = stdinBytes.data();
        size_t left = stdinBytes.size();
        DWORD written = 0;
        while (left > 0 && WriteFile(inWrite.h, p, static_cast<DWORD>(left > 65536 ? 65536 : left), &written, nullptr) &&
               written > 0) {
            p += written;
            left -= written;
        }
        inWrite.Close();
    });
    std::thread outReader([&] { r.out = ReadAll(outRead.h); });
    std::thread errReader([&] { r.err = ReadAll(errRead.h); });
    bool hung = WaitForSingleObject(process.h, 60000) != WAIT_OBJECT_0;
    if (hung) TerminateProcess(process.h, 0xFFFFFFFF);
    outReader.join();
    errReader.join();
    feeder.join();
    DWORD code = 0xFFFFFFFF;
    if (hung) r.err += "\ntest harness: the child was ended after a minute";
    else if (GetExitCodeProcess(process.h, &code)) r.exitCode = code;
    else r.err += "\ntest harness: no exit code, error " + std::to_string(GetLastError());
    return r;
}

ScopedEnv::ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    std::vector<wchar_t> buffer(32768);
    DWORD n = GetEnvironmentVariableW(name, buffer.data(), 32768);
    had_ = n > 0 && n < 32768;
    if (had_) old_.assign(buffer.data(), n);
    SetEnvironmentVariableW(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
