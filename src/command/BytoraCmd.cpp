// The BYTORA command: turns the command tail into the run settings, checks
// and completes them, prepares the console, and drives the dump of standard
// input and every file argument.
#include "command/Command.h"
#include "console/Console.h"
#include "dump/Dump.h"
#include "filesel/FileSel.h"
#include "plugin/Plugin.h"
#include "plugin/Version.h"

#include <cstring>

DumpCallback CommandDumpInput = DumpInput;

namespace {

constexpr uint32_t MaxHexWidth = 80;

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

// Everything one run builds. The range list is owned here so that it is
// freed on every way out of the command.
struct Run {
    DumpSettings settings{};
    uint32_t flags = DefaultFlags;
    bool debugDump = false;
    bool writeBom = true;
    bool noHighlight = false;
    bool stdinNamed = false;
    bool namesGiven = false;
    int32_t pauseLines = 0;
    int result = 0;
    uint32_t handlerFlags = FH_ALTERNATIVES | FH_PASS_STDIN | FH_PASS_CLIPBOARD | FH_LIST_FILES | FH_PASS_URLS;
    uint32_t attributeMask = FILE_ATTRIBUTE_DIRECTORY;
    uint32_t attributeValue = 0;
    int32_t minDepth = 0;
    int32_t maxDepth = -1;
    Range* ranges = nullptr;

    Run() = default;
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    ~Run() { FreeRanges(ranges); }
};

// An option handler's verdict: go on with the next argument, or end the run
// with the exit code it returns.
constexpr int Next = -1;

wchar_t UpperChar(wchar_t ch) {
    CharUpperBuffW(&ch, 1);
    return ch;
}

wchar_t FoldAscii(wchar_t ch) { return (ch >= L'a' && ch <= L'z') ? static_cast<wchar_t>(ch - 32) : ch; }

bool PrefixIgnoreCase(const wchar_t* arg, const wchar_t* text) {
    for (; *text; ++arg, ++text)
        if (FoldAscii(*arg) != FoldAscii(*text)) return false;
    return true;
}

bool EqualsIgnoreCase(const wchar_t* arg, const wchar_t* text) {
    return PrefixIgnoreCase(arg, text) && arg[wcslen(text)] == L'\0';
}


// The value of an option: after its letters, one ":" or "=" skipped.
wchar_t* OptionValue(wchar_t* arg, size_t letters) {
    wchar_t* v = arg + letters;
    if (*v == L':' || *v == L'=') ++v;
    return v;
}

// A replacement character must stand out from the text around it.
bool IsPlainMark(wchar_t ch) {
    // Half of a surrogate pair is no character at all: alone in the text
    // field it would make the output ill-formed.
    if (IS_HIGH_SURROGATE(ch) || IS_LOW_SURROGATE(ch)) return false;
    WORD type = 0;
    if (!GetStringTypeW(CT_CTYPE1, &ch, 1, &type)) return false;
    return (type & (C1_CNTRL | C1_ALPHA | C1_DIGIT)) == 0;
}

// Window width of a console screen buffer, or the fallback.
uint32_t WindowWidth(HANDLE handle, uint32_t fallback) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (handle && handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
        int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width >= 22 && width <= 400) return static_cast<uint32_t>(width);
    }
    return fallback;
}

// ---- Option handlers -------------------------------------------------------

int ShowUsageOption(Run& run, wchar_t* arg) {
    ShowUsage(arg[2] == L'?');
    return run.result;
}

int SetWordLen(Run& run, uint32_t len) {
    run.settings.WordLen = len;
    return Next;
}

int SetFlags(Run& run, uint32_t bits) {
    run.flags |= bits;
    return Next;
}

int SetLineEnding(Run& run, const wchar_t* ending) {
    wcscpy(run.settings.LineEnding, ending);
    return Next;
}

