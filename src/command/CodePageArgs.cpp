// The "/CP" option: a code page by name (OEM, ANSI, UTF-8) or by number,
// limited to the code pages the text decoder has tables for.
#include "command/Command.h"
#include "plugin/Plugin.h"

#include <cwctype>

// Same order as the decoder's tables.
const uint32_t SingleByteCodePages[24] = {1252, 1250, 1251, 1253, 1254, 1255, 1256, 1257,
                                          1258, 437,  720,  737,  775,  850,  852,  855,
                                          857,  858,  862,  866,  874,  10000, 20866, 21866};

namespace {

bool EqualsAsciiIgnoreCase(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t x = *a, y = *b;
        if (x >= L'a' && x <= L'z') x -= 32;
        if (y >= L'a' && y <= L'z') y -= 32;
        if (x != y) return false;
        if (x == L'\0') return true;
    }
}

bool IsSingleByteCodePage(uint32_t cp) {
    for (uint32_t known : SingleByteCodePages)
        if (known == cp) return true;
    return false;
}

}  // namespace

int ParseCodePageNumber(const wchar_t* text, uint32_t* result) {
    if (!text || !result) return -1;
    const wchar_t* p = text;
    unsigned base = 10;
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && iswxdigit(p[2]) && p[2] < 0x80) {
        base = 16;
        p += 2;
    } else if (!(p[0] >= L'0' && p[0] <= L'9')) {
        return -1;
    }
    uint32_t value = 0;
    for (; *p; ++p) {
        wchar_t ch = *p;
        unsigned d;
        if (ch >= L'0' && ch <= L'9') d = ch - L'0';
        else if (base == 16 && ch >= L'a' && ch <= L'f') d = ch - L'a' + 10;
        else if (base == 16 && ch >= L'A' && ch <= L'F') d = ch - L'A' + 10;
        else return -1;
        if (__builtin_mul_overflow(value, base, &value) || __builtin_add_overflow(value, d, &value)) return -1;
    }
    *result = value;
    return 0;
}

int ParseCodePage(wchar_t* argument, uint32_t* codePage, uint32_t* ebcdicCodePage) {
    if (!codePage || !argument || argument[0] == L'\0') return -1;
    const wchar_t* p = argument;
    if (*p == L'/' || *p == L'-') ++p;
    while (*p && iswalpha(*p)) ++p;
    if (*p == L':' || *p == L'=') ++p;
    if (*p == L'\0') {
        CharUpperW(argument);
        ReportError(L"Missing code page value: \"%s\"\r\n", argument);
        return 1;
    }
    uint32_t cp = 0;
    if (EqualsAsciiIgnoreCase(p, L"OEM") || EqualsAsciiIgnoreCase(p, L"O")) {
        cp = GetOEMCP();
    } else if (EqualsAsciiIgnoreCase(p, L"ANSI") || EqualsAsciiIgnoreCase(p, L"A")) {
        cp = GetACP();
    } else if (EqualsAsciiIgnoreCase(p, L"UTF8") || EqualsAsciiIgnoreCase(p, L"UTF-8")) {
        *codePage = 65001;
        return 0;
    } else if (ParseCodePageNumber(p, &cp) != 0) {
        CharUpperW(argument);
        ReportError(L"Bad code page value: \"%s\"\r\n", argument);
        return 1;
    }
    if (cp == 65001 || IsSingleByteCodePage(cp)) {
        *codePage = cp;
    } else if (ebcdicCodePage && cp >= 1140 && cp <= 1149) {
        *ebcdicCodePage = cp;
    } else {
        ReportError(L"Code page %u not supported\r\n", cp);
        return 1;
    }
    return 0;
}
