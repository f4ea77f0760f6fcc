// The quick forms of the UTF-8 dashes and the UTF-8 and UTF-16 text field
// against the general byte-by-byte and NextChar forms, over random inputs that
// mix plain text with every kind of malformed sequence, at every line width and
// window.
#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include "DumpTestUtil.h"
#include "TestSupport.h"

namespace {

// Bytes that are mostly well-formed UTF-8 but carry stray continuation bytes,
// cut-off and overlong sequences, surrogate halves (CESU-8 pairs among them),
// four-byte characters, a byte-order mark and bytes that never lead.
// With clean, only the plain pieces (which include controls, an overlong
// form and U+FEFF), so that whole lines take the quickest form.
std::string RandomUtf8(std::mt19937& rng, size_t size, bool clean = false) {
    static const char* const pieces[] = {
        "a", "Z", " ", "\n", "\x7f", "\x01",               // ASCII, controls
        "\xc3\xbc", "\xd0\xb4", "\xc2\x85", "\xc0\xaf",    // two bytes (C2 85 a C1 control; C0 AF overlong)
        "\xe2\x82\xac", "\xe6\x97\xa5", "\xef\xbb\xbf",    // three bytes, U+FEFF
        "\xed\x9f\xbf", "\xed\xa0\xbd\xed\xb8\x80",        // ED: below the surrogates; a CESU-8 pair
        "\xed\xa0\x80", "\xed\xb0\x80",                    // lone surrogate halves
        "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf",            // four bytes
        "\x80", "\xbf", "\xc3", "\xe2\x82", "\xf0\x9f",    // stray continuations, cut-off leads
        "\xf8", "\xff", "\xe0\x80\x80",                    // never lead; overlong three bytes
    };
    std::string bytes;
    while (bytes.size() < size) {
        // Plain text most of the time, so that quick lines are common too.
        if (clean || rng() % 3) bytes += pieces[rng() % 13];
        else bytes += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    }
    bytes.resize(size);
    return bytes;
}

struct Window {
    uint32_t hexWidth;
    uint64_t start, end;
};

// Full sixteen-byte lines (values and dashes from the quick forms) worked by
// hand: a euro sign cut by the line end carries one dash and two blank text
// columns into the next line; the partial last line takes the general form.
TEST(FastPath, FullLinesWithDashes) {
    TestInput input("A\xc3\xbc" "B\xe2\x82\xac" "CDEFGHIJ" "\xe2"
                    "\x82\xac" "xyz0123456789a"
                    "bcd",
                    Utf8);
    const std::vector<std::wstring> expected = {
        L"00000000  41 c3-bc 42 e2-82-ac 43  44 45 46 47 48 49 4a e2- A\u00FC B\u20AC  CDEFGHIJ\u20AC",
        L"00000010  82-ac 78 79 7a 30 31 32  33 34 35 36 37 38 39 61    xyz0123456789a",
        L"00000020  62 63 64 " + Blanks(15) + L" " + Blanks(24) + L" bcd" + Blanks(13),
    };
    EXPECT_EQ(BuildLines(input, TestSettings(16), 0), expected);
}

TEST(FastPath, DashesByMasksMatchTheByteWalk) {
    std::mt19937 rng(7);
    const uint32_t widths[] = {8, 12, 13, 16, 24, 32, 48, 61, 62, 80};
    const bool detected = DumpUseAvx2;
    for (int round = 0; round < 60; ++round) {
        DumpUseAvx2 = detected && (round / 2) % 2;  // with and without the 32-byte classes
        TestInput input(RandomUtf8(rng, 200 + rng() % 300, round % 2 == 0), Utf8);
        for (uint32_t width : widths) {
            const Window w{width, rng() % 8, rng() % 3 ? 0 : input.bytes.size() - rng() % 40};
            DumpSettings settings = TestSettings(w.hexWidth);
            settings.StartAddress = w.start;
            settings.EndAddress = w.end;
            DumpLayout quick, general;
            PrepareLayout(&settings, 0, &input.source, &quick);
            PrepareLayout(&settings, 0, &input.source, &general);
            ASSERT_TRUE(quick.Utf8Dashes);
            for (uint64_t line = quick.Start; line < quick.End; line += width) {
                const uint32_t count = quick.End - line < width ? static_cast<uint32_t>(quick.End - line) : width;
                wchar_t a[MaxHexWidth], b[MaxHexWidth];
                Utf8SeparatorsByMasks(&input.source, &quick, line, count, a);
                Utf8Separators(&input.source, &general, line, count, b);
                ASSERT_EQ(std::wstring(a, count), std::wstring(b, count))
                    << "round " << round << " width " << width << " line " << line;
                ASSERT_EQ(quick.PendingDashes, general.PendingDashes) << "line " << line;
            }
        }
    }
    DumpUseAvx2 = detected;
}

// Full lines take their dashes straight into the hex cells; every value area
// must read as the byte walk's separators put after each value, at widths and
// groupings that take each form (whole groups of eight, others, lines the dash
// masks cannot cover, the partial last line).
TEST(FastPath, HexCellsWithDashesMatchTheByteWalk) {
    const bool detected = DumpUseSsse3;
    std::mt19937 rng(5);
    const struct {
        uint32_t width, group;
    } shapes[] = {{16, 8}, {16, 4}, {13, 3}, {17, 5}, {24, 8}, {32, 8}, {48, 8}, {61, 8}, {62, 8}, {64, 8}, {80, 8}};
    for (int round = 0; round < 40; ++round) {
        const std::string bytes = RandomUtf8(rng, 300 + rng() % 200, round % 2 == 0);
        for (const auto& shape : shapes) {
            // The top bit (no flag of the dump) asks for the form without the byte shuffle.
            for (uint32_t flags : {0u, uint32_t{DF_UPPER_HEX}, 0x80000000u, DF_UPPER_HEX | 0x80000000u}) {
                DumpUseSsse3 = detected && !(flags & 0x80000000u);
                flags &= ~0x80000000u;
                const char* digits = (flags & DF_UPPER_HEX) ? "0123456789ABCDEF" : "0123456789abcdef";
                TestInput input(bytes, Utf8);
                DumpSettings settings = TestSettings(shape.width);
                settings.GroupWidth = shape.group;
                settings.StartAddress = rng() % 8;
                settings.EndAddress = rng() % 3 ? 0 : bytes.size() - rng() % 40;
                DumpLayout layout, walk;
                PrepareLayout(&settings, flags | DF_NO_ADDRESS, &input.source, &layout);
                PrepareLayout(&settings, flags | DF_NO_ADDRESS, &input.source, &walk);
                ASSERT_TRUE(layout.Utf8Dashes);
                for (uint64_t line = layout.Start; line < layout.End; line += shape.width) {
                    const uint32_t count =
                        layout.End - line < shape.width ? static_cast<uint32_t>(layout.End - line) : shape.width;
                    wchar_t separators[MaxHexWidth];
                    Utf8Separators(&input.source, &walk, line, count, separators);
                    std::wstring expected;
                    for (uint32_t i = 0; i < shape.width; ++i) {
                        if (i < count) {
                            const uint8_t b = static_cast<uint8_t>(bytes[line + i]);
                            expected += {wchar_t(digits[b >> 4]), wchar_t(digits[b & 15]), separators[i]};
                        } else {
                            expected += L"   ";
                        }
                        if ((i + 1) % shape.group == 0) expected += L' ';
                    }
                    wchar_t buffer[DumpLineCapacity];
                    const size_t n = BuildDumpLine(&input.source, &layout, line, buffer);
                    ASSERT_GE(n, expected.size());
                    ASSERT_EQ(std::wstring(buffer, expected.size()), expected)
                        << "round " << round << " width " << shape.width << " group " << shape.group << " line " << line;
                    ASSERT_EQ(layout.PendingDashes, walk.PendingDashes) << "line " << line;
                }
            }
        }
    }
    DumpUseSsse3 = detected;
}

// UTF-16 units in the given byte order: mostly plain characters (so that
// whole lines qualify), with controls, U+FEFF, valid pairs and lone halves.
std::string RandomUtf16(std::mt19937& rng, size_t size, bool bigEndian, bool clean) {
    static const uint16_t units[] = {'a', 'Z', ' ', 0x00E9, 0x20AC, 0x65E5, 0x0001, 0x007F, 0x0085, 0xFEFF, 0xFFFF,
                                     0xD83D, 0xDE00, 0xDBFF, 0xDC00};
    std::string bytes;
    while (bytes.size() < size) {
        const uint16_t u = units[rng() % (clean || rng() % 4 ? 11 : 15)];
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    bytes.resize(size);  // may end in half a unit
    return bytes;
}

TEST(FastPath, QuickTextMatchesNextChar) {
    std::mt19937 rng(11);
    const uint32_t widths[] = {1, 2, 3, 8, 14, 16, 17, 24, 32, 62, 80};
    const uint32_t flagSets[] = {0, DF_CONTROL_PICTURES, DF_DUMP_BOM};
    const bool detected = DumpUseAvx2;
    for (int round = 0; round < 60; ++round) {
        DumpUseAvx2 = detected && (round / 3) % 2;  // with and without the 16-lane columns
        const uint32_t encoding = round % 3 == 0 ? Utf8 : round % 3 == 1 ? Utf16Le : Utf16Be;
        const size_t size = 100 + rng() % 300;
        const std::string bytes = encoding == Utf8 ? RandomUtf8(rng, size, round % 2 == 0)
                                                   : RandomUtf16(rng, size, encoding == Utf16Be, round % 2 == 0);
        for (uint32_t width : widths) {
            for (uint32_t flags : flagSets) {
                // Two inputs over the same bytes: each path moves its own decoder.
                TestInput quickInput(bytes, encoding), generalInput(bytes, encoding);
                const uint32_t supplementary = rng() % 2;
                quickInput.source.AllowSupplementary = generalInput.source.AllowSupplementary = supplementary;
                DumpSettings settings = TestSettings(width);
                settings.StartAddress = rng() % 6;
                settings.EndAddress = rng() % 2 ? 0 : bytes.size() - rng() % 10;
                settings.TextReplacementChar = rng() % 2 ? L'?' : 0;
                DumpLayout quick, general;
                PrepareLayout(&settings, flags, &quickInput.source, &quick);
                PrepareLayout(&settings, flags, &generalInput.source, &general);
                for (uint64_t line = quick.Start; line < quick.End; line += width) {
                    wchar_t a[DumpLineCapacity], b[DumpLineCapacity];
                    const size_t na = AppendDecodedText(&quickInput.source, &quick, line, a, 0, true);
                    const size_t nb = AppendDecodedText(&generalInput.source, &general, line, b, 0, false);
                    ASSERT_EQ(std::wstring(a, na), std::wstring(b, nb))
                        << "round " << round << " width " << width << " flags " << flags << " line " << line;
                    ASSERT_EQ(quickInput.source.Position, generalInput.source.Position) << "line " << line;
                }
            }
        }
    }
    DumpUseAvx2 = detected;
}

// Single-byte text goes through a table filled once per input; every byte
// value must show what NextChar and the control mapping make of it.
TEST(FastPath, SingleByteTextTableMatchesNextChar) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const struct {
        uint32_t encoding;
        int32_t codePageIndex, ebcdicIndex;
    } sources[] = {{Oem, 0, 0}, {Oem, 9, 0}, {Oem, 10, 0}, {Oem, 21, 0}, {Ascii, 13, 0},
                   {Raw, 0, 0}, {Ebcdic, 0, 0}, {Ebcdic, 1, 0}, {Ebcdic, 0, 9}};
    const uint32_t flagSets[] = {0, DF_CONTROL_PICTURES, DF_DUMP_BOM, DF_UNIX};
    for (const auto& s : sources) {
        for (uint32_t flags : flagSets) {
            for (wchar_t replacement : {wchar_t(0), L'.', L' '}) {
                TestInput tableInput(all, s.encoding), generalInput(all, s.encoding);
                for (TestInput* in : {&tableInput, &generalInput}) {
                    in->source.CodePageIndex = s.codePageIndex;
                    in->source.EbcdicCodePageIndex = s.ebcdicIndex;
                }
                DumpSettings settings = TestSettings(16);
                settings.TextReplacementChar = replacement;
                DumpLayout table, general;
                PrepareLayout(&settings, flags, &tableInput.source, &table);
                PrepareLayout(&settings, flags, &generalInput.source, &general);
                ASSERT_TRUE(table.UseTextMap);
                for (uint64_t line = 0; line < 256; line += 16) {
                    wchar_t a[DumpLineCapacity], b[DumpLineCapacity];
                    const size_t na = AppendTextField(&tableInput.source, &table, line, a, 0);
                    const size_t nb = AppendDecodedText(&generalInput.source, &general, line, b, 0, false);
                    ASSERT_EQ(std::wstring(a, na), std::wstring(b, nb))
                        << "encoding " << s.encoding << " index " << s.codePageIndex << "/" << s.ebcdicIndex
                        << " flags " << flags << " line " << line;
                }
            }
        }
    }
}

// A copy of bytes that ends exactly where an inaccessible page begins, as a
// mapped file whose size is a multiple of the page size does: reading one
// byte past the input faults.
struct GuardedBytes {
    uint8_t* base = nullptr;
    const uint8_t* data = nullptr;
    explicit GuardedBytes(const std::string& bytes) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t pages = (bytes.size() + page - 1) / page + 1;
        base = static_cast<uint8_t*>(VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (!base) return;
        DWORD old;
        if (!VirtualProtect(base + (pages - 1) * page, page, PAGE_NOACCESS, &old)) return;
        uint8_t* at = base + (pages - 1) * page - bytes.size();
        std::memcpy(at, bytes.data(), bytes.size());
        data = at;
    }
    ~GuardedBytes() {
        if (base) VirtualFree(base, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
};

TEST(FastPath, NothingIsReadPastTheInput) {
    std::mt19937 rng(3);
    const uint32_t encodings[] = {Utf8, Utf16Le, Utf32Be, Oem, Ebcdic};
    // Widths that take the quick forms (16 to 62 bytes) and the general ones.
    const uint32_t widths[] = {8, 14, 16, 24, 32, 48, 62, 64, 80};
    const uint32_t flagSets[] = {0, DF_UPPER_HEX, DF_ASCII_ONLY, DF_NO_TEXT | DF_BIG_ENDIAN, DF_CONTROL_PICTURES};
    for (int round = 0; round < 6; ++round) {
        // Sizes around whole lines, so that the input ends inside, at and
        // just after the end of a line.
        const std::string bytes = RandomUtf8(rng, 160 + round * 7, round % 2 == 0);
        GuardedBytes guarded(bytes);
        ASSERT_NE(guarded.data, nullptr);
        for (uint32_t encoding : encodings) {
            for (uint32_t width : widths) {
                for (uint32_t wordLen = 1; wordLen <= 8; ++wordLen) {
                    for (uint32_t flags : flagSets) {
                        TestInput input(bytes, encoding);
                        input.source.Data = guarded.data;
                        DumpSettings settings = TestSettings(width, wordLen, (wordLen + flags) % 4);
                        settings.StartAddress = rng() % 4;
                        const auto lines = BuildLines(input, settings, flags);
                        ASSERT_FALSE(lines.empty());
                    }
                }
            }
        }
        // Duplicate suppression compares whole lines from each line's start.
        TestInput input(std::string(bytes.size(), 'A'), Oem);
        GuardedBytes same(input.bytes);
        input.source.Data = same.data;
        DumpSettings settings = TestSettings(16);
        settings.LineEnding[0] = L'\n';
        settings.LineEnding[1] = 0;
        const Captured out =
            CaptureOutput([&] { return DumpOpenedInput(L"a", DF_UNIX, &settings, &input.source); });
        EXPECT_EQ(out.result, 0);
        EXPECT_NE(out.out.find(L"\n*\n"), std::wstring::npos);
    }
}

}  // namespace
