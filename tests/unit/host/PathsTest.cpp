#include <gtest/gtest.h>
#include "plugin/HostServices.h"
#include "TestSupport.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

std::wstring TrueName(const std::wstring& name, int* result = nullptr) {
    std::unique_ptr<wchar_t[]> out(new wchar_t[32768]);
    out[0] = L'?';
    int r = QueryTrueName(name.c_str(), out.get());
    if (result) *result = r;
    return out.get();
}

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    return s;
}

// A temporary folder holding MixedCase\Data.Bin.
class TrueNameTest : public testing::Test {
protected:
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(CreateDirectoryW((dir + L"\\MixedCase").c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(dir + L"\\MixedCase\\Data.Bin", "x"));
    }
    void TearDown() override { RemoveTree(dir); }

    // The name must be dir followed by tail, with tail's letter case exact.
    void ExpectName(const std::wstring& got, const std::wstring& tail) {
        ASSERT_GE(got.size(), tail.size()) << Narrow(got);
        EXPECT_EQ(got.substr(got.size() - tail.size()), tail) << Narrow(got);
        EXPECT_TRUE(SameIgnoringCase(got.substr(0, got.size() - tail.size()), dir)) << Narrow(got);
    }

    std::wstring dir;
};

TEST_F(TrueNameTest, ExistingComponentsTakeTheirCaseOnDisk) {
    ExpectName(TrueName(Lower(dir) + L"\\mixedcase\\DATA.BIN"), L"\\MixedCase\\Data.Bin");
    ExpectName(TrueName(dir + L"\\MIXEDCASE"), L"\\MixedCase");
    ExpectName(TrueName(dir + L"\\mixedcase\\"), L"\\MixedCase\\");
    ExpectName(TrueName(dir + L"\\mixedcase\\..\\MIXEDcase\\.\\data.bin"), L"\\MixedCase\\Data.Bin");
    ExpectName(TrueName(dir + L"/mixedcase/data.bin"), L"\\MixedCase\\Data.Bin");
}

// A walk asks for name after name in the same folders; whatever the host
// keeps between the calls, each answer is the case on disk.
TEST_F(TrueNameTest, NamesAskedOneAfterAnotherKeepTheCaseOnDisk) {
    ASSERT_TRUE(CreateDirectoryW((dir + L"\\Other").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir + L"\\Other\\Deep").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir + L"\\Other\\Wide").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(dir + L"\\Other\\Wide\\b.bin", "z"));
    const struct {
        const wchar_t* typed;
        const wchar_t* expected;
        const wchar_t* createFirst = nullptr;  // made just before the question
        const wchar_t* folderFirst = nullptr;  // likewise, a folder made before that
    } rows[] = {
        {L"\\mixedcase\\data.bin", L"\\MixedCase\\Data.Bin", nullptr},
        {L"\\MixedCase\\Data.Bin", L"\\MixedCase\\Data.Bin", nullptr},
        {L"\\MixedCase\\Data.Bin", L"\\MixedCase\\Data.Bin", nullptr},
        {L"\\MixedCase\\DATA.BIN", L"\\MixedCase\\Data.Bin", nullptr},
        {L"\\MixedCase\\later.txt", L"\\MixedCase\\Later.Txt", L"\\MixedCase\\Later.Txt"},
        {L"\\other\\DEEP\\none.bin", L"\\Other\\Deep\\none.bin", nullptr},
        {L"\\MIXEDCASE\\data.bin", L"\\MixedCase\\Data.Bin", nullptr},
        {L"\\MixedCase\\Data.Bin", L"\\MixedCase\\Data.Bin", nullptr},
        // Folders side by side: their parent's names may be listed by now,
        // and a listing never outranks a folder typed otherwise or made later.
        {L"\\Other\\Deep\\none.bin", L"\\Other\\Deep\\none.bin", nullptr},
        {L"\\Other\\Wide\\b.bin", L"\\Other\\Wide\\b.bin", nullptr},
        {L"\\Other\\wide\\B.BIN", L"\\Other\\Wide\\b.bin", nullptr},
        {L"\\Other\\fresh\\d.bin", L"\\Other\\Fresh\\D.Bin", L"\\Other\\Fresh\\D.Bin", L"\\Other\\Fresh"},
        {L"\\Other\\Deep\\NONE.bin", L"\\Other\\Deep\\NONE.bin", nullptr},
    };
    for (const auto& row : rows) {
        if (row.folderFirst) {
            ASSERT_TRUE(CreateDirectoryW((dir + row.folderFirst).c_str(), nullptr));
        }
        if (row.createFirst) {
            ASSERT_TRUE(WriteBytes(dir + row.createFirst, "y"));
        }
        ExpectName(TrueName(dir + row.typed), row.expected);
    }
}

TEST_F(TrueNameTest, RelativeNamesBecomeFull) {
    wchar_t old[MAX_PATH + 1];
    GetCurrentDirectoryW(MAX_PATH + 1, old);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    std::wstring name = TrueName(L"mixedcase\\data.bin");
    std::wstring wild = TrueName(L"MIXEDCASE\\*.BIN");
    SetCurrentDirectoryW(old);
    ExpectName(name, L"\\MixedCase\\Data.Bin");
    ExpectName(wild, L"\\MixedCase\\*.BIN");
}

