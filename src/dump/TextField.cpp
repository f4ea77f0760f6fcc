// The text field of a dump line: one column per byte showing the characters
// the bytes encode, plus the two places where the encoding reaches into the
// rest of the line (UTF-8 dashes and character-boundary alignment).
#include <immintrin.h>
#include <cstring>
#include "dump/DumpInternal.h"

namespace {

inline bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

bool IsSingleByte(uint32_t encoding) {
    return encoding == Oem || encoding == Ascii || encoding == Raw || encoding == Ebcdic;
}

// The 256 byte values, decoded once per input to fill the text table.
struct ByteSequence {
    uint8_t bytes[256];
    constexpr ByteSequence() : bytes() {
        for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
    }
};
constexpr ByteSequence AllBytes;

}  // namespace

void RefineEncoding(InputSource* source) {
    if (source->Encoding != Oem || !source->Data || !source->Size) return;
    const uint64_t n = source->Size < EncodingScanLimit ? source->Size : EncodingScanLimit;
    uint8_t any = 0;
    for (uint64_t i = 0; i < n; ++i) any |= source->Data[i];
    if (!(any & 0x80)) source->Encoding = Ascii;
}

bool WantUtf8Dashes(const InputSource* source, uint32_t wordLen, uint32_t flags) {
    return source->Encoding == Utf8 && wordLen == 1 && !(flags & (DF_NO_UTF8_DASHES | DF_UNIX));
}

void AlignPosition(InputSource* source, uint64_t p) {
    const uint64_t size = source->Size;
    switch (source->Encoding) {
    case Utf16Le:
    case Utf16Be:
        if ((p & 1) && size > 0 && p < size - 1) ++p;
        break;
    case Utf8:
        while (size > 0 && p < size - 1 && IsContinuation(source->Data[p])) ++p;
        break;
    default:
        break;
    }
    source->Position = p;
}

namespace {

// Continuation bytes a lead byte announces: 1 for C0..DF, 2 for E0..EF,
// 3 for F0..F7, else 0 (ASCII, continuation bytes, F8..FF).
struct LeadTable {
    uint8_t extra[256];
    constexpr LeadTable() : extra() {
        for (int b = 0xC0; b <= 0xF7; ++b) extra[b] = b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    }
};
constexpr LeadTable Leads;

}  // namespace

void Utf8Separators(const InputSource* source, DumpLayout* layout, uint64_t line, uint32_t count, wchar_t* separators) {
    const uint8_t* data = source->Data;
    const uint64_t end = layout->End;
    uint32_t pending = layout->PendingDashes;
    for (uint32_t i = 0; i < count; ++i) {
        if (pending) {
            separators[i] = L'-';
            --pending;
            continue;
        }
        const uint64_t q = line + i;
        const uint32_t n = Leads.extra[data[q]];
        wchar_t separator = L' ';
        // Only a sequence complete inside the window is joined.
        if (n && q + n < end) {
            bool complete = true;
            for (uint32_t k = 1; k <= n; ++k) complete &= IsContinuation(data[q + k]);
            if (complete) {
                separator = L'-';
                pending = n - 1;
            }
        }
        separators[i] = separator;
    }
    layout->PendingDashes = pending;
}

namespace {

// A 16-bit value in every lane, moved in from a register: the compiler's own
// broadcast goes through a 2-byte store and a wider load, which waits for the
// store to complete, once per use.
inline __m128i Broadcast16(uint32_t value) {
    return _mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>((value & 0xFFFF) * 0x10001u)), 0);
}

// Eight 16-bit lanes, yes where bit k of bits (k < 8) is set, else no.
inline __m128i SelectByBits(uint64_t bits, __m128i yes, __m128i no) {
    const __m128i laneBits = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
    const __m128i set = _mm_cmpeq_epi16(_mm_and_si128(Broadcast16(static_cast<uint32_t>(bits & 0xFF)), laneBits),
                                        laneBits);
    return _mm_or_si128(_mm_and_si128(set, yes), _mm_andnot_si128(set, no));
}

