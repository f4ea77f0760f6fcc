// Path resolution: separators, alternatives, "~" and the home directory,
// drive letters and true names.
#include "FileSelTestUtil.h"
#include "filesel/FileSelInternal.h"
#include <shlobj.h>

namespace {

std::wstring Resolve(const std::wstring& spec, uint32_t mode) {
    std::vector<wchar_t> out(PathCapacity);
    out[0] = 0;
    int result = ResolvePath(spec.c_str(), out.data(), mode);
    return result == 0 ? std::wstring(out.data()) : L"<" + std::to_wstring(result) + L">";
}

std::wstring ForwardSlashes(std::wstring text) {
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
}

class PathResolution : public ::testing::Test {
protected:
    TempTree tree;
    CurrentDirectory cwd{tree.root};
};

TEST_F(PathResolution, UnifiesSeparatorsAndUpperCasesTheDrive) {
    EXPECT_EQ(L"C:\\NoSuchDir-Bytora\\*.txt", Resolve(L"c:/NoSuchDir-Bytora/*.txt", 0));
    EXPECT_EQ(tree.Path(L"sub\\x.txt"), Resolve(L"sub/x.txt", 0));
    EXPECT_EQ(tree.Path(L"a\\b"), Resolve(ForwardSlashes(tree.Path(L"a\\b")), 0));
}

TEST_F(PathResolution, TurnsSemicolonsOfTheLastComponentIntoAlternatives) {
    struct Case {
        const wchar_t* spec;
        std::wstring withAlternatives;
        std::wstring without;
    } cases[] = {
        {L"docs;old\\a;b", tree.Path(L"docs;old\\a|b"), tree.Path(L"docs;old\\a;b")},
        {L"docs;old/a;b", tree.Path(L"docs;old\\a|b"), tree.Path(L"docs;old\\a;b")},
        {L"C:\\d;x\\*.txt;*.log", L"C:\\d;x\\*.txt|*.log", L"C:\\d;x\\*.txt;*.log"},
        {L"a;b", tree.Path(L"a|b"), tree.Path(L"a;b")},
        {L";a;b", tree.Path(L";a|b"), tree.Path(L";a;b")},  // from the second character on
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.withAlternatives, Resolve(c.spec, RESOLVE_ALTERNATIVES)) << Narrow(c.spec);
        EXPECT_EQ(c.without, Resolve(c.spec, 0)) << Narrow(c.spec);
    }
}

TEST_F(PathResolution, ExpandsHomeFromHome) {
    tree.Dir(L"home");
    ScopedEnv home(L"HOME", ForwardSlashes(tree.Path(L"home")).c_str());
    struct Case {
        const wchar_t* spec;
        std::wstring expected;
    } cases[] = {
        {L"~", tree.Path(L"home")},
        {L"~\\", tree.Path(L"home")},
        {L"~\\notes\\*.md", tree.Path(L"home\\notes\\*.md")},
        {L"~/notes/*.md", tree.Path(L"home\\notes\\*.md")},
        {L"~admin\\x", tree.Path(L"~admin\\x")},  // never another user's home
        {L"x\\~", tree.Path(L"x\\~")},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Resolve(c.spec, RESOLVE_HOME)) << Narrow(c.spec);
    EXPECT_EQ(tree.Path(L"~"), Resolve(L"~", 0));
}

TEST_F(PathResolution, FallsThroughTheHomeCandidates) {
    tree.Dir(L"second");
    const std::wstring drive = tree.root.substr(0, 2);
    const std::wstring path = tree.root.substr(2) + L"\\second";

    {  // HOME names nothing that exists: HOMEDRIVE and HOMEPATH
        ScopedEnv home(L"HOME", tree.Path(L"missing").c_str());
        ScopedEnv homeDrive(L"HOMEDRIVE", drive.c_str());
        ScopedEnv homePath(L"HOMEPATH", ForwardSlashes(path).c_str());
        EXPECT_EQ(tree.Path(L"second\\x"), Resolve(L"~\\x", RESOLVE_HOME));
    }
    {  // a candidate of 260 characters or more counts as missing
        std::wstring tooLong = tree.Path(std::wstring(260 - tree.root.size(), L'h'));
        ASSERT_GE(tooLong.size(), 260u);
        tree.Dir(tooLong.substr(tree.root.size() + 1));
        ScopedEnv home(L"HOME", tooLong.c_str());
        ScopedEnv homeDrive(L"HOMEDRIVE", drive.c_str());
        ScopedEnv homePath(L"HOMEPATH", path.c_str());
        EXPECT_EQ(tree.Path(L"second"), Resolve(L"~", RESOLVE_HOME));
    }
    {  // neither: the profile folder; HOMEPATH must begin with a separator
        wchar_t profile[MAX_PATH];
        ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile));
        ScopedEnv home(L"HOME", nullptr);
        ScopedEnv homeDrive(L"HOMEDRIVE", drive.c_str());
        ScopedEnv homePath(L"HOMEPATH", path.substr(1).c_str());
        if (QueryIsDirectory(profile)) {
            std::wstring resolved = Resolve(L"~\\x", RESOLVE_HOME);
            EXPECT_EQ(0, _wcsicmp((std::wstring(profile) + L"\\x").c_str(), resolved.c_str())) << Narrow(resolved);
        }
        std::vector<wchar_t> out(PathCapacity);
        EXPECT_EQ(QueryIsDirectory(profile) ? 0 : -1, HomeDirectory(out.data()));
    }
    EXPECT_EQ(-1, HomeDirectory(nullptr));
}

