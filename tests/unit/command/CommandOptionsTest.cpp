// The BYTORA command in-process: every option's accept and reject paths, the
// derived settings, the help texts, and the order in which inputs are dumped.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "command/Command.h"
#include "console/Console.h"
#include "plugin/Plugin.h"
#include "TestSupport.h"
#include "ConsoleFixture.h"

namespace {

const std::wstring Prefix = L"Bytora plugin: ";

struct Call {
    std::wstring name;
    uint32_t flags;
    DumpSettings settings;
};
std::vector<Call> Calls;
std::vector<int> Results;  // what the n-th call returns; 0 beyond the list

int Record(const wchar_t* name, uint32_t flags, void* data) {
    Calls.push_back({name ? name : L"(null)", flags, *static_cast<DumpSettings*>(data)});
    return Calls.size() <= Results.size() ? Results[Calls.size() - 1] : 0;
}

std::string Describe(const DumpSettings& s) {
    char text[512];
    std::string ending;
    for (const wchar_t* p = s.LineEnding; *p; ++p) ending += *p == L'\r' ? "\\r" : *p == L'\n' ? "\\n" : "?";
    snprintf(text, sizeof text,
             "start %llu end %llu max %llu fromEnd %llu/%llu hex %u addr %u word %u group %u lines %u format %u "
             "cp %u ebcdic %u width %u repl %04x ending \"%s\"",
             static_cast<unsigned long long>(s.StartAddress), static_cast<unsigned long long>(s.EndAddress),
             static_cast<unsigned long long>(s.MaxBytes), static_cast<unsigned long long>(s.StartFromEnd),
             static_cast<unsigned long long>(s.EndFromEnd), s.HexWidth, s.AddressWidth, s.WordLen, s.GroupWidth,
             s.MaxLines, s.Format, s.CodePage, s.EbcdicCodePage, s.ConsoleWidth, s.TextReplacementChar,
             ending.c_str());
    return text;
}

// The settings of a run without options whose output is redirected.
DumpSettings Defaults() {
    DumpSettings s{};
    s.WordLen = 1;
    s.GroupWidth = 8;
    s.ConsoleWidth = 100;
    wcscpy(s.LineEnding, L"\r\n");
    return s;
}

bool EndsWithIgnoreCase(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           CompareStringOrdinal(text.c_str() + text.size() - tail.size(), -1, tail.c_str(), -1, TRUE) == CSTR_EQUAL;
}

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedCallback_ = CommandDumpInput;
        CommandDumpInput = Record;
        Calls.clear();
        Results.clear();
        savedConsoleOut_ = ConsoleOut;
        ConsoleOut = nullptr;
        // Standard input redirected from NUL: never the test's own console.
        savedIn_ = GetStdHandle(STD_INPUT_HANDLE);
        nul_ = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        SetStdHandle(STD_INPUT_HANDLE, nul_);
    }
    void TearDown() override {
        SetStdHandle(STD_INPUT_HANDLE, savedIn_);
        if (nul_ != INVALID_HANDLE_VALUE) CloseHandle(nul_);
        ConsoleOut = savedConsoleOut_;
        CommandDumpInput = savedCallback_;
        ResetPaging();
    }
    Captured Run(const std::wstring& tail) {
        std::wstring text = tail;
        return CaptureOutput([&] { return bytora(text.data()); });
    }

private:
    DumpCallback savedCallback_ = nullptr;
    HANDLE savedIn_ = nullptr;
    HANDLE nul_ = INVALID_HANDLE_VALUE;
    HANDLE savedConsoleOut_ = nullptr;
};

// ---- Accepted options ---------------------------------------------------------

struct AcceptCase {
    const wchar_t* tail;
    uint32_t flags;
    void (*edit)(DumpSettings&);
};

