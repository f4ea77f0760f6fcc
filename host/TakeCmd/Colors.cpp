// Console colours and keyboard services of the stand-in host.
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "HostInternal.h"

#include <cwchar>

namespace host {
namespace {

bool IsConsole(HANDLE h) {
    DWORD mode = 0;
    return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

// Splits off the next word; false at the end of the text.
bool NextWord(const wchar_t*& p, const wchar_t*& word, size_t& length) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (!*p) return false;
    word = p;
    while (*p && *p != L' ' && *p != L'\t') ++p;
    length = static_cast<size_t>(p - word);
    return true;
}

bool WordIs(const wchar_t* word, size_t length, const wchar_t* text) {
    return CompareStringOrdinal(word, static_cast<int>(length), text, -1, TRUE) == CSTR_EQUAL;
}

// A colour name, whole or cut to at least three letters ("bla", "mag").
int ColourNumber(const wchar_t* word, size_t length) {
    static const wchar_t* const Names[] = {L"black", L"blue", L"green", L"cyan", L"red", L"magenta", L"yellow", L"white"};
    for (int i = 0; i < 8; ++i) {
        size_t full = wcslen(Names[i]);
        if (length > full || length < (full < 3 ? full : 3)) continue;
        if (CompareStringOrdinal(word, static_cast<int>(length), Names[i], static_cast<int>(length), TRUE) == CSTR_EQUAL) return i;
    }
    return -1;
}

// "[bright] colour" at p; -1 when it is not there.
int ReadColour(const wchar_t*& p) {
    const wchar_t* word;
    size_t length;
    if (!NextWord(p, word, length)) return -1;
    int bright = 0;
    if (WordIs(word, length, L"bright") || WordIs(word, length, L"bri")) {
        bright = 8;
        if (!NextWord(p, word, length)) return -1;
    }
    int c = ColourNumber(word, length);
    return c < 0 ? -1 : c + bright;
}

}  // namespace
}  // namespace host

extern "C" {

int GetAttribute(int* normal, int* second) {
    int attribute = 7;
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (host::IsConsole(out) && GetConsoleScreenBufferInfo(out, &info)) attribute = info.wAttributes & 0xFF;
    if (normal) *normal = attribute;
    if (second) *second = attribute;
    return 0;
}

int ParseColors(const wchar_t* text, int* foreground, int* background) {
    if (!text) return 1;
    const wchar_t* p = text;
    int fg = host::ReadColour(p);
    if (fg < 0) return 1;
    int bg = 64;  // no background named
    const wchar_t* word;
    size_t length;
    if (host::NextWord(p, word, length)) {
        if (!host::WordIs(word, length, L"on")) return 1;
        bg = host::ReadColour(p);
        if (bg < 0 || host::NextWord(p, word, length)) return 1;
    }
    if (foreground) *foreground = fg;
    if (background) *background = bg;
    return 0;
}

int SetColors(int attribute) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!host::IsConsole(out)) return 1;
    host::FlushStandardOutput();
    return SetConsoleTextAttribute(out, static_cast<WORD>(attribute & 0xFF)) ? 0 : 1;
}

int tty_yield(int flag) {
    (void)flag;
    return host::YieldOutput();
}

int EatKeystrokes(void) {
    // The keys wait in the console's input even when standard input is a
    // pipe or a file, and the key reads take them from there.
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return 0;
    int result = FlushConsoleInputBuffer(in) ? 0 : 1;
    CloseHandle(in);
    return result;
}

}  // extern "C"
