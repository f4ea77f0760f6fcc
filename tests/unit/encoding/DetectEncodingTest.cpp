// Encoding detection: each rule with small crafted inputs, the scan bounds,
// the clipboard case and what detection does to BomLength and Position.
#include <gtest/gtest.h>

#include "GuardedInput.h"

namespace {

// "HELLO WORLD " in EBCDIC (letters C1.., space 0x40).
const std::string EbcdicHello = Bytes({0xC8, 0xC5, 0xD3, 0xD3, 0xD6, 0x40, 0xE6, 0xD6, 0xD9, 0xD3, 0xC4, 0x40});

struct DetectCase {
    const char* name;
    std::string data;
    uint32_t codePage;
    bool allowEbcdic;
    uint32_t expected;
    uint64_t bomLength;
};

void PrintTo(const DetectCase& c, std::ostream* os) { *os << c.name; }

class DetectTable : public ::testing::TestWithParam<DetectCase> {};

TEST_P(DetectTable, ClassifiesAndFindsTheBom) {
    const DetectCase& c = GetParam();
    GuardedBytes bytes(c.data);
    ASSERT_TRUE(bytes.guarded());
    InputSource source = MakeSource(bytes, 99);
    source.CodePage = c.codePage;
    EXPECT_EQ(DetectEncoding(&source, c.allowEbcdic), c.expected);
    EXPECT_EQ(source.Encoding, c.expected);
    EXPECT_EQ(source.BomLength, c.bomLength);
    EXPECT_EQ(source.Position, c.bomLength);
}

const std::string HiThere = "Hi there";

INSTANTIATE_TEST_SUITE_P(
    Rules, DetectTable,
    ::testing::Values(
        DetectCase{"OneByte", "A", 1252, true, Oem, 0},
        DetectCase{"OneHighByte", Bytes({0xE9}), 1252, true, Oem, 0},
        DetectCase{"Utf16LeShort", Repeat(std::string("A\0", 2), 8), 1252, true, Utf16Le, 0},
        // The short rule decides by NUL counts alone up to 32 bytes.
        DetectCase{"Utf16LeShort32", Repeat(std::string("A\0", 2), 16), 1252, true, Utf16Le, 0},
        DetectCase{"Utf16LeShortRuleEndsAt32", Repeat(std::string("A\0", 2), 16) + "A", 1252, true, Oem, 0},
        DetectCase{"Utf16BeShort", Repeat(std::string("\0A", 2), 8), 1252, true, Utf16Be, 0},
        // 20 bytes, 5 letters: fewer than a third of the length.
        DetectCase{"ShortRuleRejects", Repeat(std::string("a\0", 2), 5) + Repeat(std::string("\x01\0", 2), 5), 1252,
                   true, Oem, 0},
        // 6 letters of 20 bytes is exactly a third (rounded down): accepted.
        DetectCase{"ShortRuleAcceptsAtAThird", Repeat(std::string("a\0", 2), 6) + Repeat(std::string("\x01\0", 2), 4),
                   1252, true, Utf16Le, 0},
        DetectCase{"ShortRuleNoNuls", "ab cd ef", 1252, true, Oem, 0},
        DetectCase{"Utf16LeLong", WideBytes(Repeat("Hello world ", 20), 2, false), 1252, true, Utf16Le, 0},
        DetectCase{"Utf16BeLong", WideBytes(Repeat("Hello world ", 20), 2, true), 1252, true, Utf16Be, 0},
        // Up to 128 bytes the spaces need only outnumber twice over (3 > 2 x 1)...
        DetectCase{"Factor2UpTo128", std::string(" \0 \0 \0x ", 8) + Repeat(std::string("a\0", 2), 60), 1252, true,
                   Utf16Le, 0},
        // ...above 128 bytes four times over.
        DetectCase{"Factor4Above128", std::string(" \0 \0 \0x ", 8) + Repeat(std::string("a\0", 2), 60) + "a", 1252,
                   true, Oem, 0},
        DetectCase{"Utf16LeBom", Bytes({0xFF, 0xFE}), 1252, true, Utf16Le, 2},
        DetectCase{"Utf16BeBom", Bytes({0xFE, 0xFF, 0x00, 0x41}), 1252, true, Utf16Be, 2},
        DetectCase{"Utf32LeBom", Bytes({0xFF, 0xFE, 0, 0}) + WideBytes(HiThere, 4, false), 1252, true, Utf32Le, 4},
        DetectCase{"Utf32BeBom", Bytes({0, 0, 0xFE, 0xFF}) + WideBytes(HiThere, 4, true), 1252, true, Utf32Be, 4},
        DetectCase{"Utf32LeNoBom", WideBytes(HiThere, 4, false), 1252, true, Utf32Le, 0},
        DetectCase{"Utf32BeNoBom", WideBytes(HiThere, 4, true), 1252, true, Utf32Be, 0},
        // The UTF-32 BOM alone proves nothing: the text decides, and this
        // text is not UTF-32, so the first two bytes are a UTF-16 BOM.
        DetectCase{"Utf32BomWithoutUtf32Text", Bytes({0xFF, 0xFE, 0, 0}) + "abcdefgh", 1252, true, Utf16Le, 2},
        // 16 units scanned: at least 6 (3/8) must be characters above 16.
        DetectCase{"Utf32AtThreshold", WideBytes("AAAAAA\x01\x01", 4, false), 1252, true, Utf32Le, 0},
        DetectCase{"Utf32BelowThreshold", WideBytes("AAAAA\x01\x01\x01", 4, false), 1252, true, Oem, 0},
        DetectCase{"Utf32NeedsMultipleOf4", WideBytes(HiThere, 4, false) + "!", 1252, true, Oem, 0},
        DetectCase{"PureAscii", "Hello, world.\r\nSecond line.\r\n", 1252, true, Oem, 0},
        DetectCase{"Utf8OneAccent", "Caf\xC3\xA9 au lait", 1252, true, Utf8, 0},
        DetectCase{"Utf8Bom", "\xEF\xBB\xBF" "abc", 1252, true, Utf8, 3},
        DetectCase{"Utf8BomOnly", "\xEF\xBB\xBF", 1252, true, Utf8, 3},
        DetectCase{"Utf8CutAtEnd", "abc\xE2\x82", 1252, true, Utf8, 0},
        DetectCase{"Utf8OverlongAccepted", "ab\xC0\xAF", 1252, true, Utf8, 0},
        DetectCase{"Utf8SurrogateAccepted", "ab\xED\xA0\x80", 1252, true, Utf8, 0},
        DetectCase{"Utf8BadContinuation", "ab\xC3(cd", 1252, true, Oem, 0},
        DetectCase{"Utf8LoneContinuation", "ab\x80" "cd", 1252, true, Oem, 0},
        DetectCase{"Utf8F8Lead", "ab\xF8\x80\x80\x80\x80", 1252, true, Oem, 0},
        DetectCase{"CodePage65001Invalid", "\x80\x81zz", 65001, true, Utf8, 0},
        DetectCase{"CodePage65001Bom", "\xEF\xBB\xBF\x80", 65001, true, Utf8, 3},
        DetectCase{"CodePage65001OneByte", "A", 65001, true, Utf8, 0},
        DetectCase{"CodePage65001Utf16First", Repeat(std::string("A\0", 2), 8), 65001, true, Utf16Le, 0},
        DetectCase{"CodePage65001NoEbcdic", Repeat(EbcdicHello, 11), 65001, true, Utf8, 0},
        DetectCase{"Ebcdic", Repeat(EbcdicHello, 11), 1252, true, Ebcdic, 0},
        DetectCase{"EbcdicNotAllowed", Repeat(EbcdicHello, 11), 1252, false, Oem, 0},
        DetectCase{"Ebcdic127Bytes", Repeat(EbcdicHello, 11).substr(0, 127), 1252, true, Oem, 0},
        DetectCase{"Ebcdic128Bytes", Repeat(EbcdicHello, 11).substr(0, 128), 1252, true, Ebcdic, 0},
        DetectCase{"ZerosAreNotEbcdic", std::string(4096, '\0'), 1252, true, Oem, 0}),
    [](const ::testing::TestParamInfo<DetectCase>& info) { return std::string(info.param.name); });

// EBCDIC statistics: letters against ASCII letters, other high bytes and
// ASCII spaces, with the factor 4 below 1024 bytes and 5 from there on.
struct EbcdicCase {
    size_t size;
    size_t letters, asciiAlnum, high, spaces;  // the rest of the input is 0x40
    bool expected;
};

void PrintTo(const EbcdicCase& c, std::ostream* os) {
    *os << c.size << " bytes, " << c.letters << " letters, " << c.asciiAlnum << " ASCII, " << c.high << " high, "
        << c.spaces << " spaces";
}

class EbcdicStatistics : public ::testing::TestWithParam<EbcdicCase> {};

TEST_P(EbcdicStatistics, Thresholds) {
    const EbcdicCase& c = GetParam();
    std::string data = std::string(c.letters, '\xC1') + std::string(c.asciiAlnum, 'a') + std::string(c.high, '\xBA') +
                       std::string(c.spaces, ' ');
    data += std::string(c.size - data.size(), '\x40');
    GuardedBytes bytes(data);
    InputSource source = MakeSource(bytes);
    EXPECT_EQ(DetectEncoding(&source, true), c.expected ? Ebcdic : Oem);
}

INSTANTIATE_TEST_SUITE_P(Cases, EbcdicStatistics,
                         ::testing::Values(EbcdicCase{128, 100, 25, 0, 0, true},    // 100 >= 4 x 25
                                           EbcdicCase{128, 99, 25, 0, 0, false},    // 99 < 4 x 25
                                           EbcdicCase{1023, 100, 25, 0, 0, true},   // still factor 4
                                           EbcdicCase{1024, 100, 25, 0, 0, false},  // factor 5
                                           EbcdicCase{1024, 800, 160, 0, 0, true},  // 800 >= 5 x 160
                                           EbcdicCase{200, 100, 0, 25, 0, true},    // high bytes
                                           EbcdicCase{200, 100, 0, 26, 0, false},
                                           EbcdicCase{200, 100, 0, 0, 20, true},    // 80 x 0x40 >= 4 x 20 spaces
                                           EbcdicCase{200, 100, 0, 0, 21, false},   // 79 < 4 x 21
                                           EbcdicCase{128, 0, 0, 0, 0, false},     // no letter: no evidence
                                           EbcdicCase{128, 1, 0, 0, 0, true}));     // one letter, nothing against it

// The scans stop at their bounds: a byte just inside a bound changes the
// result, the same byte just beyond it does not.
struct BoundCase {
    const char* name;
    size_t size;
    char fill;
    std::string prefix;       // at offset 0
    std::string probe;        // placed at probeOffset
    size_t probeOffset;
    bool allowEbcdic;
    uint32_t expected;
};

void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class ScanBounds : public ::testing::TestWithParam<BoundCase> {};

TEST_P(ScanBounds, OnlyTheBoundedPrefixCounts) {
    const BoundCase& c = GetParam();
    std::string data(c.size, c.fill);
    data.replace(0, c.prefix.size(), c.prefix);
    data.replace(c.probeOffset, c.probe.size(), c.probe);
    GuardedBytes bytes(data);
    ASSERT_TRUE(bytes.ok());
    InputSource source = MakeSource(bytes);
    EXPECT_EQ(DetectEncoding(&source, c.allowEbcdic), c.expected);
}

const std::string Utf32A = WideBytes(Repeat("A", 32800), 4, false);  // 131200 bytes

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanBounds,
    ::testing::Values(
        BoundCase{"Utf8BadByteInside", 262160, 'a', "\xC3\xA9", "\xFF", 262143, false, Oem},
        BoundCase{"Utf8BadByteBeyond", 262160, 'a', "\xC3\xA9", "\xFF", 262144, false, Utf8},
        BoundCase{"Utf16PairInside", 131136, 'x', "", std::string(" \0", 2), 131070, false, Utf16Le},
        BoundCase{"Utf16PairBeyond", 131136, 'x', "", std::string(" \0", 2), 131072, false, Oem},
        BoundCase{"Utf32OddUnitInside", 131200, 'x', Utf32A, "xxxx", 131068, false, Oem},
        BoundCase{"Utf32OddUnitBeyond", 131200, 'x', Utf32A, "xxxx", 131072, false, Utf32Le},
        BoundCase{"EbcdicAsciiInside", 131136, '\x40', "\xC1", "a", 131071, true, Oem},
        BoundCase{"EbcdicAsciiBeyond", 131136, '\x40', "\xC1", "a", 131072, true, Ebcdic}),
    [](const ::testing::TestParamInfo<BoundCase>& info) { return std::string(info.param.name); });