TEST_F(CommandTest, AcceptedOptionsSetTheirSettings) {
    const AcceptCase cases[] = {
        {L"", 0, nullptr},
        {L"\" \"  \"\"", 0, nullptr},  // empty arguments are skipped
        {L"/1", 0, nullptr},
        {L"/2", 0, [](DumpSettings& s) { s.WordLen = 2; }},
        {L"/3", 0, [](DumpSettings& s) { s.WordLen = 3; s.GroupWidth = 9; }},
        {L"/4", 0, [](DumpSettings& s) { s.WordLen = 4; }},
        {L"/5", 0, [](DumpSettings& s) { s.WordLen = 5; s.GroupWidth = 10; }},
        {L"/6", 0, [](DumpSettings& s) { s.WordLen = 6; s.GroupWidth = 12; }},
        {L"/7", 0, [](DumpSettings& s) { s.WordLen = 7; s.GroupWidth = 7; }},
        {L"/8", 0, [](DumpSettings& s) { s.WordLen = 8; }},
        {L"/w", 0, [](DumpSettings& s) { s.WordLen = 2; }},
        {L"/D", 0, [](DumpSettings& s) { s.WordLen = 4; }},
        {L"/q", 0, [](DumpSettings& s) { s.WordLen = 8; }},
        {L"/Q /B", 0, nullptr},
        {L"/be", DF_BIG_ENDIAN, nullptr},
        {L"/BE /LE", 0, nullptr},
        {L"/LE /BE", DF_BIG_ENDIAN, nullptr},
        {L"/bom", DF_DUMP_BOM, nullptr},
        {L"/CP:850", 0, [](DumpSettings& s) { s.CodePage = 850; }},
        {L"/cp1250", 0, [](DumpSettings& s) { s.CodePage = 1250; }},  // a number right after the name
        {L"/cp=utf-8", 0, [](DumpSettings& s) { s.CodePage = 65001; }},
        {L"/CP:1141", 0, [](DumpSettings& s) { s.EbcdicCodePage = 1141; }},
        {L"/cr", 0, [](DumpSettings& s) { wcscpy(s.LineEnding, L"\r"); }},
        {L"/CRLF", 0, nullptr},
        {L"/lf", 0, [](DumpSettings& s) { wcscpy(s.LineEnding, L"\n"); }},
        {L"/LF /CRLF", 0, nullptr},
        {L"/C:5", 0, [](DumpSettings& s) { s.StartAddress = 5; }},
        {L"/C=5", 0, [](DumpSettings& s) { s.StartAddress = 5; }},
        {L"/c5", 0, [](DumpSettings& s) { s.StartAddress = 5; }},
        {L"/C:-0x100", 0, [](DumpSettings& s) { s.StartFromEnd = 256; }},
        {L"/C-5", 0, [](DumpSettings& s) { s.StartFromEnd = 5; }},
        {L"/E:2K", 0, [](DumpSettings& s) { s.EndAddress = 2048; }},
        {L"/C:1 /E:2", 0, [](DumpSettings& s) { s.StartAddress = 1; s.EndAddress = 2; }},
        {L"/C:-20 /E:-10", 0, [](DumpSettings& s) { s.StartFromEnd = 20; s.EndFromEnd = 10; }},
        {L"/C:10 /E:-50", 0, [](DumpSettings& s) { s.StartAddress = 10; s.EndFromEnd = 50; }},  // not compared
        {L"/C:-5 /E:3", 0, [](DumpSettings& s) { s.StartFromEnd = 5; s.EndAddress = 3; }},
        {L"/C:100 /E:0", 0, [](DumpSettings& s) { s.StartAddress = 100; }},  // 0 is the end of the input
        {L"/F:HEX", 0, nullptr},
        {L"/F:DEC", 0, [](DumpSettings& s) { s.Format = 2; }},
        {L"/f:oct", 0, [](DumpSettings& s) { s.Format = 1; }},
        {L"/F:s", 0, [](DumpSettings& s) { s.Format = 3; }},
        {L"/F:+", 0, [](DumpSettings& s) { s.Format = 3; }},
        {L"/F:-", 0, [](DumpSettings& s) { s.Format = 3; }},
        {L"/F=d", 0, [](DumpSettings& s) { s.Format = 2; }},
        {L"/FO", 0, [](DumpSettings& s) { s.Format = 1; }},
        {L"/F:8", 0, [](DumpSettings& s) { s.Format = 1; }},
        {L"/F:10", 0, [](DumpSettings& s) { s.Format = 2; }},
        {L"/F:D /F:16", 0, nullptr},
        {L"/F:D /F:0", 0, nullptr},
        {L"/F:D /F:x", 0, nullptr},
        {L"/F:0xA", 0, [](DumpSettings& s) { s.Format = 2; }},
        {L"/G:0", 0, nullptr},
        {L"/G:4", 0, [](DumpSettings& s) { s.AddressWidth = 4; }},
        {L"/g:0x10", 0, [](DumpSettings& s) { s.AddressWidth = 16; }},
        {L"/G8", 0, [](DumpSettings& s) { s.AddressWidth = 8; }},
        {L"/H", DF_SHOW_NAME, nullptr},
        {L"/hh", DF_SHOW_NAME | DF_SHOW_DETAILS, nullptr},
        {L"/I", DF_TOTALS, nullptr},
        {L"/J", 0, nullptr},  // no highlight colour without a console
        {L"/K:0", DF_FIT_CONSOLE, [](DumpSettings& s) { s.ConsoleWidth = 80; }},
        {L"/K:16 /K:0", DF_FIT_CONSOLE, [](DumpSettings& s) { s.ConsoleWidth = 80; }},
        {L"/K:0 /K:16", 0, [](DumpSettings& s) { s.HexWidth = 16; }},
        {L"/K:0x50", 0, [](DumpSettings& s) { s.HexWidth = 80; }},
        {L"/K:24 /D", 0, [](DumpSettings& s) { s.HexWidth = 24; s.WordLen = 4; }},
        {L"/K:18 /3", 0, [](DumpSettings& s) { s.HexWidth = 18; s.WordLen = 3; s.GroupWidth = 9; }},
        {L"/K=70 /7", 0, [](DumpSettings& s) { s.HexWidth = 70; s.WordLen = 7; s.GroupWidth = 7; }},
        {L"/ML:5", 0, [](DumpSettings& s) { s.MaxLines = 5; }},
        {L"/ml=0x10", 0, [](DumpSettings& s) { s.MaxLines = 16; }},
        {L"/ML7", 0, [](DumpSettings& s) { s.MaxLines = 7; }},
        {L"/ML:4294967295", 0, [](DumpSettings& s) { s.MaxLines = 4294967295u; }},
        {L"/M:64K", 0, [](DumpSettings& s) { s.MaxBytes = 65536; }},
        {L"/N:8", DF_NO_UTF8_DASHES, nullptr},
        {L"/N:BQ", DF_PLAIN_QUOTES, nullptr},
        {L"/n:e", DF_NO_EBCDIC, nullptr},
        {L"/N=I", DF_NO_ADDRESS, nullptr},
        {L"/NL", DF_NO_TRAILING_BLANK, nullptr},
        {L"/N:T", DF_NO_TEXT, nullptr},
        {L"/N:U", DF_ASCII_ONLY, [](DumpSettings& s) { s.TextReplacementChar = L'.'; }},
        {L"/N:HCDFJZ", 0, nullptr},
        {L"/P", 0, nullptr},  // no paging without a console, but accepted
        {L"/P:3,20", 0, nullptr},
        {L"/U", DF_UNIX, [](DumpSettings& s) { s.HexWidth = 16; wcscpy(s.LineEnding, L"\n"); s.TextReplacementChar = L'.'; }},
        {L"/U /K:8", DF_UNIX, [](DumpSettings& s) { s.HexWidth = 8; wcscpy(s.LineEnding, L"\n"); s.TextReplacementChar = L'.'; }},
        {L"/U /3", DF_UNIX,
         [](DumpSettings& s) {
             s.WordLen = 3;
             s.GroupWidth = 9;
             s.HexWidth = 18;
             wcscpy(s.LineEnding, L"\n");
             s.TextReplacementChar = L'.';
         }},
        {L"/CR /U", DF_UNIX, [](DumpSettings& s) { s.HexWidth = 16; wcscpy(s.LineEnding, L"\r"); s.TextReplacementChar = L'.'; }},
        {L"/U /Z:_", DF_UNIX, [](DumpSettings& s) { s.HexWidth = 16; wcscpy(s.LineEnding, L"\n"); s.TextReplacementChar = L'_'; }},
        {L"/U /K:0", DF_UNIX | DF_FIT_CONSOLE,
         [](DumpSettings& s) { s.ConsoleWidth = 80; wcscpy(s.LineEnding, L"\n"); s.TextReplacementChar = L'.'; }},
        {L"/uc", DF_UPPER_HEX, nullptr},
        {L"/X", DF_CONTROL_PICTURES, nullptr},
        {L"/Z", 0, [](DumpSettings& s) { s.TextReplacementChar = L' '; }},
        {L"/Z:", 0, [](DumpSettings& s) { s.TextReplacementChar = L' '; }},
        {L"/z=", 0, [](DumpSettings& s) { s.TextReplacementChar = L' '; }},
        {L"/Z:.", 0, [](DumpSettings& s) { s.TextReplacementChar = L'.'; }},
        {L"/Z#", 0, [](DumpSettings& s) { s.TextReplacementChar = L'#'; }},
        {L"/Z:0xB7", 0, [](DumpSettings& s) { s.TextReplacementChar = 0xB7; }},
        {L"/Z:0x20", 0, [](DumpSettings& s) { s.TextReplacementChar = L' '; }},
        {L"/Z:126", 0, [](DumpSettings& s) { s.TextReplacementChar = L'~'; }},
        {L"/Z:\u2022", 0, [](DumpSettings& s) { s.TextReplacementChar = 0x2022; }},
        {L"/N:U /Z", DF_ASCII_ONLY, [](DumpSettings& s) { s.TextReplacementChar = L' '; }},
        {L"/H/B/UC", DF_SHOW_NAME | DF_UPPER_HEX, nullptr},  // a cluster splits into options
        {L"\"/H", DF_SHOW_NAME, nullptr},                      // an unclosed quote
    };
    for (const AcceptCase& c : cases) {
        Calls.clear();
        Captured out = Run(c.tail);
        SCOPED_TRACE(Narrow(c.tail));
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.err, L"");
        ASSERT_EQ(Calls.size(), 1u);
        EXPECT_EQ(Calls[0].name, L"-");
        EXPECT_EQ(Calls[0].flags, c.flags);
        DumpSettings expected = Defaults();
        if (c.edit) c.edit(expected);
        EXPECT_EQ(Describe(Calls[0].settings), Describe(expected));
    }
}

