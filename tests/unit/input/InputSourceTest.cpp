// Opening inputs: mapped files, standard input (file and pipe), the
// clipboard, addresses, and the failures each can report.
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include "TestSupport.h"
#include "input/Input.h"
#include "dump/Dump.h"
#include "plugin/Plugin.h"

namespace {

const wchar_t Prefix[] = L"Bytora plugin: ";

std::wstring SystemText(DWORD code) {
    wchar_t text[1024] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, 1024, nullptr);
    std::wstring s = text;
    while (!s.empty() && (s.back() == L'\r' || s.back() == L'\n' || s.back() == L' ' || s.back() == L'\t'))
        s.pop_back();
    return s;
}

std::wstring TempPath() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, n);
}

std::wstring StdinCopyName() {
    wchar_t name[64];
    _snwprintf(name, 64, L"Bytora-%04x.tmp", static_cast<unsigned>(GetCurrentProcessId()));
    name[63] = 0;
    std::wstring path = TempPath();
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + name;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

bool IsEmptyRecord(const InputSource& s) {
    return !s.Data && !s.Name && !s.TempFileName && !s.FileHandle && !s.MappingHandle && s.Size == 0 &&
           s.Position == 0 && s.CodePage == 0 && s.OpenFlags == 0;
}

std::string Bytes(const InputSource& s) {
    return s.Data ? std::string(reinterpret_cast<const char*>(s.Data), static_cast<size_t>(s.Size)) : std::string();
}

// Puts a handle in place of standard input for one test and restores it.
struct ScopedStdin {
    HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
    explicit ScopedStdin(HANDLE h) { SetStdHandle(STD_INPUT_HANDLE, h); }
    ~ScopedStdin() { SetStdHandle(STD_INPUT_HANDLE, saved); }
};

class InputSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        ReleaseInput(&source);
        RemoveTree(dir);
    }
    std::wstring Path(const wchar_t* name) const { return dir + L"\\" + name; }

    std::wstring dir;
    InputSource source{};
};

