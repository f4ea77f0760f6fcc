// Pieces the file-selection library shares between its own source files.
#pragma once
#include "filesel/FileSel.h"

// Units in every path buffer of the library: 32767 characters and the terminator.
constexpr size_t PathCapacity = 32768;

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