// ---- Rejected options -----------------------------------------------------------

struct RejectCase {
    const wchar_t* tail;
    const wchar_t* message;
};

TEST_F(CommandTest, RejectedOptionsEndTheRunBeforeAnyDump) {
    const RejectCase cases[] = {
        {L"/Y", L"Unknown option: \"/Y\""},
        {L"/hx", L"Unknown option: \"/HX\""},
        {L"/bex", L"Unknown option: \"/BEX\""},
        {L"/9", L"Unknown option: \"/9\""},
        {L"/0", L"Unknown option: \"/0\""},
        {L"/12", L"Unknown option: \"/12\""},
        {L"/$x", L"Unknown option: \"/$X\""},
        {L"/uX", L"Unknown option: \"/UX\""},
        {L"/", L"Unknown option: \"/\""},
        {L"/:", L"Unknown option: \"/:\""},
        {L"/\U0001F600", L"Unknown option: \"/\U0001F600\""},
        {L"/CPA", L"Missing code page value: \"/CPA\""},  // "A" belongs to the option name
        {L"/CP", L"Missing code page value: \"/CP\""},
        {L"/F", L"Missing format: \"/F\""},
        {L"/f:", L"Missing format: \"/F:\""},
        {L"/F:12", L"Numeric format must be 8, 10, or 16: 12"},
        {L"/F:2", L"Numeric format must be 8, 10, or 16: 2"},
        {L"/f:q", L"Bad format: \"/F:Q\""},
        {L"/F:1x", L"Bad format: \"/F:1X\""},
        {L"/F:99999999999", L"Bad format: \"/F:99999999999\""},
        {L"/G", L"Missing address width: \"/G\""},
        {L"/g:3", L"Address width must be 4 to 16: 3"},
        {L"/G:17", L"Address width must be 4 to 16: 17"},
        {L"/g:x", L"Bad address width: \"/G:X\""},
        {L"/K", L"Bad HexWidth: \"/K\""},
        {L"/k:", L"Bad HexWidth: \"/K:\""},
        {L"/k:81", L"HexWidth must be \u2264 80: 81"},
        {L"/k:x", L"Bad HexWidth: \"/K:X\""},
        {L"/K:-8", L"Bad HexWidth: \"/K:-8\""},
        {L"/ML", L"Bad MaxLines: \"/ML\""},
        {L"/ml:5x", L"Bad MaxLines: \"/ML:5X\""},
        {L"/ML:4294967296", L"Bad MaxLines: \"/ML:4294967296\""},
        {L"/N", L"Syntax error: \"/N\""},
        {L"/n:", L"Syntax error: \"/N:\""},
        {L"/N:bx", L"Unknown suboption: /N:X"},
        {L"/N::", L"Unknown suboption: /N::"},
        {L"/N:a", L"Unknown suboption: /N:A"},
        {L"/N:B\U0001F600", L"Unknown suboption: /N:\U0001F600"},  // the whole character, not half of it
        {L"/Z:A", L"Bad replacement character: \"/Z:A\""},
        {L"/z:7", L"Bad replacement character: \"/Z:7\""},
        {L"/Z:ab", L"Bad replacement character: \"/Z:AB\""},
        {L"/Z:..", L"Bad replacement character: \"/Z:..\""},
        {L"/Z:\u00e9", L"Bad replacement character: \"/Z:\u00c9\""},
        {L"/Z:0x1F", L"Bad replacement character: \"/Z:0X1F\""},
        {L"/Z:0x7F", L"Bad replacement character: \"/Z:0X7F\""},
        {L"/Z:0x41", L"Bad replacement character: \"/Z:0X41\""},
        {L"/Z:0x10000", L"Bad replacement character: \"/Z:0X10000\""},
        {L"/Z:0xD800", L"Bad replacement character: \"/Z:0XD800\""},  // half a surrogate pair is no character
        {L"/Z:56320", L"Bad replacement character: \"/Z:56320\""},     // 0xDC00
        {L"/Z:\U0001F600", L"Bad replacement character: \"/Z:\U0001F600\""},  // two units, not one
        {L"/Z:99999999999", L"Bad value for replacement character: \"/Z:99999999999\""},
        {L"/z:1x", L"Bad value for replacement character: \"/Z:1X\""},
        {L"/C", L"Missing start address: \"/C\""},
        {L"/CRX", L"Bad start address: \"/CRX\""},
        {L"/C:-x", L"Bad start address: \"/C:-X\""},
        {L"/E:-", L"Bad end address: \"/E:-\""},
        {L"/e:5y", L"Unknown multiplier: \"/e:5y\""},
        {L"/M:20000P", L"Overflow in max bytes: \"/M:20000P\""},
        {L"/M", L"Missing max bytes: \"/M\""},
        {L"/CP:932", L"Code page 932 not supported"},
        {L"/cpx", L"Missing code page value: \"/CPX\""},
        {L"/P:x", L"Syntax error: \"/P:X\""},
        {L"/P:,1001", L"Pause lines must be 0 - 1000: 1001"},
        {L"/C:100 /E:100", L"Start address must be less than end address: /C:100 \u2265 /E:100"},
        {L"/E:0x10 /C:200", L"Start address must be less than end address: /C:200 \u2265 /E:16"},
        {L"/C:-10 /E:-20", L"Start address must be less than end address: /C:-10 \u2265 /E:-20"},
        {L"/C:-10 /E:-10", L"Start address must be less than end address: /C:-10 \u2265 /E:-10"},
        {L"/K:20 /D", L"HexWidth must be a multiple of 8: 20"},
        {L"/K:24 /3", L"HexWidth must be a multiple of 9: 24"},
        {L"/5 /K:24", L"HexWidth must be a multiple of 10: 24"},
        {L"/U /K:4", L"HexWidth must be a multiple of 8: 4"},
        {L"a.txt b.txt /K:81", L"HexWidth must be \u2264 80: 81"},  // names first: still nothing dumped
        {L"/K:81 /?", L"HexWidth must be \u2264 80: 81"},
        {L"/N:X?", L"Unknown suboption: /N:X"},
    };
    for (const RejectCase& c : cases) {
        Calls.clear();
        Captured out = Run(c.tail);
        SCOPED_TRACE(Narrow(c.tail));
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.err, Prefix + c.message + L"\r\n");
        EXPECT_EQ(out.out, L"");
        EXPECT_TRUE(Calls.empty());
    }
}

