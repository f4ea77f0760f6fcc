// The text field: decoded characters in the column of their first byte,
// dashes inside UTF-8 sequences, replacement and control pictures.
#include <gtest/gtest.h>
#include "DumpTestUtil.h"

namespace {

// Eight bytes per line: the text field starts at column 35.
const std::wstring NoValues = Blanks(8 * 3) + L" ";

struct LineCase {
    const char* name;
    std::string data;
    uint32_t encoding;
    uint64_t bomLength;
    uint32_t flags;
    uint64_t startAddress;
    uint64_t endAddress;
    std::vector<std::wstring> expected;
};

void CheckLines(const LineCase& c, wchar_t replacement = 0) {
    TestInput input(c.data, c.encoding, c.bomLength);
    if (c.flags & DF_DUMP_BOM) {
        // As DumpInput leaves it: the mark is decoded as data.
        input.source.Position = 0;
        input.source.BomLength = 0;
    }
    DumpSettings settings = TestSettings(8);
    settings.StartAddress = c.startAddress;
    settings.EndAddress = c.endAddress;
    settings.TextReplacementChar = replacement;
    EXPECT_EQ(BuildLines(input, settings, c.flags), c.expected) << c.name;
}

TEST(TextField, DecodedText) {
    const LineCase cases[] = {
        {"UTF-8 euro sign joined by dashes", "\xe2\x82\xac" "A", Utf8, 0, 0, 0, 0,
         {L"00000000  e2-82-ac 41 " + Blanks(12) + L" " + L"\u20AC  A" + Blanks(4)}},
        {"four-byte character: pair, absorbed column, two blanks", "\xf0\x9f\x98\x80" "B", Utf8, 0, 0, 0, 0,
         {L"00000000  f0-9f-98-80 42 " + Blanks(9) + L" " + L"\xD83D\xDE00  B" + Blanks(3)}},
        {"four-byte character in the last column", "ABCDEFG\xf0\x9f\x98\x80H", Utf8, 0, 0, 0, 0,
         {L"00000000  41 42 43 44 45 46 47 f0- ABCDEFG\xD83D\xDE00",
          L"00000008  9f-98-80 48 " + Blanks(12) + L" " + L"   H" + Blanks(4)}},
        {"no dashes without UTF-8 dashes", "\xe2\x82\xac", Utf8, 0, DF_NO_UTF8_DASHES, 0, 0,
         {L"00000000  e2 82 ac " + Blanks(15) + L" " + L"\u20AC" + Blanks(7)}},
        {"a sequence cut by the window end gets no dashes", "\xe2\x82\xac", Utf8, 0, 0, 0, 2,
         {L"00000000  e2 82 " + Blanks(18) + L" " + L"\u20AC" + Blanks(7)}},
        {"window starting inside a UTF-8 character", "x\xe2\x82\xacy", Utf8, 0, 0, 2, 0,
         {L"00000002  82 ac 79 " + Blanks(15) + L" " + L"  y" + Blanks(5)}},
        {"a later U+FEFF is shown as itself", "A\xef\xbb\xbf", Utf8, 0, 0, 0, 0,
         {L"00000000  41 ef-bb-bf " + Blanks(12) + L" " + L"A\uFEFF" + Blanks(6)}},
        {"UTF-16LE reads with a blank after every character", std::string("A\0B\0", 4), Utf16Le, 0, 0, 0, 0,
         {L"00000000  41 00 42 00 " + Blanks(12) + L" " + L"A B " + Blanks(4)}},
        {"UTF-16BE", std::string("\0A", 2), Utf16Be, 0, 0, 0, 0,
         {L"00000000  00 41 " + Blanks(18) + L" " + L"A " + Blanks(6)}},
        {"UTF-16LE from an odd start decodes from the next even offset", std::string("A\0B\0C\0", 6), Utf16Le, 0, 0,
         1, 0, {L"00000001  00 42 00 43 00 " + Blanks(9) + L" " + L" B C" + Blanks(4)}},
        {"UTF-16LE surrogate pair", std::string("\x3d\xd8\x00\xde", 4), Utf16Le, 0, 0, 0, 0,
         {L"00000000  3d d8 00 de " + Blanks(12) + L" " + L"\xD83D\xDE00  " + Blanks(4)}},
        {"UTF-16LE lone last byte decodes to nothing", std::string("A\0B", 3), Utf16Le, 0, 0, 0, 0,
         {L"00000000  41 00 42 " + Blanks(15) + L" " + L"A " + Blanks(5)}},
        {"UTF-32LE", std::string("A\0\0\0", 4), Utf32Le, 0, 0, 0, 0,
         {L"00000000  41 00 00 00 " + Blanks(12) + L" " + L"A   " + Blanks(4)}},
        {"raw bytes are code points", "\xe9\xff", Raw, 0, 0, 0, 0,
         {L"00000000  e9 ff " + Blanks(18) + L" " + L"\u00E9\u00FF" + Blanks(6)}},
        {"8-bit text through the code page", "\x80" "a", Oem, 0, 0, 0, 0,
         {L"00000000  80 61 " + Blanks(18) + L" " + L"\u20ACa" + Blanks(6)}},
        {"ASCII-labelled input still decodes a late high byte", "\x80", Ascii, 0, 0, 0, 0,
         {L"00000000  80 " + Blanks(21) + L" " + L"\u20AC" + Blanks(7)}},
    };
    for (const LineCase& c : cases) CheckLines(c);
}

TEST(TextField, ByteOrderMark) {
    const LineCase cases[] = {
        {"UTF-8 mark skipped", "\xef\xbb\xbf" "A", Utf8, 3, 0, 0, 0,
         {L"00000000  ef-bb-bf 41 " + Blanks(12) + L" " + L"   A" + Blanks(4)}},
        {"UTF-8 mark dumped", "\xef\xbb\xbf" "A", Utf8, 3, DF_DUMP_BOM, 0, 0,
         {L"00000000  ef-bb-bf 41 " + Blanks(12) + L" " + L"\u00A4  A" + Blanks(4)}},
        {"UTF-16LE mark skipped", std::string("\xff\xfe" "A\0", 4), Utf16Le, 2, 0, 0, 0,
         {L"00000000  ff fe 41 00 " + Blanks(12) + L" " + L"  A " + Blanks(4)}},
        {"UTF-16LE mark dumped", std::string("\xff\xfe" "A\0", 4), Utf16Le, 2, DF_DUMP_BOM, 0, 0,
         {L"00000000  ff fe 41 00 " + Blanks(12) + L" " + L"\u00A4 A " + Blanks(4)}},
    };
    for (const LineCase& c : cases) CheckLines(c);
}

TEST(TextField, ControlCharactersAndReplacement) {
    const std::string data("\x00\x7f\x1f\x85" "A\xe9\x09", 7);
    const std::wstring values = L"00000000  00 7f 1f 85 41 e9 09 " + Blanks(3) + L" ";
    const struct {
        const char* name;
        uint32_t flags;
        wchar_t replacement;
        std::wstring text;
    } cases[] = {
        {"replacement by default", 0, 0, L"\u00B7\u00B7\u00B7\u00B7A\u00E9\u00B7 "},
        {"control pictures; C1 still replaced", DF_CONTROL_PICTURES, 0, L"\u2400\u2421\u241F\u00B7A\u00E9\u2409 "},
        {"a chosen replacement", 0, L'.', L"....A\u00E9. "},
        {"a blank replacement blanks every control", 0, L' ', L"    A\u00E9  "},
        {"ASCII only: high bytes blank, tab replaced", DF_ASCII_ONLY, L'.', L"... A . "},
        {"ASCII only with control pictures", DF_ASCII_ONLY | DF_CONTROL_PICTURES, L'.', L"\u2400\u2421\u241F A \u2409 "},
    };
    for (const auto& c : cases) {
        TestInput input(data, Raw);
        DumpSettings settings = TestSettings(8);
        settings.TextReplacementChar = c.replacement;
        const auto lines = BuildLines(input, settings, c.flags);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], values + c.text) << c.name;
    }
}