// "/C" and "/E": a value "-n" counts from the end of the input.
int AddressOption(wchar_t* arg, const wchar_t* name, uint64_t* fromStart, uint64_t* fromEnd) {
    int index = 2;
    if (arg[index] == L':' || arg[index] == L'=') ++index;
    int rc = (arg[index] == L'-' && IsDecimalDigit(arg[index + 1]))
                 ? ParseSizeArgument(arg, index + 1, name, fromEnd)
                 : ParseSizeArgument(arg, 2, name, fromStart);
    return rc == 0 ? Next : 1;
}

int FormatOption(Run& run, wchar_t* arg) {
    CharUpperW(arg);
    wchar_t* v = OptionValue(arg, 2);
    if (*v == L'\0') {
        ReportError(L"Missing format: \"%s\"\r\n", arg);
        return 1;
    }
    if (wcschr(arg, L'?')) {
        QPuts(FormatHelp);
        return run.result;
    }
    uint32_t format;
    switch (*v) {
        case L'O': format = 1; break;
        case L'D': format = 2; break;
        case L'S': case L'+': case L'-': format = 3; break;
        case L'H': case L'X': format = 0; break;
        default: {
            uint32_t base = 0;
            if (ParseUnsigned(v, &base, nullptr) != 0) {
                ReportError(L"Bad format: \"%s\"\r\n", arg);
                return 1;
            }
            if (base == 0 || base == 16) format = 0;
            else if (base == 8) format = 1;
            else if (base == 10) format = 2;
            else {
                ReportError(L"Numeric format must be 8, 10, or 16: %u\r\n", base);
                return 1;
            }
        }
    }
    run.settings.Format = format;
    return Next;
}

int AddressWidthOption(Run& run, wchar_t* arg) {
    CharUpperW(arg);
    wchar_t* v = OptionValue(arg, 2);
    if (*v == L'\0') {
        ReportError(L"Missing address width: \"%s\"\r\n", arg);
        return 1;
    }
    uint32_t width = 0;
    if (ParseUnsigned(v, &width, nullptr) != 0) {
        ReportError(L"Bad address width: \"%s\"\r\n", arg);
        return 1;
    }
    if (width != 0 && (width < 4 || width > 16)) {
        ReportError(L"Address width must be 4 to 16: %u\r\n", width);
        return 1;
    }
    run.settings.AddressWidth = width;
    return Next;
}

int HexWidthOption(Run& run, wchar_t* arg) {
    uint32_t width = 0;
    if (ParseUnsigned(OptionValue(arg, 2), &width, nullptr) != 0) {
        CharUpperW(arg);
        ReportError(L"Bad HexWidth: \"%s\"\r\n", arg);
        return 1;
    }
    if (width > MaxHexWidth) {
        ReportError(L"HexWidth must be \u2264 %u: %u\r\n", MaxHexWidth, width);
        return 1;
    }
    run.settings.HexWidth = width;
    if (width == 0) run.flags |= DF_FIT_CONSOLE;
    else run.flags &= ~DF_FIT_CONSOLE;
    return Next;
}

int MaxLinesOption(Run& run, wchar_t* arg) {
    uint32_t lines = 0;
    if (ParseUnsigned(OptionValue(arg, 3), &lines, nullptr) != 0) {
        CharUpperW(arg);
        ReportError(L"Bad MaxLines: \"%s\"\r\n", arg);
        return 1;
    }
    run.settings.MaxLines = lines;
    return Next;
}

