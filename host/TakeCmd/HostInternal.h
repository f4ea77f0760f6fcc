// Shared by the stand-in host's own source files; not exported.
#pragma once
#include <windows.h>
#include <cstddef>

namespace host {

enum class OutputMode { Utf8, Unicode, Ansi };

// Reads BYTORA_HOST_OUTPUT afresh, so that a test or a user can switch modes
// while the process runs; the writers keep the answer until HostFlush or a
// change of standard output.
OutputMode CurrentOutputMode();

// Writes any buffered standard output to its handle.
void FlushStandardOutput();

// Writes out what is buffered and says whether standard output is still
// good: 0, or -1 with the error of the first failed write as the last error.
// Unlike HostFlush it keeps the failure, so the command still sees it.
int YieldOutput();

// Copies the environment variable into out (capacity units, terminator
// included); returns its length, 0 when undefined, or -1 when it does not fit.
int ReadEnvironment(const wchar_t* name, wchar_t* out, size_t capacity);

// Single-character case folding for case-insensitive comparisons.
wchar_t FoldCase(wchar_t ch);

// The description of the file name (no directory) in the description file at
// path: *text and *length, valid until the next call, length 0 when there is
// none (or no description file). False when the file could not be read.
bool FindDescription(const wchar_t* path, const wchar_t* name, const wchar_t** text, size_t* length);

}  // namespace host
