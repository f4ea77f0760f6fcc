// The framing around the dump lines of one input: the header ("/H", "/HH"),
// the notice for an empty input and the totals line ("/I").
#include <cstdio>
#include <cstring>
#include <cwchar>
#include "console/Console.h"
#include "dump/DumpInternal.h"
#include "plugin/Plugin.h"

#define HIGHLIGHT L"\x12"  // COLOR_HIGHLIGHT: what follows in a PagedPrintf format is highlighted

const wchar_t* const UnitNames[9] = {L"",      L"byte",  L"word",   L"triad",   L"doubleword",
                                     L"pentad", L"hexad", L"heptad", L"quadword"};

// Digits of one value by word length and base (hex, octal, decimal, signed).
const uint8_t ValueDigits[9][4] = {
    {0, 0, 0, 0},     {2, 3, 3, 4},     {4, 6, 5, 6},     {6, 8, 8, 8},     {8, 11, 10, 11},
    {10, 14, 13, 13}, {12, 16, 15, 16}, {14, 19, 17, 18}, {16, 22, 20, 21},
};

namespace {

constexpr size_t ExpansionCapacity = 8192;
constexpr size_t MaxGroupedInput = 8182;  // "%@comma[" + text + "]" must fit the expansion buffer
wchar_t Expansion[ExpansionCapacity];

wchar_t LeftQuote(uint32_t flags) { return (flags & DF_PLAIN_QUOTES) ? L'"' : L'\u201C'; }
wchar_t RightQuote(uint32_t flags) { return (flags & DF_PLAIN_QUOTES) ? L'"' : L'\u201D'; }

bool IsClipboardName(const wchar_t* name) { return _wcsicmp(name, L"clip:") == 0; }
bool IsStdinName(const wchar_t* name) { return std::wcscmp(name, L"-") == 0; }

// Decimal text of a number, grouped by the host when it can.
void GroupedNumber(wchar_t* text, size_t capacity, size_t groupCapacity, uint64_t value) {
    _snwprintf(text, capacity, L"%I64u", static_cast<unsigned long long>(value));
    text[capacity - 1] = 0;
    GroupDigits(text, groupCapacity);
}

}  // namespace

int GroupDigits(wchar_t* buffer, size_t capacity) {
    if (!buffer) return 2;
    const size_t length = std::wcslen(buffer);
    if (length > MaxGroupedInput) return 1;
    wchar_t* p = Expansion;
    std::memcpy(p, L"%@comma[", 8 * sizeof(wchar_t));
    p += 8;
    std::memcpy(p, buffer, length * sizeof(wchar_t));
    p += length;
    *p++ = L']';
    *p = 0;
    if (ExpandVariables(Expansion, 1) != 0) return 2;
    Expansion[ExpansionCapacity - 1] = 0;
    const size_t grouped = std::wcslen(Expansion);
    if (grouped >= capacity) return 3;
    std::memcpy(buffer, Expansion, (grouped + 1) * sizeof(wchar_t));
    return 0;
}

const wchar_t* PluralUnit(uint64_t count, const wchar_t* unit) {
    static wchar_t text[64];
    size_t n = 0;
    if (unit)
        for (; unit[n] && n < 62; ++n) text[n] = unit[n];
    if (count != 1) text[n++] = L's';
    text[n] = 0;
    return text;
}

const wchar_t* FileNamePart(const wchar_t* path) {
    if (!path) return path;
    const wchar_t* slash = nullptr;
    const wchar_t* colon = nullptr;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'/' || *p == L'\\') slash = p;
        else if (*p == L':') colon = p;
    }
    if (slash) return slash + 1;
    if (colon) return colon + 1;
    return path;
}

int WriteHeader(InputSource* source, const wchar_t* lineEnding, uint32_t flags) {
    if (EndLine(lineEnding, 1) == -3) return -3;
    const wchar_t* name = source->Name ? source->Name : L"";
    if (IsClipboardName(name)) {
        PutHighlighted(L"<clipboard>");
    } else if (IsStdinName(name)) {
        PutHighlighted(L"<stdin>");
    } else {
        if (std::wcsncmp(name, L"\\\\?\\", 4) == 0 && name[4]) name += 4;
        PagedPrintf(HIGHLIGHT L"\rFile %c%s%c :", LeftQuote(flags), name, RightQuote(flags));
    }
    if (EndLine(lineEnding, 1) == -3) return -3;
    if (!(flags & DF_SHOW_DETAILS)) return EndLine(lineEnding, 1) == -3 ? -3 : 0;

    const uint64_t size = source->Size;
    wchar_t text[1024];
    GroupedNumber(text, 1024, 1024, size);
    Printf(L"  \u2022  %s %s", text, size == 1 ? L"byte" : L"bytes");

    struct Scale {
        uint64_t bytes;
        const wchar_t* format;
    };
    static const Scale scales[] = {
        {1ull << 30, L"  (%s GB)"},
        {1ull << 20, L"  (%s MB)"},
        {1ull << 10, L"  (%s kB)"},
    };
    for (const Scale& scale : scales) {
        if (size < scale.bytes) continue;
        _snwprintf(text, 1024, L"%.1f", static_cast<double>(size) / static_cast<double>(scale.bytes));
        text[1023] = 0;
        GroupDigits(text, 1024);
        Printf(scale.format, text);
        break;
    }
    if (DescribeEncoding(source, text) == 0 && text[0]) Printf(L"    %s", text);
    return EndLine(lineEnding, 2) == -3 ? -3 : 0;
}

int WriteEmptyNotice(const wchar_t* name, const wchar_t* lineEnding, uint32_t flags) {
    if (EndLine(lineEnding, 1) == -3) return -3;
    PagedPrintf(L"File %c%s%c is empty.", LeftQuote(flags), name, RightQuote(flags));
    return EndLine(lineEnding, 1) == -3 ? -3 : 0;
}

int WriteTotals(const wchar_t* name, uint64_t count, uint32_t wordLen, const wchar_t* lineEnding, uint32_t flags) {
    wchar_t text[1024];
    GroupedNumber(text, 1024, 1024, count);
    if (EndLine(lineEnding, 1) == -3) return -3;
    PagedPrintf(HIGHLIGHT L"Displayed %s %s ", text, count == 1 ? L"byte" : L"bytes");
    if (wordLen >= 2 && wordLen <= 8) {
        const uint64_t values = count / wordLen + (count % wordLen != 0);
        GroupedNumber(text, 1024, 896, values);
        PagedPrintf(HIGHLIGHT L"(%s %s) ", text, PluralUnit(values, UnitNames[wordLen]));
    }
    if (IsClipboardName(name)) {
        PutHighlighted(L"from <clipboard>.");
    } else if (IsStdinName(name)) {
        PutHighlighted(L"from <stdin>.");
    } else {
        const wchar_t* shown = QueryIsURL(name) ? name : FileNamePart(name);
        PagedPrintf(HIGHLIGHT L"from %c%s%c.", LeftQuote(flags), shown, RightQuote(flags));
    }
    return EndLine(lineEnding, 1) == -3 ? -3 : 0;
}
