// Header, empty-input notice and totals line, with colour off (the tests'
// standard output is a file), so the highlight switch U+0012 and the CR of
// the name line are dropped by the paged writer.
#include <gtest/gtest.h>
#include "DumpTestUtil.h"
#include "TestSupport.h"
#include "plugin/Plugin.h"

namespace {

// The number grouped with the user's thousands separator (three digits).
std::wstring Grouped(std::initializer_list<const wchar_t*> parts) {
    wchar_t separator[8] = L",";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, separator, 8);
    std::wstring text;
    for (const wchar_t* part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

TEST(Header, GroupDigits) {
    const struct {
        std::wstring text;
        size_t capacity;
        int result;
        std::wstring after;
    } cases[] = {
        {L"1234567", 1024, 0, Grouped({L"1", L"234", L"567"})},
        {L"123", 1024, 0, L"123"},
        {L"1572864.5", 1024, 0, Grouped({L"1", L"572", L"864"}) + L".5"},
        {L"1234567", 9, 3, L"1234567"},  // the grouped text needs 10 units
        {L"1234567", 10, 0, Grouped({L"1", L"234", L"567"})},
        {std::wstring(8183, L'1'), 16384, 1, std::wstring(8183, L'1')},
    };
    for (const auto& c : cases) {
        std::wstring buffer = c.text;
        buffer.resize(c.capacity < buffer.size() + 1 ? buffer.size() + 1 : c.capacity);
        EXPECT_EQ(GroupDigits(buffer.data(), c.capacity), c.result) << c.text.substr(0, 20);
        EXPECT_EQ(std::wstring(buffer.c_str()), c.after) << c.text.substr(0, 20);
    }
}

TEST(Header, PluralUnitAndFileNamePart) {
    EXPECT_STREQ(PluralUnit(1, L"word"), L"word");
    EXPECT_STREQ(PluralUnit(0, L"word"), L"words");
    EXPECT_STREQ(PluralUnit(2, L"doubleword"), L"doublewords");
    EXPECT_STREQ(PluralUnit(UINT64_MAX, L"quadword"), L"quadwords");

    const struct {
        const wchar_t* path;
        const wchar_t* part;
    } cases[] = {
        {L"C:\\dir\\data.bin", L"data.bin"}, {L"C:data.bin", L"data.bin"}, {L"data.bin", L"data.bin"},
        {L"dir/sub/data.bin", L"data.bin"},  {L"a:b\\c:d", L"c:d"},       {L"dir\\", L""},
        {L"C:", L""},
    };
    for (const auto& c : cases) EXPECT_STREQ(FileNamePart(c.path), c.part) << c.path;
}

struct HeaderCase {
    const char* name;
    const wchar_t* sourceName;
    uint64_t size;
    uint32_t encoding;
    uint64_t bomLength;
    uint32_t flags;
    std::wstring expected;
};

TEST(Header, NameAndDetails) {
    const std::wstring bullet = L"  \u2022  ";
    const HeaderCase cases[] = {
        {"name line", L"C:\\dir\\data.bin", 10, Ascii, 0, DF_SHOW_NAME,
         L"\r\nFile \u201CC:\\dir\\data.bin\u201D :\r\n\r\n"},
        {"plain quotes", L"C:\\dir\\data.bin", 10, Ascii, 0, DF_SHOW_NAME | DF_PLAIN_QUOTES,
         L"\r\nFile \"C:\\dir\\data.bin\" :\r\n\r\n"},
        {"long-path prefix dropped", L"\\\\?\\C:\\dir\\data.bin", 10, Ascii, 0, DF_SHOW_NAME,
         L"\r\nFile \u201CC:\\dir\\data.bin\u201D :\r\n\r\n"},
        {"the prefix alone is kept", L"\\\\?\\", 10, Ascii, 0, DF_SHOW_NAME, L"\r\nFile \u201C\\\\?\\\u201D :\r\n\r\n"},
        {"clipboard", L"CLIP:", 10, Utf16Le, 0, DF_SHOW_NAME, L"\r\n<clipboard>\r\n\r\n"},
        {"standard input", L"-", 10, Ascii, 0, DF_SHOW_NAME, L"\r\n<stdin>\r\n\r\n"},
        {"one byte", L"a", 1, Ascii, 0, DF_SHOW_NAME | DF_SHOW_DETAILS,
         L"\r\nFile \u201Ca\u201D :\r\n" + bullet + L"1 byte    ASCII\r\n\r\n"},
        {"1023 bytes: no size in brackets", L"a", 1023, Ascii, 0, DF_SHOW_NAME | DF_SHOW_DETAILS,
         L"\r\nFile \u201Ca\u201D :\r\n" + bullet + Grouped({L"1", L"023"}) + L" bytes    ASCII\r\n\r\n"},
        {"1024 bytes", L"a", 1024, Ascii, 0, DF_SHOW_NAME | DF_SHOW_DETAILS,
         L"\r\nFile \u201Ca\u201D :\r\n" + bullet + Grouped({L"1", L"024"}) + L" bytes  (1.0 kB)    ASCII\r\n\r\n"},
        {"1.5 MB", L"a", 1572864, Utf8, 3, DF_SHOW_NAME | DF_SHOW_DETAILS,
         L"\r\nFile \u201Ca\u201D :\r\n" + bullet + Grouped({L"1", L"572", L"864"}) +
             L" bytes  (1.5 MB)    UTF-8 with BOM\r\n\r\n"},
        {"3 GB", L"a", 3ull << 30, Utf16Le, 0, DF_SHOW_NAME | DF_SHOW_DETAILS,
         L"\r\nFile \u201Ca\u201D :\r\n" + bullet + Grouped({L"3", L"221", L"225", L"472"}) +
             L" bytes  (3.0 GB)    UTF-16LE without BOM\r\n\r\n"},
    };
    for (const HeaderCase& c : cases) {
        TestInput input("x", c.encoding, c.bomLength);
        std::wstring name = c.sourceName;
        input.source.Name = name.data();
        input.source.Size = c.size;
        Captured out = CaptureOutput([&] { return WriteHeader(&input.source, L"\r\n", c.flags); });
        EXPECT_EQ(out.result, 0) << c.name;
        EXPECT_EQ(out.out, c.expected) << c.name;
    }
}

TEST(Header, EightBitTextNamesItsCodePage) {
    TestInput input("x", Oem);
    std::wstring name = L"a";
    input.source.Name = name.data();
    input.source.CodePage = 437;
    Captured out = CaptureOutput([&] { return WriteHeader(&input.source, L"\n", DF_SHOW_NAME | DF_SHOW_DETAILS); });
    EXPECT_EQ(out.out, L"\nFile \u201Ca\u201D :\n  \u2022  1 byte    OEM (code page 437)\n\n");
}

TEST(Header, EmptyInputNotice) {
    Captured out = CaptureOutput([] { return WriteEmptyNotice(L"C:\\dir\\empty.bin", L"\r\n", 0); });
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out, L"\r\nFile \u201CC:\\dir\\empty.bin\u201D is empty.\r\n");
    out = CaptureOutput([] { return WriteEmptyNotice(L"-", L"\n", DF_PLAIN_QUOTES); });
    EXPECT_EQ(out.out, L"\nFile \"-\" is empty.\n");
}

TEST(Header, TotalsLine) {
    const struct {
        const wchar_t* name;
        uint64_t count;
        uint32_t wordLen;
        uint32_t flags;
        std::wstring text;
    } cases[] = {
        {L"C:\\dir\\data.bin", 5, 2, 0, L"Displayed 5 bytes (3 words) from \u201Cdata.bin\u201D."},
        {L"C:\\dir\\data.bin", 5, 1, 0, L"Displayed 5 bytes from \u201Cdata.bin\u201D."},
        {L"C:\\dir\\data.bin", 1, 1, 0, L"Displayed 1 byte from \u201Cdata.bin\u201D."},
        {L"C:\\dir\\data.bin", 1, 2, 0, L"Displayed 1 byte (1 word) from \u201Cdata.bin\u201D."},
        {L"C:\\dir\\data.bin", 0, 1, 0, L"Displayed 0 bytes from \u201Cdata.bin\u201D."},
        {L"C:\\dir\\data.bin", 1024, 4, 0,
         L"Displayed " + Grouped({L"1", L"024"}) + L" bytes (256 doublewords) from \u201Cdata.bin\u201D."},
        {L"C:\\dir\\data.bin", 10, 3, 0, L"Displayed 10 bytes (4 triads) from \u201Cdata.bin\u201D."},
        {L"C:\\dir\\data.bin", 8, 8, 0, L"Displayed 8 bytes (1 quadword) from \u201Cdata.bin\u201D."},
        {L"C:data.bin", 5, 1, DF_PLAIN_QUOTES, L"Displayed 5 bytes from \"data.bin\"."},
        {L"http://example.com/dir/data.bin", 5, 1, 0,
         L"Displayed 5 bytes from \u201Chttp://example.com/dir/data.bin\u201D."},
        {L"-", 5, 1, 0, L"Displayed 5 bytes from <stdin>."},
        {L"Clip:", 6, 2, 0, L"Displayed 6 bytes (3 words) from <clipboard>."},
    };
    for (const auto& c : cases) {
        Captured out = CaptureOutput([&] { return WriteTotals(c.name, c.count, c.wordLen, L"\r\n", c.flags); });
        EXPECT_EQ(out.result, 0) << c.name;
        EXPECT_EQ(out.out, L"\r\n" + c.text + L"\r\n") << c.name;
    }
}

TEST(Header, ABreakStopsTheFraming) {
    TestInput input("x");
    std::wstring name = L"a";
    input.source.Name = name.data();
    BreakRequested = 1;
    Captured out = CaptureOutput([&] { return WriteHeader(&input.source, L"\r\n", DF_SHOW_NAME | DF_SHOW_DETAILS); });
    EXPECT_EQ(out.result, -3);
    EXPECT_EQ(out.out, L"\r\n");  // nothing after the first line end
    BreakRequested = 1;
    out = CaptureOutput([] { return WriteTotals(L"a", 1, 1, L"\r\n", 0); });
    EXPECT_EQ(out.result, -3);
    EXPECT_EQ(out.out, L"\r\n");
    BreakRequested = 1;
    out = CaptureOutput([] { return WriteEmptyNotice(L"a", L"\r\n", 0); });
    EXPECT_EQ(out.result, -3);
    EXPECT_EQ(out.out, L"\r\n");
    BreakRequested = 0;
}

}  // namespace
