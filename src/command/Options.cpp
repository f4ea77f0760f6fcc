// The command's options: one handler each, the table that matches an
// argument to its handler, and the examination of the arguments.
#include "command/CommandInternal.h"
#include "console/Console.h"
#include "plugin/Plugin.h"

#include <cstring>

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

wchar_t UpperChar(wchar_t ch) {
    CharUpperBuffW(&ch, 1);
    return ch;
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

}  // namespace

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