int SuboptionsOption(Run& run, wchar_t* arg) {
    wchar_t* v = OptionValue(arg, 2);
    if (*v == L'\0') {
        CharUpperW(arg);
        ReportError(L"Syntax error: \"%s\"\r\n", arg);
        return 1;
    }
    for (; *v; ++v) {
        wchar_t letter = UpperChar(*v);
        switch (letter) {
            case L'8': run.flags |= DF_NO_UTF8_DASHES; break;
            case L'B': run.writeBom = false; break;
            case L'C': run.noHighlight = true; break;
            case L'D': run.handlerFlags |= FH_SKIP_HIDDEN_DIRS; break;
            case L'E': run.flags |= DF_NO_EBCDIC; break;
            case L'F': run.handlerFlags |= FH_QUIET; break;
            case L'H': run.flags &= ~DF_KEYBOARD; break;
            case L'I': run.flags |= DF_NO_ADDRESS; break;
            case L'J': run.handlerFlags |= FH_SKIP_JUNCTIONS; break;
            case L'L': run.flags |= DF_NO_TRAILING_BLANK; break;
            case L'Q': run.flags |= DF_PLAIN_QUOTES; break;
            case L'T': run.flags |= DF_NO_TEXT; break;
            case L'U': run.flags |= DF_ASCII_ONLY; break;
            case L'Z': run.handlerFlags |= FH_SKIP_SYSTEM_DIRS; break;
            case L'?':
                QPuts(SuboptionHelp);
                return run.result;
            default: {
                // A character beyond the basic plane is two units: show both
                // rather than half a character.
                wchar_t shown[3] = {letter, L'\0', L'\0'};
                if (IS_SURROGATE_PAIR(v[0], v[1])) {
                    shown[0] = v[0];
                    shown[1] = v[1];
                    CharUpperBuffW(shown, 2);
                }
                ReportError(L"Unknown suboption: /N:%s\r\n", shown);
                return 1;
            }
        }
    }
    return Next;
}

int ReplacementOption(Run& run, wchar_t* arg) {
    wchar_t* v = OptionValue(arg, 2);
    wchar_t ch = L' ';
    if (IsDecimalDigit(*v)) {
        uint32_t code = 0;
        if (ParseUnsigned(v, &code, nullptr) != 0) {
            CharUpperW(arg);
            ReportError(L"Bad value for replacement character: \"%s\"\r\n", arg);
            return 1;
        }
        if (code < 0x20 || code > 0xFFFF || !IsPlainMark(static_cast<wchar_t>(code))) {
            CharUpperW(arg);
            ReportError(L"Bad replacement character: \"%s\"\r\n", arg);
            return 1;
        }
        ch = static_cast<wchar_t>(code);
    } else if (*v != L'\0') {
        if (v[1] != L'\0' || !IsPlainMark(*v)) {
            CharUpperW(arg);
            ReportError(L"Bad replacement character: \"%s\"\r\n", arg);
            return 1;
        }
        ch = *v;
    }
    run.settings.TextReplacementChar = ch;
    return Next;
}

// ---- The option table --------------------------------------------------------
// Tried in this order; the first test that matches decides, so an earlier
// prefix test wins over a later whole-argument test.

enum class Match {
    CasePrefix,  // the first characters, case-sensitive
    WordDigit,   // "/" and one digit 1 to 8, nothing else
    Whole,       // the whole argument, ignoring case
    Prefix,      // the first characters, ignoring case
};

struct OptionTest {
    const wchar_t* text;
    Match match;
    int (*action)(Run& run, wchar_t* arg);
};

