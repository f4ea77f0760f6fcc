// A whole dump of one input: lines, duplicate suppression, closing lines and
// framing, on hand-made inputs and on real files.
#include <gtest/gtest.h>
#include "DumpTestUtil.h"
#include "TestSupport.h"
#include "plugin/Plugin.h"

namespace {

std::wstring Repeat(const std::wstring& text, int count) {
    std::wstring result;
    for (int i = 0; i < count; ++i) result += text;
    return result;
}

// A full line of 16 equal bytes, as hex bytes with the text field.
std::wstring SameBytesLine(const wchar_t* address, const wchar_t* hex, wchar_t ch) {
    return std::wstring(address) + L"  " + Repeat(std::wstring(hex) + L" ", 8) + L" " + Repeat(std::wstring(hex) + L" ", 8) +
           L" " + std::wstring(16, ch);
}

Captured DumpOf(TestInput& input, const DumpSettings& settings, uint32_t flags, const wchar_t* name = L"data.bin") {
    return CaptureOutput([&] { return DumpOpenedInput(name, flags, &settings, &input.source); });
}

DumpSettings UnixSettings() {
    DumpSettings settings = TestSettings();
    settings.LineEnding[0] = L'\n';
    settings.LineEnding[1] = 0;
    settings.TextReplacementChar = L'.';
    return settings;
}

const std::wstring LineABC = L"00000000  41 42 43 " + Blanks(15) + L" " + Blanks(24) + L" " + L"ABC" + Blanks(13);

TEST(DumpRun, PlainDumpEndsWithABlankLine) {
    TestInput input("ABC", Oem);
    Captured out = DumpOf(input, TestSettings(), 0);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, LineABC + L"\r\n\r\n");

    TestInput again("ABC", Oem);
    out = DumpOf(again, TestSettings(), DF_NO_TRAILING_BLANK | DF_KEYBOARD);
    EXPECT_EQ(out.out, LineABC + L"\r\n");
}

TEST(DumpRun, RepeatedLinesCollapseToOneStar) {
    TestInput input(std::string(64, 'A') + std::string(16, 'B'), Oem);
    Captured out = DumpOf(input, UnixSettings(), DF_UNIX);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, SameBytesLine(L"00000000", L"41", L'A') + L"\n*\n" + SameBytesLine(L"00000040", L"42", L'B') +
                           L"\n00000050\n");
}

TEST(DumpRun, EachRunOfRepeatedLinesGetsItsOwnStar) {
    TestInput input(std::string(48, 'A') + std::string(32, 'B') + std::string(16, 'A'), Oem);
    Captured out = DumpOf(input, UnixSettings(), DF_UNIX);
    EXPECT_EQ(out.out, SameBytesLine(L"00000000", L"41", L'A') + L"\n*\n" + SameBytesLine(L"00000030", L"42", L'B') +
                           L"\n*\n" + SameBytesLine(L"00000050", L"41", L'A') + L"\n00000060\n");
}

TEST(DumpRun, BytesPastTheWindowEndTakePartInTheComparison) {
    // The window ends at 40, inside the third line; that line's 16 bytes in
    // the input still equal the line before, so it is not shown.
    TestInput input(std::string(48, 'A'), Oem);
    DumpSettings settings = UnixSettings();
    settings.EndAddress = 40;
    Captured out = DumpOf(input, settings, DF_UNIX);
    EXPECT_EQ(out.out, SameBytesLine(L"00000000", L"41", L'A') + L"\n*\n00000028\n");
}

