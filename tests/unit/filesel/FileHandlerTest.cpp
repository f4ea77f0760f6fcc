// The enumeration driver against real directory trees: what the callback is
// given, in which order, the results and the messages.
#include "FileSelTestUtil.h"
#include "filesel/FileSelInternal.h"
#include "plugin/Plugin.h"
#include <chrono>

namespace {

using Names = std::vector<std::wstring>;

class FileHandlerTest : public ::testing::Test {
protected:
    TempTree tree;
    Recorder recorder;
    void SetUp() override {
        recorder.root = tree.root;
        for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.log", L"d1.dat", L"d2.dat", L"e.dat", L"sub\\f.txt",
                                    L"sub\\g.log", L"sub\\deep\\h.txt", L"other\\i.txt"})
            tree.File(name);
    }
    Captured Run(const std::wstring& relative, uint32_t flags = CommandFlags, int32_t minDepth = 0,
                 int32_t maxDepth = -1) {
        return Walk(recorder, tree.Path(relative), flags, minDepth, maxDepth);
    }
};

TEST_F(FileHandlerTest, MatchesWildcardsAndBracketSets) {
    struct Case {
        const wchar_t* pattern;
        Names expected;
    } cases[] = {
        {L"*.txt", {L"a.txt", L"b.txt"}},
        {L"d[12].dat", {L"d1.dat", L"d2.dat"}},
        {L"[!d]*.*", {L"a.txt", L"b.txt", L"c.log", L"e.dat"}},
        {L"?.dat", {L"e.dat"}},
        {L"B.TXT", {L"b.txt"}},
        {L"*.txt;*.log", {L"a.txt", L"b.txt", L"c.log"}},
        {L"e.dat;*.txt;nothing", {L"a.txt", L"b.txt", L"e.dat"}},
    };
    for (const Case& c : cases) {
        recorder.names.clear();
        Captured out = Run(c.pattern);
        EXPECT_EQ(0, out.result) << Narrow(c.pattern);
        EXPECT_EQ(c.expected, recorder.Sorted()) << Narrow(c.pattern);
        EXPECT_EQ(L"", out.err);
    }
    // The callback's values arrive unchanged.
    ASSERT_FALSE(recorder.flags.empty());
    EXPECT_EQ(0x1234u, recorder.flags[0]);
}

TEST_F(FileHandlerTest, AlternativesNeedTheirFlag) {
    Captured out = Run(L"*.txt;*.log", CommandFlags & ~FH_ALTERNATIVES);
    EXPECT_EQ(1, out.result);
    EXPECT_TRUE(recorder.names.empty());
    EXPECT_EQ(Prefixed(L"No matching files: \"" + tree.Path(L"*.txt;*.log") + L"\"\r\n"), out.err);
}

TEST_F(FileHandlerTest, SemicolonsInDirectoryNamesStayOrdinary) {
    tree.File(L"x;y\\j.txt");
    tree.File(L"x;y\\k.log");
    Captured out = Run(L"x;y\\*.log;*.txt");
    EXPECT_EQ(0, out.result);
    EXPECT_EQ((Names{L"x;y\\j.txt", L"x;y\\k.log"}), recorder.Sorted());
}

TEST_F(FileHandlerTest, RecursesWithAlternativesInEverySubdirectory) {
    Captured out = Run(L"*.txt;*.log", CommandFlags | FH_RECURSE);
    EXPECT_EQ(0, out.result);
    EXPECT_EQ((Names{L"a.txt", L"b.txt", L"c.log", L"other\\i.txt", L"sub\\deep\\h.txt", L"sub\\f.txt",
                     L"sub\\g.log"}),
              recorder.Sorted());
    // Files of a directory come before those of its subdirectories...
    EXPECT_LT(recorder.IndexOf(L"a.txt"), recorder.IndexOf(L"sub\\f.txt"));
    EXPECT_LT(recorder.IndexOf(L"sub\\f.txt"), recorder.IndexOf(L"sub\\deep\\h.txt"));

    // ...and after them with the subdirectories first.
    recorder.names.clear();
    out = Run(L"*.txt;*.log", CommandFlags | FH_RECURSE | FH_DIRS_FIRST);
    EXPECT_EQ(7u, recorder.names.size());
    EXPECT_GT(recorder.IndexOf(L"a.txt"), recorder.IndexOf(L"sub\\f.txt"));
    EXPECT_GT(recorder.IndexOf(L"sub\\f.txt"), recorder.IndexOf(L"sub\\deep\\h.txt"));
    EXPECT_GT(recorder.IndexOf(L"c.log"), recorder.IndexOf(L"other\\i.txt"));
}