// With OPEN_READ_SMALL named files up to 64 KiB are read into a block the
// record owns, with no handle left open; larger ones, and every file without
// the flag, are mapped. Either way the same bytes, and ReleaseInput empties
// the record.
TEST_F(InputSourceTest, SmallFilesAreReadLargerOnesMapped) {
    const struct {
        size_t size;
        uint32_t flags;
        bool mapped;
    } rows[] = {{1, 0x181 | OPEN_READ_SMALL, false},
                {65536, 0x181 | OPEN_READ_SMALL, false},
                {65537, 0x181 | OPEN_READ_SMALL, true},
                {1, 0x181, true}};
    for (const auto& row : rows) {
        std::string bytes(row.size, '\0');
        for (size_t i = 0; i < row.size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
        const std::wstring name = Path(L"Read.bin");
        ASSERT_TRUE(WriteBytes(name, bytes));
        ASSERT_EQ(OpenInput(&source, name.c_str(), row.flags, 0, 0), 0) << row.size;
        EXPECT_EQ(source.Size, row.size);
        EXPECT_EQ(Bytes(source), bytes) << row.size;
        EXPECT_EQ(source.FileHandle != nullptr, row.mapped) << row.size;
        EXPECT_EQ(source.MappingHandle != nullptr, row.mapped) << row.size;
        EXPECT_EQ(source.TempFileName, nullptr);
        ReleaseInput(&source);
        EXPECT_TRUE(IsEmptyRecord(source)) << row.size;
        // Nothing of ours holds the file any more.
        EXPECT_TRUE(DeleteFileW(name.c_str())) << row.size;
    }
}

TEST_F(InputSourceTest, RealFileIsMappedUnderItsFullTrueName) {
    // Beyond 64 KiB: smaller files are read (see below).
    const std::string bytes = "Hello, mapped world\r\n\x01\xff" + std::string(65536, 'x');
    ASSERT_TRUE(WriteBytes(Path(L"Sample.bin"), bytes));
    wchar_t oldDir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, oldDir);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    Captured c = CaptureOutput([&] { return OpenInput(&source, L"sample.BIN", 0x181, 1250, 1143); });
    SetCurrentDirectoryW(oldDir);

    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.err, L"");
    ASSERT_NE(source.Data, nullptr);
    EXPECT_EQ(source.Size, bytes.size());
    EXPECT_EQ(Bytes(source), bytes);
    ASSERT_NE(source.Name, nullptr);
    EXPECT_EQ(std::wstring(source.Name), Path(L"Sample.bin"));
    EXPECT_EQ(source.TempFileName, nullptr);
    EXPECT_NE(source.FileHandle, nullptr);
    EXPECT_NE(source.MappingHandle, nullptr);
    EXPECT_EQ(source.LastError, 0u);
    EXPECT_EQ(source.CodePage, 1250u);
    EXPECT_EQ(source.CodePageIndex, 1);
    EXPECT_EQ(source.EbcdicCodePage, 1143u);
    EXPECT_EQ(source.EbcdicCodePageIndex, 3);
    EXPECT_EQ(source.AllowSupplementary, 1u);
    EXPECT_EQ(source.ReplacementChar, 0xFFFD);
    EXPECT_EQ(source.OpenFlags, 0x181u);
    EXPECT_EQ(source.Position, source.BomLength);

    ReleaseInput(&source);
    EXPECT_TRUE(IsEmptyRecord(source));
    // The handle is gone: the file can be opened for writing exclusively again.
    HANDLE h = CreateFileW(Path(L"Sample.bin").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

TEST_F(InputSourceTest, CodePagesDefaultAndOutOfTableIndexesAreZero) {
    ASSERT_TRUE(WriteBytes(Path(L"a.txt"), "abc"));
    ASSERT_EQ(OpenInput(&source, Path(L"a.txt").c_str(), 0, 0, 0), 0);
    EXPECT_EQ(source.CodePage, GetACP());
    EXPECT_EQ(source.EbcdicCodePage, DefaultEbcdicCodePage());
    EXPECT_EQ(source.AllowSupplementary, 0u);
    ReleaseInput(&source);

    ASSERT_EQ(OpenInput(&source, Path(L"a.txt").c_str(), 0, 65001, 37), 0);
    EXPECT_EQ(source.CodePage, 65001u);
    EXPECT_EQ(source.CodePageIndex, 0);
    EXPECT_EQ(source.EbcdicCodePage, 37u);
    EXPECT_EQ(source.EbcdicCodePageIndex, 0);
    ReleaseInput(&source);

    ASSERT_EQ(OpenInput(&source, Path(L"a.txt").c_str(), 0, 866, 1149), 0);
    EXPECT_EQ(source.CodePageIndex, 19);
    EXPECT_EQ(source.EbcdicCodePageIndex, 9);
}

TEST_F(InputSourceTest, PageMultipleFileReadsToItsLastByte) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::string bytes = Pattern(2 * info.dwPageSize);
    ASSERT_TRUE(WriteBytes(Path(L"pages.bin"), bytes));
    ASSERT_EQ(OpenInput(&source, Path(L"pages.bin").c_str(), OPEN_REPORT, 0, 0), 0);
    ASSERT_EQ(source.Size, bytes.size());
    // Every byte up to the last one of the view, one by one.
    size_t mismatches = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (source.Data[i] != static_cast<uint8_t>(bytes[i])) ++mismatches;
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(source.Data[bytes.size() - 1], static_cast<uint8_t>(bytes.back()));
}

TEST_F(InputSourceTest, EmptyFileGivesMinus100WithoutMessage) {
    ASSERT_TRUE(WriteBytes(Path(L"empty.bin"), ""));
    Captured c = CaptureOutput([&] { return OpenInput(&source, Path(L"empty.bin").c_str(), 0x181, 0, 0); });
    EXPECT_EQ(c.result, -100);
    EXPECT_EQ(c.err, L"");
    EXPECT_EQ(static_cast<int>(source.LastError), -100);
    EXPECT_TRUE(IsEmptyRecord(source));
}

