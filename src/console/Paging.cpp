// The line-ending writer that pages the output and notices a user break, the
// pause prompt and its keys, and the formatted writer built on them.
#include "console/Console.h"
#include "plugin/Plugin.h"

#include <conio.h>
#include <cstdio>
#include <cstdlib>

namespace {

const wchar_t Prompt[] = L"\r   \u2500\u2500 Press a key to continue \u2500\u2500 ";
// Wide enough to cover the prompt on any console.
const wchar_t Eraser[] = L"\r                                                            \r";
const wchar_t BreakMark[] = L"\r ^C \n";

constexpr int KeyBreak = 3;
constexpr int KeyEscape = 27;
constexpr int KeyTimeOut = 32;

// Frees its heap block exactly once.
struct HeapText {
    wchar_t* p = nullptr;
    HeapText() = default;
    HeapText(const HeapText&) = delete;
    HeapText& operator=(const HeapText&) = delete;
    ~HeapText() { free(p); }
};

HANDLE StandardOutput() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool OutputIsConsole() {
    DWORD mode;
    return GetConsoleMode(StandardOutput(), &mode) != 0;
}

// "^C" in a colour that stands out; only a console gets it.
void WriteBreakMark() {
    if (!OutputIsConsole()) return;
    int old = SetBreakAttribute();
    _cputws(BreakMark);
    if (ConsoleOut) SetConsoleTextAttribute(ConsoleOut, static_cast<WORD>(old));
}

void RestoreNormal() {
    SetConsoleTextAttribute(StandardOutput(), NormalAttr);
    SetColors(NormalAttr);
}

uint8_t AttributeOf(wchar_t colorSwitch) {
    switch (colorSwitch) {
    case COLOR_HIGHLIGHT: return HighlightAttr;
    case COLOR_INVERSE: return InverseNormalAttr;
    case COLOR_INVERSE_HIGHLIGHT: return InverseHighlightAttr;
    case COLOR_CONTRAST: return ContrastAttr;
    case COLOR_INVERSE_CONTRAST: return InverseContrastAttr;
    default: return NormalAttr;
    }
}

bool IsColorSwitch(wchar_t ch) { return ch >= COLOR_NORMAL && ch <= COLOR_INVERSE_CONTRAST; }

// The formatted text in a heap block of its length + 16 units; null when the
// format is bad or memory cannot be had (*failure says which).
wchar_t* FormatToHeap(HeapText& block, const wchar_t* format, va_list args, int* failure) {
    va_list counting;
    va_copy(counting, args);
    int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length < 0) {
        *failure = -1;
        return nullptr;
    }
    size_t units = static_cast<size_t>(length) + 16;
    block.p = static_cast<wchar_t*>(malloc(units * sizeof(wchar_t)));
    if (!block.p) {
        *failure = -2;
        return nullptr;
    }
    va_list writing;
    va_copy(writing, args);
    FormatTextV(block.p, units, format, writing);
    va_end(writing);
    return block.p;
}

// Walks the formatted text: '\n' ends a line through EndLine, '\r' is
// dropped, the colour-switch characters pick the colour of what follows
// (or are dropped when colour is off). Pieces are gathered in place: the
// write position never passes the read position.
int WriteText(wchar_t* text, bool colour) {
    const uint8_t normal = NormalAttr;
    uint8_t current = normal;
    wchar_t* piece = text;
    size_t length = 0;
    auto flush = [&]() {
        piece[length] = L'\0';
        if (colour) PutInAttribute(current, piece);
        else if (length) QPuts(piece);
    };
    for (wchar_t* p = text; *p; ++p) {
        const wchar_t ch = *p;
        if (ch == L'\n') {
            flush();
            piece = p + 1;
            length = 0;
            if (EndLine(L"\r\n", 1) == -3) {
                if (colour && current != normal) RestoreNormal();
                return -3;
            }
            current = normal;
        } else if (ch == L'\r') {
            continue;
        } else if (IsColorSwitch(ch)) {
            if (!colour) continue;
            uint8_t next = AttributeOf(ch);
            if (length && next != current) {
                flush();
                piece = p + 1;
                length = 0;
            }
            current = next;
        } else {
            piece[length++] = ch;
        }
    }
    flush();
    if (colour && current != normal) RestoreNormal();
    return 0;
}

// The console's input buffer, opened for the duration of one key wait.
struct ConsoleInput {
    HANDLE h = nullptr;
    ConsoleInput() {
        h = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) h = nullptr;
    }
    ConsoleInput(const ConsoleInput&) = delete;
    ConsoleInput& operator=(const ConsoleInput&) = delete;
    ~ConsoleInput() { if (h) CloseHandle(h); }
};

bool IsModifierKey(WORD vk) {
    switch (vk) {
    case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_LSHIFT: case VK_RSHIFT:
    case VK_LCONTROL: case VK_RCONTROL: case VK_LMENU: case VK_RMENU: case VK_LWIN: case VK_RWIN:
    case VK_CAPITAL: case VK_NUMLOCK: case VK_SCROLL:
        return true;
    default:
        return false;
    }
}

