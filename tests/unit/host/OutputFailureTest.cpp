// Standard output that refuses writes (a file opened for reading only): the
// failure reaches the caller, whether the flush or the writer thread met it;
// it stays until the command is over, standard error is not touched by it,
// and the next command starts clean.
#include <gtest/gtest.h>
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "TestSupport.h"
#include "HostTestUtil.h"

#include <string>

namespace {

TEST(OutputFailure, ReachesTheCallerAndStaysUntilTheCommandIsOver) {
    // A little text stays with the host until it is flushed; megabytes start
    // the writer thread, which meets the failure on its own.
    for (const size_t units : {size_t{100}, size_t{4} << 20}) {
        SCOPED_TRACE(units);
        ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
        std::wstring dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        const std::wstring outPath = dir + L"\\out", errPath = dir + L"\\err", nextPath = dir + L"\\next";
        ASSERT_TRUE(WriteBytes(outPath, ""));
        HANDLE out = CreateFileW(outPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        HANDLE next = CreateFileW(nextPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        ASSERT_NE(err, INVALID_HANDLE_VALUE);
        ASSERT_NE(next, INVALID_HANDLE_VALUE);
        HANDLE oldOut = GetStdHandle(STD_OUTPUT_HANDLE), oldErr = GetStdHandle(STD_ERROR_HANDLE);
        HostFlush();
        SetStdHandle(STD_OUTPUT_HANDLE, out);
        SetStdHandle(STD_ERROR_HANDLE, err);

        const wchar_t line[] = L"00000000  48 65 6c 6c 6f 20 70 69  70 65 0d 0a  Hello pipe\u00b7\u00b7\r\n";
        bool callFailed = false;
        DWORD callError = 0;
        for (size_t written = 0; written < units && !callFailed; written += wcslen(line)) {
            callFailed = QPuts(line) < 0;
            callError = GetLastError();
        }
        struct Result {
            int value;
            DWORD error;
        };
        auto result = [](int value) { return Result{value, GetLastError()}; };
        const Result yielded = result(tty_yield(0));
        const Result empty = result(QPuts(L""));
        const int printed = Printf(L"%s", L"more");
        const int put = QPutc(out, L'x');
        const int toErr = Qprintf(err, L"%s", L"error text");
        const Result flushed = result(HostFlush());
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

        EXPECT_EQ(callFailed, units > 1000) << "only the writer thread meets the failure before the flush";
        if (callFailed) {
            EXPECT_EQ(callError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
        for (const Result& r : {yielded, empty, flushed}) {
            EXPECT_EQ(r.value, -1);
            EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
        EXPECT_EQ(printed, -1);
        EXPECT_EQ(put, -1);
        EXPECT_EQ(toErr, 10);
        EXPECT_EQ(again, 0);
        EXPECT_EQ(fresh, 0);
        EXPECT_EQ(ReadBytes(errPath), "error text");
        EXPECT_EQ(ReadBytes(nextPath), "fresh");
        RemoveTree(dir);
    }
}

}  // namespace
