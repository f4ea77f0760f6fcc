// The hand-written UTF-8 output path against the system conversion: blocks of
// eight units, the branch-free unit encoder, the surrogate fallback and the
// string length scan must give what WideCharToMultiByte gives.
#include <gtest/gtest.h>
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "TestSupport.h"
#include "HostTestUtil.h"

#include <random>
#include <string>
#include <vector>

namespace {

std::string SystemUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

// Text shaped like dump lines and worse: runs of ASCII, then units of every
// length class, valid pairs, lone and reversed surrogates. Never a zero unit
// (QPuts stops there).
std::wstring RandomText(std::mt19937& rng, size_t length) {
    std::wstring text;
    while (text.size() < length) {
        switch (rng() % 8) {
        case 0: case 1: case 2:  // an ASCII run, often longer than a block
            for (unsigned n = rng() % 20; n; --n) text += static_cast<wchar_t>(0x20 + rng() % 0x5F);
            break;
        case 3: text += static_cast<wchar_t>(0x80 + rng() % 0x780); break;    // two bytes
        case 4: text += static_cast<wchar_t>(0x800 + rng() % 0xD000); break;  // three bytes
        case 5: text += static_cast<wchar_t>(0xE000 + rng() % 0x2000); break; // three bytes above the surrogates
        case 6:                                                               // a valid pair
            text += static_cast<wchar_t>(0xD800 + rng() % 0x400);
            text += static_cast<wchar_t>(0xDC00 + rng() % 0x400);
            break;
        default: text += static_cast<wchar_t>(0xD800 + rng() % 0x800); break; // a lone half
        }
    }
    text.resize(length);  // may cut a pair in two: a lone high surrogate at the end
    return text;
}

// Each test runs in both forms of the encoder: with what the processor
// offers beyond SSE2 and without it.
class Utf8Encoder : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { HostLimitSimd(GetParam()); }
    void TearDown() override { HostLimitSimd(0); }
};
INSTANTIATE_TEST_SUITE_P(Forms, Utf8Encoder, ::testing::Values(0, 1));

TEST_P(Utf8Encoder, MatchesTheSystemConversion) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    std::mt19937 rng(20240611);
    std::vector<std::wstring> texts;
    std::string expected;
    // Lengths around the block size and long enough to fill the output buffer
    // several times, so texts also meet the buffer's end at every offset.
    for (int i = 0; i < 3000; ++i) {
        texts.push_back(RandomText(rng, i < 40 ? static_cast<size_t>(i) : rng() % 300));
        expected += SystemUtf8(texts.back());
    }
    Captured c = CaptureOutput([&] {
        for (const std::wstring& t : texts)
            if (QPuts(t.c_str()) != 0) return 1;
        return 0;
    });
    EXPECT_EQ(c.result, 0);
    ASSERT_EQ(c.outBytes.size(), expected.size());
    // First difference, to make a failure readable.
    size_t at = 0;
    while (at < expected.size() && c.outBytes[at] == expected[at]) ++at;
    EXPECT_EQ(at, expected.size()) << "output differs at byte " << at;
}

TEST_P(Utf8Encoder, EachUnitClassInEveryBlockPosition) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    // One special unit (or pair) at each position of 17 ASCII units: inside a
    // block, at its last unit, across two blocks and in the tail.
    const std::wstring specials[] = {L"\x7F", L"\x80", L"\x7FF", L"\x800", L"\xD7FF", L"\xE000", L"\xFFFF",
                                     L"\xD800\xDC00", L"\xDBFF\xDFFF", L"\xD800", L"\xDC00", L"\xDC00\xD800"};
    for (const std::wstring& special : specials) {
        for (size_t pos = 0; pos <= 17; ++pos) {
            std::wstring text(17, L'a');
            text.insert(pos, special);
            Captured c = CaptureOutput([&] { return QPuts(text.c_str()); });
            EXPECT_EQ(c.outBytes, SystemUtf8(text)) << "unit " << std::hex << unsigned(special[0]) << " at " << pos;
        }
    }
}

// The length scan reads whole aligned 16-byte blocks; a text whose terminator
// is the last unit before an inaccessible page must still be measured without
// touching that page, from every even starting address.
TEST_P(Utf8Encoder, LengthScanStopsAtTheTerminatorBeforeAGuardPage) {
    ScopedEnv mode(L"BYTORA_HOST_OUTPUT", nullptr);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    char* base = static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
    wchar_t* pageEnd = reinterpret_cast<wchar_t*>(base + page);
    for (size_t length = 0; length <= 80; ++length) {
        wchar_t* text = pageEnd - 1 - length;
        for (size_t i = 0; i < length; ++i) text[i] = static_cast<wchar_t>(L'A' + i % 26);
        pageEnd[-1] = 0;
        Captured c = CaptureOutput([&] { return QPuts(text); });
        EXPECT_EQ(c.outBytes.size(), length) << "length " << length;
    }
    // Garbage after the terminator and every start offset within a block.
    wchar_t* area = reinterpret_cast<wchar_t*>(base);
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t length = 0; length < 40; ++length) {
            for (size_t i = 0; i < 64; ++i) area[i] = L'z';
            wchar_t* text = area + offset;
            text[length] = 0;
            Captured c = CaptureOutput([&] { return QPuts(text); });
            EXPECT_EQ(c.outBytes, std::string(length, 'z')) << "offset " << offset << " length " << length;
        }
    }
    VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace
