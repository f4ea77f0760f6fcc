// The faults a long-lived host met, each at the edge that shows it, in one
// process that keeps the plug-in loaded: a download given up while its
// server goes on sending returns within a second and its connection is
// closed; nothing grows from command to command; no thread of the plug-in
// outlives a command broken off by more than a second, and the plug-in can
// be unloaded right after it.
#include <gtest/gtest.h>
#include "Session.h"
#include <wininet.h>
#include <string>
#include "TestSupport.h"

namespace {

// What the endless server says of the reply it sent under key: "BYTES
// closed" once the client has closed the connection. With wait, asked until
// it has stopped sending, for up to two seconds.
std::string SentUnder(const std::wstring& key, bool wait = true) {
    std::string text;
    for (int i = 0; i < (wait ? 20 : 1); ++i) {
        text.clear();
        HINTERNET root = InternetOpenW(L"soak", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
        HINTERNET request = InternetOpenUrlW(root, ServerUrl(L"http", "ENDLESS", (L"/sent?" + key).c_str()).c_str(),
                                             nullptr, 0, INTERNET_FLAG_RELOAD, 0);
        char buffer[64];
        DWORD got = 0;
        while (request && InternetReadFile(request, buffer, sizeof buffer, &got) && got) text.append(buffer, got);
        if (request) InternetCloseHandle(request);
        InternetCloseHandle(root);
        // Its connection is not kept for the plug-in's next request.
        InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
        if (text.find("sending") == std::string::npos) break;
        Sleep(100);
    }
    return text;
}

long long BytesOf(const std::string& sent) { return atoll(sent.c_str()); }

struct Fault {
    const char* what;
    std::wstring path;       // on the endless server; {key} is replaced
    DWORD breakAfterMs;      // Ctrl-C this long into the call, 0: none
    int result;              // the command's exit code
};

TEST(LongLivedHost, ADownloadGivenUpStopsItsTransferAtOnce) {
    ASSERT_TRUE(OwnConsole());
    const Fault faults[] = {
        {"a failure status with an endless body", L"/endless/404?{key}", 0, 2},
        {"the eleventh redirect, each with an endless body", L"/endless/302?{key}", 0, 2},
        {"Ctrl-C while an endless body flows", L"/endless/200?{key}", 300, 3},
    };
    Session session;
    ASSERT_TRUE(session.Load());
    int call = 0;
    for (const Fault& f : faults) {
        // Twice: the library keeps state from one call to the next.
        for (int again = 0; again < 2; ++again) {
            const std::wstring key = L"k" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++call);
            std::wstring path = f.path;
            path.replace(path.find(L"{key}"), 5, key);
            CommandRun run = RunCommand(session, ServerUrl(L"http", "ENDLESS", path.c_str()), "", f.breakAfterMs);
            EXPECT_EQ(run.result, f.result) << f.what << "\n" << run.err;
            if (f.breakAfterMs)
                EXPECT_TRUE(run.sinceBreakMs >= 0 && run.sinceBreakMs < 1000) << f.what << ": " << run.sinceBreakMs;
            else
                EXPECT_LT(run.ms, 1000u) << f.what;
            const long long returned = BytesOf(SentUnder(key, false));
            const std::string sent = SentUnder(key);
            EXPECT_NE(sent.find("closed"), std::string::npos) << f.what << ": the server says " << sent;
            // Once the command has returned, no more than fills the
            // sockets' buffers: the transfer has stopped.
            EXPECT_LT(BytesOf(sent) - returned, 16ll << 20) << f.what << ": the server says " << sent;
            EXPECT_EQ(AwaitPluginThreads(session.plugin, 1000), 0) << f.what;
        }
    }
    EXPECT_TRUE(session.Unload());
}

// Ctrl-C while the download waits: for a server that says nothing, that
// never takes the connection, or an FTP file that stalls. The thread that
// waits ends within the second, so the plug-in can go at once.
TEST(LongLivedHost, NoThreadOutlivesADownloadBrokenOff) {
    ASSERT_TRUE(OwnConsole());
    const struct {
        const wchar_t* scheme;
        const char* server;
        const wchar_t* path;
    } rows[] = {
        {L"http", "HTTP", L"/hang"},          {L"http", "HTTP", L"/stall/100"},
        {L"http", "HTTP", L"/slow"},          {L"http", "STUCK", L"/connecting"},
        {L"ftp", "FTP_PAUSED", L"/stalled.bin"}, {L"ftp", "STUCK", L"/connecting"},
    };
    for (const auto& row : rows) {
        const std::wstring url = ServerUrl(row.scheme, row.server, row.path);
        Session session;
        ASSERT_TRUE(session.Load());
        CommandRun run = RunCommand(session, url, "", 300);
        EXPECT_EQ(run.result, 3) << Narrow(url);
        EXPECT_TRUE(run.sinceBreakMs >= 0 && run.sinceBreakMs < 1000) << Narrow(url) << ": " << run.sinceBreakMs;
        EXPECT_EQ(AwaitPluginThreads(session.plugin, 1000), 0) << Narrow(url);
        EXPECT_TRUE(session.Unload(0)) << Narrow(url) << ": the plug-in is still loaded after its thread ended";
    }
}

// Nothing grows from one command to the next: not a download (the library
// keeps its connection for the next request, then lets it go), not a plug-in
// shut down, unloaded and loaded again after each command (the C++ runtime
// sets a block aside at every load).
TEST(LongLivedHost, NothingGrowsFromCommandToCommand) {
    const struct {
        const wchar_t* path;
        bool reload;
    } rows[] = {{L"/bytes/12", false}, {L"/redirect", false}, {L"/bytes/12", true}};
    for (const auto& row : rows) {
        Session session;
        ASSERT_TRUE(session.Load());
        const std::wstring url = ServerUrl(L"http", "HTTP", row.path);
        auto commands = [&](int n) {
            for (int i = 0; i < n; ++i) {
                RunCommand(session, url);
                if (row.reload) {
                    ASSERT_TRUE(session.Unload());
                    ASSERT_TRUE(session.Load());
                }
            }
        };
        commands(10);
        const Holdings before = Measure(session.plugin);
        commands(50);
        const Holdings after = Measure(session.plugin);
        EXPECT_LE(after.heapBlocks, before.heapBlocks + 5) << Narrow(row.path) << (row.reload ? " reloaded" : "");
        EXPECT_LE(after.heapBytes, before.heapBytes + 16384) << Narrow(row.path) << (row.reload ? " reloaded" : "");
        EXPECT_LE(after.handles, before.handles + 2) << Narrow(row.path) << (row.reload ? " reloaded" : "");
        EXPECT_TRUE(session.Unload());
    }
}

}  // namespace