const OptionTest OptionTests[] = {
    {L"/?", Match::CasePrefix, ShowUsageOption},
    {L"/$", Match::Whole, [](Run& run, wchar_t*) { run.debugDump = true; return Next; }},
    {L"/", Match::WordDigit, [](Run& run, wchar_t* arg) { return SetWordLen(run, arg[1] - L'0'); }},
    {L"/B", Match::Whole, [](Run& run, wchar_t*) { return SetWordLen(run, 1); }},
    {L"/BE", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_BIG_ENDIAN); }},
    {L"/BOM", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_DUMP_BOM); }},
    {L"/CP", Match::Prefix,
     [](Run& run, wchar_t* arg) {
         return ParseCodePage(arg, &run.settings.CodePage, &run.settings.EbcdicCodePage) == 0 ? Next : 1;
     }},
    {L"/CR", Match::Whole, [](Run& run, wchar_t*) { return SetLineEnding(run, L"\r"); }},
    {L"/CRLF", Match::Whole, [](Run& run, wchar_t*) { return SetLineEnding(run, L"\r\n"); }},
    {L"/C", Match::Prefix,
     [](Run& run, wchar_t* arg) {
         return AddressOption(arg, L"start address", &run.settings.StartAddress, &run.settings.StartFromEnd);
     }},
    {L"/D", Match::Whole, [](Run& run, wchar_t*) { return SetWordLen(run, 4); }},
    {L"/E", Match::Prefix,
     [](Run& run, wchar_t* arg) {
         return AddressOption(arg, L"end address", &run.settings.EndAddress, &run.settings.EndFromEnd);
     }},
    {L"/F", Match::Prefix, FormatOption},
    {L"/G", Match::Prefix, AddressWidthOption},
    {L"/H", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_SHOW_NAME); }},
    {L"/HH", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_SHOW_NAME | DF_SHOW_DETAILS); }},
    {L"/I", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_TOTALS); }},
    {L"/J", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_ALT_LINES); }},
    {L"/K", Match::Prefix, HexWidthOption},
    {L"/LE", Match::Whole, [](Run& run, wchar_t*) { run.flags &= ~DF_BIG_ENDIAN; return Next; }},
    {L"/LF", Match::Whole, [](Run& run, wchar_t*) { return SetLineEnding(run, L"\n"); }},
    {L"/ML", Match::Prefix, MaxLinesOption},
    {L"/M", Match::Prefix,
     [](Run& run, wchar_t* arg) {
         return ParseSizeArgument(arg, 2, L"max bytes", &run.settings.MaxBytes) == 0 ? Next : 1;
     }},
    {L"/N", Match::Prefix, SuboptionsOption},
    {L"/P", Match::Prefix, [](Run& run, wchar_t* arg) { return ParsePauseOption(arg, &run.pauseLines) == 0 ? Next : 1; }},
    {L"/Q", Match::Whole, [](Run& run, wchar_t*) { return SetWordLen(run, 8); }},
    {L"/U", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_UNIX); }},
    {L"/UC", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_UPPER_HEX); }},
    {L"/W", Match::Whole, [](Run& run, wchar_t*) { return SetWordLen(run, 2); }},
    {L"/X", Match::Whole, [](Run& run, wchar_t*) { return SetFlags(run, DF_CONTROL_PICTURES); }},
    {L"/Z", Match::Whole, [](Run& run, wchar_t*) { run.settings.TextReplacementChar = L' '; return Next; }},
    {L"/Z", Match::Prefix, ReplacementOption},
};

bool Matches(const OptionTest& test, const wchar_t* arg) {
    switch (test.match) {
        case Match::CasePrefix: return wcsncmp(arg, test.text, wcslen(test.text)) == 0;
        case Match::WordDigit: return arg[0] == L'/' && arg[1] >= L'1' && arg[1] <= L'8' && arg[2] == L'\0';
        case Match::Whole: return EqualsIgnoreCase(arg, test.text);
        case Match::Prefix: return PrefixIgnoreCase(arg, test.text);
    }
    return false;
}

// Anything that is not one of the command's own options: a file-selection
// option, a name, or "-" for standard input.
int OtherArgument(Run& run, wchar_t* arg) {
    int rc = ParseFileSelectionOption(arg, &run.attributeMask, &run.attributeValue, &run.handlerFlags, &run.minDepth,
                                      &run.maxDepth, &run.ranges);
    if (rc > 0) return Next;
    if (rc < 0) return 1;
    if (arg[0] == L'/') {
        CharUpperW(arg);
        ReportError(L"Unknown option: \"%s\"\r\n", arg);
        return 1;
    }
    if (wcscmp(arg, L"-") == 0) run.stdinNamed = true;
    else run.namesGiven = true;
    return Next;
}