TEST(DetectEncoding, ClipboardIsUtf16LeWithoutStatistics) {
    GuardedBytes utf8Text("h\xC3\xA9llo");
    InputSource source = MakeSource(utf8Text);
    source.Name = const_cast<wchar_t*>(L"CLIP:");
    EXPECT_EQ(DetectEncoding(&source, true), Utf16Le);
    EXPECT_EQ(source.BomLength, 0u);
    EXPECT_EQ(source.Position, 0u);

    GuardedBytes withBom(Bytes({0xFF, 0xFE, 'h', 0}));
    source = MakeSource(withBom);
    source.Name = const_cast<wchar_t*>(L"clip:");
    source.BomLength = 7;
    EXPECT_EQ(DetectEncoding(&source, true), Utf16Le);
    EXPECT_EQ(source.BomLength, 2u);
    EXPECT_EQ(source.Position, 2u);
}

TEST(DetectEncoding, ClipboardRuleNeedsNameAndNoHandles) {
    GuardedBytes utf8Text("h\xC3\xA9llo");
    struct {
        const wchar_t* name;
        HANDLE file;
        HANDLE mapping;
    } cases[] = {
        {L"clip:x", nullptr, nullptr},
        {L"clip", nullptr, nullptr},
        {nullptr, nullptr, nullptr},
        {L"clip:", reinterpret_cast<HANDLE>(4), nullptr},
        {L"clip:", nullptr, reinterpret_cast<HANDLE>(4)},
    };
    for (const auto& c : cases) {
        InputSource source = MakeSource(utf8Text);
        source.Name = const_cast<wchar_t*>(c.name);
        source.FileHandle = c.file;
        source.MappingHandle = c.mapping;
        EXPECT_EQ(DetectEncoding(&source, true), Utf8) << (c.name ? "named" : "no name");
    }
}