TEST_F(CommandTest, NoTailIsInvalidParameter) {
    Captured out = CaptureOutput([] { return bytora(nullptr); });
    EXPECT_EQ(out.result, 87);
    EXPECT_EQ(out.err, L"");
    EXPECT_TRUE(Calls.empty());
}

TEST_F(CommandTest, TokenizerOverflowEndsTheRun) {
    Captured out = Run(std::wstring(9000, L'x'));
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.err, Prefix + L"Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n");
    EXPECT_TRUE(Calls.empty());
}

// ---- Help texts -------------------------------------------------------------------

const wchar_t FormatHelp[] =
    L"BYTORA /F:  \u2014 numeric base for values\n\n"
    L"\t/F:O  or  /F:8  \toctal\n"
    L"\t/F:D  or  /F:10 \tdecimal\n"
    L"\t/F:S  or  /F:+  \tsigned decimal\n"
    L"\t/F:H  or  /F:16 \thexadecimal  (default) \n\n"
    L"You can replace the colon with an equals sign, or just omit it. \n";

const wchar_t SuboptionHelp[] =
    L"BYTORA /N:  \u2014 disable features\n\n"
    L"\t8\tno dashes between bytes of UTF-8 characters\n"
    L"\tB\tdo not write a BOM\n"
    L"\tC\tno highlight\n"
    L"\tD\tdo not search into hidden directories (with /S)  \n"
    L"\tF\tsuppress file-not-found error messages\n"
    L"\tI\tdo not display the address field\n"
    L"\tJ\tdo not search into junctions (with /S)\n"
    L"\tQ\tno fancy Unicode quotes\n"
    L"\tT\tdo not display the text field\n"
    L"\tU\tno non-ASCII characters\n"
    L"\tZ\tdo not search into system directories (with /S)  \n\n"
    L"You can replace the colon with an equals sign, or just omit it. \n";