TEST(TextField, ControlMappingTable) {
    const struct {
        int ch;
        uint32_t flags;
        int expected;
    } cases[] = {
        {0x00, 0, L'R'},    {0x1F, 0, L'R'},    {0x7F, 0, L'R'},    {0x80, 0, L'R'},    {0x9F, 0, L'R'},
        {0x20, 0, 0x20},    {0x7E, 0, 0x7E},    {0xA0, 0, 0xA0},    {0x2400, 0, 0x2400},
        {0x00, DF_CONTROL_PICTURES, 0x2400},    {0x0A, DF_CONTROL_PICTURES, 0x240A},
        {0x1F, DF_CONTROL_PICTURES, 0x241F},    {0x7F, DF_CONTROL_PICTURES, 0x2421},
        {0x85, DF_CONTROL_PICTURES, L'R'},
    };
    for (const auto& c : cases) EXPECT_EQ(MapControl(c.ch, c.flags, L'R'), c.expected) << c.ch;
}

TEST(TextField, EncodingRefinementLooksAtTheFirst128KiB) {
    const struct {
        const char* name;
        uint32_t encoding;
        size_t size;
        size_t highAt;  // SIZE_MAX: none
        uint32_t expected;
    } cases[] = {
        {"7-bit text", Oem, 1000, SIZE_MAX, Ascii},
        {"a high byte", Oem, 1000, 999, Oem},
        {"a high byte at the last scanned offset", Oem, 0x20001, 0x1FFFF, Oem},
        {"a high byte only past the scan", Oem, 0x20001, 0x20000, Ascii},
        {"not 8-bit text", Utf16Le, 1000, SIZE_MAX, Utf16Le},
        {"UTF-8 stays", Utf8, 1000, SIZE_MAX, Utf8},
    };
    for (const auto& c : cases) {
        std::string data(c.size, 'a');
        if (c.highAt != SIZE_MAX) data[c.highAt] = '\xc4';
        TestInput input(data, c.encoding);
        RefineEncoding(&input.source);
        EXPECT_EQ(input.source.Encoding, c.expected) << c.name;
    }
}