TEST(DumpRun, ClosingLineByFlags) {
    const struct {
        const char* name;
        uint32_t flags;
        std::wstring closing;
    } cases[] = {
        {"blank line", 0, L"\r\n"},
        {"nothing", DF_NO_TRAILING_BLANK, L""},
        {"totals instead of the blank line", DF_TOTALS, L"\r\nDisplayed 3 bytes from \u201Cdata.bin\u201D.\r\n"},
        {"totals even without the blank line", DF_TOTALS | DF_NO_TRAILING_BLANK,
         L"\r\nDisplayed 3 bytes from \u201Cdata.bin\u201D.\r\n"},
        {"the window length before totals", DF_UNIX | DF_TOTALS, L"00000003\r\n"},
    };
    for (const auto& c : cases) {
        TestInput input("ABC", Oem);
        Captured out = DumpOf(input, TestSettings(), c.flags);
        EXPECT_EQ(out.result, 0) << c.name;
        EXPECT_EQ(out.out, LineABC + L"\r\n" + c.closing) << c.name;
    }
}

TEST(DumpRun, AShorterLastLineIsNotADuplicate) {
    TestInput input(std::string(24, 'A'), Oem);
    Captured out = DumpOf(input, UnixSettings(), DF_UNIX);
    EXPECT_EQ(out.out, SameBytesLine(L"00000000", L"41", L'A') + L"\n" + L"00000010  " + Repeat(L"41 ", 8) + L" " +
                           Blanks(24) + L" " + std::wstring(8, L'A') + Blanks(8) + L"\n00000018\n");
}

TEST(DumpRun, UpperCaseLeavesTheClosingLineLowerCase) {
    TestInput input("abcdefghijklmnopqrstuvwxyz", Oem);
    Captured out = DumpOf(input, UnixSettings(), DF_UNIX | DF_UPPER_HEX);
    EXPECT_EQ(out.out, L"00000000  61 62 63 64 65 66 67 68  69 6A 6B 6C 6D 6E 6F 70  abcdefghijklmnop\n"
                       L"00000010  71 72 73 74 75 76 77 78  79 7A " + Blanks(18) + L" " + L"qrstuvwxyz" + Blanks(6) +
                           L"\n0000001a\n");
}

TEST(DumpRun, StartBeyondTheEndStillWritesTheClosingLine) {
    TestInput input(std::string(100, 'x'), Oem);
    DumpSettings settings = UnixSettings();
    settings.StartAddress = 200;
    Captured out = DumpOf(input, settings, DF_UNIX);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, L"00000000\n");

    TestInput again(std::string(100, 'x'), Oem);
    settings = TestSettings();
    settings.StartAddress = 200;
    out = DumpOf(again, settings, 0);
    EXPECT_EQ(out.out, L"\r\n");
}

TEST(DumpRun, TextResumesCleanlyAfterCollapsedLines) {
    const std::string euros = "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac";
    TestInput input(euros + "x" + euros + "x" + euros + "y", Utf8);
    Captured out = DumpOf(input, UnixSettings(), DF_UNIX);
    const std::wstring values = L"e2 82 ac e2 82 ac e2 82  ac e2 82 ac e2 82 ac ";
    const std::wstring text = L"\u20AC  \u20AC  \u20AC  \u20AC  \u20AC  ";
    EXPECT_EQ(out.out, L"00000000  " + values + L"78  " + text + L"x\n*\n" + L"00000020  " + values + L"79  " + text +
                           L"y\n00000030\n");
}

TEST(DumpRun, TotalsFollowTheLines) {
    TestInput input("AB", Oem);
    Captured out = DumpOf(input, TestSettings(16, 2), DF_TOTALS, L"C:\\x\\data.bin");
    EXPECT_EQ(out.out, L"00000000  4241 " + Blanks(15) + L" " + Blanks(20) + L" " + L"AB" + Blanks(14) + L"\r\n" +
                           L"\r\nDisplayed 2 bytes (1 word) from \u201Cdata.bin\u201D.\r\n");
}

TEST(DumpRun, HeaderComesFirst) {
    TestInput input("ABC", Oem);
    std::wstring name = L"C:\\x\\data.bin";
    input.source.Name = name.data();
    Captured out = DumpOf(input, TestSettings(), DF_SHOW_NAME);
    EXPECT_EQ(out.out, L"\r\nFile \u201CC:\\x\\data.bin\u201D :\r\n\r\n" + LineABC + L"\r\n\r\n");
}

