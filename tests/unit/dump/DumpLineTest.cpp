// Dump line layout: address, value area and the place of the text field,
// checked against lines worked out by hand.
#include <gtest/gtest.h>
#include "DumpTestUtil.h"

namespace {

const std::wstring Alphabet16 = L"ABCDEFGHIJKLMNOP";

TEST(DumpLine, HexBytesSixteenPerLine) {
    TestInput input("ABCDEFGHIJKLMNOPQRS");
    const auto lines = BuildLines(input, TestSettings(), 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP");
    EXPECT_EQ(lines[0].size(), 76u);
    // The partial last line keeps the text field in the same column.
    EXPECT_EQ(lines[1], L"00000010  51 52 53 " + Blanks(5 * 3) + L" " + Blanks(8 * 3) + L" " + L"QRS" + Blanks(13));
    EXPECT_EQ(lines[1].find(L"QRS"), 60u);
}

TEST(DumpLine, WordLayouts) {
    const struct {
        const char* name;
        uint32_t hexWidth, wordLen, flags;
        std::string data;
        std::wstring expected;
    } cases[] = {
        {"words", 16, 2, 0, "0123456789abcdef",
         L"00000000  3130 3332 3534 3736  3938 6261 6463 6665  0123456789abcdef"},
        {"big-endian words", 16, 2, DF_BIG_ENDIAN, "0123456789abcdef",
         L"00000000  3031 3233 3435 3637  3839 6162 6364 6566  0123456789abcdef"},
        {"doublewords", 16, 4, 0, "ABCDEFGHIJKLMNOP", L"00000000  44434241 48474645  4c4b4a49 504f4e4d  " + Alphabet16},
        {"quadwords have no extra group blank", 16, 8, 0, "ABCDEFGHIJKLMNOP",
         L"00000000  4847464544434241  504f4e4d4c4b4a49  " + Alphabet16},
        {"big-endian quadwords", 16, 8, DF_BIG_ENDIAN, "ABCDEFGHIJKLMNOP",
         L"00000000  4142434445464748  494a4b4c4d4e4f50  " + Alphabet16},
        {"triads group by nine bytes", 18, 3, 0, "ABCDEFGHIJKLMNOPQR",
         L"00000000  434241 464544 494847  4c4b4a 4f4e4d 525150  ABCDEFGHIJKLMNOPQR"},
        {"pentads group by ten bytes", 10, 5, 0, "ABCDEFGHIJ", L"00000000  4544434241 4a49484746  ABCDEFGHIJ"},
        {"heptads group by seven bytes", 14, 7, 0, "ABCDEFGHIJKLMN",
         L"00000000  47464544434241  4e4d4c4b4a4948  ABCDEFGHIJKLMN"},
    };
    for (const auto& c : cases) {
        TestInput input(c.data);
        DumpSettings settings = TestSettings(c.hexWidth, c.wordLen);
        const auto lines = BuildLines(input, settings, c.flags);
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0], c.expected) << c.name;
    }
}

TEST(DumpLine, NumericBases) {
    // Values only (no text field, so trailing blanks are trimmed).
    const struct {
        const char* name;
        uint32_t wordLen, format, flags;
        std::string data;
        std::wstring expected;
    } cases[] = {
        {"octal byte", 1, 1, 0, "\xff\x08", L"00000000  377 010"},
        {"decimal byte", 1, 2, 0, "\xff\x07", L"00000000  255   7"},
        {"signed bytes", 1, 3, 0, std::string("\xff\x7f\x80\x00", 4), L"00000000    -1  127 -128    0"},
        {"signed word", 2, 3, 0, std::string("\xff\xff\x00\x80\xff\x7f", 6), L"00000000      -1 -32768  32767"},
        {"unsigned word", 2, 2, 0, "\xff\xff", L"00000000  65535"},
        {"octal word", 2, 1, 0, "\xff\xff", L"00000000  177777"},
        {"signed triad", 3, 3, 0, std::string("\xff\xff\xff\x00\x00\x80", 6), L"00000000        -1 -8388608"},
        {"signed doubleword", 4, 3, 0, "\xfe\xff\xff\xff", L"00000000  " + Blanks(9) + L"-2"},
        {"signed pentad", 5, 3, 0, "\xff\xff\xff\xff\xff", L"00000000  " + Blanks(11) + L"-1"},
        {"signed quadword", 8, 3, 0, "\xff\xff\xff\xff\xff\xff\xff\xff", L"00000000  " + Blanks(19) + L"-1"},
        {"octal quadword is 22 digits", 8, 1, 0, "\x01", L"00000000  " + std::wstring(21, L'0') + L"1"},
        {"decimal quadword", 8, 2, 0, "\x0a", L"00000000  " + Blanks(18) + L"10"},
        {"words with a lone last byte", 2, 0, 0, "\x01\x02\x41", L"00000000  0201 0041"},
        {"big-endian lone last byte", 2, 0, DF_BIG_ENDIAN, "\x01\x02\x41", L"00000000  0102 4100"},
        {"big-endian signed word", 2, 3, DF_BIG_ENDIAN, "\xff\xfe", L"00000000  " + Blanks(4) + L"-2"},
        {"upper-case hex", 1, 0, DF_UPPER_HEX, "\xab\xcd", L"00000000  AB CD"},
    };
    for (const auto& c : cases) {
        TestInput input(c.data);
        DumpSettings settings = TestSettings(16, c.wordLen, c.format);
        const auto lines = BuildLines(input, settings, c.flags | DF_NO_TEXT);
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0], c.expected) << c.name;
    }
}