const wchar_t VersionLines[] = L"\r\n\t\t\t\tBytora  0.96.9.1 (x64)\r\n\t\t\t\tBytoraCmd  0.96.9.1\r\n";

struct HelpCase {
    const wchar_t* tail;
    std::wstring out;
};

TEST_F(CommandTest, HelpEndsTheRunWithSuccess) {
    const HelpCase cases[] = {
        {L"/?", UsageText},
        {L"/??", std::wstring(UsageText) + VersionLines},
        {L"/?x", UsageText},
        {L"/? /K:81 a.txt", UsageText},  // later arguments are not examined
        {L"a.txt /?", UsageText},
        {L"/F:?", FormatHelp},
        {L"/f?", FormatHelp},
        {L"/F:h?", FormatHelp},
        {L"/F=?", FormatHelp},
        {L"/N:?", SuboptionHelp},
        {L"/n?", SuboptionHelp},
        {L"/N:B? /K:81", SuboptionHelp},
    };
    for (const HelpCase& c : cases) {
        Calls.clear();
        Captured out = Run(c.tail);
        SCOPED_TRACE(Narrow(c.tail));
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.out, c.out);
        EXPECT_EQ(out.err, L"");
        EXPECT_TRUE(Calls.empty());
    }
}

TEST_F(CommandTest, QuestionMarkAfterOtherLettersIsNotHelp) {
    Captured out = Run(L"/K?");
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.err, Prefix + L"Bad HexWidth: \"/K?\"\r\n");
}

