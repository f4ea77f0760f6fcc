// Line endings, the pager's counting and the formatted writer with colour off.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "console/Console.h"
#include "plugin/Plugin.h"

#include <cstdarg>
#include <string>

namespace {

class Paging : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        NormalAttr = HighlightAttr = ContrastAttr = 0;
        InverseNormalAttr = InverseHighlightAttr = InverseContrastAttr = 0;
        PageLength = LinesLeft = PauseTimeMs = 0;
        BreakRequested = 0;
    }
};

// Raises the break flag from another thread after a delay, as the console
// control handler would while the pager waits for a key.
struct DelayedBreak {
    HANDLE thread = nullptr;
    explicit DelayedBreak(DWORD delayMs) {
        thread = CreateThread(
            nullptr, 0,
            [](void* p) -> DWORD {
                Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(p)));
                BreakRequested = 1;
                return 0;
            },
            reinterpret_cast<void*>(static_cast<uintptr_t>(delayMs)), 0, nullptr);
    }
    ~DelayedBreak() {
        if (!thread) return;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};

int PlainPrintf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = PagedPrintfPlain(format, args);
    va_end(args);
    return result;
}

}  // namespace

TEST_F(Paging, PagedPrintfWithoutColourDropsControlsAndEndsLines) {
    struct Case {
        const char* what;
        int (*write)();
        std::wstring expected;
    } cases[] = {
        {"plain text", [] { return PagedPrintf(L"plain"); }, L"plain"},
        {"header line", [] { return PagedPrintf(L"\x12\rFile %c%s%c :", L'\u201C', L"a%s b.txt", L'\u201D'); },
         L"File \u201Ca%s b.txt\u201D :"},
        {"line feeds", [] { return PagedPrintf(L"a\nb\n\nc"); }, L"a\r\nb\r\n\r\nc"},
        {"carriage returns", [] { return PagedPrintf(L"\r\na\r\r\n"); }, L"\r\na\r\n"},
        {"every colour switch", [] { return PagedPrintf(L"\x11x\x12y\x13z\x14\x15\x16!"); }, L"xyz!"},
        {"outside the switches", [] { return PagedPrintf(L"\x10\x17"); }, L"\x10\x17"},
        {"64-bit number", [] { return PagedPrintf(L"%I64u bytes", 12345678901234ULL); }, L"12345678901234 bytes"},
        {"empty format", [] { return PagedPrintf(L""); }, L""},
        {"plain writer", [] { return PlainPrintf(L"\x12%s\n%d", L"x\ry", -5); }, L"xy\r\n-5"},
    };
    for (const Case& c : cases) {
        Captured out = CaptureOutput(c.write);
        EXPECT_EQ(out.result, 0) << c.what;
        EXPECT_EQ(out.out, c.expected) << c.what;
    }
}

TEST_F(Paging, PagedPrintfFailures) {
    EXPECT_EQ(PagedPrintf(nullptr), -1);
    EXPECT_EQ(PlainPrintf(nullptr), -1);
    BreakRequested = 1;
    Captured c = CaptureOutput([] { return PagedPrintf(L"not written\n"); });
    EXPECT_EQ(c.result, -3);
    EXPECT_EQ(c.outBytes, "");
}

TEST_F(Paging, PagedPrintfLongText) {
    // Far beyond any fixed buffer: the text is sized by its formatted length.
    std::wstring longText(20000, L'x');
    longText[9999] = L'\n';
    Captured c = CaptureOutput([&] { return PagedPrintf(L"<%s>", longText.c_str()); });
    EXPECT_EQ(c.result, 0);
    std::wstring expected = L"<" + longText.substr(0, 9999) + L"\r\n" + longText.substr(10000) + L">";
    EXPECT_EQ(c.out, expected);
}

TEST_F(Paging, EndLineWritesItsTextCountTimes) {
    struct Case {
        const wchar_t* text;
        int count;
        std::wstring expected;
    } cases[] = {
        {L"\r\n", 1, L"\r\n"},
        {L"\n", 3, L"\n\n\n"},
        {L"\r", 2, L"\r\r"},
        {nullptr, 1, L"\r\n"},
        {L"", 2, L"\r\n\r\n"},
        {L"\r\n", 0, L""},
    };
    for (const Case& c : cases) {
        Captured out = CaptureOutput([&] { return EndLine(c.text, c.count); });
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.out, c.expected) << "count " << c.count;
    }
}

TEST_F(Paging, EndLineStopsAtABreak) {
    BreakRequested = 1;
    Captured c = CaptureOutput([] { return EndLine(L"\n", 3); });
    EXPECT_EQ(c.result, -3);
    EXPECT_EQ(c.out, L"\n");  // the remaining repetitions are not written
}

TEST_F(Paging, PagesCountDownAcrossCalls) {
    // The prompt answers itself after the pause time, which counts as a
    // full page.
    PageLength = LinesLeft = 3;
    PauseTimeMs = 40;
    DWORD start = GetTickCount();
    Captured c = CaptureOutput([] {
        int result = EndLine(L"\n", 4);  // a prompt after the third
        return result | EndLine(L"\n", 3);  // and after the sixth
    });
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out, L"\n\n\n\n\n\n\n");
    EXPECT_EQ(LinesLeft, 2u);
    EXPECT_EQ(PageLength, 3u);
    EXPECT_GE(elapsed, 2 * 40u - 20u);  // two prompts waited
}

TEST_F(Paging, PagingOffNeverPrompts) {
    PauseTimeMs = 2000;  // a prompt would show as a long wait
    DWORD start = GetTickCount();
    Captured c = CaptureOutput([] { return EndLine(L"\n", 500); });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out.size(), 500u);
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ(LinesLeft, 0u);
}

TEST_F(Paging, BreakDuringThePromptEndsTheOutput) {
    PageLength = 5;
    LinesLeft = 2;
    PauseTimeMs = 10000;  // only a safety net: the break comes first
    DWORD start = GetTickCount();
    Captured c = CaptureOutput([] {
        DelayedBreak later(100);
        return PagedPrintf(L"one\ntwo\nthree\n");
    });
    EXPECT_EQ(c.result, -3);
    EXPECT_EQ(c.out, L"one\r\ntwo\r\n");
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(LinesLeft, 5u);  // the prompt had started a new page
}

TEST_F(Paging, WaitKeyTimesOutWithABlank) {
    BreakRequested = 1;  // a break from before the wait does not count
    PauseTimeMs = 50;
    DWORD start = GetTickCount();
    EXPECT_EQ(WaitKey(), 32);
    EXPECT_GE(GetTickCount() - start, 40u);
    EXPECT_EQ(static_cast<LONG>(BreakRequested), 0);
}

TEST_F(Paging, WaitKeyReportsABreak) {
    PauseTimeMs = 10000;
    DelayedBreak later(50);
    EXPECT_EQ(WaitKey(), 3);
}
