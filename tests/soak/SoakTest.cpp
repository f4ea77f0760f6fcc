// Many commands of every kind in one process, as the host runs them: after
// every command no thread of the plug-in runs and no temporary file is left;
// after every hundred the handles, threads and heap are where they were after
// the first hundred; a sample gives exactly what a fresh process gives; and
// the plug-in is shut down, unloaded and loaded again along the way, also
// right after a command broken off with Ctrl-C.
// Once in every thousand commands (from the 151st) a download times out.
// BYTORA_SOAK_COMMANDS sets the number of commands (default 300);
// BYTORA_SOAK_ONLY=name runs only the commands of that kind (to find which
// kind makes something grow).
#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <vector>
#include "Session.h"
#include "TestSupport.h"

namespace {

// Growth allowed after the first hundred commands: the internet library
// keeps a connection or a thread for a few seconds, and the host's caches
// hold the last names it was asked for.
constexpr long HandleSlack = 12, ThreadSlack = 3, BlockSlack = 40;
constexpr long long ByteSlack = 256 * 1024;
// And every hundred besides: Wine's internet library keeps a record of 152
// bytes for good of every connection it closes rather than keeps (a request
// that is freed does not free the connection it closed), which it does for
// every download given up with its body still coming (eight in a hundred
// here) and for the time-out; a 404 whose short body had not all arrived when
// it was closed would add one.
constexpr long LibraryRecords = 15;
constexpr long long LibraryRecordBytes = 152;

struct Kind {
    const char* name;
    std::wstring tail;
    std::string stdinBytes = "";
    DWORD breakAfterMs = 0;  // Ctrl-C this long into the call
    bool endless = false;    // standard input never ends
    bool compare = true;     // against a fresh process
    long limitMs = 0;        // the call must end within this of its start, or of its Ctrl-C (0: no limit)
};

std::vector<Kind> Kinds(const Fixture& f) {
    const std::wstring d = L"\"" + f.dir + L"\\";
    return {
        {"file", L"/HH " + d + L"a.bin\""},
        {"walk with totals", L"/S /I " + d + L"tree\\*\""},
        {"list", L"@" + d + L"list.txt\""},
        {"pipe", L"/H", "piped text\r\nsecond line\r\n"},
        {"clipboard", L"/HH CLIP:"},
        {"download", L"/HH " + ServerUrl(L"http", "HTTP", L"/text.txt")},
        {"download 404", ServerUrl(L"http", "HTTP", L"/missing")},
        {"ftp download", L"/I " + ServerUrl(L"ftp", "FTP", L"/sub/file.txt")},
        {"bad option", L"/F:Z " + d + L"a.bin\""},
        {"range filter", L"/[S1,200] " + d + L"tree\\*\""},
        {"missing file", d + L"none.bin\""},
        {"download broken off", ServerUrl(L"http", "HTTP", L"/slow"), "", 300, false, false, 1000},
        {"endless 404", ServerUrl(L"http", "ENDLESS", L"/endless/404"), "", 0, false, false, 1000},
        {"pipe broken off", L"", "never ends", 300, true, false, 1000},
        {"paged", L"/P:1 " + d + L"a.bin\""},
        {"redirect", ServerUrl(L"http", "HTTP", L"/redirect")},
        {"unix style", L"/U /X " + d + L"a.bin\""},
        {"large download", L"/HH /I /C:-64 " + ServerUrl(L"http", "HTTP", L"/bytes/300000")},
        {"chunked download", ServerUrl(L"http", "HTTP", L"/chunked/whole")},
        {"usage", L"/?"},
        {"walk of many files", L"/S " + d + L"many\\*\""},
        {"description filter", L"/S /I:*x* " + d + L"tree\\*\""},
        {"connect broken off", ServerUrl(L"http", "STUCK", L"/"), "", 300, false, false, 1000},
        {"ftp broken off", ServerUrl(L"ftp", "FTP_PAUSED", L"/stalled.bin"), "", 300, false, false, 1000},
        {"ftp connect broken off", ServerUrl(L"ftp", "STUCK", L"/file"), "", 300, false, false, 1000},
    };
}

std::string Shown(const Holdings& h) {
    char text[200];
    snprintf(text, sizeof text, "handles %ld, threads %ld, heap %ld blocks / %lld bytes, temp files %ld", h.handles,
             h.threads, h.heapBlocks, h.heapBytes, h.tempFiles);
    return text;
}

TEST(Soak, ManyCommandsInOneProcessLeaveNothingBehind) {
    ASSERT_TRUE(OwnConsole()) << "no console for Ctrl-C";
    const char* setting = getenv("BYTORA_SOAK_COMMANDS");
    const int total = setting ? atoi(setting) : 300;
    Fixture fixture;
    ASSERT_TRUE(fixture.Build());
    // A temporary folder of the soak's own: other tests running beside it
    // leave theirs in the shared one.
    const std::wstring temp = fixture.dir + L"\\temp";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    ScopedEnvs ownTemp{{L"TMP", temp.c_str()}, {L"TEMP", temp.c_str()}};
    std::vector<Kind> kinds = Kinds(fixture);
    if (const char* only = getenv("BYTORA_SOAK_ONLY")) {
        std::erase_if(kinds, [&](const Kind& k) { return std::string(k.name) != only; });
        ASSERT_FALSE(kinds.empty()) << "no kind " << only;
    }
    ASSERT_EQ(100 % kinds.size(), 0u) << "every hundred runs the same commands";
    std::vector<int> results(kinds.size(), -1000);

    Session session;
    ASSERT_TRUE(session.Load());
    Holdings base{};
    int failures = 0;
    const DWORD started = GetTickCount();
    for (int i = 0; i < total && failures < 20; ++i) {
        const Kind& k = kinds[i % kinds.size()];
        const int round = i / static_cast<int>(kinds.size());
        const std::string what = std::string(k.name) + " (command " + std::to_string(i) + ")";
        auto onTime = [&](const CommandRun& r) {
            const long ms = k.breakAfterMs ? r.sinceBreakMs : static_cast<long>(r.ms);
            return !k.limitMs || (ms >= 0 && ms < k.limitMs);
        };
        CommandRun run = RunCommand(session, k.tail, k.stdinBytes, k.breakAfterMs, k.endless);
        // A stall of the machine (a second, once in a few thousand calls
        // here) can make one call late: a late one is made once more, and
        // only a second late one fails.
        if (!onTime(run)) {
            printf("note: %s was late (%lu ms; %ld ms after its Ctrl-C reached the process); made once more\n",
                   what.c_str(), run.ms, run.sinceBreakMs);
            run = RunCommand(session, k.tail, k.stdinBytes, k.breakAfterMs, k.endless);
        }
        bool ok = onTime(run);
        EXPECT_TRUE(ok) << what << ": " << run.ms << " ms, " << run.sinceBreakMs
                        << " ms after the Ctrl-C reached the process";
        if (k.breakAfterMs) {
            ok &= run.result == 3;
            EXPECT_EQ(run.result, 3) << what;
        }
        // Every run of a kind ends as its first did; the first and every
        // fifth round ends as a fresh process does.
        if (results[i % kinds.size()] == -1000) results[i % kinds.size()] = run.result;
        ok &= run.result == results[i % kinds.size()];
        EXPECT_EQ(run.result, results[i % kinds.size()]) << what << "\n" << run.err;
        if (k.compare && round % 5 == 0) {
            ChildResult fresh = RunBytora(k.tail, k.stdinBytes);
            ok &= fresh.out == run.out && fresh.err == run.err && static_cast<int>(fresh.exitCode) == run.result;
            EXPECT_EQ(run.out, fresh.out) << what;
            EXPECT_EQ(run.err, fresh.err) << what;
            EXPECT_EQ(run.result, static_cast<int>(fresh.exitCode)) << what;
        }
        const long running = AwaitPluginThreads(session.plugin, 1000);
        ok &= running == 0;
        EXPECT_EQ(running, 0) << what << ": threads of the plug-in still run a second after it returned";
        const long temp = Measure(session.plugin).tempFiles;
        ok &= temp == 0;
        EXPECT_EQ(temp, 0) << what << ": temporary files left";
        // Shut down and unloaded after a command broken off, and loaded again.
        if (k.breakAfterMs && round % 5 == 4) {
            ok &= session.Unload();
            EXPECT_FALSE(session.plugin) << what;
            ASSERT_TRUE(session.Load()) << what;
        }
        // Once in every thousand, a download from a server that never
        // answers: it times out (the command has no shorter limit).
        if (i % 1000 == 150) {
            CommandRun late = RunCommand(session, ServerUrl(L"http", "HTTP", L"/hang"));
            const bool timedOut = late.result == 2 && late.ms >= 29000 && late.ms < 32000 &&
                                  late.err.find("timed out") != std::string::npos;
            EXPECT_TRUE(timedOut) << "time-out after command " << i << ": " << late.result << " after " << late.ms
                                  << " ms\n" << late.err;
            const long left = AwaitPluginThreads(session.plugin, 1000) + Measure(session.plugin).tempFiles;
            EXPECT_EQ(left, 0) << "threads or temporary files left after the time-out";
            ok &= timedOut && left == 0;
        }
        failures += !ok;
        if ((i + 1) % 100 == 0) {
            const Holdings now = Measure(session.plugin);
            printf("after %d commands (%.1f s): %s\n", i + 1, (GetTickCount() - started) / 1000.0, Shown(now).c_str());
            fflush(stdout);
            if (i + 1 == 100) {
                base = now;  // the warm-up: caches and the library's pools are filled
                continue;
            }
            EXPECT_LE(now.handles, base.handles + HandleSlack) << Shown(base);
            EXPECT_LE(now.threads, base.threads + ThreadSlack) << Shown(base);
            const long hundreds = (i + 1) / 100 - 1;
            EXPECT_LE(now.heapBlocks, base.heapBlocks + BlockSlack + hundreds * LibraryRecords) << Shown(base);
            EXPECT_LE(now.heapBytes, base.heapBytes + ByteSlack + hundreds * LibraryRecords * LibraryRecordBytes)
                << Shown(base);
        }
    }
    EXPECT_TRUE(session.Unload());
    printf("%d commands in %.1f s\n", total, (GetTickCount() - started) / 1000.0);
}

}  // namespace