// A folder is listed once: the subfolders met while its files are chosen are
// kept for the step into them, and records that outgrow their bound send the
// walk back to a second listing. Either way the walk is the same.
TEST_F(FileHandlerTest, SubfoldersKeptOrListedAgainGiveTheSameWalk) {
    const size_t saved = MaxSubfolderUnits;
    Names first;
    // The records of "other" and "sub" take 14 units, that of "deep" 7.
    for (size_t bound : {size_t(1) << 20, size_t(14), size_t(13), size_t(7), size_t(6), size_t(0)}) {
        MaxSubfolderUnits = bound;
        recorder.names.clear();
        Captured out = Run(L"*", CommandFlags | FH_RECURSE);
        EXPECT_EQ(0, out.result) << bound;
        EXPECT_EQ(L"", out.err) << bound;
        if (first.empty())
            first = recorder.names;
        else
            EXPECT_EQ(first, recorder.names) << bound;
    }
    MaxSubfolderUnits = saved;
    EXPECT_EQ(10u, first.size());
}

TEST_F(FileHandlerTest, HonoursTheDepthLimits) {
    struct Case {
        int32_t minDepth, maxDepth;
        Names expected;
    } cases[] = {
        {1, -1, {L"other\\i.txt", L"sub\\deep\\h.txt", L"sub\\f.txt"}},
        {2, -1, {L"sub\\deep\\h.txt"}},
        {0, 0, {L"a.txt", L"b.txt"}},
        {0, 1, {L"a.txt", L"b.txt", L"other\\i.txt", L"sub\\f.txt"}},
        {1, 1, {L"other\\i.txt", L"sub\\f.txt"}},
    };
    for (const Case& c : cases) {
        recorder.names.clear();
        Captured out = Run(L"*.txt", CommandFlags | FH_RECURSE, c.minDepth, c.maxDepth);
        EXPECT_EQ(0, out.result) << c.minDepth << "," << c.maxDepth;
        EXPECT_EQ(c.expected, recorder.Sorted()) << c.minDepth << "," << c.maxDepth;
    }
    // Without recursion the depth limits do not open subdirectories.
    recorder.names.clear();
    EXPECT_EQ(0, Run(L"*.txt", CommandFlags, 0, 5).result);
    EXPECT_EQ((Names{L"a.txt", L"b.txt"}), recorder.Sorted());
}