TEST(DumpLine, WordsOnAPartialLineKeepTheTextColumn) {
    TestInput input("ABC");
    const auto lines = BuildLines(input, TestSettings(16, 2), 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"00000000  4241 0043 " + Blanks(2 * 5) + L" " + Blanks(4 * 5) + L" " + L"ABC" + Blanks(13));
    EXPECT_EQ(lines[0].size(), 68u);
}

TEST(DumpLine, AddressAndTextOptions) {
    TestInput input(std::string(10, 'a') + "\xab" "z");
    DumpSettings settings = TestSettings();
    settings.StartAddress = 10;
    // Upper case reaches address and values, never the text.
    auto lines = BuildLines(input, settings, DF_UPPER_HEX | DF_ASCII_ONLY);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"0000000A  AB 7A " + Blanks(6 * 3) + L" " + Blanks(8 * 3) + L" " + L" z" + Blanks(14));

    lines = BuildLines(input, settings, DF_NO_ADDRESS | DF_ASCII_ONLY);
    EXPECT_EQ(lines[0], L"ab 7a " + Blanks(6 * 3) + L" " + Blanks(8 * 3) + L" " + L" z" + Blanks(14));

    lines = BuildLines(input, settings, DF_NO_ADDRESS | DF_NO_TEXT);
    EXPECT_EQ(lines[0], L"ab 7a");

    settings.AddressWidth = 4;
    lines = BuildLines(input, settings, DF_NO_TEXT);
    EXPECT_EQ(lines[0], L"000a  ab 7a");
}

TEST(DumpLine, AddressWidthFollowsTheWindowEnd) {
    // Only the size is looked at; the data is never read here.
    const struct {
        uint64_t size;
        uint32_t digits;
    } cases[] = {{100, 8}, {(1ull << 32) - 1, 8}, {1ull << 32, 10}, {(1ull << 40) - 1, 10},
                 {1ull << 40, 12}, {1ull << 48, 14}, {UINT64_MAX, 14}};
    for (const auto& c : cases) {
        TestInput input("x", Utf16Le);
        input.source.Size = c.size;
        DumpSettings settings = TestSettings();
        DumpLayout layout;
        PrepareLayout(&settings, 0, &input.source, &layout);
        EXPECT_EQ(layout.AddressWidth, c.digits) << c.size;
    }
}

struct WindowCase {
    const char* name;
    uint64_t startAddress, endAddress, maxBytes, startFromEnd, endFromEnd;
    uint32_t maxLines;
    uint64_t start, end;
};

TEST(DumpLine, WindowOnAHundredByteInput) {
    const WindowCase cases[] = {
        {"whole input", 0, 0, 0, 0, 0, 0, 0, 100},
        {"start from end", 0, 0, 0, 16, 0, 0, 84, 100},
        {"end from end", 0, 0, 0, 0, 16, 0, 0, 84},
        {"max bytes after a start", 5, 0, 10, 0, 0, 0, 5, 15},
        {"start from end of the whole size is ignored", 0, 0, 0, 100, 0, 0, 0, 100},
        {"start from end above the size is ignored", 0, 0, 0, 150, 0, 0, 0, 100},
        {"the later of start and start from end wins", 90, 0, 0, 16, 0, 0, 90, 100},
        {"end address", 0, 50, 0, 0, 0, 0, 0, 50},
        {"end address beyond the size", 0, 500, 0, 0, 0, 0, 0, 100},
        {"the earlier of end and end from end wins", 0, 50, 0, 0, 16, 0, 0, 50},
        {"start beyond the end", 200, 0, 0, 0, 0, 0, 200, 200},
        {"start beyond an end address", 60, 50, 0, 0, 0, 0, 60, 60},
        {"max lines", 0, 0, 0, 0, 0, 2, 0, 32},
        {"max lines after a start", 7, 0, 0, 0, 0, 2, 7, 39},
        {"max lines beyond the end", 90, 0, 0, 0, 0, 2, 90, 100},
        {"a huge max bytes does not wrap around", 5, 0, UINT64_MAX, 0, 0, 0, 5, 100},
    };
    for (const WindowCase& c : cases) {
        TestInput input(std::string(100, 'x'));
        DumpSettings settings = TestSettings();
        settings.StartAddress = c.startAddress;
        settings.EndAddress = c.endAddress;
        settings.MaxBytes = c.maxBytes;
        settings.StartFromEnd = c.startFromEnd;
        settings.EndFromEnd = c.endFromEnd;
        settings.MaxLines = c.maxLines;
        DumpLayout layout;
        PrepareLayout(&settings, 0, &input.source, &layout);
        EXPECT_EQ(layout.Start, c.start) << c.name;
        EXPECT_EQ(layout.End, c.end) << c.name;
    }
}

