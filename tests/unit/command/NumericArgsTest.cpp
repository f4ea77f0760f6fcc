// Numeric option values (bases, multipliers, units, overflow) and code pages.
#include <gtest/gtest.h>
#include <cerrno>
#include <string>
#include "command/Command.h"
#include "TestSupport.h"

namespace {

const std::wstring Prefix = L"Bytora plugin: ";

struct Unsigned64Case {
    const wchar_t* text;
    int rc;
    uint64_t value;
};

TEST(ParseUnsigned64Test, ReadsTheWholeText) {
    const Unsigned64Case cases[] = {
        {L"0", 0, 0},
        {L"017", 0, 17},  // a leading zero alone is decimal
        {L"0x10", 0, 16},
        {L"0XfF", 0, 255},
        {L"0o17", 0, 15},
        {L"0O7", 0, 7},
        {L"18446744073709551615", 0, 18446744073709551615ULL},
        {L"0xFFFFFFFFFFFFFFFF", 0, 18446744073709551615ULL},
        {L"18446744073709551616", ERANGE, 0},
        {L"0x10000000000000000", ERANGE, 0},
        {L"0o2000000000000000000000", ERANGE, 0},
        {L"", -1, 0},
        {L"x1", -1, 0},
        {L" 1", -1, 0},
        {L"+1", -1, 0},
        {L"-1", -1, 0},
        {L"12ab", -1, 0},
        {L"0x", -1, 0},      // "x" is left over after the decimal 0
        {L"0o8", -1, 0},     // likewise "o8"
        {L"0xg", -1, 0},
        {L"0x0x5", -1, 0},   // no second prefix
        {L"\uFF11", -1, 0},  // only ASCII digits
    };
    for (const Unsigned64Case& c : cases) {
        uint64_t value = 12345;
        int rc = ParseUnsigned64(c.text, &value, nullptr);
        EXPECT_EQ(rc, c.rc) << Narrow(c.text);
        EXPECT_EQ(value, c.rc == 0 ? c.value : 12345u) << Narrow(c.text);
    }
    uint64_t value = 0;
    EXPECT_EQ(ParseUnsigned64(L"5", nullptr, nullptr), -1);
    EXPECT_EQ(ParseUnsigned64(nullptr, &value, nullptr), -1);
}

TEST(ParseUnsigned64Test, WithAnEndPositionStopsAfterTheNumber) {
    const wchar_t* text = L"0x1fKB";
    const wchar_t* end = nullptr;
    uint64_t value = 0;
    ASSERT_EQ(ParseUnsigned64(text, &value, &end), 0);
    EXPECT_EQ(value, 31u);
    EXPECT_EQ(end, text + 4);

    text = L"0o9";
    ASSERT_EQ(ParseUnsigned64(text, &value, &end), 0);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(end, text + 1);
}

struct SizeCase {
    const wchar_t* arg;
    uint64_t value;
};

TEST(ParseSizeArgumentTest, MultipliersAndUnits) {
    const SizeCase cases[] = {
        {L"/M:64K", 65536},
        {L"/M:64k", 64000},
        {L"/M:2KW", 4096},
        {L"/M:10D", 40},
        {L"/M:1G", 1073741824},
        {L"/M:0x10", 16},
        {L"/M:0o17", 15},
        {L"/M:017", 17},
        {L"/M:5KBytes", 5120},  // only the letter after the multiplier counts
        {L"/M:3m", 3000000},
        {L"/M:3M", 3145728},
        {L"/M:2g", 2000000000},
        {L"/M:1t", 1000000000000ULL},
        {L"/M:1T", 1099511627776ULL},
        {L"/M:1p", 1000000000000000ULL},
        {L"/M:1P", 1125899906842624ULL},
        {L"/M:7", 7},
        {L"/M=7", 7},
        {L"/M7", 7},
        {L"/M:3B", 3},
        {L"/M:3b", 3},
        {L"/M:3w", 6},
        {L"/M:3d", 12},
        {L"/M:3Q", 24},
        {L"/M:3q", 24},
        {L"/M:2kq", 16000},
        {L"/M:0P", 0},
        {L"/M:0PQ", 0},
        {L"/M:16383P", 16383ULL << 50},
        {L"/M:1023PQ", 1023ULL << 53},
        {L"/M:18446744073709551615", 18446744073709551615ULL},
        {L"/M:18446744073709551615B", 18446744073709551615ULL},
    };
    for (const SizeCase& c : cases) {
        std::wstring arg = c.arg;
        uint64_t value = 0;
        Captured out = CaptureOutput([&] { return ParseSizeArgument(arg.data(), 2, L"max bytes", &value); });
        EXPECT_EQ(out.result, 0) << Narrow(c.arg);
        EXPECT_EQ(value, c.value) << Narrow(c.arg);
        EXPECT_EQ(out.err, L"") << Narrow(c.arg);
    }
}

struct SizeErrorCase {
    const wchar_t* arg;
    const wchar_t* name;
    int rc;
    const wchar_t* message;
};

TEST(ParseSizeArgumentTest, Failures) {
    const SizeErrorCase cases[] = {
        {L"/M", L"max bytes", -2, L"Missing max bytes: \"/M\"\r\n"},
        {L"/m:", L"max bytes", -2, L"Missing max bytes: \"/M:\"\r\n"},
        {L"/m=", L"max bytes", -2, L"Missing max bytes: \"/M=\"\r\n"},
        {L"/m:x", L"max bytes", -1, L"Bad max bytes: \"/M:X\"\r\n"},
        {L"/m::5", L"max bytes", -1, L"Bad max bytes: \"/M::5\"\r\n"},
        {L"/m:99999999999999999999", L"max bytes", ERANGE, L"Bad max bytes: \"/M:99999999999999999999\"\r\n"},
        {L"/m:5x", L"max bytes", -3, L"Unknown multiplier: \"/m:5x\"\r\n"},  // as typed
        {L"/M:5kx", L"max bytes", -3, L"Unknown multiplier: \"/M:5kx\"\r\n"},
        {L"/M:5Kk", L"max bytes", -3, L"Unknown multiplier: \"/M:5Kk\"\r\n"},
        {L"/M:20000P", L"max bytes", -4, L"Overflow in max bytes: \"/M:20000P\"\r\n"},
        {L"/M:16384P", L"max bytes", -4, L"Overflow in max bytes: \"/M:16384P\"\r\n"},
        {L"/m:2048PQ", L"max bytes", -4, L"Overflow in max bytes: \"/m:2048PQ\"\r\n"},
        {L"/M:18447p", L"max bytes", -4, L"Overflow in max bytes: \"/M:18447p\"\r\n"},
        {L"/M:18446744073709551615W", L"max bytes", -4,
         L"Overflow in max bytes: \"/M:18446744073709551615W\"\r\n"},
        {L"/c:q", nullptr, -1, L"Bad value: \"/C:Q\"\r\n"},
    };
    for (const SizeErrorCase& c : cases) {
        std::wstring arg = c.arg;
        uint64_t value = 77;
        Captured out = CaptureOutput([&] { return ParseSizeArgument(arg.data(), 2, c.name, &value); });
        EXPECT_EQ(out.result, c.rc) << Narrow(c.arg);
        EXPECT_EQ(value, 77u) << Narrow(c.arg);
        EXPECT_EQ(out.err, Prefix + c.message) << Narrow(c.arg);
        EXPECT_EQ(out.out, L"");
    }
}

TEST(ParseSizeArgumentTest, ValueIndexPastAMinus) {
    std::wstring arg = L"/C:-0x100";
    uint64_t value = 0;
    EXPECT_EQ(ParseSizeArgument(arg.data(), 4, L"start address", &value), 0);
    EXPECT_EQ(value, 256u);
}

struct CodePageNumberCase {
    const wchar_t* text;
    int rc;
    uint32_t value;
};

TEST(ParseCodePageNumberTest, DecimalAndHexadecimalOnly) {
    const CodePageNumberCase cases[] = {
        {L"850", 0, 850},       {L"0x352", 0, 850},   {L"0X352", 0, 850},    {L"01252", 0, 1252},
        {L"4294967295", 0, 0xFFFFFFFFu}, {L"4294967296", -1, 0}, {L"0x100000000", -1, 0},
        {L"0o17", -1, 0},       {L"0x", -1, 0},        {L"", -1, 0},          {L"12x", -1, 0},
        {L"x12", -1, 0},        {L" 12", -1, 0},
    };
    for (const CodePageNumberCase& c : cases) {
        uint32_t value = 9;
        EXPECT_EQ(ParseCodePageNumber(c.text, &value), c.rc) << Narrow(c.text);
        EXPECT_EQ(value, c.rc == 0 ? c.value : 9u) << Narrow(c.text);
    }
}

// The single-byte code pages the decoder has tables for, in table order.
const uint32_t TableCodePages[24] = {1252, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 437,  720,   737,
                                     775,  850,  852,  855,  857,  858,  862,  866,  874,  10000, 20866, 21866};

bool HasTable(uint32_t cp) {
    for (uint32_t known : TableCodePages)
        if (known == cp) return true;
    return false;
}

struct CodePageCase {
    const wchar_t* arg;
    uint32_t codePage;  // expected values after success
    uint32_t ebcdic;
};

TEST(ParseCodePageTest, NamesAndNumbers) {
    const CodePageCase cases[] = {
        {L"/CP:utf-8", 65001, 0}, {L"/cp:UTF8", 65001, 0},  {L"/CP=Utf-8", 65001, 0}, {L"/CP:65001", 65001, 0},
        {L"/CP:850", 850, 0},     {L"/CP:0x352", 850, 0},   {L"/CP1252", 1252, 0},    {L"/CP=1250", 1250, 0},
        {L"-CP:437", 437, 0},     {L"/CP:21866", 21866, 0}, {L"/CP:10000", 10000, 0}, {L"/CP:1141", 0, 1141},
        {L"/CP:1140", 0, 1140},   {L"/CP:1149", 0, 1149},
    };
    for (const CodePageCase& c : cases) {
        std::wstring arg = c.arg;
        uint32_t cp = 0, ebcdic = 0;
        Captured out = CaptureOutput([&] { return ParseCodePage(arg.data(), &cp, &ebcdic); });
        EXPECT_EQ(out.result, 0) << Narrow(c.arg);
        EXPECT_EQ(cp, c.codePage) << Narrow(c.arg);
        EXPECT_EQ(ebcdic, c.ebcdic) << Narrow(c.arg);
        EXPECT_EQ(out.err, L"") << Narrow(c.arg);
    }
}

TEST(ParseCodePageTest, AllTwentyFourSingleByteCodePagesAreAccepted) {
    const uint32_t* expected = TableCodePages;
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(SingleByteCodePages[i], expected[i]);
        std::wstring arg = L"/CP:" + std::to_wstring(expected[i]);
        uint32_t cp = 0;
        EXPECT_EQ(ParseCodePage(arg.data(), &cp, nullptr), 0) << expected[i];
        EXPECT_EQ(cp, expected[i]);
    }
}