// The top five bits of the bytes, each as a mask (bit i for byte i), and
// where the bytes are ED: the classes follow from these with a few scalar
// operations, far fewer than comparing every class range on its own.
struct BitPlanes {
    uint64_t b7 = 0, b6 = 0, b5 = 0, b4 = 0, b3 = 0, ed = 0;
    // Adds the 16 bytes at data + at; doubling a byte moves its next bit to the top.
    void Add(const uint8_t* data, uint32_t at) {
        const __m128i v7 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const __m128i v6 = _mm_add_epi8(v7, v7), v5 = _mm_add_epi8(v6, v6), v4 = _mm_add_epi8(v5, v5);
        const __m128i v3 = _mm_add_epi8(v4, v4);
        const __m128i isEd = _mm_cmpeq_epi8(v7, _mm_set1_epi8(static_cast<char>(0xED)));
        b7 |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(v7))} << at;
        b6 |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(v6))} << at;
        b5 |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(v5))} << at;
        b4 |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(v4))} << at;
        b3 |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(v3))} << at;
        ed |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(isEd))} << at;
    }
};

// The planes of the 32 bytes at data in one load, for spans of up to 32
// bytes where 32 can be read.
__attribute__((target("avx2"))) void AddPlanes32(BitPlanes& p, const uint8_t* data) {
    const __m256i v7 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
    const __m256i v6 = _mm256_add_epi8(v7, v7), v5 = _mm256_add_epi8(v6, v6), v4 = _mm256_add_epi8(v5, v5);
    const __m256i isEd = _mm256_cmpeq_epi8(v7, _mm256_set1_epi8(static_cast<char>(0xED)));
    p.b7 = static_cast<uint32_t>(_mm256_movemask_epi8(v7));
    p.b6 = static_cast<uint32_t>(_mm256_movemask_epi8(v6));
    p.b5 = static_cast<uint32_t>(_mm256_movemask_epi8(v5));
    p.b4 = static_cast<uint32_t>(_mm256_movemask_epi8(v4));
    p.b3 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_add_epi8(v4, v4)));
    p.ed = static_cast<uint32_t>(_mm256_movemask_epi8(isEd));
}

// The classes of the span bytes at data, span 16..64, of which readable
// bytes can be read: from whole 16-byte loads only (the last one overlapping
// its predecessor), so nothing beyond the span is read, or from one 32-byte
// load whose bytes past the span are masked off.
inline ByteClasses Classify(const uint8_t* data, uint32_t span, uint64_t readable) {
    BitPlanes p;
    const uint64_t inSpan = span < 64 ? (uint64_t{1} << span) - 1 : ~uint64_t{0};
    if (DumpUseAvx2 && span <= 32 && readable >= 32) {
        AddPlanes32(p, data);
        p.b7 &= inSpan, p.b6 &= inSpan, p.b5 &= inSpan, p.b4 &= inSpan, p.b3 &= inSpan, p.ed &= inSpan;
    } else {
        for (uint32_t at = 0; at + 16 <= span; at += 16) p.Add(data, at);
        if (span % 16) p.Add(data, span - 16);
    }
    ByteClasses c;
    c.ascii = ~p.b7 & inSpan;
    c.continuation = p.b7 & ~p.b6;                    // 10xxxxxx
    c.lead2 = p.b7 & p.b6 & ~p.b5;                    // 110xxxxx
    c.lead3 = p.b7 & p.b6 & p.b5 & ~p.b4;             // 1110xxxx
    c.lead4 = p.b7 & p.b6 & p.b5 & p.b4 & ~p.b3;      // 11110xxx
    c.surrogateLead = p.ed;
    return c;
}

}  // namespace

