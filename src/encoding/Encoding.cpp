// Text encoding detection and character decoding for an open input.
// Detection looks at a bounded prefix of the data; decoding reads one
// character at a time and never touches a byte at or beyond Size.
#include "encoding/Encoding.h"

#include <cwchar>

namespace {

constexpr uint64_t Utf32ScanUnits = 65536;
constexpr uint64_t Utf16ScanBytes = 131072;
constexpr uint64_t Utf8ScanBytes = 262144;
constexpr uint64_t EbcdicScanBytes = 131072;
constexpr size_t LineCapacity = 32767;  // units of a line; the buffer holds one more for the terminator

bool IsAsciiAlnum(uint8_t b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

bool IsHighSurrogate(int c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(int c) { return c >= 0xDC00 && c <= 0xDFFF; }

int CombineSurrogates(int high, int low) { return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00); }

// Length of the UTF-8 sequence a lead byte starts; 0 when it cannot lead.
unsigned Utf8Length(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 0;
}

bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t x = *a, y = *b;
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x + 32);
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y + 32);
        if (x != y) return false;
        if (x == 0) return true;
    }
}

bool StartsWith(const InputSource* s, const uint8_t* bytes, uint64_t count) {
    if (!s->Data || s->Size < count) return false;
    for (uint64_t i = 0; i < count; ++i)
        if (s->Data[i] != bytes[i]) return false;
    return true;
}

const uint8_t Utf8Bom[] = {0xEF, 0xBB, 0xBF};

uint32_t TestUtf32(InputSource* s) {
    if (!s->Data || s->Size < 4 || s->Size % 4 != 0) return 0;
    const uint8_t* d = s->Data;
    uint64_t n = s->Size / 2;
    if (n > Utf32ScanUnits) n = Utf32ScanUnits;
    uint64_t big[2] = {0, 0}, zero[2] = {0, 0}, mask[2] = {0, 0};
    for (uint64_t i = 0; i < n; ++i) {
        unsigned u = d[2 * i] | (d[2 * i + 1] << 8);
        unsigned odd = static_cast<unsigned>(i & 1);
        if (u > 16)
            ++big[odd];
        else if (u == 0)
            ++zero[odd];
        if (u & 0xE0FF) ++mask[odd];
    }
    uint64_t t = 3 * n / 8;
    if (big[0] >= t && big[1] == 0 && zero[1] >= t) {
        if (d[0] == 0xFF && d[1] == 0xFE && d[2] == 0 && d[3] == 0) s->BomLength = 4;
        return Utf32Le;
    }
    if (mask[1] >= t && mask[0] == 0 && zero[0] >= t) {
        if (d[0] == 0 && d[1] == 0 && d[2] == 0xFE && d[3] == 0xFF) s->BomLength = 4;
        return Utf32Be;
    }
    return 0;
}

uint32_t TestUtf16(InputSource* s) {
    if (!s->Data || s->Size < 2) return 0;
    const uint8_t* d = s->Data;
    if (d[0] == 0xFF && d[1] == 0xFE) {
        s->BomLength = 2;
        return Utf16Le;
    }
    if (d[0] == 0xFE && d[1] == 0xFF) {
        s->BomLength = 2;
        return Utf16Be;
    }
    uint64_t n = s->Size < Utf16ScanBytes ? s->Size : Utf16ScanBytes;
    uint64_t spaces[2] = {0, 0}, nuls[2] = {0, 0}, alnum = 0;
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t b = d[i];
        unsigned odd = static_cast<unsigned>(i & 1);
        if (b == 0x20)
            ++spaces[odd];
        else if (b == 0)
            ++nuls[odd];
        else if (IsAsciiAlnum(b))
            ++alnum;
    }
    if (n <= 32) {
        if (alnum + spaces[0] + spaces[1] < n / 3) return 0;
        if (nuls[0] < nuls[1]) return Utf16Le;
        if (nuls[0] > nuls[1]) return Utf16Be;
    }
    uint64_t f = n <= 128 ? 2 : 4;
    if (spaces[0] > f * spaces[1] && nuls[1] > f * nuls[0]) return Utf16Le;
    if (spaces[1] > f * spaces[0] && nuls[0] > f * nuls[1]) return Utf16Be;
    return 0;
}

