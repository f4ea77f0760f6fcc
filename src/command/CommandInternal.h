// Pieces the files of the command share; no other room includes this.
#pragma once
#include "command/Command.h"
#include "filesel/FileSel.h"

#include <cwchar>

// Case-blind comparisons for ASCII letters only, as options are matched.
inline wchar_t FoldAscii(wchar_t ch) { return (ch >= L'a' && ch <= L'z') ? static_cast<wchar_t>(ch - 32) : ch; }

inline bool PrefixIgnoreCase(const wchar_t* arg, const wchar_t* text) {
    for (; *text; ++arg, ++text)
        if (FoldAscii(*arg) != FoldAscii(*text)) return false;
    return true;
}

inline bool EqualsIgnoreCase(const wchar_t* arg, const wchar_t* text) {
    return PrefixIgnoreCase(arg, text) && arg[wcslen(text)] == L'\0';
}

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

// Reads every argument left to right into run: the command's own options,
// then the file-selection options; what remains are names. Next, or the exit
// code that ends the run.
int ExamineArguments(Run& run);