bool Utf8DashBits(const InputSource* source, DumpLayout* layout, uint64_t line, uint32_t count, uint64_t* dashes) {
    // The masks look at up to three bytes past the line, and only a sequence
    // complete inside the window is joined: with those bytes inside the
    // window every sequence the masks see is judged as the byte walk judges
    // it. Near the window end, or for lines too short or too wide for one
    // mask word, the byte walk must do it.
    const uint32_t span = count + 3;
    if (count < 13 || span > 64 || line + span > layout->End) return false;
    // Kept for the text field of the same line, field by field: a copy of
    // the whole record would be read back in wider pieces than were stored.
    ByteClasses& bytes = layout->Classes;
    bytes = Classify(source->Data + line, span, source->Size - line);
    layout->ClassesAt = source->Data + line;
    layout->ClassesSpan = span;
    // Dashes carried from the previous line fall on continuation bytes, and
    // leads are examined only after them, as the byte walk does.
    const uint32_t carried = layout->PendingDashes < count ? layout->PendingDashes : count;
    const uint64_t carriedMask = (uint64_t{1} << carried) - 1;
    const uint64_t leadRange = ((uint64_t{1} << count) - 1) & ~carriedMask;
    const uint64_t c1 = bytes.continuation >> 1, c2 = bytes.continuation >> 2, c3 = bytes.continuation >> 3;
    const uint64_t complete2 = bytes.lead2 & leadRange & c1;
    const uint64_t complete3 = bytes.lead3 & leadRange & c1 & c2;
    const uint64_t complete4 = bytes.lead4 & leadRange & c1 & c2 & c3;
    // A complete sequence of n + 1 bytes puts dashes after its first n.
    const uint64_t all = carriedMask | complete2 | complete3 | complete3 << 1 | complete4 | complete4 << 1 |
                         complete4 << 2;
    // Dashes past the line belong to the next one; they run on from its end
    // (counted as the run of ones, as the processor has no bit count to rely on).
    const uint32_t beyond = static_cast<uint32_t>(__builtin_ctzll(~(all >> count)));
    layout->PendingDashes = layout->PendingDashes - carried + beyond;
    *dashes = all & ((uint64_t{1} << count) - 1);
    return true;
}

void Utf8SeparatorsByMasks(const InputSource* source, DumpLayout* layout, uint64_t line, uint32_t count,
                           wchar_t* separators) {
    uint64_t dashes = 0;
    if (!Utf8DashBits(source, layout, line, count, &dashes)) {
        Utf8Separators(source, layout, line, count, separators);
        return;
    }
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(separators + i),
                         SelectByBits(dashes >> i, _mm_set1_epi16(L'-'), _mm_set1_epi16(L' ')));
    for (; i < count; ++i) separators[i] = ((dashes >> i) & 1) ? L'-' : L' ';
}

int MapControl(int ch, uint32_t flags, wchar_t replacement) {
    const bool pictures = (flags & DF_CONTROL_PICTURES) != 0;
    if (ch >= 0 && ch < 0x20) return pictures ? 0x2400 + ch : replacement;
    if (ch == 0x7F) return pictures ? 0x2421 : replacement;
    if (ch >= 0x80 && ch <= 0x9F) return replacement;
    return ch;
}

void BuildTextMap(const InputSource* source, DumpLayout* layout) {
    const uint32_t flags = layout->Flags;
    layout->UseTextMap = false;
    layout->TextMapComplete = false;
    if (flags & DF_ASCII_ONLY) {
        // Every byte stands for itself; only 7-bit characters are shown.
        for (int b = 0; b < 256; ++b)
            layout->TextMap[b] = b >= 0x80 ? L' ' : static_cast<wchar_t>(MapControl(b, flags, layout->Replacement));
        layout->UseTextMap = true;
        layout->TextMapComplete = true;
        return;
    }
    if (!IsSingleByte(source->Encoding) || source->BomLength != 0) return;
    // One byte is one character here, so the decoder is asked once per byte
    // value instead of once per byte of the input. The probe is a plain copy
    // that only borrows the code-page settings; it owns nothing.
    InputSource probe = *source;
    probe.Data = AllBytes.bytes;
    probe.Size = 256;
    for (int b = 0; b < 256; ++b) {
        probe.Position = static_cast<uint64_t>(b);
        int ch = NextChar(&probe);
        if (ch == 0xFEFF && (flags & DF_DUMP_BOM)) ch = 0xA4;
        if (ch >= 0) ch = MapControl(ch, flags, layout->Replacement);
        if (ch > 0xFFFF) ch = 0xFFFD;  // a single byte never decodes to a supplementary character
        layout->TextMap[b] = ch < 0 ? 0 : static_cast<wchar_t>(ch);
    }
    layout->UseTextMap = true;
    layout->TextMapComplete = true;
    for (wchar_t c : layout->TextMap)
        if (!c) layout->TextMapComplete = false;
}

