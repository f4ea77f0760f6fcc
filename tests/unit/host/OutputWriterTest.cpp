// Redirected standard output in volume: past a few hundred kilobytes a writer
// thread encodes and writes it. Whatever the thread does, the file must hold
// exactly what encoding each call on its own gives, in call order, with
// standard error and switches of standard output in their places, and every
// flush must leave everything so far in the file.
#include <gtest/gtest.h>
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "TestSupport.h"
#include "HostTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// Comfortably more than the writer's chunks of 256K units, several times over.
constexpr size_t Volume = 2u << 20;

enum class Mode { Utf8, Unicode, Ansi };

// One call's bytes as the system encodes them, on its own.
std::string Encoded(Mode mode, const std::wstring& text) {
    if (mode == Mode::Unicode) return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    const UINT page = mode == Mode::Utf8 ? CP_UTF8 : CP_ACP;
    const int n = WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

// Dump-like lines with every length class, valid pairs and lone surrogates;
// some calls end on a high surrogate and the next starts with a low one, which
// are two lone surrogates, not a pair. Never a zero unit.
std::vector<std::wstring> RandomCalls(unsigned seed, size_t volume) {
    std::mt19937 rng(seed);
    std::vector<std::wstring> calls;
    size_t total = 0;
    while (total < volume) {
        std::wstring text;
        const unsigned kind = rng() % 50;
        if (kind == 0) text.assign(40 + rng() % 20, L'x');  // a short ASCII line
        for (unsigned n = 20 + rng() % 80; n; --n) {
            switch (rng() % 6) {
            case 0: case 1: text += static_cast<wchar_t>(0x20 + rng() % 0x5F); break;
            case 2: text += static_cast<wchar_t>(0x80 + rng() % 0x780); break;
            case 3: text += static_cast<wchar_t>(0x800 + rng() % 0xD000); break;
            case 4:
                text += static_cast<wchar_t>(0xD800 + rng() % 0x400);
                text += static_cast<wchar_t>(0xDC00 + rng() % 0x400);
                break;
            default: text += static_cast<wchar_t>(0xD800 + rng() % 0x800); break;  // lone, either half
            }
        }
        if (kind == 1) text += static_cast<wchar_t>(0xD801);           // ends on a high surrogate...
        if (kind == 2) text.insert(text.begin(), static_cast<wchar_t>(0xDC02));  // ...starts on a low one
        total += text.size();
        calls.push_back(std::move(text));
        if (kind == 3) calls.push_back(L"\r\n");
    }
    return calls;
}

const wchar_t* ModeName(Mode mode) {
    return mode == Mode::Utf8 ? L"utf8" : mode == Mode::Unicode ? L"unicode" : L"ansi";
}

// A file opened for writing in a fresh folder; closes and removes itself.
struct TempFile {
    std::wstring dir, path;
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit TempFile(const wchar_t* name) : dir(MakeTempDir()) {
        if (dir.empty()) return;
        path = dir + L"\\" + name;
        h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                        nullptr);
    }
    ~TempFile() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        RemoveTree(dir);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    uint64_t Size() const {
        LARGE_INTEGER size{};
        return GetFileSizeEx(h, &size) ? static_cast<uint64_t>(size.QuadPart) : ~uint64_t{0};
    }
};

