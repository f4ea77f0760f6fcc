#include <gtest/gtest.h>
#include "plugin/HostServices.h"
#include "TestSupport.h"
#include "HostTestUtil.h"
#include "HostApi.h"

#include <memory>
#include <string>

namespace {

constexpr size_t ExpandUnits = 8192;

// Expands text in an 8192-unit buffer; returns the result code and the text.
std::pair<int, std::wstring> Expand(const std::wstring& text) {
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[ExpandUnits]);
    wcsncpy(buffer.get(), text.c_str(), ExpandUnits - 1);
    buffer[ExpandUnits - 1] = L'\0';
    int r = ExpandVariables(buffer.get(), 1);
    return {r, buffer.get()};
}

// Clears the host settings so that the defaults show.
struct DefaultSettings {
    ScopedEnv output{L"BYTORA_HOST_OUTPUT", nullptr};
    ScopedEnv version{L"BYTORA_HOST_VERSION", nullptr};
    ScopedEnv build{L"BYTORA_HOST_BUILD", nullptr};
    ScopedEnv transient{L"BYTORA_HOST_TRANSIENT", nullptr};
    ScopedEnv pipe{L"BYTORA_HOST_PIPE", nullptr};
    ScopedEnv batch{L"BYTORA_HOST_BATCH", nullptr};
    ScopedEnv batchName{L"BYTORA_HOST_BATCHNAME", nullptr};
    ScopedEnv batchLine{L"BYTORA_HOST_BATCHLINE", nullptr};
    ScopedEnv noLoad{L"noloadmsg", nullptr};
};

struct ExpandCase {
    const wchar_t* text;
    const wchar_t* expected;
};

TEST(ExpandVariables, VariablesInText) {
    DefaultSettings defaults;
    ScopedEnv a(L"BYTORA_T_A", L"alpha");
    ScopedEnv b(L"BYTORA_T_B", L"beta gamma");
    ScopedEnv undefined(L"BYTORA_T_UNDEFINED", nullptr);
    const ExpandCase cases[] = {
        {L"plain text", L"plain text"},
        {L"", L""},
        {L"x%BYTORA_T_A%y", L"xalphay"},
        {L"%BYTORA_T_A%%BYTORA_T_B%", L"alphabeta gamma"},
        {L"[%bytora_t_a%]", L"[alpha]"},  // names ignore case
        {L"<%BYTORA_T_UNDEFINED%>", L"<>"},
        {L"100% sure", L"100% sure"},
        {L"50%", L"50%"},
        {L"%", L"%"},
        {L"a %% b", L"a % b"},
        {L"%[BYTORA_T_A]!", L"alpha!"},
        {L"(%[BYTORA_T_UNDEFINED])", L"()"},
        {L"%[_transient]%[_pipe]%[noloadmsg]", L"10"},
        {L"v%_4ver b%_build", L"v28.01 b62"},
        {L"%_4ver%", L"28.01"},
        {L"%_batch", L"0"},
        {L"%_batchname [%_batchline]  ", L" [0]  "},
        {L"%_unknown", L"%_unknown"},
        {L"%@option[utf8output]", L"yes"},
        {L"%@option[something]", L""},
    };
    for (const ExpandCase& c : cases) {
        auto [r, text] = Expand(c.text);
        EXPECT_EQ(r, 0) << Narrow(c.text);
        EXPECT_EQ(text, c.expected) << Narrow(c.text);
    }
}

