// The "/P" option (page length and prompt time-out) and the paging state it
// sets up for the paged writer.
#include "console/Console.h"
#include "plugin/Plugin.h"

#include <cerrno>

uint32_t PageLength;
uint32_t LinesLeft;
uint32_t PauseTimeMs;

void ResetPaging(void) { PageLength = LinesLeft = PauseTimeMs = 0; }

namespace {

bool IsDecimalDigit(wchar_t ch) { return ch >= L'0' && ch <= L'9'; }

int DigitValue(wchar_t ch) {
    if (IsDecimalDigit(ch)) return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    return 99;
}

bool IsPauseLetter(const wchar_t* text) {
    return (text[0] == L'/' || text[0] == L'-') && (text[1] == L'P' || text[1] == L'p');
}

}  // namespace

int ParseUnsigned(const wchar_t* text, uint32_t* value, const wchar_t** end) {
    if (!text || !value) return -1;
    const wchar_t* p = text;
    unsigned base;
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && DigitValue(p[2]) < 16) {
        base = 16;
        p += 2;
    } else if (p[0] == L'0' && (p[1] == L'o' || p[1] == L'O') && p[2] >= L'0' && p[2] <= L'7') {
        base = 8;
        p += 2;
    } else if (IsDecimalDigit(p[0])) {
        base = 10;
    } else {
        return -1;
    }
    uint32_t result = 0;
    bool overflow = false;
    for (int d; (d = DigitValue(*p)) < static_cast<int>(base); ++p) {
        if (__builtin_mul_overflow(result, base, &result) || __builtin_add_overflow(result, static_cast<uint32_t>(d), &result))
            overflow = true;
    }
    if (overflow) return ERANGE;
    if (end) {
        *end = p;
    } else if (*p != L'\0') {
        return -1;
    }
    *value = result;
    return 0;
}

int ParsePauseOption(wchar_t* argument, int32_t* pauseLines) {
    if (!argument || !pauseLines) return -1;
    if (IsPauseLetter(argument) && argument[2] == L'\0') {
        *pauseLines = -1;
        PauseTimeMs = 0;
        return 0;
    }
    if (!IsPauseLetter(argument)) return 0;

    PauseTimeMs = 0;
    *pauseLines = -1;
    const wchar_t* p = argument + 2;
    if (*p == L':' || *p == L'=') ++p;

    if (IsDecimalDigit(*p)) {
        uint32_t time = 0;
        if (ParseUnsigned(p, &time, &p) != 0) {
            CharUpperW(argument);
            ReportError(L"Bad pause time: \"%s\"\r\n", argument);
            return 1;
        }
        if (*p == L'M' || *p == L'm') {
            ++p;
        } else if (__builtin_mul_overflow(time, 1000u, &time)) {
            // Seconds beyond what 32-bit milliseconds hold: wait as long as we can
            // rather than a wrapped-around, much shorter time.
            time = 0xFFFFFFFFu;
        }
        PauseTimeMs = time;
    }

    if (*p == L',' || *p == L';') ++p;
    if (IsDecimalDigit(*p)) {
        uint32_t lines = 0;
        if (ParseUnsigned(p, &lines, &p) != 0) {
            CharUpperW(argument);
            ReportError(L"Bad pause lines: \"%s\"\r\n", argument);
            return 1;
        }
        if (lines > 1000) {
            ReportError(L"Pause lines must be 0 - 1000: %u\r\n", lines);
            return 1;
        }
        *pauseLines = static_cast<int32_t>(lines);
    }

    if (*p != L'\0') {
        CharUpperW(argument);
        ReportError(L"Syntax error: \"%s\"\r\n", argument);
        return 1;
    }
    return 0;
}

uint32_t SetPageLength(uint32_t lines) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        int height = info.srWindow.Bottom - info.srWindow.Top + 1;
        if (height >= 10 && height <= 100) {
            uint32_t h = static_cast<uint32_t>(height);
            PageLength = LinesLeft = (lines >= 3 && lines < h) ? lines : h - 2;
            return PageLength;
        }
    }
    PageLength = LinesLeft = 0;
    return 0;
}
