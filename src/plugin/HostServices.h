// The host's services, imported from TakeCmd.dll by their plain C names.
// Wide strings are UTF-16. Formats follow the platform C library's wide
// conventions: "%s" takes a wide string, "%c" a wide character, "%I64u" a
// 64-bit number.
#pragma once
#include <windows.h>

extern "C" {
int ExpandVariables(wchar_t* buffer, int flag);          // in place, at most 8191 units + terminator
int Printf(const wchar_t* format, ...);                  // formatted text to standard output
int QPuts(const wchar_t* text);                          // text to standard output, unchanged
int Qprintf(HANDLE handle, const wchar_t* format, ...);  // formatted text to a handle
int QPutc(HANDLE handle, wchar_t ch);                    // one character to a handle
int QueryUnicodeOutput(void);                            // non-zero: UTF-16 output
int QueryIsURL(const wchar_t* name);
int QueryIsFile(const wchar_t* name);
int QueryIsDirectory(const wchar_t* name);
int QueryIsFileOrDirectory(const wchar_t* name);
int QueryTrueName(const wchar_t* name, wchar_t* out);    // out: 32768 units; empty on failure
int WildcardComparison(const wchar_t* pattern, const wchar_t* name, int fileNames, int flag);  // 0 = match
int GetAttribute(int* normal, int* second);
int ParseColors(const wchar_t* text, int* foreground, int* background);  // background 64: none named
int SetColors(int attribute);
int tty_yield(int flag);
int EatKeystrokes(void);
}