TEST_F(CommandTest, EveryRunStartsWithoutPagingOrBreak) {
    Captured out = Run(L"/P:3");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(PauseTimeMs, 3000u);  // the time-out lasts for the run that asked for it
    PageLength = LinesLeft = 7;
    BreakRequested = 1;
    out = Run(L"");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(PauseTimeMs, 0u);
    EXPECT_EQ(PageLength, 0u);
    EXPECT_EQ(LinesLeft, 0u);
    EXPECT_EQ(BreakRequested, 0);
}

// ---- Settings lines -----------------------------------------------------------------

TEST_F(CommandTest, DebugDumpPrintsTheDerivedSettingsThenDumps) {
    Captured out = Run(L"/$ /U /C:5 /E:0x20 /M:1K /G:8 /Q /F:D /N:T");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.out,
              L"   *  Flags        = 288\r\n"  // DF_UNIX | DF_NO_TEXT; DF_KEYBOARD gone with redirected output
              L"   *  StartAddress = 5\r\n"
              L"   *  EndAddress   = 32\r\n"
              L"   *  MaxBytes     = 1024\r\n"
              L"   *  HexWidth     = 16\r\n"
              L"   *  AddressWidth = 8\r\n"
              L"   *  WordLen      = 8\r\n"
              L"   *  GroupWidth   = 8\r\n"
              L"   *  Format       = 2\r\n"
              L"   *  ConsoleWidth = 100\r\n");
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].name, L"-");

    Calls.clear();
    out = Run(L"/$ /K:0 /7 /M:0x8000000000000000");
    EXPECT_EQ(out.out,
              L"   *  Flags        = 1024\r\n"
              L"   *  StartAddress = 0\r\n"
              L"   *  EndAddress   = 0\r\n"
              L"   *  MaxBytes     = 9223372036854775808\r\n"
              L"   *  HexWidth     = 0\r\n"
              L"   *  AddressWidth = 0\r\n"
              L"   *  WordLen      = 7\r\n"
              L"   *  GroupWidth   = 7\r\n"
              L"   *  Format       = 0\r\n"
              L"   *  ConsoleWidth = 80\r\n");
    EXPECT_EQ(Calls.size(), 1u);
}