TEST_F(FileHandlerTest, SkipsHiddenAndSystemDirectoriesOnRequest) {
    tree.File(L"hid\\m.txt");
    tree.File(L"sys\\n.txt");
    SetFileAttributesW(tree.Path(L"hid").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW(tree.Path(L"sys").c_str(), FILE_ATTRIBUTE_SYSTEM);
    DWORD hidden = GetFileAttributesW(tree.Path(L"hid").c_str());
    DWORD system = GetFileAttributesW(tree.Path(L"sys").c_str());
    if (!(hidden & FILE_ATTRIBUTE_HIDDEN) || !(system & FILE_ATTRIBUTE_SYSTEM))
        GTEST_SKIP() << "this file system keeps no hidden or system attribute";

    struct Case {
        uint32_t flags;
        bool hid, sys;
    } cases[] = {
        {0, true, true},
        {FH_SKIP_HIDDEN_DIRS, false, true},
        {FH_SKIP_SYSTEM_DIRS, true, false},
        {FH_SKIP_HIDDEN_DIRS | FH_SKIP_SYSTEM_DIRS, false, false},
    };
    for (const Case& c : cases) {
        recorder.names.clear();
        EXPECT_EQ(0, Run(L"*.txt", CommandFlags | FH_RECURSE | c.flags).result);
        Names sorted = recorder.Sorted();
        EXPECT_EQ(c.hid, std::count(sorted.begin(), sorted.end(), L"hid\\m.txt") == 1) << c.flags;
        EXPECT_EQ(c.sys, std::count(sorted.begin(), sorted.end(), L"sys\\n.txt") == 1) << c.flags;
        EXPECT_EQ(1, std::count(sorted.begin(), sorted.end(), L"sub\\f.txt"));
    }
}

TEST_F(FileHandlerTest, SkipsJunctionsOnRequest) {
    if (!CreateSymbolicLinkW(tree.Path(L"link").c_str(), tree.Path(L"other").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        GTEST_SKIP() << "no directory links here";
    DWORD attributes = GetFileAttributesW(tree.Path(L"link").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        GTEST_SKIP() << "directory links are not reparse points here";
    EXPECT_EQ(0, Run(L"i.txt", CommandFlags | FH_RECURSE).result);
    EXPECT_EQ((Names{L"link\\i.txt", L"other\\i.txt"}), recorder.Sorted());
    recorder.names.clear();
    EXPECT_EQ(0, Run(L"i.txt", CommandFlags | FH_RECURSE | FH_SKIP_JUNCTIONS).result);
    EXPECT_EQ((Names{L"other\\i.txt"}), recorder.Sorted());
}

TEST_F(FileHandlerTest, PassesDirectoriesAndDotsOnlyWhenAsked) {
    tree.Dir(L"dir.txt");
    EXPECT_EQ(0, Run(L"*.txt").result);
    EXPECT_EQ((Names{L"a.txt", L"b.txt"}), recorder.Sorted());

    recorder.names.clear();  // no attribute test: directories too, but never "." and ".."
    EXPECT_EQ(0, Walk(recorder, tree.Path(L"*"), CommandFlags, 0, -1, 0, 0).result);
    Names all = recorder.Sorted();
    EXPECT_EQ(1, std::count(all.begin(), all.end(), L"dir.txt"));
    EXPECT_EQ(1, std::count(all.begin(), all.end(), L"sub"));
    EXPECT_EQ(0, std::count(all.begin(), all.end(), L"."));

    recorder.names.clear();
    EXPECT_EQ(0, Walk(recorder, tree.Path(L".*"), CommandFlags | FH_MATCH_DOTS, 0, -1, 0, 0).result);
    EXPECT_EQ((Names{L".", L".."}), recorder.Sorted());

    recorder.names.clear();  // only directories
    EXPECT_EQ(0, Walk(recorder, tree.Path(L"*"), CommandFlags, 0, -1, FILE_ATTRIBUTE_DIRECTORY,
                      FILE_ATTRIBUTE_DIRECTORY)
                     .result);
    EXPECT_EQ((Names{L"dir.txt", L"other", L"sub"}), recorder.Sorted());
}

TEST_F(FileHandlerTest, ReportsNoMatchOnceWithTheResolvedSpecification) {
    CurrentDirectory cwd(tree.root);
    Captured out = Walk(recorder, L"sub/*.none", CommandFlags | FH_RECURSE);
    EXPECT_EQ(1, out.result);
    EXPECT_TRUE(recorder.names.empty());
    EXPECT_EQ(Prefixed(L"No matching files: \"" + tree.Path(L"sub\\*.none") + L"\"\r\n"), out.err);

    out = Walk(recorder, L"*.none", CommandFlags | FH_QUIET);
    EXPECT_EQ(1, out.result);
    EXPECT_EQ(L"", out.err);

    // Subdirectories without matches are quiet and leave the result alone.
    out = Walk(recorder, L"a.txt", CommandFlags | FH_RECURSE);
    EXPECT_EQ(0, out.result);
    EXPECT_EQ(L"", out.err);
    EXPECT_EQ((Names{L"a.txt"}), recorder.names);
}

TEST_F(FileHandlerTest, ReportsASearchError) {
    Captured out = Run(L"nosuchdir\\*.txt");
    EXPECT_EQ(-1, out.result);
    wchar_t text[1024];
    SystemErrorText(ERROR_PATH_NOT_FOUND, text);
    EXPECT_EQ(Prefixed(L"Error matching \"" + tree.Path(L"nosuchdir\\*.txt") + L"\" :\r\n   " + text + L"\r\n"),
              out.err);
}

TEST_F(FileHandlerTest, KeepsTheLastFailureAndGoesOn) {
    recorder.results[L"b.txt"] = 7;
    recorder.results[L"sub\\f.txt"] = -1;
    Captured out = Run(L"*.txt", CommandFlags | FH_RECURSE);
    EXPECT_EQ(5u, recorder.names.size());  // every file is still handed over
    // The subdirectory's failure is searched after the level's own files.
    EXPECT_EQ(-1, out.result);

    recorder.names.clear();
    recorder.results.clear();
    recorder.results[L"a.txt"] = 2;
    EXPECT_EQ(2, Run(L"a.txt").result);

    // A failure found only below still counts, and no "No matching files".
    recorder.results.clear();
    recorder.results[L"sub\\deep\\h.txt"] = 3;
    out = Run(L"h.txt", CommandFlags | FH_RECURSE);
    EXPECT_EQ(3, out.result);
    EXPECT_EQ(L"", out.err);
}

TEST_F(FileHandlerTest, StopsAtOnceOnABreak) {
    recorder.results[L"sub\\f.txt"] = -3;
    Captured out = Run(L"*.txt", CommandFlags | FH_RECURSE | FH_DIRS_FIRST);
    EXPECT_EQ(-3, out.result);
    EXPECT_EQ(L"sub\\f.txt", recorder.names.back());
    EXPECT_EQ(0, std::count(recorder.names.begin(), recorder.names.end(), L"a.txt"));
    EXPECT_EQ(L"", out.err);
}

// The dump clears a break when it starts an input, so a break that comes
// between two files (or after the last) is seen by the walk itself.
TEST_F(FileHandlerTest, ABreakBetweenFilesEndsTheWalkOrList) {
    tree.File(L"list.lst", "a.txt\r\nb.txt\r\n");
    struct Case {
        const wchar_t* spec;
        Names passedOn;
    } cases[] = {
        {L"*.txt", {L"a.txt"}},
        {L"@list.lst", {L"a.txt"}},
        {L"e.dat", {L"e.dat"}},  // after the last file
    };
    CurrentDirectory here(tree.root);
    for (const Case& c : cases) {
        recorder.names.clear();
        recorder.onCall = [](const std::wstring&) { BreakRequested = 1; };
        Captured out = Walk(recorder, c.spec, CommandFlags);
        BreakRequested = 0;
        EXPECT_EQ(-3, out.result) << Narrow(c.spec);
        EXPECT_EQ(c.passedOn, recorder.names) << Narrow(c.spec);
    }
}

// An open directory search keeps others from opening the directory for
// deletion; that shows which searches are still open.
bool OpenableForDelete(const std::wstring& directory) {
    HANDLE h = CreateFileW(directory.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

TEST_F(FileHandlerTest, ClosesEverySearchAlsoWhenStopped) {
    const Names levels{L"", L"sub", L"sub\\deep"};
    std::vector<bool> openDuringWalk;
    recorder.results[L"sub\\deep\\h.txt"] = -3;
    recorder.onCall = [&](const std::wstring& name) {
        if (name != L"sub\\deep\\h.txt") return;
        for (const std::wstring& level : levels) openDuringWalk.push_back(!OpenableForDelete(tree.Path(level)));
    };
    EXPECT_EQ(-3, Run(L"*.txt", CommandFlags | FH_RECURSE | FH_DIRS_FIRST).result);
    ASSERT_EQ(3u, openDuringWalk.size());
    if (openDuringWalk != std::vector<bool>{true, true, true})
        GTEST_SKIP() << "open searches do not lock their directories here";
    for (const std::wstring& level : levels) EXPECT_TRUE(OpenableForDelete(tree.Path(level))) << Narrow(level);

    // The same after a walk that ends normally or finds nothing.
    recorder.onCall = nullptr;
    recorder.results.clear();
    EXPECT_EQ(1, Run(L"*.none", CommandFlags | FH_RECURSE).result);
    EXPECT_EQ(0, Run(L"*", CommandFlags | FH_RECURSE).result);
    for (const std::wstring& level : levels) EXPECT_TRUE(OpenableForDelete(tree.Path(level))) << Narrow(level);
}

TEST_F(FileHandlerTest, ShieldsTheWalkFromACallbackThatThrows) {
    recorder.throwOn = L"a.txt";
    Captured out = Run(L"a.txt");
    EXPECT_EQ(-3, out.result);  // an exception stops the walk

    recorder.names.clear();
    out = Run(L"*.txt", CommandFlags | FH_RECURSE | FH_EXCEPTION_200);
    EXPECT_EQ(-200, out.result);  // counted as a failure; the walk goes on
    EXPECT_EQ(5u, recorder.names.size());

    // Also for names passed straight through.
    recorder.throwOn = L"clip:";
    EXPECT_EQ(-3, Walk(recorder, L"clip:", CommandFlags).result);
    EXPECT_EQ(-200, Walk(recorder, L"clip:", CommandFlags | FH_EXCEPTION_200).result);
    // The report goes to the console, never to the redirected streams.
    EXPECT_EQ(L"", out.err);
    EXPECT_EQ(L"", out.out);
}

TEST_F(FileHandlerTest, PassesSpecialNamesStraightThrough) {
    struct Case {
        const wchar_t* spec;
        uint32_t flag;
    } cases[] = {
        {L"clip:", FH_PASS_CLIPBOARD},
        {L"CLIP:", FH_PASS_CLIPBOARD},
        {L"-", FH_PASS_STDIN},
        {L"http://example.com/a*.bin", FH_PASS_URLS},
        {L"ftp://example.com/x", FH_PASS_URLS},
    };
    for (const Case& c : cases) {
        recorder.names.clear();
        recorder.results.clear();
        EXPECT_EQ(0, Walk(recorder, c.spec, c.flag).result) << Narrow(c.spec);
        EXPECT_EQ((Names{c.spec}), recorder.names);
        // Every failure becomes -1, a break included: the command goes on.
        // Only a break of an address (a long download) stops the run.
        for (int failure : {-3, 2, -1}) {
            recorder.results[c.spec] = failure;
            int expected = failure == -3 && c.flag == FH_PASS_URLS ? -3 : -1;
            EXPECT_EQ(expected, Walk(recorder, c.spec, c.flag).result) << Narrow(c.spec) << failure;
        }
    }
    // Without the flag "-" is an ordinary name.
    recorder.names.clear();
    CurrentDirectory cwd(tree.root);
    Captured out = Walk(recorder, L"-", 0);
    EXPECT_EQ(1, out.result);
    EXPECT_TRUE(recorder.names.empty());
    EXPECT_EQ(Prefixed(L"No matching files: \"" + tree.Path(L"-") + L"\"\r\n"), out.err);
}

// Unfinished bracket sets and empty alternatives name no file here: they
// end in "No matching files", never in a crash or a hang.
TEST_F(FileHandlerTest, OddPatternsMatchNothing) {
    for (const wchar_t* pattern : {L"*[", L"[", L"[]", L"[!]", L"[!", L"]", L"|", L";;", L"*[*"}) {
        recorder.names.clear();
        Captured out = Run(pattern, CommandFlags | FH_RECURSE);
        EXPECT_EQ(1, out.result) << Narrow(pattern);
        EXPECT_TRUE(recorder.names.empty()) << Narrow(pattern);
        EXPECT_EQ(0u, out.err.find(Prefixed(L"No matching files: \"" + tree.root + L"\\"))) << Narrow(out.err);
    }
}

TEST_F(FileHandlerTest, RefusesEmptyArguments) {
    EXPECT_EQ(-1, FileHandler(nullptr, 0, &recorder, Recorder::Callback, CommandFlags, DefaultMask, 0, nullptr, 0, -1));
    EXPECT_EQ(-1, FileHandler(L"", 0, &recorder, Recorder::Callback, CommandFlags, DefaultMask, 0, nullptr, 0, -1));
    EXPECT_EQ(-1, FileHandler(L"x", 0, &recorder, nullptr, CommandFlags, DefaultMask, 0, nullptr, 0, -1));
    EXPECT_TRUE(recorder.names.empty());
}

TEST_F(FileHandlerTest, GivesUpSpecificationsTooLongForAnyPath) {
    std::wstring spec = tree.Path(std::wstring(40000, L'x'));
    Captured out = Walk(recorder, spec, CommandFlags);
    EXPECT_EQ(1, out.result);
    EXPECT_EQ(Prefixed(L"No matching files: \"" + spec + L"\"\r\n"), out.err);
    out = Walk(recorder, spec, CommandFlags | FH_RESOLVED | FH_QUIET);
    EXPECT_EQ(1, out.result);
    EXPECT_EQ(L"", out.err);
    EXPECT_TRUE(recorder.names.empty());
}

TEST_F(FileHandlerTest, TakesAListOnlyWhenTheRulesSayItIsOne) {
    CurrentDirectory cwd(tree.root);
    tree.File(L"names.lst", "a.txt\r\nsub\\f.txt\r\n");
    tree.File(L"@both.lst", "");
    tree.File(L"both.lst", "a.txt\r\n");

    // The list is read: its names, resolved, without wildcard expansion.
    Captured out = Walk(recorder, L"@names.lst", CommandFlags);
    EXPECT_EQ(0, out.result);
    EXPECT_EQ((Names{L"a.txt", L"sub\\f.txt"}), recorder.names);

    // A file carries the whole argument: an ordinary name.
    recorder.names.clear();
    EXPECT_EQ(0, Walk(recorder, L"@both.lst", CommandFlags).result);
    EXPECT_EQ((Names{L"@both.lst"}), recorder.names);

    // Wildcards in the last component: always a pattern.
    recorder.names.clear();
    out = Walk(recorder, L"@name?.lst", CommandFlags);
    EXPECT_EQ(1, out.result);
    EXPECT_TRUE(recorder.names.empty());
    EXPECT_EQ(Prefixed(L"No matching files: \"" + tree.Path(L"@name?.lst") + L"\"\r\n"), out.err);
    recorder.names.clear();
    EXPECT_EQ(0, Walk(recorder, L"@bot*", CommandFlags).result);
    EXPECT_EQ((Names{L"@both.lst"}), recorder.names);

    // Without list files "@" is part of a name.
    recorder.names.clear();
    EXPECT_EQ(1, Walk(recorder, L"@names.lst", CommandFlags & ~FH_LIST_FILES).result);
    EXPECT_TRUE(recorder.names.empty());
}

TEST_F(FileHandlerTest, UsesTheLongPathFormBeyondTheLimit) {
    // A directory part of 100 characters with a name of 200: left alone.
    std::wstring shortDirectory(100 - tree.root.size() - 1, L's');
    std::wstring longName(200, L'n');
    tree.File(shortDirectory + L"\\" + longName);
    EXPECT_EQ(0, Run(shortDirectory + L"\\n*").result);
    ASSERT_EQ(1u, recorder.names.size());
    EXPECT_EQ(shortDirectory + L"\\" + longName, recorder.names[0]);

    // A directory part beyond 248 characters: every name gets "\\?\".
    std::wstring deep = std::wstring(120, L'a') + L"\\" + std::wstring(140, L'b');
    tree.File(deep + L"\\x.txt");
    recorder.names.clear();
    recorder.root = L"\\\\?\\" + tree.root;
    EXPECT_EQ(0, Run(L"x.txt", CommandFlags | FH_RECURSE).result);
    EXPECT_EQ((Names{deep + L"\\x.txt"}), recorder.names);
}

// The full tree of 20,000 files in 2,000 directories takes half a minute to
// build under Wine: BYTORA_FULL_SPEED=1 asks for it, else a tenth is walked.
TEST(FileHandlerSpeed, WalksALargeTree) {
    TempTree tree;
    wchar_t full[8];
    const int scale = GetEnvironmentVariableW(L"BYTORA_FULL_SPEED", full, 8) > 0 ? 10 : 1;
    const int directories = 200 * scale, filesEach = 10;
    for (int d = 0; d < directories; ++d) {
        std::wstring directory = tree.Path(L"d" + std::to_wstring(d / 100) + L"\\e" + std::to_wstring(d));
        tree.Dir(directory.substr(tree.root.size() + 1));
        for (int f = 0; f < filesEach; ++f)
            ASSERT_TRUE(WriteBytes(directory + L"\\f" + std::to_wstring(f) + L".bin", "x"));
    }
    Recorder recorder;
    auto start = std::chrono::steady_clock::now();
    Captured out = Walk(recorder, tree.Path(L"*.bin"), CommandFlags | FH_RECURSE);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(0, out.result);
    EXPECT_EQ(static_cast<size_t>(directories * filesEach), recorder.names.size());
    printf("[ timing ] %d files in %d directories: %.3f s\n", directories * filesEach,
           directories + (directories + 99) / 100, seconds);
    EXPECT_LT(seconds, 3.0 * scale);
}

}  // namespace

namespace {

int ThrowingCallback(const wchar_t*, uint32_t, void*) { throw 1; }

// Reads one row of the console screen, trailing blanks removed.
std::wstring ScreenRow(HANDLE console, SHORT row, WORD* firstAttribute) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    GetConsoleScreenBufferInfo(console, &info);
    wchar_t text[1024];
    DWORD got = 0;
    ReadConsoleOutputCharacterW(console, text, std::min<DWORD>(info.dwSize.X, 1024), COORD{0, row}, &got);
    std::wstring line(text, got);
    line.erase(line.find_last_not_of(L' ') + 1);
    DWORD attributesRead = 0;
    ReadConsoleOutputAttribute(console, firstAttribute, 1, COORD{0, row}, &attributesRead);
    return line;
}

// Runs where the test has a console of its own (a terminal, tmux); CTest
// gives it none, and then the test is skipped.
TEST(ExceptionReport, IsWrittenOnTheConsoleInAVisibleColour) {
    HANDLE console = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info) || info.dwSize.X < 80) {
        if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
        GTEST_SKIP() << "no console to read back";
    }
    DWORD written = 0;
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * 6;
    FillConsoleOutputCharacterW(console, L' ', cells, COORD{0, 0}, &written);
    FillConsoleOutputAttribute(console, 0x07, cells, COORD{0, 0}, &written);
    SetConsoleTextAttribute(console, 0x07);
    SetConsoleCursorPosition(console, COORD{0, 0});

    int result = FileHandler(L"clip:", 0xBEEF, nullptr, ThrowingCallback, FH_PASS_CLIPBOARD, DefaultMask, 0, nullptr,
                             0, -1);
    EXPECT_EQ(-3, result);

    WORD attribute = 0;
    EXPECT_EQ(L"", ScreenRow(console, 0, &attribute));
    EXPECT_EQ(L"\u2022  EXCEPTION in FileHandler():   Filename = \"clip:\"   Flags = 0xBEEF",
              ScreenRow(console, 1, &attribute));
    EXPECT_EQ(0x0F, attribute);  // grey on black becomes bright white
    EXPECT_EQ(L"   RETURNING :  -3", ScreenRow(console, 2, &attribute));
    EXPECT_EQ(L"", ScreenRow(console, 3, &attribute));
    CONSOLE_SCREEN_BUFFER_INFO after;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &after));
    EXPECT_EQ(4, after.dwCursorPosition.Y);
    EXPECT_EQ(0, after.dwCursorPosition.X);
    EXPECT_EQ(0x07, after.wAttributes);  // put back
    CloseHandle(console);
}

}  // namespace