TEST(DetectEncoding, PositionAndBomLengthOnlyRaised) {
    GuardedBytes bom("\xEF\xBB\xBF" "abc");
    InputSource source = MakeSource(bom);
    source.Position = 5;
    DetectEncoding(&source, false);
    EXPECT_EQ(source.BomLength, 3u);
    EXPECT_EQ(source.Position, 5u);

    // No mark found: BomLength is left as it was, Position raised to it.
    GuardedBytes ascii("plain text");
    source = MakeSource(ascii);
    source.BomLength = 2;
    DetectEncoding(&source, false);
    EXPECT_EQ(source.BomLength, 2u);
    EXPECT_EQ(source.Position, 2u);
}

TEST(DetectEncoding, NullRecordAndNoData) {
    EXPECT_EQ(DetectEncoding(nullptr, true), static_cast<uint32_t>(Oem));
    InputSource empty{};
    empty.Size = 300;  // a size without data must not be read
    EXPECT_EQ(DetectEncoding(&empty, true), static_cast<uint32_t>(Oem));
    EXPECT_EQ(empty.Encoding, static_cast<uint32_t>(Oem));
    empty.CodePage = 65001;
    EXPECT_EQ(DetectEncoding(&empty, true), static_cast<uint32_t>(Utf8));
    EXPECT_EQ(empty.BomLength, 0u);
}

}  // namespace
