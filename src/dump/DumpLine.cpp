// One dump line: address field, value area and text field, built into one
// buffer so that the line is written with a single call.
#include <immintrin.h>
#include <cstring>
#include "dump/DumpInternal.h"

namespace {

// A byte's hex cell: its two digits and two blanks as four UTF-16 units in
// memory order (wide characters are little-endian on every target here), so
// that a full line of hex bytes is a run of 8-byte stores.
struct HexCellTable {
    uint64_t cells[2][256];
    constexpr HexCellTable() : cells() {
        const char* digits[2] = {"0123456789abcdef", "0123456789ABCDEF"};
        for (int upper = 0; upper < 2; ++upper)
            for (int b = 0; b < 256; ++b)
                cells[upper][b] = uint64_t(uint8_t(digits[upper][b >> 4])) |
                                  uint64_t(uint8_t(digits[upper][b & 15])) << 16 | uint64_t(' ') << 32 |
                                  uint64_t(' ') << 48;
    }
};
constexpr HexCellTable HexCells;

// A group of eight hex bytes with SSSE3's byte shuffle: the sixteen digits
// are looked up side by side and shuffled into the three-unit cells, and the
// group blank follows; bit k of dashes makes the blank after byte k a dash.
// Writes 25 units.
__attribute__((target("ssse3"))) void HexGroupSsse3(const uint8_t* bytes, bool upper, uint32_t dashes,
                                                     wchar_t* out) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes));
    const __m128i nibbles = _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F)),
                                              _mm_and_si128(v, _mm_set1_epi8(0x0F)));
    const __m128i digits = _mm_shuffle_epi8(upper ? _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                                                                  'A', 'B', 'C', 'D', 'E', 'F')
                                                  : _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                                                                  'a', 'b', 'c', 'd', 'e', 'f'),
                                            nibbles);
    // Digit pair k sits at bytes 2k and 2k+1; -1 makes a zero byte.
    __m128i a = _mm_shuffle_epi8(digits, _mm_setr_epi8(0, -1, 1, -1, -1, -1, 2, -1, 3, -1, -1, -1, 4, -1, 5, -1));
    __m128i b = _mm_shuffle_epi8(digits, _mm_setr_epi8(-1, -1, 6, -1, 7, -1, -1, -1, 8, -1, 9, -1, -1, -1, 10, -1));
    __m128i c = _mm_shuffle_epi8(digits, _mm_setr_epi8(11, -1, -1, -1, 12, -1, 13, -1, -1, -1, 14, -1, 15, -1, -1, -1));
    // The separators: blanks, or dashes (a blank with 0x0D more bits).
    a = _mm_or_si128(a, _mm_setr_epi8(0, 0, 0, 0, ' ', 0, 0, 0, 0, 0, ' ', 0, 0, 0, 0, 0));
    b = _mm_or_si128(b, _mm_setr_epi8(' ', 0, 0, 0, 0, 0, ' ', 0, 0, 0, 0, 0, ' ', 0, 0, 0));
    c = _mm_or_si128(c, _mm_setr_epi8(0, 0, ' ', 0, 0, 0, 0, 0, ' ', 0, 0, 0, 0, 0, ' ', 0));
    if (dashes) {
        const __m128i bit = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
        const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(_mm_set1_epi8(static_cast<char>(dashes)), bit), bit);
        const __m128i add = _mm_and_si128(set, _mm_set1_epi8('-' ^ ' '));
        a = _mm_or_si128(a, _mm_shuffle_epi8(add, _mm_setr_epi8(-1, -1, -1, -1, 0, -1, -1, -1, -1, -1, 1, -1, -1,
                                                                -1, -1, -1)));
        b = _mm_or_si128(b, _mm_shuffle_epi8(add, _mm_setr_epi8(2, -1, -1, -1, -1, -1, 3, -1, -1, -1, -1, -1, 4, -1,
                                                                -1, -1)));
        c = _mm_or_si128(c, _mm_shuffle_epi8(add, _mm_setr_epi8(-1, -1, 5, -1, -1, -1, -1, -1, 6, -1, -1, -1, -1,
                                                                -1, 7, -1)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), c);
    out[24] = L' ';
}

