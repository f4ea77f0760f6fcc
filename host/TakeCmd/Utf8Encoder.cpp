// The stand-in host's UTF-8 encoder: UTF-16 text as the bytes the system
// conversion would give, eight units at a time where it can.
#include "OutputInternal.h"

#include <cstdint>
#include <cstring>
#include <tmmintrin.h>

namespace host {
namespace {

// One character (a valid surrogate pair counts as one) at text[i] as UTF-8,
// with room checked: the general path, for the ends of texts and for blocks
// that hold surrogates. A lone surrogate becomes U+FFFD, as the system
// conversion does. Returns the units used, or 0 when the bytes do not fit.
size_t EncodeOneUtf8(const wchar_t* text, size_t length, size_t i, char* out, size_t room, size_t* written) {
    uint32_t c = text[i];
    if ((c & 0xF800) == 0xD800) {
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            if (room < 4) return 0;
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            out[0] = static_cast<char>(0xF0 | (c >> 18));
            out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<char>(0x80 | (c & 0x3F));
            *written = 4;
            return 2;
        }
        c = 0xFFFD;
    }
    const size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    if (room < n) return 0;
    if (n == 1) {
        out[0] = static_cast<char>(c);
    } else if (n == 2) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
    }
    *written = n;
    return 1;
}

// A unit that is not a surrogate, with no branch on its length: dump text
// mixes one-, two- and three-byte characters at random, so a branch would be
// mispredicted half the time. Always stores four bytes; counts the right ones.
inline size_t PutBmpUnit(uint32_t c, char* out) {
    const uint32_t two = c >= 0x80, three = c >= 0x800;
    const uint32_t b2 = (0xC0 | (c >> 6)) | ((0x80 | (c & 0x3F)) << 8);
    const uint32_t b3 = (0xE0 | (c >> 12)) | ((0x80 | ((c >> 6) & 0x3F)) << 8) | ((0x80 | (c & 0x3F)) << 16);
    // Selected with masks: the compiler turns a conditional back into branches.
    const uint32_t atLeastTwo = 0u - two, isThree = 0u - three;
    const uint32_t bytes = (c & ~atLeastTwo) | (b2 & atLeastTwo & ~isThree) | (b3 & isThree);
    memcpy(out, &bytes, 4);
    return 1 + two + three;
}

// Four units (zero-extended to 32-bit lanes) as the four-byte stores
// PutBmpUnit makes, computed side by side; lengths holds each unit's byte count.
inline __m128i BmpWords(__m128i c, __m128i* lengths) {
    const __m128i low6 = _mm_set1_epi32(0x3F);
    const __m128i isTwo = _mm_cmpgt_epi32(c, _mm_set1_epi32(0x7F));     // two bytes or more
    const __m128i isThree = _mm_cmpgt_epi32(c, _mm_set1_epi32(0x7FF));  // three bytes
    const __m128i last = _mm_and_si128(c, low6);
    const __m128i middle = _mm_and_si128(_mm_srli_epi32(c, 6), low6);
    // 110xxxxx 10xxxxxx and 1110xxxx 10xxxxxx 10xxxxxx, first byte lowest.
    const __m128i two = _mm_or_si128(_mm_or_si128(_mm_srli_epi32(c, 6), _mm_slli_epi32(last, 8)),
                                     _mm_set1_epi32(0x80C0));
    const __m128i three = _mm_or_si128(
        _mm_or_si128(_mm_srli_epi32(c, 12), _mm_slli_epi32(middle, 8)),
        _mm_or_si128(_mm_slli_epi32(last, 16), _mm_set1_epi32(0x8080E0)));
    // Counting from 1: each true comparison is -1 in its lane.
    *lengths = _mm_sub_epi32(_mm_sub_epi32(_mm_set1_epi32(1), isTwo), isThree);
    const __m128i onlyTwo = _mm_andnot_si128(isThree, isTwo);
    return _mm_or_si128(_mm_or_si128(_mm_andnot_si128(isTwo, c), _mm_and_si128(onlyTwo, two)),
                        _mm_and_si128(isThree, three));
}