// Standard output and error switched for one scope, flushed at both ends.
struct Redirect {
    HANDLE oldOut, oldErr;
    Redirect(HANDLE out, HANDLE err)
        : oldOut(GetStdHandle(STD_OUTPUT_HANDLE)), oldErr(GetStdHandle(STD_ERROR_HANDLE)) {
        HostFlush();
        SetStdHandle(STD_OUTPUT_HANDLE, out);
        SetStdHandle(STD_ERROR_HANDLE, err);
    }
    ~Redirect() {
        HostFlush();
        SetStdHandle(STD_OUTPUT_HANDLE, oldOut);
        SetStdHandle(STD_ERROR_HANDLE, oldErr);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;
};

TEST(OutputWriter, LargeVolumesMatchEachCallsEncodingInEveryMode) {
    for (Mode mode : {Mode::Utf8, Mode::Unicode, Mode::Ansi}) {
        ScopedEnv env(L"BYTORA_HOST_OUTPUT", ModeName(mode));
        std::vector<std::wstring> calls = RandomCalls(static_cast<unsigned>(mode) + 1, Volume);
        // One call larger than a chunk goes out on its own, between the others.
        calls.insert(calls.begin() + static_cast<long>(calls.size() / 2), std::wstring(300000, L'\u00e9'));
        std::string expected;
        for (const std::wstring& call : calls) expected += Encoded(mode, call);
        Captured c = CaptureOutput([&] {
            for (const std::wstring& call : calls)
                if (QPuts(call.c_str()) != 0) return 1;
            return 0;
        });
        EXPECT_EQ(c.result, 0) << Narrow(ModeName(mode));
        ASSERT_EQ(c.outBytes.size(), expected.size()) << Narrow(ModeName(mode));
        EXPECT_TRUE(c.outBytes == expected) << Narrow(ModeName(mode)) << ": first difference at byte "
                                            << std::mismatch(expected.begin(), expected.end(), c.outBytes.begin())
                                                       .first - expected.begin();
    }
}

// "2>&1": standard error is another handle on the same file, so every error
// text must come after all the output before it, even what the writer holds.
TEST(OutputWriter, StandardErrorOnTheSameFileKeepsItsPlace) {
    ScopedEnv env(L"BYTORA_HOST_OUTPUT", nullptr);
    TempFile file(L"both.txt");
    ASSERT_NE(file.h, INVALID_HANDLE_VALUE);
    HANDLE err = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), file.h, GetCurrentProcess(), &err, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    std::string expected;
    {
        Redirect redirect(file.h, err);
        std::mt19937 rng(11);
        for (int line = 0; expected.size() < 3 * Volume; ++line) {
            wchar_t text[96];
            static const wchar_t Filler[] = L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
            _snwprintf(text, 96, L"%08d %.*s\r\n", line, static_cast<int>(rng() % 60), Filler);
            text[95] = L'\0';
            QPuts(text);
            expected += Narrow(text);
            const unsigned r = rng() % 2000;
            if (r == 0) {
                Qprintf(err, L"error after line %d\r\n", line);
                expected += "error after line " + std::to_string(line) + "\r\n";
            } else if (r == 1) {
                QPutc(err, L'!');
                expected += "!";
            }
        }
    }
    CloseHandle(err);
    const std::string got = ReadBytes(file.path);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "first difference at byte "
                                 << std::mismatch(expected.begin(), expected.end(), got.begin()).first -
                                        expected.begin();
}