// The difference between a dash and a blank in the third unit of a hex cell.
constexpr uint64_t DashInCell = uint64_t(L'-' ^ L' ') << 32;

// A full line of hex bytes: the shape of almost every line of a dump. The
// fourth unit of each cell is the group blank when one is due. Bit i of
// dashes turns the blank after value i into a UTF-8 dash (an or into the
// cell, so no separator is stored and read back); separators, when given,
// replace those blanks instead (lines the dash bits cannot cover).
wchar_t* FullHexByteLine(const uint8_t* bytes, const DumpLayout* layout, uint64_t dashes, const wchar_t* separators,
                         wchar_t* out) {
    const uint64_t* cells = HexCells.cells[(layout->Flags & DF_UPPER_HEX) ? 1 : 0];
    const uint32_t hexWidth = layout->HexWidth;
    const uint32_t groupWidth = layout->GroupWidth;
    if (groupWidth == 8 && hexWidth % 8 == 0 && !separators && DumpUseSsse3) {
        for (uint32_t g = 0; g < hexWidth; g += 8, bytes += 8, out += 25, dashes >>= 8)
            HexGroupSsse3(bytes, (layout->Flags & DF_UPPER_HEX) != 0, static_cast<uint32_t>(dashes & 0xFF), out);
        return out;
    }
    if (groupWidth == 8 && hexWidth % 8 == 0 && !separators) {
        for (uint32_t g = 0; g < hexWidth; g += 8, bytes += 8, out += 25, dashes >>= 8) {
            for (int k = 0; k < 8; ++k) {
                const uint64_t cell = cells[bytes[k]] | ((dashes >> k) & 1) * DashInCell;
                std::memcpy(out + 3 * k, &cell, sizeof cell);
            }
        }
        return out;
    }
    uint32_t inGroup = 0;
    for (uint32_t i = 0; i < hexWidth; ++i) {
        const uint64_t dash = i < 64 ? ((dashes >> i) & 1) * DashInCell : 0;
        const uint64_t cell = cells[bytes[i]] | dash;
        std::memcpy(out, &cell, sizeof cell);
        if (separators) out[2] = separators[i];
        out += 3;
        if (++inGroup == groupWidth) {
            ++out;
            inGroup = 0;
        }
    }
    return out;
}

// A byte's cell in octal, decimal or signed decimal: the text its format
// gives ("%03o", "%3u", "%4d" of the signed byte), then blanks, eight units
// as two 8-byte words, so that a full line is a run of stores as for hex.
struct ByteCellTable {
    uint64_t cells[3][256][2];  // [Format - 1][byte]
    constexpr ByteCellTable() : cells() {
        for (int format = 1; format <= 3; ++format) {
            for (int b = 0; b < 256; ++b) {
                wchar_t units[8] = {L' ', L' ', L' ', L' ', L' ', L' ', L' ', L' '};
                if (format == 1) {
                    for (int k = 2, v = b; k >= 0; --k, v >>= 3) units[k] = static_cast<wchar_t>(L'0' + (v & 7));
                } else {
                    const int value = format == 3 && b >= 0x80 ? b - 256 : b;
                    int magnitude = value < 0 ? -value : value;
                    int k = format == 3 ? 3 : 2;  // the last digit's column
                    do {
                        units[k--] = static_cast<wchar_t>(L'0' + magnitude % 10);
                        magnitude /= 10;
                    } while (magnitude);
                    if (value < 0) units[k] = L'-';
                }
                for (int k = 0; k < 8; ++k)
                    cells[format - 1][b][k / 4] |= uint64_t(uint16_t(units[k])) << (16 * (k % 4));
            }
        }
    }
};
constexpr ByteCellTable ByteCells;