uint32_t TestUtf8(InputSource* s) {
    if (!s->Data || s->Size < 2) return 0;
    if (StartsWith(s, Utf8Bom, 3)) {
        s->BomLength = 3;
        return Utf8;
    }
    const uint8_t* d = s->Data;
    uint64_t n = s->Size < Utf8ScanBytes ? s->Size : Utf8ScanBytes;
    unsigned expected = 0;
    uint64_t sequences = 0;
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t b = d[i];
        if (expected > 0) {
            if (!IsContinuation(b)) return 0;
            --expected;
        } else if (b >= 0x80) {
            unsigned length = Utf8Length(b);
            if (length == 0) return 0;
            expected = length - 1;
            ++sequences;
        }
    }
    return sequences > 0 ? static_cast<uint32_t>(Utf8) : 0;
}

bool IsEbcdicAlnum(uint8_t b) {
    return (b >= 0x81 && b <= 0x89) || (b >= 0x91 && b <= 0x99) || (b >= 0xA2 && b <= 0xA9) ||
           (b >= 0xC1 && b <= 0xC9) || (b >= 0xD1 && b <= 0xD9) || (b >= 0xE2 && b <= 0xE9) ||
           (b >= 0xF0 && b <= 0xF9);
}

uint32_t TestEbcdic(const InputSource* s) {
    if (!s->Data || s->Size < 128) return 0;
    uint64_t f = s->Size >= 1024 ? 5 : 4;
    uint64_t n = s->Size < EbcdicScanBytes ? s->Size : EbcdicScanBytes;
    uint64_t asciiAlnum = 0, spaces = 0, letters = 0, high = 0, at = 0;
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t b = s->Data[i];
        if (IsAsciiAlnum(b)) ++asciiAlnum;
        if (b == 0x20)
            ++spaces;
        else if (IsEbcdicAlnum(b))
            ++letters;
        else if (b >= 0x80)
            ++high;
        else if (b == 0x40)
            ++at;
    }
    // Without a single EBCDIC letter the ratios prove nothing: a run of zeros
    // or control bytes is binary data, not EBCDIC text.
    if (letters > 0 && letters >= f * asciiAlnum && letters >= f * high && at >= f * spaces) return Ebcdic;
    return 0;
}

int Utf16Unit(const uint8_t* p, bool bigEndian) {
    return bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8);
}

// 8-bit text: ASCII below 0x80, the code page's table above. An index the
// tables do not have falls back to the first table instead of reading
// outside them.
inline int SingleByteChar(const InputSource* s, uint8_t c) {
    if (c < 0x80) return c;
    int32_t index = s->CodePageIndex;
    if (index < 0 || index >= 24) index = 0;
    return CodePageTables[index][c - 0x80];
}

// Decodes the character at *position and moves *position past it. A peek
// differs only for a UTF-8 sequence cut off by the end of the data: -1
// instead of the replacement character.
inline int DecodeAt(const InputSource* s, uint64_t* position, bool peek) {
    uint64_t p = *position;
    uint64_t size = s->Size;
    const uint8_t* d = s->Data;
    if (p >= size || !d) return -1;
    uint8_t c = d[p];
    uint32_t encoding = s->Encoding;

    // The common case first: one byte, one table look-up.
    if (encoding == Oem || encoding == Ascii) {
        *position = p + 1;
        return SingleByteChar(s, c);
    }

    switch (encoding) {
    case Utf16Le:
    case Utf16Be: {
        if (p + 1 >= size) return -1;
        bool bigEndian = encoding == Utf16Be;
        int unit = Utf16Unit(d + p, bigEndian);
        p += 2;
        if (s->AllowSupplementary && IsHighSurrogate(unit) && p + 1 < size) {
            int low = Utf16Unit(d + p, bigEndian);
            if (IsLowSurrogate(low)) {
                unit = CombineSurrogates(unit, low);
                p += 2;
            }
        }
        *position = p;
        return unit;
    }
    case Utf8: {
        unsigned length = Utf8Length(c);
        if (length == 0) {
            *position = p + 1;
            return s->ReplacementChar;
        }
        if (length > size - p) {
            if (peek) return -1;
            *position = p + 1;
            return s->ReplacementChar;
        }
        int value = DecodeUtf8(d + p);
        if (value < 0) {
            *position = p + 1;
            return s->ReplacementChar;
        }
        p += length;
        if (s->AllowSupplementary) {
            // A pair of surrogates each encoded on its own (CESU-8 style).
            if (IsHighSurrogate(value) && size - p >= 3 && d[p] == 0xED) {
                int low = DecodeUtf8(d + p);
                if (IsLowSurrogate(low)) {
                    value = CombineSurrogates(value, low);
                    p += 3;
                }
            }
        } else if (value > 0xFFFF) {
            value = s->ReplacementChar;
        }
        if (value > 0x10FFFF) value = s->ReplacementChar;
        *position = p;
        return value;
    }
    case Utf32Le:
    case Utf32Be: {
        if (p + 3 >= size) return -1;
        const uint8_t* q = d + p;
        uint32_t raw = encoding == Utf32Le
                           ? q[0] | (q[1] << 8) | (q[2] << 16) | (static_cast<uint32_t>(q[3]) << 24)
                           : (static_cast<uint32_t>(q[0]) << 24) | (q[1] << 16) | (q[2] << 8) | q[3];
        *position = p + 4;
        if (raw > 0x10FFFF) return s->ReplacementChar;  // also every negative value
        if (raw > 0xFFFF && !s->AllowSupplementary) return s->ReplacementChar;
        return static_cast<int>(raw);
    }
    case Ebcdic: {
        int32_t index = s->EbcdicCodePageIndex;
        if (index < 0 || index >= 10) index = 0;
        *position = p + 1;
        return EbcdicTables[index][c];
    }
    case Raw:
        *position = p + 1;
        return c;
    default:
        *position = p + 1;
        return SingleByteChar(s, c);
    }
}

