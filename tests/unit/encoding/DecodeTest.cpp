// Character decoding: every encoding's normal, end-of-data and error paths,
// with the data right against an inaccessible page.
#include <gtest/gtest.h>

#include <vector>

#include "GuardedInput.h"

namespace {

constexpr int R = 0xFFFD;

struct DecodeCase {
    const char* name;
    uint32_t encoding;
    bool supplementary;
    std::string data;
    std::vector<int> expected;  // what NextChar returns, ending with -1
    std::vector<uint64_t> positions;  // Position after each call (checked when given)
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class NextCharTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(NextCharTable, DecodesAndAdvances) {
    const DecodeCase& c = GetParam();
    GuardedBytes bytes(c.data);
    ASSERT_TRUE(bytes.guarded());
    InputSource source = MakeSource(bytes, c.encoding);
    source.AllowSupplementary = c.supplementary;
    std::vector<int> got;
    std::vector<uint64_t> positions;
    for (size_t i = 0; i < c.expected.size() + 2; ++i) {
        int ch = NextChar(&source);
        got.push_back(ch);
        positions.push_back(source.Position);
        if (ch == -1) break;
    }
    EXPECT_EQ(got, c.expected);
    if (!c.positions.empty()) {
        EXPECT_EQ(positions, c.positions);
    }
    // At the end the position stays put and every further call gives -1.
    uint64_t end = source.Position;
    EXPECT_EQ(NextChar(&source), -1);
    EXPECT_EQ(PeekChar(&source), -1);
    EXPECT_EQ(source.Position, end);
}

std::string S(const char* text, size_t length) { return std::string(text, length); }

INSTANTIATE_TEST_SUITE_P(
    Cases, NextCharTable,
    ::testing::Values(
        DecodeCase{"Utf16Le", Utf16Le, false, S("A\0\xAC\x20", 4), {'A', 0x20AC, -1}, {2, 4, 4}},
        DecodeCase{"Utf16Be", Utf16Be, false, S("\0A\x20\xAC", 4), {'A', 0x20AC, -1}, {2, 4, 4}},
        DecodeCase{"Utf16OddLength", Utf16Le, false, S("A\0B", 3), {'A', -1}, {2, 2}},
        DecodeCase{"Utf16OneByte", Utf16Le, false, "A", {-1}, {0}},
        DecodeCase{"Utf16LePair", Utf16Le, true, S("\x3D\xD8\x00\xDE", 4), {0x1F600, -1}, {4, 4}},
        DecodeCase{"Utf16BePair", Utf16Be, true, S("\xD8\x3D\xDE\x00", 4), {0x1F600, -1}, {4, 4}},
        DecodeCase{"Utf16PairWithoutSupplementary", Utf16Le, false, S("\x3D\xD8\x00\xDE", 4), {0xD83D, 0xDE00, -1}, {}},
        DecodeCase{"Utf16HighAtEnd", Utf16Le, true, S("\x3D\xD8", 2), {0xD83D, -1}, {}},
        DecodeCase{"Utf16HighThenOddByte", Utf16Le, true, S("\x3D\xD8\x00", 3), {0xD83D, -1}, {2, 2}},
        DecodeCase{"Utf16HighThenLetter", Utf16Le, true, S("\x3D\xD8" "A\0", 4), {0xD83D, 'A', -1}, {}},
        DecodeCase{"Utf16LoneLow", Utf16Le, true, S("\x00\xDE" "A\0", 4), {0xDE00, 'A', -1}, {}},
        DecodeCase{"Utf16Nul", Utf16Le, false, S("\0\0", 2), {0, -1}, {}},
        DecodeCase{"Utf8", Utf8, false, "A\xC3\xA9\xE2\x82\xAC", {'A', 0xE9, 0x20AC, -1}, {1, 3, 6, 6}},
        DecodeCase{"Utf8FourBytes", Utf8, true, "\xF0\x9F\x98\x80", {0x1F600, -1}, {4, 4}},
        DecodeCase{"Utf8FourBytesWithoutSupplementary", Utf8, false, "\xF0\x9F\x98\x80", {R, -1}, {4, 4}},
        DecodeCase{"Utf8CutAtEnd", Utf8, false, "A\xE2\x82", {'A', R, R, -1}, {1, 2, 3, 3}},
        DecodeCase{"Utf8FourCutAtEnd", Utf8, true, "\xF0\x9F\x98", {R, R, R, -1}, {}},
        DecodeCase{"Utf8BadContinuation", Utf8, false, "\xC3" "A", {R, 'A', -1}, {1, 2, 2}},
        DecodeCase{"Utf8LoneContinuation", Utf8, false, "\x80\xBF", {R, R, -1}, {}},
        DecodeCase{"Utf8F8ToFF", Utf8, false, "\xF8\xFF", {R, R, -1}, {}},
        DecodeCase{"Utf8OverlongNotChecked", Utf8, false, "\xC0\xAF", {'/', -1}, {}},
        DecodeCase{"Utf8SurrogatePair", Utf8, true, "\xED\xA0\x80\xED\xB0\x80", {0x10000, -1}, {6, 6}},
        DecodeCase{"Utf8SurrogatePairWithoutSupplementary", Utf8, false, "\xED\xA0\x80\xED\xB0\x80",
                   {0xD800, 0xDC00, -1}, {3, 6, 6}},
        DecodeCase{"Utf8HighSurrogateAlone", Utf8, true, "\xED\xA0\x80", {0xD800, -1}, {}},
        DecodeCase{"Utf8HighThenNotLow", Utf8, true, "\xED\xA0\x80\xED\x9F\xBF", {0xD800, 0xD7FF, -1}, {}},
        DecodeCase{"Utf8HighThenCutLow", Utf8, true, "\xED\xA0\x80\xED\xB0", {0xD800, R, R, -1}, {3, 4, 5, 5}},
        DecodeCase{"Utf8HighThenBadLow", Utf8, true, "\xED\xA0\x80\xED\xB0" "A", {0xD800, R, R, 'A', -1}, {}},
        DecodeCase{"Utf8AboveMaximum", Utf8, true, "\xF4\x90\x80\x80" "A", {R, 'A', -1}, {4, 5, 5}},
        DecodeCase{"Utf8F7Lead", Utf8, true, "\xF7\xBF\xBF\xBF", {R, -1}, {}},
        DecodeCase{"Utf8Nul", Utf8, false, S("\0A", 2), {0, 'A', -1}, {}},
        DecodeCase{"Utf32Le", Utf32Le, false, S("A\0\0\0\xAC\x20\0\0", 8), {'A', 0x20AC, -1}, {4, 8, 8}},
        DecodeCase{"Utf32Be", Utf32Be, false, S("\0\0\0A\0\0\x20\xAC", 8), {'A', 0x20AC, -1}, {}},
        DecodeCase{"Utf32ShortTail", Utf32Le, false, S("A\0\0\0B\0\0", 7), {'A', -1}, {4, 4}},
        DecodeCase{"Utf32Supplementary", Utf32Le, true, S("\x00\xF6\x01\x00", 4), {0x1F600, -1}, {}},
        DecodeCase{"Utf32SupplementaryNotAllowed", Utf32Le, false, S("\x00\xF6\x01\x00", 4), {R, -1}, {4, 4}},
        DecodeCase{"Utf32AboveMaximum", Utf32Be, true, S("\x00\x11\x00\x00", 4), {R, -1}, {}},
        DecodeCase{"Utf32Negative", Utf32Le, true, S("\xFF\xFF\xFF\xFF\x00\x00\x00\x80", 8), {R, R, -1}, {}},
        DecodeCase{"Ebcdic", Ebcdic, false, "\xC1\x15\x25\x9F\x40\x20", {'A', 0x85, '\n', 0x20AC, ' ', R, -1}, {}},
        DecodeCase{"Raw", Raw, false, "\x80\xFF" "A", {0x80, 0xFF, 'A', -1}, {}},
        DecodeCase{"Oem1252", Oem, false, S("A\x80\x81\0", 4), {'A', 0x20AC, R, 0, -1}, {}},
        DecodeCase{"AsciiUsesTheTable", Ascii, false, "\x80", {0x20AC, -1}, {}},
        DecodeCase{"UnknownEncodingUsesTheTable", 77, false, "\x9F", {0x0178, -1}, {}}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(NextChar, TableIndexesChooseTheCodePage) {
    GuardedBytes bytes("\xB0");
    InputSource source = MakeSource(bytes, Oem);
    source.CodePageIndex = CodePageIndexOf(437);
    EXPECT_EQ(NextChar(&source), 0x2591);

    GuardedBytes ebcdic("\x5A");
    source = MakeSource(ebcdic, Ebcdic);
    source.EbcdicCodePageIndex = EbcdicCodePageIndexOf(1142);
    EXPECT_EQ(NextChar(&source), 0x20AC);
}

TEST(NextChar, OutOfRangeIndexFallsBackToTheFirstTable) {
    GuardedBytes bytes("\x80");
    InputSource source = MakeSource(bytes, Oem);
    source.CodePageIndex = -1;
    EXPECT_EQ(NextChar(&source), 0x20AC);
    source.Position = 0;
    source.CodePageIndex = 24;
    EXPECT_EQ(NextChar(&source), 0x20AC);

    GuardedBytes ebcdic("\x9F");
    source = MakeSource(ebcdic, Ebcdic);
    source.EbcdicCodePageIndex = 10;
    EXPECT_EQ(NextChar(&source), 0x20AC);
}

TEST(NextChar, NullRecordAndPositionAtOrBeyondSize) {
    EXPECT_EQ(NextChar(nullptr), -1);
    EXPECT_EQ(PeekChar(nullptr), -1);
    GuardedBytes bytes("AB");
    InputSource source = MakeSource(bytes, Oem);
    source.Position = 2;
    EXPECT_EQ(NextChar(&source), -1);
    source.Position = 100;
    EXPECT_EQ(NextChar(&source), -1);
    EXPECT_EQ(source.Position, 100u);
}

TEST(PeekChar, MatchesNextCharWithoutMoving) {
    GuardedBytes bytes("\xED\xA0\x80\xED\xB0\x80" "A");
    InputSource source = MakeSource(bytes, Utf8);
    source.AllowSupplementary = 1;
    EXPECT_EQ(PeekChar(&source), 0x10000);
    EXPECT_EQ(source.Position, 0u);
    EXPECT_EQ(NextChar(&source), 0x10000);
    EXPECT_EQ(PeekChar(&source), 'A');
    EXPECT_EQ(PeekChar(&source), 'A');
    EXPECT_EQ(source.Position, 6u);
}

TEST(PeekChar, SequenceCutByTheEndIsNoCharacter) {
    struct {
        const char* data;
        uint64_t position;
    } cases[] = {{"A\xE2\x82", 1}, {"\xC3", 0}, {"\xF0\x9F\x98", 0}};
    for (const auto& c : cases) {
        GuardedBytes bytes(c.data);
        InputSource source = MakeSource(bytes, Utf8);
        source.Position = c.position;
        EXPECT_EQ(PeekChar(&source), -1) << c.data;
        EXPECT_EQ(source.Position, c.position);
        EXPECT_EQ(NextChar(&source), R) << c.data;
        EXPECT_EQ(source.Position, c.position + 1);
    }
    // A bad lead byte is a replacement for both.
    GuardedBytes bad("\x80");
    InputSource source = MakeSource(bad, Utf8);
    EXPECT_EQ(PeekChar(&source), R);
}

struct Utf8Case {
    std::string bytes;
    int expected;
};

TEST(DecodeUtf8, SequencesAndFailures) {
    const Utf8Case cases[] = {
        {"A", 'A'},
        {S("\0", 1), 0},
        {"\x7F", 0x7F},
        {"\x80", -1},
        {"\xBF", -1},
        {"\xC3\xA9", 0xE9},
        {"\xC3" "A", -1},
        {"\xC0\x80", 0},  // overlong forms are not checked
        {"\xDF\xBF", 0x7FF},
        {"\xE2\x82\xAC", 0x20AC},
        {"\xE2\x82" "A", -1},
        {"\xE2" "A", -1},
        {"\xED\xA0\x80", 0xD800},  // nor are surrogates
        {"\xEF\xBF\xBF", 0xFFFF},
        {"\xF0\x9F\x98\x80", 0x1F600},
        {"\xF4\x90\x80\x80", 0x110000},  // nor the maximum
        {"\xF0\x9F\x98" "A", -1},
        {"\xF8\x88\x80\x80\x80", -1},
        {"\xFF", -1},
    };
    for (const auto& c : cases) {
        // Stops at the first byte that fails: a short bad sequence at the
        // very end of the data is safe.
        GuardedBytes bytes(c.bytes);
        EXPECT_EQ(DecodeUtf8(bytes.data()), c.expected) << ::testing::PrintToString(c.bytes);
    }
    EXPECT_EQ(DecodeUtf8(nullptr), -1);
}

}  // namespace
