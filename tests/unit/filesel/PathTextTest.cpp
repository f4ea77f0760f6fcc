// Text helpers of the file-selection library: the long-path rule, joining,
// trimming, pattern alternatives, error texts and the report colour.
#include "FileSelTestUtil.h"
#include "filesel/FileSelInternal.h"

namespace {

// A name of total characters whose directory part (with its separator) has
// directoryLength characters.
std::wstring NameWithDirectory(size_t directoryLength, size_t total) {
    std::wstring name = L"C:\\" + std::wstring(directoryLength - 4, L'd') + L"\\";
    return name + std::wstring(total - directoryLength, L'f');
}

TEST(LongPathPrefix, FollowsTheLimits) {
    struct Case {
        std::wstring name;
        int result;
    } cases[] = {
        {NameWithDirectory(100, 300), 0},   // long, but its directory is short
        {NameWithDirectory(250, 270), 1},   // directory beyond 248
        {NameWithDirectory(248, 300), 0},   // 248 + 12 is exactly 260
        {NameWithDirectory(249, 260), 1},
        {NameWithDirectory(258, 259), 0},   // shorter than 260
        {std::wstring(300, L'n'), 0},       // no directory at all
        {L"\\" + std::wstring(299, L'n'), 0},  // only a leading separator
        {L"\\\\server\\share\\" + std::wstring(260, L'd') + L"\\x", 0},
        {L"C:/" + std::wstring(255, L'd') + L"/x", 1},  // "/" separates too
    };
    for (const Case& c : cases) {
        std::vector<wchar_t> buffer(PathCapacity);
        wcscpy(buffer.data(), c.name.c_str());
        EXPECT_EQ(c.result, LongPathPrefix(buffer.data())) << c.name.size();
        std::wstring expected = c.result == 1 ? L"\\\\?\\" + c.name : c.name;
        EXPECT_EQ(expected, buffer.data());
    }
}

TEST(LongPathPrefix, RejectsEmptyNamesAndNamesWithoutRoom) {
    EXPECT_EQ(-1, LongPathPrefix(nullptr));
    wchar_t empty[1] = {0};
    EXPECT_EQ(-1, LongPathPrefix(empty));
    std::vector<wchar_t> buffer(PathCapacity);
    std::wstring full = NameWithDirectory(32000, 32765);
    wcscpy(buffer.data(), full.c_str());
    EXPECT_EQ(-1, LongPathPrefix(buffer.data()));
    EXPECT_EQ(full, buffer.data());
}

TEST(JoinPath, JoinsWithOneSeparator) {
    struct Case {
        const wchar_t* directory;
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {L"C:", L"x", L"C:x"},
        {L"C:\\dir\\", L"x", L"C:\\dir\\x"},
        {L"", L"x", L"x"},
        {L"C:\\dir", L"x", L"C:\\dir\\x"},
        {L"C:\\dir", L"\\x", L"C:\\dir\\x"},
        {L"dir/", L"x", L"dir/x"},
        {L"dir", L"/x", L"dir/x"},
        {L"dir", L"", L"dir\\"},
    };
    for (const Case& c : cases) {
        std::vector<wchar_t> buffer(PathCapacity);
        wcscpy(buffer.data(), c.directory);
        EXPECT_EQ(0, JoinPath(buffer.data(), c.name)) << c.directory;
        EXPECT_STREQ(c.expected, buffer.data());
    }
    std::vector<wchar_t> buffer(PathCapacity);
    EXPECT_EQ(-1, JoinPath(buffer.data(), nullptr));
    EXPECT_EQ(-1, JoinPath(nullptr, L"x"));
}

TEST(JoinPath, AppliesTheLongPathRule) {
    // The directory with its separator: 249 characters is beyond 248.
    std::wstring directory = L"C:\\" + std::wstring(245, L'd');  // 248 characters, no separator yet
    std::vector<wchar_t> buffer(PathCapacity);
    wcscpy(buffer.data(), directory.c_str());
    ASSERT_EQ(0, JoinPath(buffer.data(), std::wstring(20, L'f').c_str()));
    EXPECT_EQ(L"\\\\?\\" + directory + L"\\" + std::wstring(20, L'f'), buffer.data());

    directory.pop_back();  // 247 + separator = 248: left alone however long the name
    wcscpy(buffer.data(), directory.c_str());
    ASSERT_EQ(0, JoinPath(buffer.data(), std::wstring(100, L'f').c_str()));
    EXPECT_EQ(directory + L"\\" + std::wstring(100, L'f'), buffer.data());

    // A result beyond 32767 characters is refused and the directory kept.
    std::wstring longDirectory(32760, L'd');
    wcscpy(buffer.data(), longDirectory.c_str());
    EXPECT_NE(0, JoinPath(buffer.data(), L"0123456789"));
    EXPECT_EQ(longDirectory, buffer.data());
}

TEST(TrimWhiteSpace, TrimsBothEnds) {
    struct Case {
        const wchar_t* text;
        const wchar_t* expected;
    } cases[] = {
        {L"  a b \t\r\n", L"a b"}, {L" \t ", L""}, {L"", L""}, {L"x", L"x"}, {L"\tx y", L"x y"}, {L"x ", L"x"},
    };
    for (const Case& c : cases) {
        std::wstring text = c.text;
        TrimWhiteSpace(text.data());
        EXPECT_STREQ(c.expected, text.c_str()) << Narrow(c.text);
    }
    TrimWhiteSpace(nullptr);
}

TEST(MatchPattern, MatchesAlternatives) {
    // An alternative longer than 32767 characters is cut: the cut one ends
    // in "*" and matches, the whole one would not.
    std::wstring longAlternative = L"a" + std::wstring(32766, L'*') + L"zzz";
    struct Case {
        std::wstring pattern;
        const wchar_t* name;
        bool alternatives;
        bool matches;
    } cases[] = {
        {L"*.txt", L"a.txt", false, true},
        {L"*.txt", L"a.log", false, false},
        {L"*.txt|*.log", L"a.log", true, true},
        {L"*.txt|*.log", L"a.txt", true, true},
        {L"*.txt|*.log", L"a.log", false, false},  // "|" is then an ordinary character
        {L"*.txt|*.log", L"a.dat", true, false},
        {L"||*.c||", L"x.c", true, true},
        {L"[ab]?.txt", L"b1.txt", false, true},
        {L"[ab]?.txt", L"c1.txt", false, false},
        {L"[!ab]*", L"a", false, false},
        {L"x|" + longAlternative, L"abc", true, true},
    };
    for (const Case& c : cases) {
        int result = MatchPattern(c.pattern.c_str(), c.name, c.alternatives);
        EXPECT_EQ(c.matches, result == 0) << Narrow(c.pattern.substr(0, 20)) << " / " << Narrow(c.name);
    }
    EXPECT_EQ(-2, MatchPattern(L"|", L"a", true));
    EXPECT_EQ(-2, MatchPattern(L"", L"a", true));
    EXPECT_EQ(-2, MatchPattern(L"||", L"a", true));
}

TEST(SystemErrorText, GivesOneLineOfText) {
    wchar_t text[1024];
    EXPECT_EQ(0, SystemErrorText(-1, text));
    EXPECT_STREQ(L"Unknown error", text);

    EXPECT_EQ(0, SystemErrorText(ERROR_PATH_NOT_FOUND, text));
    std::wstring found = text;
    EXPECT_FALSE(found.empty());
    EXPECT_EQ(std::wstring::npos, found.find_first_of(L"\r\n"));
    EXPECT_FALSE(iswspace(found.back()));

    EXPECT_EQ(0, SystemErrorText(0x7FFFFF00, text));
    EXPECT_STREQ(L"Error 2147483392", text);
    EXPECT_EQ(0, SystemErrorText(-5, text));
    EXPECT_STREQ(L"Error -5", text);
    EXPECT_EQ(-1, SystemErrorText(2, nullptr));
}

TEST(ExceptionReportAttribute, ChoosesAVisibleColour) {
    struct Case {
        int attribute, expected;
    } cases[] = {
        {0x07, 0x0F},  // grey on black: the same colours, bright
        {0x17, 0x1F},
        {0x44, 0x0F},  // invisible text
        {0x00, 0x0F},
        {0x1E, 0x1F},  // already bright: the contrast colour of blue
        {0x1F, 0x1B},  // ...which is this very attribute: the second table
        {0x87, 0x8F},  // bright background
        {0x70, 0x79},  // black foreground, contrast 70 is the attribute itself
        {0xF0, 0xF2},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, ExceptionReportAttribute(c.attribute)) << c.attribute;
}

TEST(MatchRanges, EmptyListSelectsEveryFile) {
    WIN32_FIND_DATAW entry{};
    wcscpy(entry.cFileName, L"a.txt");
    EXPECT_EQ(0, MatchRanges(&entry, L"C:\\dir\\", nullptr));
    EXPECT_EQ(0, MatchRanges(&entry, L"", nullptr));
    EXPECT_EQ(-1, MatchRanges(nullptr, L"", nullptr));
    EXPECT_EQ(-1, MatchRanges(&entry, nullptr, nullptr));
    FreeRanges(nullptr);
}

}  // namespace