// White space as Unicode defines it; a line of nothing else is skipped.
bool IsWhiteSpace(int c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Appends as much of text as fits, keeping the buffer terminated.
void AppendText(wchar_t* buffer, size_t capacity, size_t* used, const wchar_t* text) {
    size_t n = wcslen(text);
    if (*used + n >= capacity) n = capacity - 1 - *used;
    wmemcpy(buffer + *used, text, n);
    *used += n;
    buffer[*used] = 0;
}

struct LocaleCodePage {
    uint16_t Locale;
    uint16_t CodePage;
};

const LocaleCodePage EbcdicLocales[] = {
    {0x0407, 1141}, {0x0C07, 1141}, {0x083C, 1146}, {0x1809, 1146}, {0x0809, 1146}, {0x040C, 1147},
    {0x0406, 1142}, {0x0414, 1142}, {0x0814, 1142}, {0x040B, 1143}, {0x041D, 1143}, {0x040A, 1145},
    {0x0C0A, 1145}, {0x080A, 1145}, {0x0410, 1144}, {0x040F, 1149},
};

}  // namespace

int CodePageIndexOf(uint32_t codePage) {
    for (int i = 0; i < 24; ++i)
        if (CodePageNumbers[i] == codePage) return i;
    return -1;
}

int EbcdicCodePageIndexOf(uint32_t codePage) {
    for (int i = 0; i < 10; ++i)
        if (EbcdicCodePageNumbers[i] == codePage) return i;
    return -1;
}

uint32_t DetectEncoding(InputSource* source, bool allowEbcdic) {
    if (!source) return Oem;
    uint32_t result;
    if (source->Data && !source->MappingHandle && !source->FileHandle && source->Name &&
        EqualsIgnoringAsciiCase(source->Name, L"clip:")) {
        // Clipboard text is UTF-16LE by definition.
        source->BomLength = (source->Size >= 2 && source->Data[0] == 0xFF && source->Data[1] == 0xFE) ? 2 : 0;
        result = Utf16Le;
    } else {
        result = TestUtf32(source);
        if (!result) result = TestUtf16(source);
        if (!result && source->CodePage == 65001) {
            if (StartsWith(source, Utf8Bom, 3)) source->BomLength = 3;
            result = Utf8;
        }
        if (!result) result = TestUtf8(source);
        if (!result && allowEbcdic) result = TestEbcdic(source);
        if (!result) result = Oem;
    }
    if (source->Position < source->BomLength) source->Position = source->BomLength;
    source->Encoding = result;
    return result;
}

int DecodeUtf8(const uint8_t* lead) {
    if (!lead) return -1;
    uint8_t b = lead[0];
    int value;
    unsigned trail;
    if (b < 0x80) return b;
    if (b < 0xC0) return -1;
    if (b < 0xE0) {
        value = b & 0x1F;
        trail = 1;
    } else if (b < 0xF0) {
        value = b & 0x0F;
        trail = 2;
    } else if (b < 0xF8) {
        value = b & 0x07;
        trail = 3;
    } else {
        return -1;
    }
    // Stops at the first byte that does not continue the sequence, so a
    // sequence cut short never reads beyond that byte.
    for (unsigned i = 1; i <= trail; ++i) {
        uint8_t t = lead[i];
        if (!IsContinuation(t)) return -1;
        value = (value << 6) | (t & 0x3F);
    }
    return value;
}