// Switching standard output without a flush: what was written before the
// switch belongs to the old handle, whatever the writer still holds of it.
TEST(OutputWriter, SwitchingStandardOutputMidStream) {
    ScopedEnv env(L"BYTORA_HOST_OUTPUT", nullptr);
    TempFile a(L"a.txt"), b(L"b.txt");
    ASSERT_NE(a.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(b.h, INVALID_HANDLE_VALUE);
    std::string expectA, expectB;
    {
        Redirect redirect(a.h, GetStdHandle(STD_ERROR_HANDLE));
        for (int round = 0; round < 6; ++round) {
            const bool toA = round % 2 == 0;
            SetStdHandle(STD_OUTPUT_HANDLE, toA ? a.h : b.h);
            // Odd lengths, so the switches fall anywhere in a chunk.
            const size_t lines = 9000 + static_cast<size_t>(round) * 3001;
            for (size_t i = 0; i < lines; ++i) {
                wchar_t text[64];
                _snwprintf(text, 64, L"round %d line %d \u00e9\u20ac\r\n", round, static_cast<int>(i));
                text[63] = L'\0';
                QPuts(text);
                (toA ? expectA : expectB) += Narrow(text);
            }
        }
    }
    EXPECT_TRUE(ReadBytes(a.path) == expectA);
    EXPECT_TRUE(ReadBytes(b.path) == expectB);
    EXPECT_EQ(ReadBytes(a.path).size(), expectA.size());
    EXPECT_EQ(ReadBytes(b.path).size(), expectB.size());
}

// After HostFlush (and tty_yield, which flushes too) the file holds every
// byte so far, at whatever point of a chunk it comes.
TEST(OutputWriter, FlushingAtRandomPointsLeavesEverythingInTheFile) {
    ScopedEnv env(L"BYTORA_HOST_OUTPUT", nullptr);
    TempFile file(L"out.txt");
    ASSERT_NE(file.h, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> calls = RandomCalls(23, 3 * Volume);
    std::mt19937 rng(5);
    std::string expected;
    {
        Redirect redirect(file.h, GetStdHandle(STD_ERROR_HANDLE));
        size_t next = 0;
        int flushes = 0;
        while (next < calls.size()) {
            // Runs from a few lines to several chunks between flushes.
            size_t run = rng() % 3 == 0 ? rng() % 50 : rng() % 40000;
            for (; run && next < calls.size(); --run, ++next) {
                QPuts(calls[next].c_str());
                expected += Encoded(Mode::Utf8, calls[next]);
            }
            if (++flushes % 2) HostFlush();
            else tty_yield(0);
            ASSERT_EQ(file.Size(), expected.size()) << "after flush " << flushes;
        }
    }
    EXPECT_TRUE(ReadBytes(file.path) == expected);
}

// The mode can change without a flush when something asks for it afresh;
// output collected before keeps the mode it was written in.
TEST(OutputWriter, ModeChangeMidStreamKeepsEachPartsMode) {
    std::vector<std::wstring> calls = RandomCalls(31, Volume);
    const size_t half = calls.size() / 2;
    std::string expected;
    for (size_t i = 0; i < calls.size(); ++i) expected += Encoded(i < half ? Mode::Utf8 : Mode::Unicode, calls[i]);
    ScopedEnv env(L"BYTORA_HOST_OUTPUT", nullptr);
    Captured c = CaptureOutput([&] {
        for (size_t i = 0; i < half; ++i) QPuts(calls[i].c_str());
        SetEnvironmentVariableW(L"BYTORA_HOST_OUTPUT", L"unicode");
        const int unicode = QueryUnicodeOutput();
        for (size_t i = half; i < calls.size(); ++i) QPuts(calls[i].c_str());
        return unicode;
    });
    EXPECT_EQ(c.result, 1);
    ASSERT_EQ(c.outBytes.size(), expected.size());
    EXPECT_TRUE(c.outBytes == expected);
}

struct PipeReader {
    HANDLE read;
    size_t limit;
    size_t got;
};

DWORD WINAPI ReadThenClose(void* param) {
    PipeReader* reader = static_cast<PipeReader*>(param);
    char buffer[4096];
    DWORD n = 0;
    while (reader->got < reader->limit && ReadFile(reader->read, buffer, sizeof buffer, &n, nullptr) && n > 0)
        reader->got += n;
    CloseHandle(reader->read);
    return 0;
}

struct WriteJob {
    HANDLE out;
    int failures;
};

DWORD WINAPI WriteLots(void* param) {
    WriteJob* job = static_cast<WriteJob*>(param);
    HANDLE old = GetStdHandle(STD_OUTPUT_HANDLE);
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, job->out);
    for (int i = 0; i < 60000; ++i)
        if (QPuts(L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789\u00e9\r\n") != 0) ++job->failures;
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, old);
    return 0;
}

// The reader goes away after a little: the writes fail, the callers are told,
// and nothing waits for ever.
TEST(OutputWriter, ReaderClosingThePipeEarlyHangsNothing) {
    ScopedEnv env(L"BYTORA_HOST_OUTPUT", nullptr);
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
    PipeReader reader{read, 100000, 0};
    WriteJob job{write, 0};
    HANDLE readerThread = CreateThread(nullptr, 0, ReadThenClose, &reader, 0, nullptr);
    ASSERT_NE(readerThread, nullptr);
    HANDLE writerThread = CreateThread(nullptr, 0, WriteLots, &job, 0, nullptr);
    ASSERT_NE(writerThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(writerThread, 60000), WAIT_OBJECT_0) << "writing to a closed pipe hangs";
    EXPECT_EQ(WaitForSingleObject(readerThread, 60000), WAIT_OBJECT_0);
    CloseHandle(writerThread);
    CloseHandle(readerThread);
    CloseHandle(write);
    EXPECT_GE(reader.got, reader.limit);
    EXPECT_GT(job.failures, 0);  // the writer's failure reaches the calls after it

    // The writer is idle and sound afterwards.
    std::vector<std::wstring> calls = RandomCalls(41, Volume);
    std::string expected;
    for (const std::wstring& call : calls) expected += Encoded(Mode::Utf8, call);
    Captured c = CaptureOutput([&] {
        for (const std::wstring& call : calls) QPuts(call.c_str());
        return 0;
    });
    EXPECT_TRUE(c.outBytes == expected);
}

// A reader slower than the calls: the writer falls behind, every slot fills,
// and the caller encodes chunks itself for the writer to write. The reader
// must still get exactly each call's encoding, in order.
struct SlowReader {
    HANDLE read;
    std::string bytes;
};

DWORD WINAPI ReadSlowly(void* param) {
    SlowReader* reader = static_cast<SlowReader*>(param);
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(reader->read, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        reader->bytes.append(buffer, n);
        Sleep(1);
    }
    return 0;
}

TEST(OutputWriter, ASlowReaderGetsEveryByteOfEveryMode) {
    for (Mode mode : {Mode::Utf8, Mode::Ansi}) {
        ScopedEnv env(L"BYTORA_HOST_OUTPUT", ModeName(mode));
        HANDLE read = nullptr, write = nullptr;
        ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
        SlowReader reader{read, {}};
        HANDLE readerThread = CreateThread(nullptr, 0, ReadSlowly, &reader, 0, nullptr);
        ASSERT_NE(readerThread, nullptr);
        const std::vector<std::wstring> calls = RandomCalls(51 + static_cast<unsigned>(mode), 3 * Volume);
        std::string expected;
        for (const std::wstring& call : calls) expected += Encoded(mode, call);
        int failures = 0;
        {
            Redirect to(write, GetStdHandle(STD_ERROR_HANDLE));
            for (const std::wstring& call : calls) failures += QPuts(call.c_str()) != 0;
        }
        CloseHandle(write);
        EXPECT_EQ(WaitForSingleObject(readerThread, 60000), WAIT_OBJECT_0);
        CloseHandle(readerThread);
        CloseHandle(read);
        EXPECT_EQ(failures, 0);
        ASSERT_EQ(reader.bytes.size(), expected.size()) << Narrow(ModeName(mode));
        EXPECT_TRUE(reader.bytes == expected) << Narrow(ModeName(mode));
    }
}

// The end of the process with output still queued for the writer: the
// library writes it on its way out. This test runs in a child process.
const wchar_t ExitFileVariable[] = L"BYTORA_TEST_WRITER_EXIT_FILE";

// Long lines of three-byte characters, already made: the writer has far more
// to do for them than QPuts, so chunks are queued when the process ends.
std::wstring NumberedLine(int i) {
    wchar_t number[16];
    _snwprintf(number, 16, L"%09d ", i);
    number[15] = L'\0';
    return number + std::wstring(500, L'\u20ac') + L"\r\n";
}
constexpr int ExitLines = 20000;

TEST(OutputWriterChild, EndsTheProcessWithOutputQueued) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(ExitFileVariable, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) GTEST_SKIP() << "run by EndOfProcessWritesWhatIsQueued";
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetEnvironmentVariableW(L"BYTORA_HOST_OUTPUT", nullptr);
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    std::vector<std::wstring> lines;
    for (int i = 0; i < ExitLines; ++i) lines.push_back(NumberedLine(i));
    for (const std::wstring& line : lines) QPuts(line.c_str());
    ExitProcess(0);  // no HostFlush, no return through the test framework
}

TEST(OutputWriter, EndOfProcessWritesWhatIsQueued) {
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    const std::wstring path = dir + L"\\exit.txt";
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    std::string expected;
    for (int i = 0; i < ExitLines; ++i) expected += Narrow(NumberedLine(i));
    for (int attempt = 0; attempt < 3; ++attempt) {
        ChildResult r = RunProgram(self, L"--gtest_filter=OutputWriterChild.*", "", {{ExitFileVariable, path}});
        ASSERT_EQ(r.exitCode, 0u) << r.out;
        const std::string got = ReadBytes(path);
        // Nothing twice and nothing out of order. Only a slice the writer was
        // in the middle of writing when it was ended may be missing: one gap
        // of at most 64K units, here three bytes each at most.
        ASSERT_LE(got.size(), expected.size());
        const size_t gap = expected.size() - got.size();
        EXPECT_LE(gap, 3u * 65536u);
        const size_t prefix =
            static_cast<size_t>(std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin());
        EXPECT_TRUE(got.compare(prefix, std::string::npos, expected, prefix + gap, std::string::npos) == 0)
            << "differs at byte " << prefix;
        if (gap) std::printf("note: the end of the process lost %llu bytes being written\n", static_cast<unsigned long long>(gap));
    }
    RemoveTree(dir);
}

}  // namespace