TEST_F(InputSourceTest, MissingFileReportsTheSystemError) {
    const std::wstring name = Path(L"missing.bin");
    Captured c = CaptureOutput([&] { return OpenInput(&source, name.c_str(), OPEN_REPORT, 0, 0); });
    EXPECT_EQ(c.result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(c.err, std::wstring(Prefix) + L"Error opening \"" + name + L"\" :\r\n   " + SystemText(2) + L"\r\n");
    EXPECT_EQ(source.LastError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(IsEmptyRecord(source));

    // Without OPEN_REPORT the same failure is silent.
    c = CaptureOutput([&] { return OpenInput(&source, name.c_str(), 0, 0, 0); });
    EXPECT_EQ(c.result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(c.err, L"");
}

TEST_F(InputSourceTest, DirectoryAsFileFails) {
    Captured c = CaptureOutput([&] { return OpenInput(&source, dir.c_str(), OPEN_REPORT, 0, 0); });
    EXPECT_GT(c.result, 0);
    EXPECT_EQ(c.err.rfind(std::wstring(Prefix) + L"Error opening \"" + dir + L"\" :\r\n   ", 0), 0u) << Narrow(c.err);
    EXPECT_TRUE(IsEmptyRecord(source));
}

TEST(OpenInputArgumentsTest, NullOrEmptyLeavesTheRecordUntouched) {
    InputSource s;
    memset(&s, 0xAB, sizeof s);
    InputSource before = s;
    EXPECT_EQ(OpenInput(nullptr, L"x", 0, 0, 0), -1);
    EXPECT_EQ(OpenInput(&s, nullptr, OPEN_REPORT, 0, 0), -1);
    EXPECT_EQ(OpenInput(&s, L"", OPEN_REPORT, 0, 0), -1);
    EXPECT_EQ(memcmp(&s, &before, sizeof s), 0);
    ReleaseInput(nullptr);  // must not crash
}

TEST(OpenInputAddressTest, AddressesAreFetchedNeverOpenedAsFiles) {
    // Nobody listens on port 1 of the loopback address: the fetch fails at
    // once, and the failure names the address unchanged.
    struct Case {
        const wchar_t* name;
        bool fetched;
    } const cases[] = {
        {L"http://127.0.0.1:1/a.txt", true},
        {L"HTTPS://127.0.0.1:1/*?[x]", true},  // wildcards do not matter for HTTP
        {L"ftp://127.0.0.1:1/pub/file.txt", true},
        {L"ftp://127.0.0.1:1/pub/*.txt", false},  // a wildcard makes it a file name
    };
    // The internet library's own text for the code (it is loaded with us).
    wchar_t cannotConnect[1024] = {};
    FormatMessageW(0x1AFF, GetModuleHandleW(L"wininet.dll"), ERROR_INTERNET_CANNOT_CONNECT, 0, cannotConnect, 1024,
                   nullptr);
    std::wstring expected = cannotConnect;
    while (!expected.empty() && expected.back() == L' ') expected.pop_back();
    for (const Case& k : cases) {
        InputSource s{};
        Captured c = CaptureOutput([&] { return OpenInput(&s, k.name, OPEN_REPORT, 0, 0); });
        if (k.fetched) {
            EXPECT_EQ(c.result, ERROR_INTERNET_CANNOT_CONNECT) << Narrow(k.name);
            EXPECT_EQ(c.err, std::wstring(Prefix) + L"Error fetching \"" + k.name + L"\" :\r\n   " + expected + L"\r\n");
        } else {
            EXPECT_NE(c.result, 0);
            EXPECT_EQ(c.err.find(L"Error fetching"), std::wstring::npos) << Narrow(c.err);
            EXPECT_NE(c.err.find(L"Error opening"), std::wstring::npos) << Narrow(c.err);
        }
        EXPECT_TRUE(IsEmptyRecord(s));
    }
}

// ---- Standard input -----------------------------------------------------

TEST_F(InputSourceTest, RedirectedFileOnStdinIsMappedDirectly) {
    const std::string bytes = Pattern(10000);
    ASSERT_TRUE(WriteBytes(Path(L"in.bin"), bytes));
    HANDLE h = CreateFileW(Path(L"in.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ScopedStdin redirect(h);
    Captured c = CaptureOutput([&] { return OpenInput(&source, L"-", 0x181, 0, 0); });
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.err, L"");
    EXPECT_STREQ(source.Name, L"-");
    EXPECT_EQ(source.TempFileName, nullptr);
    EXPECT_EQ(source.FileHandle, h);  // mapped directly, released with the input
    EXPECT_EQ(Bytes(source), bytes);
    EXPECT_FALSE(Exists(StdinCopyName()));
}

// Feeds a pipe from a thread so that inputs larger than the pipe's buffer work.
struct PipeFeed {
    HANDLE read = nullptr, write = nullptr, thread = nullptr;
    std::string bytes;
    explicit PipeFeed(std::string data) : bytes(std::move(data)) {
        if (!CreatePipe(&read, &write, nullptr, 0)) return;
        thread = CreateThread(nullptr, 0, &PipeFeed::Run, this, 0, nullptr);
    }
    static DWORD WINAPI Run(void* self) {
        auto* feed = static_cast<PipeFeed*>(self);
        size_t done = 0;
        while (done < feed->bytes.size()) {
            DWORD put = 0;
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(3000, feed->bytes.size() - done));
            if (!WriteFile(feed->write, feed->bytes.data() + done, chunk, &put, nullptr)) break;
            done += put;
        }
        CloseHandle(feed->write);
        return 0;
    }
    ~PipeFeed() {
        if (thread) {
            WaitForSingleObject(thread, 10000);
            CloseHandle(thread);
        }
    }
};

TEST(StdinPipeTest, PipeIsCopiedToATempFileThatGoesWithTheInput) {
    for (size_t size : {size_t{5}, size_t{8192}, size_t{20001}}) {
        PipeFeed feed(Pattern(size));
        ASSERT_NE(feed.thread, nullptr);
        ScopedStdin redirect(feed.read);  // the open closes the read end once copied
        InputSource s{};
        Captured c = CaptureOutput([&] { return OpenInput(&s, L"-", 0x181, 0, 0); });
        ASSERT_EQ(c.result, 0) << size;
        EXPECT_EQ(c.err, L"");
        EXPECT_STREQ(s.Name, L"-");
        ASSERT_NE(s.TempFileName, nullptr);
        EXPECT_EQ(_wcsicmp(s.TempFileName, StdinCopyName().c_str()), 0) << Narrow(s.TempFileName);
        EXPECT_TRUE(Exists(s.TempFileName));
        EXPECT_EQ(s.Size, size);
        EXPECT_EQ(Bytes(s), feed.bytes);
        ReleaseInput(&s);
        EXPECT_FALSE(Exists(StdinCopyName())) << size;
        EXPECT_TRUE(IsEmptyRecord(s));
    }
}

TEST(StdinPipeTest, EmptyPipeGivesMinus100AndLeavesNoTempFile) {
    PipeFeed feed("");
    ASSERT_NE(feed.thread, nullptr);
    ScopedStdin redirect(feed.read);
    InputSource s{};
    Captured c = CaptureOutput([&] { return OpenInput(&s, L"-", 0x181, 0, 0); });
    EXPECT_EQ(c.result, -100);
    EXPECT_EQ(c.err, L"");
    EXPECT_TRUE(IsEmptyRecord(s));
    EXPECT_FALSE(Exists(StdinCopyName()));
}

// Writes a first piece, then a Ctrl-C arrives while the copy runs, then more.
struct InterruptedFeed {
    HANDLE read = nullptr, write = nullptr, thread = nullptr;
    InterruptedFeed() {
        if (!CreatePipe(&read, &write, nullptr, 0)) return;
        thread = CreateThread(nullptr, 0, &InterruptedFeed::Run, this, 0, nullptr);
    }
    static DWORD WINAPI Run(void* self) {
        auto* feed = static_cast<InterruptedFeed*>(self);
        const std::string piece = Pattern(1000);
        DWORD put = 0;
        WriteFile(feed->write, piece.data(), 1000, &put, nullptr);
        Sleep(300);  // the copy is reading by now
        ConsoleCtrlHandler(CTRL_C_EVENT);
        WriteFile(feed->write, piece.data(), 1000, &put, nullptr);
        CloseHandle(feed->write);
        return 0;
    }
    ~InterruptedFeed() {
        if (thread) {
            WaitForSingleObject(thread, 10000);
            CloseHandle(thread);
        }
    }
};

TEST(StdinPipeTest, CtrlCDuringTheCopyLeavesNoTempFile) {
    {
        InterruptedFeed feed;
        ASSERT_NE(feed.thread, nullptr);
        ScopedStdin redirect(feed.read);
        InputSource s{};
        Captured c = CaptureOutput([&] { return OpenInput(&s, L"-", 0x181, 0, 0); });
        EXPECT_EQ(c.result, static_cast<int>(ERROR_CANCELLED));
        EXPECT_EQ(c.err, L"");
        EXPECT_TRUE(IsEmptyRecord(s));
        EXPECT_FALSE(Exists(StdinCopyName()));
    }
    {
        // The dump of standard input ends the run as a break.
        InterruptedFeed feed;
        ASSERT_NE(feed.thread, nullptr);
        ScopedStdin redirect(feed.read);
        DumpSettings settings{};
        settings.WordLen = 1;
        settings.GroupWidth = 8;
        settings.HexWidth = 16;
        wcscpy(settings.LineEnding, L"\r\n");
        Captured c = CaptureOutput([&] { return DumpInput(L"-", 0, &settings); });
        EXPECT_EQ(c.result, -3);
        EXPECT_EQ(c.outBytes, "");
        EXPECT_FALSE(Exists(StdinCopyName()));
    }
    BreakRequested = 0;
}

// A producer that holds the pipe open without writing: a Ctrl-C ends the
// copy at once, its read is cancelled and our end of the pipe closed before
// the open returns, so the producer's next write fails.
TEST(StdinPipeTest, CtrlCWhileTheProducerIsSilentEndsTheCopyAtOnce) {
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
    DWORD put = 0;
    WriteFile(write, "x", 1, &put, nullptr);
    std::atomic<bool> returned{false};
    std::thread user([&] {
        Sleep(300);
        ConsoleCtrlHandler(CTRL_C_EVENT);
        // Should the copy go on reading, the producer writes once more, later.
        for (int i = 0; i < 500 && !returned; ++i) Sleep(10);
        if (!returned) WriteFile(write, "late", 4, &put, nullptr);
    });
    ScopedStdin redirect(read);
    InputSource s{};
    const DWORD start = GetTickCount();
    Captured c = CaptureOutput([&] { return OpenInput(&s, L"-", 0x181, 0, 0); });
    const DWORD took = GetTickCount() - start;
    returned = true;
    user.join();
    EXPECT_EQ(c.result, static_cast<int>(ERROR_CANCELLED));
    EXPECT_LT(took, 1000u);
    EXPECT_TRUE(IsEmptyRecord(s));
    EXPECT_FALSE(Exists(StdinCopyName()));
    EXPECT_FALSE(WriteFile(write, "y", 1, &put, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    CloseHandle(write);
    BreakRequested = 0;
}

// A Ctrl-C that is being delivered when the pipe ends (the producer died of
// it) is a break, however late its handler runs: here the system's control
// routine, on a thread of its own, starts only 150 ms after the pipe ended.
TEST(StdinPipeTest, PipeEndingWhileACtrlCIsDeliveredIsABreak) {
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    if (!routine) GTEST_SKIP() << "no control routine here";
    HANDLE delivery = CreateThread(nullptr, 0, routine, reinterpret_cast<void*>(CTRL_C_EVENT), CREATE_SUSPENDED, nullptr);
    ASSERT_NE(delivery, nullptr);
    std::thread resume([delivery] {
        Sleep(150);
        ResumeThread(delivery);
    });
    PipeFeed feed("the producer's last words");
    ScopedStdin redirect(feed.read);
    InputSource s{};
    Captured c = CaptureOutput([&] { return OpenInput(&s, L"-", 0x181, 0, 0); });
    resume.join();
    WaitForSingleObject(delivery, 10000);
    CloseHandle(delivery);
    EXPECT_EQ(c.result, static_cast<int>(ERROR_CANCELLED));
    EXPECT_TRUE(IsEmptyRecord(s));
    ReleaseInput(&s);
    EXPECT_FALSE(Exists(StdinCopyName()));
    BreakRequested = 0;
}

TEST(StdinPipeTest, UncreatableTempFileIsReportedWithLineFeedOnly) {
    wchar_t savedTmp[MAX_PATH] = {};
    DWORD had = GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    PipeFeed feed("some bytes");
    ScopedStdin redirect(feed.read);
    InputSource s{};
    // The capture files live in the temp folder too: move it only for the open.
    Captured c = CaptureOutput([&] {
        SetEnvironmentVariableW(L"TMP", L"C:\\no-such-folder-bytora\\deeper");
        int result = OpenInput(&s, L"-", OPEN_REPORT, 0, 0);
        SetEnvironmentVariableW(L"TMP", had ? savedTmp : nullptr);
        return result;
    });
    EXPECT_EQ(c.result, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(c.err, std::wstring(Prefix) + L"Can\u2019t create temp file for pipe copy\n");
    EXPECT_TRUE(IsEmptyRecord(s));
    EXPECT_EQ(s.LastError, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
}

// ---- Clipboard ----------------------------------------------------------

// Clipboard data must have an owner window, or setting it fails.
struct ClipboardOwner {
    HWND window = CreateWindowExW(0, L"STATIC", L"bytora-test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ~ClipboardOwner() {
        if (window) DestroyWindow(window);
    }
    bool Put(const std::wstring& text) {
        if (!OpenClipboard(window)) return false;
        EmptyClipboard();
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
        bool ok = block != nullptr;
        if (ok) {
            memcpy(GlobalLock(block), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
            GlobalUnlock(block);
            ok = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
            if (!ok) GlobalFree(block);
        }
        CloseClipboard();
        return ok;
    }
    bool Clear() {
        if (!OpenClipboard(window)) return false;
        bool ok = EmptyClipboard() != 0;
        CloseClipboard();
        return ok;
    }
};

TEST(ClipboardTest, ClipNameInAnyCaseReadsTheClipboardText) {
    ClipboardOwner owner;
    const std::wstring text = L"Clip text \u00e9\u20ac";
    ASSERT_TRUE(owner.Put(text));
    for (const wchar_t* name : {L"clip:", L"CLIP:", L"Clip:"}) {
        InputSource s{};
        Captured c = CaptureOutput([&] { return OpenInput(&s, name, 0x181, 0, 0); });
        ASSERT_EQ(c.result, 0) << Narrow(name);
        EXPECT_EQ(c.err, L"");
        EXPECT_STREQ(s.Name, name);
        EXPECT_EQ(s.Size, text.size() * 2);
        ASSERT_NE(s.Data, nullptr);
        EXPECT_EQ(memcmp(s.Data, text.c_str(), (text.size() + 1) * 2), 0);  // terminator copied too
        EXPECT_EQ(s.Encoding, static_cast<uint32_t>(Utf16Le));
        EXPECT_EQ(s.BomLength, 0u);
        EXPECT_EQ(s.FileHandle, nullptr);
        EXPECT_EQ(s.MappingHandle, nullptr);
        ReleaseInput(&s);
        EXPECT_TRUE(IsEmptyRecord(s));
    }
}

TEST(ClipboardTest, ByteOrderMarkIsSkipped) {
    ClipboardOwner owner;
    ASSERT_TRUE(owner.Put(L"\ufeffAB"));
    InputSource s{};
    ASSERT_EQ(OpenInput(&s, L"clip:", 0, 0, 0), 0);
    EXPECT_EQ(s.Size, 6u);
    EXPECT_EQ(s.BomLength, 2u);
    EXPECT_EQ(s.Position, 2u);
    ReleaseInput(&s);
}

TEST(ClipboardTest, NoOrEmptyTextIsReported) {
    ClipboardOwner owner;
    const std::wstring message = std::wstring(Prefix) + L"No text on the clipboard\r\n";
    ASSERT_TRUE(owner.Clear());
    InputSource s{};
    Captured c = CaptureOutput([&] { return OpenInput(&s, L"clip:", OPEN_REPORT, 0, 0); });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.err, message);
    EXPECT_TRUE(IsEmptyRecord(s));

    ASSERT_TRUE(owner.Put(L""));
    c = CaptureOutput([&] { return OpenInput(&s, L"CLIP:", OPEN_REPORT, 0, 0); });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.err, message);
    EXPECT_TRUE(IsEmptyRecord(s));
}

TEST(ClipboardTest, ClipWithMoreCharactersIsAFileName) {
    ClipboardOwner owner;
    ASSERT_TRUE(owner.Put(L"not this"));
    InputSource s{};
    Captured c = CaptureOutput([&] { return OpenInput(&s, L"clip:x", OPEN_REPORT, 0, 0); });
    EXPECT_GT(c.result, 0);  // a system error from opening a file
    EXPECT_NE(c.err.find(L"Error opening \""), std::wstring::npos) << Narrow(c.err);
    EXPECT_TRUE(IsEmptyRecord(s));
}

// ---- Helpers --------------------------------------------------------------

TEST(UrlWildcardCountTest, CountsWildcardsAndBracketSets) {
    struct Case {
        const wchar_t* name;
        int count;
    } const cases[] = {
        {nullptr, 0},
        {L"", 0},
        {L"file.txt", 0},
        {L"http://host/*?[a]", 0},
        {L"HTTPS://host/a?b=1", 0},
        {L"ftp://host/*.txt", 1},
        {L"a*b?c*", 3},
        {L"[ab]c", 1},
        {L"[a][b]*", 3},
        {L"[ab", 0},    // a set that never closes
        {L"x]", 0},     // a closing bracket without a set
        {L"[[a]]", 1},  // the inner "[" belongs to the set
        {L"httpx://a*", 1},
    };
    for (const Case& k : cases) EXPECT_EQ(UrlWildcardCount(k.name), k.count) << (k.name ? Narrow(k.name) : "null");
}

TEST(MakeDevicePathTest, PutsTheDevicePrefixInFront) {
    EXPECT_EQ(MakeDevicePath(nullptr), -1);
    std::wstring buffer(32768, L'\0');
    wcscpy(buffer.data(), L"Volume{12345678-aaaa}\\");
    EXPECT_EQ(MakeDevicePath(buffer.data()), 0);
    EXPECT_STREQ(buffer.c_str(), L"\\\\.\\Volume{12345678-aaaa}\\");

    // The longest name that still fits 32767 characters, and one more.
    std::wstring longest(32763, L'a');
    wcscpy(buffer.data(), longest.c_str());
    EXPECT_EQ(MakeDevicePath(buffer.data()), 0);
    EXPECT_EQ(wcslen(buffer.c_str()), 32767u);
    EXPECT_EQ(buffer.compare(0, 4, L"\\\\.\\"), 0);
    std::wstring tooLong(32764, L'a');
    wcscpy(buffer.data(), tooLong.c_str());
    EXPECT_EQ(MakeDevicePath(buffer.data()), -1);
    EXPECT_EQ(std::wstring(buffer.c_str()), tooLong);
}

TEST(FormatErrorTextTest, TextsForOurAndHttpCodes) {
    struct Case {
        int code;
        const wchar_t* text;
    } const cases[] = {
        {-1, L"Unknown error"},
        {-100, L"The file is empty."},
        {-404, L"HTTP error 404:  Not found"},
        {-400, L"HTTP error 400:  Bad request"},
        {-401, L"HTTP error 401:  Unauthorized"},
        {-402, L"HTTP error 402:  Payment required"},
        {-403, L"HTTP error 403:  Forbidden"},
        {-408, L"HTTP error 408:  Request timeout"},
        {-500, L"HTTP error 500:  Internal error"},
        {-503, L"HTTP error 503:  Service unavailable"},
        {-450, L"HTTP error 450"},
        // A redirect that was not followed.
        {-308, L"HTTP error 308:  Permanent redirect"},
        {-302, L"HTTP error 302:  Found"},
        {-306, L"HTTP error 306"},
        {-299, L"Error -299"},
        {-599, L"HTTP error 599"},
        {-2, L"Error -2"},
        {-600, L"Error -600"},
    };
    wchar_t text[1024];
    for (const Case& k : cases) {
        EXPECT_EQ(FormatErrorText(k.code, text), 0);
        EXPECT_STREQ(text, k.text) << k.code;
    }
    EXPECT_EQ(FormatErrorText(-1, nullptr), -1);
}

// Codes 12000..12199 are the internet library's: their texts come from its
// module once it is loaded, and not from the system's table.
TEST(FormatErrorTextTest, InternetCodesUseTheInternetLibraryWhenLoaded) {
    wchar_t text[1024];
    if (!GetModuleHandleW(L"wininet.dll")) {
        ASSERT_EQ(FormatErrorText(12007, text), 0);
        EXPECT_STREQ(text, L"Error 12007");
    }
    HMODULE wininet = LoadLibraryW(L"wininet.dll");
    if (!wininet) GTEST_SKIP() << "no internet library here";
    for (int code : {12007, 12029}) {
        ASSERT_EQ(FormatErrorText(code, text), 0);
        std::wstring s = text;
        EXPECT_FALSE(s.empty()) << code;
        EXPECT_NE(s.rfind(L"Error ", 0), 0u) << Narrow(s);
        EXPECT_EQ(s.find_first_of(L"\r\n"), std::wstring::npos) << code;
    }
    FreeLibrary(wininet);
}

TEST(FormatErrorTextTest, SystemTextHasNoTrailingLineBreak) {
    wchar_t text[1024];
    for (int code : {2, 3, 5, 8}) {
        ASSERT_EQ(FormatErrorText(code, text), 0);
        std::wstring s = text;
        ASSERT_FALSE(s.empty()) << code;
        EXPECT_EQ(s, SystemText(static_cast<DWORD>(code)));
        EXPECT_EQ(s.find_first_of(L"\r\n"), std::wstring::npos) << code;
        EXPECT_NE(s.back(), L' ');
    }
}

TEST(EbcdicCodePageTest, LocaleTable) {
    struct Case {
        LANGID locale;
        uint32_t codePage;
    } const cases[] = {
        {0x0000, 1140}, {0x0409, 1140},  // English: the default
        {0x0C07, 1141}, {0x0407, 1141},  // exact matches
        {0x1007, 1141},                  // German, by primary language
        {0x0809, 1146}, {0x1809, 1146},  // English entries match exactly before the English rule
        {0x1409, 1140},                  // other English locales stay 1140
        {0x040C, 1147}, {0x100C, 1147},  // French, exact and by language
        {0x0814, 1142}, {0x0406, 1142}, {0x041D, 1143}, {0x040B, 1143},
        {0x2C0A, 1145}, {0x0810, 1144}, {0x040F, 1149}, {0x043C, 1146},
        {0x0419, 1140},                  // Russian: not in the table
        {0x0400, 1140},                  // primary language 0
    };
    for (const Case& k : cases) EXPECT_EQ(EbcdicCodePageForLocale(k.locale), k.codePage) << std::hex << k.locale;
    EXPECT_EQ(DefaultEbcdicCodePage(), EbcdicCodePageForLocale(static_cast<LANGID>(GetUserDefaultLCID() & 0xFFFF)));
}

TEST(IsConsoleHandleTest, FilesPipesAndNullAreNotConsoles) {
    EXPECT_EQ(IsConsoleHandle(nullptr), 0);
    EXPECT_EQ(IsConsoleHandle(INVALID_HANDLE_VALUE), 0);
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
    EXPECT_EQ(IsConsoleHandle(read), 0);
    {
        ScopedStdin redirect(read);
        EXPECT_EQ(IsConsoleHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-10))), 0);
    }
    CloseHandle(read);
    CloseHandle(write);
}

// Only a real console shows that a pseudo-value is looked up: without the
// look-up the mode of the pseudo-value itself cannot be read. CTest runs
// without a console; in a terminal the test runs in full.
TEST(IsConsoleHandleTest, PseudoValuesStandForTheStandardHandles) {
    HANDLE console = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no console here";
    EXPECT_EQ(IsConsoleHandle(console), 1);
    {
        ScopedStdin redirect(console);
        EXPECT_EQ(IsConsoleHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-10))), 1);
        EXPECT_EQ(IsConsoleHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(STD_INPUT_HANDLE))), 1);
    }
    HANDLE read = nullptr, write = nullptr;
    if (CreatePipe(&read, &write, nullptr, 0)) {
        ScopedStdin redirect(read);
        EXPECT_EQ(IsConsoleHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-10))), 0);
        CloseHandle(read);
        CloseHandle(write);
    }
    CloseHandle(console);
}

}  // namespace
