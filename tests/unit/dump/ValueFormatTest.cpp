// The hand-written value emitters must give exactly the text of the printf
// formats that define the dump layout.
#include <gtest/gtest.h>
#include <cstdarg>
#include <cwctype>
#include <random>
#include "DumpTestUtil.h"

namespace {

std::wstring Format(const wchar_t* format, ...) {
    wchar_t buffer[128];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 127, format, args);
    va_end(args);
    buffer[127] = 0;
    return buffer;
}

// Values worth checking for an n-byte word: the edges around zero, the sign
// bit and the maximum, plus a spread of pseudo-random ones.
std::vector<uint64_t> SampleValues(uint32_t wordLen) {
    const uint64_t max = wordLen == 8 ? UINT64_MAX : (1ull << (8 * wordLen)) - 1;
    const uint64_t sign = 1ull << (8 * wordLen - 1);
    std::vector<uint64_t> values = {0, 1, 7, 8, 9, 10, 0x7F, 0x80, 0xFF, 0x100 & max, sign - 1, sign, sign + 1, max - 1, max};
    std::mt19937_64 random(wordLen);
    for (int i = 0; i < 300; ++i) values.push_back(random() & max);
    for (uint32_t bits = 1; bits < 8 * wordLen; ++bits) values.push_back((1ull << bits) & max);
    return values;
}

// The value's text by the format string of the layout, with the argument
// type the format expects.
std::wstring Expected(uint32_t wordLen, uint32_t format, uint64_t value) {
    const int digits = ValueDigits[wordLen][format];
    const int shift = 64 - 8 * static_cast<int>(wordLen);
    const int64_t signedValue = static_cast<int64_t>(value << shift) >> shift;
    if (wordLen == 1) {
        switch (format) {
        case 0: return Format(L"%02x%c", static_cast<unsigned>(value), L' ');
        case 1: return Format(L"%03o%c", static_cast<unsigned>(value), L' ');
        case 2: return Format(L"%3u%c", static_cast<unsigned>(value), L' ');
        default: return Format(L"%4d%c", static_cast<int>(static_cast<int8_t>(value)), L' ');
        }
    }
    if (wordLen <= 4) {
        switch (format) {
        case 0: return Format(L"%0*x ", digits, static_cast<unsigned>(value));
        case 1: return Format(L"%0*o ", digits, static_cast<unsigned>(value));
        case 2: return Format(L"%*u ", digits, static_cast<unsigned>(value));
        default: return Format(L"%*d ", digits, static_cast<int>(signedValue));
        }
    }
    if (wordLen <= 7) {
        switch (format) {
        case 0: return Format(L"%0*I64x ", digits, static_cast<unsigned long long>(value));
        case 1: return Format(L"%0*I64o ", digits, static_cast<unsigned long long>(value));
        case 2: return Format(L"%*I64u ", digits, static_cast<unsigned long long>(value));
        default: return Format(L"%*I64d ", digits, static_cast<long long>(signedValue));
        }
    }
    switch (format) {
    case 0: return Format(L"%016I64x  ", static_cast<unsigned long long>(value));
    case 1: return Format(L"%022I64o  ", static_cast<unsigned long long>(value));
    case 2: return Format(L"%20I64u  ", static_cast<unsigned long long>(value));
    default: return Format(L"%21I64d  ", static_cast<long long>(value));
    }
}

DumpLayout LayoutFor(uint32_t wordLen, uint32_t format, uint32_t flags = 0) {
    TestInput input("x", Utf8);
    DumpSettings settings = TestSettings(16, wordLen, format);
    DumpLayout layout;
    PrepareLayout(&settings, flags, &input.source, &layout);
    return layout;
}

TEST(ValueFormat, EveryWordLengthAndBaseMatchesItsFormatString) {
    for (uint32_t wordLen = 1; wordLen <= 8; ++wordLen) {
        for (uint32_t format = 0; format <= 3; ++format) {
            const DumpLayout layout = LayoutFor(wordLen, format);
            for (uint64_t value : SampleValues(wordLen)) {
                wchar_t buffer[64];
                wchar_t* end = EmitValue(buffer, &layout, value);
                *end++ = L' ';
                if (wordLen == 8) *end++ = L' ';
                const std::wstring got(buffer, static_cast<size_t>(end - buffer));
                ASSERT_EQ(got, Expected(wordLen, format, value))
                    << "WordLen " << wordLen << " Format " << format << " value " << value;
            }
        }
    }
}

TEST(ValueFormat, FullLinesOfHexBytesMatchPrintf) {
    // Full lines take their own path through a table of digit cells.
    std::string data;
    for (int b = 0; b < 256; ++b) data += static_cast<char>(b);
    const bool detected = DumpUseSsse3;
    for (uint32_t flags : {0u, uint32_t(DF_UPPER_HEX), 0u | 0x80000000u, DF_UPPER_HEX | 0x80000000u}) {
        // The top bit (no flag of the dump) asks for the form without the byte shuffle.
        DumpUseSsse3 = detected && !(flags & 0x80000000u);
        flags &= ~0x80000000u;
        TestInput input(data);
        const auto lines = BuildLines(input, TestSettings(), flags | DF_NO_TEXT);
        ASSERT_EQ(lines.size(), 16u);
        for (unsigned k = 0; k < 16; ++k) {
            std::wstring expected = Format(flags ? L"%0*I64X  " : L"%0*I64x  ", 8, 16ull * k);
            for (unsigned i = 0; i < 16; ++i) {
                expected += Format(flags ? L"%02X%c" : L"%02x%c", 16 * k + i, L' ');
                if (i == 7) expected += L' ';
            }
            expected.pop_back();  // trailing white space goes without a text field
            EXPECT_EQ(lines[k], expected);
        }
    }
    DumpUseSsse3 = detected;
}

