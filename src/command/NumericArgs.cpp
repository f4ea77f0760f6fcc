// Byte counts and offsets for "/C", "/E" and "/M": 64-bit numbers in decimal,
// hexadecimal ("0x") or octal ("0o"), with an optional size multiplier and an
// optional unit of values.
#include "command/Command.h"
#include "plugin/Plugin.h"

#include <cerrno>

namespace {

uint64_t Multiplier(wchar_t ch) {
    switch (ch) {
        case L'k': return 1000ULL;
        case L'K': return 1ULL << 10;
        case L'm': return 1000000ULL;
        case L'M': return 1ULL << 20;
        case L'g': return 1000000000ULL;
        case L'G': return 1ULL << 30;
        case L't': return 1000000000000ULL;
        case L'T': return 1ULL << 40;
        case L'p': return 1000000000000000ULL;
        case L'P': return 1ULL << 50;
        default: return 0;
    }
}

}  // namespace

int ParseUnsigned64(const wchar_t* text, uint64_t* result, const wchar_t** end) {
    return ParseUnsignedText(text, UINT64_MAX, result, end);
}

int ParseSizeArgument(wchar_t* argument, int valueIndex, const wchar_t* name, uint64_t* result) {
    if (!argument || !result || valueIndex < 0) return -1;
    if (!name) name = L"value";
    const wchar_t* p = argument + valueIndex;
    if (*p == L':' || *p == L'=') ++p;
    if (*p == L'\0') {
        CharUpperW(argument);
        ReportError(L"Missing %s: \"%s\"\r\n", name, argument);
        return -2;
    }
    uint64_t number = 0;
    const wchar_t* end = nullptr;
    int rc = ParseUnsigned64(p, &number, &end);
    if (rc != 0) {
        CharUpperW(argument);
        ReportError(L"Bad %s: \"%s\"\r\n", name, argument);
        return rc;
    }
    uint64_t factor = Multiplier(*end);
    if (factor != 0) {
        ++end;
    } else {
        factor = 1;
    }
    switch (*end) {
        case L'\0': case L'b': case L'B': break;
        case L'w': case L'W': factor *= 2; break;
        case L'd': case L'D': factor *= 4; break;
        case L'q': case L'Q': factor *= 8; break;
        default:
            ReportError(L"Unknown multiplier: \"%s\"\r\n", argument);
            return -3;
    }
    uint64_t value = 0;
    if (__builtin_mul_overflow(number, factor, &value)) {
        ReportError(L"Overflow in %s: \"%s\"\r\n", name, argument);
        return -4;
    }
    *result = value;
    return 0;
}
