// Value emitters for the dump line. A dump of a large file formats millions of
// values, so these stand in for the printf conversions the layout is defined
// by ("%02x", "%0*o", "%*u", "%*I64d" ...) and give the same text.
#include <cstring>
#include "dump/DumpInternal.h"

namespace {

const wchar_t LowerDigits[] = L"0123456789abcdef";
const wchar_t UpperDigits[] = L"0123456789ABCDEF";

// Digits are produced right to left into a scratch area, then padded.
constexpr int ScratchSize = 24;  // 22 octal digits of a 64-bit value at most

inline wchar_t* Pad(wchar_t* out, unsigned width, unsigned length, wchar_t fill) {
    for (; width > length; --width) *out++ = fill;
    return out;
}

inline wchar_t* CopyDigits(wchar_t* out, const wchar_t* from, const wchar_t* scratchEnd) {
    size_t n = static_cast<size_t>(scratchEnd - from);
    std::memcpy(out, from, n * sizeof(wchar_t));
    return out + n;
}

inline wchar_t* DecimalDigits(wchar_t* scratchEnd, uint64_t value) {
    wchar_t* p = scratchEnd;
    do {
        *--p = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value);
    return p;
}

}  // namespace

wchar_t* EmitHex(wchar_t* out, uint64_t value, unsigned width, bool upper) {
    const wchar_t* digits = upper ? UpperDigits : LowerDigits;
    wchar_t scratch[ScratchSize];
    wchar_t* end = scratch + ScratchSize;
    wchar_t* p = end;
    do {
        *--p = digits[value & 15];
        value >>= 4;
    } while (value);
    out = Pad(out, width, static_cast<unsigned>(end - p), L'0');
    return CopyDigits(out, p, end);
}

wchar_t* EmitOctal(wchar_t* out, uint64_t value, unsigned width) {
    wchar_t scratch[ScratchSize];
    wchar_t* end = scratch + ScratchSize;
    wchar_t* p = end;
    do {
        *--p = static_cast<wchar_t>(L'0' + (value & 7));
        value >>= 3;
    } while (value);
    out = Pad(out, width, static_cast<unsigned>(end - p), L'0');
    return CopyDigits(out, p, end);
}

wchar_t* EmitUnsigned(wchar_t* out, uint64_t value, unsigned width) {
    wchar_t scratch[ScratchSize];
    wchar_t* end = scratch + ScratchSize;
    wchar_t* p = DecimalDigits(end, value);
    out = Pad(out, width, static_cast<unsigned>(end - p), L' ');
    return CopyDigits(out, p, end);
}

wchar_t* EmitSigned(wchar_t* out, int64_t value, unsigned width) {
    wchar_t scratch[ScratchSize];
    wchar_t* end = scratch + ScratchSize;
    // The magnitude is taken unsigned so that the most negative value works.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    wchar_t* p = DecimalDigits(end, magnitude);
    if (value < 0) *--p = L'-';
    out = Pad(out, width, static_cast<unsigned>(end - p), L' ');
    return CopyDigits(out, p, end);
}

wchar_t* EmitAddress(wchar_t* out, uint64_t value, unsigned width, bool upper) {
    // The usual case, an offset that fits the field, needs no scratch.
    if (width > 0 && width <= 16 && (width == 16 || value >> (4 * width) == 0)) {
        const wchar_t* digits = upper ? UpperDigits : LowerDigits;
        for (unsigned i = width; i > 0; --i) {
            out[i - 1] = digits[value & 15];
            value >>= 4;
        }
        return out + width;
    }
    return EmitHex(out, value, width, upper);
}

wchar_t* EmitValue(wchar_t* out, const DumpLayout* layout, uint64_t value) {
    switch (layout->Format) {
    case 1:
        return EmitOctal(out, value, layout->Digits);
    case 2:
        return EmitUnsigned(out, value, layout->Digits);
    case 3:
        if (value & layout->SignBit) value |= layout->SignExtendMask;
        return EmitSigned(out, static_cast<int64_t>(value), layout->Digits);
    default:
        return EmitHex(out, value, layout->Digits, (layout->Flags & DF_UPPER_HEX) != 0);
    }
}
