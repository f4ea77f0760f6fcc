#include <gtest/gtest.h>
#include "plugin/HostServices.h"

#include <string>

namespace {

struct WildCase {
    const wchar_t* pattern;
    const wchar_t* name;
    int fileNames;
    bool matches;
};

const WildCase WildCases[] = {
    {L"*", L"abc", 1, true},
    {L"*", L"", 0, true},
    {L"", L"", 0, true},
    {L"", L"a", 0, false},
    {L"a*c", L"abbbc", 0, true},
    {L"a*c", L"abcd", 0, false},
    {L"a*c", L"ac", 0, true},
    {L"?", L"", 0, false},
    {L"a?c", L"abc", 0, true},
    {L"a?c", L"ac", 0, false},
    {L"a?c", L"abbc", 0, false},
    {L"*.TXT", L"readme.txt", 1, true},
    {L"READ*", L"readme.txt", 1, true},
    {L"\u00c4b*", L"\u00e4BC", 1, true},
    {L"[abc]x", L"bx", 0, true},
    {L"[abc]x", L"dx", 0, false},
    {L"[abc]x", L"Bx", 0, true},
    {L"[a-c]*", L"Bravo", 1, true},
    {L"[A-C]*", L"bravo", 1, true},
    {L"[a-c]*", L"delta", 1, false},
    {L"[!a-c]*", L"bravo", 1, false},
    {L"[!a-c]*", L"delta", 1, true},
    {L"[^a-c]*", L"delta", 1, true},
    {L"[^a-c]*", L"Alpha", 1, false},
    {L"file[0-9][0-9].log", L"file42.log", 1, true},
    {L"file[0-9][0-9].log", L"file4x.log", 1, false},
    {L"[]]", L"]", 0, true},
    {L"[a-", L"[a-", 0, true},     // no closing bracket: plain characters
    {L"[a-", L"a", 0, false},
    {L"*[xy]", L"abcy", 0, true},
    {L"*[xy]", L"abcz", 0, false},
    {L"*ab*ab", L"xabyabab", 0, true},  // needs the "*" to take more after a false start
    {L"*a*b", L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0, false},
    // File-name conventions.
    {L"*.*", L"README", 1, true},
    {L"*.*", L"README", 0, false},
    {L"*.*", L"read.me", 0, true},
    {L"abc.*", L"abc", 1, true},
    {L"abc.*", L"abcd", 1, false},
    {L"*.", L"noext", 1, true},
    {L"*.", L"has.ext", 1, false},
};

TEST(WildcardComparison, Table) {
    for (const WildCase& c : WildCases) {
        int r = WildcardComparison(c.pattern, c.name, c.fileNames, 1);
        EXPECT_EQ(r == 0, c.matches) << "pattern \"" << testing::PrintToString(std::wstring(c.pattern)) << "\" name "
                                     << testing::PrintToString(std::wstring(c.name)) << " fileNames " << c.fileNames;
    }
}

TEST(WildcardComparison, PathologicalPatternsStayFast) {
    std::wstring name(20000, L'a');
    std::wstring pattern;
    for (int i = 0; i < 40; ++i) pattern += L"*a";
    pattern += L"*b";
    ULONGLONG start = GetTickCount64();
    EXPECT_NE(WildcardComparison(pattern.c_str(), name.c_str(), 0, 1), 0);
    name += L'b';
    EXPECT_EQ(WildcardComparison(pattern.c_str(), name.c_str(), 0, 1), 0);
    EXPECT_LT(GetTickCount64() - start, 5000u);
}

}  // namespace