TEST(ExpandVariables, SettingsComeFromTheEnvironment) {
    DefaultSettings defaults;
    ScopedEnv version(L"BYTORA_HOST_VERSION", L"27.5");
    ScopedEnv build(L"BYTORA_HOST_BUILD", L"101");
    ScopedEnv transient(L"BYTORA_HOST_TRANSIENT", L"0");
    ScopedEnv batch(L"BYTORA_HOST_BATCH", L"2");
    ScopedEnv name(L"BYTORA_HOST_BATCHNAME", L"C:\\jobs\\run.btm");
    ScopedEnv line(L"BYTORA_HOST_BATCHLINE", L"17");
    ScopedEnv output(L"BYTORA_HOST_OUTPUT", L"unicode");
    const ExpandCase cases[] = {
        {L"%_4ver/%_build", L"27.5/101"},
        {L"%[_transient]%[_pipe]%[noloadmsg]", L"00"},
        {L"%_batch", L"2"},
        {L"%_batchname [%_batchline]  ", L"C:\\jobs\\run.btm [17]  "},
        {L"%@option[utf8output]", L"no"},
    };
    for (const ExpandCase& c : cases) {
        auto [r, text] = Expand(c.text);
        EXPECT_EQ(r, 0) << Narrow(c.text);
        EXPECT_EQ(text, c.expected) << Narrow(c.text);
    }
}

TEST(ExpandVariables, CommaGroupsThousands) {
    wchar_t separator[8] = L"", grouping[16] = L"";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, separator, 8);
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SGROUPING, grouping, 16);
    if (std::wstring(grouping) != L"3;0") GTEST_SKIP() << "locale does not group by three";
    std::wstring s = separator;
    ScopedEnv n(L"BYTORA_T_N", L"123456");
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"%@comma[0]", L"0"},
        {L"%@comma[999]", L"999"},
        {L"%@comma[1000]", L"1" + s + L"000"},
        {L"%@comma[1234567]", L"1" + s + L"234" + s + L"567"},
        {L"%@comma[18446744073709551615]", L"18" + s + L"446" + s + L"744" + s + L"073" + s + L"709" + s + L"551" + s + L"615"},
        {L"%@comma[-1234]", L"-1" + s + L"234"},
        {L"%@comma[1234.5]", L"1" + s + L"234.5"},
        {L"%@comma[ 100000 ]", L"100" + s + L"000"},
        {L"size %@comma[%BYTORA_T_N%] bytes", L"size 123" + s + L"456 bytes"},
        {L"%@comma[%@comma[999]]", L"999"},
    };
    for (const auto& [text, expected] : cases) {
        auto [r, result] = Expand(text);
        EXPECT_EQ(r, 0) << Narrow(text);
        EXPECT_EQ(result, expected) << Narrow(text);
    }
}

TEST(ExpandVariables, FailuresLeaveTheBufferUnchanged) {
    const wchar_t* cases[] = {L"%@comma[12x]", L"%@comma[]", L"%@nosuchfunction[1]", L"a %@comma[abc] b"};
    for (const wchar_t* text : cases) {
        auto [r, result] = Expand(text);
        EXPECT_NE(r, 0) << Narrow(text);
        EXPECT_EQ(result, text);
    }
    // Nesting is bounded: 500 levels are refused, not followed.
    std::wstring deep;
    for (int i = 0; i < 500; ++i) deep += L"%@comma[";
    deep += L"1";
    deep += std::wstring(500, L']');
    auto [r, result] = Expand(deep);
    EXPECT_NE(r, 0);
    EXPECT_TRUE(result == deep);
}

TEST(ExpandVariables, ResultIsCappedAt8191Units) {
    std::wstring exact(8191, L'x');
    auto [r1, t1] = Expand(exact);
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(t1, exact);

    ScopedEnv big(L"BYTORA_T_BIG", std::wstring(8190, L'v').c_str());
    auto [r2, t2] = Expand(L"a%BYTORA_T_BIG%");  // 8191 units: fits
    EXPECT_EQ(r2, 0);
    EXPECT_EQ(t2.size(), 8191u);
    auto [r3, t3] = Expand(L"ab%BYTORA_T_BIG%");  // 8192 units: does not
    EXPECT_NE(r3, 0);
    EXPECT_EQ(t3, L"ab%BYTORA_T_BIG%");
    auto [r4, t4] = Expand(L"%BYTORA_T_BIG%%BYTORA_T_BIG%");
    EXPECT_NE(r4, 0);
    EXPECT_EQ(t4, L"%BYTORA_T_BIG%%BYTORA_T_BIG%");
}