// ---- Byte-order mark and the host's output mode ----------------------------------------

class ScopedHost {
public:
    ScopedHost(int major, int minor, int build, const wchar_t* output)
        : major_(HostMajor), minor_(HostMinor), build_(HostBuild) {
        HostMajor = major;
        HostMinor = minor;
        HostBuild = build;
        wchar_t old[64];
        DWORD n = GetEnvironmentVariableW(L"BYTORA_HOST_OUTPUT", old, 64);
        had_ = n > 0 && n < 64;
        if (had_) old_ = old;
        SetEnvironmentVariableW(L"BYTORA_HOST_OUTPUT", output);
    }
    ~ScopedHost() {
        HostMajor = major_;
        HostMinor = minor_;
        HostBuild = build_;
        SetEnvironmentVariableW(L"BYTORA_HOST_OUTPUT", had_ ? old_.c_str() : nullptr);
    }
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;

private:
    int32_t major_, minor_, build_;
    bool had_ = false;
    std::wstring old_;
};

TEST(HostOutputModeTest, UnicodeThenVersionThenUtf8Option) {
    const struct {
        int major, minor, build;
        const wchar_t* output;
        int mode;
    } cases[] = {
        {28, 1, 62, L"unicode", 16}, {-1, -1, -1, L"unicode", 16}, {28, 1, 62, L"utf8", 8},
        {13, 4, 46, L"utf8", 8},     {13, 4, 45, L"utf8", 0},      {13, 3, 999, L"utf8", 0},
        {12, 99, 999, L"utf8", 0},   {14, 0, 0, L"utf8", 8},       {13, 5, 0, L"utf8", 8},
        {-1, -1, -1, L"utf8", 0},    {28, 1, 62, L"ansi", 0},
    };
    for (const auto& c : cases) {
        ScopedHost host(c.major, c.minor, c.build, c.output);
        EXPECT_EQ(HostOutputMode(), c.mode) << c.major << "." << c.minor << " build " << c.build << " " << Narrow(c.output);
    }
}

TEST_F(CommandTest, ByteOrderMarkGoesFirstToRedirectedUnicodeOutput) {
    {
        ScopedHost host(28, 1, 62, L"utf8");
        Captured out = Run(L"/$");
        EXPECT_EQ(out.outBytes.substr(0, 3), "\xEF\xBB\xBF");
        EXPECT_EQ(out.outBytes.substr(3, 10), "   *  Flag");
        out = Run(L"/N:B /$");
        EXPECT_EQ(out.outBytes.substr(0, 10), "   *  Flag");
        out = Run(L"/K:20 /D");  // the check after the mark fails: the mark is out already
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.outBytes, "\xEF\xBB\xBF");
    }
    {
        ScopedHost host(28, 1, 62, L"unicode");
        Captured out = Run(L"");
        EXPECT_EQ(out.outBytes, std::string("\xFF\xFE", 2));
    }
    {
        ScopedHost host(13, 4, 45, L"utf8");
        Captured out = Run(L"");
        EXPECT_EQ(out.outBytes, "");
    }
}

// ---- Driving the dump ----------------------------------------------------------------

class DriveTest : public CommandTest {
protected:
    void SetUp() override {
        CommandTest::SetUp();
        dir_ = MakeTempDir();
        ASSERT_FALSE(dir_.empty());
        a_ = dir_ + L"\\a.txt";
        b_ = dir_ + L"\\b.txt";
        ASSERT_TRUE(WriteBytes(a_, "a"));
        ASSERT_TRUE(WriteBytes(b_, "b"));
    }
    void TearDown() override {
        RemoveTree(dir_);
        CommandTest::TearDown();
    }
    std::wstring Names() const {
        std::wstring names;
        for (const Call& c : Calls) {
            if (!names.empty()) names += L' ';
            names += EndsWithIgnoreCase(c.name, L"\\a.txt") ? L"a" : EndsWithIgnoreCase(c.name, L"\\b.txt") ? L"b" : c.name;
        }
        return names;
    }
    std::wstring dir_, a_, b_;
};