namespace {

// Lengths of the UTF-8 sequences decoded in place: ASCII and two- and
// three-byte sequences outside the surrogate range (ED leads those), which
// NextChar decodes to the same values; 0 for everything else.
struct QuickLengthTable {
    uint8_t length[256];
    constexpr QuickLengthTable() : length() {
        for (int b = 0; b < 0x80; ++b) length[b] = 1;
        for (int b = 0xC0; b < 0xE0; ++b) length[b] = 2;
        for (int b = 0xE0; b < 0xF0; ++b) length[b] = b == 0xED ? 0 : 3;
    }
};
constexpr QuickLengthTable QuickLengths;

// The columns of a UTF-8 line from its first one on, while its characters are
// the usual ones: each character in the column of its first byte and blanks
// in the columns of the others, as the general loop writes them. Characters
// are told apart without branches, since text mixes their lengths at random.
// The caller makes sure three bytes from every column of the line can be
// read. Returns the first column not done (the general loop does the rest).
uint32_t QuickUtf8Columns(InputSource* source, const DumpLayout* layout, uint64_t line, wchar_t*& out) {
    const uint8_t* data = source->Data;
    const uint64_t end = layout->End;
    const uint32_t hexWidth = layout->HexWidth;
    const uint32_t flags = layout->Flags;
    // Columns inside a character begun on the previous line are blank.
    uint32_t i = static_cast<uint32_t>(source->Position - line);
    for (uint32_t k = 0; k < i; ++k) *out++ = L' ';
    while (i < hexWidth && line + i < end) {
        const uint64_t q = line + i;
        const uint32_t b0 = data[q], b1 = data[q + 1], b2 = data[q + 2];
        const uint32_t n = QuickLengths.length[b0];
        const bool ok1 = (b1 & 0xC0) == 0x80, ok2 = (b2 & 0xC0) == 0x80;
        if (!((n == 1) | (n == 2 && ok1) | (n == 3 && ok1 && ok2))) break;
        const uint32_t two = 0u - (n >= 2), three = 0u - (n == 3);
        const uint32_t v2 = (b0 & 0x1F) << 6 | (b1 & 0x3F);
        const uint32_t v3 = (b0 & 0x0F) << 12 | (b1 & 0x3F) << 6 | (b2 & 0x3F);
        int ch = static_cast<int>((b0 & ~two) | (v2 & two & ~three) | (v3 & three));
        if (ch == 0xFEFF && (flags & DF_DUMP_BOM)) ch = 0xA4;
        // Blanks for the other columns are stored whatever the length (the
        // line buffer has room to spare) and kept only as far as needed.
        out[0] = static_cast<wchar_t>(MapControl(ch, flags, layout->Replacement));
        out[1] = out[2] = L' ';
        // The blanks of a character that runs into the next line are that line's.
        out += n < hexWidth - i ? n : hexWidth - i;
        i += n;
        source->Position = q + n;
    }
    return i < hexWidth ? i : hexWidth;
}

// Vectors of 8 and 16 UTF-16 units and of as many bytes, in the compiler's
// own vector types: the column code below is written once, and serves SSE2
// and, inlined into a function for AVX2, its 16-lane registers.
typedef uint16_t Units8 __attribute__((vector_size(16)));
typedef uint16_t Units16 __attribute__((vector_size(32)));
typedef uint8_t Bytes8 __attribute__((vector_size(8)));
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

// Always inlined, so a 32-byte vector never crosses a call: the compiler's
// note that passing one without AVX would change the ABI does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
template <class V>
inline __attribute__((always_inline)) V Select(V mask, V yes, V no) {
    return (mask & yes) | (~mask & no);
}

// Characters side by side as MapControl shows them, with the byte-order
// mark's sign where DF_DUMP_BOM asks for it.
template <class V>
inline __attribute__((always_inline)) V MapCharacters(V ch, uint32_t flags, uint16_t replacement) {
    if (flags & DF_DUMP_BOM) ch = Select(V(ch == 0xFEFF), V{} + 0xA4, ch);
    const V below20 = V(ch < 0x20), is7F = V(ch == 0x7F), c1 = V(ch > 0x7F) & V(ch < 0xA0);
    const V replace = V{} + replacement;
    if (flags & DF_CONTROL_PICTURES) {
        ch = Select(below20, ch + 0x2400, ch);
        ch = Select(is7F, V{} + 0x2421, ch);
        return Select(c1, replace, ch);
    }
    return Select(below20 | is7F | c1, replace, ch);
}

// Columns of a checked UTF-8 line, one per lane: the character each byte
// starts (as one, two or three bytes), mapped as MapControl maps it, and a
// blank where bit k of blank is set. Reads the lanes' bytes at data and two
// more.
template <class V, class B>
inline __attribute__((always_inline)) void Utf8Columns(const uint8_t* data, uint32_t blank, uint32_t flags,
                                                       uint16_t replacement, wchar_t* out) {
    B raw[3];
    for (int k = 0; k < 3; ++k) std::memcpy(&raw[k], data + k, sizeof raw[k]);
    const V b0 = __builtin_convertvector(raw[0], V), t1 = __builtin_convertvector(raw[1], V) & 0x3F,
            t2 = __builtin_convertvector(raw[2], V) & 0x3F;
    const V two = ((b0 & 0x1F) << 6) | t1;
    const V three = (b0 << 12) | (t1 << 6) | t2;
    V ch = Select(V(b0 > 0xDF), three, Select(V(b0 > 0xBF), two, b0));
    ch = MapCharacters(ch, flags, replacement);
    V bit;
    for (unsigned k = 0; k < sizeof(V) / 2; ++k) bit[k] = static_cast<uint16_t>(1u << k);
    ch = Select(V(((V{} + static_cast<uint16_t>(blank)) & bit) == bit), V{} + L' ', ch);
    std::memcpy(out, &ch, sizeof ch);
}

void EightUtf8Columns(const uint8_t* data, uint64_t blank, uint32_t flags, wchar_t replacement, wchar_t* out) {
    Utf8Columns<Units8, Bytes8>(data, static_cast<uint32_t>(blank & 0xFF), flags, replacement, out);
}

__attribute__((target("avx2"))) void SixteenUtf8ColumnsAvx2(const uint8_t* data, uint64_t blank, uint32_t flags,
                                                            wchar_t replacement, wchar_t* out) {
    Utf8Columns<Units16, Bytes16>(data, static_cast<uint32_t>(blank & 0xFFFF), flags, replacement, out);
}

// A whole UTF-8 line at once when every character that starts in it is one
// of the usual ones: then each column is decided by its own byte (a
// continuation byte is a blank column of the character before it), so no
// column waits for the one before, as the character-by-character walk must.
// Needs Position within the line; returns false, having written nothing, when
// the line does not qualify.
bool QuickUtf8Line(InputSource* source, const DumpLayout* layout, uint64_t line, wchar_t*& out) {
    const uint32_t hexWidth = layout->HexWidth;
    // The masks cover two bytes past the line, for its last character.
    const uint32_t span = hexWidth + 2;
    if (span < 16 || span > 64 || line + hexWidth > layout->End || line + span > source->Size) return false;
    const uint8_t* data = source->Data + line;
    // The dashes of the line may have classified these bytes already.
    ByteClasses own;
    const bool known = layout->ClassesAt == data && layout->ClassesSpan >= span;
    if (!known) own = Classify(data, span, source->Size - line);
    const ByteClasses& bytes = known ? layout->Classes : own;
    const uint32_t start = static_cast<uint32_t>(source->Position - line);
    // Columns from the decoder position on; those before it are blank.
    const uint64_t columns = ((uint64_t{1} << hexWidth) - 1) & ~((uint64_t{1} << start) - 1);
    const uint64_t c1 = bytes.continuation >> 1, c2 = bytes.continuation >> 2;
    const uint64_t lead2 = bytes.lead2 & columns, lead3 = bytes.lead3 & columns;
    const uint64_t other = columns & (~(bytes.ascii | bytes.continuation | bytes.lead2 | bytes.lead3) |
                                      bytes.surrogateLead);
    const uint64_t incomplete = (lead2 & ~c1) | (lead3 & ~(c1 & c2));
    const uint64_t inside = lead2 << 1 | lead3 << 1 | lead3 << 2;  // continuation bytes of the characters
    const uint64_t stray = bytes.continuation & columns & ~inside;
    if (other | incomplete | stray) return false;
    const uint64_t blank = ~columns | bytes.continuation;
    const uint32_t flags = layout->Flags;
    const wchar_t replacement = layout->Replacement;
    uint32_t i = 0;
    if (DumpUseAvx2)
        for (; i + 16 <= hexWidth; i += 16) SixteenUtf8ColumnsAvx2(data + i, blank >> i, flags, replacement, out + i);
    for (; i + 8 <= hexWidth; i += 8) EightUtf8Columns(data + i, blank >> i, flags, replacement, out + i);
    for (; i < hexWidth; ++i) {
        const uint32_t b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
        const uint32_t two = 0u - (b0 >= 0xC0), three = 0u - (b0 >= 0xE0);
        const uint32_t v2 = (b0 & 0x1F) << 6 | (b1 & 0x3F);
        const uint32_t v3 = (b0 & 0x0F) << 12 | (b1 & 0x3F) << 6 | (b2 & 0x3F);
        int ch = static_cast<int>((b0 & ~two) | (v2 & two & ~three) | (v3 & three));
        if (ch == 0xFEFF && (flags & DF_DUMP_BOM)) ch = 0xA4;
        ch = MapControl(ch, flags, replacement);
        out[i] = ((blank >> i) & 1) ? L' ' : static_cast<wchar_t>(ch);
    }
    out += hexWidth;
    // Past the last character, which may run into the next line.
    // Its continuation bytes there run on from the line end.
    source->Position = line + hexWidth + static_cast<uint32_t>(__builtin_ctzll(~(inside >> hexWidth)));
    return true;
}

// A whole UTF-16 line whose first character starts the line and whose units
// are all characters of their own (no surrogates, paired or not): each shown
// in the column of its first byte, a blank in the column of its second, as
// the character-by-character walk writes them. Returns false, with out not
// moved, when the line does not qualify; what it wrote there is scratch.
bool QuickUtf16Line(InputSource* source, const DumpLayout* layout, uint64_t line, wchar_t*& out) {
    const uint32_t hexWidth = layout->HexWidth;
    if (source->Position != line || (hexWidth & 1) || line + hexWidth > layout->End) return false;
    const uint8_t* data = source->Data + line;
    const bool bigEndian = source->Encoding == Utf16Be;
    const uint32_t flags = layout->Flags;
    const wchar_t replacement = layout->Replacement;
    const uint32_t units = hexWidth / 2;
    const __m128i blanks = _mm_set1_epi16(L' ');
    uint32_t k = 0;
    for (; k + 8 <= units; k += 8) {
        __m128i ch = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * k));
        if (bigEndian) ch = _mm_or_si128(_mm_slli_epi16(ch, 8), _mm_srli_epi16(ch, 8));
        const __m128i surrogate = _mm_cmpeq_epi16(_mm_and_si128(ch, _mm_set1_epi16(static_cast<short>(0xF800))),
                                                  _mm_set1_epi16(static_cast<short>(0xD800)));
        if (_mm_movemask_epi8(surrogate)) return false;
        ch = __m128i(MapCharacters(Units8(ch), flags, replacement));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi16(ch, blanks));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 8), _mm_unpackhi_epi16(ch, blanks));
    }
    for (; k < units; ++k) {
        const uint8_t* at = data + 2 * k;
        int ch = bigEndian ? at[0] << 8 | at[1] : at[1] << 8 | at[0];
        if ((ch & 0xF800) == 0xD800) return false;
        if (ch == 0xFEFF && (flags & DF_DUMP_BOM)) ch = 0xA4;
        out[2 * k] = static_cast<wchar_t>(MapControl(ch, flags, replacement));
        out[2 * k + 1] = L' ';
    }
    out += hexWidth;
    source->Position = line + hexWidth;
    return true;
}

}  // namespace

