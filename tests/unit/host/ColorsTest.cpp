#include <gtest/gtest.h>
#include "plugin/HostServices.h"

#include <string>

namespace {

struct ColourCase {
    const wchar_t* text;
    int result;  // 0 parsed
    int foreground;
    int background;
};

const ColourCase ColourCases[] = {
    {L"black", 0, 0, 64},
    {L"blue", 0, 1, 64},
    {L"green", 0, 2, 64},
    {L"cyan", 0, 3, 64},
    {L"red", 0, 4, 64},
    {L"magenta", 0, 5, 64},
    {L"yellow", 0, 6, 64},
    {L"white", 0, 7, 64},
    {L"bright red", 0, 12, 64},
    {L"Bright White on Blue", 0, 15, 1},
    {L"yellow on bright black", 0, 6, 8},
    {L"BLUE ON BLACK", 0, 1, 0},
    {L"  bright   cyan   on   bright  white  ", 0, 11, 15},
    {L"bri mag on yel", 0, 13, 6},
    {L"purple", 1, -1, -1},
    {L"", 1, -1, -1},
    {L"bright", 1, -1, -1},
    {L"red on", 1, -1, -1},
    {L"on red", 1, -1, -1},
    {L"red blue", 1, -1, -1},
    {L"red on blue green", 1, -1, -1},
    {L"re", 1, -1, -1},  // too short to name a colour
};

TEST(ParseColors, Table) {
    for (const ColourCase& c : ColourCases) {
        int fg = -1, bg = -1;
        int r = ParseColors(c.text, &fg, &bg);
        std::string label = testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(r == 0, c.result == 0) << label;
        EXPECT_EQ(fg, c.foreground) << label;
        EXPECT_EQ(bg, c.background) << label;
    }
}

TEST(GetAttribute, RedirectedOutputGivesSeven) {
    HANDLE old = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
    int normal = -1, second = -1;
    GetAttribute(&normal, &second);
    SetStdHandle(STD_OUTPUT_HANDLE, old);
    EXPECT_EQ(normal, 7);
}

// Keys typed at the console are discarded even when standard input is not the
// console (a pipe or a file): the key reads take them from the console.
TEST(EatKeystrokes, EmptiesTheConsoleInputWhateverStandardInputIs) {
    HANDLE console = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no console";
    INPUT_RECORD keys[2] = {};
    for (int i = 0; i < 2; ++i) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = VK_ESCAPE;
        keys[i].Event.KeyEvent.uChar.UnicodeChar = 27;
    }
    DWORD written = 0, waiting = 99;
    ASSERT_TRUE(WriteConsoleInputW(console, keys, 2, &written));
    HANDLE oldIn = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, INVALID_HANDLE_VALUE);
    EatKeystrokes();
    SetStdHandle(STD_INPUT_HANDLE, oldIn);
    EXPECT_TRUE(GetNumberOfConsoleInputEvents(console, &waiting));
    EXPECT_EQ(waiting, 0u);
    CloseHandle(console);
}

}  // namespace
