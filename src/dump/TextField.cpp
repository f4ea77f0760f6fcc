// The text field of a dump line: one column per byte showing the characters
// the bytes encode, plus the two places where the encoding reaches into the
// rest of the line (UTF-8 dashes and character-boundary alignment).
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

size_t AppendTextField(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer, size_t column) {
    wchar_t* out = buffer + column;
    const uint64_t end = layout->End;
    const uint32_t hexWidth = layout->HexWidth;

    if (layout->UseTextMap) {
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

    const uint32_t flags = layout->Flags;
    const uint8_t* data = source->Data;
    const bool utf8 = source->Encoding == Utf8;
    uint32_t surplus = 0;  // units written beyond one per column, still to absorb
    for (uint32_t i = 0; i < hexWidth; ++i) {
        const uint64_t q = line + i;
        int ch = L' ';
        if (q == source->Position && q < end) {
            // Plain ASCII in UTF-8 is most of a typical text; a byte below
            // 0x80 is always a character of its own there.
            if (utf8 && data[q] < 0x80) {
                ch = data[q];
                source->Position = q + 1;
            } else {
                ch = NextChar(source);
                if (ch == 0xFEFF && (flags & DF_DUMP_BOM)) ch = 0xA4;
            }
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