int ExamineArguments(Run& run) {
    for (int i = 0; i < ArgCount; ++i) {
        if (ArgLength[i] == 0) continue;
        wchar_t* arg = ArgVector[i];
        int verdict = Next;
        bool matched = false;
        for (const OptionTest& test : OptionTests) {
            if (Matches(test, arg)) {
                verdict = test.action(run, arg);
                matched = true;
                break;
            }
        }
        if (!matched) verdict = OtherArgument(run, arg);
        if (verdict != Next) return verdict;
    }
    return Next;
}

// The checks and derivations after the last argument, in their fixed order.
int CompleteSettings(Run& run) {
    DumpSettings& s = run.settings;
    if (s.EndAddress != 0 && s.StartAddress >= s.EndAddress) {
        ReportError(L"Start address must be less than end address: /C:%I64u \u2265 /E:%I64u\r\n",
                    static_cast<unsigned long long>(s.StartAddress), static_cast<unsigned long long>(s.EndAddress));
        return 1;
    }
    if (s.StartFromEnd != 0 && s.EndFromEnd != 0 && s.StartFromEnd <= s.EndFromEnd) {
        ReportError(L"Start address must be less than end address: /C:-%I64u \u2265 /E:-%I64u\r\n",
                    static_cast<unsigned long long>(s.StartFromEnd), static_cast<unsigned long long>(s.EndFromEnd));
        return 1;
    }
    if (s.WordLen == 0) s.WordLen = 1;
    switch (s.WordLen) {
        case 3: s.GroupWidth = 9; break;
        case 5: s.GroupWidth = 10; break;
        case 6: s.GroupWidth = 12; break;
        case 7: s.GroupWidth = 7; break;
        default: s.GroupWidth = 8; break;
    }
    if (run.flags & DF_UNIX) {
        if (s.HexWidth == 0) s.HexWidth = 2 * s.GroupWidth;
        if (s.LineEnding[0] == L'\0') wcscpy(s.LineEnding, L"\n");
    }
    if (s.TextReplacementChar == 0 && (run.flags & (DF_UNIX | DF_ASCII_ONLY))) s.TextReplacementChar = L'.';
    if (s.LineEnding[0] == L'\0') wcscpy(s.LineEnding, L"\r\n");
    if (run.pauseLines != 0) SetPageLength(static_cast<uint32_t>(run.pauseLines));
    int highlight = SetupHighlight(run.noHighlight);

    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    bool outIsConsole = IsConsole(out);
    if (run.writeBom && !outIsConsole && HostOutputMode() != 0) QPutc(out, 0xFEFF);
    if (!outIsConsole) run.flags &= ~DF_KEYBOARD;
    if (highlight == 0) run.flags &= ~DF_ALT_LINES;
    s.ConsoleWidth = WindowWidth(out, 100);
    if (run.flags & DF_FIT_CONSOLE) {
        s.HexWidth = 0;
        s.ConsoleWidth = WindowWidth(ConsoleOut, 80);
    }
    if (s.HexWidth != 0 && s.HexWidth % s.GroupWidth != 0) {
        ReportError(L"HexWidth must be a multiple of %u: %u\r\n", s.GroupWidth, s.HexWidth);
        return 1;
    }
    if (run.debugDump) {
        Printf(L"   *  Flags        = %u\r\n", run.flags);
        Printf(L"   *  StartAddress = %I64u\r\n", static_cast<unsigned long long>(s.StartAddress));
        Printf(L"   *  EndAddress   = %I64u\r\n", static_cast<unsigned long long>(s.EndAddress));
        Printf(L"   *  MaxBytes     = %I64u\r\n", static_cast<unsigned long long>(s.MaxBytes));
        Printf(L"   *  HexWidth     = %u\r\n", s.HexWidth);
        Printf(L"   *  AddressWidth = %u\r\n", s.AddressWidth);
        Printf(L"   *  WordLen      = %u\r\n", s.WordLen);
        Printf(L"   *  GroupWidth   = %u\r\n", s.GroupWidth);
        Printf(L"   *  Format       = %u\r\n", s.Format);
        Printf(L"   *  ConsoleWidth = %u\r\n", s.ConsoleWidth);
    }
    return Next;
}