size_t AppendDecodedText(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer, size_t column,
                         bool quick) {
    wchar_t* out = buffer + column;
    const uint64_t end = layout->End;
    const uint32_t hexWidth = layout->HexWidth;
    const uint32_t flags = layout->Flags;
    uint32_t first = 0;
    // The quick columns read up to two bytes past a character's first byte.
    if (quick && (source->Encoding == Utf16Le || source->Encoding == Utf16Be) &&
        QuickUtf16Line(source, layout, line, out))
        return static_cast<size_t>(out - buffer);
    if (quick && source->Encoding == Utf8 && source->Position >= line &&
        source->Position - line <= hexWidth && line + hexWidth + 2 < source->Size) {
        if (QuickUtf8Line(source, layout, line, out)) return static_cast<size_t>(out - buffer);
        first = QuickUtf8Columns(source, layout, line, out);
    }
    uint32_t surplus = 0;  // units written beyond one per column, still to absorb
    for (uint32_t i = first; i < hexWidth; ++i) {
        const uint64_t q = line + i;
        int ch = L' ';
        if (q == source->Position && q < end) {
            ch = NextChar(source);
            if (ch == 0xFEFF && (flags & DF_DUMP_BOM)) ch = 0xA4;
        }
        if (ch >= 0) ch = MapControl(ch, flags, layout->Replacement);
        if (ch > 0x10FFFF) ch = 0xFFFD;
        if (ch >= 0x10000) {
            const int v = ch - 0x10000;
            *out++ = static_cast<wchar_t>(0xD800 + (v >> 10));
            *out++ = static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
            ++surplus;
        } else if (ch < 0) {
            // No complete character: nothing for this column.
        } else if (surplus > 0 && q < source->Position) {
            --surplus;
        } else {
            *out++ = static_cast<wchar_t>(ch);
            surplus = 0;
        }
    }
    return static_cast<size_t>(out - buffer);
}

size_t AppendTextField(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer, size_t column) {
    wchar_t* out = buffer + column;
    const uint64_t end = layout->End;
    const uint32_t hexWidth = layout->HexWidth;

    if (!layout->UseTextMap) return AppendDecodedText(source, layout, line, buffer, column, true);
    const uint8_t* data = source->Data + line;
    const uint64_t left = line < end ? end - line : 0;
    const uint32_t shown = left < hexWidth ? static_cast<uint32_t>(left) : hexWidth;
    const wchar_t* map = layout->TextMap;
    if (layout->TextMapComplete) {
        for (uint32_t i = 0; i < shown; ++i) out[i] = map[data[i]];
        out += shown;
    } else {
        for (uint32_t i = 0; i < shown; ++i)
            if (const wchar_t c = map[data[i]]) *out++ = c;
    }
    for (uint32_t i = shown; i < hexWidth; ++i) *out++ = L' ';
    if (line + shown > source->Position) source->Position = line + shown;
    return static_cast<size_t>(out - buffer);
}
