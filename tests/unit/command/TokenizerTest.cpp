// The command-tail tokenizer: quotes, white space, option clusters, addresses,
// exclusion ranges, trailing blanks, overflow and the argument cap.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "command/Command.h"
#include "TestSupport.h"

namespace {

std::vector<std::wstring> Arguments() {
    std::vector<std::wstring> args;
    for (int i = 0; i < ArgCount; ++i) {
        EXPECT_EQ(static_cast<size_t>(ArgLength[i]), wcslen(ArgVector[i])) << "argument " << i;
        args.emplace_back(ArgVector[i], static_cast<size_t>(ArgLength[i]));
    }
    return args;
}

struct TokenCase {
    const wchar_t* tail;
    std::vector<std::wstring> args;
};

TEST(TokenizerTest, SplitsTheTailByItsRules) {
    const TokenCase cases[] = {
        {L"", {}},
        {L"   \t ", {}},
        {L"a  \"b c\"  d", {L"a", L"b c", L"d"}},
        {L"a\tb\r\nc", {L"a", L"b", L"c"}},
        {L"\"\"", {}},
        {L"\"\" x", {L"x"}},
        {L"\" \"", {L""}},                      // a quoted blank: length 0
        {L"\"abc  \" d", {L"abc", L"d"}},       // trailing blanks go
        {L"\"  abc\"", {L"  abc"}},             // leading blanks stay
        {L"ab\"c d\"e", {L"abc de"}},
        {L"/H/B/Q", {L"/H", L"/B", L"/Q"}},
        {L"/C:0x10/E:0x20", {L"/C:0x10", L"/E:0x20"}},
        {L"/C:5/E:9", {L"/C:5", L"/E:9"}},
        {L"C:/dir/file", {L"C:/dir/file"}},     // not an option: no split
        {L"//server/share", {L"//server", L"/share"}},  // the second "/" joins a one-character option
        {L"/X:ftp://server/dir", {L"/X:ftp://server/dir"}},
        {L"/X:\"a/b c\"", {L"/X:a/b c"}},       // quoted slashes do not split
        {L"/X:1://a", {L"/X:1:", L"//a"}},      // no letter before ":" means no address
        {L"http://host/a/b /H", {L"http://host/a/b", L"/H"}},
        {L"/[!*.bak *.tmp] /S", {L"/[!*.bak *.tmp]", L"/S"}},
        {L"/[!a b]c d", {L"/[!a b]c", L"d"}},
        {L"/[!a \"b c\" d] e", {L"/[!a \"b c\" d]", L"e"}},  // quotes kept inside a range
        {L"/[!a b", {L"/[!a b"}},
        {L"/[!a b]/S", {L"/[!a b]", L"/S"}},
        {L"/[a b]", {L"/[a", L"b]"}},           // only "/[!" opens a range
        {L"x/[!a b]", {L"x/[!a", L"b]"}},
        // Odd tails: nothing may be lost, nothing may hang.
        {L"\"", {}},                           // a lone quote
        {L"\"/H /B", {L"/H /B"}},              // an open quote runs to the end
        {L"/", {L"/"}},
        {L"/:", {L"/:"}},
        {L"- --", {L"-", L"--"}},
        {L"/H//B", {L"/H", L"//B"}},            // the split leaves a one-character "/" that the next one joins
        {L"/X:a:/b", {L"/X:a:", L"/b"}},        // one slash after the colon is no address
        {L"/\U0001F600/H \U0001F600", {L"/\U0001F600", L"/H", L"\U0001F600"}},  // a pair counts as two units
    };
    for (const TokenCase& c : cases) {
        int n = TokenizeArguments(c.tail);
        EXPECT_EQ(n, static_cast<int>(c.args.size())) << Narrow(c.tail);
        EXPECT_EQ(ArgCount, n) << Narrow(c.tail);
        EXPECT_EQ(Arguments(), c.args) << Narrow(c.tail);
    }
}

TEST(TokenizerTest, StartsAfreshOnEveryCall) {
    TokenizeArguments(L"one two three");
    ASSERT_EQ(TokenizeArguments(L"x"), 1);
    EXPECT_EQ(ArgLength[1], 0);
    EXPECT_EQ(ArgVector[1], nullptr);
    EXPECT_STREQ(ArgBuffer, L"x");
}

TEST(TokenizerTest, NullTailLeavesEverythingAlone) {
    TokenizeArguments(L"a b");
    EXPECT_EQ(TokenizeArguments(nullptr), -1);
    EXPECT_EQ(ArgCount, 2);
    EXPECT_STREQ(ArgVector[1], L"b");
}

TEST(TokenizerTest, ArgumentsBeyondTheCapAreDroppedSilently) {
    std::wstring tail;
    for (int i = 0; i < 1100; ++i) tail += (i < 1023 ? L"a " : L"b ");
    Captured c = CaptureOutput([&] { return TokenizeArguments(tail.c_str()); });
    EXPECT_EQ(c.result, 1024);
    EXPECT_EQ(ArgCount, 1024);
    EXPECT_STREQ(ArgVector[1022], L"a");
    EXPECT_STREQ(ArgVector[1023], L"b");
    EXPECT_EQ(c.err, L"");
}

TEST(TokenizerTest, OverflowOfTheBufferIsReported) {
    // The buffer holds 8192 units: an argument of 8190 characters and its
    // terminator still fit, one of 8191 does not.
    std::wstring fits(8190, L'x');
    Captured ok = CaptureOutput([&] { return TokenizeArguments(fits.c_str()); });
    EXPECT_EQ(ok.result, 1);
    EXPECT_EQ(ArgLength[0], 8190);
    EXPECT_EQ(ok.err, L"");

    std::wstring tooLong = L"  " + std::wstring(8191, L'x') + L" y";
    Captured bad = CaptureOutput([&] { return TokenizeArguments(tooLong.c_str()); });
    EXPECT_EQ(bad.result, -1);
    EXPECT_EQ(ArgCount, 0);
    EXPECT_EQ(bad.err, L"Bytora plugin: Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n");

    // Terminators of earlier arguments count too.
    std::wstring many;
    for (int i = 0; i < 1024; ++i) many += L"abcdefg ";  // 1023 take 8184 cells; the last fails at its 7th character
    Captured full = CaptureOutput([&] { return TokenizeArguments(many.c_str()); });
    EXPECT_EQ(full.result, -1);
    EXPECT_EQ(full.err, L"Bytora plugin: Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n");
}

}  // namespace
