// bytora.exe writing to output that cannot take it: a full device gets one
// message and exit code 2, in every output mode, whether the failure comes
// at the end (a short dump the host still holds) or in the middle of a long
// one; a pipe whose reader closes after 100 bytes ends a 1 GiB dump within
// a second, quietly, with exit code 3. The inputs are sparse files made here.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include "TestSupport.h"

namespace {

constexpr int64_t GiB = int64_t{1} << 30;

// A file of size bytes that takes no room on the disk.
bool MakeSparse(const std::wstring& path, int64_t size) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at;
    at.QuadPart = size;
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return ok;
}

struct Folder {
    std::wstring path = MakeTempDir();
    ~Folder() { RemoveTree(path); }
};

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string err;
    DWORD msAfter = 0xFFFFFFFF;  // from the end of `during` to the exit
};

// Runs bytora.exe with standard output on out, standard input an empty pipe
// (so "-" is only an empty notice) and standard error into a file; calls
// during() while it runs, then waits for it for at most a minute.
Outcome RunWithOutput(const std::wstring& args, const wchar_t* mode, HANDLE out,
                      const std::function<void()>& during = [] {}) {
    Outcome r;
    Folder folder;
    std::wstring errPath = folder.path + L"\\err";
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    if (err == INVALID_HANDLE_VALUE) return r;
    HANDLE inRead = nullptr, inWrite = nullptr;
    if (!CreatePipe(&inRead, &inWrite, &sa, 0)) {
        CloseHandle(err);
        return r;
    }
    CloseHandle(inWrite);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = out;
    si.hStdError = err;
    std::wstring exe = BinFolder() + L"bytora.exe";
    std::wstring commandLine = L"\"" + exe + L"\" " + args;
    PROCESS_INFORMATION pi{};
    BOOL started;
    {
        ScopedEnv env(L"BYTORA_HOST_OUTPUT", mode);
        started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &si, &pi);
    }
    CloseHandle(inRead);
    CloseHandle(err);
    if (!started) return r;
    during();
    const DWORD from = GetTickCount();
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
        r.msAfter = GetTickCount() - from;
        GetExitCodeProcess(pi.hProcess, &r.exitCode);
    } else {
        TerminateProcess(pi.hProcess, 0xFFFFFFFF);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    r.err = ReadBytes(errPath);
    return r;
}

// Text as the stand-in host writes it to a redirected handle in the mode.
std::string InMode(const wchar_t* mode, const std::wstring& text) {
    if (wcscmp(mode, L"unicode") == 0) return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    const UINT page = wcscmp(mode, L"ansi") == 0 ? CP_ACP : CP_UTF8;
    int n = WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

// The system's text for an error, as one line without trailing blanks.
std::wstring SystemText(DWORD error) {
    wchar_t text[1024] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                   error, 0, text, 1024, nullptr);
    std::wstring s = text;
    while (!s.empty() && (s.back() == L' ' || s.back() == L'\r' || s.back() == L'\n')) s.pop_back();
    return s;
}

const wchar_t* const Modes[] = {L"utf8", L"unicode", L"ansi"};

HANDLE FullDevice() {
    return CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

TEST(OutputFailure, FullDeviceGetsOneMessageAndExitCode2) {
    Folder folder;
    const std::wstring small = folder.path + L"\\small.bin", large = folder.path + L"\\large.bin";
    ASSERT_TRUE(WriteBytes(small, "hello"));
    // 8 GiB: a run that failed to stop would format for most of a minute.
    ASSERT_TRUE(MakeSparse(large, 8 * GiB));
    const std::wstring full = L"Bytora plugin: Error writing standard output: " + SystemText(ERROR_DISK_FULL) + L"\r\n";
    const std::wstring rows[] = {
        L"\"" + small + L"\"",  // all of it still held by the host when the command ends
        L"\"" + large + L"\"",  // the failure comes while lines are still being made
    };
    for (const wchar_t* mode : Modes) {
        for (const std::wstring& args : rows) {
            HANDLE device = FullDevice();
            if (device == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no /dev/full";
            Outcome r = RunWithOutput(args, mode, device);
            CloseHandle(device);
            SCOPED_TRACE(Narrow(std::wstring(mode) + L" " + args));
            EXPECT_EQ(r.exitCode, 2u);
            EXPECT_EQ(r.err, InMode(mode, full));
            EXPECT_LT(r.msAfter, 10000u);
        }
    }
    // A bad option keeps its exit code; the byte-order mark written before
    // the check was lost, and that is told as well.
    HANDLE device = FullDevice();
    Outcome r = RunWithOutput(L"/K:20 /D", L"utf8", device);
    CloseHandle(device);
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.err, Narrow(L"Bytora plugin: HexWidth must be a multiple of 8: 20\r\n" + full));
}

TEST(OutputFailure, ReaderClosingThePipeEndsTheRunQuietly) {
    Folder folder;
    const std::wstring big = folder.path + L"\\big.bin";
    ASSERT_TRUE(MakeSparse(big, GiB));
    for (const wchar_t* mode : Modes) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        ASSERT_TRUE(CreatePipe(&read, &write, &sa, 0));
        SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        std::string head;
        Outcome r = RunWithOutput(L"\"" + big + L"\"", mode, write, [&] {
            CloseHandle(write);  // the child holds the only writing end now
            write = nullptr;
            char bytes[100];
            DWORD got = 0;
            while (head.size() < sizeof bytes &&
                   ReadFile(read, bytes, static_cast<DWORD>(sizeof bytes - head.size()), &got, nullptr) && got)
                head.append(bytes, got);
            CloseHandle(read);
            read = nullptr;
        });
        if (write) CloseHandle(write);
        if (read) CloseHandle(read);
        SCOPED_TRACE(Narrow(mode));
        EXPECT_EQ(head.size(), 100u);
        EXPECT_EQ(r.exitCode, 3u);
        EXPECT_EQ(r.err, "");
        EXPECT_LT(r.msAfter, 1000u);
    }
}

}  // namespace