TEST(DumpRun, DumpedByteOrderMarkIsData) {
    TestInput input("\xef\xbb\xbf" "A", Utf8, 3);
    std::wstring name = L"a";
    input.source.Name = name.data();
    Captured out = DumpOf(input, TestSettings(), DF_DUMP_BOM | DF_SHOW_NAME | DF_SHOW_DETAILS);
    EXPECT_EQ(out.out, L"\r\nFile \u201Ca\u201D :\r\n  \u2022  4 bytes    UTF-8 without BOM\r\n\r\n" +
                           std::wstring(L"00000000  ef-bb-bf 41 ") + Blanks(12) + L" " + Blanks(24) + L" " +
                           L"\u00A4  A" + Blanks(12) + L"\r\n\r\n");
}

TEST(DumpInput, RejectsMissingArguments) {
    DumpSettings settings = TestSettings();
    Captured out = CaptureOutput([&] {
        int failures = 0;
        failures += DumpInput(nullptr, 0, &settings) == -1;
        failures += DumpInput(L"", 0, &settings) == -1;
        failures += DumpInput(L"data.bin", 0, nullptr) == -1;
        return failures;
    });
    EXPECT_EQ(out.result, 3);
    EXPECT_EQ(out.out, L"");
}

class DumpInputFiles : public ::testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir); }
    std::wstring dir;
};

TEST_F(DumpInputFiles, DumpsAFile) {
    const std::wstring path = dir + L"\\data.bin";
    ASSERT_TRUE(WriteBytes(path, "ABC"));
    DumpSettings settings = TestSettings();
    Captured out = CaptureOutput([&] { return DumpInput(path.c_str(), 0, &settings); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, LineABC + L"\r\n\r\n");
    EXPECT_EQ(out.err, L"");
}

TEST_F(DumpInputFiles, ABreakFromBeforeTheInputIsDiscarded) {
    const std::wstring path = dir + L"\\data.bin";
    ASSERT_TRUE(WriteBytes(path, "ABC"));
    DumpSettings settings = TestSettings();
    BreakRequested = 1;
    Captured out = CaptureOutput([&] { return DumpInput(path.c_str(), 0, &settings); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, LineABC + L"\r\n\r\n");
    EXPECT_EQ(BreakRequested, 0);
}

TEST_F(DumpInputFiles, TotalsNameTheFileOnly) {
    const std::wstring path = dir + L"\\data.bin";
    ASSERT_TRUE(WriteBytes(path, "ABCDE"));
    DumpSettings settings = TestSettings(16, 2);
    Captured out = CaptureOutput([&] { return DumpInput(path.c_str(), DF_TOTALS | DF_NO_TEXT, &settings); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, L"00000000  4241 4443 0045\r\n\r\nDisplayed 5 bytes (3 words) from \u201Cdata.bin\u201D.\r\n");
}

TEST_F(DumpInputFiles, EmptyFileGetsANotice) {
    const std::wstring path = dir + L"\\empty.bin";
    ASSERT_TRUE(WriteBytes(path, ""));
    DumpSettings settings = TestSettings();
    Captured out = CaptureOutput([&] { return DumpInput(path.c_str(), DF_SHOW_NAME | DF_SHOW_DETAILS, &settings); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, L"\r\nFile \u201C" + path + L"\u201D is empty.\r\n");
    out = CaptureOutput([&] { return DumpInput(path.c_str(), DF_PLAIN_QUOTES, &settings); });
    EXPECT_EQ(out.out, L"\r\nFile \"" + path + L"\" is empty.\r\n");
}

TEST_F(DumpInputFiles, MissingFileFails) {
    const std::wstring path = dir + L"\\missing.bin";
    DumpSettings settings = TestSettings();
    Captured out = CaptureOutput([&] { return DumpInput(path.c_str(), 0, &settings); });
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.out, L"");
    EXPECT_NE(out.err, L"");  // reported by the input layer
}

}  // namespace