// A full line of one-byte values in octal or decimal: as the hex line, with
// the separator after Digits units.
wchar_t* FullByteLine(const uint8_t* bytes, const DumpLayout* layout, uint64_t dashes, const wchar_t* separators,
                      wchar_t* out) {
    const uint64_t(*cells)[2] = ByteCells.cells[layout->Format - 1];
    const uint32_t digits = layout->Digits;  // 3, or 4 for signed
    const uint64_t dash = uint64_t(L'-' ^ L' ') << (16 * (digits % 4));
    const uint64_t dashLow = digits < 4 ? dash : 0, dashHigh = digits < 4 ? 0 : dash;
    const uint32_t hexWidth = layout->HexWidth;
    const uint32_t groupWidth = layout->GroupWidth;
    uint32_t inGroup = 0;
    for (uint32_t i = 0; i < hexWidth; ++i) {
        const uint64_t mask = i < 64 ? 0 - ((dashes >> i) & 1) : 0;
        // Two separate words: one stored, patched and reloaded would wait
        // for the store on every byte.
        const uint64_t low = cells[bytes[i]][0] | (dashLow & mask), high = cells[bytes[i]][1] | (dashHigh & mask);
        std::memcpy(out, &low, sizeof low);
        std::memcpy(out + 4, &high, sizeof high);
        if (separators) out[digits] = separators[i];
        out += digits + 1;
        // The cell's own blanks hold the group blank.
        if (++inGroup == groupWidth) {
            ++out;
            inGroup = 0;
        }
    }
    return out;
}

// A full line of hex words, each whole in the line: a word's digits are the
// hex pairs of its bytes, most significant first, so no value is assembled.
// The last pair's cell leaves the blanks that follow the value.
wchar_t* FullHexWordLine(const uint8_t* bytes, const DumpLayout* layout, wchar_t* out) {
    const uint64_t* cells = HexCells.cells[(layout->Flags & DF_UPPER_HEX) ? 1 : 0];
    const uint32_t wordLen = layout->WordLen;
    const uint32_t count = layout->HexWidth / wordLen;
    const uint32_t groupWidth = layout->GroupWidth;
    const bool bigEndian = (layout->Flags & DF_BIG_ENDIAN) != 0;
    // Quadwords carry their group blank in the value format itself.
    const uint32_t step = 2 * wordLen + (wordLen == 8 ? 2 : 1);
    uint32_t covered = 0;
    for (uint32_t k = 0; k < count; ++k, bytes += wordLen) {
        for (uint32_t j = 0; j < wordLen; ++j)
            std::memcpy(out + 2 * j, &cells[bytes[bigEndian ? j : wordLen - 1 - j]], sizeof(uint64_t));
        out += step;
        covered += wordLen;
        if (wordLen < 8 && covered % groupWidth == 0) ++out;
    }
    return out;
}

// Eight-digit addresses, the usual field, as four digit pairs.
wchar_t* LineAddress(uint64_t line, const DumpLayout* layout, wchar_t* out) {
    const bool upper = (layout->Flags & DF_UPPER_HEX) != 0;
    if (layout->AddressWidth != 8 || line >> 32) return EmitAddress(out, line, layout->AddressWidth, upper);
    const uint64_t* cells = HexCells.cells[upper ? 1 : 0];
    for (int shift = 24; shift >= 0; shift -= 8, out += 2)
        std::memcpy(out, &cells[(line >> shift) & 0xFF], 2 * sizeof(wchar_t));
    return out;
}

inline wchar_t* Blanks(wchar_t* out, unsigned count) {
    for (; count; --count) *out++ = L' ';
    return out;
}

// One-byte values: the partial last line, other bases and UTF-8 dashes.
wchar_t* ByteValues(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* out) {
    const uint8_t* data = source->Data;
    const uint64_t end = layout->End;
    const uint32_t hexWidth = layout->HexWidth;
    const uint32_t groupWidth = layout->GroupWidth;
    const bool hex = layout->Format == 0;
    const uint64_t* cells = HexCells.cells[(layout->Flags & DF_UPPER_HEX) ? 1 : 0];
    const uint32_t shown = line < end ? (end - line < hexWidth ? static_cast<uint32_t>(end - line) : hexWidth) : 0;
    wchar_t separators[MaxHexWidth];
    if (layout->Utf8Dashes) Utf8SeparatorsByMasks(source, layout, line, shown, separators);
    uint32_t inGroup = 0;
    for (uint32_t i = 0; i < hexWidth; ++i) {
        if (i < shown) {
            const uint8_t b = data[line + i];
            if (hex) {
                std::memcpy(out, &cells[b], sizeof(uint64_t));
                out += 2;
            } else {
                out = EmitValue(out, layout, b);
            }
            *out++ = layout->Utf8Dashes ? separators[i] : L' ';
        } else {
            out = Blanks(out, layout->Digits + 1);
        }
        if (++inGroup == groupWidth) {
            *out++ = L' ';
            inGroup = 0;
        }
    }
    return out;
}