TEST_F(TrueNameTest, WildcardsAndMissingPartsStayAsTyped) {
    ExpectName(TrueName(dir + L"\\mixedcase\\d?ta.*"), L"\\MixedCase\\d?ta.*");
    ExpectName(TrueName(dir + L"\\mixedcase\\NoSuch\\file.TXT"), L"\\MixedCase\\NoSuch\\file.TXT");
    ExpectName(TrueName(dir + L"\\mixedcase\\new.txt"), L"\\MixedCase\\new.txt");
}

TEST_F(TrueNameTest, LongPathPrefixIsKept) {
    std::wstring got = TrueName(L"\\\\?\\" + Lower(dir) + L"\\MIXEDCASE\\data.bin");
    ASSERT_EQ(got.substr(0, 4), L"\\\\?\\");
    ExpectName(got.substr(4), L"\\MixedCase\\Data.Bin");
}

// Beyond the classic 260-character limit, with and without the long-path prefix.
TEST_F(TrueNameTest, LongNamesAreWalked) {
    std::wstring deep = L"\\\\?\\" + dir;
    std::wstring typed = dir;
    for (int i = 0; i < 6; ++i) {
        std::wstring part = L"\\Level" + std::wstring(50, wchar_t(L'A' + i));
        deep += part;
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << i;
        typed += Lower(part);
    }
    ASSERT_GT(typed.size(), 300u);
    std::wstring expected = deep.substr(4 + dir.size());
    ExpectName(TrueName(typed), expected);
    std::wstring prefixed = TrueName(L"\\\\?\\" + typed);
    ASSERT_EQ(prefixed.substr(0, 4), L"\\\\?\\");
    ExpectName(prefixed.substr(4), expected);
    EXPECT_TRUE(QueryIsDirectory(typed.c_str()));
    EXPECT_FALSE(QueryIsFile(typed.c_str()));
}

// A walk down a deep chain of folders asks for the true name of each file
// in turn: each folder is found once, not again for every file below it, so
// the names cost about what opening the files does, and the deepest come in
// their letter case on disk. 600 levels: deep enough that finding all the
// kept folders afresh takes more than a second here, so a cache kept for no
// longer would be filled again for every file.
TEST_F(TrueNameTest, ADeepChainCostsWhatOpeningItsFilesCosts) {
    const int depth = 600;
    std::wstring folder = dir;
    std::vector<std::wstring> files;
    for (int i = 0; i < depth; ++i) {
        folder += L"\\D" + std::to_wstring(i);
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << i;
        files.push_back(folder + L"\\F.bin");
        ASSERT_TRUE(WriteBytes(L"\\\\?\\" + files.back(), "x")) << i;
    }
    auto seconds = [](auto&& body) {
        auto start = std::chrono::steady_clock::now();
        body();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const double opening = seconds([&] {
        for (const std::wstring& file : files)
            CloseHandle(CreateFileW((L"\\\\?\\" + file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    0, nullptr));
    });
    std::wstring last;
    const double naming = seconds([&] {
        for (const std::wstring& file : files) last = TrueName(file);
    });
    EXPECT_EQ(last, files.back());
    EXPECT_EQ(TrueName(Lower(files.back())), files.back());
    printf("[ timing ] %d files down a chain: opened in %.3f s, named in %.3f s\n", depth, opening, naming);
    EXPECT_LT(naming, 4 * opening + 0.5);
}

TEST(TrueName, DriveLetterIsUpperCase) {
    std::wstring got = TrueName(L"c:\\");
    EXPECT_EQ(got, L"C:\\");
}

TEST(TrueName, EmptyNameFails) {
    int r = 0;
    EXPECT_EQ(TrueName(L"", &r), L"");
    EXPECT_NE(r, 0);
}

TEST(QueryIsURL, Table) {
    const std::pair<const wchar_t*, int> cases[] = {
        {L"http://example.com/a", 1}, {L"ftp://host/p", 1},  {L"svn+ssh://h", 1}, {L"a-b.c://x", 1},
        {L"HTTPS://X", 1},             {L"h://x", 0},          {L"1ab://x", 0},     {L"http:/x", 0},
        {L"c:\\x", 0},                 {L"file.txt", 0},       {L"", 0},            {L"ht tp://x", 0},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(QueryIsURL(name) != 0, expected != 0) << Narrow(name);
}

TEST(QueryIsFile, FilesAndDirectories) {
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::wstring file = dir + L"\\f.dat";
    ASSERT_TRUE(WriteBytes(file, "1"));
    std::wstring missing = dir + L"\\none";
    EXPECT_TRUE(QueryIsFile(file.c_str()));
    EXPECT_FALSE(QueryIsDirectory(file.c_str()));
    EXPECT_TRUE(QueryIsFileOrDirectory(file.c_str()));
    EXPECT_FALSE(QueryIsFile(dir.c_str()));
    EXPECT_TRUE(QueryIsDirectory(dir.c_str()));
    EXPECT_TRUE(QueryIsFileOrDirectory(dir.c_str()));
    EXPECT_FALSE(QueryIsFile(missing.c_str()));
    EXPECT_FALSE(QueryIsDirectory(missing.c_str()));
    EXPECT_FALSE(QueryIsFileOrDirectory(missing.c_str()));
    EXPECT_FALSE(QueryIsFileOrDirectory((dir + L"\\*").c_str()));
    RemoveTree(dir);
}

}  // namespace