// Full lines take table-driven forms for hex words and for bytes in every
// base: each value area must read as the format strings and the group rule
// give it, in both byte orders and cases, at widths that split into whole
// words and at some that do not.
TEST(ValueFormat, FullLinesOfEveryWordAndBaseMatchPrintf) {
    std::mt19937 rng(11);
    std::string data;
    for (int i = 0; i < 512; ++i) data += static_cast<char>(i < 256 ? i : rng());
    const uint32_t widths[] = {16, 24, 40, 80, 17};
    for (uint32_t wordLen = 1; wordLen <= 8; ++wordLen) {
        for (uint32_t format = 0; format <= 3; ++format) {
            for (uint32_t flags : {0u, uint32_t{DF_BIG_ENDIAN}, uint32_t{DF_UPPER_HEX}}) {
                for (uint32_t width : widths) {
                    TestInput input(data);
                    DumpSettings settings = TestSettings(width, wordLen, format);
                    settings.GroupWidth = width % DefaultGroupWidth(wordLen) ? width : DefaultGroupWidth(wordLen);
                    const auto lines = BuildLines(input, settings, flags | DF_NO_ADDRESS);
                    for (size_t n = 0; n < lines.size(); ++n) {
                        const uint64_t line = n * width;
                        if (line + width > data.size()) break;  // the partial line has its own tests
                        std::wstring expected;
                        for (uint32_t at = 0; at < width; at += wordLen) {
                            uint64_t value = 0;
                            for (uint32_t i = 0; i < wordLen; ++i) {
                                const uint64_t q = line + at + ((flags & DF_BIG_ENDIAN) ? i : wordLen - 1 - i);
                                value = value << 8 | (q < data.size() ? static_cast<uint8_t>(data[q]) : 0);
                            }
                            expected += Expected(wordLen, format, value);
                            if (wordLen < 8 && (at + wordLen) % settings.GroupWidth == 0) expected += L' ';
                        }
                        if (flags & DF_UPPER_HEX)
                            for (wchar_t& c : expected) c = static_cast<wchar_t>(std::towupper(c));
                        ASSERT_EQ(lines[n].substr(0, expected.size()), expected)
                            << "WordLen " << wordLen << " Format " << format << " flags " << flags << " width "
                            << width << " line " << n;
                    }
                }
            }
        }
    }
}

TEST(ValueFormat, AddressMatchesItsFormatStringAtEveryWidth) {
    const uint64_t values[] = {0,           1,          0xFFFF,         0x10000,           0xFFFFFFFF,
                               0x100000000, 0xABCDEF12, 0x123456789ABC, 0x8000000000000000, UINT64_MAX};
    for (int width = 0; width <= 16; ++width) {
        for (uint64_t value : values) {
            const std::wstring expected = Format(L"%0*I64x  ", width, static_cast<unsigned long long>(value));
            const std::wstring upper = Format(L"%0*I64X  ", width, static_cast<unsigned long long>(value));
            for (auto emit : {EmitHex, EmitAddress}) {
                wchar_t buffer[40];
                wchar_t* end = emit(buffer, value, static_cast<unsigned>(width), false);
                *end++ = L' ';
                *end++ = L' ';
                ASSERT_EQ(std::wstring(buffer, static_cast<size_t>(end - buffer)), expected) << width << " " << value;
                end = emit(buffer, value, static_cast<unsigned>(width), true);
                *end++ = L' ';
                *end++ = L' ';
                ASSERT_EQ(std::wstring(buffer, static_cast<size_t>(end - buffer)), upper) << width << " " << value;
            }
        }
    }
}

TEST(ValueFormat, DigitsAreTheWidthOfTheWidestValue) {
    // The widest value of each word length and base, written without padding,
    // fills exactly Digits columns: all ones for hex, octal and decimal, the
    // most negative value for signed decimal. Only signed quadwords keep one
    // column to spare ("%21I64d" for at most 20 characters).
    for (uint32_t wordLen = 1; wordLen <= 8; ++wordLen) {
        for (uint32_t format = 0; format <= 3; ++format) {
            DumpLayout layout = LayoutFor(wordLen, format);
            const uint32_t digits = layout.Digits;
            layout.Digits = 0;
            const uint64_t max = wordLen == 8 ? UINT64_MAX : (1ull << (8 * wordLen)) - 1;
            const uint64_t widest = format == 3 ? 1ull << (8 * wordLen - 1) : max;
            wchar_t buffer[64];
            const wchar_t* end = EmitValue(buffer, &layout, widest);
            const uint32_t expected = (wordLen == 8 && format == 3) ? digits - 1 : digits;
            EXPECT_EQ(static_cast<uint32_t>(end - buffer), expected) << "WordLen " << wordLen << " Format " << format;
        }
    }
}

}  // namespace
