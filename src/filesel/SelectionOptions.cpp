// The file-selection options: attributes ("/A"), subdirectories ("/S"),
// description filters ("/I", "/!I") and the range options ("/[", "/![").
// They only update the caller's selection values; the walk reads them later.
#include "filesel/FileSel.h"
#include "filesel/FileSelInternal.h"
#include "plugin/Plugin.h"
#include <cwchar>
#include <cwctype>

namespace {

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsHexDigit(wchar_t c) { return IsDigit(c) || (Upper(c) >= L'A' && Upper(c) <= L'F'); }

int Fail(const wchar_t* format, wchar_t* argument, int result) {
    CharUpperW(argument);
    ReportError(format, argument);
    return result;
}

uint32_t AttributeBit(wchar_t letter) {
    switch (letter) {
    case L'R': return FILE_ATTRIBUTE_READONLY;
    case L'H': return FILE_ATTRIBUTE_HIDDEN;
    case L'S': return FILE_ATTRIBUTE_SYSTEM;
    case L'A': return FILE_ATTRIBUTE_ARCHIVE;
    case L'C': return FILE_ATTRIBUTE_COMPRESSED;
    case L'O': return FILE_ATTRIBUTE_OFFLINE;
    case L'I': return FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    case L'E': return FILE_ATTRIBUTE_ENCRYPTED;
    default: return 0;
    }
}

// "/A[:|=]letters": every "/A" starts again from "no directories".
int ParseAttributes(wchar_t* argument, uint32_t* mask, uint32_t* value) {
    const wchar_t* p = argument + 2;
    if (*p == L':' || *p == L'=') ++p;
    *mask = FILE_ATTRIBUTE_DIRECTORY;
    *value = 0;
    for (bool negate = false; *p; ++p) {
        wchar_t c = Upper(*p);
        if (c == L'-') {
            if (!IsCharAlphaW(p[1])) return Fail(L"Bad attributes: \"%s\"\r\n", argument, -11);
            negate = true;
            continue;
        }
        if (c == L'D') return Fail(L"Directories not allowed: \"%s\"\r\n", argument, -11);
        uint32_t bit = AttributeBit(c);
        if (!bit) return Fail(L"Bad attributes: \"%s\"\r\n", argument, -11);
        *mask |= bit;
        if (negate) *value &= ~bit;
        else *value |= bit;
        negate = false;
    }
    return 11;
}

// An unsigned 32-bit depth: "0x" and a hexadecimal digit start a hexadecimal
// number, otherwise decimal digits. False when it does not fit.
bool ReadDepth(const wchar_t*& p, int32_t* depth) {
    uint64_t v = 0;
    bool hex = p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && IsHexDigit(p[2]);
    if (hex) p += 2;
    for (; hex ? IsHexDigit(*p) : IsDigit(*p); ++p) {
        wchar_t c = Upper(*p);
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(IsDigit(c) ? c - L'0' : c - L'A' + 10);
        if (v > 0xFFFFFFFFu) return false;
    }
    *depth = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

int ParseSubdirectories(wchar_t* argument, uint32_t* handlerFlags, int32_t* minDepth, int32_t* maxDepth) {
    *handlerFlags |= FH_RECURSE;
    if (argument[2] == L'\0') {
        *minDepth = 0;
        *maxDepth = -1;
        return 15;
    }
    const wchar_t* p = argument + 2;
    if (*p == L':' || *p == L'=') ++p;
    if (IsDigit(*p) && !ReadDepth(p, maxDepth)) return Fail(L"Bad MaxDepth value: \"%s\"\r\n", argument, -15);
    if (*p == L'+' && IsDigit(p[1])) {
        ++p;
        if (!ReadDepth(p, minDepth) || *p) return Fail(L"Bad MinDepth value: \"%s\"\r\n", argument, -15);
        return 15;
    }
    if (*p) return Fail(L"Syntax error: \"%s\"\r\n", argument, -15);
    return 15;
}

}  // namespace

int ParseFileSelectionOption(wchar_t* argument, uint32_t* attributeMask, uint32_t* attributeValue,
                             uint32_t* handlerFlags, int32_t* minDepth, int32_t* maxDepth, Range** ranges) {
    if (!argument || !attributeMask || !attributeValue || !handlerFlags || !minDepth || !maxDepth || !ranges)
        return -1;
    if (argument[0] != L'/') return 0;
    if (argument[1] == L'[' || (argument[1] == L'!' && argument[2] == L'['))
        return ParseRangeOption(argument, ranges) == 0 ? 10 : -10;
    wchar_t letter = Upper(argument[1]);
    if (letter == L'A') return ParseAttributes(argument, attributeMask, attributeValue);
    if (letter == L'I' && argument[2]) return ParseDescriptionOption(argument + 2, 0, ranges) == 0 ? 12 : -12;
    if (argument[1] == L'!' && Upper(argument[2]) == L'I' && argument[3])
        return ParseDescriptionOption(argument + 3, 1, ranges) == 0 ? 12 : -12;
    if (letter == L'S') return ParseSubdirectories(argument, handlerFlags, minDepth, maxDepth);
    return 0;
}
