// Unsigned numbers as the command line writes them: "0x" hexadecimal, "0o"
// octal, otherwise decimal from a leading digit.
#include "plugin/Plugin.h"
#include <cerrno>

namespace {

int DigitValue(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9') return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    return 99;
}

}  // namespace

int ParseUnsignedText(const wchar_t* text, uint64_t limit, uint64_t* value, const wchar_t** end) {
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
    // Our own digit loop rather than wcstoull: that one would also take a
    // second "0x" after the first, and a sign or blanks.
    uint64_t result = 0;
    bool overflow = false;
    for (int d; (d = DigitValue(*p)) < static_cast<int>(base); ++p) {
        if (__builtin_mul_overflow(result, base, &result) || __builtin_add_overflow(result, static_cast<uint64_t>(d), &result))
            overflow = true;
    }
    if (overflow || result > limit) return ERANGE;
    if (end) {
        *end = p;
    } else if (*p != L'\0') {
        return -1;
    }
    *value = result;
    return 0;
}
