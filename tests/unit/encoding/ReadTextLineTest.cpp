// Reading list-file lines, and the encoding names shown in headers.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "GuardedInput.h"

namespace {

constexpr size_t LineBufferUnits = 32768;

struct LineCase {
    const char* name;
    uint32_t encoding;
    std::string data;
    std::vector<std::wstring> lines;
};

// Reads every line; a result other than 0 or -1, or more lines than
// expected, shows up as a mismatch.
std::vector<std::wstring> ReadAll(InputSource* source, wchar_t* buffer, size_t limit) {
    std::vector<std::wstring> lines;
    while (lines.size() <= limit) {
        int result = ReadTextLine(source, buffer);
        if (result == -1) break;
        if (result != 0) {
            lines.push_back(L"<bad result>");
            break;
        }
        lines.push_back(buffer);
    }
    return lines;
}

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class ReadTextLineTable : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReadTextLineTable, YieldsTheLines) {
    const LineCase& c = GetParam();
    GuardedBytes bytes(c.data);
    ASSERT_TRUE(bytes.guarded());
    InputSource source = MakeSource(bytes, c.encoding);
    source.AllowSupplementary = 1;
    auto buffer = std::make_unique<wchar_t[]>(LineBufferUnits);
    EXPECT_EQ(ReadAll(&source, buffer.get(), c.lines.size()), c.lines);
    // Once at the end it stays there, with an empty buffer.
    buffer[0] = L'x';
    EXPECT_EQ(ReadTextLine(&source, buffer.get()), -1);
    EXPECT_EQ(buffer[0], 0);
}

const std::vector<std::wstring> OneTwoThree = {L"one", L"two", L"three"};