TEST(DumpLine, WindowStartShowsItsOwnAddress) {
    TestInput input(std::string(100, 'x'));
    DumpSettings settings = TestSettings();
    settings.StartFromEnd = 16;
    const auto lines = BuildLines(input, settings, DF_NO_TEXT);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 13), L"00000054  78 ");
}

TEST(DumpLine, FittingBytesPerLineToTheConsole) {
    const struct {
        uint32_t consoleWidth, addressWidth, wordLen, digits, flags, expected;
    } cases[] = {
        {80, 8, 1, 2, 0, 16},             // needed 66 of 69
        {100, 8, 1, 2, 0, 16},            // 24 would need 99 of 89
        {120, 8, 1, 2, 0, 24},            // needed 99 of 109
        {80, 8, 2, 4, 0, 16},             // hex words: needed 58
        {80, 8, 3, 6, 0, 18},             // triads: needed 62; 27 would need 93
        {80, 8, 8, 16, 0, 16},            // quadwords: needed 52; 24 would need 78
        {22, 8, 1, 2, 0, 16},             // not even one group fits: two groups
        {22, 8, 3, 6, 0, 18},
        {100, 8, 1, 2, DF_NO_TEXT, 24},   // needed 71 of 89
        {80, 8, 1, 2, DF_NO_ADDRESS, 16}, // 24 would need 99 of 79
        {400, 16, 1, 2, 0, 80},           // never more than 80
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FitHexWidth(c.consoleWidth, c.addressWidth, c.wordLen, DefaultGroupWidth(c.wordLen), c.digits, c.flags),
                  c.expected)
            << c.consoleWidth << " columns, WordLen " << c.wordLen;
    }
}

TEST(DumpLine, AFittedLineNeverReachesTheLastConsoleColumn) {
    // Whatever the layout, a fitted full line is at most ConsoleWidth - 1 wide.
    TestInput input(std::string(200, 'x'));
    for (uint32_t width = 22; width <= 400; width += 7) {
        for (uint32_t wordLen = 1; wordLen <= 8; ++wordLen) {
            for (uint32_t format = 0; format <= 3; ++format) {
                for (uint32_t flags : {0u, uint32_t(DF_NO_ADDRESS), uint32_t(DF_NO_TEXT)}) {
                    DumpSettings settings = TestSettings(0, wordLen, format);
                    settings.ConsoleWidth = width;
                    DumpLayout layout;
                    input.source.Position = 0;
                    PrepareLayout(&settings, flags | DF_ASCII_ONLY, &input.source, &layout);
                    wchar_t buffer[DumpLineCapacity];
                    const size_t n = BuildDumpLine(&input.source, &layout, 0, buffer);
                    // The fallback for a console too narrow for even one group may be wider.
                    if (layout.HexWidth == 2 * layout.GroupWidth && n > width - 1) continue;
                    EXPECT_LE(n, width - 1u) << width << " columns, WordLen " << wordLen << " Format " << format;
                    EXPECT_EQ(layout.HexWidth % layout.GroupWidth, 0u);
                }
            }
        }
    }
}

TEST(DumpLine, WidestLinesInSignedDecimal) {
    // The widest value fields (signed decimal), 16-digit addresses and a text
    // field of four-byte characters, each a surrogate pair, an absorbed column
    // and two blanks. Widths: 18 address units, then per value Digits + 1
    // (+ 2 for quadwords) and one blank per group.
    std::string data;
    for (int i = 0; i < 40; ++i) data += "\xf0\x9f\x98\x80";
    const struct {
        uint32_t wordLen, hexWidth;
        size_t values, text;
    } cases[] = {
        {1, 80, 80 * 5 + 10, 80},  {2, 80, 40 * 7 + 10, 80},  {3, 72, 24 * 9 + 8, 72},  {4, 80, 20 * 12 + 10, 80},
        {5, 80, 16 * 14 + 8, 80},  {6, 72, 12 * 17 + 6, 72},  {8, 80, 10 * 23, 80},
        // 77 columns: the last character starts in the last column and
        // brings its second unit into this line.
        {7, 77, 11 * 19 + 11, 78},
    };
    for (const auto& c : cases) {
        TestInput input(data, Utf8);
        DumpSettings settings = TestSettings(c.hexWidth, c.wordLen, 3);
        settings.AddressWidth = 16;
        DumpLayout layout;
        PrepareLayout(&settings, 0, &input.source, &layout);
        wchar_t buffer[DumpLineCapacity];
        const size_t n = BuildDumpLine(&input.source, &layout, 0, buffer);
        EXPECT_EQ(n, 18 + c.values + c.text) << "WordLen " << c.wordLen;
        EXPECT_EQ(buffer[n], 0);
        EXPECT_EQ(std::wstring(buffer + 18 + c.values, 4), L"\xD83D\xDE00  ") << "WordLen " << c.wordLen;
    }
}

}  // namespace
