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

bool IsPauseLetter(const wchar_t* text) {
    return (text[0] == L'/' || text[0] == L'-') && (text[1] == L'P' || text[1] == L'p');
}

}  // namespace

int ParseUnsigned(const wchar_t* text, uint32_t* value, const wchar_t** end) {
    if (!value) return -1;
    uint64_t wide = 0;
    int rc = ParseUnsignedText(text, UINT32_MAX, &wide, end);
    if (rc == 0) *value = static_cast<uint32_t>(wide);
    return rc;
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