INSTANTIATE_TEST_SUITE_P(
    LineEnds, ReadTextLineTable,
    ::testing::Values(
        LineCase{"CrLf", Oem, "one\r\ntwo\r\nthree\r\n", OneTwoThree},
        LineCase{"LfCr", Oem, "one\n\rtwo\n\rthree\n\r", OneTwoThree},
        LineCase{"Cr", Oem, "one\rtwo\rthree", OneTwoThree},
        LineCase{"Lf", Oem, "one\ntwo\nthree\n", OneTwoThree},
        LineCase{"Nel", Utf8, "one\xC2\x85two\xC2\x85three", OneTwoThree},
        LineCase{"EbcdicNewLine", Ebcdic, "\x96\x95\x85\x15\xA3\xA6\x96\x25\xA3\x88\x99\x85\x85", OneTwoThree},
        LineCase{"Nul", Oem, std::string("one\0two\0three\0", 14), OneTwoThree},
        LineCase{"Mixed", Oem, "one\r\n\ntwo\r\r\n\rthree", OneTwoThree},
        LineCase{"BlankAndWhiteLinesSkipped", Oem, "\r\n \t\r\none\r\n\r\n\x0B\x0C\r\ntwo\n\n\xA0\nthree", OneTwoThree},
        LineCase{"NulsOnlySkipped", Oem, std::string("\0\0one\0\0", 8), {L"one"}},
        LineCase{"KeepsInnerAndOuterBlanks", Oem, "  a b  \r\nc", {L"  a b  ", L"c"}},
        LineCase{"WhiteLastLineReturned", Oem, "one\r\n  \t", {L"one", L"  \t"}},
        LineCase{"Empty", Oem, "", {}},
        LineCase{"OnlyLineEnds", Oem, "\r\n\r\n\n", {}},
        LineCase{"Utf16Le", Utf16Le, std::string("a\0\r\0\n\0b\0", 8), {L"a", L"b"}},
        LineCase{"Utf16Supplementary", Utf16Le, std::string("\x3D\xD8\x00\xDE\n\0", 6), {L"\xD83D\xDE00"}},
        LineCase{"Utf8Supplementary", Utf8, "x\xF0\x9F\x98\x80y", {L"x\xD83D\xDE00y"}},
        LineCase{"CodePageText", Oem, "caf\xE9\x80", {L"caf\xE9\x20AC"}}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

// A CR LF or LF CR pair is one line end; two alike are two.
TEST(ReadTextLine, LineEndPairsAreConsumedTogether) {
    const struct {
        const char* data;
        uint64_t positionAfterFirst;
    } cases[] = {
        {"one\r\ntwo", 5}, {"one\n\rtwo", 5}, {"one\r\rtwo", 4}, {"one\n\ntwo", 4},
        {"one\rtwo", 4},    {"one\ntwo", 4},    {"one\r", 4},       {"one\n\r", 5},
    };
    auto buffer = std::make_unique<wchar_t[]>(LineBufferUnits);
    for (const auto& c : cases) {
        GuardedBytes bytes(c.data);
        InputSource source = MakeSource(bytes);
        ASSERT_EQ(ReadTextLine(&source, buffer.get()), 0);
        EXPECT_STREQ(buffer.get(), L"one");
        EXPECT_EQ(source.Position, c.positionAfterFirst) << ::testing::PrintToString(std::string(c.data));
    }
}

TEST(ReadTextLine, StartsAfterTheBom) {
    GuardedBytes bytes("\xEF\xBB\xBF" "first\nsecond");
    InputSource source = MakeSource(bytes);
    DetectEncoding(&source, false);
    ASSERT_EQ(source.Encoding, static_cast<uint32_t>(Utf8));
    auto buffer = std::make_unique<wchar_t[]>(LineBufferUnits);
    EXPECT_EQ(ReadAll(&source, buffer.get(), 2), (std::vector<std::wstring>{L"first", L"second"}));
}

TEST(ReadTextLine, LongLineIsCutAndItsRestSkipped) {
    GuardedBytes bytes(std::string(40000, 'a') + "\r\nnext");
    InputSource source = MakeSource(bytes);
    auto buffer = std::make_unique<wchar_t[]>(LineBufferUnits);
    ASSERT_EQ(ReadTextLine(&source, buffer.get()), 0);
    EXPECT_EQ(std::wstring(buffer.get()), std::wstring(32767, L'a'));
    ASSERT_EQ(ReadTextLine(&source, buffer.get()), 0);
    EXPECT_EQ(std::wstring(buffer.get()), L"next");
    EXPECT_EQ(ReadTextLine(&source, buffer.get()), -1);
}

TEST(ReadTextLine, SurrogatePairNeedsRoomForBothUnits) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    auto buffer = std::make_unique<wchar_t[]>(LineBufferUnits);

    // 32765 units stored: the pair still fits and fills the line.
    GuardedBytes fits(std::string(32765, 'a') + emoji + "b\nz");
    InputSource source = MakeSource(fits, Utf8);
    source.AllowSupplementary = 1;
    ASSERT_EQ(ReadTextLine(&source, buffer.get()), 0);
    EXPECT_EQ(std::wstring(buffer.get()), std::wstring(32765, L'a') + L"\xD83D\xDE00");

    // 32766 stored: the pair is dropped, a single unit still fits.
    GuardedBytes dropped(std::string(32766, 'a') + emoji + "b\nz");
    source = MakeSource(dropped, Utf8);
    source.AllowSupplementary = 1;
    ASSERT_EQ(ReadTextLine(&source, buffer.get()), 0);
    EXPECT_EQ(std::wstring(buffer.get()), std::wstring(32766, L'a') + L"b");
    ASSERT_EQ(ReadTextLine(&source, buffer.get()), 0);
    EXPECT_EQ(std::wstring(buffer.get()), L"z");
}

TEST(ReadTextLine, NullBufferOrRecord) {
    GuardedBytes bytes("line");
    InputSource source = MakeSource(bytes);
    EXPECT_EQ(ReadTextLine(&source, nullptr), -1);
    EXPECT_EQ(source.Position, 0u);
    auto buffer = std::make_unique<wchar_t[]>(LineBufferUnits);
    EXPECT_EQ(ReadTextLine(nullptr, buffer.get()), -1);
}

struct NameCase {
    uint32_t encoding;
    uint64_t bomLength;
    const wchar_t* expected;
};

TEST(EncodingName, TextsAndBomSuffix) {
    const NameCase cases[] = {
        {Oem, 0, L"OEM"},
        {Oem, 3, L"OEM"},
        {Utf16Le, 2, L"UTF-16LE with BOM"},
        {Utf16Le, 0, L"UTF-16LE without BOM"},
        {Utf16Be, 2, L"UTF-16BE with BOM"},
        {Utf16Be, 0, L"UTF-16BE without BOM"},
        {Utf8, 3, L"UTF-8 with BOM"},
        {Utf8, 0, L"UTF-8 without BOM"},
        {Ebcdic, 0, L"EBCDIC"},
        {Utf32Le, 4, L"UTF-32LE with BOM"},
        {Utf32Le, 0, L"UTF-32LE without BOM"},
        {Utf32Be, 4, L"UTF-32BE with BOM"},
        {Utf32Be, 0, L"UTF-32BE without BOM"},
        {Raw, 0, L"raw"},
        {Ascii, 0, L"ASCII"},
        {4, 0, L"unknown"},
        {129, 2, L"unknown"},
    };
    wchar_t buffer[1024];
    for (const NameCase& c : cases) {
        buffer[0] = L'?';
        EXPECT_EQ(EncodingName(c.encoding, c.bomLength, buffer), 0);
        EXPECT_STREQ(buffer, c.expected);
    }
    EXPECT_EQ(EncodingName(Utf8, 0, nullptr), -1);
}

struct DescribeCase {
    uint32_t encoding;
    uint64_t bomLength;
    uint32_t codePage;
    uint32_t ebcdicCodePage;
    const wchar_t* expected;
};

TEST(DescribeEncoding, AddsTheCodePageWhereOneApplies) {
    const DescribeCase cases[] = {
        {Oem, 0, 437, 1140, L"OEM (code page 437)"},
        {Oem, 0, 0, 1140, L"OEM"},
        {Ebcdic, 0, 1252, 1141, L"EBCDIC (code page 1141)"},
        {Ebcdic, 0, 1252, 0, L"EBCDIC"},
        {Utf8, 3, 1252, 1140, L"UTF-8 with BOM"},
        {Utf16Le, 0, 1252, 1140, L"UTF-16LE without BOM"},
        {Ascii, 0, 1252, 1140, L"ASCII"},
        {Raw, 0, 1252, 1140, L"raw"},
        {Oem, 0, 4294967295u, 0, L"OEM (code page 4294967295)"},
    };
    wchar_t buffer[1024];
    for (const DescribeCase& c : cases) {
        InputSource source{};
        source.Encoding = c.encoding;
        source.BomLength = c.bomLength;
        source.CodePage = c.codePage;
        source.EbcdicCodePage = c.ebcdicCodePage;
        EXPECT_EQ(DescribeEncoding(&source, buffer), 0);
        EXPECT_STREQ(buffer, c.expected);
    }
    InputSource source{};
    EXPECT_EQ(DescribeEncoding(&source, nullptr), -1);
}

}  // namespace