// Eight units without surrogates: their encodings made side by side, then
// stored one after the other, each four bytes wide and kept as far as its
// length. Needs 25 bytes of room. Returns the bytes that count.
inline size_t PutBmpBlock(__m128i units, char* out) {
    const __m128i zero = _mm_setzero_si128();
    __m128i lowLengths, highLengths;
    alignas(16) uint32_t words[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(words), BmpWords(_mm_unpacklo_epi16(units, zero), &lowLengths));
    _mm_store_si128(reinterpret_cast<__m128i*>(words + 4), BmpWords(_mm_unpackhi_epi16(units, zero), &highLengths));
    // Eight lengths of 1..3 as eight bytes of one scalar.
    const __m128i lengths16 = _mm_packs_epi32(lowLengths, highLengths);
    const uint64_t lengths = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(lengths16, lengths16)));
    size_t o = 0;
    for (int k = 0; k < 8; ++k) {
        memcpy(out + o, &words[k], 4);
        o += (lengths >> (8 * k)) & 0xFF;
    }
    return o;
}
// Byte shuffles that gather the bytes in use of four 32-bit lanes of
// BmpWords, one character after another; indexed by the lanes' "two bytes or
// more" bits (low four) and "three bytes" bits (high four).
struct PackTable {
    uint8_t masks[256][16];
    uint8_t lengths[256];
    constexpr PackTable() : masks(), lengths() {
        for (int index = 0; index < 256; ++index) {
            int o = 0;
            for (int k = 0; k < 16; ++k) masks[index][k] = 0x80;
            for (int lane = 0; lane < 4; ++lane) {
                const int n = 1 + ((index >> lane) & 1) + ((index >> (lane + 4)) & 1);
                for (int b = 0; b < n && o < 16; ++b) masks[index][o++] = static_cast<uint8_t>(4 * lane + b);
            }
            lengths[index] = static_cast<uint8_t>(o);
        }
    }
};
constexpr PackTable Packs;

// PutBmpBlock with SSSE3: each half's bytes gathered by one shuffle instead
// of eight stores one after the other. Needs 28 bytes of room.
__attribute__((target("ssse3"), noinline)) size_t PutBmpBlockSsse3(__m128i units, char* out) {
    const __m128i zero = _mm_setzero_si128();
    size_t o = 0;
    const __m128i halves[2] = {_mm_unpacklo_epi16(units, zero), _mm_unpackhi_epi16(units, zero)};
    for (const __m128i half : halves) {
        __m128i lengths;
        const __m128i words = BmpWords(half, &lengths);
        const __m128i isTwo = _mm_cmpgt_epi32(half, _mm_set1_epi32(0x7F));
        const __m128i isThree = _mm_cmpgt_epi32(half, _mm_set1_epi32(0x7FF));
        const unsigned index = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(isTwo))) |
                               static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(isThree))) << 4;
        const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Packs.masks[index]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_shuffle_epi8(words, mask));
        o += Packs.lengths[index];
    }
    return o;
}

}  // namespace

// Whether the processor has SSSE3's byte shuffle, asked before the
// library's own constructors may rely on it.
bool CpuHasSsse3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}
bool HaveSsse3 = CpuHasSsse3();

// UTF-8 by hand: the system conversion costs more per dump line than building
// the line. Eight units at a time while there is room for the most they can
// need: a block of ASCII (the address and values of a dump line) is narrowed
// in one step, a block without surrogates (the text field) is encoded side by
// side without branches, anything else takes the general path.
// Returns the bytes written, or 0 when they do not fit.
size_t EncodeUtf8(const wchar_t* text, size_t length, char* out, size_t capacity) {
    // 8 units need at most 24 bytes; the four-byte stores and a pair that
    // ends one unit past the block need at most 25.
    constexpr size_t BlockRoom = 28;
    const __m128i zero = _mm_setzero_si128();
    const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i surrogateMask = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogateBits = _mm_set1_epi16(static_cast<short>(0xD800));
    size_t i = 0, o = 0;
    auto ascii = [&](__m128i units) {
        return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, notAscii), zero)) == 0xFFFF;
    };
    while (length - i >= 8 && capacity - o >= BlockRoom) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        if (ascii(units)) {
            // Two blocks of ASCII at once while they last (the address and
            // values of a dump line), else this one.
            if (length - i >= 16 && capacity - o >= BlockRoom + 8) {
                const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 8));
                if (ascii(next)) {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(units, next));
                    i += 16;
                    o += 16;
                    continue;
                }
            }
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(units, units));
            i += 8;
            o += 8;
            continue;
        }
        if (!_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, surrogateMask), surrogateBits))) {
            o += HaveSsse3 ? PutBmpBlockSsse3(units, out + o) : PutBmpBlock(units, out + o);
            i += 8;
            continue;
        }
        // A pair may reach one unit past the block; the room covers it.
        for (const size_t stop = i + 8; i < stop;) {
            size_t written = 0;
            i += EncodeOneUtf8(text, length, i, out + o, capacity - o, &written);
            o += written;
        }
    }
    // The last few units: a line's text field often ends here, so the
    // branch-free form again while there is room for its four-byte stores.
    while (i < length) {
        const uint32_t c = text[i];
        if ((c & 0xF800) != 0xD800 && capacity - o >= 4) {
            o += PutBmpUnit(c, out + o);
            ++i;
            continue;
        }
        size_t written = 0;
        const size_t used = EncodeOneUtf8(text, length, i, out + o, capacity - o, &written);
        if (used == 0) return 0;
        i += used;
        o += written;
    }
    return o;
}

size_t Utf8Size(const wchar_t* text, size_t length) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = text[i];
        if (c < 0x80) n += 1;
        else if (c < 0x800) n += 2;
        else if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) n += 4, ++i;
        else n += 3;
    }
    return n;
}

}  // namespace host