TEST(TextField, Utf8DashesDecision) {
    const struct {
        uint32_t encoding, wordLen, flags;
        bool expected;
    } cases[] = {
        {Utf8, 1, 0, true},           {Utf8, 2, 0, false},        {Utf8, 1, DF_UNIX, false},
        {Utf8, 1, DF_NO_UTF8_DASHES, false}, {Ascii, 1, 0, false}, {Oem, 1, 0, false},
    };
    for (const auto& c : cases) {
        TestInput input("x", c.encoding);
        EXPECT_EQ(WantUtf8Dashes(&input.source, c.wordLen, c.flags), c.expected)
            << c.encoding << " " << c.wordLen << " " << c.flags;
    }
}

TEST(TextField, AlignmentToCharacterBoundaries) {
    const struct {
        const char* name;
        std::string data;
        uint32_t encoding;
        uint64_t p, expected;
    } cases[] = {
        {"UTF-16 odd offset", "abcdef", Utf16Le, 3, 4},
        {"UTF-16 even offset", "abcdef", Utf16Be, 2, 2},
        {"UTF-16 odd last byte stays", "abcdef", Utf16Le, 5, 5},
        {"UTF-16 odd offset before the last byte stays", "abcd", Utf16Le, 3, 3},
        {"UTF-8 continuation bytes skipped", "x\xe2\x82\xacy", Utf8, 2, 4},
        {"UTF-8 lead byte", "x\xe2\x82\xacy", Utf8, 1, 1},
        {"UTF-8 stops before the last byte", "x\xe2\x82\xac", Utf8, 2, 3},
        {"UTF-32 unchanged", "abcdefgh", Utf32Le, 3, 3},
        {"8-bit unchanged", "abcdefgh", Oem, 3, 3},
    };
    for (const auto& c : cases) {
        TestInput input(c.data, c.encoding);
        AlignPosition(&input.source, c.p);
        EXPECT_EQ(input.source.Position, c.expected) << c.name;
    }
}

}  // namespace