TEST_F(PathResolution, ARealTildeInTheCurrentDirectoryWins) {
    tree.Dir(L"home");
    ScopedEnv home(L"HOME", tree.Path(L"home").c_str());
    tree.Dir(L"~");
    EXPECT_EQ(tree.Path(L"~\\x"), Resolve(L"~\\x", RESOLVE_HOME));
    EXPECT_EQ(tree.Path(L"~"), Resolve(L"~", RESOLVE_HOME));
    ASSERT_TRUE(RemoveDirectoryW(tree.Path(L"~").c_str()));

    // A file "~" only keeps a lone "~" from expanding.
    tree.File(L"~");
    EXPECT_EQ(tree.Path(L"home\\x"), Resolve(L"~\\x", RESOLVE_HOME));
    EXPECT_EQ(tree.Path(L"~"), Resolve(L"~", RESOLVE_HOME));
}

TEST_F(PathResolution, KeepsTheTypedCaseWhenOnlyTheCaseDiffers) {
    tree.File(L"CaseDir\\file.txt");
    std::wstring typed = tree.root + L"\\casedir\\FILE.txt";
    EXPECT_EQ(typed, Resolve(typed, 0));
    // A relative name differs by more than case: the true name replaces it.
    EXPECT_EQ(tree.Path(L"CaseDir\\file.txt"), Resolve(L"casedir\\FILE.txt", 0));
}

TEST_F(PathResolution, RefusesEmptyAndTooLongNames) {
    std::vector<wchar_t> out(PathCapacity);
    EXPECT_EQ(-1, ResolvePath(nullptr, out.data(), 0));
    EXPECT_EQ(-1, ResolvePath(L"", out.data(), 0));
    EXPECT_EQ(-1, ResolvePath(L"x", nullptr, 0));
    EXPECT_EQ(L"<111>", Resolve(std::wstring(32768, L'x'), 0));

    tree.Dir(L"home");
    ScopedEnv home(L"HOME", tree.Path(L"home").c_str());
    // Fits before "~" is expanded, not after.
    EXPECT_EQ(L"<111>", Resolve(L"~\\" + std::wstring(32760, L'x'), RESOLVE_HOME));
}

TEST(CollapseDotComponents, TakesTheStepsTheSystemWould) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"C:\\a\\.\\b\\..\\c\\*.txt", L"C:\\a\\c\\*.txt"},
        {L"C:\\a\\\\b", L"C:\\a\\b"},
        {L"C:\\..\\..\\x", L"C:\\x"},                     // nothing above the root
        {L"\\\\srv\\share\\..\\x", L"\\\\srv\\share\\x"},  // nor above a share
        {L"\\..\\x", L"\\x"},
        {L"..\\a\\..\\..\\b", L"..\\..\\b"},           // a relative path keeps what it cannot take
        {L"C:..\\a\\..\\x", L"C:..\\x"},                  // and so does a drive-relative one
        {L"a\\b\\.", L"a\\b\\."},                          // the last component stays
        {L"a\\b\\..", L"a\\b\\.."},
        {L"a\\.\\", L"a\\"},
        {L"\\\\?\\C:\\a\\.\\b", L"\\\\?\\C:\\a\\.\\b"},      // literal names are left alone
        {L"\\\\.\\pipe\\..\\x", L"\\\\.\\pipe\\..\\x"},
    };
    std::vector<wchar_t> out(PathCapacity);
    for (const Case& c : cases) {
        EXPECT_EQ(wcslen(c.out), CollapseDotComponents(c.in, out.data())) << Narrow(c.in);
        EXPECT_EQ(std::wstring(c.out), out.data()) << Narrow(c.in);
    }
}

TEST_F(PathResolution, ResolvesALongRunOfDotStepsInLinearTime) {
    tree.File(L"d\\a.txt");
    std::wstring spec;
    for (int i = 0; i < 15990; ++i) spec += L".\\";
    spec += L"d\\a.txt";
    // The system's own normalisation of one such name takes about a second
    // here; twenty of them must not add up to that.
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < 20; ++i) ASSERT_EQ(tree.Path(L"d\\a.txt"), Resolve(spec, RESOLVE_HOME));
    EXPECT_LT(GetTickCount64() - start, 1000u);
}

}  // namespace
