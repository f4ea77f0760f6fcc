// The plug-in shell: record, load message, usage, versions, host version,
// control handler and the error prefix.
#include <gtest/gtest.h>
#include <string>
#include <cwchar>
#include "plugin/Plugin.h"
#include "TestSupport.h"

namespace {

TEST(PluginInfoTest, DescribesThePlugin) {
    PluginInfo* info = GetPluginInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->Name, L"Bytora");
    EXPECT_STREQ(info->Description, L"Dump files to standard output as hex");
    EXPECT_STREQ(info->Implements, L"bytora");
    EXPECT_EQ(info->Major, 0);
    EXPECT_EQ(info->Minor, 96);
    EXPECT_EQ(info->Build, 9);
    EXPECT_EQ(GetPluginInfo(), info);  // one static record
}

struct LoadMessageCase {
    const wchar_t* transient;
    const wchar_t* pipe;
    const wchar_t* noloadmsg;
    bool shown;
};

TEST(InitializePluginTest, LoadMessageShownOnlyWhenNothingSuppressesIt) {
    const LoadMessageCase cases[] = {
        {L"0", L"0", nullptr, true},
        {L"0", L"0", L"", true},
        {L"1", L"0", nullptr, false},
        {L"0", L"1", nullptr, false},
        {L"0", L"0", L"yes", false},
    };
    for (const auto& c : cases) {
        ScopedEnvs env{{L"BYTORA_HOST_TRANSIENT", c.transient}, {L"BYTORA_HOST_PIPE", c.pipe}, {L"noloadmsg", c.noloadmsg}};
        Captured out = CaptureOutput([] {
            int r = InitializePlugin();
            ShutdownPlugin(0);
            return r;
        });
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.outBytes, c.shown ? std::string("Bytora v0.96.9 loaded.\r\n") : std::string())
            << "transient " << Narrow(c.transient) << " pipe " << Narrow(c.pipe);
        EXPECT_EQ(out.err, L"");
    }
}

// The host may give back up to 8191 units for any expansion: a long user
// variable must neither overrun the start-up buffers nor print the load line.
TEST(InitializePluginTest, LongExpansionsAreHeldWhole) {
    std::wstring longValue(6000, L'x');
    std::wstring longVersion = L"27.01" + std::wstring(6000, L' ');
    ScopedEnvs env{{L"BYTORA_HOST_TRANSIENT", L"0"},
                  {L"BYTORA_HOST_PIPE", L"0"},
                  {L"noloadmsg", longValue.c_str()},
                  {L"BYTORA_HOST_VERSION", longVersion.c_str()},
                  {L"BYTORA_HOST_BUILD", L"62"}};
    Captured out = CaptureOutput([] {
        int r = InitializePlugin();
        ShutdownPlugin(0);
        return r;
    });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.outBytes, "");
    EXPECT_EQ(HostMajor, 27);
    EXPECT_EQ(HostMinor, 1);
    EXPECT_EQ(HostBuild, 62);
}

TEST(UsageTest, AnswersOnlyForTheCommandName) {
    const struct {
        const wchar_t* name;
        int result;
    } cases[] = {
        {L"bytora", 1}, {L"BYTORA", 1}, {L"ByToRa", 1}, {L"@bytora", 0}, {L"_bytora", 0}, {L"bytoraa", 0}, {L"dump", 0},
    };
    for (const auto& c : cases) {
        wchar_t text[1024];
        wcscpy(text, L"untouched");
        EXPECT_EQ(Usage(c.name, text), c.result) << Narrow(c.name);
        if (c.result) {
            // The syntax line comes first; the description line is skipped.
            EXPECT_EQ(std::wstring(text).rfind(L"BYTORA /B /BE /C: /CP: /D /E: /F: /H /K: /LE /M: /N: /P /S /W filename...  \r\n", 0), 0u);
            EXPECT_NE(std::wstring(text).find(L"BYTORA will read from stdin.\n"), std::wstring::npos);
        } else {
            EXPECT_STREQ(text, L"untouched");
        }
    }
}

TEST(HelpTest, MatchesTheNameIgnoringCaseWithoutScreeningPrefixes) {
    EXPECT_TRUE(HelpNameMatches(L"bytora"));
    EXPECT_TRUE(HelpNameMatches(L"ByTora"));
    EXPECT_FALSE(HelpNameMatches(L"_bytora"));
    EXPECT_FALSE(HelpNameMatches(L"@bytora"));
    EXPECT_FALSE(HelpNameMatches(nullptr));
    EXPECT_EQ(Help(L"_bytora"), 0);  // no box for other names
}