wchar_t* WordValues(const InputSource* source, const DumpLayout* layout, uint64_t line, wchar_t* out) {
    const uint8_t* data = source->Data;
    const uint64_t end = layout->End;
    const uint32_t wordLen = layout->WordLen;
    const uint32_t count = (layout->HexWidth + wordLen - 1) / wordLen;
    const bool bigEndian = (layout->Flags & DF_BIG_ENDIAN) != 0;
    // Quadwords carry their group blank in the value format itself.
    const unsigned trailing = wordLen == 8 ? 2 : 1;
    uint32_t covered = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const uint64_t pos = line + static_cast<uint64_t>(k) * wordLen;
        if (pos < end) {
            // Bytes at or beyond the window end count as 0; they are never read.
            const uint64_t left = end - pos;
            const uint32_t present = left < wordLen ? static_cast<uint32_t>(left) : wordLen;
            uint64_t value = 0;
            if (bigEndian) {
                for (uint32_t i = 0; i < wordLen; ++i) value = (value << 8) | (i < present ? data[pos + i] : 0u);
            } else {
                for (uint32_t i = present; i > 0; --i) value = (value << 8) | data[pos + i - 1];
            }
            out = EmitValue(out, layout, value);
            out = Blanks(out, trailing);
        } else {
            out = Blanks(out, layout->Digits + trailing);
        }
        covered += wordLen;
        if (wordLen < 8 && covered % layout->GroupWidth == 0) *out++ = L' ';
    }
    return out;
}

}  // namespace

bool CpuSupports(bool avx2) {
    __builtin_cpu_init();
    return avx2 ? __builtin_cpu_supports("avx2") : __builtin_cpu_supports("ssse3");
}
bool DumpUseSsse3 = CpuSupports(false);
bool DumpUseAvx2 = CpuSupports(true);

size_t BuildDumpLine(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer) {
    // Bounded by construction: at most 18 address units, 410 value units
    // (80 signed bytes with group blanks) and 160 text units fit the buffer.
    wchar_t* out = buffer;
    if (!(layout->Flags & DF_NO_ADDRESS)) {
        out = LineAddress(line, layout, out);
        *out++ = L' ';
        *out++ = L' ';
    }
    const bool fullLine = line < layout->End && layout->End - line >= layout->HexWidth;
    if (layout->WordLen == 1 && fullLine) {
        uint64_t dashes = 0;
        wchar_t separators[MaxHexWidth];
        const bool walk = layout->Utf8Dashes && !Utf8DashBits(source, layout, line, layout->HexWidth, &dashes);
        if (walk) Utf8Separators(source, layout, line, layout->HexWidth, separators);
        out = layout->Format == 0
                  ? FullHexByteLine(source->Data + line, layout, dashes, walk ? separators : nullptr, out)
                  : FullByteLine(source->Data + line, layout, dashes, walk ? separators : nullptr, out);
    } else if (layout->Format == 0 && fullLine && layout->HexWidth % layout->WordLen == 0) {
        out = FullHexWordLine(source->Data + line, layout, out);
    } else if (layout->WordLen == 1)
        out = ByteValues(source, layout, line, out);
    else
        out = WordValues(source, layout, line, out);
    size_t column = static_cast<size_t>(out - buffer);
    if (layout->Flags & DF_NO_TEXT) {
        while (column > 0 && (buffer[column - 1] == L' ' || buffer[column - 1] == L'\t')) --column;
    } else {
        column = AppendTextField(source, layout, line, buffer, column);
    }
    buffer[column] = 0;
    return column;
}