TEST_F(DriveTest, RedirectedInputComesFirstThenEveryName) {
    const struct {
        std::wstring tail;
        std::wstring names;
    } cases[] = {
        {L"\"" + a_ + L"\" \"" + b_ + L"\"", L"- a b"},
        {L"\"" + b_ + L"\" /H \"" + a_ + L"\"", L"- b a"},
        {L"- \"" + a_ + L"\"", L"- a"},  // "-" named: only where it stands
        {L"\"" + a_ + L"\" -", L"a -"},
        {L"\"" + a_ + L"\" - \"" + b_ + L"\"", L"a - b"},
        {L"-", L"-"},
    };
    for (const auto& c : cases) {
        Calls.clear();
        Captured out = Run(c.tail);
        SCOPED_TRACE(Narrow(c.tail));
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(Names(), c.names);
    }
}

TEST_F(DriveTest, EveryInputGetsTheSameSettings) {
    Captured out = Run(L"\"" + a_ + L"\" /HH /K:8 \"" + b_ + L"\" /F:O");
    EXPECT_EQ(out.result, 0);
    ASSERT_EQ(Calls.size(), 3u);
    DumpSettings expected = Defaults();
    expected.HexWidth = 8;
    expected.Format = 1;
    for (const Call& c : Calls) {
        EXPECT_EQ(c.flags, DF_SHOW_NAME | DF_SHOW_DETAILS);
        EXPECT_EQ(Describe(c.settings), Describe(expected));
    }
}

TEST_F(DriveTest, DoubleMinusIsANameNotStandardInput) {
    // "--" names a file (there is none), so redirected input still comes first.
    Captured out = Run(L"--");
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(Names(), L"-");
    EXPECT_NE(out.err, L"");
}

TEST_F(DriveTest, FailuresGiveTwoAndABreakStopsAtOnce) {
    const struct {
        std::vector<int> results;
        int exitCode;
        std::wstring names;
    } cases[] = {
        {{0, 0, 0}, 0, L"- a b"},
        {{5, 0, 0}, 2, L"- a b"},   // a failed standard input still lets the files go
        {{0, -1, 0}, 2, L"- a b"},
        {{0, 0, -2}, 2, L"- a b"},
        {{-3}, 3, L"-"},
        {{0, -3, 0}, 3, L"- a"},
        {{1, -3}, 3, L"- a"},
    };
    for (const auto& c : cases) {
        Calls.clear();
        Results = c.results;
        Captured out = Run(L"\"" + a_ + L"\" \"" + b_ + L"\"");
        EXPECT_EQ(out.result, c.exitCode);
        EXPECT_EQ(Names(), c.names);
    }
    Results.clear();
}

// ---- With a console ---------------------------------------------------------------------

TEST_F(CommandTest, ConsoleOutputKeepsTheKeyboardAndMeasuresTheWindow) {
    ScopedConsoleOutput console;
    if (!console.ok()) GTEST_SKIP() << "no console";
    const struct {
        short width;
        uint32_t consoleWidth;
    } cases[] = {{120, 120}, {22, 22}, {400, 400}, {21, 100}, {401, 100}};
    for (const auto& c : cases) {
        if (!console.SetWindow(c.width, 30)) GTEST_SKIP() << "cannot size the console window to " << c.width;
        Calls.clear();
        std::wstring tail = L"/N:C";
        EXPECT_EQ(bytora(tail.data()), 0);
        ASSERT_EQ(Calls.size(), 1u);
        EXPECT_EQ(Calls[0].flags, DF_KEYBOARD) << c.width;
        EXPECT_EQ(Calls[0].settings.ConsoleWidth, c.consoleWidth) << c.width;
        tail = L"/N:CH";
        Calls.clear();
        EXPECT_EQ(bytora(tail.data()), 0);
        ASSERT_EQ(Calls.size(), 1u);
        EXPECT_EQ(Calls[0].flags, 0u);
    }
}

TEST_F(CommandTest, ConsoleInputIsReadOnlyWhenNothingIsNamed) {
    ScopedConsoleOutput console;
    if (!console.ok() || !console.UseConsoleInput()) GTEST_SKIP() << "no console input";
    std::wstring dir = MakeTempDir();
    std::wstring file = dir + L"\\c.txt";
    ASSERT_TRUE(WriteBytes(file, "c"));
    std::wstring tail = L"/N:C \"" + file + L"\"";
    EXPECT_EQ(bytora(tail.data()), 0);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_TRUE(EndsWithIgnoreCase(Calls[0].name, L"\\c.txt"));
    Calls.clear();
    tail = L"/N:C";
    EXPECT_EQ(bytora(tail.data()), 0);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].name, L"-");
    RemoveTree(dir);
}

}  // namespace
