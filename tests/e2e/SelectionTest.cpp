// bytora.exe with the file-selection options on a real tree: which files get
// a header ("/H"), the exit code and the messages.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "TestSupport.h"
#include "filesel/FileSel.h"
#include "plugin/HostServices.h"

namespace {

using Names = std::vector<std::string>;

// UTC file times, so that a child run with TZ set sees known local times.
FILETIME Utc(WORD y, WORD mo, WORD d, WORD h, WORD mi) {
    SYSTEMTIME st{y, mo, 0, d, h, mi, 0, 0};
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

struct Tree {
    std::wstring root;
    Tree() {
        std::wstring made = MakeTempDir();
        std::vector<wchar_t> full(32768);
        QueryTrueName(made.c_str(), full.data());
        root = full.data();
        // level 0                          level 1                    level 2
        File(L"big.bin", 1500);              File(L"sub\\b2.bin", 1024); File(L"sub\\deep\\c.bin", 2000);
        File(L"small.bin", 3);               File(L"sub\\empty.bin", 0);
        File(L"hid.bin", 1, FILE_ATTRIBUTE_HIDDEN);
        File(L"ro.bin", 1, FILE_ATTRIBUTE_READONLY);
        File(L"rohid.bin", 1, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        File(L"hdir\\h.bin", 1);             File(L"sdir\\s.bin", 1);
        SetFileAttributesW((root + L"\\hdir").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
        SetFileAttributesW((root + L"\\sdir").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
    }
    ~Tree() {
        for (const wchar_t* name : {L"ro.bin", L"rohid.bin"}) SetFileAttributesW((root + L"\\" + name).c_str(), 0);
        RemoveTree(root);
    }
    void File(const std::wstring& relative, size_t size, DWORD attributes = 0) const {
        size_t slash = relative.rfind(L'\\');
        if (slash != std::wstring::npos) {
            CreateDirectoryW((root + L"\\" + relative.substr(0, relative.find(L'\\'))).c_str(), nullptr);
            CreateDirectoryW((root + L"\\" + relative.substr(0, slash)).c_str(), nullptr);
        }
        WriteBytes(root + L"\\" + relative, std::string(size, 'x'));
        if (attributes) SetFileAttributesW((root + L"\\" + relative).c_str(), attributes);
    }
    // The header names of a "/H" run, relative to the root, sorted.
    Names Headers(const std::string& out) const {
        Names names;
        const std::string open = "File \xE2\x80\x9C" + Narrow(root) + "\\", close = "\xE2\x80\x9D";
        for (size_t at = out.find(open); at != std::string::npos; at = out.find(open, at + 1)) {
            size_t start = at + open.size(), end = out.find(close, start);
            names.push_back(out.substr(start, end - start));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    ChildResult Run(const std::wstring& options, const std::wstring& pattern = L"*.bin",
                    const std::vector<std::pair<std::wstring, std::wstring>>& env = {}) const {
        return RunBytora(L"/H " + options + L" \"" + root + L"\\" + pattern + L"\"", "", env);
    }
};

TEST(Selection, DepthsAttributesAndSkippedDirectories) {
    Tree tree;
    const std::string h = "hdir\\h.bin", s = "sdir\\s.bin";
    struct Row {
        const wchar_t* options;
        Names files;
    } rows[] = {
        {L"/S /[S1K]", {"big.bin", "sub\\b2.bin", "sub\\deep\\c.bin"}},
        {L"/S1", {"big.bin", h, "hid.bin", "ro.bin", "rohid.bin", s, "small.bin", "sub\\b2.bin", "sub\\empty.bin"}},
        {L"/S+1", {h, s, "sub\\b2.bin", "sub\\deep\\c.bin", "sub\\empty.bin"}},
        {L"/S1+1", {h, s, "sub\\b2.bin", "sub\\empty.bin"}},
        {L"/S+1 /N:DZ", {"sub\\b2.bin", "sub\\deep\\c.bin", "sub\\empty.bin"}},
        {L"/S+1 /N:D", {s, "sub\\b2.bin", "sub\\deep\\c.bin", "sub\\empty.bin"}},
        {L"/A:H", {"hid.bin", "rohid.bin"}},
        {L"/A:-H", {"big.bin", "ro.bin", "small.bin"}},
        {L"/A:RH", {"rohid.bin"}},
        {L"/A:H /A:R-H", {"ro.bin"}},
        {L"/S /[S0,0]", {"sub\\empty.bin"}},
        {L"/S1 /![S0,0] /[S,3]", {h, "hid.bin", "ro.bin", "rohid.bin", s, "small.bin"}},
        {L"/S /[S1K] /[!big*]", {"sub\\b2.bin", "sub\\deep\\c.bin"}},
    };
    for (const Row& row : rows) {
        ChildResult r = tree.Run(row.options);
        EXPECT_EQ(r.exitCode, 0u) << Narrow(row.options) << r.err;
        EXPECT_EQ(tree.Headers(r.out), row.files) << Narrow(row.options);
    }
    ChildResult none = tree.Run(L"/S /[S1M]");
    EXPECT_EQ(none.exitCode, 2u);
    EXPECT_EQ(none.err, "Bytora plugin: No matching files: \"" + Narrow(tree.root) + "\\*.bin\"\r\n");
    EXPECT_EQ(tree.Headers(none.out), Names{});
}

TEST(Selection, ABadOptionStopsBeforeAnythingIsDumped) {
    Tree tree;
    struct Row {
        const wchar_t* options;
        std::string message;
    } rows[] = {
        {L"/[T9:00,25:00]", "Bad time range: \"9:00,25:00]\""},
        {L"/a:d", "Directories not allowed: \"/A:D\""},
        {L"/S1+x", "Syntax error: \"/S1+X\""},
        {L"/[W:Mon-Xy]", "Bad day-of-the-week range: \":MON-XY]\""},
        {L"/!I", "Unknown option: \"/!I\""},
    };
    for (const Row& row : rows) {
        ChildResult r = tree.Run(row.options);
        EXPECT_EQ(r.exitCode, 1u) << Narrow(row.options);
        EXPECT_EQ(r.err, "Bytora plugin: " + row.message + "\r\n");
        EXPECT_EQ(r.out, "");
    }
    // The prefix names the batch file and line when the command runs in one.
    ChildResult batch = RunBytora(L"/[Q]", "", {{L"BYTORA_HOST_BATCH", L"1"}, {L"BYTORA_HOST_BATCHNAME", L"x.btm"},
                                                  {L"BYTORA_HOST_BATCHLINE", L"4"}});
    EXPECT_EQ(batch.err, "Bytora plugin: x.btm [4]  Unknown range type: \"/[Q]\"\r\n");
}

// Times are set in UTC and read by a child in the time zone UTC+2, which the
// test run gives the test and so the child (Wine takes the zone from TZ when
// a process starts). Wine keeps the write and access times it is given, not a
// creation time: that stamp is tested in-process.
TEST(Selection, DateTimeAndWeekdayRangesSeeLocalTime) {
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    if (zone.Bias != -120) GTEST_SKIP() << "needs TZ=<+02>-2, as CTest sets it";
    Tree tree;
    auto set = [&](const wchar_t* name, FILETIME write) {
        HANDLE f = CreateFileW((tree.root + L"\\" + name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        FILETIME access = Utc(2022, 3, 1, 9, 0);  // 11:00 on a Tuesday, local
        SetFileTime(f, nullptr, &access, &write);
        CloseHandle(f);
    };
    struct Row {
        const wchar_t* options;
        Names files;
    } rows[] = {
        {L"/[D2024-03-01,2024-03-01]", {}},
        {L"/[D2024-03-02@01:30,2024-03-02@01:30]", {"big.bin"}},
        {L"/[T1:30,1:30] /[D2024-01-01,2024-12-31]", {"big.bin"}},
        {L"/[D2024-01-01,2024-03-01] /[T14:00,14:00]", {"small.bin"}},
        {L"/[W:Sat] /[D2024-01-01,2024-12-31]", {"big.bin"}},
        {L"/[W:Fri] /[D2024-01-01,2024-12-31]", {}},
        {L"/[W:Mon] /[D2024-01-01,2024-01-01]", {"small.bin"}},
        {L"/[WA:Tue] /[TA:11:00,11:00] /[DA:2022-01-01,2022-12-31]", {"big.bin", "small.bin"}},
    };
    // Files not given a time carry today's, outside every date above. Reading
    // a file may move its access time, so the times are set before each run.
    for (const Row& row : rows) {
        set(L"big.bin", Utc(2024, 3, 1, 23, 30));   // 01:30 on Saturday 2 March, local
        set(L"small.bin", Utc(2024, 1, 1, 12, 0));  // 14:00 on Monday 1 January, local
        ChildResult r = tree.Run(row.options);
        EXPECT_EQ(tree.Headers(r.out), row.files) << Narrow(row.options) << r.err;
        EXPECT_EQ(r.exitCode, row.files.empty() ? 2u : 0u) << Narrow(row.options);
    }
}

TEST(Selection, ExclusionDescriptionAndOwnerFilters) {
    Tree tree;
    for (const wchar_t* name : {L"a.bak", L"b.tmp", L"c.txt", L"d.txt"}) tree.File(name, 1);
    WriteBytes(tree.root + L"\\descript.ion", "c.txt monthly report\r\nd.txt notes\r\n");
    std::vector<wchar_t> owner(16385);
    FileOwner((tree.root + L"\\c.txt").c_str(), owner.data());
    std::wstring own = owner.data();
    ASSERT_NE(own.find(L'\\'), std::wstring::npos) << Narrow(own);
    struct Row {
        std::wstring options;
        const wchar_t* pattern;
        Names files;
    } rows[] = {
        {L"/[!*.bak \"*.t p\" *.tmp]", L"?.*", {"c.txt", "d.txt"}},
        {L"/I:*report*", L"*.txt", {"c.txt"}},
        {L"/!I:*report*", L"*.txt", {"d.txt"}},
        {L"\"/[I:*monthly report]\"", L"*.txt", {"c.txt"}},
        {L"\"/[O:" + own + L"]\"", L"*.txt", {"c.txt", "d.txt"}},
        {L"/[O:NOBODY\\nobody]", L"*.txt", {}},
    };
    for (const Row& row : rows) {
        ChildResult r = tree.Run(row.options, row.pattern);
        EXPECT_EQ(tree.Headers(r.out), row.files) << Narrow(row.options) << r.err;
        EXPECT_EQ(r.exitCode, row.files.empty() ? 2u : 0u) << Narrow(row.options);
    }
}

// Every name gets its own description, whatever characters it holds, and a
// description file of any size is read (the one here is over 16 MiB, with the
// wanted file on its last line).
TEST(Selection, DescriptionsOfEveryNameInFilesOfAnySize) {
    Tree tree;
    std::string described;
    for (const wchar_t* name : {L"a]b.bin", L"[x.bin", L"plain.bin", L"x y[1].bin", L"50%.bin", L"%@comma[1].bin",
                                L"it's`q`.bin", L"\u00e9 \u20ac.bin"}) {
        tree.File(std::wstring(L"d\\") + name, 1);
        std::string n = Narrow(name);
        described += (n.find(' ') == std::string::npos ? n : "\"" + n + "\"") + " match me\r\n";
    }
    tree.File(L"d\\other.bin", 1);
    WriteBytes(tree.root + L"\\d\\descript.ion", described + "other.bin other\r\n");
    tree.File(L"big\\wanted.bin", 1);
    tree.File(L"big\\other.bin", 1);
    std::string big = "other.bin other\r\n";
    for (int i = 0; big.size() <= (16u << 20); ++i) big += "gone" + std::to_string(i) + ".bin no longer here\r\n";
    ASSERT_TRUE(WriteBytes(tree.root + L"\\big\\descript.ion", big + "wanted.bin match me\r\n"));
    struct Row {
        const wchar_t* options;
        const wchar_t* pattern;
        Names files;
    } rows[] = {
        {L"/I:match*", L"d\\*.bin",
         {"d\\%@comma[1].bin", "d\\50%.bin", "d\\[x.bin", "d\\a]b.bin", "d\\it's`q`.bin", "d\\plain.bin",
          "d\\x y[1].bin", "d\\\xC3\xA9 \xE2\x82\xAC.bin"}},
        {L"/!I:match*", L"d\\*.bin", {"d\\other.bin"}},
        {L"/I:match*", L"big\\*.bin", {"big\\wanted.bin"}},
        {L"/!I:match*", L"big\\*.bin", {"big\\other.bin"}},
    };
    for (const Row& row : rows) {
        ChildResult r = tree.Run(row.options, row.pattern);
        EXPECT_EQ(tree.Headers(r.out), row.files) << Narrow(row.options) << Narrow(row.pattern) << r.err;
        EXPECT_EQ(r.exitCode, 0u) << Narrow(row.options) << Narrow(row.pattern);
    }
}

}  // namespace
