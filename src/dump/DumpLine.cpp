// One dump line: address field, value area and text field, built into one
// buffer so that the line is written with a single call.
#include "dump/DumpInternal.h"

namespace {

inline wchar_t* Blanks(wchar_t* out, unsigned count) {
    for (; count; --count) *out++ = L' ';
    return out;
}

// Bytes per line are one-byte values in almost every dump; this loop keeps
// that case free of the general value assembly.
wchar_t* ByteValues(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* out) {
    const uint8_t* data = source->Data;
    const uint64_t end = layout->End;
    const uint32_t hexWidth = layout->HexWidth;
    const uint32_t groupWidth = layout->GroupWidth;
    const bool hex = layout->Format == 0;
    const bool upper = (layout->Flags & DF_UPPER_HEX) != 0;
    const bool dashes = layout->Utf8Dashes;
    uint32_t inGroup = 0;
    for (uint32_t i = 0; i < hexWidth; ++i) {
        const uint64_t q = line + i;
        if (q < end) {
            const uint8_t b = data[q];
            out = hex ? EmitHexByte(out, b, upper) : EmitValue(out, layout, b);
            *out++ = dashes ? Utf8Separator(source, layout, q) : L' ';
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

size_t BuildDumpLine(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer) {
    // Bounded by construction: at most 18 address units, 410 value units
    // (80 signed bytes with group blanks) and 160 text units fit the buffer.
    wchar_t* out = buffer;
    if (!(layout->Flags & DF_NO_ADDRESS)) {
        out = EmitHex(out, line, layout->AddressWidth, (layout->Flags & DF_UPPER_HEX) != 0);
        *out++ = L' ';
        *out++ = L' ';
    }
    out = layout->WordLen == 1 ? ByteValues(source, layout, line, out) : WordValues(source, layout, line, out);
    size_t column = static_cast<size_t>(out - buffer);
    if (layout->Flags & DF_NO_TEXT) {
        while (column > 0 && (buffer[column - 1] == L' ' || buffer[column - 1] == L'\t')) --column;
    } else {
        column = AppendTextField(source, layout, line, buffer, column);
    }
    buffer[column] = 0;
    return column;
}