TEST(ParseCodePageTest, SystemCodePagesByName) {
    const struct {
        const wchar_t* arg;
        uint32_t system;
    } cases[] = {{L"/CP:OEM", GetOEMCP()}, {L"/CP:o", GetOEMCP()}, {L"/CP:ansi", GetACP()}, {L"/CP=A", GetACP()}};
    for (const auto& c : cases) {
        std::wstring arg = c.arg;
        uint32_t cp = 0;
        Captured out = CaptureOutput([&] { return ParseCodePage(arg.data(), &cp, nullptr); });
        if (c.system == 65001 || HasTable(c.system)) {
            EXPECT_EQ(out.result, 0) << Narrow(c.arg);
            EXPECT_EQ(cp, c.system) << Narrow(c.arg);
        } else {
            EXPECT_EQ(out.result, 1) << Narrow(c.arg);
            EXPECT_EQ(out.err, Prefix + L"Code page " + std::to_wstring(c.system) + L" not supported\r\n");
        }
    }
}

struct CodePageErrorCase {
    const wchar_t* arg;
    bool withEbcdic;
    const wchar_t* message;
};

TEST(ParseCodePageTest, Refusals) {
    const CodePageErrorCase cases[] = {
        {L"/CP:932", true, L"Code page 932 not supported\r\n"},
        {L"/CP:65000", true, L"Code page 65000 not supported\r\n"},
        {L"/CP:1150", true, L"Code page 1150 not supported\r\n"},
        {L"/CP:1139", true, L"Code page 1139 not supported\r\n"},
        {L"/CP:1141", false, L"Code page 1141 not supported\r\n"},  // no place for an EBCDIC page
        {L"/CP:0", true, L"Code page 0 not supported\r\n"},
        {L"/cp:12x", true, L"Bad code page value: \"/CP:12X\"\r\n"},
        {L"/cp:latin", true, L"Bad code page value: \"/CP:LATIN\"\r\n"},
        {L"/CP:0o17", true, L"Bad code page value: \"/CP:0O17\"\r\n"},
        {L"/CP:4294967296", true, L"Bad code page value: \"/CP:4294967296\"\r\n"},
        {L"/CP::850", true, L"Bad code page value: \"/CP::850\"\r\n"},
        {L"/cpoem", true, L"Missing code page value: \"/CPOEM\"\r\n"},  // names need ":" or "="
        {L"/CPA", true, L"Missing code page value: \"/CPA\"\r\n"},
        {L"/cp:", true, L"Missing code page value: \"/CP:\"\r\n"},
        {L"/CP", true, L"Missing code page value: \"/CP\"\r\n"},
    };
    for (const CodePageErrorCase& c : cases) {
        std::wstring arg = c.arg;
        uint32_t cp = 5, ebcdic = 6;
        Captured out = CaptureOutput([&] { return ParseCodePage(arg.data(), &cp, c.withEbcdic ? &ebcdic : nullptr); });
        EXPECT_EQ(out.result, 1) << Narrow(c.arg);
        EXPECT_EQ(cp, 5u) << Narrow(c.arg);
        EXPECT_EQ(ebcdic, 6u) << Narrow(c.arg);
        EXPECT_EQ(out.err, Prefix + c.message) << Narrow(c.arg);
    }
}

TEST(ParseCodePageTest, NoMessageWithoutAPlaceOrAnArgument) {
    std::wstring arg = L"/CP:850", empty;
    uint32_t cp = 0;
    Captured out = CaptureOutput([&] {
        return ParseCodePage(arg.data(), nullptr, nullptr) * 10 + ParseCodePage(empty.data(), &cp, nullptr) +
               100 * ParseCodePage(nullptr, &cp, nullptr);
    });
    EXPECT_EQ(out.result, -111);
    EXPECT_EQ(out.err, L"");
}

}  // namespace
