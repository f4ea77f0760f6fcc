// The "/P" option, the 32-bit number reader behind it, and the page length.
#include <gtest/gtest.h>
#include <cerrno>
#include <string>
#include "console/Console.h"
#include "TestSupport.h"
#include "ConsoleFixture.h"

namespace {

const std::wstring Prefix = L"Bytora plugin: ";

struct UnsignedCase {
    const wchar_t* text;
    int rc;
    uint32_t value;
};

TEST(ParseUnsignedTest, BasesAndLimits) {
    const UnsignedCase cases[] = {
        {L"012", 0, 12},          {L"0x1F", 0, 31},      {L"0X1f", 0, 31},      {L"0o17", 0, 15},
        {L"4294967295", 0, 0xFFFFFFFFu}, {L"0xFFFFFFFF", 0, 0xFFFFFFFFu},
        {L"4294967296", ERANGE, 0}, {L"0x100000000", ERANGE, 0}, {L"", -1, 0}, {L"1a", -1, 0},
        {L"a1", -1, 0},           {L"-1", -1, 0},        {L"0x", -1, 0},        {L"0o8", -1, 0},
    };
    for (const UnsignedCase& c : cases) {
        uint32_t value = 3;
        EXPECT_EQ(ParseUnsigned(c.text, &value, nullptr), c.rc) << Narrow(c.text);
        EXPECT_EQ(value, c.rc == 0 ? c.value : 3u) << Narrow(c.text);
    }
    const wchar_t* text = L"25m,3";
    const wchar_t* end = nullptr;
    uint32_t value = 0;
    ASSERT_EQ(ParseUnsigned(text, &value, &end), 0);
    EXPECT_EQ(value, 25u);
    EXPECT_EQ(end, text + 2);
}

struct PauseCase {
    const wchar_t* arg;
    int32_t lines;
    uint32_t timeMs;
};

TEST(ParsePauseOptionTest, Accepted) {
    const PauseCase cases[] = {
        {L"/P", -1, 0},          {L"/p", -1, 0},           {L"-P", -1, 0},         {L"/P:", -1, 0},
        {L"/P:2", -1, 2000},     {L"/P2", -1, 2000},       {L"/P:500m", -1, 500},  {L"/P=500M", -1, 500},
        {L"/P:3,20", 20, 3000},  {L"/P:3;20", 20, 3000},   {L"/P:,20", 20, 0},     {L"/P;7", 7, 0},
        {L"/P:,0", 0, 0},        {L"/P:,1000", 1000, 0},   {L"/P:1,", -1, 1000},   {L"/P:0x10", -1, 16000},
        {L"/P:0,5", 5, 0},       {L"/P:10m,0x10", 16, 10},
        {L"/P:4294967", -1, 4294967000u},
        {L"/P:4294968", -1, 0xFFFFFFFFu},  // more seconds than 32-bit milliseconds: the longest wait
    };
    for (const PauseCase& c : cases) {
        std::wstring arg = c.arg;
        int32_t lines = 99;
        PauseTimeMs = 12345;
        Captured out = CaptureOutput([&] { return ParsePauseOption(arg.data(), &lines); });
        EXPECT_EQ(out.result, 0) << Narrow(c.arg);
        EXPECT_EQ(lines, c.lines) << Narrow(c.arg);
        EXPECT_EQ(PauseTimeMs, c.timeMs) << Narrow(c.arg);
        EXPECT_EQ(out.err, L"") << Narrow(c.arg);
    }
    PauseTimeMs = 0;
}

TEST(ParsePauseOptionTest, OtherArgumentsAreLeftAlone) {
    std::wstring arg = L"/Q:5";
    int32_t lines = 42;
    PauseTimeMs = 7;
    EXPECT_EQ(ParsePauseOption(arg.data(), &lines), 0);
    EXPECT_EQ(lines, 42);
    EXPECT_EQ(PauseTimeMs, 7u);
    EXPECT_EQ(ParsePauseOption(nullptr, &lines), -1);
    PauseTimeMs = 0;
}

struct PauseErrorCase {
    const wchar_t* arg;
    const wchar_t* message;
};

TEST(ParsePauseOptionTest, Rejected) {
    const PauseErrorCase cases[] = {
        {L"/P:x", L"Syntax error: \"/P:X\"\r\n"},
        {L"/px", L"Syntax error: \"/PX\"\r\n"},
        {L"/P:2s", L"Syntax error: \"/P:2S\"\r\n"},
        {L"/P:2,3,4", L"Syntax error: \"/P:2,3,4\"\r\n"},
        {L"/P::2", L"Syntax error: \"/P::2\"\r\n"},
        {L"/P:,x", L"Syntax error: \"/P:,X\"\r\n"},
        {L"/P:99999999999", L"Bad pause time: \"/P:99999999999\"\r\n"},
        {L"/p:1,99999999999", L"Bad pause lines: \"/P:1,99999999999\"\r\n"},
        {L"/P:,1001", L"Pause lines must be 0 - 1000: 1001\r\n"},
        {L"/P:,0x3E9", L"Pause lines must be 0 - 1000: 1001\r\n"},
    };
    for (const PauseErrorCase& c : cases) {
        std::wstring arg = c.arg;
        int32_t lines = 0;
        Captured out = CaptureOutput([&] { return ParsePauseOption(arg.data(), &lines); });
        EXPECT_EQ(out.result, 1) << Narrow(c.arg);
        EXPECT_EQ(out.err, Prefix + c.message) << Narrow(c.arg);
    }
    PauseTimeMs = 0;
}

TEST(SetPageLengthTest, NoPagingWithoutAConsole) {
    PageLength = LinesLeft = 30;
    Captured out = CaptureOutput([] { return static_cast<int>(SetPageLength(0xFFFFFFFFu)); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(PageLength, 0u);
    EXPECT_EQ(LinesLeft, 0u);
}

TEST(SetPageLengthTest, ResetPagingClearsTheState) {
    PageLength = LinesLeft = PauseTimeMs = 9;
    ResetPaging();
    EXPECT_EQ(PageLength, 0u);
    EXPECT_EQ(LinesLeft, 0u);
    EXPECT_EQ(PauseTimeMs, 0u);
}

TEST(SetPageLengthTest, FollowsTheConsoleWindowHeight) {
    ScopedConsoleOutput console;
    if (!console.ok()) GTEST_SKIP() << "no console";
    const struct {
        short height;
        uint32_t lines;
        uint32_t page;
    } cases[] = {
        {50, 0xFFFFFFFFu, 48}, {50, 20, 20}, {50, 3, 3}, {50, 2, 48}, {50, 1, 48}, {50, 49, 49},
        {50, 50, 48},          {10, 7, 7},   {10, 0xFFFFFFFFu, 8},    {100, 99, 99}, {9, 5, 0},   {101, 5, 0},
    };
    for (const auto& c : cases) {
        if (!console.SetWindow(80, c.height)) GTEST_SKIP() << "cannot size the console window to " << c.height;
        PageLength = LinesLeft = 77;
        EXPECT_EQ(SetPageLength(c.lines), c.page) << c.height << " " << c.lines;
        EXPECT_EQ(PageLength, c.page);
        EXPECT_EQ(LinesLeft, c.page);
    }
    ResetPaging();
}

}  // namespace