// The quoted query, as the plug-in writes it for a name with a bracket, "%" or
// a blank: the name in double quotes, each "%" doubled.
std::wstring DescriptQuery(const std::wstring& path) {
    std::wstring query = L"%@descript[\"";
    for (wchar_t c : path) query += c == L'%' ? L"%%" : std::wstring(1, c);
    return query + L"\"]";
}

// Runs body with the description file held in memory between lookups, then
// read through for every lookup: both must give the same answers.
template <class Body> void InBothWays(Body body) {
    for (unsigned long long limit : {32ull << 20, 0ull}) {
        unsigned long long previous = HostLimitDescriptionCache(limit);
        SCOPED_TRACE(limit ? "held in memory" : "read through");
        body();
        HostLimitDescriptionCache(previous);
    }
}

TEST(ExpandVariables, DescriptionsComeFromDescriptIon) {
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(WriteBytes(dir + L"\\descript.ion",
                           "a.txt first file\r\n"
                           "\"long name.txt\" Second one  \r\n"
                           "B.TXT with extra\x04\xc2" "data\r\n"
                           "caf\xc3\xa9.txt caf\xc3\xa9 description\n"
                           "c.txt\r\n"
                           "a]b closing bracket\r\n"
                           "[x opening bracket\r\n"
                           "\"x y[1].txt\" blanks and brackets\r\n"
                           "50%.txt percent\r\n"
                           "%PATH%.txt looks like a variable\r\n"
                           "%@comma[1].txt looks like a function\r\n"
                           "it's`q`.txt quotes\r\n"
                           "\" lead.txt\" leading blank\r\n"
                           "\"\xc3\xa9 \xe2\x82\xac.txt\" non-ASCII\r\n"
                           "plain first line wins\r\n"
                           "PLAIN second line\r\n"));
    // Every name works quoted; names marked plain also work in the plain form
    // "%@descript[name]", which the plug-in sends for names without a
    // bracket, "%" or blank.
    const struct {
        std::wstring file, expected;
        bool plain;
    } cases[] = {
        {L"a.txt", L"first file", true},
        {L"A.TXT", L"first file", true},
        {L"long name.txt", L"Second one", true},
        {L"b.txt", L"with extra", true},
        {L"caf\u00e9.txt", L"caf\u00e9 description", true},
        {L"c.txt", L"", true},
        {L"missing.txt", L"", true},
        {L"a", L"", true},
        {L"a]b", L"closing bracket", false},
        {L"[x", L"opening bracket", false},
        {L"x y[1].txt", L"blanks and brackets", false},
        {L"50%.txt", L"percent", false},
        {L"%PATH%.txt", L"looks like a variable", false},
        {L"%@comma[1].txt", L"looks like a function", false},
        {L"it's`q`.txt", L"quotes", true},
        {L" lead.txt", L"leading blank", false},
        {L"\u00c9 \u20ac.TXT", L"non-ASCII", true},
        {L"Plain", L"first line wins", true},
    };
    InBothWays([&] {
        for (const auto& c : cases) {
            EXPECT_EQ(Expand(DescriptQuery(dir + L"\\" + c.file)), std::make_pair(0, c.expected)) << Narrow(c.file);
            if (c.plain) {
                EXPECT_EQ(Expand(L"%@descript[" + dir + L"\\" + c.file + L"]"), std::make_pair(0, c.expected))
                    << Narrow(c.file);
            }
        }
    });
    // A quote that leaves the bracket open is read as a plain character.
    EXPECT_EQ(Expand(L"%@descript[" + dir + L"\\\"plain]").second, L"");
    // A folder without a description file.
    DeleteFileW((dir + L"\\descript.ion").c_str());
    auto [rn, none] = Expand(L"%@descript[" + dir + L"\\a.txt]");
    EXPECT_EQ(rn, 0);
    EXPECT_EQ(none, L"");
    RemoveTree(dir);
}

