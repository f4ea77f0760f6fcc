#include <gtest/gtest.h>
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "TestSupport.h"
#include "HostTestUtil.h"

#include <string>

namespace {

// "A", e acute, the euro sign and U+1F600 (a surrogate pair).
const wchar_t Sample[] = L"A\u00e9\u20ac\U0001F600";

TEST(Output, Utf8IsTheDefault) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    EXPECT_EQ(QueryUnicodeOutput(), 0);
    Captured c = CaptureOutput([] { return QPuts(Sample); });
    EXPECT_EQ(c.outBytes, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(Output, UnicodeWritesUtf16LittleEndian) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", L"unicode");
    EXPECT_NE(QueryUnicodeOutput(), 0);
    Captured c = CaptureOutput([] { return Printf(L"%s", Sample); });
    EXPECT_EQ(c.outBytes, std::string("\x41\x00\xE9\x00\xAC\x20\x3D\xD8\x00\xDE", 10));
    EXPECT_EQ(c.result, 5);
}

TEST(Output, AnsiUsesTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page is not 1252";
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", L"ansi");
    Captured c = CaptureOutput([] { return QPuts(L"A\u00e9\u20ac"); });
    EXPECT_EQ(c.outBytes, "A\xE9\x80");
}

TEST(Output, ByteOrderMarkThroughQPutc) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    Captured c = CaptureOutput([] { return QPutc(GetStdHandle(STD_OUTPUT_HANDLE), 0xFEFF); });
    EXPECT_EQ(c.outBytes, "\xEF\xBB\xBF");
}

TEST(Output, Utf8EncodingEdges) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    const struct {
        const wchar_t* text;
        const char* bytes;
    } cases[] = {
        {L"\xD800x", "\xEF\xBF\xBDx"},                  // lone high surrogate
        {L"x\xDC00", "x\xEF\xBF\xBD"},                  // lone low surrogate
        {L"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},    // pair in the wrong order
        {L"\xD800", "\xEF\xBF\xBD"},                    // high surrogate at the very end
        {L"\x7F\x80", "\x7F\xC2\x80"},                   // one-byte / two-byte boundary
        {L"\x7FF\x800", "\xDF\xBF\xE0\xA0\x80"},          // two-byte / three-byte boundary
        {L"\xFFFF", "\xEF\xBF\xBF"},
        {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},            // U+10FFFF
    };
    for (const auto& c : cases) {
        Captured out = CaptureOutput([&] { return QPuts(c.text); });
        EXPECT_EQ(out.outBytes, c.bytes) << Narrow(c.text);
    }
}

TEST(Output, FormatsFollowWideConventions) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    Captured c = CaptureOutput([] {
        return Printf(L"%s|%c|%I64u|%d|%5.2f|%%", L"wide", L'Z', 18446744073709551615ull, -5, 3.14159);
    });
    const std::wstring expected = L"wide|Z|18446744073709551615|-5| 3.14|%";
    EXPECT_EQ(c.out, expected);
    EXPECT_EQ(c.result, static_cast<int>(expected.size()));
}

TEST(Output, LongFormattedTextIsNotCut) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    std::wstring text(100000, L'q');
    text += L"end";
    Captured c = CaptureOutput([&] { return Printf(L"<%s>", text.c_str()); });
    EXPECT_EQ(c.out, L"<" + text + L">");
    EXPECT_EQ(c.result, static_cast<int>(text.size() + 2));
    Captured e = CaptureOutput([&] { return Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"%s", text.c_str()); });
    EXPECT_EQ(e.err, text);
    EXPECT_EQ(e.out, L"");
}

TEST(Output, ManySmallWritesKeepEveryByte) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    Captured c = CaptureOutput([] {
        for (int i = 0; i < 20000; ++i) QPuts(L"0123456789abcd\r\n");
        return 0;
    });
    ASSERT_EQ(c.outBytes.size(), 20000u * 16);
    EXPECT_EQ(c.outBytes.substr(c.outBytes.size() - 16), "0123456789abcd\r\n");
    EXPECT_EQ(c.outBytes.find("\r\n0123"), 14u);
}

// Texts for an open chunk are measured while they are copied, 16 bytes at a
// time: texts of every length, ending at every distance from an inaccessible
// page, must come out whole, with nothing read past their terminator.
TEST(Output, QPutsReadsNothingPastTheText) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    auto* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
    wchar_t* const pageEnd = reinterpret_cast<wchar_t*>(base + page);
    std::wstring expected = L"start\r\n";
    Captured c = CaptureOutput([&] {
        QPuts(L"start\r\n");  // the chunk is open from here on
        for (size_t length = 1; length <= 40; ++length) {
            for (size_t gap = 0; gap < 10; ++gap) {  // units between the terminator and the page end
                wchar_t* text = pageEnd - 1 - gap - length;
                for (size_t k = 0; k < length; ++k)
                    text[k] = k % 7 == 3 ? L'\u20ac' : static_cast<wchar_t>(L'a' + (k + gap) % 26);
                text[length] = 0;
                for (wchar_t* p = text + length + 1; p < pageEnd; ++p) *p = L'#';  // never shown
                if (QPuts(text) != 0) return 1;
                expected.append(text, length);
            }
        }
        return 0;
    });
    VirtualFree(base, 0, MEM_RELEASE);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.out, expected);
}

// Standard output and standard error sharing one file, as with "2>&1": the
// buffered standard output must come out before the error text.
TEST(Output, StandardErrorIsNotReorderedAgainstOutput) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::wstring path = dir + L"\\both.txt";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE oldOut = GetStdHandle(STD_OUTPUT_HANDLE), oldErr = GetStdHandle(STD_ERROR_HANDLE);
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    SetStdHandle(STD_ERROR_HANDLE, file);
    QPuts(L"one ");
    Qprintf(file, L"%s ", L"two");
    Printf(L"three ");
    QPutc(file, L'4');
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, oldOut);
    SetStdHandle(STD_ERROR_HANDLE, oldErr);
    CloseHandle(file);
    EXPECT_EQ(ReadBytes(path), "one two three 4");
    RemoveTree(dir);
}

// Output written before standard output is switched belongs to the old handle.
TEST(Output, SwitchingStandardOutputFlushesToTheOldHandle) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::wstring first = dir + L"\\1.txt", second = dir + L"\\2.txt";
    HANDLE a = CreateFileW(first.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE b = CreateFileW(second.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    HANDLE old = GetStdHandle(STD_OUTPUT_HANDLE);
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, a);
    QPuts(L"first");
    SetStdHandle(STD_OUTPUT_HANDLE, b);
    QPuts(L"second");
    HostFlush();
    SetStdHandle(STD_OUTPUT_HANDLE, old);
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_EQ(ReadBytes(first), "first");
    EXPECT_EQ(ReadBytes(second), "second");
    RemoveTree(dir);
}

}  // namespace
