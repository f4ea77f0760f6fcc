// Standard output that refuses writes (a file opened for reading only): the
// failure reaches the caller, whether the caller's own flush or the writer
// thread met it, in every output mode; it stays until the command is over,
// standard error is not touched by it, and the next command starts clean.
#include <gtest/gtest.h>
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "TestSupport.h"
#include "HostTestUtil.h"

#include <string>

namespace {

struct Case {
    const wchar_t* mode;
    size_t units;  // written before the first flush
};

TEST(OutputFailure, ReachesTheCallerAndStaysUntilTheCommandIsOver) {
    // A little text stays with the host until it is flushed; megabytes start
    // the writer thread, which meets the failure on its own.
    const Case cases[] = {{L"utf8", 100}, {L"unicode", 100}, {L"ansi", 100},
                          {L"utf8", 4u << 20}, {L"unicode", 4u << 20}, {L"ansi", 4u << 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.mode) + " " + std::to_string(c.units));
        ScopedEnv mode(L"BYTORA_HOST_OUTPUT", c.mode);
        std::wstring dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        const std::wstring outPath = dir + L"\\out", errPath = dir + L"\\err", nextPath = dir + L"\\next";
        ASSERT_TRUE(WriteBytes(outPath, ""));
        HANDLE out = CreateFileW(outPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        HANDLE next = CreateFileW(nextPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        ASSERT_NE(err, INVALID_HANDLE_VALUE);
        ASSERT_NE(next, INVALID_HANDLE_VALUE);
        HANDLE oldOut = GetStdHandle(STD_OUTPUT_HANDLE), oldErr = GetStdHandle(STD_ERROR_HANDLE);
        HostFlush();
        SetStdHandle(STD_OUTPUT_HANDLE, out);
        SetStdHandle(STD_ERROR_HANDLE, err);

        const wchar_t line[] = L"00000000  48 65 6c 6c 6f 20 70 69  70 65 0d 0a  Hello pipe\u00b7\u00b7\r\n";
        const size_t lineUnits = wcslen(line);
        size_t failedAt = 0;  // 1 + the call that failed first
        DWORD firstError = 0;
        for (size_t call = 0; call * lineUnits < c.units && !failedAt; ++call) {
            if (QPuts(line) < 0) {
                failedAt = call + 1;
                firstError = GetLastError();
            }
        }
        const int yielded = tty_yield(0);
        const DWORD yieldError = GetLastError();
        const int empty = QPuts(L"");
        const DWORD emptyError = GetLastError();
        const int printed = Printf(L"%s", L"more");
        const int put = QPutc(out, L'x');
        const int toErr = Qprintf(err, L"%s", L"error text");
        const int flushed = HostFlush();
        const DWORD flushError = GetLastError();
        const int again = HostFlush();
        // A new standard output starts without the old one's failure.
        SetStdHandle(STD_OUTPUT_HANDLE, next);
        const int fresh = QPuts(L"fresh");
        HostFlush();
        SetStdHandle(STD_OUTPUT_HANDLE, oldOut);
        SetStdHandle(STD_ERROR_HANDLE, oldErr);
        CloseHandle(out);
        CloseHandle(err);
        CloseHandle(next);

        if (c.units > 1000) {
            EXPECT_NE(failedAt, 0u) << "the writer's failure never reached the caller";
            EXPECT_EQ(firstError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        } else {
            EXPECT_EQ(failedAt, 0u) << "a little text is written at the flush";
        }
        EXPECT_EQ(yielded, -1);
        EXPECT_EQ(yieldError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(empty, -1);
        EXPECT_EQ(emptyError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(printed, -1);
        EXPECT_EQ(put, -1);
        EXPECT_EQ(toErr, 10);
        EXPECT_EQ(flushed, -1);
        EXPECT_EQ(flushError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(again, 0);
        EXPECT_EQ(fresh, 0);
        const std::string errBytes = ReadBytes(errPath), nextBytes = ReadBytes(nextPath);
        if (wcscmp(c.mode, L"unicode") == 0) {
            EXPECT_EQ(errBytes, std::string("e\0r\0r\0o\0r\0 \0t\0e\0x\0t\0", 20));
            EXPECT_EQ(nextBytes, std::string("f\0r\0e\0s\0h\0", 10));
        } else {
            EXPECT_EQ(errBytes, "error text");
            EXPECT_EQ(nextBytes, "fresh");
        }
        EXPECT_EQ(ReadBytes(outPath), "");
        RemoveTree(dir);
    }
}

}  // namespace