TEST(ExpandVariables, AChangedDescriptionFileIsReadAgain) {
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::wstring file = dir + L"\\descript.ion", query = DescriptQuery(dir + L"\\a.txt");
    auto stamp = [&](WORD minute) {  // a time of its own for each version of the file
        SYSTEMTIME st{2024, 5, 0, 1, 12, minute, 0, 0};
        FILETIME ft;
        SystemTimeToFileTime(&st, &ft);
        HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileTime(h, nullptr, nullptr, &ft);
        CloseHandle(h);
    };
    ASSERT_TRUE(WriteBytes(file, "a.txt one\r\n"));
    stamp(1);
    EXPECT_EQ(Expand(query).second, L"one");
    ASSERT_TRUE(WriteBytes(file, "a.txt two\r\n"));  // same size, another time
    stamp(2);
    EXPECT_EQ(Expand(query).second, L"two");
    ASSERT_TRUE(WriteBytes(file, "a.txt three\r\n"));  // another size, the same time
    stamp(2);
    EXPECT_EQ(Expand(query).second, L"three");
    DeleteFileW(file.c_str());
    EXPECT_EQ(Expand(query), std::make_pair(0, std::wstring()));
    RemoveTree(dir);
}

// A folder without a description file is not searched for one again while
// the folder stays as it was: the file made behind its back, with the
// folder's time put back, is not seen; once the folder's time moves, it is.
TEST(ExpandVariables, AMissingDescriptionFileIsRememberedWhileItsFolderStays) {
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::wstring query = DescriptQuery(dir + L"\\a.txt");
    auto folderTime = [&](FILETIME* get, const FILETIME* set) {
        HANDLE h = CreateFileW(dir.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (get) {
            EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, get));
        }
        if (set) {
            EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, set));
        }
        CloseHandle(h);
    };
    FILETIME before;
    folderTime(&before, nullptr);
    EXPECT_EQ(Expand(query), std::make_pair(0, std::wstring()));
    ASSERT_TRUE(WriteBytes(dir + L"\\descript.ion", "a.txt here\r\n"));
    folderTime(nullptr, &before);
    EXPECT_EQ(Expand(query).second, L"");
    ULARGE_INTEGER later{{before.dwLowDateTime, before.dwHighDateTime}};
    later.QuadPart += 10000000;  // one second
    FILETIME moved{later.LowPart, later.HighPart};
    folderTime(nullptr, &moved);
    EXPECT_EQ(Expand(query).second, L"here");
    RemoveTree(dir);
}

TEST(ExpandVariables, DescriptionFilesOfAnySize) {
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    // More than one read of the file, a line longer than a line is kept
    // (its description still too long for an expansion), one just short enough.
    std::string filler;
    for (int i = 0; i < 40000; ++i) filler += "filler" + std::to_string(i) + " " + std::string(40, 'f') + "\r\n";
    ASSERT_TRUE(WriteBytes(dir + L"\\descript.ion", filler + "long.txt " + std::string(300000, 'l') + "\r\n" +
                                                        "wide.txt " + std::string(8190, 'w') + "\r\n" + "last.txt end"));
    InBothWays([&] {
        EXPECT_NE(Expand(DescriptQuery(dir + L"\\long.txt")).first, 0);  // too long: no description
        EXPECT_EQ(Expand(DescriptQuery(dir + L"\\wide.txt")).second, std::wstring(8190, L'w'));
        EXPECT_EQ(Expand(DescriptQuery(dir + L"\\last.txt")).second, L"end");
        EXPECT_EQ(Expand(DescriptQuery(dir + L"\\filler39999")).second, std::wstring(40, L'f'));
    });
    RemoveTree(dir);
}

TEST(ExpandVariables, UnicodeDescriptionFile) {
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    // U+0A41 U+0100 hold the bytes 0A 00 across two units: not a line feed.
    std::wstring text = L"\xfeff\u0a41\u0100.bin odd\nz.bin \u2022 bullet\r\n";
    ASSERT_TRUE(WriteBytes(dir + L"\\descript.ion", std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2)));
    InBothWays([&] {
        auto [r, result] = Expand(L"%@descript[" + dir + L"\\Z.BIN]");
        EXPECT_EQ(r, 0);
        EXPECT_EQ(result, L"\u2022 bullet");
        EXPECT_EQ(Expand(L"%@descript[" + dir + L"\\\u0a41\u0100.bin]").second, L"odd");
    });
    RemoveTree(dir);
}

}  // namespace
