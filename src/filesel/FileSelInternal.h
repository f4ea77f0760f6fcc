// Pieces the file-selection library shares between its own source files.
#pragma once
#include "filesel/FileSel.h"
#include "input/Input.h"

// Units in every path buffer of the library: 32767 characters and the terminator.
constexpr size_t PathCapacity = 32768;

// Copies first and second (either may be null) into out (PathCapacity units)
// when both fit.
bool Concatenate(wchar_t* out, const wchar_t* first, size_t firstLength, const wchar_t* second);

// The walk of one file argument that names files (not a list, an address,
// the clipboard or standard input): FileHandler's arguments, and the result
// an exception in the callback stands for.
int WalkFiles(const wchar_t* fileSpec, uint32_t callbackFlags, void* callbackData, FileCallback callback,
              uint32_t handlerFlags, uint32_t attributeMask, uint32_t attributeValue, Range* ranges,
              int32_t minDepth, int32_t maxDepth, int exceptionResult);

// The result an exception in the callback stands for.
inline int ExceptionResult(uint32_t handlerFlags) { return (handlerFlags & FH_EXCEPTION_200) ? -200 : -3; }

// Calls the callback behind the library's one exception guard. An exception
// is reported on the console and turns into exceptionResult; threw (optional)
// tells the caller which way the call ended.
int CallFileCallback(FileCallback callback, const wchar_t* fileName, uint32_t callbackFlags, void* callbackData,
                     int exceptionResult, bool* threw);

// The console attribute the exception report is written in, chosen from the
// attribute the console had before.
int ExceptionReportAttribute(int attribute);

inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
inline bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
inline bool IsAsciiLetterOrDigit(wchar_t c) { return IsAsciiLetter(c) || (c >= L'0' && c <= L'9'); }

// Takes the "." and ".." steps and empty components out of a path with "\"
// separators, in one pass; the last component stays as it is, as do "\\?\"
// and "\\.\" names. out may not be in; returns the length written.
size_t CollapseDotComponents(const wchar_t* in, wchar_t* out);

// The walk keeps the subfolders its search for files meets, so as not to
// list a folder twice, up to this many units of records (128 KiB); a folder
// with more is listed again. Tests lower it.
extern size_t MaxSubfolderUnits;

// The files a walk has chosen in one folder and not yet passed to the
// callback: up to MaxCount names, fewer when they are long. Gathering them
// first lets the read-ahead open and read the later ones while the earlier
// ones are dumped; the callback still gets them one at a time, in the order
// they were found, and the walk passes them all on before it enters a
// subfolder, writes a message or leaves the folder. Command thread only.
struct ChosenFiles {
    static constexpr size_t MaxCount = 32;
    // Room for a name of any length when nothing else is held.
    static constexpr size_t TextCapacity = 2 * PathCapacity;

    // False when there is no room for it: pass the others on first.
    bool Add(const wchar_t* name, uint64_t size);
    const wchar_t* Name(size_t i) const { return Text + Start[i]; }
    void Clear() { Count = Used = 0; }

    ReadAhead Reader;
    size_t Count = 0;
    size_t Used = 0;
    // Set once a file was passed on: from then on a break that is seen came
    // during this walk (the dump clears the flag when it starts an input).
    bool PassedOn = false;
    uint32_t Start[MaxCount];
    uint64_t Size[MaxCount];
    wchar_t Text[TextCapacity];
};