// Takes the keys the keyboard-hit test passed over. Key releases and other
// events are discarded, so that they neither keep the input signalled nor
// pile up. A key press without a character counts as a key: Esc as 27 (some
// consoles deliver it without its character), any other as a function key.
// A character key found here is one the hit test missed. Returns 0 when no
// key is waiting.
// WINE: the hit test looks at all but the last event.
int TakeUncountedKey(HANDLE input) {
    if (!input) return 0;
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!PeekConsoleInputW(input, &record, 1, &count) || count == 0) return 0;
        if (!ReadConsoleInputW(input, &record, 1, &count) || count == 0) return 0;
        const bool keyDown = record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown;
        if (!keyDown) continue;
        if (record.Event.KeyEvent.uChar.UnicodeChar) return record.Event.KeyEvent.uChar.UnicodeChar;
        if (IsModifierKey(record.Event.KeyEvent.wVirtualKeyCode)) continue;
        if (record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE) return KeyEscape;
        return 0x10000 + record.Event.KeyEvent.wVirtualScanCode;
    }
}

}  // namespace

int WaitKey(void) {
    const DWORD start = GetTickCount();
    const DWORD timeout = PauseTimeMs;
    BreakRequested = 0;
    ConsoleInput input;
    int key = 0;
    while (!_kbhit()) {
        if ((key = TakeUncountedKey(input.h)) != 0) return key;
        // Waiting on the input, rather than sleeping, is what makes some
        // consoles fetch the typed keys at all. A wait that ends at once
        // sleeps instead, so that the loop never spins.
        // WINE: its console on a terminal is one of them.
        if (!input.h || WaitForSingleObject(input.h, 10) != WAIT_TIMEOUT) Sleep(10);
        if (BreakRequested) return KeyBreak;
        // Unsigned difference: right across the wrap of the tick count too.
        if (timeout && GetTickCount() - start >= timeout) return KeyTimeOut;
    }
    key = _getwch();
    // Function and arrow keys come as a lead code and a second code.
    if (key == 0 || key == 0xE0) return 0x10000 + _getwch();
    return key;
}

uint32_t OutputError;

void NoteOutputFailure(void) {
    if (OutputError) return;
    const DWORD error = GetLastError();
    OutputError = error ? error : ERROR_WRITE_FAULT;
}

namespace {

// What follows every line ending: a failed write (failed: the ending's
// QPuts), a break, a full page and its prompt. 0, or -3 to stop the run.
int CountLineEnding(bool failed) {
    // The host keeps a failure and fails every later write too, so the
    // line ending also tells of a failed line; no system call per line.
    if (failed) NoteOutputFailure();
    if (OutputError) return -3;
    if (BreakRequested) {
        WriteBreakMark();
        return -3;
    }
    if (LinesLeft == 0 || --LinesLeft != 0) return 0;

    LinesLeft = PageLength;
    _cputws(Prompt);
    int key = WaitKey();
    _cputws(Eraser);
    switch (key) {
    case KeyBreak:
        WriteBreakMark();
        return -3;
    case KeyEscape:
        return -3;
    case L'/':
        LinesLeft = PageLength / 2;
        break;
    case L'0':
        LinesLeft = 10;
        break;
    case L'1': case L'2': case L'3': case L'4': case L'5':
    case L'6': case L'7': case L'8': case L'9':
        LinesLeft = static_cast<uint32_t>(key - L'0');
        break;
    case L'A': case L'a': case L'C': case L'c':
        LinesLeft = PageLength = 0;
        break;
    default:
        break;  // a full page
    }
    return 0;
}

}  // namespace

int EndLine(const wchar_t* text, int count) {
    if (!text || !*text) text = L"\r\n";
    if (NormalAttr) {
        // No colour leaks past a line end.
        RestoreNormal();
        if (TerminalWindow) _cputs("\x1b[23;24m");
        tty_yield(0);
    }
    for (int i = 0; i < count; ++i)
        if (CountLineEnding(QPuts(text) < 0) == -3) return -3;
    return 0;
}

int EndWrittenLine(int put) {
    return CountLineEnding(put < 0);
}

int PagedPrintfPlain(const wchar_t* format, va_list args) {
    if (!format) return -1;
    HeapText block;
    int failure = 0;
    wchar_t* text = FormatToHeap(block, format, args, &failure);
    if (!text) return failure;
    return WriteText(text, false);
}

int PagedPrintf(const wchar_t* format, ...) {
    if (!format) return -1;
    if (!*format) return 0;
    if (BreakRequested) {
        WriteBreakMark();
        return -3;
    }
    va_list args;
    va_start(args, format);
    int result;
    if (!NormalAttr) {
        result = PagedPrintfPlain(format, args);
    } else {
        HeapText block;
        int failure = 0;
        wchar_t* text = FormatToHeap(block, format, args, &failure);
        result = text ? WriteText(text, true) : failure;
    }
    va_end(args);
    return result;
}

void PollHotKeys(void) {
    if (PageLength) return;
    // Key states first: they are cheaper than asking whether output is a console.
    if (GetKeyState(VK_ESCAPE) & 0x8000) {
        if (!OutputIsConsole()) return;
        SetPageLength(0xFFFFFFFFu);
        LinesLeft = 1;  // the prompt follows the next line
        // Wait for the release, but not forever should the key state stick.
        for (int polls = 0; polls < 1000 && (GetKeyState(VK_ESCAPE) & 0x8000); ++polls) Sleep(10);
        EatKeystrokes();
    } else if (GetKeyState(VK_CONTROL) & 0x8000) {
        if (!OutputIsConsole()) return;
        Sleep(65);
    }
}