// Standard input first when it is redirected (or nothing else was named),
// then every file argument. Returns the exit code.
int DriveDump(Run& run) {
    if (!run.stdinNamed && (!IsConsole(GetStdHandle(STD_INPUT_HANDLE)) || !run.namesGiven)) {
        int rc = CommandDumpInput(L"-", run.flags, &run.settings);
        if (rc == -3) return 3;
        if (rc != 0) run.result = 2;
    }
    for (int i = 0; i < ArgCount; ++i) {
        if (ArgLength[i] == 0 || ArgVector[i][0] == L'/') continue;
        int rc = FileHandler(ArgVector[i], run.flags, &run.settings, CommandDumpInput, run.handlerFlags,
                             run.attributeMask, run.attributeValue, run.ranges, run.minDepth, run.maxDepth);
        if (rc == -3) return 3;
        if (rc != 0) run.result = 2;
    }
    return run.result;
}

// Errors of a write whose reader has gone away (a pipe closed at the other
// end, a closed handle): the run stops without a word, as console tools do.
bool ReaderWentAway(uint32_t error) {
    switch (error) {
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
        case ERROR_PIPE_NOT_CONNECTED:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

// The end of every run: has all of standard output got through? The host is
// asked to write out what it still holds, and a failure it met decides the
// exit code: 3 when the reader went away, else 2 with one message. A bad
// option keeps its 1.
int FinishOutput(int code) {
    if (!OutputError) {
        tty_yield(0);
        if (QPuts(L"") < 0) NoteOutputFailure();
    }
    if (!OutputError) return code;
    const bool quiet = ReaderWentAway(OutputError);
    if (!quiet) {
        wchar_t text[1024];
        FormatErrorText(static_cast<int>(OutputError), text);
        ReportError(L"Error writing standard output: %s\r\n", text);
    }
    if (code == 1) return code;
    return quiet ? 3 : 2;
}

int RunCommand(wchar_t* tail) {
    Run run;
    ResetPaging();
    BreakRequested = 0;
    OutputError = 0;
    if (TokenizeArguments(tail) < 0) return 1;
    int verdict = ExamineArguments(run);
    if (verdict != Next) return verdict;
    verdict = CompleteSettings(run);
    if (verdict != Next) return verdict;
    return DriveDump(run);
}

}  // namespace

void ShowUsage(bool versions) {
    QPuts(UsageText);
    if (!versions) return;
#if defined(_M_ARM64) || defined(__aarch64__)
    const wchar_t* platform = L"ARM64";
#elif defined(_WIN64)
    const wchar_t* platform = L"x64";
#else
    const wchar_t* platform = L"x86";
#endif
    Printf(L"\r\n\t\t\t\t%s  %u.%u.%u.%u (%s)\r\n", PluginName, BYTORA_VERSION_MAJOR, BYTORA_VERSION_MINOR,
           BYTORA_VERSION_BUILD, BYTORA_VERSION_REVISION, platform);
    Printf(L"\t\t\t\t%s  %s\r\n", L"BytoraCmd", L"" BYTORA_VERSION_TEXT);
}

int HostOutputMode(void) {
    if (QueryUnicodeOutput()) return 16;
    if (HostMajor < 13 || (HostMajor == 13 && HostMinor < 4) || (HostMajor == 13 && HostMinor == 4 && HostBuild < 46))
        return 0;
    static wchar_t expansion[8192];
    wcscpy(expansion, L"%@option[utf8output]");
    ExpandVariables(expansion, 1);
    expansion[8191] = L'\0';
    return EqualsIgnoreCase(expansion, L"yes") ? 8 : 0;
}

extern "C" int WINAPI bytora(wchar_t* tail) {
    if (!tail) return 87;
    return FinishOutput(RunCommand(tail));
}