TEST(VersionVariablesTest, ReportLibraryVersions) {
    wchar_t text[1024] = L"";
    EXPECT_EQ(_clver(text), 0);
    EXPECT_STREQ(text, L"1.1.2.1");
    EXPECT_EQ(_fhver(text), 0);
    EXPECT_STREQ(text, L"1.0.16.4");
    EXPECT_EQ(_clver(nullptr), -1);
    EXPECT_EQ(_fhver(nullptr), -1);
}

TEST(DetectHostTest, ReadsVersionAndBuild) {
    const struct {
        const wchar_t* version;
        const wchar_t* build;
        int result, major, minor, buildNumber;
    } cases[] = {
        {L"27.01", L"62", 0, 27, 1, 62},
        {L"13,04", L"46", 0, 13, 4, 46},   // any one-character separator
        {L"27", L"10", 0, 27, 55, 10},     // no separator: the minor number is kept
        {L"27.", L"10", 0, 27, 55, 10},    // nothing after the separator: kept as well
        {L" +27.3", L"10", 0, 27, 3, 10},  // leading blank and sign, as a string-to-long conversion takes them
        {L"6.0", L"62", -1, -1, -1, -1},
        {L"100.0", L"62", -1, -1, -1, -1},
        {L"27.100", L"62", -1, -1, -1, -1},
        {L"27.01", L"1000", -1, -1, -1, -1},
        {L"27.01", L"-5", -1, -1, -1, -1},
    };
    for (const auto& c : cases) {
        ScopedEnvs env{{L"BYTORA_HOST_VERSION", c.version}, {L"BYTORA_HOST_BUILD", c.build}};
        HostMinor = 55;
        EXPECT_EQ(DetectHost(), c.result) << Narrow(c.version);
        EXPECT_EQ(HostMajor, c.major) << Narrow(c.version);
        EXPECT_EQ(HostMinor, c.minor) << Narrow(c.version);
        EXPECT_EQ(HostBuild, c.buildNumber) << Narrow(c.version);
    }
}

TEST(ConsoleCtrlHandlerTest, ConsumesBreakEventsOnly) {
    BreakRequested = 0;
    EXPECT_FALSE(ConsoleCtrlHandler(CTRL_CLOSE_EVENT));
    EXPECT_EQ(BreakRequested, 0);
    EXPECT_TRUE(ConsoleCtrlHandler(CTRL_C_EVENT));
    EXPECT_EQ(BreakRequested, 1);
    EXPECT_TRUE(ConsoleCtrlHandler(CTRL_C_EVENT));  // a second one while set
    EXPECT_EQ(BreakRequested, 1);
    BreakRequested = 0;
    EXPECT_TRUE(ConsoleCtrlHandler(CTRL_BREAK_EVENT));
    EXPECT_EQ(BreakRequested, 1);
    ShutdownPlugin(0);
    EXPECT_EQ(BreakRequested, 0);
}

TEST(ReportErrorPrefixTest, NamesPluginAndBatchPosition) {
    const struct {
        const wchar_t* batch;
        const wchar_t* name;
        const wchar_t* line;
        const wchar_t* expected;
    } cases[] = {
        {L"0", L"", L"0", L"Bytora plugin: Unknown option: \"/X\"\r\n"},
        {L"1", L"C:\\jobs\\run%1.btm", L"12", L"Bytora plugin: C:\\jobs\\run%1.btm [12]  Unknown option: \"/X\"\r\n"},
        {L"10", L"C:\\b%%d.bat", L"3", L"Bytora plugin: C:\\b%%d.bat [3]  Unknown option: \"/X\"\r\n"},
    };
    for (const auto& c : cases) {
        ScopedEnvs env{{L"BYTORA_HOST_BATCH", c.batch}, {L"BYTORA_HOST_BATCHNAME", c.name}, {L"BYTORA_HOST_BATCHLINE", c.line}};
        Captured out = CaptureOutput([] {
            ReportError(L"Unknown option: \"%s\"\r\n", L"/X");
            return 0;
        });
        EXPECT_EQ(out.err, c.expected);
        EXPECT_EQ(out.outBytes, "");
    }
}

TEST(FormatTextTest, AlwaysTerminates) {
    wchar_t text[8];
    EXPECT_EQ(FormatText(text, 8, L"%s", L"abc"), 3);
    EXPECT_STREQ(text, L"abc");
    EXPECT_EQ(FormatText(text, 8, L"%s", L"abcdefg"), 7);
    EXPECT_STREQ(text, L"abcdefg");
    EXPECT_EQ(FormatText(text, 8, L"%s", L"abcdefgh"), -1);
    EXPECT_STREQ(text, L"abcdefg");
    EXPECT_EQ(FormatText(text, 8, L"%I64u", 12345678901234ULL), -1);
    EXPECT_EQ(wcslen(text), 7u);
}

}  // namespace