int NextChar(InputSource* source) {
    if (!source) return -1;
    return DecodeAt(source, &source->Position, false);
}

int PeekChar(InputSource* source) {
    if (!source) return -1;
    uint64_t position = source->Position;
    return DecodeAt(source, &position, true);
}

int ReadTextLine(InputSource* source, wchar_t* buffer) {
    if (!buffer) return -1;
    for (;;) {
        size_t count = 0;
        bool content = false;
        buffer[0] = 0;
        int ch;
        for (;;) {
            ch = NextChar(source);
            if (ch <= 0 || ch == 13 || ch == 10 || ch == 0x85) break;
            if (ch > 0xFFFF) {
                if (count < LineCapacity - 1) {
                    int v = ch - 0x10000;
                    buffer[count++] = static_cast<wchar_t>(0xD800 + (v >> 10));
                    buffer[count++] = static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
                    buffer[count] = 0;
                }
                content = true;
            } else {
                if (count < LineCapacity) {
                    buffer[count++] = static_cast<wchar_t>(ch);
                    buffer[count] = 0;
                }
                if (!IsWhiteSpace(ch)) content = true;
            }
        }
        if (ch < 0) return count > 0 ? 0 : -1;
        // CR LF and LF CR are one line end.
        if (ch == 13) {
            if (PeekChar(source) == 10) NextChar(source);
        } else if (ch == 10) {
            if (PeekChar(source) == 13) NextChar(source);
        }
        if (content) return 0;
    }
}

int EncodingName(uint32_t encoding, uint64_t bomLength, wchar_t* buffer) {
    if (!buffer) return -1;
    const wchar_t* text;
    bool hasBom = true;
    switch (encoding) {
    case Oem: text = L"OEM"; hasBom = false; break;
    case Utf16Le: text = L"UTF-16LE"; break;
    case Utf16Be: text = L"UTF-16BE"; break;
    case Utf8: text = L"UTF-8"; break;
    case Ebcdic: text = L"EBCDIC"; hasBom = false; break;
    case Utf32Le: text = L"UTF-32LE"; break;
    case Utf32Be: text = L"UTF-32BE"; break;
    case Raw: text = L"raw"; hasBom = false; break;
    case Ascii: text = L"ASCII"; hasBom = false; break;
    default: text = L"unknown"; hasBom = false; break;
    }
    size_t used = 0;
    buffer[0] = 0;
    AppendText(buffer, 1024, &used, text);
    if (hasBom) AppendText(buffer, 1024, &used, bomLength > 0 ? L" with BOM" : L" without BOM");
    return 0;
}

int DescribeEncoding(const InputSource* source, wchar_t* buffer) {
    if (!buffer) return -1;
    if (!source) {
        buffer[0] = 0;
        return -1;
    }
    EncodingName(source->Encoding, source->BomLength, buffer);
    uint32_t codePage = 0;
    if (source->Encoding == Oem)
        codePage = source->CodePage;
    else if (source->Encoding == Ebcdic)
        codePage = source->EbcdicCodePage;
    if (codePage) {
        size_t used = wcslen(buffer);
        wchar_t number[32];
        _snwprintf(number, 31, L" (code page %u)", codePage);
        number[31] = 0;
        AppendText(buffer, 1024, &used, number);
    }
    return 0;
}

uint32_t EbcdicCodePageForLocale(LANGID locale) {
    if (locale == 0) return 1140;
    for (const LocaleCodePage& entry : EbcdicLocales)
        if (entry.Locale == locale) return entry.CodePage;
    unsigned language = locale & 0x3FF;
    if (language == 0 || language == LANG_ENGLISH) return 1140;
    uint32_t found = 1140;
    for (const LocaleCodePage& entry : EbcdicLocales)
        if ((entry.Locale & 0x3FFu) == language) found = entry.CodePage;
    return found;
}

uint32_t DefaultEbcdicCodePage(void) {
    return EbcdicCodePageForLocale(static_cast<LANGID>(GetUserDefaultLCID() & 0xFFFF));
}
