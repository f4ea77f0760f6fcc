// The BYTORA command: turns the command tail into the run settings, checks
// and completes them, prepares the console, and drives the dump of standard
// input and every file argument.
#include "command/CommandInternal.h"
#include "console/Console.h"
#include "dump/Dump.h"
#include "filesel/FileSel.h"
#include "plugin/Plugin.h"
#include "plugin/Version.h"

#include <cstring>

DumpCallback CommandDumpInput = DumpInput;

namespace {

// Window width of a console screen buffer, or the fallback.
uint32_t WindowWidth(HANDLE handle, uint32_t fallback) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (handle && handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
        int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width >= 22 && width <= 400) return static_cast<uint32_t>(width);
    }
    return fallback;
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
